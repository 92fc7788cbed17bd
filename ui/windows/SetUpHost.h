// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TSetUpHost: what a processing window asks of the window that holds it: the child area its display
// windows open in, the owner of the box that reports the worker's end, the start-up's filter dialogs,
// and word that the processing window has closed. The main window implements it; a processing window
// knows nothing else of the main window.
//
// Threads: user-interface thread only.

#include "ui/dialogs/EditFilter.h"

class QMdiArea;
class QWidget;
class TSelectFilterDialog;

class TSetUpHost {
public:
  // Where the processing window's display windows open.
  virtual QMdiArea& ChildArea() = 0;
  // The owner of the box that reports the worker's end.
  virtual QWidget& BoxOwner() = 0;
  // The dialogs that adding and editing a filter show; the selection dialog may be missing.
  virtual TSelectFilterDialog* FilterSelection() = 0;
  virtual const TFilterDialogs& FilterDialogs() = 0;
  // A processing window has closed and its set-up is torn down; it is still inside its close event.
  virtual void SetUpClosed() = 0;

protected:
  ~TSetUpHost() = default;
};

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TSetUpHost: what a processing window is given by the window that holds it: the child area its
// display windows open in, the owner of the box that reports the worker's end, the start-up's filter
// dialogs, what the set-ups' files are, and whom to tell that it has closed. The main window fills one in for
// each set-up; a processing window knows nothing else of the main window and calls nothing of it.
//
// Threads: user-interface thread only.

#include "devices/FileChecks.h"
#include "ui/dialogs/EditFilter.h"

#include <functional>
#include <memory>

class QMdiArea;
class QWidget;
class TPluginHost;
class TSelectFilterDialog;

struct TSetUpHost {
  QMdiArea* ChildArea = nullptr; // where the processing window's display windows open
  QWidget* BoxOwner = nullptr;   // the owner of the box that reports the worker's end
  // The dialogs that adding and editing a filter show; the selection dialog may be missing.
  TSelectFilterDialog* FilterSelection = nullptr;
  TFilterDialogs FilterDialogs;
  std::shared_ptr<TPluginHost> Plugins; // the installed LV2 plug-ins, for the chain files' slots
  // What the open set-ups read and write, the asking processing window's own counted as its own.
  std::function<TFileUses(const QWidget* asking)> FilesInUse;
  // The processing window has closed and its set-up is torn down; it is still inside its close event.
  // `filesFailed`: a file output could not be completed (and it said so).
  std::function<void(bool filesFailed)> Closed;
};

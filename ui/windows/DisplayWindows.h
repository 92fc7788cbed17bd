// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TDisplayWindows: the display windows of one processing window, opened in a child area:
// the input and output signal windows, the performance window, and the frequency response of a filter
// or of the whole chain. Each is captioned with its own words followed by the set-up's name (also
// after its own caption changes), opens wholly inside the visible part of the area, answers the
// processing window's F5 and F6, and closes with the set-up. The worker's updates reach the signal and
// performance windows through ShowBlock; a response window follows the chain through the list that
// shows it.
//
// Threads: user-interface thread only.

#include "dsp/WaveFormat.h"

#include <QList>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <vector>

class QAbstractItemModel;
class QAction;
class QMdiArea;
class QMdiSubWindow;
class QObject;
class QWidget;
class TDSPGraphFrm;
class TDSPPerfForm;
class TFilter;
class TFilterList;
struct TPublishedBlock;

class TDisplayWindows {
public:
  // `owner` is the processing window the displays name as theirs; `keys` are its F5 and F6.
  TDisplayWindows(QObject& owner, QMdiArea& area, QList<QAction*> keys);

  const QString& SetUpName() const { return setUpName; }
  void SetSetUpName(const QString& name) { setUpName = name; }

  // Signal 0 is the input, 1 the output, `frames` of `format` at a time.
  void OpenSignal(uint32_t signal, const QString& caption, const TWaveFormat& format, uint32_t frames);
  void OpenPerformance(int32_t blockFrames, int32_t updateFrames, uint32_t rate);
  // The response of `filter`, or of the whole chain when it is null; `shown` is the chain's list.
  void OpenResponse(const TFilter* filter, const TFilterList& chain, const QAbstractItemModel& shown);

  // One update of the worker to the signal and performance windows, the newest opened first.
  void ShowBlock(const TPublishedBlock& block);

  // The display windows that are still open.
  std::vector<QMdiSubWindow*> Windows() const;
  // Closes every display window at once.
  void CloseAll();

private:
  void Open(QWidget* display);
  void Prune();

  QObject& owner;
  QMdiArea& area;
  const QList<QAction*> keys;
  QString setUpName;
  std::vector<QPointer<QMdiSubWindow>> windows;
  std::vector<QPointer<TDSPGraphFrm>> graphs;
  std::vector<QPointer<TDSPPerfForm>> perfs;
};

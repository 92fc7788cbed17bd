// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TDSPPerfForm: how long the worker needed for each block, one pixel column per update of the
// displays with the newest at the left edge, against a red line at the block duration: while the
// curve stays below the line, processing keeps up with real time. Times arrive in nanoseconds of the
// steady clock. With blocks of the default length an update is one block, and times are whole
// milliseconds; with shorter blocks an update covers the default block's length of input, its
// column shows the longest block in it, and times and the scale have microseconds. The context menu
// offers a scale that follows the times shown instead of the block's duration, so that a chain
// that needs a fraction of a millisecond stands clear of the axis; times then have microseconds.
//
// Threads: user-interface thread only; AddTime runs in the processing window's block notification.

#include "ui/displays/Graph.h"

#include <QImage>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <vector>

class QAction;
class QMenu;

class TDSPPerfForm : public QWidget {
  Q_OBJECT

public:
  TDSPPerfForm(QWidget* owner, int32_t blockMs);
  // For blocks of `blockFrames` and updates of `updateFrames` frames of input at `rate`.
  TDSPPerfForm(QWidget* owner, int32_t blockFrames, int32_t updateFrames, uint32_t rate);
  ~TDSPPerfForm() override;

  // Adds the time of the block just processed and redraws the chart.
  void AddTime(uint64_t ticks);
  void FormResize();
  // The red line's pixel row: the block duration on the y scale.
  int LimitPixel() const;
  // The top of the scale that follows the times: the largest time shown plus a quarter, raised to
  // 1, 2 or 5 of its decade, at least 0.01 ms.
  static double TimesScaleTop(double largestMs);

  QImage Image;
  std::unique_ptr<TGraph> Graph;
  int32_t HistoryLength = 0;
  std::vector<double> History; // milliseconds (whole, or to the microsecond), element 0 the newest
  int64_t TicksPer100ms = 100000000;
  int32_t BlockMs;   // the block's whole milliseconds
  int32_t UpdateMs;  // what one column spans, in whole milliseconds
  double LimitMs;    // the red line: the block's duration
  bool Microseconds; // times to the microsecond (blocks shorter than the default one)
  QObject* OwnerForm = nullptr;
  bool ScaleToTimes = false;
  QMenu* PopupMenu = nullptr; // owned by the window
  QAction* iBlockScale = nullptr;
  QAction* iTimesScale = nullptr;

protected:
  TDSPPerfForm(QWidget* owner, int32_t blockMs, int32_t updateMs, double limitMs, bool microseconds);

  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

private:
  void ChooseScale(bool toTimes);
  // The y scale's top and step for the block's duration.
  void BlockScale();

  double blockScaleTop = 0;
  double blockScaleStep = 1;
};

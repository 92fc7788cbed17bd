#pragma once
// TDSPPerfForm: how long the worker needed for each block, one pixel column per block with the
// newest at the left edge, against a red line at the block duration: while the curve stays below
// the line, processing keeps up with real time. Times arrive in nanoseconds of the steady clock.
//
// Threads: user-interface thread only; AddTime runs in the processing window's block notification.

#include "displays/Graph.h"

#include <QImage>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <vector>

class TDSPPerfForm : public QWidget {
  Q_OBJECT

public:
  TDSPPerfForm(QWidget* owner, int32_t blockMs);
  ~TDSPPerfForm() override;

  // Adds the time of the block just processed and redraws the chart.
  void AddTime(uint64_t ticks);
  void FormResize();
  // The red line's pixel row: the block duration on the y scale.
  int LimitPixel() const;

  QImage Image;
  std::unique_ptr<TGraph> Graph;
  int32_t HistoryLength = 0;
  std::vector<int32_t> History; // whole milliseconds, element 0 the newest
  int64_t TicksPer100ms = 100000000;
  int32_t BlockMs;
  QObject* OwnerForm = nullptr;

protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
};

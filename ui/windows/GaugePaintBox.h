// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The paint box of a processing window's level gauges: one TLevelGauge per input channel, 48 pixels
// each, side by side from the left, as high as the box. The gauges draw into a bitmap of the box's
// size; a paint shows that bitmap. After each block only the bars are redrawn and only they are
// repainted.
//
// Threads: user-interface thread only.

#include "ui/displays/LevelGauge.h"

#include <QFont>
#include <QImage>
#include <QWidget>

#include <array>
#include <memory>

class TGaugePaintBox : public QWidget {
public:
  static constexpr int GaugeWidth = 48;

  // `gauges` belongs to the processing window and outlives the box's use of it.
  TGaugePaintBox(std::array<std::unique_ptr<TLevelGauge>, 2>& gauges, QWidget* parent);

  // Redraws every present gauge's bar from its Level (DrawBar) and repaints only the bars.
  void DrawBars();
  // The bitmap the gauges are drawn in, as shown.
  const QImage& Surface() const { return surface; }

protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

private:
  // Lays the gauges out for the box's height and paints each in full into a new bitmap.
  void PaintAll();
  void Prepare(QPainter& p) const;

  std::array<std::unique_ptr<TLevelGauge>, 2>& gauges;
  QImage surface;
  QFont font;
};

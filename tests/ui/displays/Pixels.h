// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Pixel probes for the display tests: colours, the first row of a colour in a column, colour counts,
// and the row of a value on a chart's scale.
//
// Threads: the test thread only.

#include "ui/displays/Graph.h"

#include <QImage>

#include <cmath>

namespace sonotest {

inline QRgb Pixel(const QImage& img, int x, int y) {
  return img.pixel(x, y) & 0xFFFFFF;
}
inline constexpr QRgb White = 0xFFFFFF;
inline constexpr QRgb Black = 0x000000;
inline constexpr QRgb Navy = 0x000080;
inline constexpr QRgb Red = 0xFF0000;
inline constexpr QRgb Green = 0x00FF00;
inline constexpr QRgb Silver = 0xC0C0C0;

// The first row from the top, between y0 and y1 (exclusive), where column x has the colour; -1 if none.
inline int FirstRowWith(const QImage& img, int x, int y0, int y1, QRgb colour) {
  for (int y = y0; y < y1; ++y) {
    if (Pixel(img, x, y) == colour) {
      return y;
    }
  }
  return -1;
}

inline int CountColour(const QImage& img, int x0, int y0, int x1, int y1, QRgb colour) {
  int count = 0;
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x) {
      count += Pixel(img, x, y) == colour ? 1 : 0;
    }
  }
  return count;
}

// The pixel row of a value with the chart's scale, computed from the geometry.
inline int RowOf(const TGraph& g, double v) {
  const double sy = (g.PlotRect.bottom - g.PlotRect.top) / (g.YMax - g.YMin);
  return static_cast<int>(std::trunc(g.PlotRect.bottom - (v - g.YMin) * sy));
}

} // namespace sonotest

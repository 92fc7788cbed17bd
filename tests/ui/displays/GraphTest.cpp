// SPDX-License-Identifier: GPL-3.0-or-later
#include "Pixels.h"
#include "support/QtTestApp.h"

#include "ui/displays/Graph.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QPainter>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

using namespace sonotest;

namespace {

std::vector<float> RandomValues(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-100.0f, 100.0f);
  std::vector<float> values(n);
  for (float& v : values) {
    v = dist(rng);
  }
  return values;
}

class Graph : public ::testing::Test {
protected:
  void SetUp() override { App(); }

  // A 392 x 266 chart: its plot area is 288 x 198 pixels.
  static TGraph Chart(double xMax = 22050, double yMin = -96, double yMax = 0, bool titleBar = false) {
    return TGraph(TRect{0, 0, 392, 266}, "Частота, Гц", xMax, "Амплитуда, дБ", yMax, 0, 500, yMin, 1,
                  "Левый канал", titleBar, 50, 30);
  }

  static QImage Blank(int w = 392, int h = 266) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(Qt::white);
    return img;
  }
};

int ColumnOf(const TGraph& g, double v) {
  const double sx = (g.PlotRect.right - g.PlotRect.left) / (g.XMax - g.XMin);
  return static_cast<int>(std::trunc(g.PlotRect.left + (v - g.XMin) * sx));
}

} // namespace

TEST_F(Graph, StepIsRaisedToAWholeMultipleOfTheBase) {
  EXPECT_EQ(TGraph::RoundStepUp(1000, 500), 1000);
  EXPECT_EQ(TGraph::RoundStepUp(3, 500), 500);
  EXPECT_EQ(TGraph::RoundStepUp(1001, 500), 1500);
  EXPECT_EQ(TGraph::RoundStepUp(3828.125, 500), 4000);
  EXPECT_EQ(TGraph::RoundStepUp(0.25, 1), 1);
}

TEST_F(Graph, PlotAreaAndStepsFollowTheBounds) {
  TGraph g = Chart();
  EXPECT_EQ(g.PlotRect, (TRect{72, 16, 360, 214}));
  EXPECT_EQ(g.PlotRect.Width(), 288);
  // 22050 * 50 / 288 = 3828.125 raised to a multiple of 500.
  EXPECT_EQ(g.XStep, 4000);
  // 96 * 30 / 198 = 14.5 raised to a multiple of 1.
  EXPECT_EQ(g.YStep, 15);
  EXPECT_EQ(g.InnerRect(), (TRect{73, 17, 360, 212}));

  TGraph titled = Chart(22050, -96, 0, true);
  EXPECT_EQ(titled.PlotRect, (TRect{72, 40, 360, 214}));

  g.XMax = 92;
  g.XBaseStep = 1;
  g.SetBounds(TRect{10, 20, 700, 500});
  EXPECT_EQ(g.PlotRect, (TRect{82, 36, 668, 448}));
  EXPECT_EQ(g.XStep, TGraph::RoundStepUp(92.0 * 50 / 586, 1));
}

TEST_F(Graph, NumberTextHasTenSignificantDigitsAndNoTrailingZeros) {
  EXPECT_EQ(TGraph::NumberText(500), "500");
  EXPECT_EQ(TGraph::NumberText(0.5), "0.5");
  EXPECT_EQ(TGraph::NumberText(-120), "-120");
  EXPECT_EQ(TGraph::NumberText(22050), "22050");
  EXPECT_EQ(TGraph::NumberText(1.0 / 3), "0.3333333333");
  EXPECT_EQ(TGraph::NumberText(12345678901.0), "1.23456789e+10");
}

TEST_F(Graph, DecibelLabelsReadTheLevelRelativeToTheTopToOneDecimal) {
  TGraph g(TRect{0, 0, 392, 266}, "Время, мс", 92, "Амплитуда, дБ", 32768, 0, 1, -32768, 4096, "", false, 50,
           30);
  g.DecibelLabels = true;
  g.SymmetricY = true;
  EXPECT_EQ(g.FormatYLabel(12288), "-8.5");
  EXPECT_EQ(g.FormatYLabel(-12288), "-8.5");
  EXPECT_EQ(g.FormatYLabel(0), "-Inf.");
  EXPECT_EQ(g.FormatYLabel(32768), "0");
  EXPECT_EQ(g.FormatYLabel(-32768), "0");
  EXPECT_EQ(g.FormatYLabel(16384), "-6");   // -6.02
  EXPECT_EQ(g.FormatYLabel(4096), "-18.1"); // -18.06, rounded away from zero
  EXPECT_EQ(g.FormatYLabel(65536), "6");    // +6.02 above the top
  g.DecibelLabels = false;
  EXPECT_EQ(g.FormatYLabel(12288), "12288");
}

TEST_F(Graph, ManyValuesFallEachIntoOneColumnThatKeepsTheirExtremes) {
  // Value i belongs to column floor(i * columns / n); a column keeps its first, last, lowest and
  // highest value, so no value is skipped however many there are.
  for (const auto& [n, columns] : std::vector<std::pair<int, int>>{{512, 287}, {2048, 286}, {288, 287}}) {
    const std::vector<float> values = RandomValues(static_cast<size_t>(n), static_cast<unsigned>(n));
    std::vector<TGraph::TColumnSpan> spans(static_cast<size_t>(columns));
    TGraph::Reduce(values.data(), n, columns, spans.data());
    std::vector<std::vector<float>> members(static_cast<size_t>(columns));
    for (int i = 0; i < n; ++i) {
      members[static_cast<size_t>(static_cast<int64_t>(i) * columns / n)].push_back(values[i]);
    }
    for (int c = 0; c < columns; ++c) {
      const auto& m = members[static_cast<size_t>(c)];
      ASSERT_FALSE(m.empty()) << n << " column " << c;
      EXPECT_EQ(spans[c].First, m.front()) << c;
      EXPECT_EQ(spans[c].Last, m.back()) << c;
      EXPECT_EQ(spans[c].Low, *std::min_element(m.begin(), m.end())) << c;
      EXPECT_EQ(spans[c].High, *std::max_element(m.begin(), m.end())) << c;
    }
  }
}

TEST_F(Graph, ANarrowPeakShowsAsABarAndALineAtEveryPosition) {
  TGraph g = Chart(22050, -100, 0);
  for (const int at : {0, 1, 1233, 2046, 2047}) {
    for (const bool bars : {true, false}) {
      QImage img = Blank();
      QPainter p(&img);
      std::vector<float> levels(2048, -100.0f);
      levels[static_cast<size_t>(at)] = -20.0f;
      g.PlotSeries(p, levels.data(), 2048, bars);
      p.end();
      const TRect r = g.PlotRect;
      const int x = r.left + 1 + static_cast<int>(static_cast<int64_t>(at) * (r.Width() - 1) / 2048);
      // A bar stops just below its value's row; a line's stroke covers it.
      EXPECT_EQ(FirstRowWith(img, x, r.top, r.bottom, Navy), RowOf(g, -20) + (bars ? 1 : 0))
          << at << " bars " << bars;
      if (bars) { // nothing else rises above the floor
        EXPECT_EQ(CountColour(img, r.left, r.top, x, RowOf(g, -90), Navy), 0) << at;
        EXPECT_EQ(CountColour(img, x + 1, r.top, r.right, RowOf(g, -90), Navy), 0) << at;
      }
    }
  }
}

TEST_F(Graph, FewValuesInterpolateAndTheLastColumnsContinueTheLastPair) {
  std::vector<float> square(100);
  for (int i = 0; i < 100; ++i) {
    square[i] = static_cast<float>(i * i);
  }
  std::vector<double> out(287);
  TGraph::Resample(square.data(), 100, 287, false, out.data());
  int continued = 0;
  for (int c = 0; c < 287; ++c) {
    const double position = c * 100.0 / 287;
    const int i = static_cast<int>(std::floor(position + 1e-9));
    const double u = position - i;
    double expected;
    if (i >= 99) {
      expected = 99.0 * 99 + u * (99.0 * 99 - 98.0 * 98);
      ++continued;
    } else {
      expected = double(i) * i * (1 - u) + double(i + 1) * (i + 1) * u;
    }
    ASSERT_NEAR(out[c], expected, 1e-6) << "column " << c;
  }
  EXPECT_GE(continued, 2);
  EXPECT_GT(out[286], 99.0 * 99); // beyond the last value, on the line through the last two
}

TEST_F(Graph, FrameClearsThePlotAndASeriesPointLandsOnItsRow) {
  TGraph g = Chart(100, -100, 100);
  QImage img = Blank();
  img.fill(qRgb(255, 255, 0)); // the frame's brush must clear this inside the plot
  QPainter p(&img);
  g.Paint(p);
  const std::vector<double> values(300, 50.0);
  g.PlotSeries(p, values.data(), 300, false);
  p.end();

  const TRect r = g.PlotRect;
  const int mid = (r.top + r.bottom) / 2;
  // The 2-pixel border is centred on the outline: columns l-1, l and r-2, r-1; rows t-1, t and b-2, b-1.
  EXPECT_EQ(Pixel(img, r.left, mid), Black);
  EXPECT_EQ(Pixel(img, r.left - 1, mid), Black);
  EXPECT_EQ(Pixel(img, r.right - 1, mid), Black);
  EXPECT_EQ(Pixel(img, r.right - 2, mid), Black);
  EXPECT_EQ(Pixel(img, r.right - 3, r.top + 3), White);
  EXPECT_EQ(Pixel(img, r.left + 10, r.bottom - 1), Black);
  EXPECT_EQ(Pixel(img, r.left + 10, r.bottom - 3), White);
  EXPECT_EQ(Pixel(img, r.left + 10, r.top), Black);
  EXPECT_EQ(Pixel(img, r.left + 10, r.top + 1), White);

  const int row = RowOf(g, 50);
  for (int x = r.left + 1; x < r.right - 2; ++x) {
    ASSERT_EQ(Pixel(img, x, row), Navy) << "column " << x;
    ASSERT_NE(Pixel(img, x, row - 1), Navy);
    ASSERT_NE(Pixel(img, x, row + 1), Navy);
  }
}

TEST_F(Graph, ValuesFarOutsideTheRangeStayOnTheFrame) {
  TGraph g = Chart(100, -100, 100);
  QImage img = Blank();
  QPainter p(&img);
  std::vector<double> values(400);
  for (int i = 0; i < 400; ++i) {
    values[i] = i < 200 ? 1e300 : -std::numeric_limits<double>::max();
  }
  g.PlotSeries(p, values.data(), 400, false);
  p.end();
  const TRect r = g.PlotRect;
  EXPECT_EQ(Pixel(img, r.left + 5, r.top), Navy);
  EXPECT_EQ(Pixel(img, r.right - 5, r.bottom - 2), Navy);
  // Nothing of the series outside the frame.
  EXPECT_EQ(CountColour(img, 0, 0, img.width(), r.top, Navy), 0);
  EXPECT_EQ(CountColour(img, 0, r.bottom - 1, img.width(), img.height(), Navy), 0);
  EXPECT_EQ(CountColour(img, 0, 0, r.left + 1, img.height(), Navy), 0);
  EXPECT_EQ(CountColour(img, r.right, 0, img.width(), img.height(), Navy), 0);
}

TEST_F(Graph, BarsRiseFromTheBottomEdgeToTheirValue) {
  TGraph g = Chart(22050, -100, 0);
  QImage img = Blank();
  QPainter p(&img);
  std::vector<float> levels(287, -100.0f);
  levels[100] = -20.0f;
  g.PlotSeries(p, levels.data(), 287, true);
  p.end();
  const TRect r = g.PlotRect;
  // 287 values on 286 columns: column c shows about value c, so the loud bar stands near x = left + 1 + 100.
  int tallest = r.bottom;
  int tallestX = -1;
  for (int x = r.left + 1; x < r.right; ++x) {
    const int top = FirstRowWith(img, x, r.top, r.bottom, Navy);
    if (top >= 0 && top < tallest) {
      tallest = top;
      tallestX = x;
    }
  }
  EXPECT_NEAR(tallestX, r.left + 1 + 100, 1);
  EXPECT_NEAR(tallest, RowOf(g, -20), 1);
  // A bar runs from just above its top down to the row above the bottom edge.
  for (int y = tallest + 1; y < r.bottom; ++y) {
    ASSERT_EQ(Pixel(img, tallestX, y), Navy) << "row " << y;
  }
}

TEST_F(Graph, XTicksStandAtWholeStepsAndStopShortOfTheMaxLabel) {
  TGraph g = Chart();
  QImage img = Blank();
  QPainter p(&img);
  g.Paint(p);
  p.end();
  const TRect r = g.PlotRect;
  const int w = QFontMetrics(g.LabelFont).horizontalAdvance("22050");
  const int limit = r.right - w / 2 - 8;
  int ticks = 0;
  for (double v = 4000; v < 22050; v += 4000) {
    const int x = ColumnOf(g, v);
    if (x < limit) {
      ++ticks;
      EXPECT_EQ(Pixel(img, x, r.bottom - 3), Black) << v; // tick mark
      EXPECT_EQ(Pixel(img, x, r.top + 10), Silver) << v;  // grid line
    } else {
      EXPECT_NE(Pixel(img, x, r.top + 10), Silver) << v;
      EXPECT_NE(Pixel(img, x, r.bottom - 3), Black) << v;
    }
  }
  EXPECT_EQ(ticks, 4); // 4000 .. 16000; 20000 would stand under the 22050 label
  // Y grid every 15 dB from -81 up, while the row stays below top + h/2 + 4.
  const int h = QFontMetrics(g.LabelFont).height();
  EXPECT_EQ(Pixel(img, r.left + 20, RowOf(g, -81)), Silver);
  EXPECT_EQ(Pixel(img, r.left + 20, RowOf(g, -21)), Silver);
  ASSERT_LE(RowOf(g, -6), r.top + h / 2 + 4);
  EXPECT_EQ(Pixel(img, r.left + 20, RowOf(g, -6)), White);
  EXPECT_EQ(Pixel(img, r.left + 1, RowOf(g, -81)), Black); // tick left - 3 .. left + 3
}

TEST_F(Graph, ALogarithmicAxisTicksOneTwoFiveOfEachDecadeAndPutsEachValueAtItsFrequency) {
  TGraph g = Chart(22050, -96, 0);
  g.LogX = true;
  ASSERT_TRUE(g.CanDraw());
  // 512 values from 0 to 22050 Hz: -20 dB up to 1 kHz, -60 dB above.
  std::vector<double> values(512);
  for (size_t i = 0; i < values.size(); ++i) {
    values[i] = i * 22050.0 / 511 <= 1000 ? -20 : -60;
  }
  QImage img = Blank();
  QPainter p(&img);
  g.Paint(p);
  g.PlotSeries(p, values.data(), 512, false);
  p.end();
  const TRect r = g.PlotRect;
  const double decades = std::log(22050 / 20.0);
  const auto column = [&](double f) {
    return r.left + static_cast<int>(r.Width() * std::log(f / 20) / decades);
  };
  for (const double f : {50.0, 100.0, 1000.0, 2000.0, 5000.0}) {
    EXPECT_EQ(Pixel(img, column(f), r.bottom - 8), Silver) << f;
    EXPECT_EQ(Pixel(img, column(f), r.bottom - 3), Black) << f;
  }
  EXPECT_NE(Pixel(img, column(3000), r.bottom - 8), Silver); // not a 1-2-5 step
  // The low two thirds of the axis lie below 1 kHz, on the -20 dB row; the step falls at 1 kHz.
  EXPECT_EQ(Pixel(img, column(30), RowOf(g, -20)), Navy);
  EXPECT_EQ(Pixel(img, column(900), RowOf(g, -20)), Navy);
  EXPECT_EQ(Pixel(img, column(1100), RowOf(g, -60)), Navy);
  EXPECT_EQ(Pixel(img, column(1100), RowOf(g, -20)), White);
  EXPECT_EQ(Pixel(img, column(15000), RowOf(g, -60)), Navy);
  // A left end at or below zero, or beyond the top, cannot be drawn.
  g.LogXFrom = 0;
  EXPECT_FALSE(g.CanDraw());
  g.LogXFrom = 30000;
  EXPECT_FALSE(g.CanDraw());
}

TEST_F(Graph, WithoutTitleBarNothingStandsAboveThePlotButTheTopLabel) {
  TGraph g = Chart();
  QImage img = Blank();
  QPainter p(&img);
  g.Paint(p);
  p.end();
  const TRect r = g.PlotRect;
  // Rows above the frame's top border, right of the y labels' column, stay white.
  EXPECT_EQ(CountColour(img, r.left - 5, 0, img.width(), r.top - 1, White),
            (img.width() - r.left + 5) * (r.top - 1));
  // The top label "0" stands right-aligned at left - 6, centred on the top edge.
  EXPECT_GT(CountColour(img, r.left - 20, 0, r.left - 5, r.top + 8, Black), 0);
}

TEST_F(Graph, TitleBarIsFramedFilledAndCarriesTheTitle) {
  TGraph g = Chart(22050, -96, 0, true);
  QImage img = Blank();
  img.fill(qRgb(255, 255, 0));
  QPainter p(&img);
  g.Paint(p);
  p.end();
  const int h = QFontMetrics(g.TitleFont).height();
  EXPECT_EQ(Pixel(img, 0, 100), Black); // chart frame
  EXPECT_EQ(Pixel(img, 391, 265), Black);
  EXPECT_EQ(Pixel(img, 5, h + 7), 0x0000FF);                // bar down to top + h + 8
  EXPECT_EQ(Pixel(img, 5, h + 8), White);                   // the frame cleared the chart
  EXPECT_GT(CountColour(img, 1, 1, 391, h + 8, White), 20); // the title's white letters
}

TEST_F(Graph, FontsResolveToArialMetricsWithTheirHeightsAndWeights) {
  TGraph g = Chart();
  const QStringList families = QFontDatabase::families();
  if (families.contains("Liberation Sans")) {
    EXPECT_EQ(QFontInfo(g.LabelFont).family(), "Liberation Sans");
  }
  EXPECT_EQ(g.TitleFont.pixelSize(), 16);
  EXPECT_EQ(g.XTitleFont.pixelSize(), 14);
  EXPECT_EQ(g.YTitleFont.pixelSize(), 14);
  EXPECT_EQ(g.LabelFont.pixelSize(), 14);
  EXPECT_EQ(g.TitleFont.weight(), QFont::Bold);
  EXPECT_EQ(g.XTitleFont.weight(), QFont::Bold);
  EXPECT_EQ(g.YTitleFont.weight(), QFont::Bold);
  EXPECT_EQ(g.LabelFont.weight(), QFont::Normal);
}

TEST_F(Graph, YTitleReadsBottomToTopCentredOnThePlotHeight) {
  TGraph g = Chart();
  g.ShowFrame = g.ShowXLabels = g.ShowYLabels = false;
  g.XTitle.clear();
  QImage img = Blank();
  QPainter p(&img);
  g.Paint(p);
  p.end();
  // The black pixels of the y title lie in a tall narrow band starting at Bounds.left + 8.
  int minX = img.width(), maxX = -1, minY = img.height(), maxY = -1;
  for (int y = 0; y < img.height(); ++y) {
    for (int x = 0; x < 40; ++x) {
      if (Pixel(img, x, y) == Black) {
        minX = std::min(minX, x), maxX = std::max(maxX, x), minY = std::min(minY, y),
        maxY = std::max(maxY, y);
      }
    }
  }
  ASSERT_GE(maxX, 0);
  EXPECT_GE(minX, 8);
  EXPECT_LE(maxX, 8 + QFontMetrics(g.YTitleFont).height());
  EXPECT_GT(maxY - minY, 3 * (maxX - minX));
  EXPECT_NEAR((minY + maxY) / 2.0, (g.PlotRect.top + g.PlotRect.bottom) / 2.0, 3);
}

TEST_F(Graph, BrokenInvariantsReturnWithoutDrawingOrReading) {
  const std::vector<double> values(10, 1.0);
  auto untouched = [&](TGraph& g, int n) {
    QImage img = Blank();
    QPainter p(&img);
    g.DrawAxes(p);
    g.PlotSeries(p, values.data(), n, false);
    g.PlotSeries(p, values.data(), n, true);
    p.end();
    return CountColour(img, 0, 0, img.width(), img.height(), White) == img.width() * img.height();
  };
  TGraph reversedX = Chart(-5);
  EXPECT_TRUE(untouched(reversedX, 10));
  TGraph flatY = Chart(100, 0, 0);
  EXPECT_TRUE(untouched(flatY, 10));
  TGraph tiny(TRect{0, 0, 100, 60}, "", 100, "", 1, 0, 1, 0, 1, "", false, 50, 30);
  EXPECT_FALSE(tiny.CanDraw());
  EXPECT_TRUE(untouched(tiny, 10));
  TGraph nan = Chart(std::nan(""));
  EXPECT_TRUE(untouched(nan, 10));

  // One value is not a series: the frame is drawn, nothing else of the series.
  TGraph g = Chart();
  QImage img = Blank();
  QPainter p(&img);
  g.PlotSeries(p, values.data(), 1, false);
  g.PlotSeries(p, values.data(), 0, true);
  p.end();
  EXPECT_EQ(CountColour(img, 0, 0, img.width(), img.height(), Navy), 0);
  EXPECT_GT(CountColour(img, 0, 0, img.width(), img.height(), Black), 0);

  // A label spacing of 0 with a tiny base step still ends the tick loops.
  TGraph dense = Chart();
  dense.XLabelSpacing = dense.YLabelSpacing = 0;
  dense.XBaseStep = dense.YBaseStep = 1e-12;
  dense.SetBounds(dense.Bounds);
  QImage img2 = Blank();
  QPainter p2(&img2);
  dense.DrawAxes(p2);
}

TEST_F(Graph, LinesCoverTheirStartAndStopBeforeTheirEnd) {
  QImage img = Blank(20, 20);
  QPainter p(&img);
  Gdi::Line(p, QPoint(2, 5), QPoint(10, 5), Qt::black);
  Gdi::Line(p, QPoint(15, 2), QPoint(15, 12), Qt::black);
  Gdi::Line(p, QPoint(2, 18), QPoint(6, 14), Qt::black);
  Gdi::Rectangle(p, TRect{3, 8, 8, 12}, Qt::black, qRgb(255, 0, 0));
  p.end();
  EXPECT_EQ(Pixel(img, 2, 5), Black);
  EXPECT_EQ(Pixel(img, 9, 5), Black);
  EXPECT_EQ(Pixel(img, 10, 5), White);
  EXPECT_EQ(Pixel(img, 15, 2), Black);
  EXPECT_EQ(Pixel(img, 15, 11), Black);
  EXPECT_EQ(Pixel(img, 15, 12), White);
  EXPECT_EQ(Pixel(img, 2, 18), Black);
  EXPECT_EQ(Pixel(img, 5, 15), Black);
  EXPECT_EQ(Pixel(img, 6, 14), White);
  // Outline (3, 8, 8, 12): border on x 3..7, y 8..11, inside red.
  EXPECT_EQ(Pixel(img, 3, 8), Black);
  EXPECT_EQ(Pixel(img, 7, 11), Black);
  EXPECT_EQ(Pixel(img, 8, 11), White);
  EXPECT_EQ(Pixel(img, 7, 12), White);
  EXPECT_EQ(Pixel(img, 4, 9), Red);
  EXPECT_EQ(Pixel(img, 6, 10), Red);
}

TEST_F(Graph, AtTwiceThePixelRatioTheGeometryStaysInLogicalPixelsAndTextIsDrawnAtTheFinerOne) {
  TGraph g = Chart();
  QImage fine = Gdi::Surface(392, 266, 2.0);
  ASSERT_EQ(fine.size(), QSize(784, 532));
  QImage plain = Gdi::Surface(392, 266, 1.0);
  for (QImage* img : {&fine, &plain}) {
    QPainter p(img);
    g.Paint(p);
    std::vector<float> levels(287, -50.0f);
    g.PlotSeries(p, levels.data(), 287, true);
  }
  // Every shape lands where it does at ratio 1, each logical pixel now two by two.
  const TRect r = g.PlotRect;
  for (const QPoint at : {QPoint(r.left, (r.top + r.bottom) / 2), QPoint(r.left + 10, r.bottom - 1),
                          QPoint(r.left + 10, RowOf(g, -50) + 1), QPoint(r.left + 10, RowOf(g, -50) - 1)}) {
    for (const QPoint d : {QPoint(0, 0), QPoint(1, 0), QPoint(0, 1), QPoint(1, 1)}) {
      EXPECT_EQ(Pixel(fine, 2 * at.x() + d.x(), 2 * at.y() + d.y()), Pixel(plain, at.x(), at.y()))
          << at.x() << "," << at.y();
    }
  }
  // The labels' glyphs have edges inside logical pixels: not a picture enlarged.
  int split = 0;
  for (int y = 0; y + 1 < 2 * r.top + 60; y += 2) {
    for (int x = 0; x + 1 < 2 * r.left - 4; x += 2) {
      const QRgb a = Pixel(fine, x, y);
      split += (Pixel(fine, x + 1, y) != a || Pixel(fine, x, y + 1) != a || Pixel(fine, x + 1, y + 1) != a)
                   ? 1
                   : 0;
    }
  }
  EXPECT_GT(split, 20);
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "Pixels.h"
#include "support/PcmSignals.h"
#include "support/QtTestApp.h"

#include "filters/Transforms.h"
#include "ui/displays/DSPGraphFrm.h"

#include <QAction>
#include <QScrollBar>
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

using namespace sonotest;

namespace {

// The Blackman-windowed DFT magnitude of x[0..n-1] at bin k, in double precision.
double WindowedDftMagnitude(const std::vector<double>& x, int n, int k) {
  std::complex<double> sum = 0;
  for (int i = 0; i < n; ++i) {
    const double w =
        0.42 - 0.5 * std::cos(2 * std::numbers::pi * i / n) + 0.08 * std::cos(4 * std::numbers::pi * i / n);
    sum += x[i] * w * std::polar(1.0, -2 * std::numbers::pi * static_cast<double>(k) * i / n);
  }
  return std::abs(sum);
}

class SignalGraph : public ::testing::Test {
protected:
  void SetUp() override { App(); }

  // A shown window whose client area (the viewport) has the given size.
  static void SetClient(TDSPGraphFrm& frm, int w, int h) {
    frm.show();
    for (int attempt = 0; attempt < 3; ++attempt) {
      frm.resize(frm.width() + w - frm.viewport()->width(), frm.height() + h - frm.viewport()->height());
      QApplication::processEvents();
    }
  }
};

const TWaveFormat Mono16 = MakePCMFormat(44100, 1, 16);
const TWaveFormat Stereo8 = MakePCMFormat(22050, 2, 8);

} // namespace

TEST_F(SignalGraph, MonoSixteenBitBlockOf4096FramesLastsNinetyTwoMilliseconds) {
  TDSPGraphFrm frm(nullptr, "Входной сигнал");
  SetClient(frm, 500, 300);
  frm.SetFormat(Mono16, 4096);
  EXPECT_EQ(frm.BlockMs, 92);
  ASSERT_TRUE(frm.Graphs[0]);
  EXPECT_FALSE(frm.Graphs[1]);
  const TGraph& s = *frm.Graphs[0];
  EXPECT_EQ(s.XMin, 0);
  EXPECT_EQ(s.XMax, 92);
  EXPECT_EQ(s.YMin, -32768);
  EXPECT_EQ(s.YMax, 32768);
  EXPECT_EQ(s.YBaseStep, 4096);
  EXPECT_TRUE(s.DecibelLabels);
  EXPECT_TRUE(s.SymmetricY);
  EXPECT_FALSE(s.HasTitleBar);
  EXPECT_EQ(s.Title, "");
  EXPECT_EQ(s.XTitle, "Время, мс");
  EXPECT_EQ(s.YTitle, "Амплитуда, дБ");
  EXPECT_EQ(frm.windowTitle(), "Входной сигнал - Значения выборок");

  frm.GraphTypeClick(frm.iHistogram);
  const TGraph& h = *frm.Graphs[0];
  EXPECT_EQ(h.XMax, 22050);
  EXPECT_EQ(h.XBaseStep, 500);
  EXPECT_EQ(h.YMin, -96);
  EXPECT_EQ(h.YMax, 0);
  EXPECT_EQ(h.XTitle, "Частота, Гц");
  EXPECT_EQ(frm.windowTitle(), "Входной сигнал - Гистограмма частот");

  frm.GraphTypeClick(frm.iSpectrogram);
  const TGraph& g = *frm.Graphs[0];
  EXPECT_EQ(g.YMin, 0);
  EXPECT_EQ(g.YMax, 22050);
  EXPECT_EQ(g.YBaseStep, 100);
  EXPECT_EQ(g.XMax, (500 / 4) * 92 / 1000);
  EXPECT_FALSE(g.ShowGrid);
  EXPECT_EQ(g.XTitle, "Время, с");
  EXPECT_EQ(g.YTitle, "Частота, Гц");
  EXPECT_EQ(frm.windowTitle(), "Входной сигнал - Звуковая спектрограмма");
}

TEST_F(SignalGraph, EightBitStereoHasTwoTitledChartsSideBySide) {
  TDSPGraphFrm frm(nullptr, "Выходной сигнал");
  SetClient(frm, 400, 300);
  frm.SetFormat(Stereo8, 2048);
  EXPECT_EQ(frm.BlockMs, 92); // 2048 * 1000 / 22050 = 92.9, truncated
  ASSERT_TRUE(frm.Graphs[0] && frm.Graphs[1]);
  EXPECT_EQ(frm.Graphs[0]->Title, "Левый канал");
  EXPECT_EQ(frm.Graphs[1]->Title, "Правый канал");
  EXPECT_TRUE(frm.Graphs[0]->HasTitleBar);
  EXPECT_EQ(frm.Graphs[0]->YMin, -128);
  EXPECT_EQ(frm.Graphs[0]->YMax, 128);
  EXPECT_EQ(frm.Graphs[0]->YBaseStep, 16);
  EXPECT_EQ(frm.HorzRange(), 2 * frm.GraphWidth + 16);
  EXPECT_EQ(frm.VertRange(), frm.GraphHeight);
  // The second chart lies beyond the client area: the window scrolls to it.
  EXPECT_GT(frm.horizontalScrollBar()->maximum(), 0);
  EXPECT_EQ(frm.horizontalScrollBar()->maximum(), frm.HorzRange() - frm.viewport()->width());

  frm.GraphTypeClick(frm.iHistogram);
  EXPECT_EQ(frm.Graphs[1]->YMin, -48);
  EXPECT_EQ(frm.Graphs[1]->XMax, 11025);
}

TEST_F(SignalGraph, ChartsNeverShrinkBelow320By224AndFollowLargerClients) {
  TDSPGraphFrm frm(nullptr, "Входной сигнал");
  frm.SetFormat(Mono16, 4096);
  SetClient(frm, 200, 150);
  EXPECT_EQ(frm.GraphWidth, 320);
  EXPECT_EQ(frm.GraphHeight, 224);
  EXPECT_EQ(frm.Images[0].size(), QSize(320, 224));
  EXPECT_EQ(frm.Graphs[0]->Bounds, (TRect{0, 0, 320, 224}));
  EXPECT_GT(frm.verticalScrollBar()->maximum(), 0);
  EXPECT_EQ(frm.horizontalScrollBar()->value(), 0);

  SetClient(frm, 600, 400);
  EXPECT_EQ(frm.GraphWidth, frm.viewport()->width());
  EXPECT_EQ(frm.GraphHeight, frm.viewport()->height());
  EXPECT_EQ(frm.Graphs[0]->Bounds, (TRect{0, 0, frm.GraphWidth, frm.GraphHeight}));
}

TEST_F(SignalGraph, ChoosingAViewMarksItAloneAndRebuildsOnlyOnChange) {
  TDSPGraphFrm frm(nullptr, "Входной сигнал");
  SetClient(frm, 400, 300);
  frm.SetFormat(Mono16, 4096);
  EXPECT_TRUE(frm.iSamples->isChecked());
  const TAudioBuffer loud = MakeBlock(Mono16, 4096, [](int, int j) { return SineAt(20000, 440, 44100, j); });
  frm.ShowBlock(loud);
  const QImage drawn = frm.Images[0].copy();

  frm.GraphTypeClick(frm.iSamples); // the current view again: nothing changes
  EXPECT_EQ(frm.Images[0], drawn);
  EXPECT_EQ(frm.GraphType, TDSPGraphFrm::gtSamples);
  frm.GraphTypeClick(nullptr);
  frm.GraphTypeClick(&frm);
  EXPECT_EQ(frm.Images[0], drawn);

  frm.iHistogram->trigger(); // through the menu item
  EXPECT_EQ(frm.GraphType, TDSPGraphFrm::gtHistogram);
  EXPECT_FALSE(frm.iSamples->isChecked());
  EXPECT_TRUE(frm.iHistogram->isChecked());
  EXPECT_FALSE(frm.iSpectrogram->isChecked());
  EXPECT_NE(frm.Images[0], drawn);
  const TRect in = frm.Graphs[0]->InnerRect();
  EXPECT_EQ(CountColour(frm.Images[0], in.left, in.top, in.right, in.bottom, Navy), 0); // cleared

  // The spectrum's own view items, offered in its view only, kept across views.
  EXPECT_TRUE(frm.SpectrumView->iLogFrequency->isEnabled());
  EXPECT_EQ(frm.SpectrumView->iRanges[0]->text(), "Уровни на всю разрядность");
  frm.SpectrumView->iRanges[1]->trigger();
  frm.SpectrumView->iLogFrequency->trigger();
  EXPECT_EQ(frm.Graphs[0]->YMin, -60);
  EXPECT_TRUE(frm.Graphs[0]->LogX);
  frm.iSamples->trigger();
  EXPECT_FALSE(frm.SpectrumView->iRanges[1]->isEnabled());
  EXPECT_FALSE(frm.Graphs[0]->LogX);
  frm.iHistogram->trigger();
  EXPECT_EQ(frm.Graphs[0]->YMin, -60);
  frm.SpectrumView->iRanges[0]->trigger();
  EXPECT_EQ(frm.Graphs[0]->YMin, -96); // the floor of 16 bits
}

TEST_F(SignalGraph, SilenceIsAFlatLineInTheMiddleAndBarsAtTheBottom) {
  for (const TWaveFormat& format : {Mono16, Stereo8}) {
    TDSPGraphFrm frm(nullptr, "Входной сигнал");
    SetClient(frm, 400, 300);
    frm.SetFormat(format, 2048);
    const TAudioBuffer silence = MakeBlock(format, 2048, [](int, int) { return 0.0; });
    frm.ShowBlock(silence);
    for (int p = 0; p < format.nChannels; ++p) {
      const TGraph& g = *frm.Graphs[p];
      const int middle = RowOf(g, 0);
      for (int x = g.PlotRect.left + 1; x < g.PlotRect.right - 2; ++x) {
        ASSERT_EQ(Pixel(frm.Images[p], x, middle), Navy) << x;
      }
      EXPECT_EQ(CountColour(frm.Images[p], g.PlotRect.left, g.PlotRect.top, g.PlotRect.right, middle, Navy),
                0);
    }
    frm.GraphTypeClick(frm.iHistogram);
    frm.ShowBlock(silence);
    for (int p = 0; p < format.nChannels; ++p) {
      const TGraph& g = *frm.Graphs[p];
      // Bars of -100 dB: a single pixel on the bottom border, nothing above it.
      EXPECT_EQ(CountColour(frm.Images[p], g.PlotRect.left, g.PlotRect.top, g.PlotRect.right,
                            g.PlotRect.bottom - 1, Navy),
                0);
      EXPECT_GT(CountColour(frm.Images[p], g.PlotRect.left, g.PlotRect.bottom - 1, g.PlotRect.right,
                            g.PlotRect.bottom, Navy),
                g.PlotRect.Width() / 2);
    }
  }
}

TEST_F(SignalGraph, HistogramBarsMatchANaiveWindowedDft) {
  TDSPGraphFrm frm(nullptr, "Входной сигнал");
  // A plot 257 pixels wide: 256 columns, each showing the largest of its 8 of the 2048 bins.
  SetClient(frm, 257 + 104, 300);
  frm.SetFormat(Mono16, 4096);
  frm.GraphTypeClick(frm.iHistogram);
  ASSERT_EQ(frm.Graphs[0]->PlotRect.Width(), 257);
  const double hz = 96 * 44100.0 / 4096; // bin 96, column 12
  std::vector<double> x(4096);
  const TAudioBuffer block = MakeBlock(Mono16, 4096, [&](int, int j) {
    x[j] = std::round(SineAt(32400, hz, 44100, j) + SineAt(300, 5000, 44100, j));
    return x[j];
  });
  frm.ShowBlock(block);
  const TGraph& g = *frm.Graphs[0];
  for (int c = 0; c < 256; ++c) {
    const int bin = 8 * c;
    double level = -100.0;
    for (int b = bin; b < bin + 8; ++b) {
      level = std::max(level, AmplitudeToDb(WindowedDftMagnitude(x, 4096, b) * 4 / (32768.0 * 4096)));
    }
    const int expected = std::clamp(RowOf(g, level), g.PlotRect.top, g.PlotRect.bottom - 2);
    const int column = g.PlotRect.left + 1 + c;
    // The bar covers the rows below its top; its top pixel is the row after the value's row.
    const int top = FirstRowWith(frm.Images[0], column, g.PlotRect.top, g.PlotRect.bottom, Navy);
    if (expected >= g.PlotRect.bottom - 2) {
      ASSERT_TRUE(top == -1 || top >= g.PlotRect.bottom - 2)
          << "bin " << bin << " level " << level << " top " << top;
    } else {
      ASSERT_NEAR(top, expected + 1, 1) << "bin " << bin << " level " << level;
    }
  }
  // A full-scale sine reads about -1.5 dB.
  EXPECT_NEAR(AmplitudeToDb(WindowedDftMagnitude(x, 4096, 96) * 4 / (32768.0 * 4096)), -1.6, 0.1);
}

TEST_F(SignalGraph, TheSpectrumReadsTheSamePeakAtEveryWindowWidth) {
  // 440 Hz at -8 dBFS: the tallest bar stands for the loudest bin whether the plot has fewer or more
  // columns than the 2048 bins.
  std::vector<double> x(4096);
  const TAudioBuffer block = MakeBlock(Mono16, 4096, [&](int, int j) {
    x[j] = std::round(SineAt(32768 * DbToAmplitude(-8), 440, 44100, j));
    return x[j];
  });
  double peak = -100;
  for (int k = 0; k < 2048; ++k) {
    peak = std::max(peak, AmplitudeToDb(WindowedDftMagnitude(x, 4096, k) * 4 / (32768.0 * 4096)));
  }
  EXPECT_NEAR(peak, -9.6, 0.5);
  for (const int width : {392, 900, 1800}) {
    TDSPGraphFrm frm(nullptr, "Входной сигнал");
    SetClient(frm, width, 300);
    frm.SetFormat(Mono16, 4096);
    frm.GraphTypeClick(frm.iHistogram);
    frm.ShowBlock(block);
    const TGraph& g = *frm.Graphs[0];
    int tallest = g.PlotRect.bottom;
    for (int column = g.PlotRect.left + 1; column < g.PlotRect.right; ++column) {
      const int top = FirstRowWith(frm.Images[0], column, g.PlotRect.top, g.PlotRect.bottom, Navy);
      tallest = top >= 0 ? std::min(tallest, top) : tallest;
    }
    // The bar's top is the row after its value's row; rows to decibels on the chart's scale.
    const double sy = (g.PlotRect.bottom - g.PlotRect.top) / (g.YMax - g.YMin);
    const double shown = g.YMin + (g.PlotRect.bottom - (tallest - 1)) / sy;
    EXPECT_NEAR(shown, peak, 1.0) << "plot " << g.PlotRect.Width() << " pixels wide";
  }
}

TEST_F(SignalGraph, SpectrogramStripOfSilenceIsWhiteWithTheCursorAfterIt) {
  TDSPGraphFrm frm(nullptr, "Входной сигнал");
  SetClient(frm, 400, 300);
  frm.SetFormat(Mono16, 4096);
  frm.GraphTypeClick(frm.iSpectrogram);
  const TRect in = frm.Graphs[0]->InnerRect();
  // Paint the inside grey first, so that white can only come from the strip.
  for (int y = in.top; y < in.bottom; ++y) {
    for (int xx = in.left; xx < in.right - 2; ++xx) {
      frm.Images[0].setPixel(xx, y, qRgb(100, 100, 100));
    }
  }
  const TAudioBuffer silence = MakeBlock(Mono16, 4096, [](int, int) { return 0.0; });
  frm.ShowBlock(silence);
  EXPECT_EQ(CountColour(frm.Images[0], in.left, in.top, in.left + 4, in.bottom, White), 4 * in.Height());
  for (int y = in.top; y <= in.bottom; ++y) {
    ASSERT_EQ(Pixel(frm.Images[0], in.left + 4, y), Black) << y;
  }
  EXPECT_EQ(Pixel(frm.Images[0], in.left + 5, in.top + 5), 0x646464u);
  EXPECT_EQ(frm.SpectrogramX, 4);
}

TEST_F(SignalGraph, SpectrogramGreysMatchANaiveDftOfEachQuarter) {
  TDSPGraphFrm frm(nullptr, "Входной сигнал");
  SetClient(frm, 400, 300);
  frm.SetFormat(Mono16, 4096);
  frm.GraphTypeClick(frm.iSpectrogram);
  std::vector<double> x(4096);
  const TAudioBuffer block = MakeBlock(Mono16, 4096, [&](int, int j) {
    // Louder from quarter to quarter, and a sweep of frequency.
    x[j] = std::round(SineAt(4000.0 * (1 + j / 1024), 1000 + 2 * j, 44100, j));
    return x[j];
  });
  frm.ShowBlock(block);
  const TRect in = frm.Graphs[0]->InnerRect();
  const int height = in.Height();
  const double k = 4.0 / (32768.0 * 4096);
  const double range = -AmplitudeToDb(4096 * k * 0.5);
  EXPECT_NEAR(range, 84.29, 0.01);
  int dark = 0;
  for (int c = 0; c < 4; ++c) {
    const std::vector<double> quarter(x.begin() + c * 1024, x.begin() + (c + 1) * 1024);
    for (int r = 0; r < height; ++r) {
      const int bin = static_cast<int>(r * (1024 * 0.5 / height));
      const double a = std::min(-AmplitudeToDb(WindowedDftMagnitude(quarter, 1024, bin) * k), range);
      const int expected = static_cast<int>(a * 255 / range);
      const int grey = qRed(frm.Images[0].pixel(in.left + c, in.top + height - 1 - r));
      ASSERT_NEAR(grey, expected, 1) << "column " << c << " row " << r;
      dark += grey < 128 ? 1 : 0;
    }
  }
  EXPECT_GT(dark, 4); // the sine's rows are dark
}

TEST_F(SignalGraph, SpectrogramSplitsTheStripAtTheRightMargin) {
  TDSPGraphFrm frm(nullptr, "Входной сигнал");
  // Inner width 217, not a multiple of 4: strips at 0, 4, ..., 212; the one at 212 has 3 columns
  // before the right margin (215) and puts its fourth at the left edge.
  SetClient(frm, 322, 300);
  frm.SetFormat(Mono16, 4096);
  frm.GraphTypeClick(frm.iSpectrogram);
  const TRect in = frm.Graphs[0]->InnerRect();
  ASSERT_EQ(in.Width(), 217);
  std::mt19937 random(11);
  std::uniform_real_distribution<double> noise(-20000, 20000);
  const TAudioBuffer loud = MakeBlock(Mono16, 4096, [&](int, int) { return noise(random); });
  const TAudioBuffer silence = MakeBlock(Mono16, 4096, [](int, int) { return 0.0; });
  for (int b = 0; b < 53; ++b) {
    frm.ShowBlock(loud);
  }
  ASSERT_EQ(frm.SpectrogramX, 212);
  const int row = in.top + 5;
  EXPECT_LT(qRed(frm.Images[0].pixel(in.left + 1, row)), 255);
  frm.ShowBlock(silence);
  EXPECT_EQ(Pixel(frm.Images[0], in.left + 212, row), White);
  EXPECT_EQ(Pixel(frm.Images[0], in.left + 214, row), White);
  EXPECT_EQ(Pixel(frm.Images[0], in.left + 215, row), Black); // the frame's right border
  EXPECT_EQ(Pixel(frm.Images[0], in.left + 0, row), White);   // the strip's fourth column
  EXPECT_LT(qRed(frm.Images[0].pixel(in.left + 1, row)), 255);
  EXPECT_EQ(frm.SpectrogramX, (212 + 4) % 217);
}

TEST_F(SignalGraph, ResizingInTheSpectrogramRestartsAtTheLeftEdge) {
  TDSPGraphFrm frm(nullptr, "Входной сигнал");
  SetClient(frm, 400, 300);
  frm.SetFormat(Mono16, 4096);
  frm.GraphTypeClick(frm.iSpectrogram);
  const TAudioBuffer silence = MakeBlock(Mono16, 4096, [](int, int) { return 0.0; });
  frm.ShowBlock(silence);
  frm.ShowBlock(silence);
  EXPECT_EQ(frm.SpectrogramX, 8);
  SetClient(frm, 700, 300);
  EXPECT_EQ(frm.SpectrogramX, 0);
  EXPECT_EQ(frm.Graphs[0]->XMax, (frm.GraphWidth / 4) * 92 / 1000);
}

TEST_F(SignalGraph, ShortOrOddBlocksAreReadOnlyAsFarAsTheirBytes) {
  TDSPGraphFrm frm(nullptr, "Входной сигнал");
  SetClient(frm, 400, 300);
  TWaveFormat three = MakePCMFormat(44100, 2, 16);
  three.nChannels = 3;
  three.nBlockAlign = 6;
  frm.SetFormat(three, 4096);
  EXPECT_TRUE(frm.Graphs[0] && frm.Graphs[1]); // at most two channels are shown
  std::vector<uint8_t> bytes(6 * 100, 0);
  for (int view : {0, 1, 2}) {
    QAction* items[] = {frm.iSamples, frm.iHistogram, frm.iSpectrogram};
    frm.GraphTypeClick(items[view]);
    // The frame count claims 4096 frames; only the 100 that the bytes hold are read.
    frm.ShowBlock(bytes.data(), 4096, static_cast<int32_t>(bytes.size()));
    frm.ShowBlock(bytes.data(), 1, 6);
    frm.ShowBlock(nullptr, 4096, 0);
  }
}

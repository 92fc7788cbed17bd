// SPDX-License-Identifier: GPL-3.0-or-later
// Renders every view from generated signals to PNG files under <build>/snapshots/ for a person to
// look at. Each test also checks that its picture holds what it should.

#include "Pixels.h"
#include "support/PcmSignals.h"
#include "support/QtTestApp.h"

#include "dsp/FilterList.h"
#include "filters/FilterCatalogue.h"
#include "filters/Transforms.h"
#include "ui/displays/DSPGraphFrm.h"
#include "ui/displays/DSPPerfForm.h"
#include "ui/displays/FilterSpectrumForm.h"
#include "ui/displays/LevelGauge.h"

#include <QDir>
#include <QPainter>
#include <QPixmap>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <random>

using namespace sonotest;

namespace {

QString SnapshotPath(const char* name) {
  const QString dir = QStringLiteral(SONOLAB_TEST_BINARY_DIR "/snapshots");
  QDir().mkpath(dir);
  return dir + "/" + name + ".png";
}

void Save(QWidget& w, const char* name) {
  QApplication::processEvents();
  const QPixmap shot = w.grab();
  ASSERT_FALSE(shot.isNull());
  ASSERT_TRUE(shot.save(SnapshotPath(name)));
}

// A sweep from 100 Hz up to 16 kHz over `frames` frames, phase-continuous.
struct TSweep {
  double rate;
  double amplitude;
  double phase = 0;
  double Next(double t) {
    const double hz = 100 * std::pow(160.0, t);
    phase += 2 * std::numbers::pi * hz / rate;
    return amplitude * std::sin(phase);
  }
};

class Snapshots : public ::testing::Test {
protected:
  void SetUp() override { App(); }
};

void FeedSignals(TDSPGraphFrm& frm, const TWaveFormat& format, int frames, int blocks) {
  TSweep sweep{static_cast<double>(format.nSamplesPerSec), format.wBitsPerSample == 16 ? 30000.0 : 120.0};
  std::mt19937 noise(7);
  std::normal_distribution<double> gauss(0, format.wBitsPerSample == 16 ? 4000.0 : 16.0);
  const int total = frames * blocks;
  for (int b = 0; b < blocks; ++b) {
    // Every eighth block is silent: white gaps in the spectrogram.
    const bool silent = b % 8 == 7;
    const TAudioBuffer block = MakeBlock(format, frames, [&](int c, int j) {
      if (silent) {
        return 0.0;
      }
      if (c == 0) {
        return sweep.Next(static_cast<double>(b * frames + j) / total);
      }
      return gauss(noise);
    });
    frm.ShowBlock(block);
  }
}

} // namespace

TEST_F(Snapshots, EveryViewOfASweepMarksTheChartOfEachChannel) {
  struct TCase {
    TWaveFormat Format;
    const char* Name;
  };
  for (const TCase& c :
       {TCase{MakePCMFormat(44100, 1, 16), "mono"}, TCase{MakePCMFormat(44100, 2, 16), "stereo"}}) {
    for (int view = 0; view < 3; ++view) {
      TDSPGraphFrm frm(nullptr, view == 1 ? "Выходной сигнал" : "Входной сигнал");
      frm.resize(c.Format.nChannels == 2 ? 820 : 520, 360);
      frm.show();
      QApplication::processEvents();
      frm.SetFormat(c.Format, 4096);
      QAction* items[] = {frm.iSamples, frm.iHistogram, frm.iSpectrogram};
      frm.GraphTypeClick(items[view]);
      QApplication::processEvents(); // the scroll bars settle before the blocks arrive
      // The whole content, both charts side by side, from the images the window shows.
      const int blocks = view == 2 ? 90 : 12;
      FeedSignals(frm, c.Format, 4096, blocks);
      const int width = frm.HorzRange();
      QImage all(width, frm.GraphHeight, QImage::Format_RGB32);
      all.fill(frm.palette().color(QPalette::Window));
      QPainter p(&all);
      for (int ch = 0; ch < c.Format.nChannels; ++ch) {
        p.drawImage(ch * (frm.GraphWidth + 16), 0, frm.Images[ch]);
      }
      p.end();
      const char* views[] = {"samples", "histogram", "spectrogram"};
      const QString name = QString("signal-%1-%2").arg(c.Name, views[view]);
      ASSERT_TRUE(all.save(SnapshotPath(name.toUtf8().constData())));
      Save(frm, (name + "-window").toUtf8().constData());
      // Something of the signal is on every chart.
      for (int ch = 0; ch < c.Format.nChannels; ++ch) {
        const TRect in = frm.Graphs[ch]->InnerRect();
        const int marked = view == 2
                               ? in.Width() * in.Height() - CountColour(frm.Images[ch], in.left, in.top,
                                                                        in.right - 2, in.bottom, White)
                               : CountColour(frm.Images[ch], in.left, in.top, in.right, in.bottom, Navy);
        EXPECT_GT(marked, 100) << name.toStdString() << " channel " << ch;
      }
    }
  }
}

TEST_F(Snapshots, StereoGaugesKeepThePeakOfTheLouderBlockOnEachChannel) {
  const TWaveFormat format = MakePCMFormat(44100, 2, 16);
  const double floorDb = AmplitudeToDb(1 / 65536.0);
  TLevelGauge left(TRect{0, 0, 48, 220}, floorDb);
  TLevelGauge right(TRect{48, 0, 96, 220}, floorDb);
  QImage box(96, 220, QImage::Format_RGB32);
  box.fill(QColor(240, 240, 240));
  QPainter p(&box);
  p.setFont(Gdi::ArialFont(11, 400));
  p.setPen(Qt::black);
  p.setBackground(QColor(240, 240, 240));
  left.Paint(p);
  right.Paint(p);
  // A loud block, then a quieter one: the red marks stay at the loud levels.
  for (double amplitude : {16384.0, 2000.0}) {
    const TAudioBuffer block = MakeBlock(format, 4096, [&](int c, int j) {
      return c == 0 ? SineAt(amplitude, 440, 44100, j) : SineAt(amplitude / 8, 440, 44100, j);
    });
    left.SetLevel(BlockChannelLevel(block, 0, floorDb));
    right.SetLevel(BlockChannelLevel(block, 1, floorDb));
    left.DrawBar(p);
    right.DrawBar(p);
  }
  p.end();
  ASSERT_TRUE(box.save(SnapshotPath("gauges-stereo")));
  EXPECT_EQ(left.PeakText(), "  -6.0  ");
  EXPECT_EQ(right.PeakText(), "  -24.1  ");
}

TEST_F(Snapshots, ThreeHundredMeasuredBlocksFillTheHistoryAndDrawTheBlockDurationLine) {
  // Real times: a full chain of equalisers and reverberations over 4096-frame stereo blocks of noise.
  TFilterList chain(44100);
  for (int i = 0; i < TFilterList::MaxFilters; ++i) {
    chain.Add(CreateFilter(i % 2 == 0 ? 4 : 11, 44100));
  }
  const TWaveFormat format = MakePCMFormat(44100, 2, 16);
  std::mt19937 noise(3);
  std::uniform_real_distribution<double> uniform(-8000, 8000);
  TAudioBuffer block = MakeBlock(format, 4096, [&](int, int) { return uniform(noise); });

  TDSPPerfForm form(nullptr, 4096 * 1000 / 44100);
  form.show();
  for (int b = 0; b < 300; ++b) {
    const auto start = std::chrono::steady_clock::now();
    chain.ProcessBlock(block.Data(), block.Frames(), block.Format());
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
    form.AddTime(static_cast<uint64_t>(ns.count()));
  }
  Save(form, "performance-300-blocks");
  EXPECT_EQ(form.HistoryLength, form.Graph->InnerRect().Width());
  EXPECT_GT(CountColour(form.Image, 0, 0, form.Image.width(), form.Image.height(), Red), 100);
}

TEST_F(Snapshots, TheResponseWindowOfAFiveFilterChainCarriesTheChainsTitle) {
  auto lowPass = CreateFilter(0, 44100);
  TFilterSpectrumForm one(nullptr, false, lowPass.get(), nullptr);
  one.show();
  Save(one, "response-low-pass-1000");

  TFilterList chain(44100);
  for (int type : {0, 1, 4, 9, 11}) {
    chain.Add(CreateFilter(type, 44100));
  }
  // Low-pass at 8 kHz, high-pass at 200 Hz, the equaliser lifting the middle bands.
  *static_cast<int32_t*>(chain.Item(0)->FindParameter("fc")) = 8000;
  chain.Item(0)->Apply();
  *static_cast<int32_t*>(chain.Item(1)->FindParameter("fc")) = 200;
  chain.Item(1)->Apply();
  auto* gains = static_cast<double*>(chain.Item(2)->FindParameter("Gain"));
  for (int b = 0; b < 20; ++b) {
    gains[b] = b >= 8 && b <= 12 ? 4.0 : 1.0;
  }
  chain.Item(2)->Apply();
  *static_cast<int32_t*>(chain.Item(3)->FindParameter("Delay")) = 10;
  chain.Item(3)->Apply();
  TFilterSpectrumForm all(nullptr, true, nullptr, &chain);
  all.show();
  Save(all, "response-five-filter-chain");
  EXPECT_EQ(all.windowTitle(), "Амплитудно-частотная характеристика системы фильтров");
  EXPECT_GT(CountColour(all.Image, 0, 0, all.Image.width(), all.Image.height(), Navy), 500);
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "Pixels.h"
#include "support/PcmSignals.h"
#include "support/QtTestApp.h"

#include "filters/Transforms.h"
#include "ui/displays/LevelGauge.h"

#include <QFontMetrics>
#include <QPainter>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

using namespace sonotest;

namespace {

const double Floor16 = AmplitudeToDb(1 / 65536.0); // -96.33
const double Floor8 = AmplitudeToDb(1 / 256.0);    // -48.16

constexpr QRgb Background = 0xF0F0F0;
// A drawing that has not ended by then is taken to loop for ever.
constexpr auto DrawingGuard = std::chrono::seconds(30);

class LevelGauge : public ::testing::Test {
protected:
  void SetUp() override { App(); }

  // Paints the whole gauge and then its bar at the floor level. A loop inside the drawing could not be
  // interrupted, so a watchdog ends the test program with a message when the drawing outlasts the guard.
  static void PaintAtTheFloorWithin(TLevelGauge& g, QImage& img) {
    std::mutex m;
    std::condition_variable ended;
    bool done = false;
    std::thread watchdog([&] {
      std::unique_lock lock(m);
      if (!ended.wait_for(lock, DrawingGuard, [&] { return done; })) {
        std::fprintf(stderr, "the level gauge's drawing did not end within %lld s\n",
                     static_cast<long long>(DrawingGuard.count()));
        std::abort();
      }
    });
    {
      QPainter p(&img);
      Prepare(p, Gdi::ArialFont(11, 400));
      g.SetLevel(g.Floor);
      g.Paint(p);
      g.DrawBar(p);
    }
    {
      std::lock_guard lock(m);
      done = true;
    }
    ended.notify_one();
    watchdog.join();
  }

  // The frame in black, white inside, the peak mark in red on the row above the bottom edge, no green,
  // nothing left of the bar, and "-Inf." above it.
  static void ExpectAnEmptyBarWithTheMarkAtTheBottom(const TLevelGauge& g, const QImage& img,
                                                     double floorDb) {
    const TRect bar = g.BarRect;
    for (int x = bar.left; x < bar.right; ++x) {
      EXPECT_EQ(Pixel(img, x, bar.top), Black) << floorDb << " x " << x;
      EXPECT_EQ(Pixel(img, x, bar.bottom - 1), Black) << floorDb << " x " << x;
    }
    for (int y = bar.top; y < bar.bottom; ++y) {
      EXPECT_EQ(Pixel(img, bar.left, y), Black) << floorDb << " y " << y;
      EXPECT_EQ(Pixel(img, bar.right - 1, y), Black) << floorDb << " y " << y;
    }
    const int inside = bar.right - bar.left - 2;
    EXPECT_EQ(CountColour(img, bar.left + 1, bar.top + 1, bar.right - 1, bar.bottom - 2, White),
              inside * (bar.bottom - bar.top - 3))
        << floorDb;
    EXPECT_EQ(CountColour(img, bar.left + 1, bar.bottom - 2, bar.right - 1, bar.bottom - 1, Red), inside)
        << floorDb;
    EXPECT_EQ(CountColour(img, 0, 0, img.width(), img.height(), Green), 0) << floorDb;
    // No tick and no label: the column left of the bar is untouched below the peak text.
    EXPECT_EQ(CountColour(img, 0, bar.top, bar.left, img.height(), Background),
              bar.left * (img.height() - bar.top))
        << floorDb;
    EXPECT_EQ(g.PeakText(), "-Inf.") << floorDb;
  }

  // A paint box surface: window colour, black text in the given font.
  static QImage Box(int w, int h) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(QColor(240, 240, 240));
    return img;
  }
  static void Prepare(QPainter& p, const QFont& font) {
    p.setFont(font);
    p.setPen(Qt::black);
    p.setBackground(QColor(240, 240, 240));
  }
};

} // namespace

TEST_F(LevelGauge, BlockLevelIsThePeakMagnitudeRelativeToFullScale) {
  EXPECT_NEAR(Floor16, -96.33, 0.005);
  EXPECT_NEAR(Floor8, -48.16, 0.005);
  const TWaveFormat mono16 = MakePCMFormat(44100, 1, 16);
  auto level16 = [&](double peak) {
    const TAudioBuffer b = MakeBlock(mono16, 4096, [&](int, int j) { return j == 1000 ? peak : peak / 3; });
    return BlockChannelLevel(b, 0, Floor16);
  };
  EXPECT_NEAR(level16(32767), 0, 0.001);
  EXPECT_EQ(level16(-32768), 0);
  EXPECT_NEAR(level16(16384), -6.0206, 0.0001);
  EXPECT_NEAR(level16(-1), -90.31, 0.01);
  EXPECT_EQ(level16(0), Floor16); // silence sits on the floor

  const TWaveFormat stereo8 = MakePCMFormat(22050, 2, 8);
  const TAudioBuffer silence8 = MakeBlock(stereo8, 2048, [](int, int) { return 0.0; }); // bytes of 128
  EXPECT_EQ(BlockChannelLevel(silence8, 0, Floor8), Floor8);
  // Byte 0 is -128: full scale. Byte 255 is +127.
  const TAudioBuffer edges =
      MakeBlock(stereo8, 2048, [](int c, int j) { return j == 7 ? (c == 0 ? -128.0 : 127.0) : 0.0; });
  EXPECT_EQ(BlockChannelLevel(edges, 0, Floor8), 0);
  EXPECT_NEAR(BlockChannelLevel(edges, 1, Floor8), AmplitudeToDb(127 / 128.0), 1e-12);

  // Channels are read from their own interleaved positions.
  const TWaveFormat stereo16 = MakePCMFormat(44100, 2, 16);
  const TAudioBuffer leftSilent =
      MakeBlock(stereo16, 4096, [](int c, int j) { return c == 0 ? 0.0 : SineAt(8192, 440, 44100, j); });
  EXPECT_EQ(BlockChannelLevel(leftSilent, 0, Floor16), Floor16);
  EXPECT_NEAR(BlockChannelLevel(leftSilent, 1, Floor16), -12.04, 0.01);

  // Frames beyond the byte count are not read; a bad channel or format gives the floor.
  std::vector<uint8_t> bytes(8, 0);
  bytes[6] = 0x00;
  bytes[7] = 0x80; // -32768 in frame 3
  EXPECT_EQ(BlockChannelLevel(bytes.data(), 4096, 6, mono16, 0, Floor16), Floor16);
  EXPECT_EQ(BlockChannelLevel(bytes.data(), 4096, 8, mono16, 0, Floor16), 0);
  EXPECT_EQ(BlockChannelLevel(bytes.data(), 4, 8, mono16, 1, Floor16), Floor16);
}

TEST_F(LevelGauge, ScaleOf144PixelsWith13PixelTextHasFiveDivisionsOfNineteenDb) {
  const TGaugeScale s = GaugeScale(144, 13, Floor16);
  EXPECT_EQ(s.Divisions, 5);
  EXPECT_EQ(s.StepDb, -19);
  EXPECT_EQ(GaugeScale(20, 13, Floor16).Divisions, 0);
  EXPECT_EQ(GaugeScale(20, 13, Floor16).StepDb, 0);
  EXPECT_EQ(GaugeScale(144, 13, -3).StepDb, 0); // a step that rounds to 0 dB draws no labels

  // Drawn with the paint box's 11-pixel font (whose text height the installed face decides) on a
  // bar 144 pixels high (bounds 0..168): a labelled tick at every step down to the bar's bottom.
  const QFont font = Gdi::ArialFont(11, 400);
  const int h = QFontMetrics(font).height();
  const TGaugeScale drawn = GaugeScale(144, h, Floor16);
  ASSERT_LT(drawn.StepDb, 0);
  TLevelGauge g(TRect{0, 0, 48, 168}, Floor16);
  ASSERT_EQ(g.BarRect.Height(), 144);
  QImage img = Box(48, 168);
  QPainter p(&img);
  Prepare(p, font);
  g.Paint(p);
  p.end();
  int labels = 0;
  for (int v = drawn.StepDb;; v += drawn.StepDb) {
    const int y = static_cast<int>(std::trunc(g.BarRect.top + (v * 144.0) / Floor16));
    if (y >= g.BarRect.bottom) {
      if (y < img.height()) {
        EXPECT_NE(Pixel(img, g.BarRect.left - 1, y), Black) << v;
      }
      break;
    }
    ++labels;
    EXPECT_EQ(Pixel(img, g.BarRect.left - 1, y), Black) << v;
    EXPECT_NE(Pixel(img, g.BarRect.left - 3, y), Black) << v; // a 2-pixel tick, then the label's gap
    EXPECT_GT(CountColour(img, 0, y - h / 2, g.BarRect.left - 4, y - h / 2 + h, Black), 5) << v;
  }
  EXPECT_GE(labels, drawn.Divisions - 1);
  EXPECT_LE(labels, drawn.Divisions);
  EXPECT_NE(Pixel(img, g.BarRect.left - 1, g.BarRect.top), Black);
  EXPECT_EQ(g.PeakText(), "-Inf.");
}

TEST_F(LevelGauge, ABarTooLowForOneDivisionDrawsItsFrameAndBottomMarkButNoScale) {
  // A 16-pixel bar holds no division of two text heights, whatever the floor.
  for (double floorDb : {Floor16, -3.0, 0.0, 5.0}) {
    TLevelGauge g(TRect{0, 0, 48, 40}, floorDb);
    ASSERT_EQ(g.BarRect, (TRect{24, 16, 40, 32}));
    QImage img = Box(48, 40);
    PaintAtTheFloorWithin(g, img);
    ExpectAnEmptyBarWithTheMarkAtTheBottom(g, img, floorDb);
  }
}

TEST_F(LevelGauge, AFloorWhoseStepRoundsToZeroDecibelsDrawsNoScale) {
  // A 176-pixel bar has divisions, but these floors give a whole-dB step of 0, or a floor that is
  // not below 0 dB: the scale is left out rather than stepped through.
  const int h = QFontMetrics(Gdi::ArialFont(11, 400)).height();
  for (double floorDb : {-3.0, 0.0, 5.0, 10.0}) {
    TLevelGauge g(TRect{0, 0, 48, 200}, floorDb);
    ASSERT_GT(GaugeScale(g.BarRect.Height(), h, floorDb).Divisions, 0);
    QImage img = Box(48, 200);
    PaintAtTheFloorWithin(g, img);
    ExpectAnEmptyBarWithTheMarkAtTheBottom(g, img, floorDb);
  }
}

TEST_F(LevelGauge, AGaugeWithNoRoomForItsBarDrawsNothing) {
  TLevelGauge g(TRect{0, 0, 0, 0}, Floor16);
  QImage img = Box(48, 40);
  PaintAtTheFloorWithin(g, img);
  EXPECT_EQ(CountColour(img, 0, 0, 48, 40, Background), 48 * 40);
}

TEST_F(LevelGauge, GreenBarAndRedMarkAreLinearInDecibels) {
  TLevelGauge g(TRect{0, 0, 48, 200}, Floor16);
  const TRect bar = g.BarRect;
  ASSERT_EQ(bar, (TRect{24, 16, 40, 192}));
  QImage img = Box(48, 200);
  QPainter p(&img);
  Prepare(p, Gdi::ArialFont(11, 400));
  g.Paint(p);
  const double level = AmplitudeToDb(16384 / 32768.0); // -6.02
  g.SetLevel(level);
  g.DrawBar(p);
  const int top = static_cast<int>(std::trunc(16 + 176 * level / Floor16)); // 26
  EXPECT_EQ(top, 27);
  for (int x = bar.left + 1; x < bar.right - 1; ++x) {
    ASSERT_EQ(Pixel(img, x, top), Red) << x; // the peak mark over the bar's top row
    ASSERT_EQ(Pixel(img, x, top + 1), Green) << x;
    ASSERT_EQ(Pixel(img, x, bar.bottom - 2), Green) << x;
    ASSERT_EQ(Pixel(img, x, top - 1), White) << x;
  }
  EXPECT_EQ(Pixel(img, bar.left, 100), Black);
  EXPECT_EQ(Pixel(img, bar.right - 1, 100), Black);
  EXPECT_EQ(g.Peak, level);
  EXPECT_EQ(g.PeakText(), "  -6.0  ");

  // A quieter block: the bar falls, the mark stays at the loudest level.
  const double quiet = -40;
  g.SetLevel(quiet);
  g.DrawBar(p);
  p.end();
  const int quietTop = static_cast<int>(std::trunc(16 + 176 * quiet / Floor16));
  EXPECT_EQ(Pixel(img, 30, top), Red);
  EXPECT_EQ(Pixel(img, 30, top + 1), White);
  EXPECT_EQ(Pixel(img, 30, quietTop - 1), White);
  EXPECT_EQ(Pixel(img, 30, quietTop), Green);
  EXPECT_EQ(g.PeakText(), "  -6.0  ");
}

TEST_F(LevelGauge, SilenceShowsAnEmptyBarTheMarkAtTheBottomAndMinusInf) {
  TLevelGauge g(TRect{0, 0, 48, 200}, Floor8);
  QImage img = Box(48, 200);
  QPainter p(&img);
  Prepare(p, Gdi::ArialFont(11, 400));
  g.Paint(p);
  const TAudioBuffer silence = MakeBlock(MakePCMFormat(8000, 1, 8), 512, [](int, int) { return 0.0; });
  g.SetLevel(BlockChannelLevel(silence, 0, g.Floor));
  g.DrawBar(p);
  p.end();
  EXPECT_EQ(g.Level, Floor8);
  EXPECT_EQ(g.PeakText(), "-Inf.");
  EXPECT_EQ(CountColour(img, 25, 17, 39, 190, Green), 0);
  EXPECT_EQ(Pixel(img, 30, g.BarRect.bottom - 2), Red);
  // The peak text stands centred above the bar, its minus a short stroke apart from the "I".
  EXPECT_GT(CountColour(img, 24, 0, 40, 16, Black), 5);
  int x = 0;
  while (x < 48 && CountColour(img, x, 0, x + 1, 16, Black) == 0) {
    ++x;
  }
  const int minusLeft = x;
  while (x < 48 && CountColour(img, x, 0, x + 1, 16, Black) > 0) {
    ++x;
  }
  ASSERT_LT(x, 48);
  EXPECT_LE(CountColour(img, minusLeft, 0, x, 16, Black), 2 * (x - minusLeft)) << "minus and I run together";
}

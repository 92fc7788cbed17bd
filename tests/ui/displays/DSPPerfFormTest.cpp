// SPDX-License-Identifier: GPL-3.0-or-later
#include "Pixels.h"
#include "support/QtTestApp.h"

#include "ui/displays/DSPPerfForm.h"

#include <QAction>
#include <QPainter>
#include <gtest/gtest.h>

#include <cmath>

using namespace sonotest;

namespace {

class Performance : public ::testing::Test {
protected:
  void SetUp() override { App(); }

  static void SetClient(TDSPPerfForm& form, int w, int h) {
    form.show();
    form.resize(w, h);
    QApplication::processEvents();
  }
};

} // namespace

TEST_F(Performance, ScaleIsOneAndAHalfBlocksRoundedDownToTenMilliseconds) {
  TDSPPerfForm form(nullptr, 92); // 4096 frames at 44100 Hz
  SetClient(form, 696, 480);
  EXPECT_EQ(form.windowTitle(), "График производительности");
  EXPECT_EQ(form.Graph->YMax, 130);
  EXPECT_EQ(form.Graph->YMin, 0);
  EXPECT_EQ(form.Graph->XTitle, "Время, с");
  EXPECT_EQ(form.Graph->YTitle, "Время обработки, мс");
  EXPECT_FALSE(form.Graph->HasTitleBar);
  // 696 pixels wide: 591 columns of history, one block each, span 54 s.
  EXPECT_EQ(form.HistoryLength, 591);
  EXPECT_EQ(form.Graph->InnerRect().Width(), 591);
  EXPECT_EQ(form.Graph->XMax, 54);
  EXPECT_EQ(form.TicksPer100ms, 100000000);

  TDSPPerfForm half(nullptr, 46); // 2048 frames
  EXPECT_EQ(half.Graph->YMax, 60);
  TDSPPerfForm tiny(nullptr, 5); // a block too short for a 10 ms scale keeps one
  EXPECT_EQ(tiny.Graph->YMax, 10);
}

TEST_F(Performance, NanosecondsAreStoredAsWholeMilliseconds) {
  TDSPPerfForm form(nullptr, 92);
  SetClient(form, 696, 480);
  form.AddTime(5000000);
  EXPECT_EQ(form.History[0], 5);
  form.AddTime(12999999);
  EXPECT_EQ(form.History[0], 12);
  EXPECT_EQ(form.History[1], 5);
  form.AddTime(~uint64_t{0}); // a wrapped clock difference stays a positive whole number
  EXPECT_GT(form.History[0], 0);
  EXPECT_EQ(form.History[2], 5);
}

TEST_F(Performance, CurveStartsAtTheLeftAndTheRedLineMarksTheBlockDuration) {
  TDSPPerfForm form(nullptr, 92);
  SetClient(form, 696, 480);
  form.AddTime(50000000);  // 50 ms, now in column 1
  form.AddTime(200000000); // 200 ms, above the scale: the top edge
  const TGraph& g = *form.Graph;
  const TRect inner = g.InnerRect();
  EXPECT_EQ(Pixel(form.Image, inner.left, g.PlotRect.top), Navy);
  EXPECT_EQ(Pixel(form.Image, inner.left + 1, RowOf(g, 50)), Navy);
  EXPECT_EQ(Pixel(form.Image, inner.left + 10, g.PlotRect.bottom - 2), Navy); // zeros further right

  // The limit: inner.bottom - inner height * 92 / 130, a 2-pixel red line across the inside.
  const int limit = static_cast<int>(std::trunc(inner.bottom - (inner.bottom - inner.top) * 92.0 / 130));
  EXPECT_EQ(form.LimitPixel(), limit);
  for (int x = inner.left + 5; x < inner.right - 3; x += 50) {
    ASSERT_EQ(Pixel(form.Image, x, limit), Red) << x;
    ASSERT_EQ(Pixel(form.Image, x, limit - 1), Red) << x;
    ASSERT_NE(Pixel(form.Image, x, limit + 1), Red) << x;
  }
}

TEST_F(Performance, AScaleThatFollowsTheTimesLiftsATenthOfAMillisecondClearOfTheAxis) {
  EXPECT_EQ(TDSPPerfForm::TimesScaleTop(0), 0.01);
  EXPECT_DOUBLE_EQ(TDSPPerfForm::TimesScaleTop(0.1), 0.2);
  EXPECT_EQ(TDSPPerfForm::TimesScaleTop(4), 5);
  EXPECT_EQ(TDSPPerfForm::TimesScaleTop(8), 10);
  TDSPPerfForm form(nullptr, 92);
  SetClient(form, 696, 480);
  form.AddTime(3000000);
  form.iTimesScale->trigger();
  EXPECT_EQ(form.History[0], 0); // the history starts again
  form.AddTime(100000);          // 0.1 ms
  const TGraph& g = *form.Graph;
  EXPECT_DOUBLE_EQ(form.History[0], 0.1);
  EXPECT_DOUBLE_EQ(g.YMax, 0.2);
  EXPECT_EQ(Pixel(form.Image, g.InnerRect().left, RowOf(g, 0.1)), Navy);
  // The block's 92 ms lie far above the top: no red line.
  EXPECT_EQ(CountColour(form.Image, 0, 0, form.Image.width(), form.Image.height(), Red), 0);
  form.AddTime(4000000); // the scale grows with the largest time shown
  EXPECT_EQ(g.YMax, 5);

  form.iBlockScale->trigger();
  EXPECT_EQ(g.YMax, 130);
  form.AddTime(5500000);
  EXPECT_EQ(form.History[0], 5); // whole milliseconds again
}

TEST_F(Performance, HistorySurvivesResizesNewestFirst) {
  TDSPPerfForm form(nullptr, 92);
  SetClient(form, 696, 480);
  for (int ms = 1; ms <= 591; ++ms) {
    form.AddTime(static_cast<uint64_t>(ms) * 1000000);
  }
  EXPECT_EQ(form.History[0], 591);
  EXPECT_EQ(form.History[590], 1);

  SetClient(form, 400, 300); // narrower: the newest times stay
  ASSERT_EQ(form.HistoryLength, 400 - 105);
  ASSERT_EQ(form.History.size(), 295u);
  EXPECT_EQ(form.History[0], 591);
  EXPECT_EQ(form.History[294], 591 - 294);
  EXPECT_EQ(form.Graph->XMax, 92 * 295 / 1000);

  SetClient(form, 800, 300); // wider: zeros at the old end
  ASSERT_EQ(form.HistoryLength, 800 - 105);
  EXPECT_EQ(form.History[0], 591);
  EXPECT_EQ(form.History[294], 591 - 294);
  EXPECT_EQ(form.History[295], 0);
  EXPECT_EQ(form.History[694], 0);
}

// Blocks shorter than the default one: a column per update, times to the microsecond against the
// block's exact duration, on one and a half blocks in tenths of a millisecond (tens above 10 ms).
TEST_F(Performance, SmallBlocksAreTimedToTheMicrosecondAgainstTheirExactDuration) {
  TDSPPerfForm form(nullptr, 64, 4096, 48000);
  SetClient(form, 696, 480);
  EXPECT_EQ(form.Graph->YMax, 2.0);
  EXPECT_EQ(form.Graph->XMax, 85 * 591 / 1000);
  const TRect inner = form.Graph->InnerRect();
  EXPECT_EQ(form.LimitPixel(),
            static_cast<int>(std::trunc(inner.bottom - (inner.bottom - inner.top) * (4 / 3.0) / 2)));
  form.AddTime(1234567);
  EXPECT_DOUBLE_EQ(form.History[0], 1.234);
  EXPECT_EQ(Pixel(form.Image, inner.left, RowOf(*form.Graph, 1.234)), Navy);
  EXPECT_EQ(TDSPPerfForm(nullptr, 256, 4096, 44100).Graph->YMax, 8.7);
  EXPECT_EQ(TDSPPerfForm(nullptr, 1024, 4096, 48000).Graph->YMax, 30);
  TDSPPerfForm whole(nullptr, 4096, 4096, 44100); // the default block: as above
  EXPECT_EQ(whole.Graph->YMax, 130);
  whole.AddTime(12999999);
  EXPECT_EQ(whole.History[0], 12);
}

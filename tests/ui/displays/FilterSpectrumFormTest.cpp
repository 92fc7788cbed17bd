// SPDX-License-Identifier: GPL-3.0-or-later
#include "Pixels.h"
#include "support/QtTestApp.h"

#include "dsp/FilterList.h"
#include "filters/FilterCatalogue.h"
#include "filters/LowPassFilter.h"
#include "ui/displays/FilterSpectrumForm.h"

#include <QAction>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <mutex>

using namespace sonotest;

namespace {

class Response : public ::testing::Test {
protected:
  void SetUp() override { App(); }
};

// The 2-pixel series at 0 dB covers rows y0 - 1 and y0 across the plot.
void ExpectFlatAtZeroDb(const TFilterSpectrumForm& form) {
  const TGraph& g = *form.Graph;
  const int y0 = RowOf(g, 0);
  for (int x = g.PlotRect.left + 2; x < g.PlotRect.right - 3; ++x) {
    ASSERT_EQ(Pixel(form.Image, x, y0), Navy) << x;
    ASSERT_EQ(Pixel(form.Image, x, y0 - 1), Navy) << x;
    ASSERT_NE(Pixel(form.Image, x, y0 + 1), Navy) << x;
    ASSERT_NE(Pixel(form.Image, x, y0 - 2), Navy) << x;
  }
}

} // namespace

TEST_F(Response, EmptyOrDisabledChainIsFlatAtZeroDb) {
  TFilterList chain(44100);
  TFilterSpectrumForm empty(nullptr, true, nullptr, &chain);
  EXPECT_EQ(empty.windowTitle(), "Амплитудно-частотная характеристика системы фильтров");
  for (double gain : empty.Response.Db) {
    ASSERT_NEAR(gain, 0, 1e-6);
  }
  ExpectFlatAtZeroDb(empty);
  EXPECT_EQ(empty.Graph->XMax, 22050);
  EXPECT_EQ(empty.Graph->YMin, -120);
  EXPECT_EQ(empty.Graph->YMax, 30);
  EXPECT_EQ(empty.Graph->YBaseStep, 5);
  EXPECT_EQ(empty.Graph->PenWidth, 2);
  EXPECT_EQ(empty.Graph->XTitle, "Частота, Гц");
  EXPECT_EQ(empty.Graph->YTitle, "Амплитуда, дБ");

  chain.Add(CreateFilter(0, 44100));
  chain.SetEnabled(0, false);
  TFilterSpectrumForm disabled(nullptr, true, nullptr, &chain);
  ExpectFlatAtZeroDb(disabled);
}

TEST_F(Response, LowPassAt1000HzPassesBelowAndFallsSteeplyAbove) {
  auto lowPass = CreateFilter(0, 44100);
  ASSERT_EQ(*static_cast<int32_t*>(lowPass->FindParameter("fc")), 1000);
  TFilterSpectrumForm form(nullptr, false, lowPass.get(), nullptr);
  EXPECT_EQ(form.windowTitle(), "Амплитудно-частотная характеристика фильтра - Фильтр нижних частот");
  // Bin k stands for k * 44100 / 1024 Hz.
  ASSERT_EQ(form.Response.Db.size(), 512u);
  for (int k = 0; k * 44100 / 1024 < 800; ++k) {
    EXPECT_NEAR(form.Response.Db[k], 0, 0.5) << k;
  }
  for (int k = 2500 * 1024 / 44100; k < 512; ++k) {
    EXPECT_LT(form.Response.Db[k], -40) << k;
  }
  const TGraph& g = *form.Graph;
  // Left of the cut-off the curve stands on the 0 dB rows, far right it is low.
  EXPECT_EQ(Pixel(form.Image, g.PlotRect.left + 3, RowOf(g, 0)), Navy);
  EXPECT_EQ(CountColour(form.Image, g.PlotRect.right - 40, g.PlotRect.top, g.PlotRect.right - 3,
                        RowOf(g, -40), Navy),
            0);
}

TEST_F(Response, TheViewMenuShowsTheRippleOfThePassBandOnALogarithmicAxisAndGoesBack) {
  auto lowPass = CreateFilter(0, 44100);
  TFilterSpectrumForm form(nullptr, false, lowPass.get(), nullptr);
  ASSERT_EQ(form.View->iRanges.size(), 4u);
  EXPECT_EQ(form.View->iRanges[0]->text(), "Уровни от -120 до +30 дБ");
  EXPECT_EQ(form.View->iRanges[3]->text(), "Уровни от -3 до +3 дБ");
  EXPECT_TRUE(form.View->iRanges[0]->isChecked());
  EXPECT_FALSE(form.Graph->LogX);

  form.View->iRanges[3]->trigger();
  form.View->iLogFrequency->trigger();
  const TGraph& g = *form.Graph;
  EXPECT_TRUE(g.LogX);
  EXPECT_EQ(g.YMin, -3);
  EXPECT_EQ(g.YMax, 3);
  // 50 Hz to 500 Hz now fill a third of the width, on the pass band's level to the pixel row.
  const double decades = std::log(22050 / 20.0);
  for (const double f : {50.0, 200.0, 500.0}) {
    const int x = g.PlotRect.left + static_cast<int>(g.PlotRect.Width() * std::log(f / 20) / decades);
    const double level = form.Response.Db[static_cast<size_t>(std::lround(f * 1024 / 44100))];
    EXPECT_NE(FirstRowWith(form.Image, x, g.PlotRect.top + 1, g.PlotRect.bottom - 2, Navy), -1) << f;
    EXPECT_NEAR(FirstRowWith(form.Image, x, g.PlotRect.top + 1, g.PlotRect.bottom - 2, Navy), RowOf(g, level),
                3)
        << f;
  }

  form.View->iRanges[0]->trigger();
  form.View->iLogFrequency->trigger();
  EXPECT_FALSE(g.LogX);
  EXPECT_EQ(g.YMin, -120);
  EXPECT_EQ(g.YMax, 30);
  EXPECT_EQ(g.YBaseStep, 5);
}

TEST_F(Response, EchoDrawsItsWholeCombFromPeaksToDips) {
  TFilterList chain(44100);
  chain.Add(CreateFilter(9, 44100)); // 100 ms, -6 dB per echo: peaks 1 / (1 - g), dips 1 / (1 + g)
  TFilterSpectrumForm form(nullptr, true, nullptr, &chain);
  const double gain = 0.501187;
  const double peak = 20 * std::log10(1 / (1 - gain));
  const double dip = 20 * std::log10(1 / (1 + gain));
  EXPECT_NEAR(*std::max_element(form.Response.Db.begin(), form.Response.Db.end()), peak, 0.05);
  EXPECT_NEAR(*std::min_element(form.Response.Db.begin(), form.Response.Db.end()), dip, 0.05);
  // A peak every 10 Hz, far more than one per column: every column strokes from the peak to the dip
  // (the 2-pixel pen reaches one row above the top and stops one row below the bottom).
  const TGraph& g = *form.Graph;
  for (int x = g.PlotRect.left + 2; x < g.PlotRect.right - 3; ++x) {
    ASSERT_EQ(FirstRowWith(form.Image, x, g.PlotRect.top, g.PlotRect.bottom, Navy), RowOf(g, peak) - 1) << x;
    ASSERT_EQ(Pixel(form.Image, x, RowOf(g, dip)), Navy) << x;
    ASSERT_NE(Pixel(form.Image, x, RowOf(g, dip) + 2), Navy) << x;
  }
}

TEST_F(Response, FollowsItsFilterThroughEditsAndMovesAndClosesWithIt) {
  TFilterList chain(44100);
  chain.Add(CreateFilter(9, 44100));
  chain.Add(CreateFilter(0, 44100));
  auto* lowPass = static_cast<TLowPassFilter*>(chain.Item(1));
  QPointer<TFilterSpectrumForm> form = new TFilterSpectrumForm(nullptr, false, lowPass, &chain);
  TFilterSpectrumForm whole(nullptr, true, nullptr, &chain);
  EXPECT_EQ(form->windowTitle(), "Амплитудно-частотная характеристика фильтра - 2. Фильтр нижних частот");
  form->show();
  const auto at = [](const TFilterSpectrumForm& f, double hz) {
    return f.Response.Db[static_cast<size_t>(hz * 2 * static_cast<double>(f.Response.Db.size()) / 44100)];
  };
  ASSERT_LT(at(*form, 3000), -40);

  // An edit as a dialog makes it, under the filter's lock: both windows see it by themselves.
  {
    const std::lock_guard guard(lowPass->Lock());
    lowPass->fc = 5000;
    lowPass->Apply();
  }
  EXPECT_TRUE(WaitUntil([&] { return at(*form, 3000) > -1 && at(whole, 3000) > -10; }));
  EXPECT_NEAR(at(*form, 3000), 0, 0.5);

  chain.Swap(0, 1);
  form->FollowChain();
  EXPECT_EQ(form->windowTitle(), "Амплитудно-частотная характеристика фильтра - 1. Фильтр нижних частот");

  chain.Delete(0);
  form->FollowChain();
  EXPECT_TRUE(WaitUntil([&] { return form.isNull(); })) << "closed with its filter";
  whole.FollowChain();
  // The echo alone now.
  EXPECT_EQ(whole.Response.Db[69 * (whole.Response.Db.size() / 512)], MeasureFrequencyResponse(chain)[69]);
}

TEST_F(Response, TinyClientAreasKeepAPositivePlotAndResizingRedraws) {
  TFilterList chain(44100);
  TFilterSpectrumForm form(nullptr, true, nullptr, &chain);
  form.show();
  for (QSize size : {QSize(1, 1), QSize(30, 20), QSize(0, 0), QSize(700, 500)}) {
    form.resize(size);
    QApplication::processEvents();
    EXPECT_TRUE(form.Graph->CanDraw()) << size.width();
    EXPECT_GE(form.Image.width(), form.width());
    ExpectFlatAtZeroDb(form);
  }
}

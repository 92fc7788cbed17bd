#include "Pixels.h"
#include "support/QtTestApp.h"

#include "displays/FilterSpectrumForm.h"
#include "dsp/FilterCatalogue.h"
#include "dsp/FilterList.h"

#include <gtest/gtest.h>

#include <cmath>

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
  for (double gain : empty.Response) {
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
  EXPECT_EQ(form.windowTitle(), "Амплитудно-частотная характеристика фильтра");
  // Bin k stands for k * 44100 / 1024 Hz.
  for (int k = 0; k * 44100 / 1024 < 800; ++k) {
    EXPECT_NEAR(form.Response[k], 0, 0.5) << k;
  }
  for (int k = 2500 * 1024 / 44100; k < 512; ++k) {
    EXPECT_LT(form.Response[k], -40) << k;
  }
  const TGraph& g = *form.Graph;
  // Left of the cut-off the curve stands on the 0 dB rows, far right it is low.
  EXPECT_EQ(Pixel(form.Image, g.PlotRect.left + 3, RowOf(g, 0)), Navy);
  EXPECT_EQ(CountColour(form.Image, g.PlotRect.right - 40, g.PlotRect.top, g.PlotRect.right - 3,
                        RowOf(g, -40), Navy),
            0);
}

TEST_F(Response, EchoBeyondTheMeasuredImpulseIsFlat) {
  TFilterList chain(44100);
  chain.Add(CreateFilter(9, 44100)); // 100 ms: 4410 samples, beyond the 1024 measured
  TFilterSpectrumForm form(nullptr, true, nullptr, &chain);
  for (double gain : form.Response) {
    ASSERT_NEAR(gain, 0, 1e-6);
  }
  ExpectFlatAtZeroDb(form);
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

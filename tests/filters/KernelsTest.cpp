// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/Kernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <vector>

namespace {

std::vector<float> Kernel(void (*design)(int, float, int, float*), int M, float f, int window) {
  std::vector<float> h(static_cast<size_t>(M) + 1, -99.0f);
  design(M, f, window, h.data());
  return h;
}

void ExpectTaps(const std::vector<float>& h, const std::vector<double>& taps) {
  ASSERT_EQ(h.size(), taps.size());
  for (size_t i = 0; i < taps.size(); ++i) {
    EXPECT_NEAR(h[i], taps[i], 0.00005) << "tap " << i;
  }
}

} // namespace

TEST(Windows, HammingAndBlackmanHaveTheirEndAndCentreWeights) {
  EXPECT_NEAR(HammingWindow(8, 0), 0.08, 1e-15);
  EXPECT_NEAR(HammingWindow(8, 8), 0.08, 1e-15);
  EXPECT_NEAR(HammingWindow(8, 4), 1.0, 1e-15);
  EXPECT_NEAR(HammingWindow(8, 2), 0.54, 1e-15);
  EXPECT_NEAR(BlackmanWindow(8, 0), 0.0, 1e-15);
  EXPECT_NEAR(BlackmanWindow(512, 512), 0.0, 1e-15);
  EXPECT_NEAR(BlackmanWindow(8, 4), 1.0, 1e-15);
  EXPECT_NEAR(BlackmanWindow(8, 2), 0.34, 1e-15);
}

TEST(LowPassKernel, EightTapsAtAQuarterOfTheRateMatchTheTable) {
  ExpectTaps(Kernel(LowPassKernel, 8, 0.25f, 0), {0, -0.0227, 0, 0.2740, 0.4974, 0.2740, 0, -0.0227, 0});
  ExpectTaps(Kernel(LowPassKernel, 8, 0.25f, 1), {0, -0.0072, 0, 0.2517, 0.5111, 0.2517, 0, -0.0072, 0});
  // Any window value other than 0 selects Blackman.
  EXPECT_EQ(Kernel(LowPassKernel, 8, 0.25f, 7), Kernel(LowPassKernel, 8, 0.25f, 1));
}

TEST(HighPassKernel, IsTheSpectralInversionOfTheLowPass) {
  ExpectTaps(Kernel(HighPassKernel, 8, 0.25f, 0), {0, 0.0227, 0, -0.2740, 0.5026, -0.2740, 0, 0.0227, 0});
  const auto low = Kernel(LowPassKernel, 512, 0.1f, 1);
  const auto high = Kernel(HighPassKernel, 512, 0.1f, 1);
  for (int i = 0; i <= 512; ++i) {
    EXPECT_EQ(high[i], i == 256 ? 1.0f - low[i] : -low[i]);
  }
  // Sum of the taps is the gain at 0 Hz.
  EXPECT_NEAR(std::accumulate(high.begin(), high.end(), 0.0), 0.0, 1e-6);
}

TEST(LowPassKernel, HasUnityGainAtZeroHertzAndZeroCutOffGivesNoKernel) {
  for (const int M : {8, 64, 512, 1024}) {
    for (const int window : {0, 1}) {
      const auto h = Kernel(LowPassKernel, M, static_cast<float>(1000.0 / 44100), window);
      EXPECT_NEAR(std::accumulate(h.begin(), h.end(), 0.0), 1.0, 1e-5) << M;
      // Linear phase: symmetric about tap M/2, where it peaks.
      for (int i = 0; i <= M; ++i) {
        EXPECT_NEAR(h[i], h[M - i], 1e-6);
        EXPECT_LE(h[i], h[M / 2]);
      }
    }
  }
  for (const float v : Kernel(LowPassKernel, 64, 0.0f, 0)) {
    EXPECT_EQ(v, 0.0f);
  }
  const auto high = Kernel(HighPassKernel, 64, 0.0f, 0);
  for (int i = 0; i <= 64; ++i) {
    EXPECT_EQ(high[i], i == 32 ? 1.0f : 0.0f);
  }
}

TEST(BandPassKernel, IsTheDifferenceOfTwoLowPassKernelsInEitherArgumentOrder) {
  const float f1 = static_cast<float>(900.0 / 44100);
  const float f2 = static_cast<float>(1500.0 / 44100);
  const auto upper = Kernel(LowPassKernel, 1024, f2, 1);
  const auto lower = Kernel(LowPassKernel, 1024, f1, 1);
  std::vector<float> band(1025);
  std::vector<float> swapped(1025);
  BandPassKernel(1024, f1, f2, 1, band.data());
  BandPassKernel(1024, f2, f1, 1, swapped.data());
  for (int i = 0; i <= 1024; ++i) {
    EXPECT_EQ(band[i], upper[i] - lower[i]);
  }
  EXPECT_EQ(band, swapped);
  BandPassKernel(1024, f1, f1, 1, band.data());
  for (const float v : band) {
    EXPECT_EQ(v, 0.0f);
  }
}

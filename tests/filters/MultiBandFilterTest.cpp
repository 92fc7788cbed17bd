// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/FloatSignals.h"
#include "support/RefusedLoad.h"

#include "filters/Kernels.h"
#include "filters/MultiBandFilter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <vector>

using namespace sonotest;

namespace {

void SetGains(TMultiBandFilter& f, const std::vector<double>& gains) {
  const std::lock_guard guard(f.Lock());
  auto* storage = static_cast<double*>(f.FindParameter("Gain"));
  std::copy(gains.begin(), gains.end(), storage);
  f.Apply();
}

std::vector<double> OnlyBand(int band) {
  std::vector<double> gains(20, 0.0);
  gains[static_cast<size_t>(band)] = 1.0;
  return gains;
}

// The impulse response of the filter: 2048 samples of an impulse at 0.
std::vector<float> ImpulseResponse(TMultiBandFilter& f) {
  std::vector<float> x(2048, 0.0f);
  x[0] = 1.0f;
  ProcessInBlocks(f, x, {2048});
  return x;
}

} // namespace

TEST(MultiBandFilter, UnityGainsPassTheSignalDelayedBy512Samples) {
  for (const int rate : TestRates) {
    TMultiBandFilter f(rate);
    EXPECT_EQ(f.Type(), 4);
    EXPECT_EQ(f.KernelSize(), 1024);
    EXPECT_EQ(f.StateLength(), 1024);
    const auto input = RandomSignal(5 * 4096, 10000.0, static_cast<unsigned>(rate));
    auto x = input;
    // 512-frame blocks at 8000 Hz are shorter than the kernel: they must join without a seam too.
    ProcessInBlocks(f, x, {rate == 8000 ? 512 : 4096});
    for (size_t i = 0; i < x.size(); ++i) {
      ASSERT_NEAR(x[i], i < 512 ? 0.0 : input[i - 512], 0.5) << rate << " " << i;
    }
  }
}

TEST(MultiBandFilter, ZeroGainsGiveSilence) {
  for (const int rate : TestRates) {
    TMultiBandFilter f(rate);
    SetGains(f, std::vector<double>(20, 0.0));
    auto x = RandomSignal(3 * 4096, 30000.0, 1);
    ProcessInBlocks(f, x, {4096});
    for (const float v : x) {
      ASSERT_EQ(v, 0.0f) << rate;
    }
  }
}

TEST(MultiBandFilter, BandNineAloneIsABandPassFrom900To1500Hertz) {
  for (const int rate : TestRates) {
    TMultiBandFilter f(rate);
    SetGains(f, OnlyBand(9));
    const auto level = [&](double frequency) {
      f.ClearState();
      auto x = Sine(8 * 4096, frequency, rate, 10000.0);
      ProcessInBlocks(f, x, {4096});
      return SineAmplitude(x, 4096, x.size()) / 10000.0;
    };
    EXPECT_NEAR(level(1000.0), 1.0, 0.01) << rate;
    EXPECT_NEAR(level(1200.0), 1.0, 0.01) << rate;
    EXPECT_NEAR(level(1400.0), 1.0, 0.01) << rate;
    EXPECT_NEAR(level(900.0), 0.5, 0.05) << rate; // -6 dB at each edge
    EXPECT_NEAR(level(1500.0), 0.5, 0.05) << rate;
    EXPECT_LT(level(500.0), 0.001) << rate; // below -60 dB
    EXPECT_LT(level(2500.0), 0.001) << rate;
  }
}

TEST(MultiBandFilter, BandEdgesLieHalfwayBetweenCentresInIntegerHertz) {
  // Band i alone has the kernel of a band-pass between its two edges (last tap left out).
  const int rate = 44100;
  const std::vector<std::pair<int, std::pair<int, int>>> bands = {
      {0, {0, 75}}, {8, {750, 900}}, {9, {900, 1500}}, {14, {5500, 7000}}, {19, {15000, 22050}}};
  for (const auto& [band, edges] : bands) {
    TMultiBandFilter f(rate);
    SetGains(f, OnlyBand(band));
    std::vector<float> h(1025);
    BandPassKernel(1024, static_cast<float>(edges.first / 44100.0),
                   static_cast<float>(edges.second / 44100.0), 1, h.data());
    const auto response = ImpulseResponse(f);
    for (int i = 0; i < 2048; ++i) {
      ASSERT_NEAR(response[i], i < 1024 ? h[i] : 0.0, 2e-6) << "band " << band << " tap " << i;
    }
  }
}

TEST(MultiBandFilter, BandsAboveHalfTheRateHaveNoEffect) {
  const std::vector<std::pair<int, int>> cases = {{8000, 13}, {22050, 18}};
  for (const auto& [rate, firstUnused] : cases) {
    TMultiBandFilter plain(rate);
    TMultiBandFilter changed(rate);
    std::vector<double> gains(20, 1.0);
    for (int i = firstUnused; i < 20; ++i) {
      gains[static_cast<size_t>(i)] = 0.25;
    }
    SetGains(changed, gains);
    EXPECT_EQ(plain.ResponseRe(), changed.ResponseRe()) << rate;
    auto a = RandomSignal(4096, 10000.0, 4);
    auto b = a;
    ProcessInBlocks(plain, a, {4096});
    ProcessInBlocks(changed, b, {4096});
    EXPECT_EQ(a, b) << rate;

    // The last band used does matter.
    gains[static_cast<size_t>(firstUnused - 1)] = 0.25;
    SetGains(changed, gains);
    EXPECT_NE(plain.ResponseRe(), changed.ResponseRe()) << rate;
  }
}

TEST(MultiBandFilter, GainChangeKeepsTheOverlapTails) {
  TMultiBandFilter f(44100);
  auto x = RandomSignal(4096, 10000.0, 5);
  ProcessInBlocks(f, x, {4096});
  const std::vector<float> tail(f.ChannelState(0), f.ChannelState(0) + 1024);
  SetGains(f, OnlyBand(3));
  EXPECT_EQ(std::vector<float>(f.ChannelState(0), f.ChannelState(0) + 1024), tail);
}

TEST(MultiBandFilter, LoadRefusesNegativeOrNonFiniteGains) {
  const double bad[] = {-0.001, std::numeric_limits<double>::quiet_NaN(),
                        std::numeric_limits<double>::infinity()};
  for (const double value : bad) {
    TMultiBandFilter f(44100);
    SetGains(f, OnlyBand(2));
    const auto response = f.ResponseRe();
    std::vector<uint8_t> record(4 + 160);
    const int32_t type = 4;
    std::memcpy(record.data(), &type, 4);
    std::vector<double> gains(20, 1.0);
    gains[7] = value;
    std::memcpy(record.data() + 4, gains.data(), 160);
    EXPECT_TRUE(LoadIsRefused(f, record.data(), record.size())) << value;
    EXPECT_EQ(f.Gain[2], 1.0);
    EXPECT_EQ(f.Gain[7], 0.0);
    EXPECT_EQ(f.ResponseRe(), response);
  }
  TMultiBandFilter f(44100);
  f.Gain[0] = 0.0;
  f.Gain[19] = 31.6;
  EXPECT_TRUE(f.Validate());
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/FloatSignals.h"
#include "support/RefusedLoad.h"

#include "filters/Echo.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

using namespace sonotest;

namespace {

void Set(TEcho& f, int32_t delay, int32_t decay) {
  SetParameters(f, {{"Delay", delay}, {"DecayTime", decay}});
}

// y[n] = x[n] + g * y[n - (L - 1)], straight from the difference equation.
std::vector<float> Reference(const std::vector<float>& x, int32_t L, float g) {
  std::vector<float> y(x.size());
  for (size_t n = 0; n < x.size(); ++n) {
    const double feedback = n >= static_cast<size_t>(L - 1) ? y[n - static_cast<size_t>(L - 1)] : 0.0f;
    y[n] = static_cast<float>(x[n] + static_cast<double>(g) * feedback);
  }
  return y;
}

} // namespace

TEST(Echo, ImpulseRepeatsEveryDelayMinusOneSampleWithDecay) {
  TEcho f(44100);
  EXPECT_EQ(f.Type(), 9);
  EXPECT_EQ(f.DelayLength(), 4410);
  std::vector<float> x(3 * 4096 + 500, 0.0f);
  x[0] = 1.0f;
  ProcessInBlocks(f, x, {4096});
  for (size_t n = 0; n < x.size(); ++n) {
    if (n == 0) {
      EXPECT_EQ(x[n], 1.0f);
    } else if (n == 4409) {
      EXPECT_NEAR(x[n], 0.5012, 0.00005);
    } else if (n == 8818) {
      EXPECT_NEAR(x[n], 0.2512, 0.00005);
    } else if (n == 13227) {
      EXPECT_NEAR(x[n], 0.1259, 0.00005);
    } else {
      ASSERT_EQ(x[n], 0.0f) << n;
    }
  }
}

TEST(Echo, FollowsTheDifferenceEquationAcrossBlocksAtEveryRate) {
  for (const int rate : TestRates) {
    for (const auto& [delay, decay] :
         std::vector<std::pair<int32_t, int32_t>>{{100, 1000}, {1, 10}, {37, 5000}}) {
      TEcho f(rate);
      Set(f, delay, decay);
      const auto L = static_cast<int32_t>(delay * 0.001 * rate);
      EXPECT_EQ(f.DelayLength(), L);
      const auto g = static_cast<float>(std::pow(10.0, -3.0 * delay / decay));
      EXPECT_NEAR(f.EchoGain(), g, 1e-6 * g);
      const auto input = RandomSignal(20000, 10000.0, static_cast<unsigned>(rate + delay));
      const auto expected = Reference(input, L, f.EchoGain());
      auto x = input;
      ProcessInBlocks(f, x, {4096, 333, 1});
      ASSERT_EQ(x, expected) << rate << " " << delay << " " << decay;
    }
  }
}

TEST(Echo, GainFollowsDelayOverDecayTime) {
  TEcho f(44100);
  Set(f, 1000, 10);
  EXPECT_EQ(f.EchoGain(), 0.0f); // 10^-300 is no float
  std::vector<float> x(50000, 0.0f);
  x[0] = 1.0f;
  ProcessInBlocks(f, x, {4096});
  EXPECT_EQ(x[0], 1.0f);
  for (size_t n = 1; n < x.size(); ++n) {
    ASSERT_EQ(x[n], 0.0f) << n;
  }
  Set(f, 250, 250);
  EXPECT_NEAR(f.EchoGain(), 0.001, 1e-9);
  Set(f, 100, 1000);
  EXPECT_NEAR(f.EchoGain(), 0.501187, 1e-6);
}

TEST(Echo, StereoChannelsRunSeparateDelayLines) {
  TEcho stereo(22050);
  TEcho mono(22050);
  auto left = RandomSignal(16000, 10000.0, 1);
  auto right = RandomSignal(16000, 10000.0, 2);
  auto alone = left;
  for (size_t at = 0; at < left.size(); at += 1000) {
    ChannelBlock block;
    block.Frames = 1000;
    block.Samples = left.data() + at;
    stereo.Process(block, 0);
    block.Samples = right.data() + at;
    stereo.Process(block, 1);
    block.Samples = alone.data() + at;
    mono.Process(block, 0);
  }
  EXPECT_EQ(left, alone);
}

TEST(Echo, EditsGlideFromTheOldEchoToTheNewOverOneBlockOverTheLinesContents) {
  // Block 2 after the edit: y[n] = x[n] + (1 - w) g0 y[n - d0] + w g1 y[n - d1], w = (i + 1) / B;
  // before it the old echo, after it the new one, all over the same output history.
  struct TEdit {
    int32_t delay, decay;
  };
  constexpr int32_t B = 1000;
  for (const TEdit& edit : {TEdit{100, 300}, TEdit{37, 1000}, TEdit{250, 1000}, TEdit{100, 1000}}) {
    TEcho f(8000);
    const int32_t d0 = f.DelayLength() - 1;
    const double g0 = f.EchoGain();
    auto x = RandomSignal(5 * B, 10000.0, 3);
    const auto input = x;
    ChannelBlock block;
    block.Frames = B;
    for (int b = 0; b < 5; ++b) {
      if (b == 2) {
        Set(f, edit.delay, edit.decay);
      }
      block.Samples = x.data() + b * B;
      f.Process(block, 0);
    }
    const int32_t d1 = f.DelayLength() - 1;
    const double g1 = f.EchoGain();
    std::vector<double> y(input.size());
    for (int32_t n = 0; n < 5 * B; ++n) {
      const double old = n >= d0 ? y[n - d0] : 0.0;
      const double now = n >= d1 ? y[n - d1] : 0.0;
      const double w = n < 2 * B ? 0.0 : std::min((n - 2 * B + 1.0) / B, 1.0);
      y[n] = input[n] + (1 - w) * g0 * old + w * g1 * now;
      ASSERT_NEAR(x[n], y[n], 0.05) << edit.delay << " " << edit.decay << " " << n;
    }
  }

  // Values written again unchanged: the output of a filter nobody touched, bit for bit.
  TEcho edited(44100);
  TEcho untouched(44100);
  const auto [a, b] = ProcessSideBySide(edited, untouched, RandomSignal(20000, 10000.0, 4), 4096,
                                        [&] { Set(edited, 100, 1000); });
  EXPECT_EQ(a, b);
}

TEST(Echo, CopyParametersTakesTheDelayAndSizesTheLine) {
  TEcho source(44100);
  Set(source, 250, 3000);
  TEcho copy(44100);
  copy.CopyParameters(source);
  EXPECT_EQ(copy.Delay, 250);
  EXPECT_EQ(copy.DecayTime, 3000);
  EXPECT_EQ(copy.DelayLength(), 11025);
}

TEST(Echo, LoadRefusesDelaysAndDecayTimesOutsideTheDialogRanges) {
  const std::vector<std::pair<int32_t, int32_t>> bad = {{0, 1000}, {1001, 1000}, {-5, 1000},
                                                        {100, 9},  {100, 10001}, {100, 0}};
  for (const auto& [delay, decay] : bad) {
    TEcho f(44100);
    Set(f, 200, 2000);
    const int32_t record[] = {9, delay, decay};
    EXPECT_TRUE(LoadIsRefused(f, record, sizeof record)) << delay << " " << decay;
    EXPECT_EQ(f.Delay, 200);
    EXPECT_EQ(f.DecayTime, 2000);
    EXPECT_EQ(f.DelayLength(), 8820);
  }
  TEcho f(44100);
  const int32_t record[] = {9, 1000, 10};
  TMemoryReader in(record, sizeof record);
  f.Load(in);
  EXPECT_EQ(f.DelayLength(), 44100);
  EXPECT_TRUE(f.Validate());
}

TEST(Echo, RatesBelowOneKilohertzKeepAOneSampleLine) {
  TEcho f(500);
  Set(f, 1, 10);
  EXPECT_EQ(f.DelayLength(), 1);
  std::vector<float> x = {1.0f, 0.0f, 0.0f};
  ProcessInBlocks(f, x, {3});
  EXPECT_EQ(x[0], 1.0f);
  EXPECT_EQ(x[1], static_cast<float>(f.EchoGain() * 1.0));
}

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

constexpr int Rates[] = {8000, 22050, 44100, 48000};

void Set(TEcho& f, int32_t delay, int32_t decay) {
  const std::lock_guard guard(f.Lock());
  *static_cast<int32_t*>(f.FindParameter("Delay")) = delay;
  *static_cast<int32_t*>(f.FindParameter("DecayTime")) = decay;
  f.Apply();
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
  EXPECT_EQ(f.StateLength(), 4410);
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
  for (const int rate : Rates) {
    for (const auto& [delay, decay] :
         std::vector<std::pair<int32_t, int32_t>>{{100, 1000}, {1, 10}, {37, 5000}}) {
      TEcho f(rate);
      Set(f, delay, decay);
      const auto L = static_cast<int32_t>(delay * 0.001 * rate);
      EXPECT_EQ(f.StateLength(), L);
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

TEST(Echo, DecayTimeChangeKeepsTheLineButRestartsPositionsAndDelayChangeClearsIt) {
  TEcho f(8000);
  std::vector<float> x(500, 0.0f);
  x[10] = 100.0f;
  ProcessInBlocks(f, x, {500});
  const std::vector<float> line(f.ChannelState(0), f.ChannelState(0) + 800);
  ASSERT_EQ(line[10], 100.0f);

  Set(f, 100, 500);
  EXPECT_EQ(std::vector<float>(f.ChannelState(0), f.ChannelState(0) + 800), line);
  // Position 0 again: the next sample reads slot 1, written 799 samples before slot 10 is reached.
  std::vector<float> silence(20, 0.0f);
  ProcessInBlocks(f, silence, {20});
  const float g = f.EchoGain();
  for (size_t n = 0; n < silence.size(); ++n) {
    ASSERT_EQ(silence[n], n == 9 ? static_cast<float>(g * 100.0) : 0.0f) << n;
  }

  Set(f, 101, 500);
  EXPECT_EQ(f.StateLength(), 808);
  for (int i = 0; i < 808; ++i) {
    ASSERT_EQ(f.ChannelState(0)[i], 0.0f);
  }
}

TEST(Echo, CopyParametersTakesTheDelayAndSizesTheLine) {
  TEcho source(44100);
  Set(source, 250, 3000);
  TEcho copy(44100);
  copy.CopyParameters(source);
  EXPECT_EQ(copy.Delay, 250);
  EXPECT_EQ(copy.DecayTime, 3000);
  EXPECT_EQ(copy.StateLength(), 11025);
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
    EXPECT_EQ(f.StateLength(), 8820);
  }
  TEcho f(44100);
  const int32_t record[] = {9, 1000, 10};
  TMemoryReader in(record, sizeof record);
  f.Load(in);
  EXPECT_EQ(f.StateLength(), 44100);
  EXPECT_TRUE(f.Validate());
}

TEST(Echo, RatesBelowOneKilohertzKeepAOneSampleLine) {
  TEcho f(500);
  Set(f, 1, 10);
  EXPECT_EQ(f.StateLength(), 1);
  std::vector<float> x = {1.0f, 0.0f, 0.0f};
  ProcessInBlocks(f, x, {3});
  EXPECT_EQ(x[0], 1.0f);
  EXPECT_EQ(x[1], static_cast<float>(f.EchoGain() * 1.0));
}

#include "support/FloatSignals.h"
#include "support/RefusedLoad.h"

#include "filters/Reverberation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <vector>

using namespace sonotest;

namespace {

constexpr int Rates[] = {8000, 22050, 44100, 48000};

void Set(TReverberation& f, double dry, double early, double reverb, int32_t time, int32_t lines) {
  const std::lock_guard guard(f.Lock());
  *static_cast<double*>(f.FindParameter("DryLevel")) = dry;
  *static_cast<double*>(f.FindParameter("EarlyLevel")) = early;
  *static_cast<double*>(f.FindParameter("ReverbLevel")) = reverb;
  *static_cast<int32_t*>(f.FindParameter("ReverbTime")) = time;
  *static_cast<int32_t*>(f.FindParameter("DelayLines")) = lines;
  f.Apply();
}

// The comb bank sample by sample and line by line, with an int32 accumulator and signs + - + ...
// on every sample; the filter's own lengths and gains are used, its buffers are not.
class ReferenceBank {
public:
  explicit ReferenceBank(const TReverberation& f) : filter(f) {
    for (int k = 0; k < f.DelayLines; ++k) {
      lines.emplace_back(static_cast<size_t>(f.LineLength(k)), 0.0f);
      positions.push_back(0);
    }
  }

  void Process(float* x, int32_t frames) {
    for (int32_t n = 0; n < frames; ++n) {
      int sign = 1;
      int32_t acc = 0;
      for (size_t k = 0; k < lines.size(); ++k) {
        auto& line = lines[k];
        const auto L = static_cast<int32_t>(line.size());
        const float y =
            filter.LineGain(static_cast<int>(k)) * line[static_cast<size_t>((positions[k] + 1) % L)];
        line[static_cast<size_t>(positions[k])] = x[n] + y;
        positions[k] = (positions[k] + 1) % L;
        acc = static_cast<int32_t>(std::trunc(static_cast<double>(acc) + sign * static_cast<double>(y)));
        sign = -sign;
      }
      x[n] = static_cast<float>(x[n] * filter.DryLevel + acc * filter.ReverbLevel);
    }
  }

private:
  const TReverberation& filter;
  std::vector<std::vector<float>> lines;
  std::vector<int32_t> positions;
};

} // namespace

TEST(NextPrimeAfter, GivesTheSecondSmallestPrimeNotBelowItsArgument) {
  EXPECT_EQ(NextPrimeAfter(500), 509);
  EXPECT_EQ(NextPrimeAfter(541), 547);
  EXPECT_EQ(NextPrimeAfter(1), 3);
  EXPECT_EQ(NextPrimeAfter(2), 3);
  EXPECT_EQ(NextPrimeAfter(3), 5);
  EXPECT_EQ(NextPrimeAfter(911), 919);
  EXPECT_EQ(NextPrimeAfter(997), 1009);
  EXPECT_EQ(NextPrimeAfter(1997), 1999);
}

TEST(Reverberation, DefaultLinesSpreadOverPrimesWithGainsForHalfASecond) {
  TReverberation f(44100);
  EXPECT_EQ(f.Type(), 11);
  EXPECT_EQ(f.DryLevel, 1.0);
  EXPECT_EQ(f.EarlyLevel, 1.0);
  EXPECT_NEAR(f.ReverbLevel, 0.1, 1e-15);
  const std::vector<int32_t> lengths = {500, 509, 547, 593, 641, 677, 719, 757, 797, 839, 881, 919};
  for (int k = 0; k < 12; ++k) {
    EXPECT_EQ(f.LineLength(k), lengths[static_cast<size_t>(k)]);
    const double expected = std::pow(10.0, -3.0 * (lengths[static_cast<size_t>(k)] / 44100.0) / 0.5);
    EXPECT_NEAR(f.LineGain(k), expected, 1e-6);
  }
  EXPECT_EQ(f.StateLength(), 8379);
  EXPECT_NEAR(f.LineGain(0), 0.855, 0.001);
  EXPECT_NEAR(f.LineGain(11), 0.750, 0.001);

  Set(f, 1, 1, 0.1, 500, 32);
  int equal = 0;
  for (int k = 1; k < 32; ++k) {
    equal += f.LineLength(k) == 911 ? 1 : 0;
  }
  EXPECT_EQ(equal, 2);
}

TEST(Reverberation, MatchesTheCombBankSampleBySampleAcrossCallsAndRates) {
  for (const int rate : Rates) {
    for (const int32_t lines : {1, 2, 3, 12, 13, 32}) {
      TReverberation f(rate);
      Set(f, 0.7, 1.0, 0.5, 1500, lines);
      ReferenceBank reference(f);
      auto x = RandomSignal(3 * 4096 + 999, 20000.0, static_cast<unsigned>(rate + lines));
      auto expected = x;
      size_t at = 0;
      for (const int32_t frames : {4096, 1, 255, 256, 257, 4096, 999, 3, 3324}) {
        ChannelBlock block;
        block.Samples = x.data() + at;
        block.Frames = frames;
        f.Process(block, 0);
        reference.Process(expected.data() + at, frames);
        at += static_cast<size_t>(frames);
      }
      ASSERT_EQ(at, x.size());
      ASSERT_EQ(x, expected) << rate << " lines=" << lines;
    }
  }
}

TEST(Reverberation, OneLineIsOneCombWithPlusSignOnEverySample) {
  TReverberation f(8000);
  Set(f, 0.0, 1.0, 1.0, 100, 1);
  EXPECT_EQ(f.StateLength(), 500);
  std::vector<float> x(2000, 0.0f);
  x[0] = 10000.0f;
  ProcessInBlocks(f, x, {2000});
  const float g = f.LineGain(0);
  // y[n] = g * w[n - 499], w = x + y: echoes at 499, 998, 1497 of g, g^2, g^3 (truncated).
  for (size_t n = 0; n < x.size(); ++n) {
    float expected = 0.0f;
    if (n == 499) {
      expected = std::trunc(g * 10000.0f);
    } else if (n == 998) {
      expected = std::trunc(g * (g * 10000.0f));
    } else if (n == 1497) {
      expected = std::trunc(g * (g * (g * 10000.0f)));
    }
    ASSERT_EQ(x[n], expected) << n;
  }
  EXPECT_GT(x[499], 0.0f);
}

TEST(Reverberation, ThreeLinesGivePlusMinusPlusOnEverySample) {
  // Load each line with a known value in the slot its first read uses, then read two samples.
  TReverberation f(44100);
  Set(f, 0.0, 1.0, 1.0, 10000, 3);
  float* state = f.ChannelState(0);
  int32_t start = 0;
  const float values[3][2] = {{1000, 100}, {5000, 700}, {20000, 3000}};
  for (int k = 0; k < 3; ++k) {
    state[start + 1] = values[k][0];
    state[start + 2] = values[k][1];
    start += f.LineLength(k);
  }
  std::vector<float> x = {0.0f, 0.0f};
  ProcessInBlocks(f, x, {2});
  double y[3][2];
  for (int k = 0; k < 3; ++k) {
    for (int n = 0; n < 2; ++n) {
      y[k][n] = static_cast<float>(f.LineGain(k) * values[k][n]);
    }
  }
  const auto tail = [](double a, double b, double c) {
    double acc = std::trunc(a);
    acc = std::trunc(acc + b);
    return std::trunc(acc + c);
  };
  EXPECT_EQ(x[0], tail(y[0][0], -y[1][0], y[2][0]));
  EXPECT_EQ(x[1], tail(y[0][1], -y[1][1], y[2][1]));
  EXPECT_GT(x[0], 0.0f);
  EXPECT_GT(x[1], 0.0f);
}

TEST(Reverberation, UnitImpulseGivesOnlyTheDryPath) {
  for (const int rate : Rates) {
    TReverberation dryOnly(rate);
    Set(dryOnly, 1.0, 1.0, 0.0, 500, 12);
    TReverberation wetOnly(rate);
    Set(wetOnly, 0.0, 1.0, 1.0, 10000, 12);
    std::vector<float> a(10000, 0.0f);
    a[0] = 1.0f;
    auto b = a;
    const auto impulse = a;
    ProcessInBlocks(dryOnly, a, {4096});
    ProcessInBlocks(wetOnly, b, {4096});
    EXPECT_EQ(a, impulse) << rate;
    EXPECT_EQ(b, std::vector<float>(10000, 0.0f)) << rate; // every comb stays below 1: truncated away
  }
}

TEST(Reverberation, EarlyLevelHasNoEffect) {
  TReverberation a(22050);
  TReverberation b(22050);
  Set(a, 0.5, 1.0, 0.3, 800, 7);
  Set(b, 0.5, 0.01, 0.3, 800, 7);
  auto x = RandomSignal(3 * 4096, 20000.0, 8);
  auto y = x;
  ProcessInBlocks(a, x, {4096});
  ProcessInBlocks(b, y, {4096});
  EXPECT_EQ(x, y);
}

TEST(Reverberation, StereoChannelsHaveSeparateLinesAndPositions) {
  TReverberation stereo(48000);
  TReverberation mono(48000);
  auto left = RandomSignal(4 * 4096, 10000.0, 1);
  auto right = RandomSignal(4 * 4096, 10000.0, 2);
  auto alone = left;
  for (size_t at = 0; at < left.size(); at += 4096) {
    ChannelBlock block;
    block.Frames = 4096;
    block.Samples = left.data() + at;
    stereo.Process(block, 0);
    block.Samples = right.data() + at;
    stereo.Process(block, 1);
    block.Samples = alone.data() + at;
    mono.Process(block, 0);
  }
  EXPECT_EQ(left, alone);
}

TEST(Reverberation, LineCountChangeReplacesBuffersAndOtherChangesKeepThem) {
  TReverberation f(44100);
  auto x = RandomSignal(4096, 10000.0, 3);
  ProcessInBlocks(f, x, {4096});
  const std::vector<float> lines(f.ChannelState(0), f.ChannelState(0) + 8379);

  Set(f, 0.5, 0.5, 0.5, 2000, 12);
  EXPECT_EQ(std::vector<float>(f.ChannelState(0), f.ChannelState(0) + 8379), lines);
  // Positions restart at 0: the comb bank continues as a fresh reference fed with these lines.
  EXPECT_NEAR(f.LineGain(0), std::pow(10.0, -3.0 * (500 / 44100.0) / 2.0), 1e-6);

  Set(f, 0.5, 0.5, 0.5, 2000, 5);
  EXPECT_EQ(f.StateLength(), 500 + 509 + 607 + 709 + 811);
  for (int i = 0; i < f.StateLength(); ++i) {
    ASSERT_EQ(f.ChannelState(0)[i], 0.0f);
    ASSERT_EQ(f.ChannelState(1)[i], 0.0f);
  }
}

TEST(Reverberation, LoadRefusesUnsoundLevelsTimesAndLineCounts) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Values {
    double dry, early, reverb;
    int32_t time, lines;
  };
  const std::vector<Values> bad = {{-0.1, 1, 1, 500, 12}, {1, nan, 1, 500, 12}, {1, 1, inf, 500, 12},
                                   {1, 1, 1, 9, 12},      {1, 1, 1, 10001, 12}, {1, 1, 1, 500, 0},
                                   {1, 1, 1, 500, 33},    {1, 1, 1, 500, -1}};
  for (const auto& v : bad) {
    TReverberation f(44100);
    Set(f, 0.25, 0.5, 0.75, 700, 6);
    std::vector<uint8_t> record(4 + 8 * 3 + 4 * 2);
    const int32_t type = 11;
    std::memcpy(record.data(), &type, 4);
    std::memcpy(record.data() + 4, &v.dry, 8);
    std::memcpy(record.data() + 12, &v.early, 8);
    std::memcpy(record.data() + 20, &v.reverb, 8);
    std::memcpy(record.data() + 28, &v.time, 4);
    std::memcpy(record.data() + 32, &v.lines, 4);
    EXPECT_TRUE(LoadIsRefused(f, record.data(), record.size()))
        << v.dry << " " << v.early << " " << v.reverb << " " << v.time << " " << v.lines;
    EXPECT_EQ(f.DryLevel, 0.25);
    EXPECT_EQ(f.EarlyLevel, 0.5);
    EXPECT_EQ(f.ReverbLevel, 0.75);
    EXPECT_EQ(f.ReverbTime, 700);
    EXPECT_EQ(f.DelayLines, 6);
  }
  TReverberation f(44100);
  Set(f, 0.0, 31.6, 0.0, 10, 32);
  EXPECT_TRUE(f.Validate());
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/FloatSignals.h"
#include "support/RefusedLoad.h"

#include "filters/Reverberation.h"
#include "filters/Transforms.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <vector>

using namespace sonotest;

namespace {

void Set(TReverberation& f, double dry, double early, double reverb, int32_t time, int32_t lines) {
  SetParameters(f, {{"DryLevel", dry},
                    {"EarlyLevel", early},
                    {"ReverbLevel", reverb},
                    {"ReverbTime", time},
                    {"DelayLines", lines}});
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
  int32_t total = 0;
  for (int k = 0; k < 12; ++k) {
    total += f.LineLength(k);
  }
  EXPECT_EQ(total, 8379);
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
  for (const int rate : TestRates) {
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
  EXPECT_EQ(f.LineLength(0), 500);
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
  const float values[3][2] = {{1000, 100}, {5000, 700}, {20000, 3000}};
  constexpr int32_t capacity = TReverberation::LineCapacity;
  for (int k = 0; k < 3; ++k) {
    // Line k's ring; the first sample reads L - 1 slots behind slot 0.
    float* line = state + k * capacity;
    const int32_t first = (capacity - f.LineLength(k) + 1) % capacity;
    line[first] = values[k][0];
    line[first + 1] = values[k][1];
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
  for (const int rate : TestRates) {
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

TEST(Reverberation, EditsGlideOverOneBlockFromTheOldBankToTheNewOverTheLinesContents) {
  // Over the block after an edit every comb reads back (1 - w) g0 w_k[n - L0 + 1] + w g1 w_k[n - L1 + 1]
  // (w = (i + 1) / B), lines only on one side count on that side alone, and the levels ramp; each
  // line's w_k is kept as one history over the whole stream.
  struct TEdit {
    double dry, wet;
    int32_t time, lines;
  };
  constexpr int32_t B = 2048;
  for (const TEdit& edit : {TEdit{0.5, 0.5, 500, 12}, TEdit{1.0, 0.1, 2000, 12}, TEdit{1.0, 0.1, 500, 5},
                            TEdit{0.8, 0.3, 900, 20}}) {
    TReverberation f(22050);
    std::vector<int32_t> lengths0;
    std::vector<double> gains0;
    for (int k = 0; k < 12; ++k) {
      lengths0.push_back(f.LineLength(k));
      gains0.push_back(f.LineGain(k));
    }
    const double dry0 = f.DryLevel;
    const double wet0 = f.ReverbLevel;
    const auto input = RandomSignal(4 * B, 10000.0, 11);
    auto x = input;
    ChannelBlock block;
    block.Frames = B;
    for (int b = 0; b < 4; ++b) {
      if (b == 2) {
        Set(f, edit.dry, 1.0, edit.wet, edit.time, edit.lines);
      }
      block.Samples = x.data() + b * B;
      f.Process(block, 0);
    }
    const int lines = std::max(12, edit.lines);
    std::vector<std::vector<double>> w(static_cast<size_t>(lines));
    for (int32_t n = 0; n < 4 * B; ++n) {
      const double fade = n < 2 * B ? 0.0 : std::min((n - 2 * B + 1.0) / B, 1.0);
      double acc = 0.0;
      for (int k = 0; k < lines; ++k) {
        auto& history = w[static_cast<size_t>(k)];
        const auto back = [&](int32_t length) {
          return n - length + 1 >= 0 ? history[static_cast<size_t>(n - length + 1)] : 0.0;
        };
        const bool before = k < 12 && n < 3 * B;
        const bool after = k < edit.lines && n >= 2 * B;
        const double old = before ? gains0[k] * back(lengths0[k]) : 0.0;
        const double now = after ? f.LineGain(k) * back(f.LineLength(k)) : 0.0;
        const auto y = static_cast<float>((1 - fade) * old + fade * now);
        // A line out of use holds silence.
        history.push_back(before || after ? static_cast<float>(input[n] + y) : 0.0);
        acc = std::trunc((k % 2 == 0) ? acc + y : acc - y);
      }
      const double dry = dry0 + (edit.dry - dry0) * fade;
      const double wet = wet0 + (edit.wet - wet0) * fade;
      ASSERT_NEAR(x[n], input[n] * dry + acc * wet, 0.2) << edit.time << " " << edit.lines << " " << n;
    }
  }

  // Values written again unchanged: the output of a filter nobody touched, bit for bit.
  TReverberation edited(44100);
  TReverberation untouched(44100);
  const auto [a, b] = ProcessSideBySide(edited, untouched, RandomSignal(5 * 4096, 10000.0, 12), 4096,
                                        [&] { Set(edited, 1.0, 1.0, DbToAmplitude(-20), 500, 12); });
  EXPECT_EQ(a, b);
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

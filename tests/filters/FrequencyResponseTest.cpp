// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/FrequencyResponse.h"

#include "support/FloatSignals.h"

#include "filters/Echo.h"
#include "filters/FilterCatalogue.h"
#include "filters/LowPassFilter.h"
#include "filters/Reverberation.h"
#include "filters/Transforms.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <mutex>
#include <vector>

using sonotest::TestRates;

namespace {

double BinFrequency(int k, int rate) {
  return k * static_cast<double>(rate) / 1024;
}

} // namespace

TEST(FrequencyResponse, OneKilohertzLowPassIsFlatBelowAndFallsSteeplyAbove) {
  TLowPassFilter f(44100);
  const TResponse response = MeasureFrequencyResponse(f);
  for (int k = 0; k < ResponseBins; ++k) {
    const double hz = BinFrequency(k, 44100);
    if (hz <= 800.0) {
      EXPECT_NEAR(response[k], 0.0, 0.1) << hz;
    } else if (hz >= 1400.0) {
      EXPECT_LT(response[k], -40.0) << hz;
    }
  }
  // Half amplitude (-6 dB) at the cut-off, between bins 23 (990 Hz) and 24 (1034 Hz).
  EXPECT_GT(response[23], -6.5);
  EXPECT_LT(response[24], -5.5);
}

TEST(FrequencyResponse, MeasuresFreshCopiesAndLeavesTheFilterAlone) {
  for (const int rate : TestRates) {
    THighPassFilter f(rate);
    {
      const std::lock_guard guard(f.Lock());
      f.fc = rate / 4;
      f.Apply();
    }
    std::vector<float> x(512, 1000.0f);
    ChannelBlock block;
    block.Samples = x.data();
    block.Frames = 512;
    f.Process(block, 0);
    const std::vector<float> tail(f.ChannelState(0), f.ChannelState(0) + 512);
    const TResponse first = MeasureFrequencyResponse(f);
    const TResponse second = MeasureFrequencyResponse(f);
    EXPECT_EQ(first, second) << rate; // the running filter's tail plays no part
    EXPECT_EQ(std::vector<float>(f.ChannelState(0), f.ChannelState(0) + 512), tail);
    EXPECT_LT(first[10], -40.0) << rate;
    EXPECT_NEAR(first[400], 0.0, 0.1) << rate;
  }
}

TEST(FrequencyResponse, EmptyOrAllDisabledChainIsFlatAtZeroDecibels) {
  for (const int rate : TestRates) {
    TFilterList chain(rate);
    TResponse response = MeasureFrequencyResponse(chain);
    for (const double db : response) {
      ASSERT_EQ(db, 0.0);
    }
    chain.Add(CreateFilter(0, rate));
    chain.Add(CreateFilter(11, rate));
    chain.SetEnabled(0, false);
    chain.SetEnabled(1, false);
    response = MeasureFrequencyResponse(chain);
    for (const double db : response) {
      ASSERT_EQ(db, 0.0);
    }
  }
}

namespace {

// The echo's own response: 1 / (1 - g e^(-j w d)), d = L - 1.
std::complex<double> EchoResponse(const TEcho& echo, double hz) {
  const double w = 2 * Pi * hz / echo.SampleRate();
  const double d = std::max(echo.DelayLength() - 1, 1);
  return 1.0 / (1.0 - static_cast<double>(echo.EchoGain()) * std::polar(1.0, -w * d));
}

// The reverberation's own response without its rounding: dry + wet * sum_k (+-1) g z^-d / (1 - g z^-d).
std::complex<double> ReverbResponse(const TReverberation& reverb, double hz) {
  const double w = 2 * Pi * hz / reverb.SampleRate();
  std::complex<double> tail = 0.0;
  for (int k = 0; k < reverb.DelayLines; ++k) {
    const std::complex<double> gz =
        static_cast<double>(reverb.LineGain(k)) * std::polar(1.0, -w * (reverb.LineLength(k) - 1));
    tail += (k % 2 == 0 ? 1.0 : -1.0) * gz / (1.0 - gz);
  }
  return reverb.DryLevel + reverb.ReverbLevel * tail;
}

double Db(std::complex<double> h) {
  return 20 * std::log10(std::abs(h));
}

} // namespace

TEST(FrequencyResponse, ChainMultipliesTheResponsesOfItsEnabledFiltersOverTheirWholeTails) {
  const int rate = 48000;
  TFilterList chain(rate);
  chain.Add(CreateFilter(0, rate));
  chain.Add(CreateFilter(1, rate));
  chain.Add(CreateFilter(9, rate)); // first echo after 100 ms
  chain.Add(CreateFilter(4, rate)); // every gain 1: a delay of 512 samples
  {
    auto* low = static_cast<TLowPassFilter*>(chain.Item(0));
    const std::lock_guard guard(low->Lock());
    low->fc = 12000;
    low->Apply();
  }
  const auto& echo = static_cast<const TEcho&>(*chain.Item(2));
  // Half a second of tail; it rounds to whole samples, so it is measured alone.
  const TReverberation reverb(rate);
  const TResponse low = MeasureFrequencyResponse(*chain.Item(0));
  const TResponse high = MeasureFrequencyResponse(*chain.Item(1));
  const TResponse echoAlone = MeasureFrequencyResponse(echo);
  const TResponse reverbAlone = MeasureFrequencyResponse(reverb);
  const TResponse all = MeasureFrequencyResponse(chain);
  double echoSpread = 0;
  for (int k = 0; k < ResponseBins; ++k) {
    const double hz = BinFrequency(k, rate);
    ASSERT_NEAR(echoAlone[k], Db(EchoResponse(echo, hz)), 0.01) << hz;
    ASSERT_NEAR(reverbAlone[k], Db(ReverbResponse(reverb, hz)), 0.05) << hz;
    echoSpread = std::max(echoSpread, std::abs(echoAlone[k]));
    if (low[k] > -60.0 && high[k] > -60.0) {
      ASSERT_NEAR(all[k], low[k] + high[k] + echoAlone[k], 0.05) << hz;
    }
  }
  EXPECT_GT(echoSpread, 3.0); // the echo's comb, no flat line
  EXPECT_LT(all[3], -40.0);
  EXPECT_LT(all[static_cast<int>(16000.0 / rate * 1024)], -40.0);

  // A 1024-tap low-pass alone, and behind a pure delay: the same response.
  TFilterList delayed(44100);
  delayed.Add(CreateFilter(0, 44100));
  {
    auto* f = static_cast<TLowPassFilter*>(delayed.Item(0));
    const std::lock_guard guard(f->Lock());
    *static_cast<int32_t*>(f->FindParameter("KernelSize")) = 1024;
    f->Apply();
  }
  const TResponse alone = MeasureFrequencyResponse(delayed);
  delayed.Add(CreateFilter(4, 44100));
  const TResponse behindDelay = MeasureFrequencyResponse(delayed);
  for (int k = 0; k < ResponseBins; ++k) {
    if (alone[k] > -80.0) { // deeper, the float kernels differ in their last bits
      ASSERT_NEAR(behindDelay[k], alone[k], 0.05) << k;
    }
  }
  EXPECT_LT(behindDelay[47], -60.0); // 2024 Hz
  EXPECT_NEAR(behindDelay[0], 0.0, 0.01);
}

TEST(FrequencyResponse, AResponseWithinTheOld1024SamplesKeepsItsValuesBitForBit) {
  // What one 1024-sample unit impulse and a 1024-point transform give, for FIR filters of up to 1024
  // taps.
  const auto oldMeasure = [](const TFilter& f) {
    const auto copy = CreateFilter(f.Type(), f.SampleRate());
    copy->CopyParameters(f);
    std::vector<float> re(1024, 0.0f);
    std::vector<float> im(1024, 0.0f);
    re[0] = 1.0f;
    ChannelBlock block;
    block.Samples = re.data();
    block.Frames = 1024;
    copy->Process(block, 0);
    RealFFT(1024, re.data(), im.data());
    TResponse r{};
    for (int k = 0; k < ResponseBins; ++k) {
      r[k] =
          AmplitudeToDb(std::sqrt(static_cast<double>(re[k]) * re[k] + static_cast<double>(im[k]) * im[k]));
    }
    return r;
  };
  for (const int rate : TestRates) {
    TLowPassFilter low(rate);
    THighPassFilter high(rate);
    {
      const std::lock_guard guard(high.Lock());
      high.fc = rate / 5;
      high.WindowType = 1;
      *static_cast<int32_t*>(high.FindParameter("KernelSize")) = 256;
      high.Apply();
    }
    auto equaliser = CreateFilter(4, rate);
    {
      const std::lock_guard guard(equaliser->Lock());
      auto* gains = static_cast<double*>(equaliser->FindParameter("Gain"));
      for (int i = 0; i < 20; ++i) {
        gains[i] = 0.05 * i;
      }
      equaliser->Apply();
    }
    for (const TFilter* f : {static_cast<const TFilter*>(&low), static_cast<const TFilter*>(&high),
                             static_cast<const TFilter*>(equaliser.get())}) {
      EXPECT_EQ(MeasureFrequencyResponse(*f), oldMeasure(*f)) << rate << " type " << f->Type();
      EXPECT_EQ(MeasureResponseCurve(*f).Db.size(), 512u);
    }
  }
}

TEST(FrequencyResponse, LongTailsAreFollowedToTheFloorWithinTheBound) {
  for (const int rate : {8000, 48000}) {
    TEcho echo(rate);
    {
      const std::lock_guard guard(echo.Lock());
      echo.Delay = 1000;
      echo.DecayTime = 10000;
      echo.Apply();
    }
    // 6 dB per second: 120 dB take 20 s, and each echo lies a whole second after the last.
    const TResponseCurve curve = MeasureResponseCurve(echo);
    EXPECT_GE(curve.ImpulseLength, 19 * (rate - 1)) << rate;
    EXPECT_LE(curve.ImpulseLength, MaxResponseLength);
    EXPECT_LE(2 * curve.Db.size(), static_cast<size_t>(MaxResponseLength));
    EXPECT_GE(2 * curve.Db.size(), static_cast<size_t>(curve.ImpulseLength));
    // The comb's peaks between the bins of the old grid: 1 / (1 - g) at whole multiples of 1/d Hz.
    const double peak = *std::max_element(curve.Db.begin(), curve.Db.end());
    EXPECT_NEAR(peak, Db(1.0 / (1.0 - echo.EchoGain())), 0.1) << rate;
  }
}

TEST(FrequencyResponse, ZeroMagnitudeIsTheMostNegativeFloat) {
  TLowPassFilter f(44100);
  {
    const std::lock_guard guard(f.Lock());
    f.fc = 0;
    f.Apply();
  }
  const TResponse response = MeasureFrequencyResponse(f);
  for (const double db : response) {
    ASSERT_EQ(db, MinusInfinityDb);
  }
}

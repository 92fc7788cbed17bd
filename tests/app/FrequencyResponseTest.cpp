#include "app/FrequencyResponse.h"

#include "dsp/FilterCatalogue.h"
#include "filters/Echo.h"
#include "filters/LowPassFilter.h"
#include "filters/Reverberation.h"
#include "filters/Transforms.h"

#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <vector>

namespace {

constexpr int Rates[] = {8000, 22050, 44100, 48000};

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
  for (const int rate : Rates) {
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
  for (const int rate : Rates) {
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

TEST(FrequencyResponse, ChainMultipliesTheResponsesOfItsEnabledFilters) {
  const int rate = 48000;
  TFilterList chain(rate);
  chain.Add(CreateFilter(0, rate));
  chain.Add(CreateFilter(1, rate));
  chain.Add(CreateFilter(9, rate));  // first echo beyond 1024 samples: flat
  chain.Add(CreateFilter(11, rate)); // an impulse of height 1 leaves no tail: flat
  {
    auto* low = static_cast<TLowPassFilter*>(chain.Item(0));
    const std::lock_guard guard(low->Lock());
    low->fc = 12000;
    low->Apply();
  }
  const TResponse low = MeasureFrequencyResponse(*chain.Item(0));
  const TResponse high = MeasureFrequencyResponse(*chain.Item(1));
  const TResponse echo = MeasureFrequencyResponse(*chain.Item(2));
  const TResponse reverb = MeasureFrequencyResponse(*chain.Item(3));
  const TResponse all = MeasureFrequencyResponse(chain);
  for (int k = 0; k < ResponseBins; ++k) {
    ASSERT_NEAR(echo[k], 0.0, 1e-9) << k;
    ASSERT_NEAR(reverb[k], 0.0, 1e-9) << k;
    if (low[k] > -60.0 && high[k] > -60.0) {
      ASSERT_NEAR(all[k], low[k] + high[k], 0.05) << k;
    }
  }
  // Pass band 1000..12000 Hz.
  EXPECT_NEAR(all[static_cast<int>(5000.0 / rate * 1024)], 0.0, 0.1);
  EXPECT_LT(all[3], -40.0);
  EXPECT_LT(all[static_cast<int>(16000.0 / rate * 1024)], -40.0);

  chain.SetEnabled(1, false);
  const TResponse withoutHigh = MeasureFrequencyResponse(chain);
  for (int k = 0; k < ResponseBins; ++k) {
    ASSERT_NEAR(withoutHigh[k], low[k], 1e-3) << k;
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

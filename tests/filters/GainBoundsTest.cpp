// SPDX-License-Identifier: GPL-3.0-or-later
// Equaliser gains that a file or the command line may carry: the largest accepted gain still gives
// finite samples, a larger one is refused before it can turn the output into NaN.

#include "dsp/ByteStreams.h"
#include "filters/MultiBandFilter.h"
#include "support/RefusedLoad.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

using sonotest::LoadIsRefused;

namespace {

std::vector<uint8_t> Record(const std::vector<double>& gains) {
  std::vector<uint8_t> record(4 + 160);
  const int32_t type = 4;
  std::memcpy(record.data(), &type, 4);
  std::memcpy(record.data() + 4, gains.data(), 160);
  return record;
}

// Full-scale noise through both channels; true when every sample stays finite.
bool ProcessesFinite(TMultiBandFilter& f) {
  uint32_t seed = 1;
  std::vector<float> x(4096);
  for (int round = 0; round < 3; ++round) {
    for (int channel = 0; channel < 2; ++channel) {
      for (float& v : x) {
        seed = seed * 1664525u + 1013904223u;
        v = static_cast<float>(static_cast<int32_t>(seed >> 16) - 32768);
      }
      ChannelBlock block{{}, x.data(), static_cast<int32_t>(x.size())};
      f.Process(block, channel);
      for (const float v : x) {
        if (!std::isfinite(v)) {
          return false;
        }
      }
    }
  }
  return true;
}

} // namespace

TEST(MultiBandGainBounds, TheLargestAcceptedGainKeepsFullScaleNoiseFinite) {
  TMultiBandFilter f(44100);
  const auto record = Record(std::vector<double>(20, TMultiBandFilter::MaxGain));
  TMemoryReader in(record.data(), record.size());
  f.Load(in);
  EXPECT_TRUE(ProcessesFinite(f));
}

TEST(MultiBandGainBounds, AFileGainAboveTheBoundIsRefusedAndTheFilterKeepsItsGains) {
  // 1e300 in one band overflows the float kernel, and every sample would become NaN.
  for (const double gain : {TMultiBandFilter::MaxGain * 1.0001, 1e300}) {
    TMultiBandFilter f(44100);
    std::vector<double> gains(20, 1.0);
    gains[4] = gain;
    const auto record = Record(gains);
    EXPECT_TRUE(LoadIsRefused(f, record.data(), record.size())) << gain;
    EXPECT_EQ(f.Gain[4], 1.0);
    EXPECT_FALSE([&] {
      f.Gain[4] = gain;
      return f.Validate();
    }());
  }
}

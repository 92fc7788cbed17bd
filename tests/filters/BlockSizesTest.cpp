// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/FloatSignals.h"

#include "dsp/FilterList.h"
#include "filters/FilterCatalogue.h"
#include "filters/MultiBandFilter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <vector>

using namespace sonotest;

namespace {

// Stereo 16-bit noise through a fresh five-filter chain (the equaliser shaped), fed in blocks of the
// given lengths in turn.
std::vector<int16_t> ThroughChain(const std::vector<int16_t>& input, const std::vector<int32_t>& blocks) {
  constexpr int32_t Rate = 48000;
  TFilterList chain(Rate);
  for (const int32_t type : {0, 1, 4, 9, 11}) {
    chain.Add(CreateFilter(type, Rate));
  }
  auto& equaliser = static_cast<TMultiBandFilter&>(*chain.Item(2));
  {
    const std::lock_guard guard(equaliser.Lock());
    for (int i = 0; i < TMultiBandFilter::BandCount; ++i) {
      equaliser.Gain[i] = 0.2 + 0.1 * (i % 9);
    }
    equaliser.Apply();
  }
  std::vector<int16_t> output = input;
  const TWaveFormat format = MakePCMFormat(Rate, 2, 16);
  const size_t frames = output.size() / 2;
  size_t at = 0;
  for (size_t which = 0; at < frames; ++which) {
    const auto length = static_cast<int32_t>(
        std::min<size_t>(static_cast<size_t>(blocks[which % blocks.size()]), frames - at));
    chain.ProcessBlock(reinterpret_cast<uint8_t*>(output.data() + 2 * at), length, format);
    at += static_cast<size_t>(length);
  }
  return output;
}

} // namespace

TEST(BlockSizes, TheFiveFilterChainSoundsTheSameAtEveryBlockSizeWithinOneStep) {
  // 1.5 s of noise at 48000 Hz; the default block there is 4096 frames.
  const std::vector<float> noise = RandomSignal(2 * 72000, 12000.0, 31);
  std::vector<int16_t> input(noise.size());
  for (size_t i = 0; i < noise.size(); ++i) {
    input[i] = static_cast<int16_t>(noise[i]);
  }
  const std::vector<int16_t> reference = ThroughChain(input, {4096});
  for (const std::vector<int32_t>& blocks :
       std::vector<std::vector<int32_t>>{{64}, {128}, {256}, {512}, {1024}, {2048}, {1000, 77, 333, 4096}}) {
    const std::vector<int16_t> output = ThroughChain(input, blocks);
    int worst = 0;
    size_t differing = 0;
    for (size_t i = 0; i < output.size(); ++i) {
      const int d = std::abs(output[i] - reference[i]);
      worst = std::max(worst, d);
      differing += d != 0 ? 1 : 0;
    }
    EXPECT_LE(worst, 1) << "blocks of " << blocks[0] << ": " << differing << " samples differ";
  }
}

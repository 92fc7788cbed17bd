// SPDX-License-Identifier: GPL-3.0-or-later
#include "ProbeFilter.h"

#include "dsp/ByteStreams.h"
#include "dsp/FilterError.h"
#include "dsp/FilterList.h"
#include "filters/FilterCatalogue.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

using sonotest::TProbeFilter;

namespace {

std::vector<uint8_t> Pcm16(const std::vector<int16_t>& samples) {
  std::vector<uint8_t> bytes(samples.size() * 2);
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}

std::vector<int16_t> Samples16(const std::vector<uint8_t>& bytes) {
  std::vector<int16_t> s(bytes.size() / 2);
  std::memcpy(s.data(), bytes.data(), bytes.size());
  return s;
}

// A filter that writes fixed values: the chain's conversion back to PCM is then visible exactly.
class TConstantFilter : public TFilter {
public:
  explicit TConstantFilter(std::vector<float> values) : TFilter(44100), values(std::move(values)) {
    type = 5;
  }
  void Process(ChannelBlock& block, int) override {
    for (int32_t i = 0; i < block.Frames; ++i) {
      block.Samples[i] = values[static_cast<size_t>(i) % values.size()];
    }
  }
  void Update() override {}

private:
  std::vector<float> values;
};

} // namespace

TEST(FilterList, AnEmptyChainLeavesEveryByteUnchanged) {
  TFilterList chain(44100);
  auto block = Pcm16({1, -2, 32767, -32768, 1234, -4321});
  const auto before = block;
  chain.ProcessBlock(block.data(), 3, MakePCMFormat(44100, 2, 16));
  EXPECT_EQ(block, before);
}

TEST(FilterList, DisabledFiltersLeaveEightAndSixteenBitBlocksUnchanged) {
  TFilterList chain(8000);
  auto probe = std::make_unique<TProbeFilter>(8000);
  probe->Gain = 3.0;
  chain.Add(std::move(probe));
  chain.SetEnabled(0, false);

  auto block16 = Pcm16({1, -2, 32767, -32768, 1234, -4321});
  const auto before16 = block16;
  chain.ProcessBlock(block16.data(), 6, MakePCMFormat(8000, 1, 16));
  EXPECT_EQ(block16, before16);

  std::vector<uint8_t> block8(256);
  for (int i = 0; i < 256; ++i) {
    block8[i] = static_cast<uint8_t>(i);
  }
  const auto before8 = block8;
  chain.ProcessBlock(block8.data(), 128, MakePCMFormat(8000, 2, 8));
  EXPECT_EQ(block8, before8);
}

TEST(FilterList, ConversionBackSaturatesAndTruncatesTowardZero) {
  TFilterList chain(44100);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  chain.Add(std::make_unique<TConstantFilter>(
      std::vector<float>{40000.7f, -40000.0f, 1.9f, -1.9f, 32767.0f, -32768.0f, nan, 0.0f}));
  std::vector<uint8_t> block(16, 0);
  chain.ProcessBlock(block.data(), 8, MakePCMFormat(44100, 1, 16));
  EXPECT_EQ(Samples16(block), (std::vector<int16_t>{32767, -32768, 1, -1, 32767, -32768, -32768, 0}));
}

TEST(FilterList, EightBitConversionBackSaturatesAroundTheSilenceByte) {
  TFilterList chain(8000);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  chain.Add(
      std::make_unique<TConstantFilter>(std::vector<float>{200.0f, -0.5f, -128.0f, 127.0f, -300.0f, nan}));
  std::vector<uint8_t> block(6, 128);
  chain.ProcessBlock(block.data(), 6, MakePCMFormat(8000, 1, 8));
  EXPECT_EQ(block, (std::vector<uint8_t>{255, 127, 0, 255, 0, 0}));
}

// A sample counts as clipped when the value stored differs from the value truncated toward zero:
// beyond the range, or not a number; a value at a bound, or one that truncates into the range, does
// not count. Mono and stereo, 8 and 16 bits, so that the scalar and the vector paths both count.
TEST(FilterList, ClippedSamplesCountsEverySampleTheConversionBackSaturates) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> values16 = {40000.7f, -40000.0f, 32767.9f, -32768.9f, 32768.0f, -32769.0f,
                                       nan,      0.0f,      32767.0f, -32768.0f, 1.9f,     -1e30f};
  const int clipped16 = 6; // 40000.7, -40000, 32768, -32769, NaN, -1e30
  const std::vector<float> values8 = {200.0f, -0.5f, 127.9f, -128.9f, 128.0f, -129.0f, nan, -128.0f};
  const int clipped8 = 4; // 200, 128, -129, NaN
  for (const int channels : {1, 2}) {
    TFilterList chain(44100);
    chain.Add(std::make_unique<TConstantFilter>(values16));
    // 1200 frames: every value 100 times per channel, over the vector lanes and the scalar rest.
    const int32_t frames = 1200 + 3;
    std::vector<uint8_t> block(static_cast<size_t>(frames) * 2 * channels, 0);
    chain.ProcessBlock(block.data(), frames, MakePCMFormat(44100, static_cast<uint16_t>(channels), 16));
    // Frame i holds values16[i % 12] on every channel; the three frames beyond 1200 are 0..2.
    const uint64_t expected16 = static_cast<uint64_t>(channels) * (100 * clipped16 + 2);
    EXPECT_EQ(chain.ClippedSamples(), expected16) << channels;

    TFilterList chain8(8000);
    chain8.Add(std::make_unique<TConstantFilter>(values8));
    std::vector<uint8_t> block8(static_cast<size_t>(80) * channels, 128);
    chain8.ProcessBlock(block8.data(), 80, MakePCMFormat(8000, static_cast<uint16_t>(channels), 8));
    EXPECT_EQ(chain8.ClippedSamples(), static_cast<uint64_t>(channels) * 10 * clipped8) << channels;
    // The count grows from block to block.
    chain8.ProcessBlock(block8.data(), 80, MakePCMFormat(8000, static_cast<uint16_t>(channels), 8));
    EXPECT_EQ(chain8.ClippedSamples(), static_cast<uint64_t>(channels) * 20 * clipped8) << channels;
  }
  TFilterList quiet(44100);
  quiet.Add(std::make_unique<TProbeFilter>(44100));
  auto block = Pcm16({32767, -32768, 5, -5});
  quiet.ProcessBlock(block.data(), 2, MakePCMFormat(44100, 2, 16));
  EXPECT_EQ(quiet.ClippedSamples(), 0u);
}

TEST(FilterList, SamplesReachFiltersOnTheIntegerScaleOfEachChannel) {
  TFilterList chain(44100);
  auto probe = std::make_unique<TProbeFilter>(44100);
  probe->Gain = 0.5;
  chain.Add(std::move(probe));
  auto block = Pcm16({1000, -1000, 3, -3});
  chain.ProcessBlock(block.data(), 2, MakePCMFormat(44100, 2, 16));
  EXPECT_EQ(Samples16(block), (std::vector<int16_t>{500, -500, 1, -1}));

  std::vector<uint8_t> b8 = {228, 28, 129};
  chain.ProcessBlock(b8.data(), 3, MakePCMFormat(8000, 1, 8));
  EXPECT_EQ(b8, (std::vector<uint8_t>{178, 78, 128}));
}

TEST(FilterList, EnabledFiltersRunInListOrderOnEachChannel) {
  std::vector<std::pair<int, int>> log;
  TFilterList chain(44100);
  chain.Add(std::make_unique<TProbeFilter>(44100, 0, &log));
  chain.Add(std::make_unique<TProbeFilter>(44100, 1, &log));
  chain.Add(std::make_unique<TProbeFilter>(44100, 2, &log));
  chain.SetEnabled(1, false);
  std::vector<uint8_t> block(4 * 8, 0);
  chain.ProcessBlock(block.data(), 8, MakePCMFormat(44100, 2, 16));
  // The two channels of a stereo block may run at once: the order holds within each channel.
  std::vector<int> visits[2];
  for (const auto& [id, channel] : log) {
    visits[channel].push_back(id);
  }
  EXPECT_EQ(visits[0], (std::vector<int>{0, 2}));
  EXPECT_EQ(visits[1], (std::vector<int>{0, 2}));

  log.clear();
  chain.ProcessBlock(block.data(), 16, MakePCMFormat(44100, 1, 16));
  EXPECT_EQ(log, (std::vector<std::pair<int, int>>{{0, 0}, {2, 0}}));
}

TEST(FilterList, DeletingSlotZeroMovesTheOthersDownWithTheirFlags) {
  TFilterList chain(44100);
  std::array<TFilter*, 3> raw{};
  for (int i = 0; i < 3; ++i) {
    auto f = std::make_unique<TProbeFilter>(44100, i);
    raw[i] = f.get();
    chain.Add(std::move(f));
  }
  chain.SetEnabled(1, false);
  chain.Delete(0);
  ASSERT_EQ(chain.Count(), 2);
  EXPECT_EQ(chain.Item(0), raw[1]);
  EXPECT_EQ(chain.Item(1), raw[2]);
  EXPECT_FALSE(chain.IsEnabled(0));
  EXPECT_TRUE(chain.IsEnabled(1));
  EXPECT_EQ(chain.Item(2), nullptr);
}

TEST(FilterList, SwapExchangesFiltersAndFlags) {
  TFilterList chain(44100);
  chain.Add(std::make_unique<TProbeFilter>(44100));
  chain.Add(std::make_unique<TProbeFilter>(44100));
  TFilter* first = chain.Item(0);
  chain.SetEnabled(0, false);
  chain.Swap(0, 1);
  EXPECT_EQ(chain.Item(1), first);
  EXPECT_TRUE(chain.IsEnabled(0));
  EXPECT_FALSE(chain.IsEnabled(1));
}

TEST(FilterList, AddSetsTheChainRateAndASeventeenthFilterIsRefused) {
  TFilterList chain(22050);
  for (int i = 0; i < TFilterList::MaxFilters; ++i) {
    chain.Add(std::make_unique<TProbeFilter>(8000));
  }
  EXPECT_EQ(chain.Item(15)->SampleRate(), 22050);
  try {
    chain.Add(std::make_unique<TProbeFilter>(8000));
    FAIL() << "a 17th filter was accepted";
  } catch (const TFilterError& e) {
    EXPECT_STREQ(e.what(), MsgChainFull);
  }
  EXPECT_EQ(chain.Count(), 16);
}

TEST(FilterList, SwitchingOffClearsTheFilterState) {
  TFilterList chain(44100);
  chain.Add(std::make_unique<TProbeFilter>(44100));
  std::vector<uint8_t> block(8, 0);
  chain.ProcessBlock(block.data(), 4, MakePCMFormat(44100, 1, 16));
  EXPECT_EQ(chain.Item(0)->ChannelState(0)[0], 4.0f);
  chain.SetEnabled(0, false);
  EXPECT_EQ(chain.Item(0)->ChannelState(0)[0], 0.0f);
  chain.SetEnabled(0, true);
  chain.ProcessBlock(block.data(), 4, MakePCMFormat(44100, 1, 16));
  EXPECT_EQ(chain.Item(0)->ChannelState(0)[0], 4.0f);
}

TEST(FilterList, LoadMakesTheFiltersWithTheFactoryGivenAndAChainWithATypeItDoesNotKnowChangesNothing) {
  TFilterList source(44100);
  source.Add(CreateFilter(9, 44100));
  source.Add(CreateFilter(0, 44100));
  TMemoryWriter record;
  source.Save(record);
  TFilterList chain(8000);
  chain.Add(CreateFilter(9, 8000));
  const TFilter* kept = chain.Item(0);

  std::vector<std::pair<int32_t, int32_t>> asked;
  const TFilterFactory echoOnly = [&](int32_t type, int32_t rate) {
    asked.emplace_back(type, rate);
    return type == 9 ? CreateFilter(type, rate) : nullptr;
  };
  TMemoryReader in(record.Bytes().data(), record.Bytes().size());
  try {
    chain.Load(in, echoOnly);
    ADD_FAILURE() << "a type the factory does not know was loaded";
  } catch (const TFilterError& e) {
    EXPECT_STREQ(e.what(), MsgBadFileFormat);
  }
  EXPECT_EQ(asked, (std::vector<std::pair<int32_t, int32_t>>{{9, 8000}, {0, 8000}}));
  ASSERT_EQ(chain.Count(), 1);
  EXPECT_EQ(chain.Item(0), kept);

  TMemoryReader again(record.Bytes().data(), record.Bytes().size());
  chain.Load(again, CreateFilter);
  ASSERT_EQ(chain.Count(), 2);
  EXPECT_EQ(chain.Item(0)->Type(), 9);
  EXPECT_EQ(chain.Item(1)->Type(), 0);
  EXPECT_EQ(chain.Item(1)->SampleRate(), 8000);
}

TEST(FilterCatalogue, HoldsTheSixteenNamesAndCreatesAClassForEach) {
  EXPECT_STREQ(FilterCatalogue[0]->Name, "Фильтр нижних частот");
  EXPECT_STREQ(FilterCatalogue[4]->Name, "Многополосовой фильтр");
  EXPECT_STREQ(FilterCatalogue[7]->Name, "Фильтр \"Движущееся среднее\"");
  EXPECT_STREQ(FilterCatalogue[11]->Name, "Эффект \"Реверберация\"");
  EXPECT_STREQ(FilterCatalogue[15]->Name, "Эффект \"Сдвиг высоты тона\"");
  for (int type : {-1, 16}) {
    EXPECT_EQ(CreateFilter(type, 44100), nullptr) << type;
  }
  for (int type = 0; type < FilterTypeCount; ++type) {
    auto f = CreateFilter(type, 44100);
    ASSERT_NE(f, nullptr) << type;
    EXPECT_EQ(f->Type(), type);
    EXPECT_EQ(f->SampleRate(), 44100);
  }
}

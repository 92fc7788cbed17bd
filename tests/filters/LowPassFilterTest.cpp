// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/FloatSignals.h"
#include "support/RefusedLoad.h"

#include "filters/FilterCatalogue.h"
#include "filters/Kernels.h"
#include "filters/LowPassFilter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <numeric>
#include <vector>

using namespace sonotest;

namespace {

std::vector<float> DesignedKernel(const TLowPassFilter& f, bool highPass) {
  std::vector<float> h(static_cast<size_t>(f.KernelSize()) + 1);
  const auto fc = static_cast<float>(static_cast<double>(f.fc) / f.SampleRate());
  (highPass ? HighPassKernel : LowPassKernel)(f.KernelSize(), fc, f.WindowType, h.data());
  return h;
}

void Configure(TLowPassFilter& f, int32_t fc, int32_t window, int32_t kernelSize) {
  SetParameters(f, {{"fc", fc}, {"WindowType", window}, {"KernelSize", kernelSize}});
}

std::vector<float> State(const TFilter& f, int channel) {
  return {f.ChannelState(channel), f.ChannelState(channel) + f.StateLength()};
}

std::vector<uint8_t> Record(const std::vector<int32_t>& words) {
  std::vector<uint8_t> bytes(words.size() * 4);
  std::memcpy(bytes.data(), words.data(), bytes.size());
  return bytes;
}

} // namespace

TEST(LowPassFilter, DefaultsAreOneKilohertzHammingAnd512WithUnityGainAtZeroHertz) {
  TLowPassFilter f(44100);
  EXPECT_EQ(f.Type(), 0);
  EXPECT_EQ(f.fc, 1000);
  EXPECT_EQ(f.WindowType, 0);
  EXPECT_EQ(f.KernelSize(), 512);
  EXPECT_EQ(f.Taps().size(), 513u);
  ASSERT_EQ(f.ResponseRe().size(), 1024u);
  EXPECT_NEAR(f.ResponseRe()[0], 1.0, 1e-6); // bin 0 of the spectrum is the sum of the 513 taps
  EXPECT_EQ(f.ResponseIm()[0], 0.0f);
  EXPECT_EQ(THighPassFilter(44100).Type(), 1);
  EXPECT_NEAR(THighPassFilter(44100).ResponseRe()[0], 0.0, 1e-6);
}

TEST(LowPassFilter, ImpulseReturnsTheKernelCentredOnHalfTheKernelSize) {
  for (const int rate : TestRates) {
    for (const bool highPass : {false, true}) {
      for (const int32_t n : {8, 64, 512, 1024}) {
        for (const int32_t window : {0, 1}) {
          auto f =
              highPass ? std::make_unique<THighPassFilter>(rate) : std::make_unique<TLowPassFilter>(rate);
          Configure(*f, rate / 9, window, n);
          const auto h = DesignedKernel(*f, highPass);
          std::vector<float> x(3 * static_cast<size_t>(n), 0.0f);
          x[0] = 1.0f;
          ProcessInBlocks(*f, x, {2 * n});
          for (int32_t i = 0; i < 3 * n; ++i) {
            const double expected = i <= n ? h[i] : 0.0;
            ASSERT_NEAR(x[i], expected, 2e-6) << rate << " " << highPass << " N=" << n << " i=" << i;
          }
          const auto peak = std::max_element(x.begin(), x.end(),
                                             [](float a, float b) { return std::abs(a) < std::abs(b); });
          EXPECT_EQ(peak - x.begin(), n / 2);
        }
      }
    }
  }
}

TEST(LowPassFilter, ConstantKeepsItsLevelThroughLowPassAndVanishesThroughHighPass) {
  for (const int rate : TestRates) {
    TLowPassFilter low(rate);
    THighPassFilter high(rate);
    std::vector<float> a(4 * 4096, 1000.0f);
    std::vector<float> b = a;
    ProcessInBlocks(low, a, {4096});
    ProcessInBlocks(high, b, {4096});
    for (size_t i = 512; i < a.size(); ++i) {
      ASSERT_NEAR(a[i], 1000.0, 0.01) << rate << " " << i;
      ASSERT_NEAR(b[i], 0.0, 0.01) << rate << " " << i;
    }
  }
}

TEST(LowPassFilter, SineBelowTheCutOffKeepsItsLevelAndOneFarAboveIsRemoved) {
  for (const int rate : TestRates) {
    TLowPassFilter f(rate);
    Configure(f, 2000, 1, 512);
    auto pass = Sine(8 * 4096, 500.0, rate, 10000.0);
    auto stop = Sine(8 * 4096, 3500.0, rate, 10000.0);
    ProcessInBlocks(f, pass, {4096});
    f.ClearState();
    ProcessInBlocks(f, stop, {4096});
    EXPECT_NEAR(SineAmplitude(pass, 4096, pass.size()), 10000.0, 10.0) << rate;
    EXPECT_LT(SineAmplitude(stop, 4096, stop.size()), 10000.0 * 0.001) << rate; // below -60 dB
  }
}

TEST(LowPassFilter, BlocksOfWholeSegmentsEqualTheTimeDomainConvolutionOfTheStream) {
  // 4096 frames are 8 segments of 512 or 4 of 1024; the overlap tails join the blocks.
  for (const int rate : {8000, 44100}) {
    for (const int32_t n : {64, 512, 1024}) {
      TLowPassFilter f(rate);
      Configure(f, rate / 5, 0, n);
      const auto h = DesignedKernel(f, false);
      auto x = RandomSignal(5 * 4096, 10000.0, 123u + static_cast<unsigned>(n));
      const auto expected = Convolve(x, h);
      ProcessInBlocks(f, x, {4096});
      EXPECT_LT(MaxAbsDifference(x, expected, 0, x.size()), 0.2) << rate << " N=" << n;
    }
  }
}

TEST(LowPassFilter, BlocksOfAnyLengthFilterEverySampleAsOneConvolutionOfTheStream) {
  // A file's blocks: whole blocks, then a short last one; and blocks that are no multiple of N.
  for (const int32_t n : {64, 512, 1024}) {
    for (const std::vector<int32_t>& blocks :
         std::vector<std::vector<int32_t>>{{4096}, {4096 + 300}, {3 * n / 2 + 1}, {1000, 77, 4096}}) {
      TLowPassFilter f(44100);
      Configure(f, 3000, 0, n);
      const auto h = DesignedKernel(f, false);
      auto x = RandomSignal(10000, 8000.0, 5u + static_cast<unsigned>(n));
      const auto expected = Convolve(x, h);
      ProcessInBlocks(f, x, blocks);
      EXPECT_LT(MaxAbsDifference(x, expected, 0, x.size()), 0.2) << "N=" << n << " block " << blocks[0];
    }
  }
}

TEST(LowPassFilter, ShortBlocksRunPartitionsOfTheirOwnLength) {
  for (const int32_t blockFrames : {64, 128, 256, 512, 1024, 2048}) {
    TLowPassFilter f(48000);
    Configure(f, 5000, 1, 1024);
    const auto h = DesignedKernel(f, false);
    auto x = RandomSignal(8192, 10000.0, static_cast<unsigned>(blockFrames));
    const auto expected = Convolve(x, h);
    ProcessInBlocks(f, x, {blockFrames});
    EXPECT_EQ(f.PartitionSize(0), std::min(blockFrames, 1024));
    EXPECT_LT(MaxAbsDifference(x, expected, 0, x.size()), 0.2) << blockFrames;
  }
}

TEST(LowPassFilter, BlocksShorterThanTheKernelStayInsideTheBlockAndContinueTheStream) {
  for (const int32_t n : {64, 512, 1024}) {
    TLowPassFilter f(22050);
    Configure(f, 3000, 1, n);
    const auto h = DesignedKernel(f, false);

    // A short block in the middle of a larger buffer: the samples around it are untouched.
    std::vector<float> buffer(3 * static_cast<size_t>(n), 777.0f);
    const auto input = RandomSignal(static_cast<size_t>(n) / 2 + 3, 5000.0, 9);
    std::copy(input.begin(), input.end(), buffer.begin() + n);
    ChannelBlock block;
    block.Samples = buffer.data() + n;
    block.Frames = static_cast<int32_t>(input.size());
    f.Process(block, 0);
    const auto expected = Convolve(input, h);
    for (size_t i = 0; i < buffer.size(); ++i) {
      if (i < static_cast<size_t>(n) || i >= n + input.size()) {
        ASSERT_EQ(buffer[i], 777.0f) << i;
      } else {
        ASSERT_NEAR(buffer[i], expected[i - n], 0.05) << i;
      }
    }

    // Any mix of short blocks and whole segments filters the stream as one convolution.
    f.ClearState();
    auto x = RandomSignal(20 * static_cast<size_t>(n), 10000.0, 10);
    const auto reference = Convolve(x, h);
    ProcessInBlocks(f, x, {n / 2 + 3, 7, n - 1, n, 2 * n, 1, n / 4});
    EXPECT_LT(MaxAbsDifference(x, reference, 0, x.size()), 0.2) << "N=" << n;
  }
}

TEST(LowPassFilter, EmptyBlockChangesNothing) {
  TLowPassFilter f(44100);
  auto x = RandomSignal(100, 1000.0, 1);
  ProcessInBlocks(f, x, {100});
  const auto tail = State(f, 0);
  ChannelBlock block;
  block.Samples = x.data();
  block.Frames = 0;
  f.Process(block, 0);
  EXPECT_EQ(State(f, 0), tail);
}

TEST(LowPassFilter, ZeroCutOffSilencesLowPassAndMakesHighPassAPureDelay) {
  TLowPassFilter low(44100);
  THighPassFilter high(44100);
  Configure(low, 0, 0, 256);
  Configure(high, 0, 0, 256);
  const auto input = RandomSignal(4096, 10000.0, 2);
  auto a = input;
  auto b = input;
  ProcessInBlocks(low, a, {4096});
  ProcessInBlocks(high, b, {4096});
  for (size_t i = 0; i < input.size(); ++i) {
    ASSERT_EQ(a[i], 0.0f) << i;
    ASSERT_NEAR(b[i], i < 128 ? 0.0 : input[i - 128], 0.2) << i;
  }
}

TEST(LowPassFilter, StereoChannelsKeepSeparateTails) {
  TLowPassFilter stereo(48000);
  TLowPassFilter mono(48000);
  auto left = RandomSignal(4 * 4096, 10000.0, 3);
  auto right = RandomSignal(4 * 4096, 10000.0, 4);
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

TEST(LowPassFilter, NewKernelTakesOverWithACrossfadeOverOneBlockAndAnUnchangedOneChangesNothing) {
  // Cut-off, window or size: the block after the change goes linearly from the old kernel's output
  // to the new one's, both over the whole stream; the block after that is the new kernel's alone.
  struct TChange {
    int32_t fc, window, size;
  };
  for (const int32_t blockFrames : {256, 4096}) {
    for (const TChange& change :
         {TChange{3000, 0, 512}, TChange{1000, 1, 512}, TChange{1000, 0, 1024}, TChange{2500, 1, 128}}) {
      TLowPassFilter f(44100);
      const auto before = DesignedKernel(f, false);
      auto x = RandomSignal(4 * static_cast<size_t>(blockFrames), 8000.0, 21);
      const auto old = Convolve(x, before);
      ChannelBlock block;
      block.Frames = blockFrames;
      for (int b = 0; b < 4; ++b) {
        if (b == 2) {
          Configure(f, change.fc, change.window, change.size);
        }
        block.Samples = x.data() + b * blockFrames;
        f.Process(block, 0);
      }
      const auto fresh = Convolve(RandomSignal(x.size(), 8000.0, 21), DesignedKernel(f, false));
      for (int32_t i = 0; i < 4 * blockFrames; ++i) {
        const int32_t inFade = i - 2 * blockFrames;
        double expected = i < 2 * blockFrames ? old[i] : fresh[i];
        if (inFade >= 0 && inFade < blockFrames) {
          const double w = (inFade + 1.0) / blockFrames;
          expected = old[i] + (fresh[i] - old[i]) * w;
        }
        ASSERT_NEAR(x[i], expected, 0.3)
            << blockFrames << " fc " << change.fc << " N " << change.size << " " << i;
      }
    }
  }

  // The same values written and applied again: the output is that of a filter nobody touched, bit
  // for bit.
  TLowPassFilter edited(44100);
  TLowPassFilter untouched(44100);
  const auto [a, b] = ProcessSideBySide(edited, untouched, RandomSignal(3 * 4096, 8000.0, 22), 4096,
                                        [&] { Configure(edited, 1000, 0, 512); });
  EXPECT_EQ(a, b);
}

TEST(LowPassFilter, SaveOfDefaultsIsSixteenBytes) {
  TLowPassFilter f(44100);
  TMemoryWriter out;
  f.Save(out);
  EXPECT_EQ(out.Bytes(), Record({0, 1000, 0, 512}));
  THighPassFilter h(8000);
  TMemoryWriter outHigh;
  h.Save(outHigh);
  EXPECT_EQ(outHigh.Bytes(), Record({1, 1000, 0, 512}));
}

TEST(LowPassFilter, LoadAcceptsWhatTheDialogCanProduce) {
  for (const auto& values : std::vector<std::vector<int32_t>>{
           {0, 0, 0, 8}, {0, 22050, 1, 1024}, {0, 440, 5, 128}, {0, 1, -3, 16}}) {
    TLowPassFilter f(44100);
    const auto bytes = Record(values);
    TMemoryReader in(bytes.data(), bytes.size());
    f.Load(in);
    EXPECT_EQ(f.fc, values[1]);
    EXPECT_EQ(f.WindowType, values[2]);
    EXPECT_EQ(f.KernelSize(), values[3]);
    EXPECT_EQ(f.Taps().size(), static_cast<size_t>(values[3]) + 1);
    EXPECT_TRUE(f.Validate());
  }
}

TEST(LowPassFilter, LoadRefusesUnsoundSettingsAndLeavesTheFilterAsItWas) {
  for (const auto& values : std::vector<std::vector<int32_t>>{{0, 1000, 0, 1000},
                                                              {0, 1000, 0, 4},
                                                              {0, 1000, 0, 2048},
                                                              {0, 1000, 0, 0},
                                                              {0, 1000, 0, -512},
                                                              {0, -1, 0, 512},
                                                              {0, 22051, 0, 512},
                                                              {1, 1000, 0, 512}}) {
    TLowPassFilter f(44100);
    Configure(f, 2500, 1, 256);
    auto x = RandomSignal(1024, 1000.0, 1);
    ProcessInBlocks(f, x, {1024});
    const auto tail = State(f, 0);
    const auto response = f.ResponseRe();
    const auto bytes = Record(values);
    EXPECT_TRUE(LoadIsRefused(f, bytes.data(), bytes.size())) << "accepted " << values[1] << " " << values[3];
    EXPECT_EQ(f.fc, 2500);
    EXPECT_EQ(f.WindowType, 1);
    EXPECT_EQ(f.KernelSize(), 256);
    EXPECT_EQ(State(f, 0), tail);
    EXPECT_EQ(f.ResponseRe(), response);
  }
  TLowPassFilter f(8000);
  f.fc = 4001;
  EXPECT_FALSE(f.Validate());
  f.fc = 4000;
  EXPECT_TRUE(f.Validate());
}

TEST(FilterCatalogue, CreatesTheSixteenFilterClassesAndNothingElse) {
  const std::vector<int> delayed = {0, 1, 2, 3, 4, 7, 9, 10, 11, 15}; // state kept in the channel buffers
  for (int type = -1; type <= 16; ++type) {
    const auto f = CreateFilter(type, 22050);
    ASSERT_EQ(f != nullptr, type >= 0 && type < 16) << type;
    if (f) {
      EXPECT_EQ(f->Type(), type);
      EXPECT_EQ(f->SampleRate(), 22050);
      EXPECT_TRUE(f->Validate());
      EXPECT_EQ(f->StateLength() > 0, std::find(delayed.begin(), delayed.end(), type) != delayed.end())
          << type;
    }
  }
  EXPECT_NE(dynamic_cast<THighPassFilter*>(CreateFilter(1, 8000).get()), nullptr);
  EXPECT_EQ(dynamic_cast<THighPassFilter*>(CreateFilter(0, 8000).get()), nullptr);
}

#include "support/FloatSignals.h"
#include "support/RefusedLoad.h"

#include "dsp/FilterCatalogue.h"
#include "filters/Kernels.h"
#include "filters/LowPassFilter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <numeric>
#include <vector>

using namespace sonotest;

namespace {

constexpr int Rates[] = {8000, 22050, 44100, 48000};

std::vector<float> DesignedKernel(const TLowPassFilter& f, bool highPass) {
  std::vector<float> h(static_cast<size_t>(f.KernelSize()) + 1);
  const auto fc = static_cast<float>(static_cast<double>(f.fc) / f.SampleRate());
  (highPass ? HighPassKernel : LowPassKernel)(f.KernelSize(), fc, f.WindowType, h.data());
  return h;
}

void Configure(TLowPassFilter& f, int32_t fc, int32_t window, int32_t kernelSize) {
  const std::lock_guard guard(f.Lock());
  *static_cast<int32_t*>(f.FindParameter("fc")) = fc;
  *static_cast<int32_t*>(f.FindParameter("WindowType")) = window;
  *static_cast<int32_t*>(f.FindParameter("KernelSize")) = kernelSize;
  f.Apply();
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
  EXPECT_EQ(f.StateLength(), 512);
  ASSERT_EQ(f.ResponseRe().size(), 1024u);
  EXPECT_NEAR(f.ResponseRe()[0], 1.0, 1e-6); // bin 0 of the spectrum is the sum of the 513 taps
  EXPECT_EQ(f.ResponseIm()[0], 0.0f);
  EXPECT_EQ(THighPassFilter(44100).Type(), 1);
  EXPECT_NEAR(THighPassFilter(44100).ResponseRe()[0], 0.0, 1e-6);
}

TEST(LowPassFilter, ImpulseReturnsTheKernelCentredOnHalfTheKernelSize) {
  for (const int rate : Rates) {
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
  for (const int rate : Rates) {
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
  for (const int rate : Rates) {
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

TEST(LowPassFilter, SamplesAfterTheLastWholeSegmentStayUnfilteredAndOutOfTheTail) {
  TLowPassFilter f(44100);
  const auto h = DesignedKernel(f, false);
  const auto first = RandomSignal(4096 + 300, 8000.0, 5);
  const auto second = RandomSignal(4096, 8000.0, 6);

  // The stream the filter sees through its tails: the 8 whole segments, then the next block.
  std::vector<float> stream(first.begin(), first.begin() + 4096);
  stream.insert(stream.end(), second.begin(), second.end());
  const auto expected = Convolve(stream, h);

  auto a = first;
  auto b = second;
  ChannelBlock block;
  block.Samples = a.data();
  block.Frames = static_cast<int32_t>(a.size());
  f.Process(block, 0);
  block.Samples = b.data();
  block.Frames = 4096;
  f.Process(block, 0);

  for (size_t i = 4096; i < a.size(); ++i) {
    ASSERT_EQ(a[i], first[i]) << i;
  }
  a.resize(4096);
  a.insert(a.end(), b.begin(), b.end());
  EXPECT_LT(MaxAbsDifference(a, expected, 0, a.size()), 0.2);
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

TEST(LowPassFilter, KernelSizeChangeClearsTheTailsAndCutOffOrWindowChangeKeepsThem) {
  TLowPassFilter f(44100);
  auto x = RandomSignal(4096, 10000.0, 8);
  ProcessInBlocks(f, x, {4096});
  std::vector<float> right = RandomSignal(4096, 10000.0, 9);
  ProcessInBlocks(f, right, {4096}, 1);
  const auto left = State(f, 0);
  const auto rightTail = State(f, 1);
  ASSERT_NE(left, std::vector<float>(512, 0.0f));

  Configure(f, 3000, 1, 512);
  EXPECT_EQ(State(f, 0), left);
  EXPECT_EQ(State(f, 1), rightTail);

  Configure(f, 3000, 1, 256);
  EXPECT_EQ(f.StateLength(), 256);
  EXPECT_EQ(State(f, 0), std::vector<float>(256, 0.0f));
  EXPECT_EQ(State(f, 1), std::vector<float>(256, 0.0f));
  EXPECT_EQ(f.ResponseRe().size(), 512u);
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
    EXPECT_EQ(f.StateLength(), values[3]);
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

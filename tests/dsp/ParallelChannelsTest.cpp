// SPDX-License-Identifier: GPL-3.0-or-later
// The two channels of a stereo block run at once (channel 1 on the chain's helper thread). The
// reference here drives a second set of the same filters strictly one after another, channel 0 then
// channel 1, with its own conversions, and the chain must give the same bytes.

#include "dsp/FilterList.h"
#include "filters/FilterCatalogue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

constexpr int32_t Rate = 44100;
// The first five are edited by their slot below; the others run along, a full chain of every type.
constexpr int32_t Types[] = {0, 1, 4, 9, 11, 2, 3, 5, 6, 7, 8, 10, 12, 13, 14, 15};

// The same filters, run sequentially channel-major; disabling clears the state as the chain does.
class TSequentialChain {
public:
  TSequentialChain() {
    for (const int32_t type : Types) {
      filters.push_back(CreateFilter(type, Rate));
      enabled.push_back(true);
    }
  }

  void Process(std::vector<uint8_t>& data, int32_t frames, int bits) {
    const auto n = static_cast<size_t>(frames);
    std::vector<float> planes(2 * n);
    for (size_t j = 0; j < n; ++j) {
      for (size_t c = 0; c < 2; ++c) {
        planes[c * n + j] = bits == 8 ? static_cast<float>(static_cast<int>(data[2 * j + c]) - 128)
                                      : static_cast<float>(Sample16(data, 2 * j + c));
      }
    }
    for (int c = 0; c < 2; ++c) {
      for (size_t i = 0; i < filters.size(); ++i) {
        if (enabled[i]) {
          ChannelBlock block{MakePCMFormat(Rate, 2, static_cast<uint16_t>(bits)),
                             planes.data() + static_cast<size_t>(c) * n, frames};
          filters[i]->Process(block, c);
        }
      }
    }
    for (size_t j = 0; j < n; ++j) {
      for (size_t c = 0; c < 2; ++c) {
        const float v = planes[c * n + j];
        if (bits == 8) {
          const float clamped = !(v >= -128.0f) ? -128.0f : (v > 127.0f ? 127.0f : v);
          data[2 * j + c] = static_cast<uint8_t>(clamped + 128.0f);
        } else {
          const int16_t s = !(v >= -32768.0f) ? int16_t{-32768}
                            : v > 32767.0f    ? int16_t{32767}
                                              : static_cast<int16_t>(v);
          std::memcpy(data.data() + 2 * (2 * j + c), &s, 2);
        }
      }
    }
  }

  static int16_t Sample16(const std::vector<uint8_t>& data, size_t index) {
    int16_t s = 0;
    std::memcpy(&s, data.data() + 2 * index, 2);
    return s;
  }

  std::vector<std::unique_ptr<TFilter>> filters;
  std::vector<bool> enabled;
};

// Stereo noise with a slow sine, loud enough that the chain's gains reach saturation now and then.
std::vector<uint8_t> StereoBlock(int32_t frames, int bits, std::mt19937& random, double& phase) {
  std::normal_distribution<double> noise(0.0, bits == 8 ? 30.0 : 6000.0);
  const double amplitude = bits == 8 ? 90.0 : 26000.0;
  std::vector<uint8_t> data(static_cast<size_t>(frames) * 2 * static_cast<size_t>(bits / 8));
  for (int32_t j = 0; j < frames; ++j) {
    for (int c = 0; c < 2; ++c) {
      const double v = amplitude * std::sin(phase + c) + noise(random);
      if (bits == 8) {
        data[2 * static_cast<size_t>(j) + c] =
            static_cast<uint8_t>(std::lround(std::fmin(127.0, std::fmax(-128.0, v))) + 128);
      } else {
        const auto s = static_cast<int16_t>(std::lround(std::fmin(32767.0, std::fmax(-32768.0, v))));
        std::memcpy(data.data() + 2 * (2 * static_cast<size_t>(j) + c), &s, 2);
      }
    }
    phase += 0.013;
  }
  return data;
}

// A parameter write with its Apply, on both sides.
template <typename T> void SetParameter(TFilter& a, TFilter& b, const char* name, size_t index, T value) {
  for (TFilter* f : {&a, &b}) {
    const std::lock_guard guard(f->Lock());
    static_cast<T*>(f->FindParameter(name))[index] = value;
    f->Apply();
  }
}

} // namespace

TEST(ParallelChannels, StereoBlocksGiveTheBytesOfSequentialChannelMajorProcessingAcrossEdits) {
  TFilterList chain(Rate);
  for (const int32_t type : Types) {
    chain.Add(CreateFilter(type, Rate));
  }
  TSequentialChain reference;
  std::mt19937 random(11);
  double phase = 0.0;
  // Whole and partial FIR segments, odd lengths for the conversions' remainders, 8- and 16-bit.
  const int32_t lengths[] = {4096, 4096, 1000, 517, 4097, 3, 1, 2048, 4096, 777};
  for (int step = 0; step < 60; ++step) {
    const int32_t frames = lengths[step % 10];
    const int bits = step % 7 == 6 ? 8 : 16;
    auto block = StereoBlock(frames, bits, random, phase);
    auto expected = block;
    chain.ProcessBlock(block.data(), frames, MakePCMFormat(Rate, 2, static_cast<uint16_t>(bits)));
    reference.Process(expected, frames, bits);
    ASSERT_EQ(block, expected) << "block " << step;

    // Edits between blocks, the same on both sides.
    switch (step % 8) {
    case 0:
      SetParameter<int32_t>(*chain.Item(0), *reference.filters[0], "fc", 0, 400 + 37 * step);
      break;
    case 1:
      chain.SetEnabled(2, step % 16 != 1);
      reference.enabled[2] = step % 16 != 1;
      if (step % 16 == 1) {
        reference.filters[2]->ClearState();
      }
      break;
    case 2:
      SetParameter<double>(*chain.Item(2), *reference.filters[2], "Gain", static_cast<size_t>(step % 20),
                           0.25 * (step % 9));
      break;
    case 3:
      SetParameter<int32_t>(*chain.Item(3), *reference.filters[3], "Delay", 0, 1 + 13 * step);
      break;
    case 4:
      SetParameter<int32_t>(*chain.Item(4), *reference.filters[4], "DelayLines", 0, 1 + step % 32);
      break;
    case 5:
      SetParameter<int32_t>(*chain.Item(1), *reference.filters[1], "KernelSize", 0, 8 << ((step / 8) % 8));
      break;
    case 6:
      chain.SetEnabled(3, false);
      reference.filters[3]->ClearState();
      chain.SetEnabled(3, true);
      break;
    default:
      SetParameter<double>(*chain.Item(4), *reference.filters[4], "ReverbLevel", 0, 0.05 * (step % 11));
      break;
    }
  }
}

TEST(ParallelChannels, MonoBlocksBetweenStereoBlocksKeepTheSameResult) {
  // A mono block runs channel 0 on the calling thread; the stereo blocks around it must not notice.
  TFilterList chain(Rate);
  for (const int32_t type : Types) {
    chain.Add(CreateFilter(type, Rate));
  }
  TSequentialChain reference;
  std::mt19937 random(5);
  double phase = 0.0;
  for (int step = 0; step < 12; ++step) {
    auto block = StereoBlock(4096, 16, random, phase);
    if (step % 3 == 1) {
      // Mono: channel 0 of the stereo block on its own, in both chains.
      std::vector<uint8_t> mono(2 * 4096);
      for (size_t j = 0; j < 4096; ++j) {
        std::memcpy(mono.data() + 2 * j, block.data() + 4 * j, 2);
      }
      auto expected = mono;
      chain.ProcessBlock(mono.data(), 4096, MakePCMFormat(Rate, 1, 16));
      std::vector<float> plane(4096);
      for (size_t j = 0; j < 4096; ++j) {
        plane[j] = TSequentialChain::Sample16(expected, j);
      }
      for (auto& filter : reference.filters) {
        ChannelBlock channel{MakePCMFormat(Rate, 1, 16), plane.data(), 4096};
        filter->Process(channel, 0);
      }
      for (size_t j = 0; j < 4096; ++j) {
        const float v = plane[j];
        const int16_t s = !(v >= -32768.0f) ? int16_t{-32768}
                          : v > 32767.0f    ? int16_t{32767}
                                            : static_cast<int16_t>(v);
        std::memcpy(expected.data() + 2 * j, &s, 2);
      }
      ASSERT_EQ(mono, expected) << "mono block " << step;
      continue;
    }
    auto expected = block;
    chain.ProcessBlock(block.data(), 4096, MakePCMFormat(Rate, 2, 16));
    reference.Process(expected, 4096, 16);
    ASSERT_EQ(block, expected) << "stereo block " << step;
  }
}

namespace {

// Fails on one channel only, to see the failure of the helper thread reach the caller.
class TFailingFilter : public TFilter {
public:
  explicit TFailingFilter(int failingChannel) : TFilter(Rate), failingChannel(failingChannel) { type = 3; }
  void Process(ChannelBlock& block, int channel) override {
    if (channel == failingChannel && fail) {
      throw std::runtime_error("channel failed");
    }
    for (int32_t i = 0; i < block.Frames; ++i) {
      block.Samples[i] = -block.Samples[i];
    }
  }
  void Update() override {}
  bool fail = true;

private:
  int failingChannel;
};

} // namespace

TEST(ParallelChannels, AFailureOnEitherChannelReachesTheCallerAndReleasesEveryLock) {
  for (const int failing : {0, 1}) {
    TFilterList chain(Rate);
    chain.Add(CreateFilter(9, Rate));
    auto owned = std::make_unique<TFailingFilter>(failing);
    TFailingFilter* filter = owned.get();
    chain.Add(std::move(owned));
    std::vector<int16_t> samples = {100, -200, 300, -400};
    EXPECT_THROW(
        chain.ProcessBlock(reinterpret_cast<uint8_t*>(samples.data()), 2, MakePCMFormat(Rate, 2, 16)),
        std::runtime_error)
        << "channel " << failing;

    // Another thread can take every lock again: none was left held.
    std::thread other([&] {
      const std::lock_guard list(chain.Lock());
      for (int i = 0; i < chain.Count(); ++i) {
        const std::lock_guard one(chain.Item(i)->Lock());
      }
      filter->fail = false;
    });
    other.join();

    // The next block runs normally: the echo's first 100 ms repeat nothing, the sign flips.
    std::vector<int16_t> next = {100, -200, 300, -400};
    chain.ProcessBlock(reinterpret_cast<uint8_t*>(next.data()), 2, MakePCMFormat(Rate, 2, 16));
    EXPECT_EQ(next, (std::vector<int16_t>{-100, 200, -300, 400}));
  }
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/RateConverter.h"
#include "devices/AudioFormats.h"
#include "devices/PlaybackDevsList.h"
#include "devices/VirtDevs.h"

#include "support/PcmSignals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>

using namespace sonotest;

namespace {

// A playback device that keeps every block written to it.
class TCapturePlayback : public TPlaybackDevice {
public:
  TCapturePlayback() : TPlaybackDevice(dkWaveAudioPlayback) {}
  ~TCapturePlayback() override { Close(); }
  void Close() override {}
  void Start() override {}
  void Stop() override {}
  void Write() override {
    written.insert(written.end(), buffer.Data(), buffer.Data() + buffer.Bytes());
    ++writes;
  }
  std::vector<uint8_t> written;
  int writes = 0;
};

} // namespace

// Source format index, output format index.
class StreamingRateConversion : public testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(StreamingRateConversion, SineStaysContinuousWithNoGapOrRepeatAndKeepsItsDuration) {
  const auto [from, to] = GetParam();
  const TWaveFormat& sf = FormatTable[from];
  const TWaveFormat& df = FormatTable[to];
  constexpr int Blocks = 150;
  constexpr double Hz = 1000;
  constexpr double Amplitude = 10000;

  TPlaybackDevsList list;
  auto owned = std::make_unique<TCapturePlayback>();
  TCapturePlayback& output = *owned;
  output.Buffer().Format() = df;
  list.Add(std::move(owned));
  list.OpenAll();

  TAudioBuffer work;
  work.Format() = sf;
  work.SetFrames(BlockFrames(sf.nSamplesPerSec));
  int passesWithoutWrite = 0;
  int passesWithTwoWrites = 0;
  for (int b = 0; b < Blocks; ++b) {
    FillSine(sf, work.Data(), work.Frames(), Hz, Amplitude, static_cast<int64_t>(b) * work.Frames());
    list.ConvertAll(work);
    const int before = output.writes;
    list.WriteAll();
    passesWithoutWrite += output.writes == before;
    passesWithTwoWrites += output.writes - before >= 2;
  }

  // Duration: T seconds in, T seconds out, within one output block.
  const int64_t outFrames = static_cast<int64_t>(output.written.size()) / df.nBlockAlign;
  const double expected = static_cast<double>(Blocks) * work.Frames() * df.nSamplesPerSec / sf.nSamplesPerSec;
  EXPECT_NEAR(static_cast<double>(outFrames), expected, output.Buffer().Frames());
  EXPECT_EQ(outFrames % output.Buffer().Frames(), 0); // whole blocks only
  // Output blocks shorter than input blocks come two at a time now and then; longer ones skip passes.
  const double inBlockSeconds = static_cast<double>(work.Frames()) / sf.nSamplesPerSec;
  const double outBlockSeconds = static_cast<double>(output.Buffer().Frames()) / df.nSamplesPerSec;
  if (outBlockSeconds < inBlockSeconds) {
    EXPECT_GT(passesWithTwoWrites, 0);
  } else {
    EXPECT_GT(passesWithoutWrite, 0);
  }

  // Continuity: one sine fits the whole output; a lost or repeated block would break its phase.
  const double quantum = df.wBitsPerSample == 8 ? 256 : 1;
  for (int c = 0; c < df.nChannels; ++c) {
    const std::vector<double> x = Channel(df, output.written.data(), outFrames, c);
    const int64_t skip = output.Buffer().Frames();
    const SineFit fit = FitSine(x, skip, outFrames, Hz, df.nSamplesPerSec);
    EXPECT_NEAR(fit.Amplitude, Amplitude, 0.01 * Amplitude + quantum);
    const double w = 2 * std::numbers::pi * Hz / df.nSamplesPerSec;
    double worst = 0;
    for (int64_t n = skip; n < outFrames; ++n) {
      worst = std::max(
          worst, std::abs(x[n] - fit.Amplitude * std::sin(w * static_cast<double>(n - skip) + fit.Phase)));
    }
    EXPECT_LT(worst, 0.01 * Amplitude + quantum) << "channel " << c;
  }
}

INSTANTIATE_TEST_SUITE_P(UpAndDown, StreamingRateConversion,
                         testing::Values(std::make_tuple(30, 34), std::make_tuple(34, 30),
                                         std::make_tuple(30, 35), std::make_tuple(35, 28),
                                         std::make_tuple(2, 31), std::make_tuple(31, 3),
                                         std::make_tuple(18, 33), std::make_tuple(6, 26),
                                         std::make_tuple(26, 10), std::make_tuple(14, 22),
                                         std::make_tuple(34, 2), std::make_tuple(10, 30)),
                         [](const testing::TestParamInfo<std::tuple<int, int>>& info) {
                           return "From" + std::to_string(std::get<0>(info.param)) + "To" +
                                  std::to_string(std::get<1>(info.param));
                         });

TEST(RateConverter, QueueAllocatesNothingOnceWarmedUp) {
  const TWaveFormat& sf = FormatTable[2];  // 8000 Hz: 512-frame blocks
  const TWaveFormat& df = FormatTable[35]; // 48000 Hz: 4096-frame blocks, six times as many frames
  TRateConverter converter(sf, 512, df, 4096);
  const size_t capacity = converter.QueueCapacity();
  TAudioBuffer in;
  in.Format() = sf;
  in.SetFrames(512);
  std::vector<uint8_t> out(4096 * df.nBlockAlign);
  int64_t produced = 0;
  for (int b = 0; b < 400; ++b) {
    FillSine(sf, in.Data(), 512, 440, 8000, b * 512);
    converter.Push(in.Data(), in.Bytes());
    while (converter.Pop(out.data(), 4096)) {
      produced += 4096;
    }
    EXPECT_LT(converter.QueuedFrames(), 4096);
    ASSERT_EQ(converter.QueueCapacity(), capacity) << "pass " << b;
  }
  EXPECT_NEAR(static_cast<double>(produced + converter.QueuedFrames()), 400.0 * 512 * 6, 4096);
}

TEST(RateConverter, PopRefusesMoreFramesThanQueued) {
  TRateConverter converter(FormatTable[30], 4096, FormatTable[34], 4096);
  std::vector<uint8_t> out(4096 * 2, 0xAB);
  EXPECT_FALSE(converter.Pop(out.data(), 4096));
  EXPECT_EQ(out[0], 0xAB);
  EXPECT_EQ(converter.QueuedFrames(), 0);
}

TEST(RateConverter, AFormatItCannotConvertRaisesOnStreamOpen) {
  try {
    TRateConverter converter(FormatTable[30], 4096, MakePCMFormat(48000, 6, 16), 4096);
    FAIL();
  } catch (const TDSPException& e) {
    EXPECT_EQ(e.ResultCode, 512u);
    EXPECT_EQ(e.Operation, "acmStreamOpen");
    EXPECT_EQ(e.SourceFile, "AudioFormats.cpp");
  }
}

// Every pair of table rates: an impulse in the middle of a 0.3 s signal comes out within one output
// sample of its time, and the flushed output lasts the input to the nearest output frame.
TEST(RateConverter, AnImpulseKeepsItsTimeAndTheFlushedOutputKeepsTheDurationForEveryPairOfRates) {
  constexpr uint32_t Rates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
  for (const uint32_t from : Rates) {
    for (const uint32_t to : Rates) {
      if (from == to) {
        continue;
      }
      const TWaveFormat sf = MakePCMFormat(from, 1, 16);
      const TWaveFormat df = MakePCMFormat(to, 1, 16);
      const int32_t srcBlock = BlockFrames(from);
      const int32_t dstBlock = BlockFrames(to);
      TRateConverter converter(sf, srcBlock, df, dstBlock);
      const int64_t frames = from * 3 / 10 + 7; // not a whole number of blocks
      const int64_t impulseAt = from * 3 / 20 + 1;
      std::vector<int16_t> input(static_cast<size_t>(frames), 0);
      input[static_cast<size_t>(impulseAt)] = 20000;
      std::vector<uint8_t> output;
      std::vector<uint8_t> block(static_cast<size_t>(dstBlock) * 2);
      const auto drain = [&](int32_t n) {
        while (converter.Pop(block.data(), n)) {
          output.insert(output.end(), block.begin(), block.begin() + 2 * n);
        }
      };
      for (int64_t at = 0; at < frames; at += srcBlock) {
        const auto n = static_cast<int32_t>(std::min<int64_t>(srcBlock, frames - at));
        converter.Push(reinterpret_cast<const uint8_t*>(input.data() + at), 2 * n);
        drain(dstBlock);
      }
      converter.Flush();
      drain(1);
      EXPECT_EQ(converter.QueuedFrames(), 0);

      const auto outFrames = static_cast<int64_t>(output.size() / 2);
      EXPECT_EQ(outFrames, (frames * to + from / 2) / from) << from << " -> " << to;
      const std::vector<double> y = Channel(df, output.data(), outFrames, 0);
      const auto peak =
          std::max_element(y.begin(), y.end(), [](double a, double b) { return std::abs(a) < std::abs(b); }) -
          y.begin();
      const double expected = static_cast<double>(impulseAt) * to / from;
      EXPECT_LE(std::abs(static_cast<double>(peak) - expected), 1.0) << from << " -> " << to;
    }
  }
}

TEST(RateConverter, AFlushStartsTheNextSignalAfresh) {
  const TWaveFormat& sf = FormatTable[30]; // 44100 mono 16
  const TWaveFormat& df = FormatTable[2];  // 8000 mono 16
  TRateConverter converter(sf, 4096, df, 512);
  TAudioBuffer in;
  in.Format() = sf;
  in.SetFrames(4096);
  FillSine(sf, in.Data(), 4096, 440, 10000);
  std::vector<std::vector<uint8_t>> signals;
  for (int pass = 0; pass < 2; ++pass) {
    converter.Push(in.Data(), in.Bytes());
    converter.Flush();
    // 4096 frames at 44100 Hz are 743.04 frames at 8000 Hz, both times.
    ASSERT_EQ(converter.QueuedFrames(), 743) << pass;
    std::vector<uint8_t> out(743 * 2);
    ASSERT_TRUE(converter.Pop(out.data(), 743));
    signals.push_back(out);
  }
  // Nothing of the first signal rings into the second.
  EXPECT_EQ(signals[0], signals[1]);
}

// SPDX-License-Identifier: GPL-3.0-or-later
// sonolab-render playing a file to the test sound server's default sink, captured back from its
// monitor: every output plays the file to its last frame, without a gap, before the render ends.
// (The server itself may lose a few tens of milliseconds at the start of any new stream, whoever
// plays it; the end of the sound is what a render that stops too early loses.) With a device input,
// an existing file is overwritten only with --force, and --seconds gives exactly that many frames.

#include "devices/platform/PulseSoundServices.h"
#include "support/ChildProcess.h"
#include "support/PcmSignals.h"
#include "support/PrivatePulseServer.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using namespace sonotest;

namespace {

constexpr uint32_t Rate = 44100;
constexpr double Seconds = 2.0;       // 1000 Hz, then the marker
constexpr double MarkerSeconds = 0.1; // the last 0.1 s at 3000 Hz
constexpr double StartLossSeconds = 0.15;
constexpr int Amplitude = 8000;

class RenderDevices : public ::testing::Test {
protected:
  void SetUp() override {
    if (!TPulseSoundServices().ServerReachable()) {
      if (PulseRequired()) {
        FAIL() << "SONOLAB_REQUIRE_PULSE=1 but no PulseAudio server answers (scripts/pulse-server.sh start)";
      }
      GTEST_SKIP() << "no PulseAudio server";
    }
  }
  std::string Path(const std::string& name) const { return dir.File(name); }

  // Plays a sine of `frames` frames (the last tenth of a second, or the last half of a shorter sound,
  // the marker) through the output option and returns what the default sink's monitor heard
  // meanwhile, one channel.
  std::vector<int16_t> PlayAndCapture(const std::vector<std::string>& output,
                                      size_t frames = static_cast<size_t>(Seconds * Rate)) {
    std::vector<int16_t> samples(frames * 2);
    const size_t markerFrom = frames - MarkerFrames(frames);
    for (size_t n = 0; n < samples.size() / 2; ++n) {
      const double hz = n < markerFrom ? 1000 : 3000;
      const auto v = static_cast<int16_t>(std::lround(SineAt(Amplitude, hz, Rate, static_cast<int64_t>(n))));
      samples[2 * n] = v;
      samples[2 * n + 1] = v;
    }
    WriteWave(Path("in.wav"), Rate, 2, samples);
    TChildOptions recording;
    recording.StdoutPath = Path("captured.raw");
    TChild parec({"/usr/bin/parec", "--device=@DEFAULT_MONITOR@", "--raw", "--format=s16le", "--rate=44100",
                  "--channels=2", "--latency-msec=20"},
                 recording);
    // Recording once bytes arrive.
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (FileSize(Path("captured.raw")) == 0 && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(5ms);
    }
    EXPECT_GT(FileSize(Path("captured.raw")), 0u) << "parec records nothing";

    std::vector<std::string> args = {SONOLAB_RENDER_PATH, Path("in.wav")};
    args.insert(args.end(), output.begin(), output.end());
    TChildOptions options;
    options.StderrPath = Path("render.err");
    options.StdoutPath = Path("render.out");
    const auto start = std::chrono::steady_clock::now();
    TChild render(args, options);
    const auto end = render.Wait(60s);
    renderSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // A ring of small blocks refuses a server whose cycle it cannot lead (a graph held at a long quantum).
    const std::string err = ReadText(Path("render.err"));
    refused = std::find(args.begin(), args.end(), "--block-frames") != args.end() && end.Exited &&
              end.Status == 1 && err.find("сервер звука берёт звук по") != std::string::npos;
    EXPECT_TRUE(end.Exited && (end.Status == 0 || refused)) << err;
    renderDropouts = SummaryDropouts(ReadText(Path("render.out")));
    // What the render left unplayed would reach the sink after it ended; give it the time.
    std::this_thread::sleep_for(500ms);
    parec.Signal(SIGINT);
    parec.Wait(10s);
    const std::string raw = ReadText(Path("captured.raw"));
    std::vector<int16_t> left(raw.size() / 4);
    for (size_t i = 0; i < left.size(); ++i) {
      left[i] =
          static_cast<int16_t>(static_cast<uint8_t>(raw[4 * i]) | static_cast<uint8_t>(raw[4 * i + 1]) << 8);
    }
    return left;
  }

  static size_t MarkerFrames(size_t frames) {
    return std::min(static_cast<size_t>(MarkerSeconds * Rate), frames / 2);
  }

  // The sound of `frames` frames arrived to its end and without a gap: the marker lasts its whole
  // length, and the 1000 Hz part before it all but what the server may lose at the start.
  void ExpectWhole(const std::vector<int16_t>& heard,
                   size_t frames = static_cast<size_t>(Seconds * Rate)) const {
    const double seconds = static_cast<double>(frames) / Rate;
    const double markerSeconds = static_cast<double>(MarkerFrames(frames)) / Rate;
    std::vector<size_t> loud;
    for (size_t i = 0; i < heard.size(); ++i) {
      if (std::abs(heard[i]) > Amplitude / 4) {
        loud.push_back(i);
      }
    }
    ASSERT_FALSE(loud.empty()) << "nothing reached the sink";
    size_t gap = 0;
    for (size_t i = 1; i < loud.size(); ++i) {
      gap = std::max(gap, loud[i] - loud[i - 1]);
    }
    // Zero crossings: every 22 frames at 1000 Hz, every 7 or 8 at 3000 Hz.
    std::vector<size_t> crossings;
    for (size_t i = loud.front() + 1; i <= loud.back(); ++i) {
      if ((heard[i - 1] < 0) != (heard[i] < 0)) {
        crossings.push_back(i);
      }
    }
    ASSERT_GT(crossings.size(), 2u);
    size_t markerStart = crossings.back();
    for (size_t k = crossings.size() - 1; k > 0 && crossings[k] - crossings[k - 1] < 12; --k) {
      markerStart = crossings[k - 1];
    }
    const double marker = static_cast<double>(crossings.back() - markerStart) / Rate;
    const double before = static_cast<double>(markerStart - loud.front()) / Rate;
    if (renderDropouts > 0) {
      // A starved stream (a loaded machine, or a graph cycle longer than a ring of small blocks) has
      // holes the count already tells: the sound is not judged beyond having arrived.
      std::printf("%lu dropouts, a gap of %zu frames, %.3f s of marker: not judged\n", renderDropouts, gap,
                  marker);
      return;
    }
    EXPECT_LT(gap, 10 + ServerGlitchFrames()) << "a gap of " << gap << " frames";
    // A hole the server leaves delays what follows by its length.
    const double glitch = static_cast<double>(ServerGlitchFrames()) / Rate;
    EXPECT_NEAR(marker, markerSeconds, 0.002 + glitch)
        << "the end of the sound did not reach the sink (" << frames << " frames)";
    EXPECT_GT(before, seconds - markerSeconds - StartLossSeconds);
    EXPECT_LE(before, seconds - markerSeconds + 0.002 + glitch);
  }

  TTempDir dir{"sonolab-devices-render"};
  double renderSeconds = 0;
  unsigned long renderDropouts = 0; // as the render's summary counts them
  bool refused = false;             // the ring refused the server's cycle
};

} // namespace

TEST_F(RenderDevices, AWaveAudioOutputOfAFileInputPlaysTheWholeFileBeforeTheRenderEnds) {
  ExpectWhole(PlayAndCapture({"--wave-out", "0"}));
  // The queue paces the file: the render lasts at least as long as the sound.
  EXPECT_GE(renderSeconds, Seconds);
}

TEST_F(RenderDevices, AWaveAudioOutputPlaysEverySoundToItsEndFromOneBlockToTwoSeconds) {
  // One 4096-frame block, a short last block, and lengths around the PCM's buffer; each twice.
  for (const size_t frames : {size_t{4096}, size_t{13230}, size_t{30870}, size_t{66150}, size_t{88200}}) {
    for (int run = 0; run < 2; ++run) {
      SCOPED_TRACE(testing::Message() << frames << " frames, run " << run);
      ExpectWhole(PlayAndCapture({"--wave-out", "0"}, frames), frames);
    }
  }
}

TEST_F(RenderDevices, ARingOutputOfAFileInputPlaysTheWholeFileBeforeTheRenderEnds) {
  ExpectWhole(PlayAndCapture({"--play", "0"}));
  EXPECT_GE(renderSeconds, Seconds);
}

TEST_F(RenderDevices, WithADeviceInputAnExistingFileIsOverwrittenOnlyWithForceAndSecondsAreExact) {
  WriteWave(Path("take.wav"), 8000, 1, std::vector<int16_t>(100, 7));
  const std::string original = ReadText(Path("take.wav"));
  TChildOptions options;
  options.StderrPath = Path("render.err");
  {
    TChild render({SONOLAB_RENDER_PATH, "--capture", "0", "--seconds", "0.5", Path("take.wav")}, options);
    const auto end = render.Wait(60s);
    EXPECT_EQ(end.Status, 2);
    EXPECT_EQ(ReadText(Path("take.wav")), original);
  }
  {
    TChild render({SONOLAB_RENDER_PATH, "--capture", "0", "--seconds", "0.5", "--force", Path("take.wav")},
                  options);
    const auto end = render.Wait(60s);
    EXPECT_TRUE(end.Exited && end.Status == 0) << ReadText(Path("render.err"));
  }
  const TWaveContents take = ReadWave(Path("take.wav"));
  EXPECT_EQ(take.Rate, 44100u); // the default input format, 31
  EXPECT_EQ(take.Channels, 2);
  EXPECT_EQ(take.Frames(), 22050u);
  EXPECT_EQ(take.DataSize, 22050u * 4);
}

TEST_F(RenderDevices, SmallBlocksPlayTheWholeFileOnRingAndWaveAudioOutputsAndThroughARateConverter) {
  for (const char* blockFrames : {"64", "256"}) {
    SCOPED_TRACE(testing::Message() << blockFrames << " frames");
    // 44100 Hz in and out, and 48000 Hz out: the converter makes blocks of the output's rate.
    for (const std::vector<std::string>& output : std::vector<std::vector<std::string>>{
             {"--play", "0"}, {"--play", "0", "--out-format", "35"}, {"--wave-out", "0"}}) {
      SCOPED_TRACE(testing::Message() << output[0] << (output.size() > 2 ? " at 48000 Hz" : ""));
      std::vector<std::string> args = output;
      args.insert(args.end(), {"--block-frames", blockFrames});
      const std::vector<int16_t> heard = PlayAndCapture(args);
      if (refused) {
        std::printf("%s frames: the server's cycle outgrows the ring, refused with its message\n",
                    blockFrames);
        continue;
      }
      ExpectWhole(heard);
    }
  }
}

TEST_F(RenderDevices, SmallBlocksCaptureTheToneTheServerPlaysOnRingAndWaveAudioInputs) {
  // Long enough for every capture below, however slowly the streams start; stopped at the end.
  WriteWave(Path("tone.wav"), Rate, 2, Sine16(1000, Rate, 2, 30 * Rate, Amplitude));
  TChildOptions playing;
  playing.StderrPath = Path("play.err");
  TChild player({SONOLAB_RENDER_PATH, Path("tone.wav"), "--play", "0", "--quiet"}, playing);
  std::this_thread::sleep_for(1s);
  for (const char* input : {"--capture", "--wave-in"}) {
    for (const char* blockFrames : {"64", "256"}) {
      SCOPED_TRACE(testing::Message() << input << ", " << blockFrames << " frames");
      TChildOptions options;
      options.StderrPath = Path("render.err");
      options.StdoutPath = Path("render.out");
      TChild render({SONOLAB_RENDER_PATH, input, "0", "--block-frames", blockFrames, "--seconds", "1",
                     "--force", Path("take.wav")},
                    options);
      const auto end = render.Wait(60s);
      ASSERT_TRUE(end.Exited && end.Status == 0) << ReadText(Path("render.err"));
      const TWaveContents take = ReadWave(Path("take.wav"));
      ASSERT_EQ(take.Frames(), Rate);
      // The tone, block after block in order: a sine obeys x[n] = 2 cos(w) x[n-1] - x[n-2] to within
      // rounding, so a block lost, repeated or out of place breaks it. The server may drop a few tens of
      // milliseconds while a new stream starts (silence, two breaks), nothing more.
      const double twoCos = 2 * std::cos(2 * M_PI * 1000 / Rate);
      // (The player may still be starting: the take is judged from its first loud sample on.)
      size_t first = 0;
      while (first < Rate / 2 && std::abs(take.Samples[2 * first]) < Amplitude / 2) {
        ++first;
      }
      ASSERT_LT(first, Rate / 2) << "no tone in the first half second";
      if (const unsigned long dropouts = SummaryDropouts(ReadText(Path("render.out"))); dropouts > 0) {
        std::printf("%s, %s frames: %lu dropouts (a loaded machine), the take is not judged\n", input,
                    blockFrames, dropouts);
        continue;
      }
      size_t breaks = 0;
      size_t quiet = 0; // in runs longer than a third of a period
      size_t run = 0;
      for (size_t n = first + 2; n < Rate; ++n) {
        const double x0 = take.Samples[2 * n];
        run = std::abs(x0) < Amplitude / 4 ? run + 1 : 0;
        quiet += run == 16 ? 16 : run > 16 ? 1 : 0;
        if (std::abs(x0 - twoCos * take.Samples[2 * (n - 1)] + take.Samples[2 * (n - 2)]) > 100) {
          ++breaks;
        }
      }
      // A PipeWire graph cycle the server itself misses is a hole of its own, with two breaks of its own.
      EXPECT_LE(breaks, ServerGlitchFrames() > 0 ? 16u : 8u);
      EXPECT_LT(quiet, static_cast<size_t>(StartLossSeconds * Rate));
    }
  }
  player.Signal(SIGTERM);
  player.Wait(10s);
}

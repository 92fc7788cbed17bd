// SPDX-License-Identifier: GPL-3.0-or-later
// The PipeWire devices against a real daemon whose graph follows its streams' latencies
// (scripts/pipewire-server.sh without a fixed quantum) and its null sink "sonolab_null": what is
// played into the sink comes back from its monitor, byte for byte, at a quantum of the block; other
// formats are converted by the graph; a stop wakes a waiting Read (teardowns: PipeWireSetUpTest).

#include "devices/PipeWireDevices.h"
#include "devices/DeviceCatalogue.h"
#include "devices/platform/RealtimeScheduling.h"
#include "support/PrivatePipeWire.h"
#include "support/Watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

using namespace sonotest;
using namespace std::chrono_literals;

namespace {

TGraphNode NullSink(const std::vector<TGraphNode>& nodes, bool monitor) {
  const auto node = std::find_if(nodes.begin(), nodes.end(), [&](const TGraphNode& n) {
    return n.Name == "sonolab_null" && n.Monitor == monitor;
  });
  return node != nodes.end() ? *node : TGraphNode{};
}

// A capture of the null sink's monitor and a playback into it, at one block.
struct TLoop {
  TLoop(const TWaveFormat& in, const TWaveFormat& out, int32_t block)
      : capture(graph, NullSink(graph->CaptureNodes(), true)),
        playback(graph, NullSink(graph->PlaybackNodes(), false)) {
    capture.Buffer().Format() = in;
    playback.Buffer().Format() = out;
    capture.SetBlockFrames(block);
    playback.SetBlockFrames(block);
  }
  const std::shared_ptr<TPipeWireGraph> graph = std::make_shared<TPipeWireGraph>();
  TPipeWireRecordingDevice capture;
  TPipeWirePlaybackDevice playback;
};

// Plays `signal` (interleaved, in the playback format's bytes), then silence, and returns what the
// monitor gave until a second past the signal, from two threads at the worker's priority.
std::vector<int16_t> PlayThrough(TLoop& loop, const std::vector<int16_t>& signal, uint64_t& dropouts) {
  const TWaveFormat& in = loop.capture.Buffer().Format();
  const TWaveFormat& out = loop.playback.Buffer().Format();
  const auto wanted =
      static_cast<size_t>((double(signal.size() * 2) / out.nAvgBytesPerSec + 1.0) * in.nAvgBytesPerSec / 2);
  std::vector<int16_t> captured;
  std::atomic<bool> done{false};
  for (TAudioDevice* device :
       {static_cast<TAudioDevice*>(&loop.capture), static_cast<TAudioDevice*>(&loop.playback)}) {
    device->Open();
    device->Start();
  }
  std::thread writer([&] {
    MakeThreadRealtime();
    const size_t samples = static_cast<size_t>(loop.playback.Buffer().Bytes()) / 2;
    auto* block = reinterpret_cast<int16_t*>(loop.playback.Buffer().Data());
    for (size_t at = 0; !done; at += samples) {
      for (size_t i = 0; i < samples; ++i) {
        block[i] = at + i < signal.size()    ? signal[at + i]
                   : out.wBitsPerSample == 8 ? int16_t{-32640}
                                             : int16_t{0};
      }
      loop.playback.Write();
    }
  });
  std::thread reader([&] {
    MakeThreadRealtime();
    while (captured.size() < wanted) {
      loop.capture.Read();
      const auto* data = reinterpret_cast<const int16_t*>(loop.capture.Buffer().Data());
      captured.insert(captured.end(), data, data + loop.capture.Buffer().Bytes() / 2);
    }
    done = true;
  });
  reader.join();
  writer.join();
  dropouts = loop.capture.Dropouts() + loop.playback.Dropouts();
  return captured;
}

// Stereo noise that matches itself nowhere else, never zero (so its start is plain to see).
std::vector<int16_t> Noise(size_t frames) {
  std::vector<int16_t> noise(frames * 2);
  uint32_t state = 12345;
  for (int16_t& sample : noise) {
    state = state * 1664525u + 1013904223u;
    const auto value = static_cast<int16_t>(state >> 17);
    sample = value == 0 ? int16_t{1} : value;
  }
  return noise;
}

} // namespace

TEST(PipeWireDevices, NoiseComesBackFromTheMonitorByteForByteWithNothingLostAtAQuantumOfTheBlock) {
  SONOTEST_REQUIRE_PIPEWIRE();
  TWatchdog watchdog(180s, "noise through the graph");
  const std::vector<int16_t> noise = Noise(48000 * 2);
  for (const int32_t block : {512, 128}) {
    // A cycle the loaded machine made the graph lose is a dropout: such a take is not judged, as in
    // the sound-server tests (bench/live_under_load.sh measures how often it happens).
    bool judged = false;
    for (int take = 0; take < 3 && !judged; ++take) {
      TLoop loop(MakePCMFormat(48000, 2, 16), MakePCMFormat(48000, 2, 16), block);
      uint64_t dropouts = 0;
      const std::vector<int16_t> captured = PlayThrough(loop, noise, dropouts);
      EXPECT_EQ(loop.capture.QuantumFrames(), static_cast<uint32_t>(block)) << "the graph follows the block";
      EXPECT_EQ(loop.playback.QuantumFrames(), static_cast<uint32_t>(block));
      if (dropouts != 0) {
        continue;
      }
      judged = true;
      const auto onset = std::find_if(captured.begin(), captured.end(), [](int16_t s) { return s != 0; });
      ASSERT_GE(captured.end() - onset, static_cast<ptrdiff_t>(noise.size() + 1)) << "block " << block;
      EXPECT_TRUE(std::equal(noise.begin(), noise.end(), onset)) << "block " << block;
      EXPECT_EQ(onset[static_cast<ptrdiff_t>(noise.size())], 0) << "silence follows";
    }
    if (!judged) {
      std::printf("every take at block %d counted dropouts (a loaded machine): the noise is not judged\n",
                  block);
    }
  }
}

TEST(PipeWireDevices, TheGraphConvertsMonoEightBitsAt22050ToStereoSixteenAt48000KeepingPitchAndLevel) {
  SONOTEST_REQUIRE_PIPEWIRE();
  TWatchdog watchdog(120s, "format conversion");
  TLoop loop(MakePCMFormat(48000, 2, 16), MakePCMFormat(22050, 1, 8), 1024);
  // A second of 8-bit samples, two to an element of the 16-bit vector.
  std::vector<int16_t> signal(22050 / 2);
  auto* bytes = reinterpret_cast<uint8_t*>(signal.data());
  for (size_t n = 0; n < 22050 - 1; ++n) {
    bytes[n] = static_cast<uint8_t>(128 + std::lround(64 * std::sin(2 * M_PI * 1000 * double(n) / 22050)));
  }
  uint64_t dropouts = 0;
  const std::vector<int16_t> captured = PlayThrough(loop, signal, dropouts);
  if (dropouts != 0) {
    std::printf("%llu dropouts (a loaded machine): the tone is not judged\n",
                static_cast<unsigned long long>(dropouts));
    return;
  }
  // Half a second well inside the tone: both channels carry it, at 1000 Hz and half scale.
  const auto onset =
      std::find_if(captured.begin(), captured.end(), [](int16_t s) { return std::abs(s) > 4000; });
  ASSERT_GT(captured.end() - onset, 48000 * 2);
  const size_t from = static_cast<size_t>(onset - captured.begin()) + 2 * 4800;
  int crossings = 0;
  double peak = 0;
  for (size_t f = 0; f < 24000; ++f) {
    const int16_t left = captured[from + 2 * f];
    EXPECT_EQ(left, captured[from + 2 * f + 1]) << "mono reaches both channels alike";
    peak = std::max(peak, std::abs(double(left)));
    crossings += f > 0 && (captured[from + 2 * f - 2] < 0) != (left < 0);
  }
  EXPECT_NEAR(crossings, 1000, 4) << "1000 Hz: two crossings a period over half a second";
  EXPECT_NEAR(peak, 64 * 256, 64 * 256 * 0.05) << "a 64-step swing of 8 bits is a quarter of 16-bit scale";
}

TEST(PipeWireDevices, StopOnAnotherThreadWakesAWaitingReadAndNeitherReadNorWriteWaitsUntilTheNextStart) {
  SONOTEST_REQUIRE_PIPEWIRE();
  TWatchdog watchdog(120s, "a stop against a waiting read");
  TLoop loop(MakePCMFormat(44100, 2, 16), MakePCMFormat(44100, 2, 16), 0);
  loop.capture.Open();
  loop.playback.Open();
  loop.capture.Start();
  loop.playback.Start();
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    std::this_thread::sleep_for(200ms);
    stopped = true;
    loop.capture.Stop();
    loop.playback.Stop();
  });
  while (!stopped) {
    loop.capture.Read(); // a 4096-frame block takes 93 ms: the stop comes while one waits
  }
  for (int i = 0; i < 64 && loop.capture.Buffer().Frames() != 0; ++i) {
    loop.capture.Read();
  }
  EXPECT_EQ(loop.capture.Buffer().Frames(), 0);
  stopper.join();
  loop.playback.Write(); // stopped: returns without waiting
}

TEST(PipeWireDevices, TheListsOfferTheGraphsNodesWithTheirSuffixAndNothingWithoutADaemon) {
  SONOTEST_REQUIRE_PIPEWIRE();
  const auto graph = std::make_shared<TPipeWireGraph>();
  const auto inputs = InputDeviceItems(nullptr, {}, graph);
  ASSERT_EQ(inputs.size(), graph->CaptureNodes().size() + 1);
  EXPECT_EQ(inputs[0].Text, graph->CaptureNodes()[0].Description + " (PipeWire)");
  const auto nowhere = std::make_shared<TPipeWireGraph>("/nonexistent/pipewire-0");
  EXPECT_EQ(InputDeviceItems(nullptr, {}, nowhere).size() + OutputDeviceItems(nullptr, {}, nowhere).size(),
            2u);
  EXPECT_EQ(nowhere->Check().Code, SoundNoDriver);
}

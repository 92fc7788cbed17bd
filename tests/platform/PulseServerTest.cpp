// SPDX-License-Identifier: GPL-3.0-or-later
// The ring and wave-audio devices against a real sound server with the null sink "sonolab_null": a
// private PulseAudio (scripts/pulse-server.sh) or PipeWire with its pulse server
// (scripts/pipewire-server.sh). Without a server these tests are skipped, unless
// SONOLAB_REQUIRE_PULSE=1 asks for one, in which case they fail.

#include "devices/DeviceCatalogue.h"
#include "devices/DirectSoundDevices.h"
#include "devices/WaveAudioDevices.h"
#include "devices/platform/PulseSoundServices.h"
#include "support/ChildProcess.h"
#include "support/PcmSignals.h"
#include "support/PrivatePulseServer.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iterator>
#include <mutex>
#include <thread>

using namespace sonotest;

namespace {

using namespace std::chrono_literals;

constexpr TWaveFormat Stereo16At44100 = MakePCMFormat(44100, 2, 16);
constexpr double ToneHz = 1000;
constexpr double ToneAmplitude = 8000;

#define REQUIRE_PULSE_SERVER()                                                                               \
  do {                                                                                                       \
    if (!TPulseSoundServices().ServerReachable()) {                                                          \
      if (PulseRequired()) {                                                                                 \
        FAIL()                                                                                               \
            << "SONOLAB_REQUIRE_PULSE=1 but no PulseAudio server answers (scripts/pulse-server.sh start)";   \
      }                                                                                                      \
      GTEST_SKIP() << "no PulseAudio server";                                                                \
    }                                                                                                        \
  } while (false)

// A device error fails the test with its composed text, not as an anonymous exception.
template <class Body> void ReportingDeviceErrors(Body&& body) {
  try {
    body();
  } catch (const TDSPException& e) {
    const TDSPMessage message = ComposeDSPMessage(e);
    ADD_FAILURE() << message.Caption << ": " << message.Text;
  }
}

// A continuous tone on every channel, block after block.
class ToneSource {
public:
  void Fill(TAudioBuffer& b) {
    FillSine(b.Format(), b.Data(), b.Frames(), ToneHz, ToneAmplitude, frame);
    frame += b.Frames();
  }

private:
  int64_t frame = 0;
};

void AppendChannel0(const TAudioBuffer& b, std::vector<double>& x) {
  const std::vector<double> channel = Channel(b.Format(), b.Data(), b.Frames(), 0);
  x.insert(x.end(), channel.begin(), channel.end());
}

// The amplitude of the component at hz over the samples from `from` to the end.
double AmplitudeAt(const std::vector<double>& x, size_t from, double hz, double rate) {
  return GoertzelAmplitude(x, static_cast<int64_t>(from), static_cast<int64_t>(x.size()), hz, rate);
}

// Frequency from the rising zero crossings between the first and the last one.
double ZeroCrossingFrequency(const std::vector<double>& x, size_t from, double rate) {
  double first = -1, last = -1;
  int rising = 0;
  for (size_t n = from + 1; n < x.size(); ++n) {
    if (x[n - 1] < 0 && x[n] >= 0) {
      const double at = static_cast<double>(n - 1) + x[n - 1] / (x[n - 1] - x[n]);
      if (first < 0) {
        first = at;
      }
      last = at;
      ++rising;
    }
  }
  return rising > 1 ? (rising - 1) * rate / (last - first) : 0;
}

void ExpectTone(const std::vector<double>& x, size_t from) {
  ASSERT_GT(x.size(), from + 8192);
  const double rate = Stereo16At44100.nSamplesPerSec;
  const double amplitude = AmplitudeAt(x, from, ToneHz, rate);
  EXPECT_NEAR(amplitude, ToneAmplitude, 0.1 * ToneAmplitude);
  EXPECT_LT(AmplitudeAt(x, from, 0.9 * ToneHz, rate), 0.05 * amplitude);
  EXPECT_LT(AmplitudeAt(x, from, 1.1 * ToneHz, rate), 0.05 * amplitude);
  EXPECT_NEAR(ZeroCrossingFrequency(x, from, rate), ToneHz, 5);
}

// A playback ring into a null sink and a capture ring from its monitor, both open and running.
struct TSinkAndMonitor {
  TSinkAndMonitor(const std::shared_ptr<TSoundServices>& services, const std::string& sink)
      : output(services, sink), input(services, sink + ".monitor") {
    output.Buffer().Format() = Stereo16At44100;
    input.Buffer().Format() = Stereo16At44100;
    output.Open();
    input.Open();
    output.Start();
    input.Start();
  }
  TDirectSoundPlaybackDevice output;
  TDirectSoundRecordingDevice input;
};

// Plays the tone through the ring playback device into sonolab_null until told to stop.
class TonePlayer {
public:
  explicit TonePlayer(const std::shared_ptr<TSoundServices>& services)
      : device(services, std::optional<std::string>("sonolab_null")) {
    device.Buffer().Format() = Stereo16At44100;
    device.Open();
    device.Start();
    running = std::async(std::launch::async, [this] {
      while (!done) {
        tone.Fill(device.Buffer());
        device.Write();
      }
    });
  }
  ~TonePlayer() {
    done = true;
    if (running.valid()) {
      running.wait();
    }
  }
  void Finish() {
    done = true;
    running.get();
    device.Stop();
  }

private:
  TDirectSoundPlaybackDevice device;
  ToneSource tone;
  std::atomic<bool> done{false};
  std::future<void> running;
};

} // namespace

TEST(PulseServer, EnumerationListsNullSinkAndItsMonitorInServerOrder) {
  REQUIRE_PULSE_SERVER();
  TPulseSoundServices services;
  const std::vector<TSoundDeviceInfo> sinks = services.EnumeratePlayback();
  const std::vector<TSoundDeviceInfo> sources = services.EnumerateCapture();
  const auto hasId = [](const std::vector<TSoundDeviceInfo>& list, const std::string& id) {
    return std::any_of(list.begin(), list.end(), [&](const TSoundDeviceInfo& d) { return d.Id == id; });
  };
  EXPECT_TRUE(hasId(sinks, "sonolab_null"));
  EXPECT_TRUE(hasId(sources, "sonolab_null.monitor"));
  for (const TSoundDeviceInfo& d : sinks) {
    EXPECT_FALSE(d.Description.empty());
  }

  const auto services2 = std::make_shared<TPulseSoundServices>();
  const std::vector<TInputDeviceItem> inputs = InputDeviceItems(services2);
  ASSERT_GE(inputs.size(),
            sources.size() + 3); // the applications, the ring sources, the ALSA default, the file
  EXPECT_EQ(inputs[0].Text, AppsItemText);
  EXPECT_EQ(inputs[1].Text, sources[0].Description + " (PulseAudio)");
  EXPECT_EQ(inputs[sources.size() + 1].Family, TInputFamily::WaveIn);
  EXPECT_EQ(inputs.back().Text, "Файл формата WAVE");
}

TEST(PulseServer, UnknownDeviceAndUnreachableServerRaiseNoDriverAtOpen) {
  REQUIRE_PULSE_SERVER();
  auto services = std::make_shared<TPulseSoundServices>();
  TDirectSoundPlaybackDevice missing(services, std::optional<std::string>("no_such_sink"));
  try {
    missing.Open();
    FAIL() << "opened a missing sink";
  } catch (const TDSPException& e) {
    EXPECT_EQ(e.ResultCode, 0x88780078u);
    EXPECT_EQ(e.Operation, "DirectSoundCreate (pa_context_get_sink_info_by_name: No such entity)");
  }
  const auto nowhere = std::make_shared<TPulseSoundServices>("unix:/nonexistent/sonolab/native");
  TDirectSoundRecordingDevice capture(nowhere, std::nullopt);
  try {
    capture.Open();
    FAIL() << "opened without a server";
  } catch (const TDSPException& e) {
    EXPECT_EQ(e.ResultCode, 0x88780078u);
    EXPECT_EQ(e.Operation.rfind("DirectSoundCaptureCreate (pa_context_connect: ", 0), 0u) << e.Operation;
    EXPECT_EQ(e.Description, "No sound driver is available for use");
  }
}

TEST(PulseServer, ToneThroughRingPlaybackComesBackFromMonitorByRingCapture) {
  REQUIRE_PULSE_SERVER();
  ReportingDeviceErrors([] {
    auto services = std::make_shared<TPulseSoundServices>();
    TDirectSoundRecordingDevice capture(services, std::optional<std::string>("sonolab_null.monitor"));
    capture.Buffer().Format() = Stereo16At44100;
    capture.Open();
    capture.Start();
    std::vector<double> x;
    {
      TonePlayer player(services);
      for (int block = 0; block < 16; ++block) { // about 1.5 s
        capture.Read();
        AppendChannel0(capture.Buffer(), x);
      }
      player.Finish();
    }
    capture.Stop();
    ExpectTone(x, x.size() - 8 * 4096); // the last 0.74 s, well after the latency
  });
}

TEST(PulseServer, ToneThroughRingPlaybackComesBackByWaveAudioCapture) {
  REQUIRE_PULSE_SERVER();
  ReportingDeviceErrors([] {
    // ALSA's default PCM reaches the server through the pulse plugin, which records the source named
    // by PULSE_SOURCE.
    setenv("PULSE_SOURCE", "sonolab_null.monitor", 1);
    auto services = std::make_shared<TPulseSoundServices>();
    TWAVEAudioRecordingDevice capture(0);
    capture.Buffer().Format() = Stereo16At44100;
    capture.Open();
    std::vector<double> x;
    {
      TonePlayer player(services);
      capture.Start();
      for (int block = 0; block < 16; ++block) {
        capture.Read();
        AppendChannel0(capture.Buffer(), x);
      }
      player.Finish();
    }
    capture.Stop();
    capture.Close();
    unsetenv("PULSE_SOURCE");
    ExpectTone(x, x.size() - 8 * 4096);
  });
}

TEST(PulseServer, WaveAudioCaptureLeftUnreadTellsTheNextBlockHowManyFramesItsFullQueueDropped) {
  REQUIRE_PULSE_SERVER();
  ReportingDeviceErrors([] {
    setenv("PULSE_SOURCE", "sonolab_null.monitor", 1);
    TWAVEAudioRecordingDevice capture(0);
    capture.Buffer().Format() = Stereo16At44100;
    capture.Open();
    capture.Start();
    capture.Read();
    EXPECT_EQ(capture.LostFramesBeforeBlock(), 0);
    std::this_thread::sleep_for(3s); // some 32 blocks come to a queue of 16
    std::vector<int64_t> lost;
    for (int block = 0; block < 20; ++block) {
      capture.Read();
      lost.push_back(capture.LostFramesBeforeBlock());
    }
    capture.Stop();
    capture.Close();
    unsetenv("PULSE_SOURCE");
    // The oldest blocks went, whole; the first block read after them says so, and no other does.
    const auto dropped = static_cast<int64_t>(capture.Dropouts());
    EXPECT_GT(dropped, 0);
    EXPECT_EQ(lost.front(), dropped * 4096);
    EXPECT_TRUE(std::all_of(lost.begin() + 1, lost.end(), [](int64_t frames) { return frames == 0; }));
  });
}

TEST(PulseServer, CaptureToPlaybackLoopIsPacedAtAboutTenBlocksPerSecond) {
  REQUIRE_PULSE_SERVER();
  ReportingDeviceErrors([] {
    TSinkAndMonitor loop(std::make_shared<TPulseSoundServices>(), "sonolab_null");
    TDirectSoundRecordingDevice& input = loop.input;
    TDirectSoundPlaybackDevice& output = loop.output;
    // The first block also waits for the server to bring the null sink down to a short latency.
    input.Read();
    output.Write();
    const auto start = std::chrono::steady_clock::now();
    int blocks = 0;
    while (std::chrono::steady_clock::now() - start < 3s) {
      input.Read();
      output.Buffer().ConvertFrom(input.Buffer());
      output.Write();
      ++blocks;
    }
    input.Stop();
    output.Stop();
    // 44100 / 4096 = 10.8 blocks a second: about 32 in 3 s. Unpaced, the loop would run thousands.
    // (How few a loaded machine lets through is the benchmark's business.)
    EXPECT_GE(blocks, 1) << "blocks in 3 s";
    EXPECT_LE(blocks, 48);
  });
}

// ---- The live path: whole playback, silence and not old sound after a stall ----------------------
//
// What the monitor hears is judged only where the streams kept time: a pump thread that a loaded
// machine held back past what the server holds makes an underrun (counted as a dropout) and a hole
// in the sound, which is the machine's doing, not the code's. bench/live_under_load.sh counts those.

namespace {

// Records channel 0 of a monitor source on a thread of its own until Finish.
class TMonitorRecorder {
public:
  TMonitorRecorder(const std::shared_ptr<TSoundServices>& services, const std::string& monitor)
      : device(services, monitor) {
    device.Buffer().Format() = Stereo16At44100;
    device.Open();
    device.Start();
    running = std::async(std::launch::async, [this] {
      while (!done) {
        device.Read(); // the monitor delivers at real-time pace, silence or not
        AppendChannel0(device.Buffer(), samples);
      }
    });
  }
  ~TMonitorRecorder() {
    done = true;
    if (running.valid()) {
      running.wait();
    }
  }
  std::vector<double> Finish() {
    done = true;
    running.get();
    device.Stop();
    return std::move(samples);
  }
  uint64_t Dropouts() const { return device.Dropouts(); }

private:
  TDirectSoundRecordingDevice device;
  std::vector<double> samples;
  std::atomic<bool> done{false};
  std::future<void> running;
};

// The ring playback device on sonolab_null, open and started, with its monitor recorded from before.
struct TMonitoredOutput {
  explicit TMonitoredOutput(const std::shared_ptr<TSoundServices>& services)
      : recorder(services, "sonolab_null.monitor"), output(services, std::string("sonolab_null")) {
    output.Buffer().Format() = Stereo16At44100;
    output.Open();
    output.Start();
  }
  TMonitorRecorder recorder;
  TDirectSoundPlaybackDevice output;
};

// Where a tone is heard: from the first to the last sample above the threshold, and the longest run
// of samples below it in between (a tone's zero crossings make runs of a few samples; a gap is longer).
struct TToneSpan {
  bool Found = false;
  size_t First = 0;
  size_t Last = 0;
  size_t LongestQuiet = 0;
  size_t Frames() const { return Last - First + 1; }
};

TToneSpan FindTone(const std::vector<double>& x, double threshold) {
  TToneSpan span;
  size_t quiet = 0;
  for (size_t n = 0; n < x.size(); ++n) {
    if (std::abs(x[n]) < threshold) {
      ++quiet;
      continue;
    }
    if (!span.Found) {
      span.Found = true;
      span.First = n;
    } else {
      span.LongestQuiet = std::max(span.LongestQuiet, quiet);
    }
    span.Last = n;
    quiet = 0;
  }
  return span;
}

// The tone's length in frames must match what was played, give or take the edges of a resampler.
void ExpectWholeTone(const std::vector<double>& x, size_t frames) {
  const TToneSpan span = FindTone(x, ToneAmplitude / 4);
  ASSERT_TRUE(span.Found) << "nothing reached the monitor";
  EXPECT_NEAR(static_cast<double>(span.Frames()), static_cast<double>(frames),
              100 + static_cast<double>(ServerGlitchFrames()))
      << "heard " << span.Frames() / 44.1 << " ms of " << frames / 44.1 << " ms";
  EXPECT_LT(span.LongestQuiet, 30 + ServerGlitchFrames()) << "a gap in the tone";
}

// The index that --play gives sonolab_null: its place in the server's list of sinks.
int NullSinkIndex() {
  const std::vector<TSoundDeviceInfo> sinks = TPulseSoundServices().EnumeratePlayback();
  for (size_t i = 0; i < sinks.size(); ++i) {
    if (sinks[i].Id == "sonolab_null") {
      return static_cast<int>(i);
    }
  }
  return -1;
}

} // namespace

TEST(PulseServer, RingPlaybackDrainedBeforeItStopsReachesTheMonitorWholeWithItsShortLastBlock) {
  REQUIRE_PULSE_SERVER();
  ReportingDeviceErrors([] {
    auto services = std::make_shared<TPulseSoundServices>();
    TMonitoredOutput sink(services);
    TMonitorRecorder& recorder = sink.recorder;
    TDirectSoundPlaybackDevice& output = sink.output;
    ToneSource tone;
    constexpr size_t ToneFrames = 66150; // 1.5 s: 16 whole blocks and one of 614 frames
    for (size_t frames = 0; frames < ToneFrames; frames += static_cast<size_t>(output.Buffer().Frames())) {
      output.Buffer().SetLength(static_cast<int32_t>(std::min<size_t>(4096, ToneFrames - frames)));
      tone.Fill(output.Buffer());
      output.Write();
    }
    const std::atomic<bool> cancel{false};
    EXPECT_TRUE(output.Drain(cancel));
    const uint64_t dropouts = output.Dropouts();
    output.Stop();
    output.Close();
    std::this_thread::sleep_for(300ms);
    const std::vector<double> heard = recorder.Finish();
    if (dropouts > 0) {
      std::printf("the server ran dry %llu times (a loaded machine): the tone is not judged\n",
                  static_cast<unsigned long long>(dropouts));
      EXPECT_TRUE(FindTone(heard, ToneAmplitude / 4).Found);
      return;
    }
    ExpectWholeTone(heard, ToneFrames);
  });
}

TEST(PulseServer, RenderedFilePlayedToTheNullSinkReachesItsMonitorWhole) {
  REQUIRE_PULSE_SERVER();
  ReportingDeviceErrors([] {
    const int sink = NullSinkIndex();
    ASSERT_GE(sink, 0);
    const TTempDir dir("sonolab-whole");
    constexpr size_t ToneFrames = 22 * 4096; // 2.04 s
    WriteWave(dir.File("in.wav"), 44100, 2, Sine16(ToneHz, 44100, 2, ToneFrames, ToneAmplitude));

    auto services = std::make_shared<TPulseSoundServices>();
    TMonitorRecorder recorder(services, "sonolab_null.monitor");
    TChildOptions options;
    options.StderrPath = dir.File("render.err");
    options.StdoutPath = dir.File("render.out");
    TChild render({SONOLAB_RENDER_PATH, dir.File("in.wav"), "--play", std::to_string(sink)}, options);
    const TChildExit end = render.Wait(30s);
    std::this_thread::sleep_for(300ms);
    const std::vector<double> heard = recorder.Finish();
    const std::string err = ReadText(options.StderrPath);
    ASSERT_FALSE(end.Hung);
    ASSERT_TRUE(end.Exited);
    EXPECT_EQ(end.Status, 0) << err;
    if (const unsigned long dropouts = SummaryDropouts(ReadText(options.StdoutPath)); dropouts > 0) {
      std::printf("the server ran dry %lu times (a loaded machine): the tone is not judged\n", dropouts);
      EXPECT_TRUE(FindTone(heard, ToneAmplitude / 4).Found);
      return;
    }
    ExpectWholeTone(heard, ToneFrames);
  });
}

TEST(PulseServer, StalledWriterIsHeardAsSilenceThenFreshSoundAndCountsOneDropout) {
  REQUIRE_PULSE_SERVER();
  ReportingDeviceErrors([] {
    auto services = std::make_shared<TPulseSoundServices>();
    TMonitoredOutput sink(services);
    TMonitorRecorder& recorder = sink.recorder;
    TDirectSoundPlaybackDevice& output = sink.output;
    // Block n holds the level 800 * (n + 1): every block says which it is, even after resampling.
    constexpr double Step = 800;
    const auto writeBlock = [&](int n) {
      auto* s = reinterpret_cast<int16_t*>(output.Buffer().Data());
      std::fill_n(s, 2 * output.Buffer().Frames(), static_cast<int16_t>(Step * (n + 1)));
      output.Write();
    };
    for (int n = 0; n < 20; ++n) { // more than a pass around the ring
      writeBlock(n);
    }
    std::this_thread::sleep_for(600ms); // the worker is late by more than the blocks written ahead
    for (int n = 20; n < 26; ++n) {
      writeBlock(n);
    }
    const std::atomic<bool> cancel{false};
    EXPECT_TRUE(output.Drain(cancel));
    output.Stop();
    std::this_thread::sleep_for(200ms);
    const std::vector<double> heard = recorder.Finish();
    // The stall is one dropout; a loaded machine may add underruns of its own.
    const uint64_t dropouts = output.Dropouts();
    EXPECT_GE(dropouts, 1u);

    // The levels heard, in order, each held for more than a few milliseconds.
    std::vector<int> levels;
    int current = -1;
    size_t run = 0;
    for (size_t i = 0; i <= heard.size(); ++i) {
      const int level = i < heard.size() ? static_cast<int>(std::lround(heard[i] / Step)) : -2;
      if (level == current) {
        ++run;
        continue;
      }
      if (run > 200 + ServerGlitchFrames() && (levels.empty() || levels.back() != current)) {
        levels.push_back(current);
      }
      current = level;
      run = 1;
    }
    std::vector<int> expected = {0};
    for (int n = 1; n <= 20; ++n) {
      expected.push_back(n);
    }
    expected.push_back(0); // the stall, as silence
    for (int n = 21; n <= 26; ++n) {
      expected.push_back(n);
    }
    expected.push_back(0);
    if (dropouts == 1) {
      EXPECT_EQ(levels, expected);
      return;
    }
    // Underruns put more silence in, but never old sound: the blocks heard only ever go up, and the
    // first heard after the stall is the first written after it.
    std::printf("%llu dropouts (a loaded machine): the silences are not judged\n",
                static_cast<unsigned long long>(dropouts));
    std::vector<int> blocks;
    std::copy_if(levels.begin(), levels.end(), std::back_inserter(blocks),
                 [](int level) { return level > 0; });
    EXPECT_TRUE(std::is_sorted(blocks.begin(), blocks.end()) &&
                std::adjacent_find(blocks.begin(), blocks.end()) == blocks.end());
    EXPECT_NE(std::find(blocks.begin(), blocks.end(), 21), blocks.end());
    EXPECT_EQ(std::find(blocks.begin(), blocks.end(), 21) - std::find(blocks.begin(), blocks.end(), 20), 1);
  });
}

// The server keeps asking a running ring for sound, and sending it what it captured, until the ring
// is gone; no callback may reach a ring that is part destroyed (the sanitizer builds check the type).
TEST(PulseServer, RingsDestroyedWhileRunningAreNeverCalledBackHalfDestroyed) {
  REQUIRE_PULSE_SERVER();
  TPulseSoundServices services;
  std::unique_ptr<TSoundPlayback> playback;
  std::unique_ptr<TSoundCapture> capture;
  ASSERT_FALSE(services.CreatePlayback(std::string("sonolab_null"), playback).Failed());
  ASSERT_FALSE(services.CreateCapture(std::string("sonolab_null.monitor"), capture).Failed());
  const uint32_t ringBytes = 4 * 4410; // 100 ms of stereo 16-bit at 44100 Hz
  for (int round = 0; round < 200; ++round) {
    std::unique_ptr<TSoundPlaybackRing> out;
    std::unique_ptr<TSoundCaptureRing> in;
    ASSERT_FALSE(playback->CreateRing(ringBytes, Stereo16At44100, 0, out).Failed());
    ASSERT_FALSE(capture->CreateRing(ringBytes, Stereo16At44100, in).Failed());
    ASSERT_FALSE(out->Commit(0, ringBytes).Failed());
    ASSERT_FALSE(out->Play(SoundPlayLooping).Failed());
    ASSERT_FALSE(in->Start(0).Failed());
    std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
  }
  EXPECT_FALSE(services.CheckServer().Failed());
}

TEST(PulseServer, KillingServerWakesBlockedReadAndWriteWithNoDriverError) {
  REQUIRE_PULSE_SERVER(); // the pulseaudio program is there
  ReportingDeviceErrors([] {
    TPrivatePulseServer server("doomed_null");
    ASSERT_TRUE(server.Running());
    auto services = std::make_shared<TPulseSoundServices>(server.Address());
    {
      TSinkAndMonitor loop(services, "doomed_null");
      TDirectSoundPlaybackDevice& output = loop.output;
      TDirectSoundRecordingDevice& input = loop.input;
      std::atomic<int> written{0}, read{0};
      auto writer = std::async(std::launch::async, [&] {
        for (;;) {
          output.Write();
          ++written;
        }
      });
      auto reader = std::async(std::launch::async, [&] {
        for (;;) {
          input.Read();
          ++read;
        }
      });
      while (written < 2 || read < 2) { // both are streaming
        std::this_thread::sleep_for(10ms);
      }
      server.Kill();
      ASSERT_EQ(writer.wait_for(2s), std::future_status::ready);
      ASSERT_EQ(reader.wait_for(2s), std::future_status::ready);
      try {
        writer.get();
      } catch (const TDSPException& e) {
        EXPECT_EQ(e.ResultCode, 0x88780078u);
        EXPECT_EQ(e.Operation.rfind("IDirectSoundBuffer::Play (pa_stream: ", 0), 0u) << e.Operation;
      }
      try {
        reader.get();
      } catch (const TDSPException& e) {
        EXPECT_EQ(e.ResultCode, 0x88780078u);
        EXPECT_EQ(e.Operation.rfind("IDirectSoundCaptureBuffer::Start (pa_stream: ", 0), 0u) << e.Operation;
      }
      // Calls on the dead ring fail instead of hanging, and destruction releases everything.
      EXPECT_THROW(output.Stop(), TDSPException);
      EXPECT_THROW(input.Stop(), TDSPException);
    }
  });
}

// ---- Wave-audio playback queue ---------------------------------------------------------------------

namespace {

struct CompletionLog {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<TWAVEAudioPlaybackDevice::TCompletion> released;

  void Add(const TWAVEAudioPlaybackDevice::TCompletion& c) {
    {
      const std::lock_guard lock(mutex);
      released.push_back(c);
    }
    changed.notify_all();
  }
  // Waits (with a generous guard against a hang) until n records are released.
  bool WaitFor(size_t n) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 20s, [&] { return released.size() >= n; });
  }
  std::vector<TWAVEAudioPlaybackDevice::TCompletion> Snapshot() {
    const std::lock_guard lock(mutex);
    return released;
  }
};

} // namespace

TEST(PulseServer, WaveAudioQueuePlaysBlocksInOrderAndReleasesEveryRecordIncludingDroppedOnes) {
  REQUIRE_PULSE_SERVER();
  ReportingDeviceErrors([] {
    CompletionLog log;
    TWAVEAudioPlaybackDevice device(0); // ALSA default -> the server's default sink
    device.SetCompletionHook([&](const TWAVEAudioPlaybackDevice::TCompletion& c) { log.Add(c); });
    device.Open(); // 8000 Hz mono 8 bits: 512-byte blocks of 64 ms
    ASSERT_EQ(device.Buffer().Bytes(), 512);
    for (int i = 0; i < 6; ++i) {
      device.Write();
    }
    ASSERT_TRUE(log.WaitFor(6));

    // Blocks written while paused wait and play after the next Start.
    device.Stop();
    for (int i = 0; i < 3; ++i) {
      device.Write();
    }
    device.Start();
    ASSERT_TRUE(log.WaitFor(9));

    // Blocks still queued at Close are dropped and released unplayed.
    device.Stop();
    for (int i = 0; i < 5; ++i) {
      device.Write();
    }
    device.Close();

    const auto released = log.Snapshot();
    ASSERT_EQ(released.size(), 14u);
    for (size_t i = 0; i < released.size(); ++i) {
      EXPECT_EQ(released[i].Sequence, i);
      EXPECT_EQ(released[i].Played, i < 9) << "record " << i;
    }
  });
}

TEST(WaveAudioDevices, DeviceThatCannotBeOpenedRaisesAtOpen) {
  TWAVEAudioPlaybackDevice output(100000);
  try {
    output.Open();
    FAIL() << "opened device 100000";
  } catch (const TDSPException& e) {
    EXPECT_EQ(e.ResultCode, 0x88780078u);
    EXPECT_EQ(e.Operation, "waveOutOpen (snd_pcm_open: No such device)");
    EXPECT_EQ(e.Description, "No sound driver is available for use");
  }
  TWAVEAudioRecordingDevice input(100000);
  try {
    input.Open();
    FAIL() << "opened device 100000";
  } catch (const TDSPException& e) {
    EXPECT_EQ(e.Operation, "waveInOpen (snd_pcm_open: No such device)");
  }
  // A Read on a device that never opened fails instead of waiting for ever.
  EXPECT_THROW(input.Read(), TDSPException);
}

TEST(WaveAudioDevices, DeviceListStartsWithAlsaDefault) {
  const std::vector<std::string> out = WaveOutDeviceNames();
  const std::vector<std::string> in = WaveInDeviceNames();
  ASSERT_FALSE(out.empty());
  ASSERT_FALSE(in.empty());
  EXPECT_FALSE(out[0].empty());
  EXPECT_EQ(AlsaDevices(TAlsaDirection::Playback)[0].Pcm, "default");
  EXPECT_EQ(AlsaDevices(TAlsaDirection::Capture)[0].Pcm, "default");
}

TEST(PulseServer, AWaveAudioDrainWaitsAsLongAsTheServerPlaysAndGivesUpOnlyWhenItStops) {
  REQUIRE_PULSE_SERVER(); // the pulseaudio program is there
  TPrivatePulseServer server("stalled_null");
  ASSERT_TRUE(server.Running());
  // The ALSA default PCM reaches the server that PULSE_SERVER names when it opens.
  const char* previous = std::getenv("PULSE_SERVER");
  const std::string restore = previous != nullptr ? previous : "";
  ::setenv("PULSE_SERVER", server.Address().c_str(), 1);
  ReportingDeviceErrors([&] {
    TWAVEAudioPlaybackDevice device(0);
    device.Buffer().Format() = Stereo16At44100;
    device.Open();
    ToneSource tone;
    const auto play = [&](int blocks) {
      for (int i = 0; i < blocks; ++i) {
        tone.Fill(device.Buffer());
        device.Write();
      }
    };
    const std::atomic<bool> cancel{false};
    // Longer than any fixed allowance for a slow start: 15 blocks, 1.4 s, played out whole.
    play(15);
    EXPECT_TRUE(device.Drain(cancel));

    // A server that stops answering: the drain gives up instead of waiting for ever.
    play(10);
    server.Stop();
    auto drained = std::async(std::launch::async, [&] { return device.Drain(cancel); });
    const bool ended = drained.wait_for(30s) == std::future_status::ready;
    server.Continue();
    ASSERT_TRUE(ended) << "the drain waited for ever";
    EXPECT_FALSE(drained.get());
    device.Close();
  });
  if (previous != nullptr) {
    ::setenv("PULSE_SERVER", restore.c_str(), 1);
  } else {
    ::unsetenv("PULSE_SERVER");
  }
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ProcessingThread.h"
#include "devices/WaveFile.h"
#include "filters/FilterCatalogue.h"
#include "support/TestFiles.h"
#include "support/Watchdog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// The window side, recording what the worker posts and shows.
class TRecordingWindow final : public TProcessingNotify {
public:
  void PostDSPNotify(uintptr_t wParam) override {
    std::lock_guard guard(mutex);
    posts.push_back(wParam);
    changed.notify_all();
  }
  void ShowDSPException(const TDSPException& e) override {
    EXPECT_NE(std::this_thread::get_id(), uiThread); // the worker hands it over
    std::lock_guard guard(mutex);
    shown.push_back(e);
  }
  size_t CountOf(uintptr_t wParam) {
    std::lock_guard guard(mutex);
    return static_cast<size_t>(std::count(posts.begin(), posts.end(), wParam));
  }
  bool WaitFor(uintptr_t wParam, size_t n) {
    std::unique_lock guard(mutex);
    return changed.wait_for(
        guard, 10s, [&] { return static_cast<size_t>(std::count(posts.begin(), posts.end(), wParam)) >= n; });
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<uintptr_t> posts;
  std::vector<TDSPException> shown;
  std::thread::id uiThread = std::this_thread::get_id();
};

// An input with a clock the test controls: Read returns one block per Grant.
class TSteppedInput final : public TRecordingDevice {
public:
  TSteppedInput() : TRecordingDevice(dkWaveAudioRecording) { buffer.Format() = MakePCMFormat(8000, 1, 16); }
  ~TSteppedInput() override { Close(); }
  void Close() override {}
  void Start() override {
    if (++startCalls == failAtStartCall) {
      RaiseResultError(0x88780078, 1, "IDirectSoundCaptureBuffer::Start");
    }
    ++starts;
  }
  void Stop() override { ++stops; }
  void Read() override {
    std::unique_lock guard(mutex);
    ++waiting;
    granted.wait(guard, [this] { return grants > 0; });
    --grants;
    ++reads;
    lost = reads == lostBeforeRead ? lostFrames : 0;
    auto* s = reinterpret_cast<int16_t*>(buffer.Data());
    for (int32_t i = 0; i < buffer.Frames(); ++i) {
      s[i] = static_cast<int16_t>(reads);
    }
  }
  // Waits until the worker has entered its n-th Read.
  void WaitForRead(int n) {
    for (int i = 0; i < 10000; ++i) {
      {
        std::lock_guard guard(mutex);
        if (waiting >= n) {
          return;
        }
      }
      std::this_thread::sleep_for(1ms);
    }
    ADD_FAILURE() << "the worker never reached Read " << n;
  }
  int64_t LostFramesBeforeBlock() const override { return lost; }
  void Grant(int n) {
    {
      std::lock_guard guard(mutex);
      grants += n;
    }
    granted.notify_all();
  }

  std::atomic<int> starts{0}, stops{0};
  int reads = 0;
  std::atomic<int> startCalls{0};
  int failAtStartCall = 0; // the call of Start that fails, counting from 1; 0 for none
  int lostBeforeRead = 0;  // the Read (from 1) whose block follows lostFrames lost frames
  int64_t lostFrames = 0;

private:
  std::mutex mutex;
  std::condition_variable granted;
  int grants = 0;
  int waiting = 0;
  int64_t lost = 0;
};

class TCollectingOutput final : public TPlaybackDevice {
public:
  explicit TCollectingOutput(TDeviceKind kind = dkWaveAudioPlayback) : TPlaybackDevice(kind) {
    buffer.Format() = MakePCMFormat(8000, 1, 16);
  }
  ~TCollectingOutput() override { Close(); }
  void Close() override {}
  void Start() override { ++starts; }
  void Stop() override { ++stops; }
  void Write() override {
    const auto* s = reinterpret_cast<const int16_t*>(buffer.Data());
    silentBlocks += std::all_of(s, s + buffer.Frames(), [](int16_t v) { return v == 0; }) ? 1 : 0;
    firstSamples.push_back(s[0]);
    lengths.push_back(buffer.Frames());
    frames += buffer.Frames();
    bytes.insert(bytes.end(), buffer.Data(), buffer.Data() + buffer.Bytes());
    if (afterWrite) {
      afterWrite(*this); // on the worker
    }
  }
  std::atomic<int> starts{0}, stops{0};
  std::vector<int16_t> firstSamples;
  std::vector<int32_t> lengths;
  int64_t frames = 0;
  std::vector<uint8_t> bytes;
  std::function<void(TCollectingOutput&)> afterWrite;
  int silentBlocks = 0;
};

} // namespace

TEST(ProcessingThread, AWaveFileRunsToItsLastFrameAndTheNoticeFollowsTheShortLastBlock) {
  const sonotest::TTempDir dir("sonolab-thread");
  std::vector<uint8_t> samples(10000);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<uint8_t>(128 + (i % 64));
  }
  sonotest::WriteWave(dir.File("in.wav"), 8000, 1, 8, samples);
  for (const bool withOutputs : {false, true}) {
    TWAVEFileRecordingDevice input;
    input.SetFileName(dir.File("in.wav"));
    input.Open();
    TPlaybackDevsList outputs;
    TCollectingOutput* same = nullptr;
    TCollectingOutput* converted = nullptr;
    if (withOutputs) {
      auto a = std::make_unique<TCollectingOutput>(); // 8000 Hz 16 bits: the input's rate
      auto b = std::make_unique<TCollectingOutput>();
      b->Buffer().Format() = MakePCMFormat(48000, 1, 16);
      same = a.get();
      converted = b.get();
      outputs.Add(std::move(a));
      outputs.Add(std::move(b));
      outputs.OpenAll();
    }
    TFilterList chain(8000);
    chain.Add(CreateFilter(9, 8000));
    TRecordingWindow window;
    {
      TProcessingThread worker(chain, outputs, input, window);
      worker.ResumeProcessing();
      ASSERT_TRUE(window.WaitFor(1, 1));
      worker.WaitFor();
      EXPECT_TRUE(worker.Finished());
      EXPECT_EQ(worker.LastInput(), &input.Buffer());
      EXPECT_EQ(worker.Work().Frames(), 272); // the last block: 10000 = 19 * 512 + 272
      EXPECT_EQ(worker.FramesProcessed(), 10000);
      EXPECT_TRUE(worker.DrainedWhole());
    }
    EXPECT_EQ(window.CountOf(0), 20u);
    ASSERT_EQ(window.shown.size(), 1u);
    EXPECT_NE(window.shown[0].Informational, 0);
    EXPECT_EQ(window.shown[0].Description, "Достигнут конец файла");
    EXPECT_EQ(window.posts.back(), 1u);
    if (withOutputs) {
      EXPECT_EQ(same->frames, 10000);
      EXPECT_EQ(same->lengths.back(), 272);
      // Flushed before the notice: six times as many frames at 48000 Hz, exactly.
      EXPECT_EQ(converted->frames, 60000);
      EXPECT_EQ(converted->lengths.back(), 60000 % 4096);
    }
  }
}

TEST(ProcessingThread, AFrameLimitEndsTheRunNormallyAfterExactlyThatManyFrames) {
  TSteppedInput input;
  input.Open(); // 8000 Hz: 512-frame blocks
  TPlaybackDevsList outputs;
  auto output = std::make_unique<TCollectingOutput>();
  TCollectingOutput* out = output.get();
  outputs.Add(std::move(output));
  outputs.OpenAll();
  TFilterList chain(8000);
  TRecordingWindow window;
  TProcessingThread worker(chain, outputs, input, window);
  worker.LimitFrames(2 * 512 + 100);
  worker.ResumeProcessing();
  input.Grant(3);
  worker.WaitFor();
  EXPECT_TRUE(worker.Finished());
  EXPECT_FALSE(worker.Failed());
  EXPECT_EQ(out->lengths, (std::vector<int32_t>{512, 512, 100}));
  EXPECT_EQ(worker.FramesProcessed(), 1124);
  EXPECT_EQ(window.CountOf(0), 3u);
  EXPECT_EQ(window.CountOf(1), 0u); // a normal end: nothing shown, nothing to close
  EXPECT_GE(input.stops.load(), 1);
}

TEST(ProcessingThread, LostInputReachesEveryFileOutputAsSilenceOfItsLengthAndCountsTowardTheLimit) {
  TSteppedInput input;
  input.Open(); // 8000 Hz: 512-frame blocks
  input.lostBeforeRead = 2;
  input.lostFrames = 700;
  TPlaybackDevsList outputs;
  auto played = std::make_unique<TCollectingOutput>(dkWaveAudioPlayback);
  auto file = std::make_unique<TCollectingOutput>(dkWaveFilePlayback);
  TCollectingOutput* device = played.get();
  TCollectingOutput* recording = file.get();
  outputs.Add(std::move(played));
  outputs.Add(std::move(file));
  outputs.OpenAll();
  TFilterList chain(8000);
  TRecordingWindow window;
  TProcessingThread worker(chain, outputs, input, window);
  worker.LimitFrames(512 + 700 + 512 + 100);
  worker.ResumeProcessing();
  input.Grant(3);
  worker.WaitFor();
  EXPECT_FALSE(worker.Failed());
  // The file keeps time: the gap in pieces of at most a block, all silent, then the sound goes on.
  EXPECT_EQ(recording->lengths, (std::vector<int32_t>{512, 512, 188, 512, 100}));
  EXPECT_EQ(recording->firstSamples, (std::vector<int16_t>{1, 0, 0, 2, 3}));
  EXPECT_EQ(recording->silentBlocks, 2);
  // A device with a clock of its own plays silence there by itself.
  EXPECT_EQ(device->lengths, (std::vector<int32_t>{512, 512, 100}));
  EXPECT_EQ(worker.LostFrames(), 700);
  EXPECT_EQ(worker.FramesProcessed(), 1824);
  EXPECT_EQ(window.CountOf(0), 3u);
}

TEST(ProcessingThread, PauseHoldsTheWorkerAfterThePassUnderWayAndPlayContinues) {
  TSteppedInput input;
  input.Open();
  TPlaybackDevsList outputs;
  auto output = std::make_unique<TCollectingOutput>();
  TCollectingOutput* out = output.get();
  outputs.Add(std::move(output));
  outputs.OpenAll();
  TFilterList chain(8000);
  TRecordingWindow window;
  TProcessingThread worker(chain, outputs, input, window);

  worker.ResumeProcessing();
  input.Grant(2);
  ASSERT_TRUE(window.WaitFor(0, 2));
  EXPECT_GE(input.starts.load(), 2); // once by Play, once at the top of the worker

  input.WaitForRead(3);
  worker.PauseProcessing();
  EXPECT_EQ(input.stops.load(), 1);
  EXPECT_EQ(out->stops.load(), 1);
  input.Grant(3); // the pass under way completes; then the worker holds
  ASSERT_TRUE(window.WaitFor(0, 3));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(window.CountOf(0), 3u);

  worker.ResumeProcessing();
  ASSERT_TRUE(window.WaitFor(0, 5));
  // Terminating lets the Read under way complete its pass; the worker then ends.
  worker.Terminate();
  input.Grant(1);
  worker.WaitFor();
  // Blocks reach the output in order, none twice.
  for (size_t i = 0; i < out->firstSamples.size(); ++i) {
    EXPECT_EQ(out->firstSamples[i], static_cast<int16_t>(i + 1));
  }
  EXPECT_EQ(window.CountOf(1), 0u);
}

TEST(ProcessingThread, ClosingWhilePausedOrBeforeTheFirstPlayEndsTheWorker) {
  TSteppedInput input;
  input.Open();
  TPlaybackDevsList outputs;
  TFilterList chain(8000);
  TRecordingWindow window;
  { TProcessingThread never(chain, outputs, input, window); }
  EXPECT_EQ(input.starts.load(), 0);
  EXPECT_TRUE(window.posts.empty());

  {
    TProcessingThread worker(chain, outputs, input, window);
    worker.ResumeProcessing();
    input.Grant(1);
    ASSERT_TRUE(window.WaitFor(0, 1));
    input.WaitForRead(2);
    worker.PauseProcessing();
    input.Grant(1); // lets the Read under way return, so the worker reaches the gate
    ASSERT_TRUE(window.WaitFor(0, 2));
    // Teardown: resume, terminate, wait.
    worker.Terminate();
    worker.ResumeProcessing();
    worker.WaitFor();
    EXPECT_TRUE(worker.Finished());
  }
  EXPECT_EQ(window.CountOf(1), 0u);
}

TEST(ProcessingThread, AnErrorWhileStartingTheDevicesIsShownThenTheWindowIsToldToClose) {
  TSteppedInput input;
  input.Open();
  TPlaybackDevsList outputs;
  TFilterList chain(8000);
  TRecordingWindow window;
  input.failAtStartCall = 1;
  TProcessingThread worker(chain, outputs, input, window);
  EXPECT_THROW(worker.ResumeProcessing(), TDSPException); // Play itself reports it on the window thread
  input.failAtStartCall = 3; // Play's Start succeeds; the worker's own Start at the top of its loop fails
  worker.ResumeProcessing();
  input.Grant(1);
  worker.WaitFor();
  ASSERT_EQ(window.shown.size(), 1u);
  EXPECT_EQ(window.shown[0].ResultCode, 0x88780078u);
  EXPECT_EQ(window.shown[0].Operation, "IDirectSoundCaptureBuffer::Start");
  EXPECT_EQ(window.posts, (std::vector<uintptr_t>{1}));
  EXPECT_TRUE(worker.Failed());
}

// With repeat on, a file starts over at its end with no gap and no frame twice: the block in which it
// ends is completed from its start. Switched off (here from the worker, at a known place), the run ends
// at the end of that repetition.
TEST(ProcessingThread, RepeatStartsAFileOverWithoutAGapAndSwitchedOffEndsAtTheFilesEnd) {
  const sonotest::TTempDir dir("sonolab-repeat");
  for (const size_t fileFrames : {size_t{10000}, size_t{10240}}) { // a short last block, and none
    std::vector<int16_t> samples(fileFrames);
    for (size_t i = 0; i < fileFrames; ++i) {
      samples[i] = static_cast<int16_t>(i * 7);
    }
    sonotest::WriteWave(dir.File("in.wav"), 8000, 1, samples);
    TWAVEFileRecordingDevice input;
    input.SetFileName(dir.File("in.wav"));
    input.Open();
    TPlaybackDevsList outputs;
    auto output = std::make_unique<TCollectingOutput>();
    TCollectingOutput* out = output.get();
    outputs.Add(std::move(output));
    outputs.OpenAll();
    TFilterList chain(8000);
    TRecordingWindow window;
    TProcessingThread worker(chain, outputs, input, window);
    out->afterWrite = [&](TCollectingOutput& o) {
      if (o.frames >= static_cast<int64_t>(fileFrames * 5 / 2)) {
        worker.SetRepeat(false);
      }
    };
    worker.SetRepeat(true);
    worker.ResumeProcessing();
    worker.WaitFor();
    ASSERT_EQ(out->frames, static_cast<int64_t>(3 * fileFrames));
    const auto* heard = reinterpret_cast<const int16_t*>(out->bytes.data());
    for (size_t i = 0; i < 3 * fileFrames; ++i) {
      ASSERT_EQ(heard[i], samples[i % fileFrames]) << fileFrames << " frame " << i;
    }
    EXPECT_TRUE(
        std::all_of(out->lengths.begin(), out->lengths.end() - 1, [](int32_t n) { return n == 512; }));
    ASSERT_EQ(window.shown.size(), 1u);
    EXPECT_EQ(window.shown[0].Description, "Достигнут конец файла");
  }
}

// The windows' way with a file: its end stops the run (the notice with notification 2, the worker
// waiting) and Play runs it again from its first frame. A file without outputs goes at the clock's
// pace; a pause and a close wake the worker that waits for its next block's time.
TEST(ProcessingThread, HeldAtItsEndAFilePlaysAgainFromItsStartAndAPacedRunEndsAtOnce) {
  sonotest::TWatchdog watchdog(60s, "a held or paced worker");
  const sonotest::TTempDir dir("sonolab-hold");
  std::vector<int16_t> samples(10000);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<int16_t>(i * 7);
  }
  sonotest::WriteWave(dir.File("in.wav"), 8000, 1, samples);
  {
    TWAVEFileRecordingDevice input;
    input.SetFileName(dir.File("in.wav"));
    input.Open();
    TPlaybackDevsList outputs;
    auto output = std::make_unique<TCollectingOutput>();
    TCollectingOutput* out = output.get();
    outputs.Add(std::move(output));
    outputs.OpenAll();
    TFilterList chain(8000);
    TRecordingWindow window;
    TProcessingThread worker(chain, outputs, input, window);
    worker.HoldAtEnd(true);
    for (size_t run = 1; run <= 2; ++run) {
      worker.ResumeProcessing();
      ASSERT_TRUE(window.WaitFor(2, run));
      EXPECT_FALSE(worker.Finished());
      ASSERT_EQ(window.shown.size(), run);
      EXPECT_EQ(window.shown.back().Description, "Достигнут конец файла");
    }
    EXPECT_EQ(window.CountOf(1), 0u);
    ASSERT_EQ(out->frames, 20000);
    const auto* heard = reinterpret_cast<const int16_t*>(out->bytes.data());
    for (size_t i = 0; i < 20000; ++i) {
      ASSERT_EQ(heard[i], samples[i % 10000]) << i;
    }
  }
  // A minute of sound without outputs: a few blocks, a pause, a few more, a close.
  sonotest::WriteWave(dir.File("long.wav"), 8000, 1, std::vector<int16_t>(60 * 8000));
  TWAVEFileRecordingDevice input;
  input.SetFileName(dir.File("long.wav"));
  input.Open();
  TPlaybackDevsList outputs;
  TFilterList chain(8000);
  TRecordingWindow window;
  TProcessingThread worker(chain, outputs, input, window);
  worker.PaceWithoutOutputs(true);
  worker.ResumeProcessing();
  ASSERT_TRUE(window.WaitFor(0, 2));
  worker.PauseProcessing();
  worker.ResumeProcessing();
  ASSERT_TRUE(window.WaitFor(0, 4));
  worker.Abort();
  worker.WaitFor();
  EXPECT_LT(worker.FramesProcessed(), 60 * 8000);
  EXPECT_EQ(window.CountOf(2), 0u);
}

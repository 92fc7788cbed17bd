// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TProcessingThread: the worker of one processing set-up. Each pass reads a block from the input,
// copies it into the working buffer, runs the chain over it, converts it into every output, posts
// tells the window (BlockProcessed) and writes the outputs. Elapsed is the steady-clock time in
// nanoseconds of the copy, the chain and the conversion. Every pass goes into what the displays show
// (the newest frames of input and output, the peaks and the longest pass since their last update);
// about once per default block's worth of input (every block when blocks are that long) it is
// published and notification 0 posted, so that however small the blocks the window is not flooded,
// and the displays take the newest update without a lock. The normal end publishes what is left.
//
// An error or notice ends the worker: it is handed to the window, notification 1 follows, and the
// thread ends without waiting for anyone; the window shows the box and closes itself. With HoldAtEnd,
// the end of an input that can rewind ends only the run: the outputs play out, the devices stop, the
// input goes back to its first frame and the worker waits at its gate; the notice is handed over and
// notification 2 follows. The next ResumeProcessing plays the input again from its start.
//
// A short block from the input (the end of a file) runs through the chain and the outputs like any
// other; the end comes at the Read after it. An empty block (a stopped input) is no pass: the worker
// goes back to its gate. With Repeat on, an input that can rewind starts over at its end: the block
// in which the file ends is completed from its start, and every later block spans the seam in the
// same way, so the outputs hear no gap. The normal end (Terminate, the frame limit, the end of an
// input file) flushes the rate converters of the outputs and lets every output play out what it was
// given before the devices stop; Abort and errors stop at once. Either way the devices are stopped
// before an error or notice is shown, so that no ring goes on looping old sound meanwhile.
//
// A block that follows lost input (a capture overrun, a dropped block) is preceded by silence of the
// length lost in every output without a clock of its own, so that a recording keeps time; the frame
// limit counts those frames as input.
//
// The worker is the real-time path: construction prepares what the passes use for the set-up's block
// and formats (the chain's planes and second-channel thread, the outputs' rate converters, the writer
// thread of the file outputs), so that a pass allocates nothing, starts nothing and touches no file.
// The displays hear of an update through PostDSPNotify, which must not wait or allocate either.
//
// Threads: Execute runs on the worker, "sonolab-worker"; construction, ResumeProcessing,
// PauseProcessing, Terminate, Abort, SetRepeat and TakeNewestBlock run on the user-interface thread.
// The worker holds the chain's lock only inside ProcessBlock, and there each filter's state lock while
// the filter runs; no other thread holds either for more than an exchange of pointers (both inherit
// priority), and parameter edits take neither: a filter's channels take its new design without a lock.
// Pausing holds the worker at the gate before a pass, never under a chain or filter lock, and the devices it
// stops wake a Read or Write that waits for them.

#include "devices/PlaybackDevsList.h"
#include "devices/VirtDevs.h"
#include "devices/platform/RealtimeScheduling.h"
#include "dsp/FilterList.h"
#include "engine/BlockPublisher.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

// The window side of a worker: the GUI posts QEvents to its window; sonolab-render answers directly.
// Both are called on the worker and never wait for the user-interface thread.
class TProcessingNotify {
public:
  virtual ~TProcessingNotify() = default;
  // WM_DSP_NOTIFY (WM_APP + 100): posted, never waited for. wParam 0: an update of the displays is
  // published (paced: about 10 to 20 a second, every block at the default block size); it must neither
  // allocate nor take a lock, as the pass that makes it runs in real time. wParam 1: the worker has ended
  // after the error or notice handed to ShowDSPException; wParam 2: the input has ended (the notice
  // handed over), and the worker waits, stopped, at the input's start.
  virtual void PostDSPNotify(uintptr_t wParam) = 0;
  // After every pass, with its time in nanoseconds and its frames; for a front end that counts them.
  virtual void BlockProcessed(uint64_t /*elapsedNs*/, int32_t /*frames*/) {}
  // Hands over the error or notice that ends the worker, once, as its last act before notification 1
  // (or the end-of-input notice before notification 2); the devices are stopped by then. The GUI shows it in
  // a box on the user-interface thread and closes the window after it; the command line prints it.
  virtual void ShowDSPException(const TDSPException& e) = 0;
};

inline constexpr uint32_t WM_DSP_NOTIFY = 0x8000 + 100; // 32868

class TProcessingThread {
public:
  // Created suspended: the thread starts at the first ResumeProcessing.
  TProcessingThread(TFilterList& chain, TPlaybackDevsList& outputs, TRecordingDevice& input,
                    TProcessingNotify& window);
  // Terminates (the normal end) and joins; a worker held at the gate is let go to end.
  ~TProcessingThread();
  TProcessingThread(const TProcessingThread&) = delete;
  TProcessingThread& operator=(const TProcessingThread&) = delete;

  // Input Start, outputs StartAll, then let the worker run (start it the first time).
  void ResumeProcessing();
  // Hold the worker at the gate before its next pass, then input Stop and outputs StopAll: a Read or
  // Write waiting for a device returns, and the worker reaches the gate.
  void PauseProcessing();
  // The normal end: the pass under way, including its Read, completes; then every output drains and
  // the devices stop.
  void Terminate();
  // The end at once: a drain under way ends, and a worker that runs has its devices stopped, so that
  // a Read or Write waiting for one returns. Device errors on the way are left to the worker.
  void Abort();
  // Whether an input that can rewind starts over at its end instead of ending. Any time.
  void SetRepeat(bool on) { repeat.store(on); }
  bool Repeat() const { return repeat.load(); }
  // Whether the end of an input that can rewind stops the run (notification 2) instead of ending the
  // worker. Any time; the command line leaves it off, the windows turn it on.
  void HoldAtEnd(bool on) { holdAtEnd.store(on); }
  // Whether a set-up of a file input and no output at all (displays only) runs at the pace of the
  // wall clock, so that its displays can be watched, instead of as fast as it can. Each block is due at
  // the run's start plus the duration of the input before it, so the pace does not drift; a pause or
  // a stop at the end starts the count afresh. Before the first ResumeProcessing; the windows turn it
  // on, the command line leaves it off.
  void PaceWithoutOutputs(bool on) { paceWithoutOutputs = on; }
  // The normal end after exactly `frames` input frames, the last block cut short to fit; 0 (the
  // default) for none. Before the first ResumeProcessing.
  void LimitFrames(int64_t frames) { frameLimit = frames < 0 ? 0 : frames; }
  // Input frames processed so far. Any thread.
  int64_t FramesProcessed() const { return framesProcessed.load(std::memory_order_relaxed); }
  // Waits until the worker has ended (returns at once if it never started).
  void WaitFor();
  bool Terminated() const { return terminated.load(); }
  bool Finished() const { return finished.load(); }

  // Read by the window after notification 0, while the worker may be in its next pass.
  const TAudioBuffer* LastInput() const { return lastInput.load(); }
  // The newest block for the displays, whole and stable until the next call; nullptr when no block
  // came since the last call. One reader thread (the user interface).
  const TPublishedBlock* TakeNewestBlock() { return published.TakeNewest(); }
  // Frames of input and output an update shows at most: the block, or the default block's length
  // when blocks are shorter. Any thread.
  int32_t DisplayFrames() const { return published.HistoryFrames(); }
  const TAudioBuffer& Work() const { return work; }
  uint64_t Elapsed() const { return elapsed.load(); }
  const TDSPException& LastError() const { return lastError; }
  bool Failed() const { return failed.load(); }
  // After the end: whether every output played out everything it was given.
  bool DrainedWhole() const { return drainedWhole.load(); }
  // Dropouts of the input and the outputs, and samples the chain saturated. Any thread.
  uint64_t Dropouts() const { return input.Dropouts() + outputs.Dropouts(); }
  uint64_t ClippedSamples() const { return chain.ClippedSamples(); }
  // Input frames lost before they reached the worker, written to the file outputs as silence. Any thread.
  int64_t LostFrames() const { return lostFrames.load(std::memory_order_relaxed); }
  // The input's clock against the wall clock: input frames (lost ones included) from the block that
  // completed the first second of input to the latest block, and the steady-clock time between their
  // arrivals. Any thread; the two agree once the worker has ended.
  int64_t InputSpanFrames() const { return inputSpanFrames.load(std::memory_order_relaxed); }
  std::chrono::nanoseconds InputSpanTime() const {
    return std::chrono::nanoseconds(inputSpanNs.load(std::memory_order_relaxed));
  }
  // How much more the sound server holds for an output than at first, grown after its underruns.
  uint32_t ServerBufferGrowthMs() const { return outputs.ServerBufferGrowthMs(); }
  // How the worker's thread is scheduled, once it has started (none before). A set-up with a sound
  // device asks for real time, for the worker and the chain's helper; one of files only does not.
  // Any thread.
  std::optional<TRealtimeOutcome> Realtime() const;
  // Whether a sound device is among the input and the outputs (only then is real time asked for).
  bool Live() const { return live; }

private:
  void Execute();
  // Waits while the gate is closed; true when it was.
  bool WaitAtGate();
  // With the pace of the clock: waits until the next block is due; false when a pause or the end
  // came meanwhile.
  bool WaitUntilDue();
  // input Read; with Repeat on, the end of a file that can rewind starts it over.
  void ReadInput();
  // The next block to process: the input's own, or one spliced across the end of a repeated file.
  const TAudioBuffer& NextBlock();
  // The normal end: drain the outputs (unless aborted), then stop the devices.
  void Finish();
  // Stops the devices after an error, ignoring what they raise on the way.
  void StopQuietly();
  void Fail(const TDSPException& e);
  // Silence of `frames` input frames to the outputs without a clock.
  void WriteGap(int64_t frames);
  // Publishes the passes not yet shown and posts notification 0.
  void PublishForDisplays();
  // The end of the input with HoldAtEnd: play out, stop, close the gate, rewind, tell the window.
  void StopAtEnd(const TDSPException& notice);

  TFilterList& chain;
  TPlaybackDevsList& outputs;
  TRecordingDevice& input;
  TProcessingNotify& window;

  TDSPException lastError;
  std::atomic<const TAudioBuffer*> lastInput{nullptr};
  TAudioBuffer work;
  std::atomic<uint64_t> elapsed{0};
  int64_t frameLimit = 0; // set before the worker starts
  std::atomic<int64_t> framesProcessed{0};
  std::atomic<int64_t> lostFrames{0};
  std::atomic<int64_t> inputSpanFrames{0};
  std::atomic<int64_t> inputSpanNs{0};
  TBlockPublisher published;
  std::atomic<bool> repeat{false};
  std::atomic<bool> holdAtEnd{false};
  bool paceWithoutOutputs = false; // set before the worker starts
  // Worker only: the wall-clock start of a paced run and the input frames processed by then.
  std::optional<std::chrono::steady_clock::time_point> paceStart;
  int64_t paceFrames = 0;
  // Worker only: once a repeated file ends inside a block, blocks are gathered here across the seam
  // from the frames of the input's block not yet used.
  TAudioBuffer joined;
  bool splicing = false;
  int32_t carriedFrom = 0;
  int32_t carried = 0;
  const bool live;           // a sound device among the input and the outputs
  TRealtimeOutcome realtime; // written once by the worker before realtimeKnown
  std::atomic<bool> realtimeKnown{false};

  std::mutex gateMutex;
  std::condition_variable gateChanged;
  bool running = false; // the gate is open
  std::atomic<bool> terminated{false};
  std::atomic<bool> aborted{false};
  std::atomic<bool> drainedWhole{false};
  std::atomic<bool> finished{false};
  std::atomic<bool> failed{false};
  std::thread thread;
};

#pragma once
// TProcessingThread: the worker of one processing set-up. Each pass reads a block from the input,
// copies it into the working buffer, runs the chain over it, converts it into every output, posts
// notification 0 to the window and writes the outputs. Elapsed is the steady-clock time in
// nanoseconds of the copy, the chain and the conversion.
//
// A short block from the input (the end of a file) runs through the chain and the outputs like any
// other; the end comes at the Read after it. The normal end (Terminate, the frame limit, the end of
// an input file) flushes the rate converters of the outputs and lets every output play out what it
// was given before the devices stop; Abort and errors stop at once. Either way the devices are
// stopped before an error or notice is shown, so that no ring goes on looping old sound meanwhile.
//
// Threads: Execute runs on the worker; construction, ResumeProcessing, PauseProcessing, Terminate
// and Abort run on the user-interface thread. The worker holds the chain's lock only inside
// ProcessBlock; pausing holds it at the gate before a pass, never under a chain or filter lock.

#include "devices/VirtDevs.h"
#include "dsp/FilterList.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

// The window side of a worker: the GUI posts a QEvent and runs calls on its thread;
// sonolab-render answers directly.
class TProcessingNotify {
public:
  virtual ~TProcessingNotify() = default;
  // WM_DSP_NOTIFY (WM_APP + 100): posted, never waited for. wParam 0: a block is ready;
  // wParam 1: the worker has stopped after an error or notice that was already shown.
  virtual void PostDSPNotify(uintptr_t wParam) = 0;
  // Runs the call on the user-interface thread and returns when it is done.
  virtual void RunSynchronously(const std::function<void()>& call) = 0;
  // Shows an error record (the message box of the GUI, stderr of the command line).
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
  // Input Stop, outputs StopAll, then hold the worker at the gate before its next pass.
  void PauseProcessing();
  // The normal end: the pass under way, including its Read, completes; then every output drains and
  // the devices stop.
  void Terminate();
  // As Terminate, without draining; a drain under way ends at once.
  void Abort();
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
  const TAudioBuffer& Work() const { return work; }
  uint64_t Elapsed() const { return elapsed.load(); }
  const TDSPException& LastError() const { return lastError; }
  bool Failed() const { return failed.load(); }
  // After the end: whether every output played out everything it was given.
  bool DrainedWhole() const { return drainedWhole.load(); }
  // Dropouts of the input and the outputs, and samples the chain saturated. Any thread.
  uint64_t Dropouts() const { return input.Dropouts() + outputs.Dropouts(); }
  uint64_t ClippedSamples() const { return chain.ClippedSamples(); }

private:
  void Execute();
  void WaitAtGate();
  // The normal end: drain the outputs (unless aborted), then stop the devices.
  void Finish();
  // Stops the devices after an error, ignoring what they raise on the way.
  void StopQuietly();
  void Fail(const TDSPException& e);

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

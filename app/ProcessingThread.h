#pragma once
// TProcessingThread: the worker of one processing set-up. Each pass reads a block from the input,
// copies it into the working buffer, runs the chain over it, converts it into every output, posts
// notification 0 to the window and writes the outputs. Elapsed is the steady-clock time in
// nanoseconds of the copy, the chain and the conversion.
//
// Threads: Execute runs on the worker; construction, ResumeProcessing, PauseProcessing and
// Terminate run on the user-interface thread. The worker holds the chain's lock only inside
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
  // Resumes, terminates and joins a thread that is still running.
  ~TProcessingThread();
  TProcessingThread(const TProcessingThread&) = delete;
  TProcessingThread& operator=(const TProcessingThread&) = delete;

  // Input Start, outputs StartAll, then let the worker run (start it the first time).
  void ResumeProcessing();
  // Input Stop, outputs StopAll, then hold the worker at the gate before its next pass.
  void PauseProcessing();
  // Sets the termination flag; the pass under way, including its Read, completes first.
  void Terminate();
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

private:
  void Execute();
  void WaitAtGate();
  void Fail(const TDSPException& e);

  TFilterList& chain;
  TPlaybackDevsList& outputs;
  TRecordingDevice& input;
  TProcessingNotify& window;

  TDSPException lastError;
  std::atomic<const TAudioBuffer*> lastInput{nullptr};
  TAudioBuffer work;
  std::atomic<uint64_t> elapsed{0};

  std::mutex gateMutex;
  std::condition_variable gateChanged;
  bool running = false; // the gate is open
  std::atomic<bool> terminated{false};
  std::atomic<bool> finished{false};
  std::atomic<bool> failed{false};
  std::thread thread;
};

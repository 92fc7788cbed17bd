#include "app/ProcessingThread.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>

TProcessingThread::TProcessingThread(TFilterList& chain, TPlaybackDevsList& outputs, TRecordingDevice& input,
                                     TProcessingNotify& window)
    : chain(chain), outputs(outputs), input(input), window(window),
      work(TAudioBuffer::ShapedLike(input.Buffer())) {}

TProcessingThread::~TProcessingThread() {
  Terminate();
  WaitFor();
}

void TProcessingThread::ResumeProcessing() {
  input.Start();
  outputs.StartAll();
  {
    std::lock_guard guard(gateMutex);
    running = true;
  }
  gateChanged.notify_all();
  if (!thread.joinable() && !terminated.load()) {
    thread = std::thread(&TProcessingThread::Execute, this);
  }
}

void TProcessingThread::PauseProcessing() {
  input.Stop();
  outputs.StopAll();
  std::lock_guard guard(gateMutex);
  running = false;
}

void TProcessingThread::Terminate() {
  {
    std::lock_guard guard(gateMutex);
    terminated.store(true);
  }
  gateChanged.notify_all();
}

void TProcessingThread::Abort() {
  aborted.store(true);
  Terminate();
}

void TProcessingThread::WaitFor() {
  if (thread.joinable()) {
    thread.join();
  }
}

void TProcessingThread::WaitAtGate() {
  std::unique_lock guard(gateMutex);
  gateChanged.wait(guard, [this] { return running || terminated.load(); });
}

namespace {

TDSPException InternalError(int32_t line, const std::string& what) {
  TDSPException e;
  e.ResultCode = 0x80004005; // an undetermined error
  e.SourceFile = "ProcessingThread.cpp";
  e.SourceLine = line;
  e.Operation = "TProcessingThread::Execute";
  e.Description = what;
  return e;
}

} // namespace

void TProcessingThread::Finish() {
  if (!aborted.load()) {
    outputs.FlushAll(); // what the rate converters still hold is the end of the signal
  }
  drainedWhole.store(!aborted.load() && outputs.DrainAll(aborted));
  input.Stop();
  outputs.StopAll();
}

void TProcessingThread::StopQuietly() {
  try {
    input.Stop();
  } catch (...) {
    // a device that failed may refuse to stop; its teardown releases it
  }
  try {
    outputs.StopAll();
  } catch (...) {
  }
}

// The error path: the record is shown on the user-interface thread while the worker waits, then the
// window is told to close. The devices are stopped by then; the window's teardown releases them.
void TProcessingThread::Fail(const TDSPException& e) {
  lastError = e;
  failed.store(true);
  window.RunSynchronously([this] {
    window.ShowDSPException(lastError);
    window.PostDSPNotify(1);
  });
}

void TProcessingThread::Execute() {
  using Clock = std::chrono::steady_clock;
  try {
    input.Start();
    outputs.StartAll();
    while (!terminated.load()) {
      WaitAtGate(); // a paused worker holds here, owning no chain or filter lock
      if (terminated.load()) {
        break;
      }
      input.Read();
      const Clock::time_point start = Clock::now();
      lastInput.store(&input.Buffer());
      // The working block takes the input's length: short at the end of a file, or cut to the limit.
      const int64_t done = framesProcessed.load(std::memory_order_relaxed);
      int64_t frames = input.Buffer().Frames();
      if (frameLimit > 0) {
        frames = std::min(frames, frameLimit - done);
      }
      work.SetLength(static_cast<int32_t>(frames));
      work.ConvertFrom(input.Buffer());
      chain.ProcessBlock(work.Data(), work.Frames(), work.Format());
      outputs.ConvertAll(work);
      elapsed.store(static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count()));
      framesProcessed.store(done + frames, std::memory_order_relaxed);
      window.PostDSPNotify(0);
      outputs.WriteAll();
      if (frameLimit > 0 && done + frames >= frameLimit) {
        break;
      }
    }
    Finish();
  } catch (const TDSPException& e) {
    if (e.Informational != 0) {
      // The end of the input file ends normally: the outputs play out, then the notice is shown.
      try {
        Finish();
      } catch (const TDSPException& error) {
        StopQuietly();
        Fail(error);
        finished.store(true);
        return;
      }
    } else {
      StopQuietly();
    }
    Fail(e);
  } catch (const std::exception& e) {
    // Nothing but device and format errors is expected here; anything else (out of memory) still
    // ends the set-up with a box rather than a silent stop.
    StopQuietly();
    Fail(InternalError(__LINE__, e.what()));
  } catch (...) {
    StopQuietly();
    Fail(InternalError(__LINE__, ""));
  }
  finished.store(true);
}

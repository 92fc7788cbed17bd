#include "app/ProcessingThread.h"

#include <chrono>

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

void TProcessingThread::WaitFor() {
  if (thread.joinable()) {
    thread.join();
  }
}

void TProcessingThread::WaitAtGate() {
  std::unique_lock guard(gateMutex);
  gateChanged.wait(guard, [this] { return running || terminated.load(); });
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
      work.ConvertFrom(input.Buffer());
      chain.ProcessBlock(work.Data(), work.Frames(), work.Format());
      outputs.ConvertAll(work);
      elapsed.store(static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count()));
      window.PostDSPNotify(0);
      outputs.WriteAll();
    }
    input.Stop();
    outputs.StopAll();
  } catch (const TDSPException& e) {
    // The devices stay as they are: the window closes on notification 1 and its teardown releases them.
    lastError = e;
    failed.store(true);
    window.RunSynchronously([this] {
      window.ShowDSPException(lastError);
      window.PostDSPNotify(1);
    });
  } catch (...) {
    // Nothing else is raised by the devices or the chain; end quietly.
  }
  finished.store(true);
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ProcessingThread.h"

#include "dsp/ThreadName.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

namespace {

// Whether a sound device paces the set-up: only then may its threads run at real-time priority.
bool HasSoundDevice(const TRecordingDevice& input, const TPlaybackDevsList& outputs) {
  if (input.Kind() == dkDirectSoundRecording || input.Kind() == dkWaveAudioRecording) {
    return true;
  }
  for (int i = 0; i < outputs.Count(); ++i) {
    const TPlaybackDevice* device = outputs.Item(i);
    if (device && (device->Kind() == dkDirectSoundPlayback || device->Kind() == dkWaveAudioPlayback)) {
      return true;
    }
  }
  return false;
}

} // namespace

TProcessingThread::TProcessingThread(TFilterList& chain, TPlaybackDevsList& outputs, TRecordingDevice& input,
                                     TProcessingNotify& window)
    : chain(chain), outputs(outputs), input(input), window(window),
      work(TAudioBuffer::ShapedLike(input.Buffer())), joined(TAudioBuffer::ShapedLike(input.Buffer())),
      live(HasSoundDevice(input, outputs)) {
  published.Shape(input.Buffer(), work);
  if (live) {
    chain.SetHelperThreadStart([] { MakeThreadRealtime(); });
  }
  // Everything the passes use, made now for the set-up's block and formats: nothing is allocated or
  // started once the worker runs.
  chain.Prepare(work.CapacityFrames(), work.Format().nChannels);
  outputs.Prepare(work, live);
}

std::optional<TRealtimeOutcome> TProcessingThread::Realtime() const {
  if (!realtimeKnown.load(std::memory_order_acquire)) {
    return std::nullopt;
  }
  return realtime;
}

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
  // The gate first: a Read or Write that the stops wake must find it closed, not start a pass.
  {
    std::lock_guard guard(gateMutex);
    running = false;
  }
  gateChanged.notify_all(); // a paced worker waiting for its next block's time
  input.Stop();
  outputs.StopAll();
}

void TProcessingThread::Terminate() {
  {
    std::lock_guard guard(gateMutex);
    terminated.store(true);
  }
  gateChanged.notify_all();
}

void TProcessingThread::Abort() {
  const bool first = !aborted.exchange(true);
  Terminate();
  if (first && thread.joinable() && !finished.load()) {
    StopQuietly(); // the worker sees the flags once what it waits for returns
  }
}

void TProcessingThread::WaitFor() {
  if (thread.joinable()) {
    thread.join();
  }
}

bool TProcessingThread::WaitAtGate() {
  std::unique_lock guard(gateMutex);
  const bool closed = !running && !terminated.load();
  gateChanged.wait(guard, [this] { return running || terminated.load(); });
  return closed;
}

bool TProcessingThread::WaitUntilDue() {
  const int64_t done = framesProcessed.load(std::memory_order_relaxed);
  if (!paceStart) {
    paceStart = std::chrono::steady_clock::now();
    paceFrames = done;
    return true;
  }
  const int64_t rate = input.Buffer().Format().nSamplesPerSec;
  const auto due =
      *paceStart + std::chrono::microseconds(rate > 0 ? (done - paceFrames) * 1000000 / rate : 0);
  std::unique_lock guard(gateMutex);
  // Woken early by a pause or the end, which the stops signal through the gate.
  gateChanged.wait_until(guard, due, [this] { return !running || terminated.load(); });
  return running && !terminated.load();
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

// The error path: the record goes to the window and the worker ends without waiting for it; the
// window shows it and then closes. The devices are stopped by then; the window's teardown releases
// them.
void TProcessingThread::Fail(const TDSPException& e) {
  lastError = e;
  failed.store(true);
  window.ShowDSPException(lastError);
  window.PostDSPNotify(1);
}

void TProcessingThread::ReadInput() {
  try {
    input.Read();
    return;
  } catch (const TDSPException& e) {
    if (e.Informational == 0 || !repeat.load() || !input.CanRewind()) {
      throw;
    }
  }
  input.Rewind();
  input.Read(); // a file without a frame ends here, repeated or not
}

const TAudioBuffer& TProcessingThread::NextBlock() {
  if (!splicing) {
    ReadInput();
    const TAudioBuffer& block = input.Buffer();
    if (block.Frames() == 0 || block.Frames() == block.CapacityFrames() || !repeat.load() ||
        !input.CanRewind()) {
      return block;
    }
    // The file ends inside this block: the rest of it comes from the file's start, and from now on
    // every block is gathered across the seam.
    splicing = true;
    carriedFrom = 0;
    carried = block.Frames();
  }
  const int32_t capacity = joined.CapacityFrames();
  const auto frameBytes = static_cast<size_t>(joined.Format().nBlockAlign);
  joined.SetLength(capacity);
  int32_t filled = 0;
  while (filled < capacity) {
    if (carried == 0) {
      try {
        ReadInput();
      } catch (const TDSPException& e) {
        if (e.Informational != 0 && filled > 0) {
          break; // repeat switched off: what was gathered goes out short, the next Read ends the file
        }
        throw;
      }
      carriedFrom = 0;
      carried = input.Buffer().Frames();
      if (carried == 0) {
        break;
      }
    }
    const int32_t n = std::min(carried, capacity - filled);
    std::memcpy(joined.Data() + static_cast<size_t>(filled) * frameBytes,
                input.Buffer().Data() + static_cast<size_t>(carriedFrom) * frameBytes,
                static_cast<size_t>(n) * frameBytes);
    filled += n;
    carriedFrom += n;
    carried -= n;
  }
  joined.SetLength(filled);
  return joined;
}

void TProcessingThread::WriteGap(int64_t frames) {
  while (frames > 0) {
    const auto n = static_cast<int32_t>(std::min<int64_t>(frames, work.CapacityFrames()));
    work.SetLength(n);
    work.Silence();
    outputs.WriteGap(work);
    frames -= n;
  }
}

void TProcessingThread::PublishForDisplays() {
  published.PublishPending();
  window.PostDSPNotify(0);
}

void TProcessingThread::StopAtEnd(const TDSPException& notice) {
  if (published.Pending()) {
    PublishForDisplays();
  }
  Finish();
  {
    // Closed before the window hears of it, so that its Play opens the gate again.
    std::lock_guard guard(gateMutex);
    running = false;
  }
  input.Rewind();
  splicing = false;
  carried = 0;
  paceStart.reset();
  window.ShowDSPException(notice);
  window.PostDSPNotify(2);
}

void TProcessingThread::Execute() {
  using Clock = std::chrono::steady_clock;
  NameThisThread("sonolab-worker");
  if (live) {
    realtime = MakeThreadRealtime();
  } else {
    realtime.Why = "только файлы";
  }
  realtimeKnown.store(true, std::memory_order_release);
  std::optional<Clock::time_point> firstArrival;
  int64_t firstFrames = 0;
  const bool paced = paceWithoutOutputs && !live && outputs.Count() == 0;
  try {
    input.Start();
    outputs.StartAll();
    while (!terminated.load()) {
      if (WaitAtGate()) { // a paused worker holds here, owning no chain or filter lock
        paceStart.reset();
      }
      if (terminated.load()) {
        break;
      }
      if (paced && !WaitUntilDue()) {
        paceStart.reset();
        continue;
      }
      const TAudioBuffer* next = nullptr;
      try {
        next = &NextBlock();
      } catch (const TDSPException& e) {
        if (e.Informational == 0 || !holdAtEnd.load() || !input.CanRewind()) {
          throw;
        }
        StopAtEnd(e);
        continue;
      }
      const TAudioBuffer& block = *next;
      if (block.Frames() == 0) {
        continue; // a stopped input has no block: back to the gate
      }
      const Clock::time_point arrived = Clock::now();
      int64_t done = framesProcessed.load(std::memory_order_relaxed);
      if (const int64_t lost = input.LostFramesBeforeBlock(); lost > 0) {
        const int64_t gap = frameLimit > 0 ? std::min(lost, frameLimit - done) : lost;
        WriteGap(gap);
        lostFrames.fetch_add(gap, std::memory_order_relaxed);
        done += gap;
        framesProcessed.store(done, std::memory_order_relaxed);
        if (frameLimit > 0 && done >= frameLimit) {
          break;
        }
      }
      const Clock::time_point start = Clock::now();
      lastInput.store(&block);
      // The working block takes the input's length: short at the end of a file, or cut to the limit.
      int64_t frames = block.Frames();
      if (frameLimit > 0) {
        frames = std::min(frames, frameLimit - done);
      }
      work.SetLength(static_cast<int32_t>(frames));
      work.ConvertFrom(block);
      chain.ProcessBlock(work.Data(), work.Frames(), work.Format());
      outputs.ConvertAll(work);
      const auto ns = static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
      elapsed.store(ns);
      framesProcessed.store(done + frames, std::memory_order_relaxed);
      // The span starts once a second of input has come: the first blocks come in a burst after the
      // server's start-up.
      if (!firstArrival && done + frames >= static_cast<int64_t>(block.Format().nSamplesPerSec)) {
        firstArrival = arrived;
        firstFrames = done + frames;
      }
      if (firstArrival) {
        inputSpanFrames.store(done + frames - firstFrames, std::memory_order_relaxed);
        inputSpanNs.store(
            std::chrono::duration_cast<std::chrono::nanoseconds>(arrived - *firstArrival).count(),
            std::memory_order_relaxed);
      }
      if (published.Add(block, work, ns)) {
        PublishForDisplays();
      }
      window.BlockProcessed(ns, work.Frames());
      outputs.WriteAll();
      if (frameLimit > 0 && done + frames >= frameLimit) {
        break;
      }
    }
    if (published.Pending()) {
      PublishForDisplays();
    }
    Finish();
  } catch (const TDSPException& e) {
    if (e.Informational != 0) {
      // The end of the input file ends normally: the displays show its last frames, the outputs
      // play out, then the notice is shown.
      if (published.Pending()) {
        PublishForDisplays();
      }
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

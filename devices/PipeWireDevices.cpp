// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/PipeWireDevices.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t SlotCount = TEventSet::Count;
constexpr uint32_t InvalidCall = 0x88780032u; // a call on a device that holds no stream
constexpr std::chrono::milliseconds DrainMargin{1000};
constexpr std::chrono::milliseconds DrainPoll{10};
// The cycle that takes the last byte written fills the buffer the graph plays in the cycle after it.
constexpr uint64_t CyclesToPlayOut = 2;

std::string OperationText(const char* call, const std::string& text) {
  return text.empty() ? std::string(call) : std::string(call) + " (" + text + ")";
}

void Check(const TSoundResult& result, int32_t line, const char* call) {
  if (result.Failed()) {
    RaiseResultError(static_cast<uint32_t>(result.Code), line, OperationText(call, result.Text));
  }
}

// Waits for the graph until `ready()` holds; false once the device is stopped. A fault raises under
// `call`, and so does a graph that has not cycled for GraphStallLimit (suspended).
template <class TReady>
bool AwaitGraph(TGraphStream& stream, const std::atomic<bool>& on, TReady&& ready, int32_t line,
                const char* call) {
  uint64_t cycles = stream.Cycles();
  Clock::time_point progress = Clock::now();
  for (;;) {
    const uint32_t seen = stream.Doorbell().Seen();
    Check(stream.Fault(), line, call);
    if (!on.load()) {
      return false;
    }
    if (ready()) {
      return true;
    }
    const Clock::time_point now = Clock::now();
    if (const uint64_t c = stream.Cycles(); c != cycles) {
      cycles = c;
      progress = now;
    } else if (now - progress >= GraphStallLimit) {
      RaiseResultError(static_cast<uint32_t>(SoundFail), line,
                       OperationText(call, "pw_stream: граф PipeWire остановлен: за " +
                                               std::to_string(GraphStallLimit.count()) +
                                               " с не было ни одного цикла"));
    }
    stream.Doorbell().WaitFor(seen, GraphStallLimit - (now - progress));
  }
}

// A cycle the ring cannot carry: every cycle would be a dropout.
void CheckCycleFits(uint64_t cycle, uint64_t slot, uint64_t ring, uint32_t frameBytes, int32_t line,
                    const char* call) {
  if (cycle + slot > ring) {
    RaiseResultError(InvalidCall, line,
                     OperationText(call, "граф PipeWire берёт звук по " + std::to_string(cycle / frameBytes) +
                                             " отсчётов, больше, чем успевает дать кольцо из " +
                                             std::to_string(SlotCount) + " блоков по " +
                                             std::to_string(slot / frameBytes) +
                                             " отсчётов; выберите блок больше"));
  }
}

} // namespace

// ---- Playback ----------------------------------------------------------------------------------------

TPipeWirePlaybackDevice::TPipeWirePlaybackDevice(std::shared_ptr<const TPipeWireGraph> graph, TGraphNode node)
    : TPlaybackDevice(dkDirectSoundPlayback), graph(std::move(graph)), node(std::move(node)) {}

TPipeWirePlaybackDevice::~TPipeWirePlaybackDevice() {
  Close();
}

void TPipeWirePlaybackDevice::Open() {
  Close();
  TAudioDevice::Open();
  ringSize = SlotCount * buffer.Bytes();
  synchronised = written = false;
  dropouts.store(0);
  if (!graph) {
    RaiseResultError(static_cast<uint32_t>(SoundNoDriver), __LINE__, "DirectSoundCreate");
  }
  Check(graph->OpenPlayback(node, buffer.Format(), static_cast<uint32_t>(buffer.CapacityFrames()),
                            static_cast<uint32_t>(ringSize), stream),
        __LINE__, "IDirectSound::CreateSoundBuffer");
}

void TPipeWirePlaybackDevice::Close() {
  playing = false;
  stream.reset();
}

uint32_t TPipeWirePlaybackDevice::QuantumFrames() const {
  return stream ? stream->QuantumFrames() : 0;
}

void TPipeWirePlaybackDevice::Start() {
  if (!stream) {
    RaiseResultError(InvalidCall, __LINE__, "IDirectSoundBuffer::Play");
  }
  // What was written before is not heard: the first block finds its place afresh.
  stream->Playback()->Restart();
  synchronised = written = false;
  lateInARow = 0;
  cyclesAtStart = stream->Cycles();
  playing = true;
  const TSoundResult result = stream->SetActive(true);
  if (result.Failed()) {
    playing = false;
    Check(result, __LINE__, "IDirectSoundBuffer::Play");
  }
  // Running once Start returns: a capture started before it has not gathered input that the first
  // Write would have to wait behind (its first Read takes the newest block).
  AwaitGraph(
      *stream, playing, [&] { return stream->Cycles() > cyclesAtStart; }, __LINE__,
      "IDirectSoundBuffer::Play");
}

void TPipeWirePlaybackDevice::Stop() {
  if (!stream) {
    RaiseResultError(InvalidCall, __LINE__, "IDirectSoundBuffer::Stop");
  }
  playing = false;
  Check(stream->SetActive(false), __LINE__, "IDirectSoundBuffer::Stop");
}

void TPipeWirePlaybackDevice::Write() {
  if (!stream) {
    RaiseResultError(InvalidCall, __LINE__, "IDirectSoundBuffer::Lock");
  }
  TGraphPlaybackRing& ring = *stream->Playback();
  const auto slot = static_cast<uint64_t>(ringSize / SlotCount);
  const auto frameBytes = std::max<uint32_t>(buffer.Format().nBlockAlign, 1);
  const auto n = static_cast<uint32_t>(buffer.Bytes()); // a last block may be short
  // The first cycle since the start tells where the graph reads and how much at a time.
  if (!AwaitGraph(
          *stream, playing, [&] { return stream->Cycles() > cyclesAtStart; }, __LINE__,
          "IDirectSoundBuffer::Play")) {
    return; // stopped: the block would not be heard
  }
  uint32_t skip = 0; // the part of the block whose place the graph has passed
  for (;;) {
    const uint64_t cycle = std::max<uint64_t>(stream->CycleBytes(), frameBytes);
    CheckCycleFits(cycle, slot, ring.Size(), frameBytes, __LINE__, "IDirectSoundBuffer::Lock");
    const uint64_t read = ring.Played();
    if (synchronised && writeAt + n <= read && ++lateInARow <= SlotCount) {
      // The graph has played silence where this block belonged (it skipped a cycle, or the worker was
      // held up): the block goes, and the ones after it keep their place, so the delay stays.
      writeAt += n;
      dropouts.store(ring.Dropouts() + stream->Xruns());
      return;
    }
    if (!synchronised || writeAt + n <= read) {
      // Where the graph reads next. Where blocks and cycles do not divide each other, a block comes
      // in a cycle's time or in one more, so two cycles later. Also after a ring of blocks in a row
      // came too late: the worker does not keep up with so small a lead.
      writeAt = read + (cycle % slot == 0 || slot % cycle == 0 ? 0 : 2 * cycle);
      synchronised = true;
      break;
    }
    if (writeAt < read) {
      skip = static_cast<uint32_t>(read - writeAt);
      break;
    }
    // At most one cycle beyond the block under way.
    if (writeAt - read <= cycle && writeAt + n <= read + ring.Size()) {
      break;
    }
    if (!AwaitGraph(
            *stream, playing, [&] { return ring.Played() != read; }, __LINE__, "IDirectSoundBuffer::Play")) {
      return;
    }
  }
  lateInARow = 0;
  ring.Write(writeAt + skip, buffer.Data() + skip, n - skip);
  writeAt += n;
  written = true;
  dropouts.store(ring.Dropouts() + stream->Xruns());
}

bool TPipeWirePlaybackDevice::Drain(const std::atomic<bool>& cancel) {
  if (!stream || !playing || !written) {
    return true;
  }
  TGraphPlaybackRing& ring = *stream->Playback();
  ring.SetEnding(true); // running past the end is the end now, not a dropout
  const uint64_t end = ring.Written();
  const uint64_t pending = end > ring.Played() ? end - ring.Played() : 0;
  const uint64_t bytesPerSecond = std::max<uint32_t>(buffer.Format().nAvgBytesPerSec, 1);
  const Clock::time_point bound =
      Clock::now() + std::chrono::nanoseconds(pending * 1000000000ull / bytesPerSecond) + DrainMargin;
  uint64_t takenAt = 0; // the cycles when the graph had taken the last byte
  for (;;) {
    const uint32_t seen = stream->Doorbell().Seen();
    Check(stream->Fault(), __LINE__, "IDirectSoundBuffer::Play");
    if (!playing) {
      return true; // stopped meanwhile: nothing more will be played
    }
    if (ring.Played() >= end) {
      if (takenAt == 0) {
        takenAt = stream->Cycles();
      } else if (stream->Cycles() >= takenAt + CyclesToPlayOut) {
        dropouts.store(ring.Dropouts() + stream->Xruns());
        return true;
      }
    }
    if (cancel.load() || Clock::now() >= bound) {
      return false;
    }
    stream->Doorbell().WaitFor(seen, DrainPoll);
  }
}

// ---- Capture -----------------------------------------------------------------------------------------

TPipeWireRecordingDevice::TPipeWireRecordingDevice(std::shared_ptr<const TPipeWireGraph> graph,
                                                   TGraphNode node)
    : TRecordingDevice(dkDirectSoundRecording), graph(std::move(graph)), node(std::move(node)) {}

TPipeWireRecordingDevice::~TPipeWireRecordingDevice() {
  Close();
}

void TPipeWireRecordingDevice::Open() {
  Close();
  TAudioDevice::Open();
  ringSize = SlotCount * buffer.Bytes();
  lostFrames = 0;
  overruns = 0;
  dropouts.store(0);
  if (!graph) {
    RaiseResultError(static_cast<uint32_t>(SoundNoDriver), __LINE__, "DirectSoundCaptureCreate");
  }
  Check(graph->OpenCapture(node, buffer.Format(), static_cast<uint32_t>(buffer.CapacityFrames()),
                           static_cast<uint32_t>(ringSize), stream),
        __LINE__, "IDirectSoundCapture::CreateCaptureBuffer");
}

void TPipeWireRecordingDevice::Close() {
  capturing = false;
  stream.reset();
}

uint32_t TPipeWireRecordingDevice::QuantumFrames() const {
  return stream ? stream->QuantumFrames() : 0;
}

void TPipeWireRecordingDevice::Start() {
  if (!stream) {
    RaiseResultError(InvalidCall, __LINE__, "IDirectSoundCaptureBuffer::Start");
  }
  fresh = true; // sound from before the start would only add to the delay
  capturing = true;
  const TSoundResult result = stream->SetActive(true);
  if (result.Failed()) {
    capturing = false;
    Check(result, __LINE__, "IDirectSoundCaptureBuffer::Start");
  }
}

void TPipeWireRecordingDevice::Stop() {
  if (!stream) {
    RaiseResultError(InvalidCall, __LINE__, "IDirectSoundCaptureBuffer::Stop");
  }
  capturing = false;
  Check(stream->SetActive(false), __LINE__, "IDirectSoundCaptureBuffer::Stop");
}

void TPipeWireRecordingDevice::Read() {
  if (!stream) {
    RaiseResultError(InvalidCall, __LINE__, "IDirectSoundCaptureBuffer::Lock");
  }
  TGraphCaptureRing& ring = *stream->Capture();
  buffer.SetLength(buffer.CapacityFrames()); // after an empty block
  const auto slot = static_cast<uint64_t>(buffer.Bytes());
  const auto frameBytes = std::max<uint32_t>(buffer.Format().nBlockAlign, 1);
  if (fresh) {
    ring.Skip(ring.Available());
    ring.TakeLost();
    fresh = false;
  }
  if (!AwaitGraph(
          *stream, capturing,
          [&] {
            CheckCycleFits(stream->CycleBytes(), slot, ring.Size(), frameBytes, __LINE__,
                           "IDirectSoundCaptureBuffer::Lock");
            return ring.Available() >= slot;
          },
          __LINE__, "IDirectSoundCaptureBuffer::Start")) {
    buffer.SetLength(0); // stopped: no block until the next Start
    return;
  }
  uint64_t lost = 0;
  if (const uint64_t dropped = ring.TakeLost(); dropped > 0) {
    // The worker fell a whole ring behind: on from the newest whole block; what lies between, and
    // what the ring could not take, is lost to the byte.
    const uint64_t skipped = (ring.Available() / slot - 1) * slot;
    ring.Skip(skipped);
    lost = dropped + skipped;
    ++overruns;
  }
  ring.Read(buffer.Data(), static_cast<uint32_t>(slot));
  lostFrames = static_cast<int64_t>(lost / frameBytes);
  dropouts.store(overruns + stream->Xruns());
}

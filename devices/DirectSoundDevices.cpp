// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/DirectSoundDevices.h"

#include "devices/AudioFormats.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

namespace {

constexpr int SlotCount = TEventSet::Count;
constexpr uint32_t InvalidCall = 0x88780032u; // a call on a ring that is not held
// The first block after a start or a dropout lands this many blocks ahead of the write cursor, and no
// block is written further ahead than the larger distance.
constexpr int64_t LeadSlots = 2;
constexpr int64_t MostLeadSlots = 3;
// Blocks shorter than this are chosen ones (the rule's are longer): their lead may grow.
constexpr uint64_t SmallBlockUs = 50000;
constexpr uint64_t RingSlots = TEventSet::Count;
// A drain may take what was pending when it began, plus this.
constexpr std::chrono::milliseconds DrainMargin{1000};
constexpr std::chrono::milliseconds DrainPoll{10};

// "IDirectSoundBuffer::Play (pa_stream_connect_playback: Connection refused)"
std::string OperationText(const char* call, const std::string& text) {
  if (text.empty()) {
    return call;
  }
  return std::string(call) + " (" + text + ")";
}

void Check(const TSoundResult& result, int32_t line, const char* call) {
  if (result.Failed()) {
    RaiseResultError(static_cast<uint32_t>(result.Code), line, OperationText(call, result.Text));
  }
}

// The last byte of slot i, with event i.
TSoundNotifyPositions SlotEnds(int32_t blockBytes) {
  TSoundNotifyPositions positions{};
  for (int i = 0; i < SlotCount; ++i) {
    positions[i] = {static_cast<uint32_t>(blockBytes * (i + 1) - 1), i};
  }
  return positions;
}

// Waits for any slot; a failed stream or server wakes the wait and raises under `call`. A stopped
// device gives TEventSet::Stopped at once.
int WaitForSlot(TEventSet& events, int32_t line, const char* call) {
  const int index = events.WaitAny();
  if (index == TEventSet::Failed) {
    RaiseResultError(events.FailureCode(), line, OperationText(call, events.FailureText()));
  }
  return index;
}

} // namespace

// ---- Playback ----------------------------------------------------------------------------------

TDirectSoundPlaybackDevice::TDirectSoundPlaybackDevice(std::shared_ptr<TSoundServices> services,
                                                       std::optional<std::string> deviceId)
    : TPlaybackDevice(dkDirectSoundPlayback), services(std::move(services)), deviceId(std::move(deviceId)) {}

TDirectSoundPlaybackDevice::~TDirectSoundPlaybackDevice() {
  Close();
}

int32_t TDirectSoundPlaybackDevice::WritePosition() const {
  return synchronised && ringSize > 0 ? static_cast<int32_t>(writeOffset % static_cast<uint64_t>(ringSize))
                                      : -1;
}

void TDirectSoundPlaybackDevice::Open() {
  Close();
  TAudioDevice::Open();
  slotBytes = buffer.Bytes();
  ringSize = SlotCount * slotBytes;
  synchronised = false;
  writeOffset = committedEnd = 0;
  playing = written = false;
  extraLeadSlots = 0;
  dropouts.store(0);
  heldGrowth.store(0);
  events.Reset();
  if (!services) {
    RaiseResultError(static_cast<uint32_t>(SoundNoDriver), __LINE__, "DirectSoundCreate");
  }
  Check(services->CreatePlayback(deviceId, sound), __LINE__, "DirectSoundCreate");
  Check(sound->SetCooperativeLevel(SoundPriorityLevel), __LINE__, "IDirectSound::SetCooperativeLevel");
  Check(sound->CreateRing(static_cast<uint32_t>(ringSize), buffer.Format(), SoundBufferFlags, soundBuffer),
        __LINE__, "IDirectSound::CreateSoundBuffer");
  const TSoundNotifyPositions positions = SlotEnds(buffer.Bytes());
  Check(soundBuffer->QueryNotify(), __LINE__, "IDirectSoundBuffer::QueryInterface");
  Check(soundBuffer->SetNotificationPositions(positions, events), __LINE__,
        "IDirectSoundNotify::SetNotificationPositions");
}

void TDirectSoundPlaybackDevice::Close() {
  const bool held = soundBuffer || sound;
  soundBuffer.reset();
  sound.reset();
  playing = false;
  // A waiter left on a closed ring would never be signalled again.
  if (held) {
    events.Fail(InvalidCall, "closed");
  }
}

void TDirectSoundPlaybackDevice::SilenceRing() {
  TSoundLockedRegions regions;
  Check(soundBuffer->Lock(0, 0, SoundLockEntireBuffer, regions), __LINE__, "IDirectSoundBuffer::Lock");
  if (regions.Region1) {
    std::memset(regions.Region1, buffer.Format().wBitsPerSample == 8 ? 128 : 0, regions.Bytes1);
  }
  Check(soundBuffer->Unlock(regions), __LINE__, "IDirectSoundBuffer::Unlock");
}

void TDirectSoundPlaybackDevice::Start() {
  if (!soundBuffer) {
    RaiseResultError(InvalidCall, __LINE__, "IDirectSoundBuffer::Lock");
  }
  SilenceRing();
  Check(soundBuffer->Play(SoundPlayLooping), __LINE__, "IDirectSoundBuffer::Play");
  playing = true;
  events.Start();
}

void TDirectSoundPlaybackDevice::Stop() {
  if (!soundBuffer) {
    RaiseResultError(InvalidCall, __LINE__, "IDirectSoundBuffer::Stop");
  }
  // No slot will be played until the next Start: a Write waiting for one gives up its block.
  events.Stop();
  Check(soundBuffer->Stop(), __LINE__, "IDirectSoundBuffer::Stop");
  playing = false;
  written = false;
  synchronised = false;
  Check(soundBuffer->SetCurrentPosition(0), __LINE__, "IDirectSoundBuffer::SetCurrentPosition");
}

bool TDirectSoundPlaybackDevice::WaitForPlayedSlot() {
  return WaitForSlot(events, __LINE__, "IDirectSoundBuffer::Play") != TEventSet::Stopped;
}

void TDirectSoundPlaybackDevice::Write() {
  if (!soundBuffer) {
    RaiseResultError(InvalidCall, __LINE__, "IDirectSoundBuffer::Lock");
  }
  // Any played slot will do: the notifications only pace the writes. A stopped ring is silenced when
  // it starts again, so the block it refuses could never be heard.
  if (!WaitForPlayedSlot()) {
    return;
  }

  const auto slot = static_cast<uint64_t>(slotBytes);
  const uint64_t slotUs = slot * 1000000 / std::max<uint32_t>(buffer.Format().nAvgBytesPerSec, 1);
  uint32_t status = 0;
  Check(soundBuffer->GetStatus(status), __LINE__, "IDirectSoundBuffer::GetStatus");
  bool restart = false;
  if (status & SoundStatusBufferLost) {
    Check(soundBuffer->Restore(), __LINE__, "IDirectSoundBuffer::Restore");
    // A restored ring holds whatever it held: only silence may be heard around this block.
    SilenceRing();
    writeOffset = 0;
    restart = true;
  } else {
    for (;;) {
      TSoundCursors cursors;
      Check(soundBuffer->GetCurrentPosition(cursors), __LINE__, "IDirectSoundBuffer::GetCurrentPosition");
      dropouts.store(cursors.Dropouts);
      heldGrowth.store(cursors.HeldGrowth);
      // The server takes sound in requests of its own size, and a resampling one (PipeWire's pulse
      // server feeding a graph of another rate) two at a time: where one is longer than a block (its
      // graph cycle beside the smallest blocks), the lead stays a block beyond two requests.
      const uint64_t requestLead =
          cursors.Request > slot ? ((2 * cursors.Request + slot - 1) / slot + 1) * slot : 0;
      if (requestLead + slot > RingSlots * slot) {
        // A graph held at a long cycle: no lead the ring can give keeps it fed, so every block would be
        // a dropout. Say so once instead.
        const uint32_t frameBytes = std::max<uint32_t>(buffer.Format().nBlockAlign, 1);
        RaiseResultError(
            InvalidCall, __LINE__,
            OperationText("IDirectSoundBuffer::Lock",
                          "сервер звука берёт звук по " + std::to_string(cursors.Request / frameBytes) +
                              " отсчётов, больше, чем успевает дать кольцо из " + std::to_string(RingSlots) +
                              " блоков по " + std::to_string(slot / frameBytes) +
                              " отсчётов; выберите блок больше"));
      }
      const uint64_t lead = std::max(LeadSlots * slot - std::min(cursors.HeldGrowth, slot), requestLead) +
                            extraLeadSlots * slot;
      const uint64_t mostLead =
          std::max<uint64_t>(MostLeadSlots * slot, requestLead + slot) + extraLeadSlots * slot;
      // Writes never run a whole block past the larger lead, so a longer one means that the ring was
      // rewound behind this Write's back (a Stop on the window thread while it was under way).
      const bool rewound = writeOffset > cursors.Write && writeOffset - cursors.Write >= mostLead + slot;
      if (!synchronised || cursors.Write >= writeOffset || rewound) {
        // Blocks shorter than a server's bursts: each run past what was written lets the lead grow a
        // block, up to three quarters of the ring, so that a server asking for more at once than it granted
        // is not met with silence again and again.
        uint64_t ahead = lead;
        if (synchronised && !rewound && cursors.Write >= writeOffset && slotUs < SmallBlockUs &&
            lead + slot <= RingSlots * 3 / 4 * slot) {
          ++extraLeadSlots;
          ahead += slot;
        }
        // After a start or a rewind, or once playback has reached the end of what was written (the
        // ring plays silence from there and counts the dropout): two blocks ahead of the write cursor,
        // less what the server has been allowed to hold beyond its first figure since, so that the
        // sound is as late as ever.
        writeOffset = cursors.Write + ahead;
        synchronised = true;
        break;
      }
      if (writeOffset - cursors.Write < mostLead) {
        break;
      }
      // Notifications left from a stall would let writes run ahead of the ring: wait for a slot.
      if (!WaitForPlayedSlot()) {
        return;
      }
    }
  }

  const auto blockBytes = static_cast<uint32_t>(buffer.Bytes()); // a last block may be short
  const uint8_t silence = buffer.Format().wBitsPerSample == 8 ? 128 : 0;
  TSoundLockedRegions regions;
  Check(soundBuffer->Lock(static_cast<uint32_t>(writeOffset % static_cast<uint64_t>(ringSize)),
                          static_cast<uint32_t>(slot), 0, regions),
        __LINE__, "IDirectSoundBuffer::Lock");
  // The block, then silence to the end of its slot, over one or two regions.
  const auto fill = [&](uint8_t* region, uint32_t regionBytes, uint32_t from) {
    if (!region) {
      return;
    }
    const uint32_t copied = from < blockBytes ? std::min(regionBytes, blockBytes - from) : 0;
    std::memcpy(region, buffer.Data() + from, copied);
    std::memset(region + copied, silence, regionBytes - copied);
  };
  const uint32_t first = std::min(regions.Bytes1, static_cast<uint32_t>(slot));
  fill(regions.Region1, first, 0);
  fill(regions.Region2, std::min(regions.Bytes2, static_cast<uint32_t>(slot) - first), first);
  Check(soundBuffer->Unlock(regions), __LINE__, "IDirectSoundBuffer::Unlock");

  if (restart) {
    Check(soundBuffer->SetCurrentPosition(0), __LINE__, "IDirectSoundBuffer::SetCurrentPosition");
    Check(soundBuffer->Commit(0, slot), __LINE__, "IDirectSoundBuffer::Unlock");
    committedEnd = slot;
    Check(soundBuffer->Play(SoundPlayLooping), __LINE__, "IDirectSoundBuffer::Play");
    synchronised = false;
  } else {
    Check(soundBuffer->Commit(writeOffset, writeOffset + slot), __LINE__, "IDirectSoundBuffer::Unlock");
    writeOffset += slot;
    committedEnd = writeOffset;
  }
  written = true;
}

uint32_t TDirectSoundPlaybackDevice::ServerBufferGrowthMs() const {
  const uint64_t bytesPerSecond = std::max<uint32_t>(buffer.Format().nAvgBytesPerSec, 1);
  return static_cast<uint32_t>(heldGrowth.load() * 1000 / bytesPerSecond);
}

bool TDirectSoundPlaybackDevice::Drain(const std::atomic<bool>& cancel) {
  if (!soundBuffer || !playing || !written) {
    return true; // nothing is playing, or nothing was written since the start
  }
  using Clock = std::chrono::steady_clock;
  TSoundCursors cursors;
  Check(soundBuffer->GetCurrentPosition(cursors), __LINE__, "IDirectSoundBuffer::GetCurrentPosition");
  const uint64_t pendingBytes = committedEnd > cursors.Play ? committedEnd - cursors.Play : 0;
  const uint64_t bytesPerSecond = std::max<uint32_t>(buffer.Format().nAvgBytesPerSec, 1);
  const Clock::time_point bound =
      Clock::now() + std::chrono::nanoseconds(pendingBytes * 1000000000ull / bytesPerSecond) + DrainMargin;
  Check(soundBuffer->BeginDrain(), __LINE__, "IDirectSoundBuffer::Stop");
  for (;;) {
    uint32_t status = 0;
    Check(soundBuffer->GetStatus(status), __LINE__, "IDirectSoundBuffer::GetStatus");
    if (status & SoundStatusDrained) {
      Check(soundBuffer->GetCurrentPosition(cursors), __LINE__, "IDirectSoundBuffer::GetCurrentPosition");
      dropouts.store(cursors.Dropouts);
      return true;
    }
    if (cancel.load() || Clock::now() >= bound) {
      return false;
    }
    const int waited = events.WaitAnyFor(DrainPoll);
    if (waited == TEventSet::Failed) {
      RaiseResultError(events.FailureCode(), __LINE__,
                       OperationText("IDirectSoundBuffer::Play", events.FailureText()));
    }
    if (waited == TEventSet::Stopped) {
      return true; // stopped meanwhile: nothing more will be played
    }
  }
}

// ---- Capture -----------------------------------------------------------------------------------

TDirectSoundRecordingDevice::TDirectSoundRecordingDevice(std::shared_ptr<TSoundServices> services,
                                                         std::optional<std::string> deviceId)
    : TRecordingDevice(dkDirectSoundRecording), services(std::move(services)), deviceId(std::move(deviceId)) {
}

TDirectSoundRecordingDevice::~TDirectSoundRecordingDevice() {
  Close();
}

void TDirectSoundRecordingDevice::Open() {
  TDirectSoundRecordingDevice::Close(); // what a derived device holds beside the capture stays
  TAudioDevice::Open();
  ringSize = SlotCount * buffer.Bytes();
  readOffset = 0;
  overruns = 0;
  lostFrames = 0;
  dropouts.store(0);
  events.Reset();
  if (!services) {
    RaiseResultError(static_cast<uint32_t>(SoundNoDriver), __LINE__, "DirectSoundCaptureCreate");
  }
  Check(services->CreateCapture(deviceId, capture), __LINE__, "DirectSoundCaptureCreate");
  Check(capture->CreateRing(static_cast<uint32_t>(ringSize), buffer.Format(), captureBuffer), __LINE__,
        "IDirectSoundCapture::CreateCaptureBuffer");
  notifyPositions = SlotEnds(buffer.Bytes());
  Check(captureBuffer->QueryNotify(), __LINE__, "IDirectSoundCaptureBuffer::QueryInterface");
  Check(captureBuffer->SetNotificationPositions(notifyPositions, events), __LINE__,
        "IDirectSoundNotify::SetNotificationPositions");
}

void TDirectSoundRecordingDevice::Close() {
  const bool held = captureBuffer || capture;
  captureBuffer.reset();
  capture.reset();
  if (held) {
    events.Fail(InvalidCall, "closed");
  }
}

void TDirectSoundRecordingDevice::Start() {
  if (!captureBuffer) {
    RaiseResultError(InvalidCall, __LINE__, "IDirectSoundCaptureBuffer::Start");
  }
  Check(captureBuffer->Start(SoundPlayLooping), __LINE__, "IDirectSoundCaptureBuffer::Start");
  events.Start();
}

void TDirectSoundRecordingDevice::Stop() {
  if (!captureBuffer) {
    RaiseResultError(InvalidCall, __LINE__, "IDirectSoundCaptureBuffer::Stop");
  }
  // No slot will be completed until the next Start: a Read waiting for one returns an empty block.
  events.Stop();
  Check(captureBuffer->Stop(), __LINE__, "IDirectSoundCaptureBuffer::Stop");
}

TSoundCursors TDirectSoundRecordingDevice::Cursors() {
  TSoundCursors cursors;
  Check(captureBuffer->GetCurrentPosition(cursors), __LINE__,
        "IDirectSoundCaptureBuffer::GetCurrentPosition");
  return cursors;
}

void TDirectSoundRecordingDevice::Read() {
  if (!captureBuffer) {
    RaiseResultError(InvalidCall, __LINE__, "IDirectSoundCaptureBuffer::Lock");
  }
  buffer.SetLength(buffer.CapacityFrames()); // after an empty block
  const auto blockBytes = static_cast<uint64_t>(buffer.Bytes());
  const auto ring = static_cast<uint64_t>(ringSize);
  uint64_t lostBytes = 0;
  // The worker fell a whole ring behind: the next block is gone, so take up again at the newest
  // whole block. What lies between is lost, to the byte.
  const auto resynchronise = [&](const TSoundCursors& cursors) {
    const uint64_t newest = (cursors.Write / blockBytes - 1) * blockBytes;
    lostBytes += newest - readOffset;
    readOffset = newest;
    ++overruns;
  };
  for (;;) {
    TSoundCursors cursors = Cursors();
    if (cursors.Write > readOffset + ring) {
      resynchronise(cursors);
    }
    if (cursors.Write < readOffset + blockBytes) {
      // The slots in ring order: the next one is not complete yet.
      if (WaitForSlot(events, __LINE__, "IDirectSoundCaptureBuffer::Start") == TEventSet::Stopped) {
        buffer.SetLength(0); // stopped: no block until the next Start
        return;
      }
      continue;
    }
    const auto k = static_cast<int>((readOffset % ring) / blockBytes);
    const uint32_t start = k == 0 ? 0 : notifyPositions[k - 1].Offset + 1;
    const uint32_t length = notifyPositions[k].Offset + 1 - start;
    TSoundLockedRegions regions;
    Check(captureBuffer->Lock(start, length, 0, regions), __LINE__, "IDirectSoundCaptureBuffer::Lock");
    if (regions.Region1) {
      std::memcpy(buffer.Data(), regions.Region1,
                  std::min(regions.Bytes1, static_cast<uint32_t>(buffer.Bytes())));
      Check(captureBuffer->Unlock(regions), __LINE__, "IDirectSoundCaptureBuffer::Unlock");
    }
    events.Clear(notifyPositions[k].EventIndex); // this slot's notification is used up
    cursors = Cursors();
    if (cursors.Write > readOffset + ring) {
      resynchronise(cursors); // the slot was refilled before it was copied
      continue;
    }
    readOffset += blockBytes;
    lostFrames = static_cast<int64_t>(lostBytes / std::max<uint16_t>(buffer.Format().nBlockAlign, 1));
    dropouts.store(overruns + cursors.Dropouts);
    return;
  }
}

// ---- The desktop's virtual sink ----------------------------------------------------------------

TAppsRecordingDevice::TAppsRecordingDevice(std::shared_ptr<TSoundServices> services)
    : TDirectSoundRecordingDevice(services, std::string(AppsMonitorName)), services(std::move(services)) {
  // The sink is made in this format: the applications' sound at CD quality unless another is chosen.
  buffer.Format() = FormatTable[AppsDefaultFormat];
}

TAppsRecordingDevice::~TAppsRecordingDevice() {
  Close();
}

void TAppsRecordingDevice::Open() {
  Close();
  if (!services) {
    RaiseResultError(static_cast<uint32_t>(SoundNoDriver), __LINE__, "DirectSoundCaptureCreate");
  }
  Check(services->LeaseAppsSink({description, buffer.Format(), makeDefault}, lease), __LINE__,
        "DirectSoundCaptureCreate");
  TDirectSoundRecordingDevice::Open();
}

void TAppsRecordingDevice::Close() {
  TDirectSoundRecordingDevice::Close();
  lease.reset();
}

#include "devices/DirectSoundDevices.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

constexpr int SlotCount = TEventSet::Count;
constexpr uint32_t InvalidCall = 0x88780032u; // a call on a ring that is not held

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

// Waits for any slot; a failed stream or server wakes the wait and raises under `call`.
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

void TDirectSoundPlaybackDevice::Open() {
  Close();
  TAudioDevice::Open();
  ringSize = SlotCount * buffer.Bytes();
  writePosition = -1;
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
  // A waiter left on a closed ring would never be signalled again.
  if (held) {
    events.Fail(InvalidCall, "closed");
  }
}

void TDirectSoundPlaybackDevice::Start() {
  if (!soundBuffer) {
    RaiseResultError(InvalidCall, __LINE__, "IDirectSoundBuffer::Lock");
  }
  TSoundLockedRegions regions;
  Check(soundBuffer->Lock(0, 0, SoundLockEntireBuffer, regions), __LINE__, "IDirectSoundBuffer::Lock");
  if (regions.Region1) {
    std::memset(regions.Region1, buffer.Format().wBitsPerSample == 8 ? 128 : 0, regions.Bytes1);
  }
  Check(soundBuffer->Unlock(regions), __LINE__, "IDirectSoundBuffer::Unlock");
  Check(soundBuffer->Play(SoundPlayLooping), __LINE__, "IDirectSoundBuffer::Play");
}

void TDirectSoundPlaybackDevice::Stop() {
  if (!soundBuffer) {
    RaiseResultError(InvalidCall, __LINE__, "IDirectSoundBuffer::Stop");
  }
  Check(soundBuffer->Stop(), __LINE__, "IDirectSoundBuffer::Stop");
  writePosition = -1;
  Check(soundBuffer->SetCurrentPosition(0), __LINE__, "IDirectSoundBuffer::SetCurrentPosition");
}

void TDirectSoundPlaybackDevice::Write() {
  if (!soundBuffer) {
    RaiseResultError(InvalidCall, __LINE__, "IDirectSoundBuffer::Lock");
  }
  // Any played slot will do: the notifications only pace the writes.
  WaitForSlot(events, __LINE__, "IDirectSoundBuffer::Play");

  const int32_t blockBytes = buffer.Bytes();
  uint32_t status = 0;
  Check(soundBuffer->GetStatus(status), __LINE__, "IDirectSoundBuffer::GetStatus");
  bool restart = false;
  if (status & SoundStatusBufferLost) {
    Check(soundBuffer->Restore(), __LINE__, "IDirectSoundBuffer::Restore");
    writePosition = 0;
    restart = true;
  } else if (writePosition < 0) {
    uint32_t playCursor = 0;
    uint32_t writeCursor = 0;
    Check(soundBuffer->GetCurrentPosition(playCursor, writeCursor), __LINE__,
          "IDirectSoundBuffer::GetCurrentPosition");
    // Two blocks ahead of the write cursor.
    writePosition = static_cast<int32_t>((2 * static_cast<uint64_t>(blockBytes) + writeCursor) %
                                         static_cast<uint64_t>(ringSize));
  }

  TSoundLockedRegions regions;
  Check(
      soundBuffer->Lock(static_cast<uint32_t>(writePosition), static_cast<uint32_t>(blockBytes), 0, regions),
      __LINE__, "IDirectSoundBuffer::Lock");
  const uint32_t first = std::min(regions.Bytes1, static_cast<uint32_t>(blockBytes));
  if (regions.Region1) {
    std::memcpy(regions.Region1, buffer.Data(), first);
  }
  if (regions.Region2) {
    std::memcpy(regions.Region2, buffer.Data() + first,
                std::min(regions.Bytes2, static_cast<uint32_t>(blockBytes) - first));
  }
  Check(soundBuffer->Unlock(regions), __LINE__, "IDirectSoundBuffer::Unlock");
  writePosition = (writePosition + blockBytes) % ringSize;

  if (restart) {
    Check(soundBuffer->SetCurrentPosition(0), __LINE__, "IDirectSoundBuffer::SetCurrentPosition");
    Check(soundBuffer->Play(SoundPlayLooping), __LINE__, "IDirectSoundBuffer::Play");
    writePosition = -1;
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
  Close();
  TAudioDevice::Open();
  ringSize = SlotCount * buffer.Bytes();
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
}

void TDirectSoundRecordingDevice::Stop() {
  if (!captureBuffer) {
    RaiseResultError(InvalidCall, __LINE__, "IDirectSoundCaptureBuffer::Stop");
  }
  Check(captureBuffer->Stop(), __LINE__, "IDirectSoundCaptureBuffer::Stop");
}

void TDirectSoundRecordingDevice::Read() {
  if (!captureBuffer) {
    RaiseResultError(InvalidCall, __LINE__, "IDirectSoundCaptureBuffer::Lock");
  }
  // The lowest signalled slot is the one the ring finished first.
  const int k = WaitForSlot(events, __LINE__, "IDirectSoundCaptureBuffer::Start");
  const uint32_t start = k == 0 ? 0 : notifyPositions[k - 1].Offset + 1;
  const uint32_t length = notifyPositions[k].Offset + 1 - start;

  TSoundLockedRegions regions;
  Check(captureBuffer->Lock(start, length, 0, regions), __LINE__, "IDirectSoundCaptureBuffer::Lock");
  if (regions.Region1) {
    std::memcpy(buffer.Data(), regions.Region1,
                std::min(regions.Bytes1, static_cast<uint32_t>(buffer.Bytes())));
    Check(captureBuffer->Unlock(regions), __LINE__, "IDirectSoundCaptureBuffer::Unlock");
  }
}

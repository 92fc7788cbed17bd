// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/FakeSoundServices.h"

#include <algorithm>
#include <utility>

namespace {
constexpr int32_t InvalidArg = static_cast<int32_t>(0x80070057u);
}

struct TFakeSoundServices::TState {
  struct TFailure {
    int32_t Code = SoundFail;
    std::string Text;
    int Times = 0;
  };

  mutable std::mutex mutex;
  std::vector<std::string> calls;
  std::map<std::string, TFailure> failures;
  std::vector<TSoundDeviceInfo> playbackDevices;
  std::vector<TSoundDeviceInfo> captureDevices;
  TFakeRing playback;
  TFakeRing capture;

  // Records the call (mutex held) and returns the scripted failure when one is due.
  TSoundResult Call(const std::string& name, const std::string& args = {}) {
    calls.push_back(args.empty() ? name : name + " " + args);
    const auto it = failures.find(name);
    if (it != failures.end() && it->second.Times > 0) {
      --it->second.Times;
      return {it->second.Code, it->second.Text};
    }
    return TSoundResult::Ok();
  }
};

namespace {

using TState = TFakeSoundServices::TState;

// Lock, Unlock and the notifications, shared by both ring directions.
template <class TBase> class TFakeRingBase : public TBase {
public:
  TFakeRingBase(std::shared_ptr<TState> state, TFakeRing TState::*side)
      : state(std::move(state)), side(side) {}
  ~TFakeRingBase() override {
    const std::lock_guard lock(state->mutex);
    state->calls.push_back("Release");
    Ring().Events = nullptr;
    Ring().Cursor.SetNotifications(Ring().Positions, nullptr);
    Ring().Running = false;
  }

  TSoundResult QueryNotify() override {
    const std::lock_guard lock(state->mutex);
    return state->Call("QueryInterface");
  }

  TSoundResult SetNotificationPositions(const TSoundNotifyPositions& positions, TEventSet& events) override {
    const std::lock_guard lock(state->mutex);
    std::string args;
    for (const TSoundNotifyPosition& p : positions) {
      args += (args.empty() ? "" : " ") + std::to_string(p.Offset);
    }
    TSoundResult result = state->Call("SetNotificationPositions", args);
    if (!result.Failed()) {
      Ring().Positions = positions;
      Ring().Events = &events;
      Ring().Cursor.SetNotifications(positions, &events);
    }
    return result;
  }

  TSoundResult Lock(uint32_t offset, uint32_t bytes, uint32_t flags, TSoundLockedRegions& regions) override {
    const std::lock_guard lock(state->mutex);
    TSoundResult result = state->Call("Lock", std::to_string(offset) + " " + std::to_string(bytes) + " " +
                                                  std::to_string(flags));
    if (result.Failed()) {
      return result;
    }
    std::vector<uint8_t>& memory = Ring().Memory;
    const auto size = static_cast<uint32_t>(memory.size());
    if (flags & SoundLockEntireBuffer) {
      offset = 0;
      bytes = size;
    }
    if (offset >= size || bytes == 0 || bytes > size) {
      return {InvalidArg, "lock range outside the ring"};
    }
    regions = {};
    regions.Region1 = memory.data() + offset;
    regions.Bytes1 = std::min(bytes, size - offset);
    if (bytes > regions.Bytes1) {
      regions.Region2 = memory.data();
      regions.Bytes2 = bytes - regions.Bytes1;
    }
    return result;
  }

  TSoundResult Unlock(const TSoundLockedRegions& regions) override {
    const std::lock_guard lock(state->mutex);
    return state->Call("Unlock", std::to_string(regions.Bytes1) + " " + std::to_string(regions.Bytes2));
  }

  TSoundResult GetCurrentPosition(TSoundCursors& cursors) override {
    const std::lock_guard lock(state->mutex);
    TSoundResult result = state->Call("GetCurrentPosition");
    if (!result.Failed()) {
      cursors.Write = Ring().Cursor.Position();
      cursors.Play = cursors.Write - std::min(Ring().HeldBytes, cursors.Write);
      cursors.Dropouts = Ring().Cursor.Dropouts();
      cursors.Request = Ring().RequestBytes;
    }
    return result;
  }

protected:
  TFakeRing& Ring() { return (*state).*side; }

  std::shared_ptr<TState> state;
  TFakeRing TState::*side;
};

class TFakePlaybackRing : public TFakeRingBase<TSoundPlaybackRing> {
public:
  using TFakeRingBase::TFakeRingBase;

  TSoundResult GetStatus(uint32_t& status) override {
    const std::lock_guard lock(state->mutex);
    TSoundResult result = state->Call("GetStatus");
    if (!result.Failed()) {
      status = (Ring().Running ? SoundStatusPlaying : 0u) |
               (Ring().Running && Ring().Looping ? SoundStatusLooping : 0u) |
               (Ring().Lost ? SoundStatusBufferLost : 0u) |
               (Ring().Draining && (!Ring().Running || Ring().Cursor.HandedAll()) ? SoundStatusDrained : 0u);
    }
    return result;
  }

  TSoundResult Restore() override {
    const std::lock_guard lock(state->mutex);
    TSoundResult result = state->Call("Restore");
    if (!result.Failed()) {
      Ring().Lost = false;
    }
    return result;
  }

  TSoundResult Play(uint32_t flags) override {
    const std::lock_guard lock(state->mutex);
    TSoundResult result = state->Call("Play", std::to_string(flags));
    if (!result.Failed()) {
      Ring().Running = true;
      Ring().Looping = (flags & SoundPlayLooping) != 0;
      EndDrain();
    }
    return result;
  }

  TSoundResult Stop() override {
    const std::lock_guard lock(state->mutex);
    TSoundResult result = state->Call("Stop");
    if (!result.Failed()) {
      Ring().Running = false;
      EndDrain();
    }
    return result;
  }

  TSoundResult SetCurrentPosition(uint32_t offset) override {
    const std::lock_guard lock(state->mutex);
    TSoundResult result = state->Call("SetCurrentPosition", std::to_string(offset));
    if (!result.Failed()) {
      Ring().CurrentPosition = offset;
      Ring().Cursor.Rewind(offset);
    }
    return result;
  }

  TSoundResult Commit(uint64_t begin, uint64_t end) override {
    const std::lock_guard lock(state->mutex);
    TSoundResult result = state->Call("Commit", std::to_string(begin) + " " + std::to_string(end));
    if (!result.Failed()) {
      EndDrain();
      Ring().Cursor.Commit(begin, end);
    }
    return result;
  }

  TSoundResult BeginDrain() override {
    const std::lock_guard lock(state->mutex);
    TSoundResult result = state->Call("BeginDrain");
    if (!result.Failed()) {
      Ring().Draining = true;
      Ring().Cursor.EndAtWritten();
    }
    return result;
  }

private:
  void EndDrain() {
    Ring().Draining = false;
    Ring().Cursor.ClearEnd();
  }
};

class TFakeCaptureRing : public TFakeRingBase<TSoundCaptureRing> {
public:
  using TFakeRingBase::TFakeRingBase;

  TSoundResult Start(uint32_t flags) override {
    const std::lock_guard lock(state->mutex);
    TSoundResult result = state->Call("Start", std::to_string(flags));
    if (!result.Failed()) {
      Ring().Running = true;
      Ring().Looping = (flags & SoundPlayLooping) != 0;
    }
    return result;
  }

  TSoundResult Stop() override {
    const std::lock_guard lock(state->mutex);
    TSoundResult result = state->Call("Stop");
    if (!result.Failed()) {
      Ring().Running = false;
    }
    return result;
  }
};

// A new ring's bytes hold 0x55, so that a test sees what the device wrote.
void CreateRingState(TFakeRing& ring, uint32_t ringBytes, const TWaveFormat& format, uint32_t flags) {
  ring = TFakeRing{};
  ring.Created = true;
  ring.Memory.assign(ringBytes, 0x55);
  ring.Format = format;
  ring.Flags = flags;
  ring.Cursor = TRingCursor(ringBytes, format.wBitsPerSample == 8 ? 128 : 0);
}

class TFakePlayback : public TSoundPlayback {
public:
  explicit TFakePlayback(std::shared_ptr<TState> state) : state(std::move(state)) {}

  TSoundResult SetCooperativeLevel(uint32_t level) override {
    const std::lock_guard lock(state->mutex);
    return state->Call("SetCooperativeLevel", std::to_string(level));
  }

  TSoundResult CreateRing(uint32_t ringBytes, const TWaveFormat& format, uint32_t flags,
                          std::unique_ptr<TSoundPlaybackRing>& ring) override {
    {
      const std::lock_guard lock(state->mutex);
      TSoundResult result =
          state->Call("CreateSoundBuffer", std::to_string(ringBytes) + " " + std::to_string(flags));
      if (result.Failed()) {
        return result;
      }
      CreateRingState(state->playback, ringBytes, format, flags);
    }
    ring = std::make_unique<TFakePlaybackRing>(state, &TState::playback);
    return TSoundResult::Ok();
  }

private:
  std::shared_ptr<TState> state;
};

class TFakeCapture : public TSoundCapture {
public:
  explicit TFakeCapture(std::shared_ptr<TState> state) : state(std::move(state)) {}

  TSoundResult CreateRing(uint32_t ringBytes, const TWaveFormat& format,
                          std::unique_ptr<TSoundCaptureRing>& ring) override {
    {
      const std::lock_guard lock(state->mutex);
      TSoundResult result = state->Call("CreateCaptureBuffer", std::to_string(ringBytes));
      if (result.Failed()) {
        return result;
      }
      CreateRingState(state->capture, ringBytes, format, 0);
    }
    ring = std::make_unique<TFakeCaptureRing>(state, &TState::capture);
    return TSoundResult::Ok();
  }

private:
  std::shared_ptr<TState> state;
};

void Notify(TState& state, TFakeRing& ring, std::initializer_list<int> slots) {
  const std::lock_guard lock(state.mutex);
  if (!ring.Events) {
    return;
  }
  for (const int slot : slots) {
    ring.Events->Signal(ring.Positions[slot].EventIndex);
  }
}

} // namespace

TFakeSoundServices::TFakeSoundServices() : state(std::make_shared<TState>()) {}

void TFakeSoundServices::SetPlaybackDevices(std::vector<TSoundDeviceInfo> devices) {
  const std::lock_guard lock(state->mutex);
  state->playbackDevices = std::move(devices);
}

void TFakeSoundServices::SetCaptureDevices(std::vector<TSoundDeviceInfo> devices) {
  const std::lock_guard lock(state->mutex);
  state->captureDevices = std::move(devices);
}

void TFakeSoundServices::SetCursors(uint64_t playCursor, uint64_t writeCursor) {
  const std::lock_guard lock(state->mutex);
  state->playback.Cursor.MoveTo(writeCursor);
  state->playback.HeldBytes = writeCursor - std::min(playCursor, writeCursor);
}

void TFakeSoundServices::SetRequest(uint64_t bytes) {
  const std::lock_guard lock(state->mutex);
  state->playback.RequestBytes = bytes;
}

void TFakeSoundServices::SetWriteCursor(uint64_t writeCursor) {
  const std::lock_guard lock(state->mutex);
  state->playback.Cursor.MoveTo(writeCursor);
}

std::vector<uint8_t> TFakeSoundServices::PlayOut(uint64_t bytes) {
  const std::lock_guard lock(state->mutex);
  TFakeRing& ring = state->playback;
  std::vector<uint8_t> played;
  if (!ring.Created || !ring.Running) {
    return played;
  }
  ring.Cursor.Play(ring.Memory.data(), bytes, [&](const uint8_t* data, uint32_t count) {
    played.insert(played.end(), data, data + count);
  });
  ring.Heard.insert(ring.Heard.end(), played.begin(), played.end());
  return played;
}

void TFakeSoundServices::ReportUnderflow() {
  const std::lock_guard lock(state->mutex);
  state->playback.Cursor.CountDropout();
}

void TFakeSoundServices::CaptureBytes(const std::vector<uint8_t>& bytes) {
  const std::lock_guard lock(state->mutex);
  TFakeRing& ring = state->capture;
  if (ring.Created) {
    ring.Cursor.Capture(ring.Memory.data(), bytes.data(), bytes.size());
  }
}

void TFakeSoundServices::ReportLost() {
  const std::lock_guard lock(state->mutex);
  state->playback.Lost = true;
}

void TFakeSoundServices::FailCall(const std::string& call, int32_t code, const std::string& text, int times) {
  const std::lock_guard lock(state->mutex);
  state->failures[call] = {code, text, times};
}

void TFakeSoundServices::NotifyPlayback(std::initializer_list<int> slots) {
  Notify(*state, state->playback, slots);
}

void TFakeSoundServices::NotifyCapture(std::initializer_list<int> slots) {
  Notify(*state, state->capture, slots);
}

void TFakeSoundServices::FailPlaybackEvents(uint32_t code, const std::string& text) {
  const std::lock_guard lock(state->mutex);
  if (state->playback.Events) {
    state->playback.Events->Fail(code, text);
  }
}

void TFakeSoundServices::FailCaptureEvents(uint32_t code, const std::string& text) {
  const std::lock_guard lock(state->mutex);
  if (state->capture.Events) {
    state->capture.Events->Fail(code, text);
  }
}

std::vector<std::string> TFakeSoundServices::Calls() const {
  const std::lock_guard lock(state->mutex);
  return state->calls;
}

std::vector<std::string> TFakeSoundServices::CallsStartingWith(const std::string& prefix) const {
  const std::lock_guard lock(state->mutex);
  std::vector<std::string> found;
  for (const std::string& call : state->calls) {
    if (call.rfind(prefix, 0) == 0) {
      found.push_back(call);
    }
  }
  return found;
}

void TFakeSoundServices::ClearCalls() {
  const std::lock_guard lock(state->mutex);
  state->calls.clear();
}

TFakeRing TFakeSoundServices::PlaybackRing() const {
  const std::lock_guard lock(state->mutex);
  return state->playback;
}

TFakeRing TFakeSoundServices::CaptureRing() const {
  const std::lock_guard lock(state->mutex);
  return state->capture;
}

std::vector<uint8_t>& TFakeSoundServices::PlaybackMemory() {
  return state->playback.Memory;
}

std::vector<uint8_t>& TFakeSoundServices::CaptureMemory() {
  return state->capture.Memory;
}

std::vector<TSoundDeviceInfo> TFakeSoundServices::EnumeratePlayback() {
  const std::lock_guard lock(state->mutex);
  state->Call("EnumeratePlayback");
  return state->playbackDevices;
}

std::vector<TSoundDeviceInfo> TFakeSoundServices::EnumerateCapture() {
  const std::lock_guard lock(state->mutex);
  state->Call("EnumerateCapture");
  return state->captureDevices;
}

TSoundResult TFakeSoundServices::CheckServer() {
  const std::lock_guard lock(state->mutex);
  return state->Call("CheckServer");
}

TSoundResult TFakeSoundServices::CreatePlayback(const std::optional<std::string>& deviceId,
                                                std::unique_ptr<TSoundPlayback>& playback) {
  {
    const std::lock_guard lock(state->mutex);
    TSoundResult result = state->Call("DirectSoundCreate", deviceId.value_or("none"));
    if (result.Failed()) {
      return result;
    }
  }
  playback = std::make_unique<TFakePlayback>(state);
  return TSoundResult::Ok();
}

TSoundResult TFakeSoundServices::CreateCapture(const std::optional<std::string>& deviceId,
                                               std::unique_ptr<TSoundCapture>& capture) {
  {
    const std::lock_guard lock(state->mutex);
    TSoundResult result = state->Call("DirectSoundCaptureCreate", deviceId.value_or("none"));
    if (result.Failed()) {
      return result;
    }
  }
  capture = std::make_unique<TFakeCapture>(state);
  return TSoundResult::Ok();
}

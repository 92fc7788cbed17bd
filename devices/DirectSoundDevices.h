#pragma once
// Ring devices: a looping ring of 16 blocks on the sound services, one notification per slot.
//
// Playback (kind 0): Start silences the ring and plays it looping; each Write waits for any slot
// notification, then writes its block two blocks ahead of the write cursor after a start or a
// restore, else right after the previous block. Capture (kind 3): each Read waits for the lowest
// signalled slot and copies that slot.
//
// Threads: Read/Write on the worker; Open, Close on the window thread; Start/Stop on either,
// possibly while the worker waits on the events. The services' thread signals the events and
// fails them when the stream or the server fails, which wakes the waiter with a TDSPException.

#include "devices/VirtDevs.h"
#include "devices/platform/SoundServices.h"

#include <memory>
#include <optional>
#include <string>

class TDirectSoundPlaybackDevice : public TPlaybackDevice {
public:
  TDirectSoundPlaybackDevice(std::shared_ptr<TSoundServices> services, std::optional<std::string> deviceId);
  ~TDirectSoundPlaybackDevice() override;

  void Open() override;
  void Close() override;
  void Start() override;
  void Stop() override;
  void Write() override;

  const std::optional<std::string>& DeviceId() const { return deviceId; }
  int32_t WritePosition() const { return writePosition; }
  int32_t RingSize() const { return ringSize; }

private:
  std::shared_ptr<TSoundServices> services;
  std::optional<std::string> deviceId;
  std::unique_ptr<TSoundPlayback> sound;
  std::unique_ptr<TSoundPlaybackRing> soundBuffer;
  int32_t writePosition = -1; // -1: the next Write takes it from the write cursor
  int32_t ringSize = 0;
};

class TDirectSoundRecordingDevice : public TRecordingDevice {
public:
  TDirectSoundRecordingDevice(std::shared_ptr<TSoundServices> services, std::optional<std::string> deviceId);
  ~TDirectSoundRecordingDevice() override;

  void Open() override;
  void Close() override;
  void Start() override;
  void Stop() override;
  void Read() override;

  const std::optional<std::string>& DeviceId() const { return deviceId; }
  int32_t RingSize() const { return ringSize; }
  const TSoundNotifyPositions& NotifyPositions() const { return notifyPositions; }

private:
  std::shared_ptr<TSoundServices> services;
  std::optional<std::string> deviceId;
  std::unique_ptr<TSoundCapture> capture;
  std::unique_ptr<TSoundCaptureRing> captureBuffer;
  TSoundNotifyPositions notifyPositions{};
  int32_t ringSize = 0;
};

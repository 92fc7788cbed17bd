// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Ring devices: a looping ring of 16 blocks on the sound services, one notification per slot.
//
// Positions are counted unwrapped, in bytes since the ring was created or rewound.
//
// Playback (kind 0): Start silences the ring and plays it looping; each Write waits for any slot
// notification, then writes its block two blocks ahead of the write cursor after a start, a restore
// or a dropout (the write cursor had reached the end of what was written), else right after the
// previous block, never more than three blocks ahead of the write cursor. Where the server asks for
// more than a block at once (small blocks), the lead is two such requests and a block, and at most a
// block more; beside blocks of under 50 ms, each run past what was written adds a block to the lead,
// up to three quarters of the ring. A short block is followed by silence to the end of its slot. The ring
// plays silence where nothing was written, and counts each run past what was written as a dropout. Drain
// plays out what was written, then the stream. A stopped ring refuses its writer: a Write waiting for a slot,
// or made while stopped, returns without writing (the ring is silenced when it starts again). Capture (kind
// 3): each Read waits for the next slot in ring order; a worker that fell a whole ring behind resynchronises
// to the newest whole block, counts a dropout and reports the frames skipped. A stopped capture wakes its
// reader: a Read that finds no whole block returns an empty one (no frames).
//
// Threads: Read/Write/Drain on the worker; Open, Close on the window thread; Start/Stop on either,
// possibly while the worker waits on the events. Dropouts on any thread. The services' thread
// signals the events and fails them when the stream or the server fails, which wakes the waiter
// with a TDSPException.

#include "devices/VirtDevs.h"
#include "devices/platform/SoundServices.h"

#include <atomic>
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
  bool Drain(const std::atomic<bool>& cancel) override;
  uint64_t Dropouts() const override { return dropouts.load(); }
  uint32_t ServerBufferGrowthMs() const override;

  const std::optional<std::string>& DeviceId() const { return deviceId; }
  // The offset in the ring where the next block goes; -1 when the next Write takes it from the write
  // cursor.
  int32_t WritePosition() const;
  int32_t RingSize() const { return ringSize; }

private:
  // Waits for any slot notification; a failed stream or server raises. False when the device is
  // stopped.
  bool WaitForPlayedSlot();
  void SilenceRing();

  std::shared_ptr<TSoundServices> services;
  std::optional<std::string> deviceId;
  std::unique_ptr<TSoundPlayback> sound;
  std::unique_ptr<TSoundPlaybackRing> soundBuffer;
  // Stop on the window thread may meet a Write under way on the worker: the flags are atomic.
  std::atomic<bool> synchronised{false}; // false: the next Write takes its place from the write cursor
  uint64_t writeOffset = 0;              // where the next block goes, when synchronised
  uint64_t committedEnd = 0;             // the end of the last block written
  std::atomic<bool> playing{false};      // started and not stopped since
  std::atomic<bool> written{false};      // a block was committed since the start
  int32_t ringSize = 0;
  int32_t slotBytes = 0;       // one block as Open sized it
  uint64_t extraLeadSlots = 0; // grown after runs past what was written, beside small blocks (worker)
  std::atomic<uint64_t> dropouts{0};
  std::atomic<uint64_t> heldGrowth{0}; // bytes, as the ring last reported
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
  int64_t LostFramesBeforeBlock() const override { return lostFrames; }
  uint64_t Dropouts() const override { return dropouts.load(); }

  const std::optional<std::string>& DeviceId() const { return deviceId; }
  int32_t RingSize() const { return ringSize; }
  const TSoundNotifyPositions& NotifyPositions() const { return notifyPositions; }

private:
  TSoundCursors Cursors();

  std::shared_ptr<TSoundServices> services;
  std::optional<std::string> deviceId;
  std::unique_ptr<TSoundCapture> capture;
  std::unique_ptr<TSoundCaptureRing> captureBuffer;
  TSoundNotifyPositions notifyPositions{};
  int32_t ringSize = 0;
  uint64_t readOffset = 0; // the first byte of the next block to read
  uint64_t overruns = 0;   // times the worker fell a whole ring behind
  int64_t lostFrames = 0;  // skipped by the last Read's resynchronisations
  std::atomic<uint64_t> dropouts{0};
};

// "Звук приложений": the capture of the desktop's virtual sink's monitor (SoundServices.h). Open makes
// or shares the sink, in the device's format and with its description, before the capture opens;
// Close gives it up after the capture closed, which gives back the default it borrowed. Stop and
// Start (Pause) keep it. Failures raise as the capture's own: "DirectSoundCaptureCreate (...)".
class TAppsRecordingDevice : public TDirectSoundRecordingDevice {
public:
  static constexpr const char* DefaultDescription = "Sonolab";
  static constexpr int AppsDefaultFormat = 31; // 44100 Hz, 16 bits, stereo: the format of a new object

  explicit TAppsRecordingDevice(std::shared_ptr<TSoundServices> services);
  ~TAppsRecordingDevice() override;

  void Open() override;
  void Close() override;

  // Before Open: the name the sound settings show, and whether the sink becomes the default.
  void SetDescription(std::string text) { description = std::move(text); }
  const std::string& Description() const { return description; }
  void SetMakeDefault(bool on) { makeDefault = on; }
  bool MakeDefault() const { return makeDefault; }

private:
  std::shared_ptr<TSoundServices> services;
  std::string description = DefaultDescription;
  bool makeDefault = true;
  std::unique_ptr<TAppsSinkLease> lease;
};

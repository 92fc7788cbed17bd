// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Wave-audio devices on ALSA, numbered as WaveOutDeviceNames / WaveInDeviceNames list them.
//
// Playback (kind 1): Write queues a copy of the block (which may be short) and returns at once while
// fewer than MaxQueuedBlocks wait, else when one has gone to the PCM, so that a file input plays at
// the device's pace instead of piling up in memory; a paused queue takes it without waiting. A drain
// thread writes the queue to the PCM in order and releases each record when it has been written (one
// completion per block). Stop pauses the drain, Start resumes it, Close drops and releases what is
// pending. Drain waits until the queue and the PCM have played out, for as long as the PCM keeps
// moving. Dropouts counts the underruns of a running, unpaused PCM.
// Capture (kind 4): a capture thread fills whole blocks into a queue of 16; Read takes the oldest
// and blocks until one is complete. Stop and Start pause and resume capture; a Read on a stopped
// device that finds no block returns an empty one (no frames). A failure, or Close, wakes Read with
// a TDSPException. Dropouts counts overruns and blocks lost to a full queue, and each block carries
// the frames lost just before it (an overrun's are reckoned by the clock).
//
// Threads: Write/Read on the worker; Open, Close on the window thread; Start/Stop on either. The
// device's own thread touches the PCM; one mutex guards the queue and the flags.

#include "devices/VirtDevs.h"
#include "devices/platform/AlsaWaveAudio.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Product names by device number: the "default" PCM first, then each card's PCM devices.
std::vector<std::string> WaveOutDeviceNames();
std::vector<std::string> WaveInDeviceNames();

class TWAVEAudioPlaybackDevice : public TPlaybackDevice {
public:
  static constexpr size_t MaxQueuedBlocks = 16;

  explicit TWAVEAudioPlaybackDevice(uint32_t deviceNumber);
  ~TWAVEAudioPlaybackDevice() override;

  void Open() override;
  void Close() override;
  void Start() override;
  void Stop() override;
  void Write() override;
  // Waits until every block written has been played by the PCM, however long that takes while the
  // PCM keeps taking or playing sound; true once played out, false when cancelled or when the PCM
  // has not moved for seconds. A stopped or closed device returns true at once.
  bool Drain(const std::atomic<bool>& cancel) override;
  uint64_t Dropouts() const override { return pcm.Xruns(); }

  uint32_t DeviceNumber() const { return deviceNumber; }

  // A released record: its place in the order of Write, and whether it reached the PCM whole (false
  // for a record dropped by Close).
  struct TCompletion {
    uint64_t Sequence = 0;
    bool Played = false;
  };
  // Called on the drain thread (or in Close) once per record; set before Open.
  void SetCompletionHook(std::function<void(const TCompletion&)> hook) { completionHook = std::move(hook); }

private:
  struct TQueuedBlock {
    uint64_t Sequence = 0;
    std::vector<uint8_t> Bytes;
  };

  void DrainQueue();
  // On the drain thread: waits until the PCM has played what it holds (true), or the play-out is
  // called off, the device paused or closed (false).
  bool PlayOut();
  void Release(std::unique_ptr<TQueuedBlock> block, bool played);

  const uint32_t deviceNumber;
  TAlsaPcm pcm;
  std::thread drainer;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::unique_ptr<TQueuedBlock>> queue; // guarded by mutex
  size_t queuedBytes = 0;                          // guarded by mutex
  bool paused = false;                             // guarded by mutex
  bool closing = false;                            // guarded by mutex
  bool writing = false;                            // a block is on its way to the PCM; guarded by mutex
  bool restartClean = true;      // the PCM may have run dry on purpose (open, pause, drain); guarded by mutex
  bool playOutWanted = false;    // guarded by mutex
  bool playOutCalledOff = false; // guarded by mutex
  bool playedOut = false;        // guarded by mutex
  uint64_t nextSequence = 0;     // worker only
  std::atomic<uint64_t> progress{0}; // counts the PCM's moves: frames taken, or fewer left to play
  std::function<void(const TCompletion&)> completionHook;
};

class TWAVEAudioRecordingDevice : public TRecordingDevice {
public:
  explicit TWAVEAudioRecordingDevice(uint32_t deviceNumber);
  ~TWAVEAudioRecordingDevice() override;

  void Open() override;
  void Close() override;
  void Start() override;
  void Stop() override;
  void Read() override;
  int64_t LostFramesBeforeBlock() const override { return lostFrames; }
  uint64_t Dropouts() const override { return pcm.Xruns() + lostBlocks.load(std::memory_order_relaxed); }

  uint32_t DeviceNumber() const { return deviceNumber; }

  static constexpr int QueueBlocks = 16;

private:
  void Capture();
  void FailLocked(int32_t code, const std::string& operation);

  const uint32_t deviceNumber;
  TAlsaPcm pcm;
  std::thread capturer;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<uint8_t> blocks;                   // QueueBlocks whole blocks, a ring; guarded by mutex
  std::array<int64_t, QueueBlocks> lostBefore{}; // frames lost just before each block; guarded by mutex
  int first = 0;                                 // oldest complete block
  int count = 0;                                 // complete blocks waiting
  bool running = false;
  bool closing = false;
  bool failed = true; // until Open: a Read then fails instead of waiting for ever
  uint32_t failureCode = 0x88780032u;
  std::string failureOperation = "waveInStart (not open)";
  std::atomic<uint64_t> lostBlocks{0}; // blocks a full queue lost
  int64_t lostFrames = 0;              // before the block the last Read delivered; worker only
};

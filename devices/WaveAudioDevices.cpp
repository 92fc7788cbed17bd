// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/WaveAudioDevices.h"

#include "devices/platform/RealtimeScheduling.h"
#include "dsp/ThreadName.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <utility>

namespace {

constexpr uint32_t PcmLatencyUs = 100000; // what the PCM buffers
constexpr int PcmPeriods = 4;             // the periods ALSA makes of it
constexpr double CaptureSlackSeconds = 0.002;
constexpr int PcmWaitMs = 50; // how long the device thread waits before it checks its flags
constexpr int PollMs = 10;    // how often a play-out looks at the PCM and the flags
// A drain gives up on a PCM that has neither taken nor played a frame for this long (a server gone);
// a healthy one moves every period, and an idle server's drain may take a second or two to answer.
constexpr auto StallLimit = std::chrono::seconds(5);
constexpr uint32_t InvalidCall = 0x88780032u;

std::vector<std::string> NamesOf(const std::vector<TAlsaDevice>& devices) {
  std::vector<std::string> names;
  names.reserve(devices.size());
  for (const TAlsaDevice& d : devices) {
    names.push_back(d.Name);
  }
  return names;
}

// What the PCM of a device with this block buffers: PcmLatencyUs, but never more than the queue's 16
// blocks, so that a period (a quarter of it, what a sound server hands over at once) fits the queue
// beside small blocks.
uint32_t PcmLatencyFor(const TAudioBuffer& block) {
  const uint64_t rate = std::max<uint32_t>(block.Format().nSamplesPerSec, 1);
  const uint64_t queueUs =
      TWAVEAudioRecordingDevice::QueueBlocks * static_cast<uint64_t>(block.CapacityFrames()) * 1000000 / rate;
  return static_cast<uint32_t>(std::min<uint64_t>(PcmLatencyUs, queueUs));
}

// Opens device `number` of the direction for the block buffer's format, raising under `call`
// ("waveOutOpen", "waveInOpen").
void OpenPcm(TAlsaPcm& pcm, TAlsaDirection direction, uint32_t number, const TAudioBuffer& block,
             int32_t line, const char* call) {
  const TWaveFormat& format = block.Format();
  const std::vector<TAlsaDevice> devices = AlsaDevices(direction);
  TSoundResult result;
  if (number >= devices.size()) {
    result = {SoundNoDriver, TAlsaPcm::ErrorText("snd_pcm_open", -ENODEV)};
  } else {
    result = pcm.Open(devices[number].Pcm, direction, format, PcmLatencyFor(block));
  }
  if (result.Failed()) {
    RaiseResultError(static_cast<uint32_t>(result.Code), line, std::string(call) + " (" + result.Text + ")");
  }
}

} // namespace

std::vector<std::string> WaveOutDeviceNames() {
  return NamesOf(AlsaDevices(TAlsaDirection::Playback));
}

std::vector<std::string> WaveInDeviceNames() {
  return NamesOf(AlsaDevices(TAlsaDirection::Capture));
}

// ---- Playback ----------------------------------------------------------------------------------

TWAVEAudioPlaybackDevice::TWAVEAudioPlaybackDevice(uint32_t deviceNumber)
    : TPlaybackDevice(dkWaveAudioPlayback), deviceNumber(deviceNumber) {}

TWAVEAudioPlaybackDevice::~TWAVEAudioPlaybackDevice() {
  Close();
}

void TWAVEAudioPlaybackDevice::Open() {
  Close();
  TAudioDevice::Open();
  OpenPcm(pcm, TAlsaDirection::Playback, deviceNumber, buffer, __LINE__, "waveOutOpen");
  {
    const std::lock_guard lock(mutex);
    closing = false;
    paused = false;
    writing = false;
    restartClean = true;
    playOutWanted = false;
    playOutCalledOff = false;
    playedOut = false;
  }
  // An open device plays what is queued at once.
  drainer = std::thread(&TWAVEAudioPlaybackDevice::DrainQueue, this);
}

void TWAVEAudioPlaybackDevice::Close() {
  if (drainer.joinable()) {
    {
      const std::lock_guard lock(mutex);
      closing = true;
    }
    changed.notify_all();
    drainer.join();
  }
  // The reset: what is still queued is released unplayed.
  std::deque<std::unique_ptr<TQueuedBlock>> pending;
  {
    const std::lock_guard lock(mutex);
    pending.swap(queue);
    queuedBytes = 0;
  }
  for (std::unique_ptr<TQueuedBlock>& block : pending) {
    Release(std::move(block), false);
  }
  pcm.Close();
}

void TWAVEAudioPlaybackDevice::Start() {
  {
    const std::lock_guard lock(mutex);
    if (paused) {
      restartClean = true; // the PCM ran dry during the pause, not for want of a block
    }
    paused = false;
  }
  changed.notify_all();
}

void TWAVEAudioPlaybackDevice::Stop() {
  {
    const std::lock_guard lock(mutex);
    paused = true;
  }
  changed.notify_all();
}

void TWAVEAudioPlaybackDevice::Write() {
  if (!drainer.joinable()) {
    RaiseResultError(InvalidCall, __LINE__, "waveOutWrite (not open)");
  }
  auto block = std::make_unique<TQueuedBlock>();
  block->Sequence = nextSequence++;
  block->Bytes.assign(buffer.Data(), buffer.Data() + buffer.Bytes());
  {
    std::unique_lock lock(mutex);
    // A full queue waits for the PCM: a file input then plays at the device's pace. A paused queue
    // takes the block without waiting, since nothing leaves it before the next Start.
    changed.wait(lock, [this] { return closing || paused || queue.size() < MaxQueuedBlocks; });
    if (!closing) {
      queuedBytes += block->Bytes.size();
      queue.push_back(std::move(block));
    }
  }
  if (block) {
    Release(std::move(block), false);
  }
  changed.notify_all();
}

bool TWAVEAudioPlaybackDevice::Drain(const std::atomic<bool>& cancel) {
  using Clock = std::chrono::steady_clock;
  if (!drainer.joinable()) {
    return true;
  }
  std::unique_lock lock(mutex);
  if (paused || closing) {
    return true;
  }
  playOutWanted = true;
  playOutCalledOff = false;
  playedOut = false;
  changed.notify_all();
  // No limit on the time the sound takes to play, only on a PCM that stops moving.
  uint64_t seen = progress.load();
  auto moved = Clock::now();
  while (playOutWanted) {
    if (paused || closing) {
      return true;
    }
    const uint64_t now = progress.load();
    if (now != seen) {
      seen = now;
      moved = Clock::now();
    }
    if (cancel.load() || Clock::now() - moved >= StallLimit) {
      playOutCalledOff = true;
      changed.notify_all();
      return false;
    }
    // The cancel flag cannot wake this wait; it is looked at every few milliseconds.
    changed.wait_for(lock, std::chrono::milliseconds(PollMs));
  }
  return playedOut;
}

void TWAVEAudioPlaybackDevice::Release(std::unique_ptr<TQueuedBlock> block, bool played) {
  if (completionHook) {
    completionHook({block->Sequence, played});
  }
}

bool TWAVEAudioPlaybackDevice::PlayOut() {
  long pending = -1;
  for (;;) {
    {
      const std::lock_guard lock(mutex);
      if (closing || paused || playOutCalledOff) {
        return false;
      }
    }
    if (pcm.PlayedOut()) {
      return true;
    }
    // Less left to play than last time: the PCM is moving.
    const long left = pcm.PendingFrames();
    if (left != pending) {
      pending = left;
      progress.fetch_add(1);
    }
    std::unique_lock lock(mutex);
    changed.wait_for(lock, std::chrono::milliseconds(PollMs),
                     [this] { return closing || paused || playOutCalledOff; });
  }
}

void TWAVEAudioPlaybackDevice::DrainQueue() {
  NameThisThread("sonolab-alsaout");
  MakeThreadRealtime();
  const size_t frameBytes = buffer.Format().nBlockAlign;
  for (;;) {
    std::unique_ptr<TQueuedBlock> block;
    bool clean = false;
    {
      std::unique_lock lock(mutex);
      changed.wait(lock, [this] { return closing || (!paused && (!queue.empty() || playOutWanted)); });
      if (closing) {
        return;
      }
      if (queue.empty()) {
        // Everything written has gone to the PCM: wait for it to be heard.
        lock.unlock();
        const bool done = PlayOut();
        lock.lock();
        playedOut = done;
        playOutWanted = false;
        restartClean = true; // the PCM runs dry now on purpose
        changed.notify_all();
        continue;
      }
      block = std::move(queue.front());
      queue.pop_front();
      queuedBytes -= block->Bytes.size();
      writing = true;
      clean = std::exchange(restartClean, false);
    }
    changed.notify_all(); // room in the queue
    if (clean) {
      pcm.PrepareIfRunDry();
    }
    size_t offset = 0;
    bool broken = false;
    while (offset + frameBytes <= block->Bytes.size()) {
      {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return closing || !paused; });
        if (closing) {
          break;
        }
      }
      const long frames =
          pcm.Write(block->Bytes.data() + offset,
                    static_cast<long>((block->Bytes.size() - offset) / frameBytes), PcmWaitMs);
      if (frames < 0) {
        broken = true;
        break;
      }
      if (frames > 0) {
        progress.fetch_add(1);
      }
      offset += static_cast<size_t>(frames) * frameBytes;
    }
    const bool played = offset + frameBytes > block->Bytes.size();
    Release(std::move(block), played);
    {
      const std::lock_guard lock(mutex);
      writing = false;
    }
    changed.notify_all();
    // A PCM that could not recover gets one fresh start before the next block.
    if (broken) {
      pcm.Restart();
    }
  }
}

// ---- Capture -----------------------------------------------------------------------------------

TWAVEAudioRecordingDevice::TWAVEAudioRecordingDevice(uint32_t deviceNumber)
    : TRecordingDevice(dkWaveAudioRecording), deviceNumber(deviceNumber) {}

TWAVEAudioRecordingDevice::~TWAVEAudioRecordingDevice() {
  Close();
}

void TWAVEAudioRecordingDevice::Open() {
  Close();
  TAudioDevice::Open();
  OpenPcm(pcm, TAlsaDirection::Capture, deviceNumber, buffer, __LINE__, "waveInOpen");
  {
    const std::lock_guard lock(mutex);
    blocks.assign(static_cast<size_t>(QueueBlocks) * static_cast<size_t>(buffer.Bytes()), 0);
    first = 0;
    count = 0;
    lostBefore.fill(0);
    lostFrames = 0;
    running = false;
    closing = false;
    failed = false;
    failureCode = 0;
    failureOperation.clear();
  }
  capturer = std::thread(&TWAVEAudioRecordingDevice::Capture, this);
}

void TWAVEAudioRecordingDevice::Close() {
  if (capturer.joinable()) {
    {
      const std::lock_guard lock(mutex);
      closing = true;
    }
    changed.notify_all();
    capturer.join();
    pcm.Close();
    // A Read left on a closed device must not wait for ever.
    const std::lock_guard lock(mutex);
    FailLocked(InvalidCall, "waveInStart (closed)");
  }
}

void TWAVEAudioRecordingDevice::Start() {
  {
    const std::lock_guard lock(mutex);
    running = true;
  }
  changed.notify_all();
}

void TWAVEAudioRecordingDevice::Stop() {
  {
    const std::lock_guard lock(mutex);
    running = false;
  }
  changed.notify_all(); // a Read waiting for a block gets an empty one
}

void TWAVEAudioRecordingDevice::Read() {
  uint32_t code = 0;
  std::string operation;
  {
    std::unique_lock lock(mutex);
    buffer.SetLength(buffer.CapacityFrames()); // after an empty block
    changed.wait(lock, [this] { return count > 0 || failed || !running; });
    if (count == 0 && !failed) {
      buffer.SetLength(0); // stopped: no block until the next Start
      return;
    }
    if (count > 0) {
      const size_t bytes = static_cast<size_t>(buffer.Bytes());
      std::memcpy(buffer.Data(), blocks.data() + static_cast<size_t>(first) * bytes, bytes);
      lostFrames = lostBefore[static_cast<size_t>(first)];
      first = (first + 1) % QueueBlocks;
      --count;
      return;
    }
    code = failureCode;
    operation = failureOperation;
  }
  RaiseResultError(code, __LINE__, operation);
}

void TWAVEAudioRecordingDevice::FailLocked(int32_t code, const std::string& operation) {
  if (!failed) {
    failed = true;
    failureCode = static_cast<uint32_t>(code);
    failureOperation = operation;
  }
  changed.notify_all();
}

void TWAVEAudioRecordingDevice::Capture() {
  using Clock = std::chrono::steady_clock;
  NameThisThread("sonolab-alsa-in");
  MakeThreadRealtime();
  // The whole block's size: the buffer's length is the reader's, which shortens it when stopped.
  const size_t frameBytes = buffer.Format().nBlockAlign;
  const size_t blockBytes = static_cast<size_t>(buffer.CapacityFrames()) * frameBytes;
  const double rate = buffer.Format().nSamplesPerSec;
  std::vector<uint8_t> staging(blockBytes);
  size_t fill = 0;
  bool started = false;
  int64_t lostSinceBlock = 0;                // frames lost since the last whole block was queued
  Clock::time_point lastData = Clock::now(); // when the PCM last delivered
  for (;;) {
    {
      std::unique_lock lock(mutex);
      changed.wait(lock, [this] { return closing || running; });
      if (closing) {
        return;
      }
    }
    if (!started) {
      const int error = pcm.Restart();
      if (error < 0) {
        const std::lock_guard lock(mutex);
        FailLocked(TAlsaPcm::CodeOf(error),
                   "waveInStart (" + TAlsaPcm::ErrorText("snd_pcm_start", error) + ")");
        return;
      }
      started = true;
      fill = 0;
      lastData = Clock::now();
    }
    const uint64_t overruns = pcm.Xruns();
    // No wait on the PCM: a PCM on a sound server keeps its descriptor ready while less than a period
    // has come, and waiting on it would spin; the thread sleeps below instead.
    const long frames =
        pcm.Read(staging.data() + fill, static_cast<long>((blockBytes - fill) / frameBytes), 0);
    if (pcm.Xruns() != overruns) {
      // An overrun drops what the PCM held and what came while it was full: about everything since
      // it last delivered. The part block read before it goes too, so that the loss lies between
      // whole blocks.
      const Clock::time_point now = Clock::now();
      lostSinceBlock += static_cast<int64_t>(fill / frameBytes) +
                        std::llround(std::chrono::duration<double>(now - lastData).count() * rate);
      fill = 0;
      lastData = now;
    } else if (frames > 0) {
      lastData = Clock::now();
    }
    if (frames < 0) {
      const std::lock_guard lock(mutex);
      FailLocked(TAlsaPcm::CodeOf(static_cast<int>(frames)),
                 "waveInStart (" + TAlsaPcm::ErrorText("snd_pcm_readi", static_cast<int>(frames)) + ")");
      return;
    }
    fill += static_cast<size_t>(frames) * frameBytes;
    if (fill < blockBytes) {
      // Let the rest of the block gather, at most a period, before reading again.
      const double missing = static_cast<double>((blockBytes - fill) / frameBytes) / rate;
      std::this_thread::sleep_for(std::chrono::duration<double>(
          std::min(missing + CaptureSlackSeconds, PcmLatencyUs * 1e-6 / PcmPeriods + CaptureSlackSeconds)));
    }
    const std::lock_guard lock(mutex);
    if (fill == blockBytes) {
      // A full queue loses its oldest block: the next oldest now follows a longer gap.
      if (count == QueueBlocks) {
        const int64_t dropped =
            lostBefore[static_cast<size_t>(first)] + static_cast<int64_t>(blockBytes / frameBytes);
        first = (first + 1) % QueueBlocks;
        --count;
        lostBefore[static_cast<size_t>(first)] += dropped;
        lostBlocks.fetch_add(1, std::memory_order_relaxed);
      }
      const int slot = (first + count) % QueueBlocks;
      std::memcpy(blocks.data() + static_cast<size_t>(slot) * blockBytes, staging.data(), blockBytes);
      lostBefore[static_cast<size_t>(slot)] = std::exchange(lostSinceBlock, 0);
      ++count;
      fill = 0;
      changed.notify_all();
    }
    if (!running) {
      pcm.Drop();
      started = false;
    }
  }
}

#include "devices/WaveAudioDevices.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

constexpr uint32_t PcmLatencyUs = 100000; // what the PCM buffers
constexpr int PcmWaitMs = 50;             // how long the device thread waits before it checks its flags
constexpr uint32_t InvalidCall = 0x88780032u;

std::vector<std::string> NamesOf(const std::vector<TAlsaDevice>& devices) {
  std::vector<std::string> names;
  names.reserve(devices.size());
  for (const TAlsaDevice& d : devices) {
    names.push_back(d.Name);
  }
  return names;
}

// Opens device `number` of the direction, raising under `call` ("waveOutOpen", "waveInOpen").
void OpenPcm(TAlsaPcm& pcm, TAlsaDirection direction, uint32_t number, const TWaveFormat& format,
             int32_t line, const char* call) {
  const std::vector<TAlsaDevice> devices = AlsaDevices(direction);
  TSoundResult result;
  if (number >= devices.size()) {
    result = {SoundNoDriver, TAlsaPcm::ErrorText("snd_pcm_open", -ENODEV)};
  } else {
    result = pcm.Open(devices[number].Pcm, direction, format, PcmLatencyUs);
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
  OpenPcm(pcm, TAlsaDirection::Playback, deviceNumber, buffer.Format(), __LINE__, "waveOutOpen");
  {
    const std::lock_guard lock(mutex);
    closing = false;
    paused = false;
  }
  // An open device plays what is queued at once.
  drainer = std::thread(&TWAVEAudioPlaybackDevice::Drain, this);
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
  }
  for (std::unique_ptr<TQueuedBlock>& block : pending) {
    Release(std::move(block), false);
  }
  pcm.Close();
}

void TWAVEAudioPlaybackDevice::Start() {
  {
    const std::lock_guard lock(mutex);
    paused = false;
  }
  changed.notify_all();
}

void TWAVEAudioPlaybackDevice::Stop() {
  const std::lock_guard lock(mutex);
  paused = true;
}

void TWAVEAudioPlaybackDevice::Write() {
  auto block = std::make_unique<TQueuedBlock>();
  block->Sequence = nextSequence++;
  block->Bytes.assign(buffer.Data(), buffer.Data() + buffer.Bytes());
  {
    const std::lock_guard lock(mutex);
    queue.push_back(std::move(block));
  }
  changed.notify_all();
}

void TWAVEAudioPlaybackDevice::Release(std::unique_ptr<TQueuedBlock> block, bool played) {
  if (completionHook) {
    completionHook({block->Sequence, played});
  }
}

void TWAVEAudioPlaybackDevice::Drain() {
  const size_t frameBytes = buffer.Format().nBlockAlign;
  for (;;) {
    std::unique_ptr<TQueuedBlock> block;
    {
      std::unique_lock lock(mutex);
      changed.wait(lock, [this] { return closing || (!paused && !queue.empty()); });
      if (closing) {
        return;
      }
      block = std::move(queue.front());
      queue.pop_front();
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
      offset += static_cast<size_t>(frames) * frameBytes;
    }
    const bool played = offset + frameBytes > block->Bytes.size();
    Release(std::move(block), played);
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
  OpenPcm(pcm, TAlsaDirection::Capture, deviceNumber, buffer.Format(), __LINE__, "waveInOpen");
  {
    const std::lock_guard lock(mutex);
    blocks.assign(static_cast<size_t>(QueueBlocks) * static_cast<size_t>(buffer.Bytes()), 0);
    first = 0;
    count = 0;
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
  const std::lock_guard lock(mutex);
  running = false;
}

void TWAVEAudioRecordingDevice::Read() {
  uint32_t code = 0;
  std::string operation;
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [this] { return count > 0 || failed; });
    if (count > 0) {
      const size_t bytes = static_cast<size_t>(buffer.Bytes());
      std::memcpy(buffer.Data(), blocks.data() + static_cast<size_t>(first) * bytes, bytes);
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
  const size_t blockBytes = static_cast<size_t>(buffer.Bytes());
  const size_t frameBytes = buffer.Format().nBlockAlign;
  std::vector<uint8_t> staging(blockBytes);
  size_t fill = 0;
  bool started = false;
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
    }
    const long frames =
        pcm.Read(staging.data() + fill, static_cast<long>((blockBytes - fill) / frameBytes), PcmWaitMs);
    if (frames < 0) {
      const std::lock_guard lock(mutex);
      FailLocked(TAlsaPcm::CodeOf(static_cast<int>(frames)),
                 "waveInStart (" + TAlsaPcm::ErrorText("snd_pcm_readi", static_cast<int>(frames)) + ")");
      return;
    }
    fill += static_cast<size_t>(frames) * frameBytes;
    const std::lock_guard lock(mutex);
    if (fill == blockBytes) {
      // A full queue loses its oldest block.
      if (count == QueueBlocks) {
        first = (first + 1) % QueueBlocks;
        --count;
      }
      const int slot = (first + count) % QueueBlocks;
      std::memcpy(blocks.data() + static_cast<size_t>(slot) * blockBytes, staging.data(), blockBytes);
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

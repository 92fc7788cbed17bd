// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/platform/AlsaWaveAudio.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

namespace {

// The first line of the "default" PCM's description, or its name.
std::string DefaultPcmName() {
  std::string name = "default";
  void** hints = nullptr;
  if (snd_device_name_hint(-1, "pcm", &hints) < 0) {
    return name;
  }
  for (void** h = hints; *h; ++h) {
    const std::unique_ptr<char, decltype(&std::free)> hintName(snd_device_name_get_hint(*h, "NAME"),
                                                               &std::free);
    if (!hintName || std::string(hintName.get()) != "default") {
      continue;
    }
    const std::unique_ptr<char, decltype(&std::free)> description(snd_device_name_get_hint(*h, "DESC"),
                                                                  &std::free);
    if (description) {
      const std::string text = description.get();
      name = text.substr(0, text.find('\n'));
    }
    break;
  }
  snd_device_name_free_hint(hints);
  return name;
}

} // namespace

std::vector<TAlsaDevice> AlsaDevices(TAlsaDirection direction) {
  std::vector<TAlsaDevice> devices{{DefaultPcmName(), "default"}};
  const snd_pcm_stream_t stream =
      direction == TAlsaDirection::Playback ? SND_PCM_STREAM_PLAYBACK : SND_PCM_STREAM_CAPTURE;
  snd_ctl_card_info_t* cardInfo = nullptr;
  snd_pcm_info_t* pcmInfo = nullptr;
  snd_ctl_card_info_malloc(&cardInfo);
  snd_pcm_info_malloc(&pcmInfo);
  int card = -1;
  while (snd_card_next(&card) == 0 && card >= 0) {
    snd_ctl_t* ctl = nullptr;
    if (snd_ctl_open(&ctl, ("hw:" + std::to_string(card)).c_str(), 0) < 0) {
      continue;
    }
    if (snd_ctl_card_info(ctl, cardInfo) == 0) {
      const std::string cardName = snd_ctl_card_info_get_name(cardInfo);
      std::vector<TAlsaDevice> cardDevices;
      int device = -1;
      while (snd_ctl_pcm_next_device(ctl, &device) == 0 && device >= 0) {
        snd_pcm_info_set_device(pcmInfo, static_cast<unsigned>(device));
        snd_pcm_info_set_subdevice(pcmInfo, 0);
        snd_pcm_info_set_stream(pcmInfo, stream);
        if (snd_ctl_pcm_info(ctl, pcmInfo) < 0) {
          continue; // no PCM of this direction on that device
        }
        cardDevices.push_back({std::string(snd_pcm_info_get_name(pcmInfo)),
                               "plughw:" + std::to_string(card) + "," + std::to_string(device)});
      }
      // One device takes the card's name; several are told apart by their own names.
      for (TAlsaDevice& d : cardDevices) {
        d.Name = cardDevices.size() == 1 ? cardName : cardName + ": " + d.Name;
        devices.push_back(std::move(d));
      }
    }
    snd_ctl_close(ctl);
  }
  snd_pcm_info_free(pcmInfo);
  snd_ctl_card_info_free(cardInfo);
  return devices;
}

TAlsaPcm::~TAlsaPcm() {
  Close();
}

std::string TAlsaPcm::ErrorText(const char* call, int error) {
  return std::string(call) + ": " + snd_strerror(error);
}

int32_t TAlsaPcm::CodeOf(int error) {
  switch (-error) {
  case ENOENT:
  case ENODEV:
  case ENXIO:
  case ECONNREFUSED:
  case EHOSTDOWN:
    return SoundNoDriver;
  case EINVAL:
    return SoundBadFormat;
  default:
    return SoundFail;
  }
}

TSoundResult TAlsaPcm::Open(const std::string& pcm, TAlsaDirection newDirection, const TWaveFormat& format,
                            uint32_t latencyUs) {
  Close();
  direction = newDirection;
  const snd_pcm_stream_t stream =
      direction == TAlsaDirection::Playback ? SND_PCM_STREAM_PLAYBACK : SND_PCM_STREAM_CAPTURE;
  snd_pcm_t* opened = nullptr;
  int error = snd_pcm_open(&opened, pcm.c_str(), stream, SND_PCM_NONBLOCK);
  if (error < 0) {
    return {CodeOf(error), ErrorText("snd_pcm_open", error)};
  }
  handle = opened;
  sampleRate = format.nSamplesPerSec;
  drainedUntil.reset();
  if (format.wFormatTag != 1 || (format.wBitsPerSample != 8 && format.wBitsPerSample != 16) ||
      (format.nChannels != 1 && format.nChannels != 2)) {
    Close();
    return {SoundBadFormat, ErrorText("snd_pcm_set_params", -EINVAL)};
  }
  error = snd_pcm_set_params(handle, format.wBitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE,
                             SND_PCM_ACCESS_RW_INTERLEAVED, format.nChannels, format.nSamplesPerSec, 1,
                             latencyUs);
  if (error < 0) {
    Close();
    return {CodeOf(error), ErrorText("snd_pcm_set_params", error)};
  }
  snd_pcm_uframes_t bufferFrames = 0;
  snd_pcm_uframes_t periodFrames = 0;
  if (snd_pcm_get_params(handle, &bufferFrames, &periodFrames) == 0 && periodFrames > 0) {
    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    // Playback starts with the first period, so that a short queue is heard too.
    if (snd_pcm_sw_params_current(handle, sw) == 0) {
      snd_pcm_sw_params_set_start_threshold(handle, sw,
                                            direction == TAlsaDirection::Playback ? periodFrames : 1);
      snd_pcm_sw_params_set_avail_min(handle, sw, periodFrames);
      snd_pcm_sw_params(handle, sw);
    }
  }
  return TSoundResult::Ok();
}

void TAlsaPcm::Close() {
  if (!handle) {
    return;
  }
  snd_pcm_drop(handle);
  snd_pcm_close(handle);
  handle = nullptr;
}

// Waits for the PCM or recovers it; 0 to try again, a negative errno when it cannot go on.
long TAlsaPcm::AfterShortTransfer(long result, int timeoutMs) {
  if (result == -EAGAIN) {
    if (timeoutMs == 0) {
      return 0; // the caller paces itself
    }
    const int waited = snd_pcm_wait(handle, timeoutMs);
    if (waited >= 0) {
      return 0;
    }
    result = waited;
  }
  const int recovered = snd_pcm_recover(handle, static_cast<int>(result), 1);
  if (recovered < 0) {
    return recovered;
  }
  if (result == -EPIPE || result == -ESTRPIPE) {
    xruns.fetch_add(1, std::memory_order_relaxed);
  }
  if (direction == TAlsaDirection::Capture) {
    snd_pcm_start(handle);
  }
  return 0;
}

long TAlsaPcm::Write(const uint8_t* data, long frames, int timeoutMs) {
  if (!handle) {
    return -EBADF;
  }
  if (snd_pcm_state(handle) == SND_PCM_STATE_SETUP) {
    snd_pcm_prepare(handle); // drained at a normal end and written again
  }
  drainedUntil.reset();
  // No more than the PCM has room for: a larger write waits for room for all of it, which a sound
  // server that has not started the stream yet may not make for a second or more.
  const snd_pcm_sframes_t room = snd_pcm_avail_update(handle);
  if (room > 0 && room < frames) {
    frames = static_cast<long>(room);
  }
  const snd_pcm_sframes_t written = snd_pcm_writei(handle, data, static_cast<snd_pcm_uframes_t>(frames));
  if (written >= 0) {
    return written;
  }
  return AfterShortTransfer(written, timeoutMs);
}

long TAlsaPcm::Read(uint8_t* data, long frames, int timeoutMs) {
  if (!handle) {
    return -EBADF;
  }
  const snd_pcm_sframes_t read = snd_pcm_readi(handle, data, static_cast<snd_pcm_uframes_t>(frames));
  if (read >= 0) {
    return read;
  }
  return AfterShortTransfer(read, timeoutMs);
}

void TAlsaPcm::PrepareIfRunDry() {
  if (handle && snd_pcm_state(handle) == SND_PCM_STATE_XRUN) {
    snd_pcm_prepare(handle);
  }
}

bool TAlsaPcm::PlayedOut() {
  if (!handle) {
    return true;
  }
  switch (snd_pcm_state(handle)) {
  case SND_PCM_STATE_PREPARED:
    // Less than the start threshold was written: nothing plays until it is started.
    if (snd_pcm_avail(handle) < 0 || PendingFrames() == 0) {
      return true;
    }
    return snd_pcm_start(handle) < 0;
  case SND_PCM_STATE_RUNNING:
    if (PendingFrames() == 0) {
      return true;
    }
    // Some servers hold back the last part of a period until the stream is drained: ask for it once
    // (without blocking here: the state turns DRAINING, then SETUP when everything has played).
    snd_pcm_drain(handle);
    return false;
  case SND_PCM_STATE_DRAINING:
    return PendingFrames() == 0;
  case SND_PCM_STATE_SETUP: {
    // Drained: the PCM has handed everything to the server, whose report of what it still holds
    // may stay as it was at that moment; that much plays out in its own time.
    const auto now = std::chrono::steady_clock::now();
    if (!drainedUntil) {
      const double seconds = static_cast<double>(PendingFrames()) / std::max<uint32_t>(sampleRate, 1);
      drainedUntil = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double>(seconds));
    }
    return now >= *drainedUntil;
  }
  default:
    return true; // ran dry (everything played), stopped, or broken: nothing more will play
  }
}

long TAlsaPcm::PendingFrames() {
  if (!handle) {
    return 0;
  }
  snd_pcm_sframes_t delay = 0;
  if (snd_pcm_delay(handle, &delay) < 0 || delay < 0) {
    return 0;
  }
  return static_cast<long>(delay);
}

int TAlsaPcm::Restart() {
  if (!handle) {
    return -EBADF;
  }
  snd_pcm_drop(handle);
  int error = snd_pcm_prepare(handle);
  if (error < 0) {
    return error;
  }
  if (direction == TAlsaDirection::Capture) {
    error = snd_pcm_start(handle);
  }
  return error < 0 ? error : 0;
}

void TAlsaPcm::Drop() {
  if (handle) {
    snd_pcm_drop(handle);
  }
}

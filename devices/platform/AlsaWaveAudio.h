// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The wave-audio devices' ALSA side: the device list (the "default" PCM first, then each card's PCM
// devices named after the card) and a non-blocking PCM in one exact format.
//
// Threads: a TAlsaPcm is used by one thread at a time (opened and closed by the window thread while
// no other thread runs, read or written only by its device's own thread); Xruns may be read by any.

#include "devices/platform/SoundServices.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class TAlsaDirection { Playback, Capture };

struct TAlsaDevice {
  std::string Name; // the product name the dialog shows
  std::string Pcm;  // what snd_pcm_open takes: "default", "plughw:0,0", ...
};

std::vector<TAlsaDevice> AlsaDevices(TAlsaDirection direction);

class TAlsaPcm {
public:
  TAlsaPcm() = default;
  ~TAlsaPcm();
  TAlsaPcm(const TAlsaPcm&) = delete;
  TAlsaPcm& operator=(const TAlsaPcm&) = delete;

  // Opens `pcm` non-blocking in exactly `format` with about `latencyUs` of buffering. A failure comes
  // back with a result code (no device, refused format, anything else) and the ALSA call and text,
  // e.g. "snd_pcm_open: No such file or directory".
  TSoundResult Open(const std::string& pcm, TAlsaDirection direction, const TWaveFormat& format,
                    uint32_t latencyUs);
  void Close();
  bool IsOpen() const { return handle != nullptr; }

  // Moves up to `frames` frames; waits at most `timeoutMs` for room or data (0: not at all). Returns the
  // frames moved (0 after a wait or a recovered under- or overrun, which Xruns counts), or a negative errno
  // the PCM could not recover from.
  long Write(const uint8_t* data, long frames, int timeoutMs);
  long Read(uint8_t* data, long frames, int timeoutMs);
  // Drops what the PCM holds and prepares it again (capture: and starts it).
  int Restart();
  void Drop();
  // Prepares a PCM that ran dry while nothing was meant to play (a pause, the end of a drain), so that
  // the next Write does not count it as an underrun.
  void PrepareIfRunDry();

  // Playback's end: starts a PCM that holds less than its start threshold, then reports whether it
  // has played everything it was given. Call until it returns true.
  bool PlayedOut();
  // Frames the PCM still holds, in its buffer and beyond (the sound server's own latency); 0 when
  // it has nothing left to play or cannot tell.
  long PendingFrames();

  // Under- and overruns the PCM reported and recovered from, since construction.
  uint64_t Xruns() const { return xruns.load(std::memory_order_relaxed); }

  // "snd_pcm_readi: Input/output error"
  static std::string ErrorText(const char* call, int error);
  static int32_t CodeOf(int error);

private:
  long AfterShortTransfer(long result, int timeoutMs);

  struct _snd_pcm* handle = nullptr;
  uint32_t sampleRate = 0;
  // When a drained PCM's last frames have left the server, once known.
  std::optional<std::chrono::steady_clock::time_point> drainedUntil;
  TAlsaDirection direction = TAlsaDirection::Playback;
  std::atomic<uint64_t> xruns{0};
};

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Devices: the block buffer, the device classes and the error record.
//
// Calling order every device relies on: Open (window thread); Start and Stop (worker or window
// thread, Start possibly twice in a row); Read or Write (worker thread only, one block each);
// destruction closes the device (window thread, worker not running). Devices take no locks of
// the chain; a device may be stopped from the window thread while the worker waits in Read/Write.
// A stopped device never keeps the worker waiting: Stop wakes a Read or Write that waits for the
// device's clock, and neither waits for it until the next Start.

#include "devices/platform/EventSet.h"
#include "dsp/WaveFormat.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// ---- Error record --------------------------------------------------------------------------

struct TDSPException {
  uint8_t Informational = 0; // nonzero: a notice (end of input file), not an error
  uint32_t ResultCode = 0;
  std::string SourceFile; // the raising unit, "VirtDevs.cpp" or "AudioFormats.cpp"
  int32_t SourceLine = 0;
  std::string Operation; // the failing call, e.g. "IDirectSoundBuffer::Lock"
  std::string Description;
};

// The description of a platform sound result code; empty for a code outside the table.
std::string ResultDescription(uint32_t code);

// Throws a device error for a failed sound call.
[[noreturn]] void RaiseResultError(uint32_t code, int32_t line, const std::string& operation);
// Throws for a failed file call or header check, with errno as the result code. A nonzero errno puts
// the text (the call) in Operation and the system's description of errno in Description; zero puts
// the text in Description. A subject ("Файл \"in.wav\"") leads the description: "subject: ...".
[[noreturn]] void RaiseSystemError(int32_t line, const std::string& text, const std::string& subject = {});
// Throws a notice.
[[noreturn]] void RaiseNotice(const std::string& text);

// What the message box of an error record shows: caption, text and whether it is a notice
// (information icon) or an error (error icon). The GUI box and the command line both use it.
struct TDSPMessage {
  std::string Caption; // "Сообщение" for a notice, "Ошибка" for an error
  std::string Text;
  bool Informational = false;
};
TDSPMessage ComposeDSPMessage(const TDSPException& e);

// ---- Block buffer ----------------------------------------------------------------------------

// Frames per block: the largest power of two not above rate / 10 (4096 at 44100 Hz); one frame for
// rates from 1 to 19 Hz. A rate of 0 has no block size: callers refuse it.
int32_t BlockFrames(uint32_t sampleRate);

// The block sizes a set-up may run with instead of the rule (0), in the order they are offered. Every
// device of a set-up uses the same one, whatever its rate.
inline constexpr int32_t BlockFramesChoices[] = {64, 128, 256, 512, 1024, 2048};
// Whether `frames` is 0 (the rule) or one of the choices.
bool IsBlockFramesChoice(int32_t frames);
// The choices in words, for messages: "64, 128, 256, 512, 1024 или 2048".
std::string BlockFramesChoicesText();
// A set-up's block at `sampleRate`: the choice, or the rule's for 0.
int32_t SetUpBlockFrames(int32_t choice, uint32_t sampleRate);
// A block's duration in tenths of a millisecond, with a decimal comma: "5,3 мс".
std::string MillisecondsText(int32_t frames, uint32_t sampleRate);
// A block's length in frames and milliseconds: "256 отсчётов (5,3 мс)".
std::string BlockLengthText(int32_t frames, uint32_t sampleRate);
// A choice as the device dialog lists it: "По умолчанию (4096 отсчётов, 85,3 мс)" for 0, else as
// BlockLengthText; at rate 0 (not known before a file is opened) "По умолчанию (от 50 до 100 мс)" and
// "64 отсчёта".
std::string BlockChoiceText(int32_t choice, uint32_t sampleRate);

class TAudioBuffer {
public:
  TAudioBuffer() = default; // entry 0 of the format table, no data
  // A buffer in the shape of another: its format and frame count, silent data.
  static TAudioBuffer ShapedLike(const TAudioBuffer& other);
  TAudioBuffer(TAudioBuffer&&) noexcept = default;
  TAudioBuffer& operator=(TAudioBuffer&&) noexcept = default;
  TAudioBuffer(const TAudioBuffer&) = delete;
  TAudioBuffer& operator=(const TAudioBuffer&) = delete;

  // Sets the frame count, allocates frames * block align bytes and silences them.
  void SetFrames(int32_t n);
  // Makes the block hold n frames of what SetFrames allocated (0 <= n <= CapacityFrames()), without
  // allocating: the last, short block of a file. Frames and Bytes follow; the data beyond is kept.
  void SetLength(int32_t n);
  int32_t CapacityFrames() const { return capacityFrames; }
  // 128 in every byte for 8 bits, 0 otherwise.
  void Silence();
  // A plain copy when the formats are equal, ConvertAudio otherwise; fills exactly this buffer.
  void ConvertFrom(const TAudioBuffer& source);

  TWaveFormat& Format() { return format; }
  const TWaveFormat& Format() const { return format; }
  int32_t Frames() const { return frames; }
  int32_t Bytes() const { return bytes; }
  uint8_t* Data() { return data.data(); }
  const uint8_t* Data() const { return data.data(); }

private:
  TWaveFormat format;
  int32_t frames = 0;
  int32_t bytes = 0;
  int32_t capacityFrames = 0;
  std::vector<uint8_t> data;
};

// ---- Devices ---------------------------------------------------------------------------------

enum TDeviceKind : uint32_t {
  dkDirectSoundPlayback = 0,
  dkWaveAudioPlayback = 1,
  dkWaveFilePlayback = 2,
  dkDirectSoundRecording = 3,
  dkWaveAudioRecording = 4,
  dkWaveFileRecording = 5,
};

class TAudioDevice {
public:
  explicit TAudioDevice(TDeviceKind kind) : kind(kind) {}
  virtual ~TAudioDevice() = default; // concrete destructors call their own Close first
  TAudioDevice(const TAudioDevice&) = delete;
  TAudioDevice& operator=(const TAudioDevice&) = delete;

  // The set-up's block (0: the block-size rule at the device's rate, the default; otherwise one of
  // BlockFramesChoices, anything else raising an invalid parameter). Before Open.
  void SetBlockFrames(int32_t frames);
  int32_t BlockChoice() const { return blockChoice; }
  // Acquires the device; the base sizes the block buffer by the set-up's block.
  virtual void Open();
  // Releases what Open acquired; safe when Open never ran or failed part way.
  virtual void Close() = 0;
  // Lets the device run; tolerates a running device.
  virtual void Start() = 0;
  virtual void Stop() = 0;

  // Dropouts since Open: a playback ring that reached sound the worker had not written, a capture
  // ring the worker fell a whole ring behind, or an underflow or overflow the stream reported itself.
  // Any thread may read it.
  virtual uint64_t Dropouts() const { return 0; }
  // Milliseconds the sound server now holds for the device beyond its first figure, grown after
  // underruns instead of losing sound again and again; 0 when it never grew. Any thread.
  virtual uint32_t ServerBufferGrowthMs() const { return 0; }

  // The format chosen for the device (the dialog, the command line); before Open. An output whose
  // format was never chosen takes its set-up's input format when the set-up opens it; any other
  // device keeps the format its buffer holds (the default entry of the format table).
  void SetFormat(const TWaveFormat& format);
  void ForgetFormat() { formatChosen = false; }
  bool FormatChosen() const { return formatChosen; }

  TAudioBuffer& Buffer() { return buffer; }
  const TAudioBuffer& Buffer() const { return buffer; }
  TEventSet& Events() { return events; }
  TDeviceKind Kind() const { return kind; }

protected:
  TAudioBuffer buffer;
  TEventSet events;
  const TDeviceKind kind;

private:
  int32_t blockChoice = 0;
  bool formatChosen = false;
};

class TPlaybackDevice : public TAudioDevice {
public:
  using TAudioDevice::TAudioDevice;
  // Delivers the buffer as the next block; a device with a clock blocks until there is room. The block
  // may be shorter than the one Open sized (the last block of a file). A stopped device does not wait:
  // it keeps the block for when it starts again, or drops it where a start discards it anyway.
  virtual void Write() = 0;
  // The normal end, on the worker after the last Write: returns true once everything written has been
  // played out (a ring's play position past the last written byte and its stream drained; a queue and
  // its PCM buffer empty). Returns false when `cancel` becomes true meanwhile, or when the device's own
  // bound (what was pending when Drain began, plus a margin) runs out first. A stopped device and a
  // device without a clock return true at once.
  virtual bool Drain(const std::atomic<bool>& cancel) {
    (void)cancel;
    return true;
  }
};

class TRecordingDevice : public TAudioDevice {
public:
  using TAudioDevice::TAudioDevice;
  // Returns when the buffer holds the next block; a device with a clock blocks until it is complete.
  // A stopped device that has no whole block does not wait: it returns an empty block (no frames).
  virtual void Read() = 0;
  // Whether Rewind can start this input over (a file input can).
  virtual bool CanRewind() const { return false; }
  // Starts a file input over at its first frame; the next Read returns the first block. Worker thread,
  // between Reads.
  virtual void Rewind() {}
  // Frames of input lost just before the block the last Read delivered: capture the worker fell a
  // whole ring behind, an overrun, a block a full queue dropped. Each loss counts a dropout too.
  // Worker thread.
  virtual int64_t LostFramesBeforeBlock() const { return 0; }
};

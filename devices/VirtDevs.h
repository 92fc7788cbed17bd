// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Devices: the block buffer, the device classes, the owning list of outputs, and the error record.
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

class TRateConverter; // streaming sample-rate conversion of one output (RateConverter.h)
class TFileWriter;    // the thread that writes the file outputs (FileWriter.h)

// The owning list of a set-up's outputs. Each operation walks the items from index 0 upward; a
// throw stops the walk at that item. An empty list does nothing. A short working block (the end of
// a file) reaches an output of the same rate as a short block; an output of another rate gets whole
// blocks of its own size from its converter, and the rest at FlushAll.
//
// Prepare readies the list for a worker: converters made for the set-up's blocks, and the file outputs
// handed to a writer thread (TFileWriter), so that the worker neither allocates nor touches a file.
//
// Threads: ConvertAll, WriteAll, WriteGap, FlushAll and DrainAll on the worker; the rest on the window
// thread while the worker is not running, except Dropouts (any thread) and StartAll/StopAll (either).
class TPlaybackDevsList {
public:
  TPlaybackDevsList();
  ~TPlaybackDevsList(); // deletes every device, which closes it
  TPlaybackDevsList(const TPlaybackDevsList&) = delete;
  TPlaybackDevsList& operator=(const TPlaybackDevsList&) = delete;

  void Add(std::unique_ptr<TPlaybackDevice> device);
  void OpenAll();
  // After OpenAll, before the worker: a rate converter sized for the blocks of every output whose rate
  // differs from `source`'s, and a writer thread for the file outputs (WAVE, FLAC, Ogg Vorbis, Opus),
  // which waits for room in its ring only when the set-up is not `live`. Without it the converters come
  // with the first blocks and the files are written on the calling thread, as the blocks come.
  void Prepare(const TAudioBuffer& source, bool live);
  // After the worker: closes every output, in list order, whatever the others did. The writer thread
  // first writes what it holds and completes every file on its own thread (its last frames, header,
  // sync and close) and ends. Returns the error record of each output whose file is not whole and that
  // was not raised on the worker already (a write that failed after the worker's last block, or the
  // completion), in list order.
  std::vector<TDSPException> CloseAll();
  void StartAll();
  void StopAll();
  // Fills each output from the working buffer in the output's own format. An output whose rate
  // differs from the source's goes through its own streaming converter and queues whole blocks.
  void ConvertAll(const TAudioBuffer& source);
  // Writes each output's block; an output with a rate converter writes every whole block queued.
  void WriteAll();
  // Input that was lost, as silence: converts and writes the block (silent, of the lost length) to
  // every output without a clock of its own (a file), so that a recording keeps time. A ring or
  // wave-audio output keeps its own clock and plays silence where nothing came by itself.
  void WriteGap(const TAudioBuffer& silence);
  // The end of the signal: every rate converter gives up what it still holds, and its output writes
  // it, the last block short. The converters then start afresh.
  void FlushAll();
  // Drain on every output, in list order; true when every output played out everything it was given.
  bool DrainAll(const std::atomic<bool>& cancel);
  // After DrainAll: whether output `index` played out everything it was given.
  bool Drained(int index) const;
  // The sum of the outputs' dropouts (a stretch of blocks the file writer had no room for counts as
  // one), and the largest growth of a server buffer.
  uint64_t Dropouts() const;
  // Frames of the file outputs that found the writer's ring full, written as silence. Any thread.
  int64_t FileLostFrames() const;
  uint32_t ServerBufferGrowthMs() const;

  int Count() const { return static_cast<int>(items.size()); }
  TPlaybackDevice* Item(int index) const { return items[index].get(); }

private:
  struct TOutput;
  enum class TWhich { All, WithoutClock };
  void Convert(const TAudioBuffer& source, TWhich which);
  void Write(TWhich which);
  // Output i takes its buffer as its next block: through the writer thread, or directly.
  void WriteOne(size_t i);

  std::vector<std::unique_ptr<TOutput>> items_state;
  std::vector<std::unique_ptr<TPlaybackDevice>> items;
  std::unique_ptr<TFileWriter> writer;
};

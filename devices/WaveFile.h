// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// WAVE file devices. The reader (kind 5) takes its format from a RIFF/WAVE file and reads one block
// per Read; the writer (kind 2) writes a 44-byte header and appends one block per Write. Neither has
// a clock: Read and Write return as soon as the file call is done.
//
// The reader takes PCM of 8, 16, 24 and 32 bits and floating point of 32 and 64 bits, mono or stereo,
// plain or extensible; the last four are converted to 16 bits as they are read, so the block buffer
// always holds 8- or 16-bit PCM. The last block of the samples may be short; after it come the silent
// tail frames, if any, and then the notice "Достигнут конец файла".
//
// Other sound files go through libsndfile (SoundFile.h): the reader hands over a regular file that is
// not RIFF/WAVE, the writer a name ending in .flac, .ogg or .opus (or the kind set for it); what is
// said above of blocks, the tail and the end holds for them too.
//
// The name "-" is standard input for the reader and standard output for the writer. Neither a pipe
// nor a terminal can seek: the reader then walks the header forward, and the writer writes a header
// that stands for a stream of unknown length (StreamDataBytes) and never patches it.
//
// Threads: Open and destruction on the window thread while the worker is not running; Read and
// Write on the worker only. No locks.

#include "devices/PcmSamples.h"
#include "devices/SoundFile.h"
#include "devices/VirtDevs.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The sample layout of a WAVE file as its fmt chunk describes it.
struct TWaveFileFormat {
  TSampleEncoding Encoding = TSampleEncoding::Unsigned8;
  uint16_t Channels = 1;
  uint32_t SampleRate = 8000;
  uint16_t Bits = 8;
  bool Extensible = false;
  // Whether the reader converts the samples to 16 bits.
  bool Converted() const {
    return Encoding != TSampleEncoding::Unsigned8 && Encoding != TSampleEncoding::Signed16;
  }
};

// "48,000 КГц, 24 бит, стерео, целые" / "44,100 КГц, 32 бит, моно, с плавающей точкой".
std::string WaveFileFormatText(const TWaveFileFormat& format);

class TWAVEFileRecordingDevice : public TRecordingDevice {
public:
  TWAVEFileRecordingDevice();
  ~TWAVEFileRecordingDevice() override;

  // A path, or "-" for standard input.
  void SetFileName(std::string name) { fileName = std::move(name); }
  const std::string& FileName() const { return fileName; }
  // Silent frames that follow the samples before the end notice (the ring-out of echo and
  // reverberation). Set before the first Read, before or after Open.
  void SetTailFrames(int64_t frames) { tailFrames = tailLeft = frames < 0 ? 0 : frames; }

  // Opens the file, checks its header, takes its format and sizes the block by it.
  void Open() override;
  void Close() override;
  void Start() override {}
  void Stop() override {}
  // Silences the block and reads the next one: a whole block, or the frames that are left (a short
  // block); then the tail; then the notice "Достигнут конец файла".
  void Read() override;
  // A regular file (not a pipe) starts over at its first frame, its tail to follow again.
  bool CanRewind() const override { return fd >= 0 && (seekable || decoded != nullptr); }
  void Rewind() override;

  // After Open: what a WAVE file holds, and whether Read converts the file's samples to 16 bits.
  const TWaveFileFormat& FileFormat() const { return fileFormat; }
  bool Converted() const { return decoded ? decoded->Converted() : fileFormat.Converted(); }
  // After Open: whether the file goes through libsndfile, and what it holds ("48,000 КГц, 24 бит,
  // стерео, целые"; "FLAC, 48,000 КГц, 24 бит, стерео").
  bool Decoded() const { return decoded != nullptr; }
  std::string FileFormatText() const;
  // Frames of sound the header promises, or -1 for a stream of unknown length.
  int64_t TotalFrames() const { return totalFrames; }

private:
  // Reads up to n bytes at the current position, fewer only at the end; raises on a read error.
  size_t ReadBytes(uint8_t* data, size_t n);
  // Moves forward n bytes; false at the end.
  bool Skip(uint64_t n);
  void ParseHeader();
  // Takes the block's format (16 or 8 bits) and sizes the block by it.
  void TakeFormat(uint16_t channels, uint32_t rate, uint16_t bits);
  std::string Subject() const;

  std::string fileName;
  int fd = -1;
  bool ownsFd = false;
  bool seekable = false;
  uint64_t position = 0;  // offset of the next byte read
  uint64_t dataStart = 0; // offset of the first sample byte
  uint64_t dataEnd = 0;   // end of the samples; UINT64_MAX reads to the end of the file
  TWaveFileFormat fileFormat;
  int32_t fileFrameBytes = 1;
  int64_t totalFrames = -1;
  std::vector<uint8_t> staging; // one block as the file holds it, when it is converted
  bool samplesEnded = false;
  int64_t tailFrames = 0;
  int64_t tailLeft = 0;
  std::unique_ptr<TSoundFileReader> decoded; // a file of another kind
};

class TWAVEFilePlaybackDevice : public TPlaybackDevice {
public:
  // The most sample bytes the 32-bit RIFF size can describe (36 + data <= 0xFFFFFFFF).
  static constexpr uint64_t MaxDataBytes = 0xFFFFFFFFull - 36;
  // The data size written for a stream that cannot be patched: the mark of an unknown length that
  // common readers take as "read to the end".
  static constexpr uint32_t StreamDataBytes = 0x7FFFF000u;

  // maxDataBytes lowers the size limit (for tests of the limit without writing 4 GiB).
  explicit TWAVEFilePlaybackDevice(uint64_t maxDataBytes = MaxDataBytes);
  ~TWAVEFilePlaybackDevice() override;

  // A path, or "-" for standard output.
  void SetFileName(std::string name) { fileName = std::move(name); }
  const std::string& FileName() const { return fileName; }
  // The kind written when the name's ending does not choose one ("-" among them); WAVE unless set.
  void SetDefaultKind(TFileKind kind) { defaultKind = kind; }
  // The kind the name chooses, or the default kind.
  TFileKind FileKind() const { return FileKindOfName(fileName, defaultKind); }

  // Sizes the block, creates (or replaces) the file and writes a header with zero sizes (a stream:
  // with the sizes of an unknown length).
  void Open() override;
  // Completes the file (the encoder's last frames, the header with the final sizes), syncs it to the
  // disk and closes it; the descriptor is released whatever fails. A failure of any of it raises the
  // file's error ("WriteFile", "FlushFileBuffers", "CloseHandle" with the system's code), unless a
  // Write already reported this file; the destructor closes without raising.
  void Close() override;
  void Start() override {}
  void Stop() override {}
  // Appends the block, which may be shorter than the one Open sized. The sizes in the header are
  // brought up to date often enough that the file never holds a second of sound beyond them, so a
  // file cut short by a killed process stays readable and loses less than a second.
  void Write() override;

  uint32_t DataBytes() const { return dataBytes; }
  // Whether the output is a stream (a pipe, a terminal, a device) rather than a file it can patch.
  bool Streaming() const { return streaming; }

private:
  void WriteBlock();
  void PatchSizes();
  std::string Subject() const;

  std::string fileName;
  int fd = -1;
  bool regular = false; // a regular file (standard output may be one), synced when closed
  bool streaming = false;
  bool failed = false; // a Write or the close raised for this file
  const uint64_t maxDataBytes;
  uint32_t dataBytes = 0;        // sample bytes written
  uint32_t patchedDataBytes = 0; // data size the header on disk holds
  TFileKind defaultKind = TFileKind::Wave;
  std::unique_ptr<TSoundFileWriter> encoded; // a file of another kind
};

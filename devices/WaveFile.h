#pragma once
// WAVE file devices. The reader (kind 5) takes its format from a PCM RIFF/WAVE file and reads one
// block per Read; the writer (kind 2) writes a 44-byte header and appends one block per Write.
// Neither has a clock: Read and Write return as soon as the file call is done.
//
// Threads: Open and destruction on the window thread while the worker is not running; Read and
// Write on the worker only. No locks.

#include "devices/VirtDevs.h"

#include <cstdint>
#include <string>

class TWAVEFileRecordingDevice : public TRecordingDevice {
public:
  TWAVEFileRecordingDevice();
  ~TWAVEFileRecordingDevice() override;

  void SetFileName(std::string name) { fileName = std::move(name); }
  const std::string& FileName() const { return fileName; }

  // Opens the file, checks its header, takes its format and sizes the block by it.
  void Open() override;
  void Close() override;
  void Start() override {}
  void Stop() override {}
  // Silences the block and reads the next one; the notice "Достигнут конец файла" when a whole block
  // is no longer there.
  void Read() override;

private:
  std::string fileName;
  int fd = -1;
  uint64_t position = 0; // file offset of the next sample byte
  uint64_t dataEnd = 0;  // end of the samples; UINT64_MAX reads to the end of the file
};

class TWAVEFilePlaybackDevice : public TPlaybackDevice {
public:
  // The most sample bytes the 32-bit RIFF size can describe (36 + data <= 0xFFFFFFFF).
  static constexpr uint64_t MaxDataBytes = 0xFFFFFFFFull - 36;

  // maxDataBytes lowers the size limit (for tests of the limit without writing 4 GiB).
  explicit TWAVEFilePlaybackDevice(uint64_t maxDataBytes = MaxDataBytes);
  ~TWAVEFilePlaybackDevice() override;

  void SetFileName(std::string name) { fileName = std::move(name); }
  const std::string& FileName() const { return fileName; }

  // Sizes the block, creates (or replaces) the file and writes a header with zero sizes.
  void Open() override;
  // Rewrites the header with the final sizes and closes the file.
  void Close() override;
  void Start() override {}
  void Stop() override {}
  // Appends the block. The sizes in the header are brought up to date often enough that the file
  // never holds a second of sound beyond them, so a file cut short by a killed process stays
  // readable and loses less than a second.
  void Write() override;

  uint32_t DataBytes() const { return dataBytes; }

private:
  void PatchSizes();

  std::string fileName;
  int fd = -1;
  const uint64_t maxDataBytes;
  uint32_t dataBytes = 0;        // whole blocks written
  uint32_t patchedDataBytes = 0; // data size the header on disk holds
};

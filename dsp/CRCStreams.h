// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Checksummed settings files: the payload followed by the 16-bit sum of its bytes, little-endian.
//
// A save never leaves a settings file half written: the bytes go to a new file beside the old one,
// which is synced and then renamed over it, and the folder is synced. A save that fails leaves the old
// file as it was and no temporary file behind. A load reads only a regular file no larger than
// MaxSettingsFileBytes, refusing a folder, a pipe or a device at once instead of waiting on it.
//
// Threads: any; nothing here is shared between calls.

#include "dsp/ByteStreams.h"
#include "dsp/FilterList.h"

#include <cstdint>
#include <string>
#include <vector>

class TFilter;

// Far above any valid settings file: a full chain of the largest records is under 3 KB.
inline constexpr uint64_t MaxSettingsFileBytes = 64 * 1024;

enum class TSettingsKind { Filter, Chain };

// What a file of the kind is, after "является": "файлом параметров фильтра (.flt)".
const char* SettingsKindText(TSettingsKind kind);

class CRCofstream final : public TByteWriter {
public:
  // Creates the temporary file in the folder of `fileName` (a symbolic link is followed to the file it
  // names); Good() tells whether that worked, SystemError() why not.
  explicit CRCofstream(const std::string& fileName);
  // A stream not finished removes its temporary file: the old file stays.
  ~CRCofstream() override;
  CRCofstream(const CRCofstream&) = delete;
  CRCofstream& operator=(const CRCofstream&) = delete;

  bool Good() const { return fd >= 0; }
  // The message why the file cannot be created (MsgCannotCreateFile or a refusal of what the name
  // is), and the system's code for it.
  const std::string& Problem() const { return problem; }
  int SystemError() const { return systemError; }
  // Adds every byte to the checksum, then writes it (to memory: the file is written whole by Finish).
  void Write(const void* data, size_t n) override;
  // Appends the checksum, writes and syncs the temporary file, renames it over the file and syncs the
  // folder. Raises TFilterError(MsgWriteFileError) with the system's code when any of it fails; the
  // old file is then untouched (unless only the folder's sync failed, after the rename).
  void Finish();

private:
  void Discard();

  std::string target; // the file replaced
  std::string temporary;
  int fd = -1;
  std::string problem;
  int systemError = 0;
  uint16_t checksum = 0;
  std::vector<uint8_t> bytes;
};

class CRCifstream final : public TByteReader {
public:
  // Reads the whole file (a regular file of at most MaxSettingsFileBytes) and verifies its checksum;
  // reading then starts at the beginning of the file.
  explicit CRCifstream(const std::string& fileName);
  bool Good() const { return problem.empty(); }
  // Why the file was not read: MsgCannotOpenFile (SystemError() says why), a refusal of what the name
  // is (a folder, a pipe, a device), or MsgFileTooLarge.
  const std::string& Problem() const { return problem; }
  int SystemError() const { return systemError; }
  bool ChecksumOK() const { return checksumOK; }
  // Reads payload bytes; the two checksum bytes at the end are never handed out.
  size_t Read(void* data, size_t n) override;

private:
  std::string problem;
  int systemError = 0;
  bool checksumOK = false;
  std::vector<uint8_t> bytes;
  size_t payloadEnd = 0;
  size_t position = 0;
};

// Whether `fileName` is a settings file of the kind: a small regular file whose checksum holds and
// whose payload is shaped as the kind's records are.
bool HoldsSettingsFile(const std::string& fileName, TSettingsKind kind);

// The four file actions of the processing window, each raising TFilterError with its message.
void SaveFilterFile(TFilter& filter, const std::string& fileName);
void LoadFilterFile(TFilter& filter, const std::string& fileName);
// The type of the filter whose parameters a filter file holds (the file checked as a load checks it).
int32_t FilterFileType(const std::string& fileName);
// A new filter of the file's type, made by `create` at `sampleRate`, with the file's parameters; a type
// `create` does not make is MsgBadFileFormat.
std::unique_ptr<TFilter> NewFilterFromFile(const std::string& fileName, const TFilterFactory& create,
                                           int32_t sampleRate);
void SaveChainFile(const TFilterList& chain, const std::string& fileName);
// The file is read and its filters built by `create` off the chain's lock; only a whole, valid chain
// replaces the one there. On any error the chain (or the filter) keeps everything it had.
void LoadChainFile(TFilterList& chain, const std::string& fileName, const TFilterFactory& create);

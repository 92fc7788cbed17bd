// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Checksummed settings files: the payload followed by the 16-bit sum of its bytes, little-endian.

#include "dsp/ByteStreams.h"
#include "dsp/FilterList.h"

#include <cstdint>
#include <fstream>
#include <string>

class TFilter;

class CRCofstream final : public TByteWriter {
public:
  // Opens (truncates) the file for writing; Good() tells whether that worked.
  explicit CRCofstream(const std::string& fileName);
  bool Good() const { return file.good(); }
  // Adds every byte to the checksum, then writes it.
  void Write(const void* data, size_t n) override;
  // Appends the checksum and closes the file; false when anything failed to reach the disk.
  bool Finish();

private:
  std::ofstream file;
  uint16_t checksum = 0;
};

class CRCifstream final : public TByteReader {
public:
  // Opens the file and verifies its checksum; reading then starts at the beginning of the file.
  explicit CRCifstream(const std::string& fileName);
  bool Good() const { return opened; }
  bool ChecksumOK() const { return checksumOK; }
  // Reads payload bytes; the two checksum bytes at the end are never handed out.
  size_t Read(void* data, size_t n) override;

private:
  std::ifstream file;
  bool opened = false;
  bool checksumOK = false;
  uint64_t payloadLeft = 0;
};

// The four file actions of the processing window, each raising TFilterError with its message.
void SaveFilterFile(TFilter& filter, const std::string& fileName);
void LoadFilterFile(TFilter& filter, const std::string& fileName);
void SaveChainFile(const TFilterList& chain, const std::string& fileName);
// The file is read and its filters built by `create` off the chain's lock; only a whole, valid chain
// replaces the one there. On any error the chain (or the filter) keeps everything it had.
void LoadChainFile(TFilterList& chain, const std::string& fileName, const TFilterFactory& create);

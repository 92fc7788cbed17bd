// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/CRCStreams.h"

#include "dsp/Filter.h"
#include "dsp/FilterError.h"
#include "dsp/FilterList.h"

#include <algorithm>
#include <vector>

CRCofstream::CRCofstream(const std::string& fileName)
    : file(fileName, std::ios::binary | std::ios::out | std::ios::trunc) {}

void CRCofstream::Write(const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < n; ++i) {
    checksum = static_cast<uint16_t>(checksum + p[i]);
  }
  file.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
}

bool CRCofstream::Finish() {
  const char bytes[2] = {static_cast<char>(checksum & 0xFF), static_cast<char>(checksum >> 8)};
  file.write(bytes, 2);
  file.flush();
  const bool ok = file.good();
  file.close();
  return ok && !file.fail();
}

CRCifstream::CRCifstream(const std::string& fileName) : file(fileName, std::ios::binary | std::ios::in) {
  opened = file.is_open();
  if (!opened) {
    return;
  }
  // One pass over the whole file, in 1024-byte pieces, apart from the reading position the caller uses.
  uint64_t length = 0;
  uint32_t sum = 0;
  uint8_t last[2] = {0, 0};
  char piece[1024];
  while (file) {
    file.read(piece, sizeof piece);
    const auto got = static_cast<size_t>(file.gcount());
    for (size_t i = 0; i < got; ++i) {
      const auto b = static_cast<uint8_t>(piece[i]);
      sum += b;
      last[0] = last[1];
      last[1] = b;
    }
    length += got;
  }
  if (length >= 2) {
    const uint32_t payloadSum = (sum - last[0] - last[1]) & 0xFFFF;
    const uint32_t stored = static_cast<uint32_t>(last[0]) | (static_cast<uint32_t>(last[1]) << 8);
    checksumOK = payloadSum == stored;
    payloadLeft = length - 2;
  }
  file.clear();
  file.seekg(0);
}

size_t CRCifstream::Read(void* data, size_t n) {
  const auto k = static_cast<size_t>(std::min<uint64_t>(n, payloadLeft));
  file.read(static_cast<char*>(data), static_cast<std::streamsize>(k));
  const auto got = static_cast<size_t>(file.gcount());
  payloadLeft -= got;
  return got;
}

namespace {

CRCifstream OpenChecked(const std::string& fileName) {
  CRCifstream in(fileName);
  if (!in.Good()) {
    throw TFilterError(MsgCannotOpenFile);
  }
  if (!in.ChecksumOK()) {
    throw TFilterError(MsgChecksumError);
  }
  return in;
}

template <typename SaveRecord> void SaveChecked(const std::string& fileName, SaveRecord save) {
  CRCofstream out(fileName);
  if (!out.Good()) {
    throw TFilterError(MsgCannotCreateFile);
  }
  save(out);
  if (!out.Finish()) {
    throw TFilterError(MsgWriteFileError);
  }
}

} // namespace

void SaveFilterFile(TFilter& filter, const std::string& fileName) {
  SaveChecked(fileName, [&](TByteWriter& out) { filter.Save(out); });
}

void LoadFilterFile(TFilter& filter, const std::string& fileName) {
  // The file is read before the filter's lock is taken; Load then only checks and copies.
  CRCifstream in = OpenChecked(fileName);
  std::vector<uint8_t> payload;
  uint8_t piece[1024];
  for (size_t got = in.Read(piece, sizeof piece); got > 0; got = in.Read(piece, sizeof piece)) {
    payload.insert(payload.end(), piece, piece + got);
  }
  TMemoryReader record(payload.data(), payload.size());
  filter.Load(record);
}

void SaveChainFile(const TFilterList& chain, const std::string& fileName) {
  SaveChecked(fileName, [&](TByteWriter& out) { chain.Save(out); });
}

void LoadChainFile(TFilterList& chain, const std::string& fileName, const TFilterFactory& create) {
  CRCifstream in = OpenChecked(fileName);
  chain.Load(in, create); // reads and builds off the chain's lock
}

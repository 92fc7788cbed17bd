// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Byte sinks and sources for the settings records. The files use the checksummed streams of
// CRCStreams.h; the memory versions serve tests and fuzzing.

#include <cstddef>
#include <cstdint>
#include <vector>

class TByteWriter {
public:
  virtual ~TByteWriter() = default;
  virtual void Write(const void* data, size_t n) = 0;
};

class TByteReader {
public:
  virtual ~TByteReader() = default;
  // Reads up to n bytes; returns how many were read (fewer only at the end of the data).
  virtual size_t Read(void* data, size_t n) = 0;
};

// Little-endian int32 fields of the settings records.
void WriteInt32(TByteWriter& out, int32_t value);
// False when fewer than 4 bytes were left.
bool ReadInt32(TByteReader& in, int32_t& value);

class TMemoryWriter final : public TByteWriter {
public:
  void Write(const void* data, size_t n) override;
  const std::vector<uint8_t>& Bytes() const { return bytes; }

private:
  std::vector<uint8_t> bytes;
};

class TMemoryReader final : public TByteReader {
public:
  TMemoryReader(const void* data, size_t size) : data(static_cast<const uint8_t*>(data)), size(size) {}
  size_t Read(void* out, size_t n) override;

private:
  const uint8_t* data;
  size_t size;
  size_t position = 0;
};

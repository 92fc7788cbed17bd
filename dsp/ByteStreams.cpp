// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/ByteStreams.h"

#include <algorithm>
#include <cstring>

void TMemoryWriter::Write(const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  bytes.insert(bytes.end(), p, p + n);
}

size_t TMemoryReader::Read(void* out, size_t n) {
  const size_t k = std::min(n, size - position);
  if (k > 0) {
    std::memcpy(out, data + position, k);
  }
  position += k;
  return k;
}

void WriteInt32(TByteWriter& out, int32_t value) {
  uint8_t bytes[4];
  for (int i = 0; i < 4; ++i) {
    bytes[i] = static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * i));
  }
  out.Write(bytes, 4);
}

bool ReadInt32(TByteReader& in, int32_t& value) {
  uint8_t bytes[4];
  if (in.Read(bytes, 4) != 4) {
    return false;
  }
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    v |= static_cast<uint32_t>(bytes[i]) << (8 * i);
  }
  value = static_cast<int32_t>(v);
  return true;
}

#pragma once
// Canonical PCM WAVE files of 16-bit samples for the command-line tests, and what a WAVE file holds.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

inline void WriteWave(const std::string& path, uint32_t rate, uint16_t channels,
                      const std::vector<int16_t>& samples) {
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  const auto bytes = static_cast<uint32_t>(samples.size() * 2);
  out.write("RIFF", 4);
  u32(36 + bytes);
  out.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(channels);
  u32(rate);
  u32(rate * channels * 2);
  u16(static_cast<uint16_t>(channels * 2));
  u16(16);
  out.write("data", 4);
  u32(bytes);
  out.write(reinterpret_cast<const char*>(samples.data()), bytes);
}

// The little-endian 32-bit field at a byte offset of a file's contents.
inline uint32_t U32At(const std::string& b, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}

// What a WAVE file holds, found by walking its chunks: the fmt fields, the two sizes and, for 16-bit
// files, the samples of the data chunk up to its declared size or the end of the file.
struct TWaveContents {
  bool Valid = false;
  uint16_t Tag = 0;
  uint16_t Channels = 0;
  uint32_t Rate = 0;
  uint16_t Bits = 0;
  uint32_t RiffSize = 0;
  uint32_t DataSize = 0;
  std::vector<int16_t> Samples;
  size_t Frames() const { return Channels == 0 ? 0 : Samples.size() / Channels; }
};

inline TWaveContents ParseWave(const std::string& b) {
  TWaveContents w;
  if (b.size() < 12 || b.compare(0, 4, "RIFF") != 0 || b.compare(8, 4, "WAVE") != 0) {
    return w;
  }
  w.RiffSize = U32At(b, 4);
  size_t at = 12;
  while (at + 8 <= b.size()) {
    const uint32_t size = U32At(b, at + 4);
    if (b.compare(at, 4, "fmt ") == 0 && at + 24 <= b.size()) {
      w.Tag = static_cast<uint16_t>(static_cast<uint8_t>(b[at + 8]) | static_cast<uint8_t>(b[at + 9]) << 8);
      w.Channels =
          static_cast<uint16_t>(static_cast<uint8_t>(b[at + 10]) | static_cast<uint8_t>(b[at + 11]) << 8);
      w.Rate = U32At(b, at + 12);
      w.Bits =
          static_cast<uint16_t>(static_cast<uint8_t>(b[at + 22]) | static_cast<uint8_t>(b[at + 23]) << 8);
    } else if (b.compare(at, 4, "data") == 0) {
      w.DataSize = size;
      const size_t end = std::min<size_t>(b.size(), at + 8 + static_cast<size_t>(size));
      if (w.Bits == 16) {
        w.Samples.resize((end - at - 8) / 2);
        std::memcpy(w.Samples.data(), b.data() + at + 8, w.Samples.size() * 2);
      }
      w.Valid = w.Channels > 0;
      return w;
    }
    at += 8 + size + (size & 1u);
  }
  return w;
}

inline TWaveContents ReadWave(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return ParseWave({std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()});
}

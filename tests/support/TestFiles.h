// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Files for tests: a temporary folder removed with its files, whole-file reads and writes, the
// little-endian fields of a file's bytes, canonical PCM WAVE files, and what a WAVE file holds.
//
// Threads: free functions on their arguments only; a TTempDir belongs to the thread that made it.
// A file that cannot be made or written throws std::runtime_error, so that the test fails loudly.

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace sonotest {

// A fresh folder under the system's temporary folder, removed with its files at the end of scope.
class TTempDir {
public:
  explicit TTempDir(const std::string& prefix = "sonolab-test") {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
    }
    path = pattern;
  }
  ~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::filesystem::path& Path() const { return path; }
  std::string File(const std::string& name) const { return (path / name).string(); }

private:
  std::filesystem::path path;
};

// The whole file; empty if it cannot be read.
inline std::string ReadText(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::vector<uint8_t> ReadBytes(const std::string& file) {
  const std::string text = ReadText(file);
  return {text.begin(), text.end()};
}

inline void WriteBytes(const std::string& file, const void* bytes, size_t size) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
  out.close();
  if (!out) {
    throw std::runtime_error("cannot write " + file);
  }
}

inline void WriteBytes(const std::string& file, const std::vector<uint8_t>& bytes) {
  WriteBytes(file, bytes.data(), bytes.size());
}

// The file's size in bytes; 0 for a file that does not exist.
inline uint64_t FileSize(const std::string& file) {
  struct stat st {};
  return ::stat(file.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// The little-endian fields at a byte offset of a file's contents (std::string or bytes).
template <class Bytes> uint16_t U16At(const Bytes& b, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | (static_cast<uint8_t>(b[at + 1]) << 8));
}
template <class Bytes> uint32_t U32At(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(U16At(b, at)) | (static_cast<uint32_t>(U16At(b, at + 2)) << 16);
}

inline void AppendU16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v & 0xFF));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void AppendU32(std::vector<uint8_t>& b, uint32_t v) {
  AppendU16(b, static_cast<uint16_t>(v & 0xFFFF));
  AppendU16(b, static_cast<uint16_t>(v >> 16));
}

// A canonical PCM WAVE file: the 44-byte header, then the sample bytes as given.
inline std::vector<uint8_t> WaveBytes(uint32_t rate, uint16_t channels, uint16_t bits,
                                      const std::vector<uint8_t>& samples) {
  const auto align = static_cast<uint16_t>(channels * bits / 8);
  const auto dataBytes = static_cast<uint32_t>(samples.size());
  // Fields written in place into a buffer of the final size (GCC 12 misreads growth from empty).
  std::vector<uint8_t> b(44 + samples.size());
  const auto put16 = [&b](size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v & 0xFF);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
  };
  const auto put32 = [&put16](size_t at, uint32_t v) {
    put16(at, static_cast<uint16_t>(v & 0xFFFF));
    put16(at + 2, static_cast<uint16_t>(v >> 16));
  };
  std::memcpy(b.data(), "RIFF", 4);
  put32(4, 36 + dataBytes);
  std::memcpy(b.data() + 8, "WAVEfmt ", 8);
  put32(16, 16);
  put16(20, 1);
  put16(22, channels);
  put32(24, rate);
  put32(28, rate * align);
  put16(32, align);
  put16(34, bits);
  std::memcpy(b.data() + 36, "data", 4);
  put32(40, dataBytes);
  std::copy(samples.begin(), samples.end(), b.begin() + 44);
  return b;
}

inline void WriteWave(const std::string& file, uint32_t rate, uint16_t channels, uint16_t bits,
                      const std::vector<uint8_t>& samples) {
  WriteBytes(file, WaveBytes(rate, channels, bits, samples));
}

// 16-bit samples, interleaved.
inline void WriteWave(const std::string& file, uint32_t rate, uint16_t channels,
                      const std::vector<int16_t>& samples) {
  std::vector<uint8_t> bytes(samples.size() * 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    const auto u = static_cast<uint16_t>(samples[i]);
    bytes[2 * i] = static_cast<uint8_t>(u & 0xFF);
    bytes[2 * i + 1] = static_cast<uint8_t>(u >> 8);
  }
  WriteWave(file, rate, channels, 16, bytes);
}

// What a WAVE file holds, found by walking its chunks: the fmt fields, the two sizes, the bytes of the
// data chunk up to its declared size or the end of the file and, for 16-bit files, those as samples.
struct TWaveContents {
  bool Valid = false; // a RIFF/WAVE file with a fmt chunk before its data chunk
  uint16_t Tag = 0;
  uint16_t Channels = 0;
  uint32_t Rate = 0;
  uint16_t Bits = 0;
  uint32_t RiffSize = 0;
  uint32_t DataSize = 0; // as declared
  std::vector<uint8_t> Data;
  std::vector<int16_t> Samples;
  size_t Frames() const {
    const size_t align = size_t{Channels} * ((Bits + 7u) / 8u);
    return align == 0 ? 0 : Data.size() / align;
  }
};

// A file's contents as std::string or bytes.
template <class Bytes> TWaveContents ParseWave(const Bytes& b) {
  const auto idAt = [&b](size_t at, const char* id) {
    for (size_t i = 0; i < 4; ++i) {
      if (static_cast<uint8_t>(b[at + i]) != static_cast<uint8_t>(id[i])) {
        return false;
      }
    }
    return true;
  };
  TWaveContents w;
  if (b.size() < 12 || !idAt(0, "RIFF") || !idAt(8, "WAVE")) {
    return w;
  }
  w.RiffSize = U32At(b, 4);
  size_t at = 12;
  while (at + 8 <= b.size()) {
    const uint32_t size = U32At(b, at + 4);
    if (idAt(at, "fmt ") && at + 24 <= b.size()) {
      w.Tag = U16At(b, at + 8);
      w.Channels = U16At(b, at + 10);
      w.Rate = U32At(b, at + 12);
      w.Bits = U16At(b, at + 22);
    } else if (idAt(at, "data")) {
      w.DataSize = size;
      const size_t end = std::min<size_t>(b.size(), at + 8 + static_cast<size_t>(size));
      w.Data.assign(b.begin() + static_cast<std::ptrdiff_t>(at + 8),
                    b.begin() + static_cast<std::ptrdiff_t>(end));
      if (w.Bits == 16) {
        w.Samples.resize(w.Data.size() / 2);
        for (size_t i = 0; i < w.Samples.size(); ++i) {
          w.Samples[i] = static_cast<int16_t>(U16At(w.Data, 2 * i));
        }
      }
      w.Valid = w.Channels > 0;
      return w;
    }
    at += 8 + static_cast<size_t>(size) + (size & 1u);
  }
  return w;
}

inline TWaveContents ReadWave(const std::string& file) {
  return ParseWave(ReadText(file));
}

} // namespace sonotest

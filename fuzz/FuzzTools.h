// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Helpers shared by the fuzz targets: a per-process scratch file and a hard stop for a broken
// invariant (libFuzzer reports the trap as a crash and keeps the input).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace fuzzing {

// A file in the temporary folder that lives as long as the process.
class TScratchFile {
public:
  explicit TScratchFile(const char* suffix) {
    const char* tmp = std::getenv("TMPDIR");
    path = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/sonolab-fuzz-" +
           std::to_string(::getpid()) + suffix;
  }
  ~TScratchFile() { ::unlink(path.c_str()); }
  TScratchFile(const TScratchFile&) = delete;
  TScratchFile& operator=(const TScratchFile&) = delete;

  // Replaces the file's content with the bytes given, then with the tail given (if any).
  const std::string& Write(const uint8_t* data, size_t size, const uint8_t* tail = nullptr,
                           size_t tailSize = 0) const {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
      std::perror(path.c_str());
      std::abort();
    }
    if ((size > 0 && std::fwrite(data, 1, size, f) != size) ||
        (tailSize > 0 && std::fwrite(tail, 1, tailSize, f) != tailSize)) {
      std::perror(path.c_str());
      std::abort();
    }
    std::fclose(f);
    return path;
  }
  const std::string& Path() const { return path; }

private:
  std::string path;
};

// Whether a file starts as RIFF/WAVE: the file input's own reader takes such a file, libsndfile any
// other.
inline bool StartsAsWave(const uint8_t* data, size_t size) {
  return size >= 12 && std::memcmp(data, "RIFF", 4) == 0 && std::memcmp(data + 8, "WAVE", 4) == 0;
}

// The 16-bit byte sum the settings files end with, little-endian.
inline void Checksum(const uint8_t* data, size_t size, uint8_t (&out)[2]) {
  uint16_t sum = 0;
  for (size_t i = 0; i < size; ++i) {
    sum = static_cast<uint16_t>(sum + data[i]);
  }
  out[0] = static_cast<uint8_t>(sum & 0xFF);
  out[1] = static_cast<uint8_t>(sum >> 8);
}

#define FUZZ_CHECK(condition)                                                                                \
  do {                                                                                                       \
    if (!(condition)) {                                                                                      \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition);                 \
      __builtin_trap();                                                                                      \
    }                                                                                                        \
  } while (false)

} // namespace fuzzing

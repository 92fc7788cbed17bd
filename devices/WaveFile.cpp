#include "devices/WaveFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>

namespace {

constexpr const char* InvalidFormat = "Неверный формат файла";
constexpr const char* UnsupportedFormat = "Неподдерживаемый формат файла";
// Far above any recorded sound (768 kHz is the fastest converter rate in use); a larger rate is a
// broken header, and its blocks (a tenth of a second each) would not fit in memory.
constexpr uint32_t MaxSampleRate = 1000000;
constexpr const char* EndOfFile = "Достигнут конец файла";
constexpr const char* SizeLimitReached = "Превышен максимальный размер файла WAVE (4 ГБ)";

constexpr uint64_t ToEndOfFile = std::numeric_limits<uint64_t>::max();
constexpr size_t HeaderBytes = 44;
constexpr uint16_t TagPCM = 1;
constexpr uint16_t TagExtensible = 0xFFFE;
// KSDATAFORMAT_SUBTYPE_PCM as it lies in the file.
constexpr uint8_t SubFormatPCM[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                      0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    p[i] = static_cast<uint8_t>(v >> (8 * i));
  }
}
bool IsId(const uint8_t* p, const char (&id)[5]) {
  return std::memcmp(p, id, 4) == 0;
}

// Reads up to n bytes at offset, as many as the file has; -1 on a read error (errno set).
ssize_t ReadAt(int fd, uint8_t* data, size_t n, uint64_t offset) {
  size_t done = 0;
  while (done < n) {
    const ssize_t r = ::pread(fd, data + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0) {
      if (errno == EINTR) {
        continue;
      }
      return -1;
    }
    if (r == 0) {
      break;
    }
    done += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(done);
}

// Writes all n bytes at offset; false with errno set otherwise (ENOSPC when the disk took nothing).
bool WriteAt(int fd, const uint8_t* data, size_t n, uint64_t offset) {
  size_t done = 0;
  while (done < n) {
    const ssize_t r = ::pwrite(fd, data + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    if (r == 0) {
      errno = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(r);
  }
  return true;
}

std::array<uint8_t, HeaderBytes> MakeHeader(const TWaveFormat& f, uint32_t dataBytes) {
  std::array<uint8_t, HeaderBytes> h{};
  std::memcpy(&h[0], "RIFF", 4);
  Put32(&h[4], 36 + dataBytes);
  std::memcpy(&h[8], "WAVE", 4);
  std::memcpy(&h[12], "fmt ", 4);
  Put32(&h[16], 16);
  Put16(&h[20], f.wFormatTag);
  Put16(&h[22], f.nChannels);
  Put32(&h[24], f.nSamplesPerSec);
  Put32(&h[28], f.nAvgBytesPerSec);
  Put16(&h[32], f.nBlockAlign);
  Put16(&h[34], f.wBitsPerSample);
  std::memcpy(&h[36], "data", 4);
  Put32(&h[40], dataBytes);
  return h;
}

} // namespace

// ---- Reader ----------------------------------------------------------------------------------

TWAVEFileRecordingDevice::TWAVEFileRecordingDevice() : TRecordingDevice(dkWaveFileRecording) {}

TWAVEFileRecordingDevice::~TWAVEFileRecordingDevice() {
  Close();
}

void TWAVEFileRecordingDevice::Open() {
  Close();
  fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    RaiseSystemError(__LINE__, "CreateFile");
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    RaiseSystemError(__LINE__, "CreateFile");
  }
  const auto fileBytes = static_cast<uint64_t>(st.st_size);

  // A check that fails without a system error shows its message as the description.
  errno = 0;
  uint8_t riff[12];
  const ssize_t got = ReadAt(fd, riff, sizeof riff, 0);
  if (got < 0) {
    RaiseSystemError(__LINE__, InvalidFormat);
  }
  if (got < 12 || !IsId(riff, "RIFF") || !IsId(riff + 8, "WAVE")) {
    RaiseSystemError(__LINE__, InvalidFormat);
  }

  // Walk the chunks: the first "fmt " gives the format, the "data" after it the samples; anything
  // else (LIST, JUNK, fact, ...) is skipped, with the pad byte that follows an odd-sized chunk.
  TWaveFormat format = buffer.Format();
  bool haveFormat = false;
  uint64_t chunk = 12;
  while (true) {
    uint8_t header[8];
    const ssize_t h = ReadAt(fd, header, sizeof header, chunk);
    if (h != static_cast<ssize_t>(sizeof header)) {
      RaiseSystemError(__LINE__, InvalidFormat); // no "data" chunk
    }
    const uint32_t size = Get32(header + 4);
    const uint64_t body = chunk + 8;

    if (IsId(header, "fmt ") && !haveFormat) {
      uint8_t fmt[40] = {};
      const size_t want = std::min<size_t>(size, sizeof fmt);
      if (size < 16 || ReadAt(fd, fmt, want, body) != static_cast<ssize_t>(want)) {
        RaiseSystemError(__LINE__, InvalidFormat);
      }
      const uint16_t tag = Get16(fmt);
      const uint16_t channels = Get16(fmt + 2);
      const uint32_t rate = Get32(fmt + 4);
      const uint16_t blockAlign = Get16(fmt + 12);
      const uint16_t bits = Get16(fmt + 14);
      const bool extensiblePCM = tag == TagExtensible && size >= 40 && Get16(fmt + 16) >= 22 &&
                                 std::memcmp(fmt + 24, SubFormatPCM, 16) == 0;
      if (tag != TagPCM && !extensiblePCM) {
        RaiseSystemError(__LINE__, UnsupportedFormat);
      }
      if (channels < 1 || channels > 2) {
        RaiseSystemError(__LINE__, UnsupportedFormat);
      }
      if (bits != 8 && bits != 16) {
        RaiseSystemError(__LINE__, UnsupportedFormat);
      }
      if (blockAlign != channels * bits / 8 || rate == 0 || rate > MaxSampleRate) {
        RaiseSystemError(__LINE__, UnsupportedFormat);
      }
      format.wFormatTag = TagPCM;
      format.nChannels = channels;
      format.nSamplesPerSec = rate;
      format.nBlockAlign = blockAlign;
      format.nAvgBytesPerSec = rate * blockAlign;
      format.wBitsPerSample = bits;
      haveFormat = true;
    } else if (IsId(header, "data")) {
      if (!haveFormat) {
        RaiseSystemError(__LINE__, InvalidFormat);
      }
      position = body;
      // A size of 0 or 0xFFFFFFFF, or one past the end, is that of a file still being written.
      const bool open = size == 0 || size == 0xFFFFFFFFu || body + size > fileBytes;
      dataEnd = open ? ToEndOfFile : body + size;
      break;
    }
    chunk = body + size + (size & 1u);
  }

  buffer.Format() = format; // the extra-size field keeps its value
  TAudioDevice::Open();
}

void TWAVEFileRecordingDevice::Close() {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

void TWAVEFileRecordingDevice::Read() {
  buffer.Silence();
  const auto want = static_cast<uint64_t>(std::max(buffer.Bytes(), 0));
  const uint64_t left = dataEnd == ToEndOfFile ? want : dataEnd - std::min(dataEnd, position);
  const uint64_t n = std::min(want, left);
  const ssize_t got = ReadAt(fd, buffer.Data(), static_cast<size_t>(n), position);
  if (got < 0) {
    RaiseSystemError(__LINE__, "ReadFile");
  }
  position += static_cast<uint64_t>(got);
  if (want == 0 || static_cast<uint64_t>(got) != want) {
    RaiseNotice(EndOfFile);
  }
}

// ---- Writer ----------------------------------------------------------------------------------

TWAVEFilePlaybackDevice::TWAVEFilePlaybackDevice(uint64_t maxDataBytes)
    : TPlaybackDevice(dkWaveFilePlayback), maxDataBytes(std::min(maxDataBytes, MaxDataBytes)) {}

TWAVEFilePlaybackDevice::~TWAVEFilePlaybackDevice() {
  Close();
}

void TWAVEFilePlaybackDevice::Open() {
  Close();
  TAudioDevice::Open();
  fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    RaiseSystemError(__LINE__, "CreateFile");
  }
  dataBytes = 0;
  patchedDataBytes = 0;
  const auto header = MakeHeader(buffer.Format(), 0);
  if (!WriteAt(fd, header.data(), header.size(), 0)) {
    RaiseSystemError(__LINE__, "WriteFile");
  }
}

void TWAVEFilePlaybackDevice::PatchSizes() {
  // The whole header in one write, so that a kill cannot leave the two sizes disagreeing.
  const auto header = MakeHeader(buffer.Format(), dataBytes);
  if (!WriteAt(fd, header.data(), header.size(), 0)) {
    RaiseSystemError(__LINE__, "WriteFile");
  }
  patchedDataBytes = dataBytes;
}

void TWAVEFilePlaybackDevice::Write() {
  if (fd < 0) {
    errno = EBADF;
    RaiseSystemError(__LINE__, "WriteFile");
  }
  const auto n = static_cast<uint64_t>(std::max(buffer.Bytes(), 0));
  if (dataBytes + n > maxDataBytes) {
    // The file keeps what it has, under a header that describes it.
    if (patchedDataBytes != dataBytes) {
      PatchSizes();
    }
    TDSPException e;
    e.ResultCode = EFBIG;
    e.SourceFile = "VirtDevs.cpp";
    e.SourceLine = __LINE__;
    e.Operation = "WriteFile";
    e.Description = SizeLimitReached;
    throw e;
  }
  if (!WriteAt(fd, buffer.Data(), static_cast<size_t>(n), HeaderBytes + dataBytes)) {
    // Drop the part of the block that did get written, so the samples end with a whole block.
    const int error = errno;
    [[maybe_unused]] const int ignored = ::ftruncate(fd, static_cast<off_t>(HeaderBytes + dataBytes));
    errno = error;
    RaiseSystemError(__LINE__, "WriteFile");
  }
  dataBytes += static_cast<uint32_t>(n);
  // Patch before the next block could put a whole second on disk beyond the header, so that a
  // process killed between that block's write and its patch still loses less than a second.
  const uint64_t second = std::max<uint32_t>(buffer.Format().nAvgBytesPerSec, 1);
  if (dataBytes - patchedDataBytes + n >= second) {
    PatchSizes();
  }
}

void TWAVEFilePlaybackDevice::Close() {
  if (fd < 0) {
    return;
  }
  const auto header = MakeHeader(buffer.Format(), dataBytes);
  [[maybe_unused]] const bool written = WriteAt(fd, header.data(), header.size(), 0);
  ::close(fd);
  fd = -1;
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/WaveFile.h"

#include "devices/AudioFormats.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>

namespace {

constexpr const char* InvalidFormat = "Неверный формат файла";
constexpr const char* UnsupportedFormat = "Неподдерживаемый формат файла";
constexpr const char* EndOfFile = "Достигнут конец файла";
constexpr const char* SizeLimitReached = "Превышен максимальный размер файла WAVE (4 ГБ)";

constexpr uint64_t ToEndOfFile = std::numeric_limits<uint64_t>::max();
constexpr size_t HeaderBytes = 44;
constexpr uint16_t TagPCM = 1;
constexpr uint16_t TagFloat = 3;
constexpr uint16_t TagExtensible = 0xFFFE;
// The sub-format GUIDs of the extensible layout after their first two bytes (the plain format tag:
// 1 for KSDATAFORMAT_SUBTYPE_PCM, 3 for KSDATAFORMAT_SUBTYPE_IEEE_FLOAT), as they lie in the file.
constexpr uint8_t SubFormatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                       0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
// A declared data size at or above this, or zero, is a stream's mark of an unknown length.
constexpr uint32_t UnknownStreamLength = 0x7FFF0000u;
constexpr const char* WhatIsRead =
    "читаются PCM 8, 16, 24 и 32 бит и числа с плавающей точкой 32 и 64 бит, моно и стерео";

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

// Reads up to n bytes at offset (or, for a stream, at its current position), as many as there are;
// -1 on a read error (errno set).
ssize_t ReadAt(int fd, bool seekable, uint8_t* data, size_t n, uint64_t offset) {
  size_t done = 0;
  while (done < n) {
    const ssize_t r = seekable ? ::pread(fd, data + done, n - done, static_cast<off_t>(offset + done))
                               : ::read(fd, data + done, n - done);
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

// Writes all n bytes at offset (or, for a stream, after what it has taken); false with errno set
// otherwise (ENOSPC when the disk took nothing).
bool WriteAt(int fd, bool seekable, const uint8_t* data, size_t n, uint64_t offset) {
  size_t done = 0;
  while (done < n) {
    const ssize_t r = seekable ? ::pwrite(fd, data + done, n - done, static_cast<off_t>(offset + done))
                               : ::write(fd, data + done, n - done);
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
  Put32(&h[4], static_cast<uint32_t>(std::min<uint64_t>(36ull + dataBytes, 0xFFFFFFFFull)));
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

std::string FileSubject(const std::string& name, const char* standardStream) {
  return name == "-" ? std::string(standardStream) : "Файл \"" + name + "\"";
}

// The name of a compressed format tag, for the refusal.
std::string TagText(uint16_t tag) {
  struct TTag {
    uint16_t Tag;
    const char* Name;
  };
  static constexpr TTag Names[] = {{0x0002, "ADPCM"},        {0x0006, "A-law"},    {0x0007, "mu-law"},
                                   {0x0011, "IMA ADPCM"},    {0x0031, "GSM 6.10"}, {0x0050, "MPEG"},
                                   {0x0055, "MPEG Layer 3"}, {0x00FF, "AAC"},      {0x2000, "AC-3"},
                                   {0xF1AC, "FLAC"}};
  char code[16];
  std::snprintf(code, sizeof code, "0x%04X", tag);
  for (const TTag& t : Names) {
    if (t.Tag == tag) {
      return std::string("сжатый звук ") + t.Name + " (код формата " + code + ")";
    }
  }
  return std::string("звук в формате с кодом ") + code;
}

} // namespace

std::string WaveFileFormatText(const TWaveFileFormat& format) {
  char text[128];
  const bool isFloat =
      format.Encoding == TSampleEncoding::Float32 || format.Encoding == TSampleEncoding::Float64;
  std::snprintf(text, sizeof text, "%u,%03u КГц, %u бит, %s, %s", format.SampleRate / 1000,
                format.SampleRate % 1000, static_cast<unsigned>(format.Bits),
                format.Channels == 1 ? "моно" : "стерео", isFloat ? "с плавающей точкой" : "целые");
  return text;
}

// ---- Reader ----------------------------------------------------------------------------------

TWAVEFileRecordingDevice::TWAVEFileRecordingDevice() : TRecordingDevice(dkWaveFileRecording) {}

TWAVEFileRecordingDevice::~TWAVEFileRecordingDevice() {
  Close();
}

std::string TWAVEFileRecordingDevice::Subject() const {
  return FileSubject(fileName, "Стандартный ввод");
}

size_t TWAVEFileRecordingDevice::ReadBytes(uint8_t* data, size_t n) {
  const ssize_t got = ReadAt(fd, seekable, data, n, position);
  if (got < 0) {
    RaiseSystemError(__LINE__, "ReadFile", Subject());
  }
  position += static_cast<uint64_t>(got);
  return static_cast<size_t>(got);
}

bool TWAVEFileRecordingDevice::Skip(uint64_t n) {
  if (seekable) {
    position += n;
    return true;
  }
  uint8_t scratch[4096];
  while (n > 0) {
    const size_t step = static_cast<size_t>(std::min<uint64_t>(n, sizeof scratch));
    if (ReadBytes(scratch, step) != step) {
      return false;
    }
    n -= step;
  }
  return true;
}

void TWAVEFileRecordingDevice::Open() {
  Close();
  if (fileName == "-") {
    fd = STDIN_FILENO;
    ownsFd = false;
  } else {
    fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    ownsFd = true;
    if (fd < 0) {
      RaiseSystemError(__LINE__, "CreateFile", Subject());
    }
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    RaiseSystemError(__LINE__, "CreateFile", Subject());
  }
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    RaiseSystemError(__LINE__, "CreateFile", Subject());
  }
  seekable = S_ISREG(st.st_mode);
  position = 0;
  samplesEnded = false;
  tailLeft = tailFrames;
  // A file of another kind goes to libsndfile; a pipe can only hold WAVE, read as it comes.
  uint8_t head[12] = {};
  if (seekable && !(ReadAt(fd, true, head, sizeof head, 0) == sizeof head && IsId(head, "RIFF") &&
                    IsId(head + 8, "WAVE"))) {
    decoded = std::make_unique<TSoundFileReader>(fd, Subject());
    totalFrames = decoded->Frames();
    TakeFormat(decoded->Channels(), decoded->SampleRate(), 16);
    decoded->Reserve(buffer.CapacityFrames());
    return;
  }
  ParseHeader();
  if (seekable && dataEnd == ToEndOfFile) {
    totalFrames =
        static_cast<int64_t>((static_cast<uint64_t>(st.st_size) - std::min<uint64_t>(position, st.st_size)) /
                             static_cast<uint64_t>(fileFrameBytes));
  }
  TakeFormat(fileFormat.Channels, fileFormat.SampleRate,
             fileFormat.Encoding == TSampleEncoding::Unsigned8 ? 8 : 16);
  staging.assign(fileFormat.Converted()
                     ? static_cast<size_t>(buffer.CapacityFrames()) * static_cast<size_t>(fileFrameBytes)
                     : 0,
                 0);
}

void TWAVEFileRecordingDevice::TakeFormat(uint16_t channels, uint32_t rate, uint16_t bits) {
  TWaveFormat format = buffer.Format(); // the extra-size field keeps its value
  format.wFormatTag = TagPCM;
  format.nChannels = channels;
  format.nSamplesPerSec = rate;
  format.wBitsPerSample = bits;
  format.nBlockAlign = static_cast<uint16_t>(format.nChannels * format.wBitsPerSample / 8);
  format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
  buffer.Format() = format;
  TAudioDevice::Open();
}

std::string TWAVEFileRecordingDevice::FileFormatText() const {
  return decoded ? decoded->FormatText() : WaveFileFormatText(fileFormat);
}

void TWAVEFileRecordingDevice::ParseHeader() {
  // A check that fails without a system error shows its message as the description.
  errno = 0;
  const std::string subject = Subject();
  uint8_t riff[12];
  if (ReadBytes(riff, sizeof riff) < sizeof riff || !IsId(riff, "RIFF") || !IsId(riff + 8, "WAVE")) {
    errno = 0;
    RaiseSystemError(__LINE__, std::string(InvalidFormat) + ": из канала читается только звук WAVE", subject);
  }
  const auto unsupported = [&](int32_t line, const std::string& holds) {
    errno = 0;
    RaiseSystemError(line, std::string(UnsupportedFormat) + ": в файле " + holds + "; " + WhatIsRead,
                     subject);
  };

  // Walk the chunks: the first "fmt " gives the format, the "data" after it the samples; anything
  // else (LIST, JUNK, fact, ...) is skipped, with the pad byte that follows an odd-sized chunk.
  bool haveFormat = false;
  while (true) {
    uint8_t header[8];
    if (ReadBytes(header, sizeof header) != sizeof header) {
      errno = 0;
      RaiseSystemError(__LINE__, InvalidFormat, subject); // no "data" chunk
    }
    const uint32_t size = Get32(header + 4);
    const uint64_t padded = static_cast<uint64_t>(size) + (size & 1u);

    if (IsId(header, "fmt ") && !haveFormat) {
      uint8_t fmt[40] = {};
      const size_t want = std::min<size_t>(size, sizeof fmt);
      if (size < 16 || ReadBytes(fmt, want) != want || !Skip(padded - want)) {
        errno = 0;
        RaiseSystemError(__LINE__, InvalidFormat, subject);
      }
      uint16_t tag = Get16(fmt);
      const uint16_t channels = Get16(fmt + 2);
      const uint32_t rate = Get32(fmt + 4);
      const uint16_t blockAlign = Get16(fmt + 12);
      const uint16_t bits = Get16(fmt + 14);
      fileFormat.Extensible = tag == TagExtensible;
      if (tag == TagExtensible) {
        if (size < 40 || Get16(fmt + 16) < 22 || std::memcmp(fmt + 26, SubFormatTail, 14) != 0) {
          unsupported(__LINE__, "расширенный формат без известного вида отсчётов");
        }
        tag = Get16(fmt + 24);
      }
      if (tag != TagPCM && tag != TagFloat) {
        unsupported(__LINE__, TagText(tag));
      }
      if (channels < 1 || channels > 2) {
        unsupported(__LINE__, ChannelCountText(channels));
      }
      const char* kind = tag == TagFloat ? " бит с плавающей точкой" : " бит PCM";
      if (tag == TagPCM && bits == 8) {
        fileFormat.Encoding = TSampleEncoding::Unsigned8;
      } else if (tag == TagPCM && bits == 16) {
        fileFormat.Encoding = TSampleEncoding::Signed16;
      } else if (tag == TagPCM && bits == 24) {
        fileFormat.Encoding = TSampleEncoding::Signed24;
      } else if (tag == TagPCM && bits == 32) {
        fileFormat.Encoding = TSampleEncoding::Signed32;
      } else if (tag == TagFloat && bits == 32) {
        fileFormat.Encoding = TSampleEncoding::Float32;
      } else if (tag == TagFloat && bits == 64) {
        fileFormat.Encoding = TSampleEncoding::Float64;
      } else {
        unsupported(__LINE__, "звук " + std::to_string(bits) + kind);
      }
      if (blockAlign != channels * bits / 8) {
        unsupported(__LINE__, "звук " + std::to_string(bits) + kind + ", " + ChannelCountText(channels) +
                                  " с кадром в " + std::to_string(blockAlign) + " байт вместо " +
                                  std::to_string(channels * bits / 8));
      }
      if (rate == 0 || rate > MaxFileSampleRate) {
        unsupported(__LINE__, "звук с частотой дискретизации " + std::to_string(rate) + " Гц");
      }
      fileFormat.Channels = channels;
      fileFormat.SampleRate = rate;
      fileFormat.Bits = bits;
      fileFrameBytes = blockAlign;
      haveFormat = true;
    } else if (IsId(header, "data")) {
      if (!haveFormat) {
        errno = 0;
        RaiseSystemError(__LINE__, InvalidFormat, subject);
      }
      // A size of 0 or 0xFFFFFFFF, or one past the end, is that of a file still being written; a
      // stream marks an unknown length with 0 or a size near 2 GiB.
      struct stat st {};
      const bool unknown =
          seekable ? size == 0 || size == 0xFFFFFFFFu ||
                         (::fstat(fd, &st) == 0 && position + size > static_cast<uint64_t>(st.st_size))
                   : size == 0 || size >= UnknownStreamLength;
      dataStart = position;
      dataEnd = unknown ? ToEndOfFile : position + size;
      totalFrames = unknown ? -1 : static_cast<int64_t>(size / static_cast<uint32_t>(fileFrameBytes));
      return;
    } else if (!Skip(padded)) {
      errno = 0;
      RaiseSystemError(__LINE__, InvalidFormat, subject);
    }
  }
}

void TWAVEFileRecordingDevice::Rewind() {
  if (!CanRewind()) {
    return;
  }
  if (decoded) {
    decoded->Rewind();
  } else {
    position = dataStart;
  }
  samplesEnded = false;
  tailLeft = tailFrames;
}

void TWAVEFileRecordingDevice::Close() {
  decoded.reset();
  if (fd >= 0 && ownsFd) {
    ::close(fd);
  }
  fd = -1;
  ownsFd = false;
}

void TWAVEFileRecordingDevice::Read() {
  buffer.SetLength(buffer.CapacityFrames());
  buffer.Silence();
  if (fd < 0) {
    errno = EBADF;
    RaiseSystemError(__LINE__, "ReadFile", Subject());
  }
  if (!samplesEnded && decoded) {
    const int32_t frames = decoded->Read(buffer.Data(), buffer.CapacityFrames());
    samplesEnded = frames < buffer.CapacityFrames();
    if (frames > 0) {
      buffer.SetLength(frames);
      return;
    }
  } else if (!samplesEnded) {
    const auto capacity = static_cast<uint64_t>(buffer.CapacityFrames());
    const uint64_t want = capacity * static_cast<uint64_t>(fileFrameBytes);
    const uint64_t left = dataEnd == ToEndOfFile ? want : dataEnd - std::min(dataEnd, position);
    const bool converted = fileFormat.Converted();
    uint8_t* target = converted ? staging.data() : buffer.Data();
    const size_t got = ReadBytes(target, static_cast<size_t>(std::min(want, left)));
    const auto frames = static_cast<int32_t>(got / static_cast<size_t>(fileFrameBytes));
    if (converted) {
      ConvertSamplesTo16(fileFormat.Encoding, staging.data(),
                         static_cast<size_t>(frames) * fileFormat.Channels, buffer.Data());
    } else if (got % static_cast<size_t>(fileFrameBytes) != 0) {
      // The bytes of a frame cut off at the end stay out of the block.
      const uint8_t silence = buffer.Format().wBitsPerSample == 8 ? 128 : 0;
      std::memset(target + static_cast<size_t>(frames) * static_cast<size_t>(fileFrameBytes), silence,
                  got % static_cast<size_t>(fileFrameBytes));
    }
    if (static_cast<uint64_t>(frames) < capacity) {
      samplesEnded = true;
    }
    if (frames > 0) {
      buffer.SetLength(frames);
      return;
    }
  }
  if (tailLeft > 0) {
    const auto frames = static_cast<int32_t>(std::min<int64_t>(tailLeft, buffer.CapacityFrames()));
    tailLeft -= frames;
    buffer.SetLength(frames);
    return;
  }
  RaiseNotice(EndOfFile);
}

// ---- Writer ----------------------------------------------------------------------------------

TWAVEFilePlaybackDevice::TWAVEFilePlaybackDevice(uint64_t maxDataBytes)
    : TPlaybackDevice(dkWaveFilePlayback), maxDataBytes(std::min(maxDataBytes, MaxDataBytes)) {}

TWAVEFilePlaybackDevice::~TWAVEFilePlaybackDevice() {
  try {
    Close();
  } catch (const TDSPException&) {
    // Nobody asked: an owner that reports the end of the file closes it before it lets it go.
  }
}

std::string TWAVEFilePlaybackDevice::Subject() const {
  return FileSubject(fileName, "Стандартный вывод");
}

void TWAVEFilePlaybackDevice::Open() {
  Close();
  TAudioDevice::Open();
  const TFileKind kind = FileKind();
  if (kind != TFileKind::Wave) {
    // Refused before the file is created, so that an existing one stays as it was.
    const std::string problem = FileOutputProblem(fileName, kind, buffer.Format());
    if (!problem.empty()) {
      errno = 0;
      RaiseSystemError(__LINE__, problem, Subject());
    }
  }
  if (fileName == "-") {
    fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  } else {
    fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  }
  if (fd < 0) {
    RaiseSystemError(__LINE__, "CreateFile", Subject());
  }
  // Only a regular file written from its start can have its header patched; standard output may be
  // one (a redirection) or a pipe, a terminal or a device.
  struct stat st {};
  regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  const int flags = ::fcntl(fd, F_GETFL);
  streaming = !regular || (fileName == "-" && (::lseek(fd, 0, SEEK_CUR) != 0 || (flags & O_APPEND) != 0));
  failed = false;
  dataBytes = 0;
  patchedDataBytes = 0;
  if (kind != TFileKind::Wave) {
    try {
      encoded = std::make_unique<TSoundFileWriter>(fd, !streaming, kind, buffer.Format(),
                                                   buffer.CapacityFrames(), Subject());
    } catch (const TDSPException&) {
      failed = true; // reported by the caller of Open
      throw;
    }
    return;
  }
  const auto header = MakeHeader(buffer.Format(), streaming ? StreamDataBytes : 0);
  if (!WriteAt(fd, !streaming, header.data(), header.size(), 0)) {
    failed = true;
    RaiseSystemError(__LINE__, "WriteFile", Subject());
  }
}

void TWAVEFilePlaybackDevice::PatchSizes() {
  // The whole header in one write, so that a kill cannot leave the two sizes disagreeing.
  const auto header = MakeHeader(buffer.Format(), dataBytes);
  if (!WriteAt(fd, true, header.data(), header.size(), 0)) {
    RaiseSystemError(__LINE__, "WriteFile", Subject());
  }
  patchedDataBytes = dataBytes;
}

void TWAVEFilePlaybackDevice::Write() {
  try {
    WriteBlock();
  } catch (const TDSPException&) {
    failed = true; // reported by whoever called; the close reports nothing more of this file
    throw;
  }
}

void TWAVEFilePlaybackDevice::WriteBlock() {
  if (fd < 0) {
    errno = EBADF;
    RaiseSystemError(__LINE__, "WriteFile", Subject());
  }
  const auto n = static_cast<uint64_t>(std::max(buffer.Bytes(), 0));
  if (encoded) {
    encoded->Write(buffer.Data(), buffer.Frames());
    dataBytes = static_cast<uint32_t>(std::min<uint64_t>(dataBytes + n, 0xFFFFFFFFull));
    return;
  }
  if (streaming) {
    // Nothing to patch: the header already stands for a stream of unknown length.
    if (!WriteAt(fd, false, buffer.Data(), static_cast<size_t>(n), 0)) {
      RaiseSystemError(__LINE__, "WriteFile", Subject());
    }
    dataBytes = static_cast<uint32_t>(std::min<uint64_t>(dataBytes + n, 0xFFFFFFFFull));
    return;
  }
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
    e.Description = Subject() + ": " + SizeLimitReached;
    throw e;
  }
  if (!WriteAt(fd, true, buffer.Data(), static_cast<size_t>(n), HeaderBytes + dataBytes)) {
    // Drop the part of the block that did get written, so the samples end with a whole block.
    const int error = errno;
    [[maybe_unused]] const int ignored = ::ftruncate(fd, static_cast<off_t>(HeaderBytes + dataBytes));
    errno = error;
    RaiseSystemError(__LINE__, "WriteFile", Subject());
  }
  dataBytes += static_cast<uint32_t>(n);
  // Patch before the next block could put a whole second on disk beyond the header, so that a
  // process killed between that block's write and its patch still loses less than a second.
  const uint64_t second = std::max<uint32_t>(buffer.Format().nAvgBytesPerSec, 1);
  if (dataBytes - patchedDataBytes +
          static_cast<uint64_t>(buffer.CapacityFrames()) * buffer.Format().nBlockAlign >=
      second) {
    PatchSizes();
  }
}

void TWAVEFilePlaybackDevice::Close() {
  if (fd < 0) {
    return;
  }
  const int file = fd;
  fd = -1;
  // Every step runs whatever failed before it, so that the descriptor is always released; the first
  // failure is raised at the end. A file that a Write already reported as short reports nothing more.
  std::optional<TDSPException> failure;
  const auto step = [&](const auto& run) {
    try {
      run();
    } catch (const TDSPException& e) {
      if (!failure) {
        failure = e;
      }
    }
  };
  if (encoded) {
    step([&] { encoded->Finish(); }); // the encoder's last frames, and FLAC's header
    encoded.reset();
  } else if (!streaming) {
    step([&] {
      const auto header = MakeHeader(buffer.Format(), dataBytes);
      if (!WriteAt(file, true, header.data(), header.size(), 0)) {
        RaiseSystemError(__LINE__, "WriteFile", Subject());
      }
    });
  }
  if (regular) {
    // A file on disk is done only when the disk has it: a delayed write that fails shows here.
    step([&] {
      if (::fsync(file) != 0) {
        RaiseSystemError(__LINE__, "FlushFileBuffers", Subject());
      }
    });
  }
  step([&] {
    if (::close(file) != 0 && errno != EINTR) {
      RaiseSystemError(__LINE__, "CloseHandle", Subject());
    }
  });
  if (failure && !failed) {
    failed = true;
    throw *failure;
  }
}

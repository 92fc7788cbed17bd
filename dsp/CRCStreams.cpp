// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/CRCStreams.h"

#include "dsp/Filter.h"
#include "dsp/FilterError.h"
#include "dsp/FilterList.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>

namespace {

// "…: это папка!" for what is not a regular file; `cannot` is the message's first words.
std::string NotRegularFile(std::string_view cannot, mode_t mode) {
  const char* what = S_ISDIR(mode)                    ? "это папка"
                     : S_ISFIFO(mode)                 ? "это канал"
                     : S_ISCHR(mode) || S_ISBLK(mode) ? "это устройство"
                                                      : "это не обычный файл";
  return std::string(cannot) + ": " + what + "!";
}

// The message's first words, before its "!".
std::string_view Lead(const char* message) {
  const std::string_view text(message);
  return text.substr(0, text.find('!'));
}

// The file a name stands for, symbolic links followed (also a link to a file not yet made); the name
// itself when a link cannot be read.
std::string FollowLinks(std::string name) {
  for (int hop = 0; hop < 40; ++hop) {
    struct stat st {};
    if (::lstat(name.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      break;
    }
    std::string link(PATH_MAX, '\0');
    const ssize_t n = ::readlink(name.c_str(), link.data(), link.size());
    if (n <= 0) {
      break;
    }
    link.resize(static_cast<size_t>(n));
    const size_t slash = name.rfind('/');
    name = link[0] == '/' || slash == std::string::npos ? link : name.substr(0, slash + 1) + link;
  }
  return name;
}

std::string FolderOf(const std::string& name) {
  const size_t slash = name.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
}

bool WriteAll(int fd, const uint8_t* data, size_t n) {
  while (n > 0) {
    const ssize_t r = ::write(fd, data, n);
    if (r < 0 && errno == EINTR) {
      continue;
    }
    if (r <= 0) {
      errno = r == 0 ? ENOSPC : errno;
      return false;
    }
    data += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

int32_t Int32At(const std::vector<uint8_t>& b, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) {
    v |= static_cast<uint32_t>(b[at + i]) << (8 * i);
  }
  return static_cast<int32_t>(v);
}

} // namespace

const char* SettingsKindText(TSettingsKind kind) {
  return kind == TSettingsKind::Filter ? "файлом параметров фильтра (.flt)"
                                       : "файлом параметров фильтров (.lst)";
}

// ---- Saving ------------------------------------------------------------------------------------

CRCofstream::CRCofstream(const std::string& fileName) : target(FollowLinks(fileName)) {
  struct stat st {};
  const bool exists = ::stat(target.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    problem = NotRegularFile(Lead(MsgCannotCreateFile), st.st_mode);
    return;
  }
  // A name of our own beside the file, made with the file's permissions (or, for a new file, with
  // those the process gives new files).
  const std::string base = target.substr(target.rfind('/') + 1);
  const std::string stem = FolderOf(target) + "/." + base + "." + std::to_string(::getpid()) + ".";
  for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    temporary = stem + std::to_string(attempt);
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) {
      break;
    }
  }
  if (fd < 0) {
    systemError = errno;
    problem = MsgCannotCreateFile;
    temporary.clear();
    return;
  }
  if (exists) {
    [[maybe_unused]] const int ignored = ::fchmod(fd, st.st_mode & 07777);
  }
}

CRCofstream::~CRCofstream() {
  Discard();
}

void CRCofstream::Discard() {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
  if (!temporary.empty()) {
    ::unlink(temporary.c_str());
    temporary.clear();
  }
}

void CRCofstream::Write(const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < n; ++i) {
    checksum = static_cast<uint16_t>(checksum + p[i]);
  }
  bytes.insert(bytes.end(), p, p + n);
}

void CRCofstream::Finish() {
  bytes.push_back(static_cast<uint8_t>(checksum & 0xFF));
  bytes.push_back(static_cast<uint8_t>(checksum >> 8));
  const auto fail = [this] {
    const int code = errno;
    Discard();
    throw TFilterError(MsgWriteFileError, code);
  };
  if (!WriteAll(fd, bytes.data(), bytes.size()) || ::fsync(fd) != 0) {
    fail();
  }
  const int closed = ::close(fd);
  fd = -1;
  if (closed != 0 && errno != EINTR) {
    fail();
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    fail();
  }
  temporary.clear();
  // The rename reaches the disk with the folder; a file system that cannot sync a folder says EINVAL.
  const int folder = ::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    const bool synced = ::fsync(folder) == 0 || errno == EINVAL;
    const int code = errno;
    ::close(folder);
    if (!synced) {
      throw TFilterError(MsgWriteFileError, code);
    }
  }
}

// ---- Loading -----------------------------------------------------------------------------------

CRCifstream::CRCifstream(const std::string& fileName) {
  // Non-blocking, so that a pipe without a writer or a device cannot hold the open; refused below.
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    systemError = errno;
    problem = MsgCannotOpenFile;
    return;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    systemError = errno;
    problem = MsgCannotOpenFile;
  } else if (!S_ISREG(st.st_mode)) {
    problem = NotRegularFile(Lead(MsgCannotOpenFile), st.st_mode);
  } else if (static_cast<uint64_t>(st.st_size) > MaxSettingsFileBytes) {
    problem = MsgFileTooLarge;
  } else {
    // One byte more than the limit tells a file that grew since fstat.
    bytes.resize(static_cast<size_t>(MaxSettingsFileBytes) + 1);
    size_t got = 0;
    while (got < bytes.size()) {
      const ssize_t r = ::read(fd, bytes.data() + got, bytes.size() - got);
      if (r < 0 && errno == EINTR) {
        continue;
      }
      if (r < 0) {
        systemError = errno;
        problem = MsgCannotOpenFile;
      }
      if (r <= 0) {
        break;
      }
      got += static_cast<size_t>(r);
    }
    bytes.resize(got);
    if (problem.empty() && got > MaxSettingsFileBytes) {
      problem = MsgFileTooLarge;
    }
  }
  ::close(fd);
  if (!problem.empty()) {
    bytes.clear();
    return;
  }
  if (bytes.size() >= 2) {
    uint32_t sum = 0;
    payloadEnd = bytes.size() - 2;
    for (size_t i = 0; i < payloadEnd; ++i) {
      sum += bytes[i];
    }
    const uint32_t stored = bytes[payloadEnd] | (static_cast<uint32_t>(bytes[payloadEnd + 1]) << 8);
    checksumOK = (sum & 0xFFFF) == stored;
  }
}

size_t CRCifstream::Read(void* data, size_t n) {
  const size_t k = std::min(n, payloadEnd - position);
  if (k > 0) {
    std::memcpy(data, bytes.data() + position, k);
  }
  position += k;
  return k;
}

bool HoldsSettingsFile(const std::string& fileName, TSettingsKind kind) {
  CRCifstream in(fileName);
  if (!in.Good() || !in.ChecksumOK()) {
    return false;
  }
  std::vector<uint8_t> payload(MaxSettingsFileBytes);
  payload.resize(in.Read(payload.data(), payload.size()));
  // A chain: its count, then each record after its type (which the record repeats), then 16 flags.
  const int32_t first = payload.size() >= 4 ? Int32At(payload, 0) : -1;
  const bool chain = first >= 0 && first <= TFilterList::MaxFilters &&
                     (first == 0 ? payload.size() == 20
                                 : payload.size() >= 28 && Int32At(payload, 4) == Int32At(payload, 8));
  return kind == TSettingsKind::Chain ? chain : first >= 0 && first < 256 && !chain;
}

// ---- The window's four actions ---------------------------------------------------------------

namespace {

CRCifstream OpenChecked(const std::string& fileName) {
  CRCifstream in(fileName);
  if (!in.Good()) {
    throw TFilterError(in.Problem(), in.SystemError());
  }
  if (!in.ChecksumOK()) {
    throw TFilterError(MsgChecksumError);
  }
  return in;
}

template <typename SaveRecord> void SaveChecked(const std::string& fileName, SaveRecord save) {
  CRCofstream out(fileName);
  if (!out.Good()) {
    throw TFilterError(out.Problem(), out.SystemError());
  }
  save(out);
  out.Finish();
}

} // namespace

void SaveFilterFile(TFilter& filter, const std::string& fileName) {
  SaveChecked(fileName, [&](TByteWriter& out) { filter.Save(out); });
}

void LoadFilterFile(TFilter& filter, const std::string& fileName) {
  // The file is read before the filter's lock is taken; Load then only checks and copies.
  CRCifstream in = OpenChecked(fileName);
  filter.Load(in);
}

int32_t FilterFileType(const std::string& fileName) {
  CRCifstream in = OpenChecked(fileName);
  int32_t type = 0;
  if (!ReadInt32(in, type)) {
    throw TFilterError(MsgBadFileFormat);
  }
  return type;
}

std::unique_ptr<TFilter> NewFilterFromFile(const std::string& fileName, const TFilterFactory& create,
                                           int32_t sampleRate) {
  CRCifstream in = OpenChecked(fileName);
  CRCifstream record = in; // Load reads the type again
  int32_t type = 0;
  std::unique_ptr<TFilter> filter;
  if (ReadInt32(in, type)) {
    filter = create(type, sampleRate);
  }
  if (!filter) {
    throw TFilterError(MsgBadFileFormat);
  }
  filter->Load(record);
  return filter;
}

void SaveChainFile(const TFilterList& chain, const std::string& fileName) {
  SaveChecked(fileName, [&](TByteWriter& out) { chain.Save(out); });
}

void LoadChainFile(TFilterList& chain, const std::string& fileName, const TFilterFactory& create) {
  CRCifstream in = OpenChecked(fileName);
  chain.Load(in, create); // reads and builds off the chain's lock
}

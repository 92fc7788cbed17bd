// SPDX-License-Identifier: GPL-3.0-or-later
// A disk that fails, for a program under test: preloaded (LD_PRELOAD), it makes one kind of file call
// fail for the files whose path contains SONOLAB_FAIL_PATH, as a full or failing disk does.
//   SONOLAB_FAIL_CALL=write   writes past SONOLAB_FAIL_ROOM bytes of the file (default 0) fail with
//                             ENOSPC, a write that crosses it is cut short there
//   SONOLAB_FAIL_CALL=fsync   fsync and fdatasync fail with EIO
//   SONOLAB_FAIL_CALL=close   close releases the descriptor and fails with EIO
//   SONOLAB_FAIL_CALL=rename  rename fails with EIO when either name matches
// Every other call, and every other file, goes through untouched.

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool Failing(const char* call) {
  return *Env("SONOLAB_FAIL_PATH") != '\0' && std::strcmp(Env("SONOLAB_FAIL_CALL"), call) == 0;
}

bool PathMatches(const char* path) {
  return path != nullptr && std::strstr(path, Env("SONOLAB_FAIL_PATH")) != nullptr;
}

bool FdMatches(int fd) {
  char link[64];
  char path[PATH_MAX];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = ::readlink(link, path, sizeof path - 1);
  if (n <= 0) {
    return false;
  }
  path[n] = '\0';
  return PathMatches(path);
}

template <typename F> F Next(const char* name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

// How many of n bytes at `offset` fit in the room the disk has for the file; -1 (ENOSPC) for none.
ssize_t Room(int fd, size_t n, off_t offset) {
  if (!Failing("write") || !FdMatches(fd)) {
    return static_cast<ssize_t>(n);
  }
  const long long room = std::atoll(Env("SONOLAB_FAIL_ROOM"));
  if (offset >= room) {
    errno = ENOSPC;
    return -1;
  }
  return static_cast<ssize_t>(offset + static_cast<off_t>(n) > room ? room - offset : static_cast<off_t>(n));
}

} // namespace

extern "C" {

ssize_t write(int fd, const void* data, size_t n) {
  const int saved = errno;
  const off_t at = Failing("write") ? ::lseek(fd, 0, SEEK_CUR) : -1;
  errno = saved;
  const ssize_t fits = at < 0 ? static_cast<ssize_t>(n) : Room(fd, n, at);
  return fits < 0 ? -1
                  : Next<ssize_t (*)(int, const void*, size_t)>("write")(fd, data, static_cast<size_t>(fits));
}

ssize_t pwrite(int fd, const void* data, size_t n, off_t offset) {
  const ssize_t fits = Room(fd, n, offset);
  return fits < 0 ? -1
                  : Next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite")(
                        fd, data, static_cast<size_t>(fits), offset);
}

ssize_t pwrite64(int fd, const void* data, size_t n, off_t offset) {
  return pwrite(fd, data, n, offset);
}

int fsync(int fd) {
  if (Failing("fsync") && FdMatches(fd)) {
    errno = EIO;
    return -1;
  }
  return Next<int (*)(int)>("fsync")(fd);
}

int fdatasync(int fd) {
  return fsync(fd);
}

int close(int fd) {
  const bool fail = Failing("close") && FdMatches(fd);
  const int closed = Next<int (*)(int)>("close")(fd);
  if (fail) {
    errno = EIO;
    return -1;
  }
  return closed;
}

int rename(const char* from, const char* to) {
  if (Failing("rename") && (PathMatches(from) || PathMatches(to))) {
    errno = EIO;
    return -1;
  }
  return Next<int (*)(const char*, const char*)>("rename")(from, to);
}

} // extern "C"

// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/platform/GraphRing.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>

static_assert(std::atomic<uint32_t>::is_always_lock_free && sizeof(std::atomic<uint32_t>) == sizeof(uint32_t),
              "the doorbell's counter is the futex word");

void TDoorbell::Ring() {
  rings.fetch_add(1, std::memory_order_seq_cst);
  if (waiters.load(std::memory_order_seq_cst) != 0) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&rings), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
  }
}

bool TDoorbell::WaitFor(uint32_t seen, std::chrono::nanoseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point until = Clock::now() + timeout;
  waiters.fetch_add(1, std::memory_order_seq_cst);
  bool rung = false;
  for (;;) {
    if (rings.load(std::memory_order_seq_cst) != seen) {
      rung = true;
      break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - Clock::now()).count();
    if (left <= 0) {
      break;
    }
    const timespec wait{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    // The kernel compares the word with `seen` first: a ring between the check and the wait is not lost.
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&rings), FUTEX_WAIT_PRIVATE, seen, &wait, nullptr, 0);
  }
  waiters.fetch_sub(1, std::memory_order_seq_cst);
  return rung;
}

// ---- Playback --------------------------------------------------------------------------------------

TGraphPlaybackRing::TGraphPlaybackRing(uint32_t bytes, uint8_t silenceByte)
    : memory(bytes, silenceByte), silenceByte(silenceByte) {}

void TGraphPlaybackRing::Write(uint64_t at, const uint8_t* data, uint32_t n) {
  const uint64_t end = written.load(std::memory_order_relaxed);
  at = std::max(at, end);
  const uint64_t size = memory.size();
  // The gap since what was written before is silence, from where the reader may still come.
  for (uint64_t p = std::max(end, Played()); p < at;) {
    const uint64_t piece = std::min(at - p, size - p % size);
    std::memset(memory.data() + p % size, silenceByte, piece);
    p += piece;
  }
  for (uint32_t done = 0; done < n;) {
    const uint64_t p = at + done;
    const auto piece = static_cast<uint32_t>(std::min<uint64_t>(n - done, size - p % size));
    std::memcpy(memory.data() + p % size, data + done, piece);
    done += piece;
  }
  written.store(at + n, std::memory_order_release);
}

void TGraphPlaybackRing::Restart() {
  playableFrom.store(written.load(std::memory_order_relaxed), std::memory_order_release);
  ending.store(false, std::memory_order_release);
}

void TGraphPlaybackRing::CopyOut(uint64_t from, uint8_t* out, uint32_t n) const {
  const uint64_t size = memory.size();
  for (uint32_t done = 0; done < n;) {
    const uint64_t p = from + done;
    const auto piece = static_cast<uint32_t>(std::min<uint64_t>(n - done, size - p % size));
    std::memcpy(out + done, memory.data() + p % size, piece);
    done += piece;
  }
}

void TGraphPlaybackRing::Play(uint8_t* out, uint32_t n) {
  const uint64_t position = played.load(std::memory_order_relaxed);
  // The end before where sound begins: a reader that sees a Write after a Restart sees the Restart too.
  const uint64_t end = written.load(std::memory_order_acquire);
  const uint64_t from = std::max(position, playableFrom.load(std::memory_order_acquire));
  uint32_t silentBefore = 0;
  uint32_t sound = 0;
  if (from < end && from < position + n) {
    silentBefore = static_cast<uint32_t>(from - position);
    sound = static_cast<uint32_t>(std::min<uint64_t>(end, position + n) - from);
  }
  std::memset(out, silenceByte, silentBefore);
  CopyOut(from, out + silentBefore, sound);
  std::memset(out + silentBefore + sound, silenceByte, n - silentBefore - sound);
  // Past the end of what was written since the start: once, until something new is written.
  const bool anyWritten = end > playableFrom.load(std::memory_order_acquire);
  if (position + n > end && anyWritten && countedAt != end && !ending.load(std::memory_order_acquire)) {
    countedAt = end;
    dropouts.fetch_add(1, std::memory_order_relaxed);
  }
  played.store(position + n, std::memory_order_release);
}

void TGraphPlaybackRing::Pass(uint64_t n) {
  const uint64_t position = played.load(std::memory_order_relaxed) + n;
  if (const uint64_t end = written.load(std::memory_order_acquire); position >= end) {
    countedAt = end; // the graph's own xrun, counted there
  }
  played.store(position, std::memory_order_release);
}

// ---- Capture ---------------------------------------------------------------------------------------

TGraphCaptureRing::TGraphCaptureRing(uint32_t bytes, uint8_t silenceByte)
    : memory(bytes, silenceByte), silenceByte(silenceByte) {}

void TGraphCaptureRing::Capture(const uint8_t* data, uint32_t n) {
  const uint64_t position = captured.load(std::memory_order_relaxed);
  const uint64_t size = memory.size();
  const uint64_t room = released.load(std::memory_order_acquire) + size - position;
  const auto kept = static_cast<uint32_t>(std::min<uint64_t>(n, room));
  for (uint32_t done = 0; done < kept;) {
    const uint64_t p = position + done;
    const auto piece = static_cast<uint32_t>(std::min<uint64_t>(kept - done, size - p % size));
    if (data != nullptr) {
      std::memcpy(memory.data() + p % size, data + done, piece);
    } else {
      std::memset(memory.data() + p % size, silenceByte, piece);
    }
    done += piece;
  }
  if (kept < n) {
    dropped.fetch_add(n - kept, std::memory_order_release);
  }
  captured.store(position + kept, std::memory_order_release);
}

void TGraphCaptureRing::Read(uint8_t* out, uint32_t n) {
  const uint64_t size = memory.size();
  for (uint32_t done = 0; done < n;) {
    const uint64_t p = read + done;
    const auto piece = static_cast<uint32_t>(std::min<uint64_t>(n - done, size - p % size));
    std::memcpy(out + done, memory.data() + p % size, piece);
    done += piece;
  }
  Skip(n);
}

void TGraphCaptureRing::Skip(uint64_t n) {
  read += n;
  released.store(read, std::memory_order_release);
}

uint64_t TGraphCaptureRing::TakeLost() {
  const uint64_t total = dropped.load(std::memory_order_acquire);
  const uint64_t lost = total - droppedTaken;
  droppedTaken = total;
  return lost;
}

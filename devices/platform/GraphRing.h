// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Rings between the worker and a sound graph's data thread, with no lock on either side: one writer,
// one reader, positions in bytes since the ring was made, never wrapped (the offset in the ring is
// the position modulo its size). Each side publishes its own position with release and reads the
// other's with acquire, so every byte belongs to one side at a time.
//
// Playback: the worker writes blocks where it chooses, never behind the end of what it wrote last;
// the data thread hands out whatever lies at its position each cycle (what was written there, silence
// where nothing was) and moves on, for the graph's clock waits for nobody. Running past what was
// written counts one dropout until something new is written. Restart makes everything not yet played
// silence; Ending lets the reader run past the end without counting it (a drain).
//
// Capture: the data thread stores each cycle at its position; what does not fit because the worker
// is a whole ring behind is dropped and counted, and the worker learns how much it lost. A hole in the
// graph's stream (null data) is stored as silence of its length, so that the input keeps wall time.
//
// The doorbell wakes the worker: the data thread rings it after each cycle; Stop and failures ring it
// too. A wait is a futex with a time limit; ringing makes a system call only while someone waits.
//
// Threads: the playback ring's Write, Restart, SetEnding and Written on the worker (or on the window
// thread while no Write runs); Play on the data thread; Played and Dropouts on any. The capture ring's
// Capture on the data thread; Available, Read, Skip and TakeLost on the worker; Captured on any.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

class TDoorbell {
public:
  // The number of rings so far: take it before checking what to wait for, then WaitFor it.
  uint32_t Seen() const { return rings.load(std::memory_order_seq_cst); }
  void Ring();
  // Returns true once the bell has rung since `seen` (at once if it has), false after `timeout`.
  bool WaitFor(uint32_t seen, std::chrono::nanoseconds timeout);

private:
  std::atomic<uint32_t> rings{0};
  std::atomic<uint32_t> waiters{0};
};

class TGraphPlaybackRing {
public:
  TGraphPlaybackRing(uint32_t bytes, uint8_t silenceByte);

  uint32_t Size() const { return static_cast<uint32_t>(memory.size()); }
  // The first byte the data thread has not handed out yet.
  uint64_t Played() const { return played.load(std::memory_order_acquire); }
  // The end of what was written.
  uint64_t Written() const { return written.load(std::memory_order_relaxed); }
  // Writes n bytes at `at` (not before Written(), and at + n within a ring of Played()); a gap after
  // what was written before is silence.
  void Write(uint64_t at, const uint8_t* data, uint32_t n);
  // What was written and not yet played is not played.
  void Restart();
  void SetEnding(bool on) { ending.store(on, std::memory_order_release); }
  uint64_t Dropouts() const { return dropouts.load(std::memory_order_relaxed); }

  // Data thread: hands out n bytes from its position on into `out`, silence where nothing was written.
  void Play(uint8_t* out, uint32_t n);
  // Data thread: moves on by n bytes that the graph let go by (a skipped cycle), without a dropout.
  void Pass(uint64_t n);

private:
  void CopyOut(uint64_t from, uint8_t* out, uint32_t n) const;

  std::vector<uint8_t> memory;
  const uint8_t silenceByte;
  std::atomic<uint64_t> played{0};
  std::atomic<uint64_t> written{0};
  std::atomic<uint64_t> playableFrom{0}; // nothing before it is sound (moved by Restart)
  std::atomic<bool> ending{false};
  std::atomic<uint64_t> dropouts{0};
  uint64_t countedAt = 0; // data thread: the end of what was written when it last counted a dropout
};

class TGraphCaptureRing {
public:
  TGraphCaptureRing(uint32_t bytes, uint8_t silenceByte);

  uint32_t Size() const { return static_cast<uint32_t>(memory.size()); }
  // The end of what the data thread has stored.
  uint64_t Captured() const { return captured.load(std::memory_order_acquire); }
  uint64_t Available() const { return Captured() - read; }
  // Copies n bytes (no more than Available()) and moves past them.
  void Read(uint8_t* out, uint32_t n);
  // Moves past n bytes (no more than Available()) without reading them.
  void Skip(uint64_t n);
  // Bytes the data thread dropped since the last call, the ring being full.
  uint64_t TakeLost();

  // Data thread: stores n bytes of `data`, or silence when it is null.
  void Capture(const uint8_t* data, uint32_t n);

private:
  std::vector<uint8_t> memory;
  const uint8_t silenceByte;
  std::atomic<uint64_t> captured{0};
  std::atomic<uint64_t> released{0}; // what the worker has read or skipped
  std::atomic<uint64_t> dropped{0};
  uint64_t read = 0;         // worker
  uint64_t droppedTaken = 0; // worker
};

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TFileWriter: the thread "sonolab-writer" that writes and encodes the file outputs of a set-up (WAVE,
// FLAC, Ogg Vorbis, Opus), their header patches included, so that the worker never waits for a disk or
// an encoder. The worker copies each block into a ring of slots (two seconds of every file's blocks, at
// least 8) and goes on; the writer takes the slots in order.
//
// A full ring (a stalled disk): in a live set-up, whose pace a sound device sets, the worker does not
// wait. The block is dropped and counted (one overflow per stretch, and its frames), and the next block
// of that file that finds room carries the length lost, which the writer writes as silence before it:
// the file keeps wall time, as a recording does after lost input. A set-up of files only waits for
// room instead, and loses nothing.
//
// A write that fails (a full disk, a file too large, a pipe nobody reads) ends the writing: the writer
// keeps the error, which names the file, and takes the remaining slots without writing them, so the
// worker never waits for a writer that has stopped. The worker's next Push or Drain raises the error;
// Close hands it back instead when the worker never learned of it. Each error is told once.
//
// Threads: construction and Close on the user-interface thread, while the worker is not running;
// Push and Drain on the worker (one producer); the writer thread calls the devices' WriteFrames and
// Close. The ring needs no lock: two counting semaphores, one of the slots filled and one of the slots
// free, hand each slot from one side to the other.

#include "devices/WaveFile.h"

#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

class TFileWriter {
public:
  enum class TWhenFull { Wait, Drop };

  // Starts the thread for these outputs (open, their buffers sized). Not owned; they outlive Close.
  TFileWriter(std::vector<TWAVEFilePlaybackDevice*> files, TWhenFull whenFull);
  // Close.
  ~TFileWriter();
  TFileWriter(const TFileWriter&) = delete;
  TFileWriter& operator=(const TFileWriter&) = delete;

  // Worker: the block now in output `file`'s buffer goes to the ring (copied). Raises the error that
  // ended the writing, if one did.
  void Push(int file);
  // Worker, at the normal end: returns once every block pushed (and every length lost) is in its file;
  // raises the error that ended the writing, if one did.
  void Drain();
  // After the worker: writes what is queued, completes every file (its sizes, the end of its encoding,
  // its sync and close) and ends the thread. Returns, per file in the order given, the error the file
  // ends with that the producer was not given: a failed write no Push or Drain came after, or a failure
  // of the completion. Any number of times; the same each time.
  std::vector<std::optional<TDSPException>> Close();

  // Stretches of blocks the ring had no room for, and their frames. Any thread.
  uint64_t Overflows() const { return overflows.load(std::memory_order_relaxed); }
  int64_t LostFrames() const { return lostFrames.load(std::memory_order_relaxed); }
  int SlotCount() const { return static_cast<int>(slots.size()); }

private:
  enum class TKind : uint8_t { Block, Mark, Stop };
  struct TSlot {
    TKind Kind = TKind::Block;
    int File = 0;
    int32_t Frames = 0;
    int64_t GapFrames = 0; // silence written before the frames
  };

  // A POSIX counting semaphore: post and try-wait never block.
  class TSemaphore {
  public:
    explicit TSemaphore(unsigned value) { sem_init(&sem, 0, value); }
    ~TSemaphore() { sem_destroy(&sem); }
    TSemaphore(const TSemaphore&) = delete;
    TSemaphore& operator=(const TSemaphore&) = delete;
    void Post() { sem_post(&sem); }
    bool TryWait() { return sem_trywait(&sem) == 0; }
    void Wait();

  private:
    sem_t sem;
  };

  // Producer: a slot to fill, waiting for one if `wait`; nullptr when none is free.
  TSlot* Claim(bool wait);
  void Publish();
  void Run();
  void Write(const TSlot& slot);
  void Fail(const TDSPException& e, size_t file);
  // Producer: raises the writer's error.
  void RaiseIfFailed();

  std::vector<TWAVEFilePlaybackDevice*> files;
  const TWhenFull whenFull;
  size_t slotBytes = 0;
  std::vector<TSlot> slots;
  std::vector<uint8_t> data;                 // slots.size() blocks of slotBytes
  std::vector<std::vector<uint8_t>> silence; // per file, a block of its silence
  size_t head = 0;                           // producer: the next slot to fill
  size_t tail = 0;                           // writer: the next slot to write
  std::vector<int64_t> pendingGap;           // producer: frames lost per file, not yet in a slot
  std::vector<bool> overflowing;             // producer: the file's last block found no room
  TSemaphore filled{0};
  TSemaphore room;
  TSemaphore marked{0};
  std::atomic<bool> failed{false};
  std::optional<TDSPException> error;             // written by the writer before `failed`; read after it
  size_t errorFile = 0;                           // the file of `error`, likewise
  bool raised = false;                            // producer: `error` was raised to it
  std::vector<std::optional<TDSPException>> ends; // per file, after the thread: see Close
  std::atomic<uint64_t> overflows{0};
  std::atomic<int64_t> lostFrames{0};
  bool closed = false;
  std::thread thread;
};

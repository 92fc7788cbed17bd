// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TPlaybackDevsList: the owning list of a set-up's outputs, with their rate converters and the
// writer thread of the file outputs.

#include "devices/VirtDevs.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

class TRateConverter; // streaming sample-rate conversion of one output (RateConverter.h)
class TFileWriter;    // the thread that writes the file outputs (FileWriter.h)

// The owning list of a set-up's outputs. Each operation walks the items from index 0 upward; a
// throw stops the walk at that item. An empty list does nothing. A short working block (the end of
// a file) reaches an output of the same rate as a short block; an output of another rate gets whole
// blocks of its own size from its converter, and the rest at FlushAll.
//
// Prepare readies the list for a worker: converters made for the set-up's blocks, and the file outputs
// handed to a writer thread (TFileWriter), so that the worker neither allocates nor touches a file.
//
// Threads: ConvertAll, WriteAll, WriteGap, FlushAll and DrainAll on the worker; the rest on the window
// thread while the worker is not running, except Dropouts (any thread) and StartAll/StopAll (either).
class TPlaybackDevsList {
public:
  TPlaybackDevsList();
  ~TPlaybackDevsList(); // deletes every device, which closes it
  TPlaybackDevsList(const TPlaybackDevsList&) = delete;
  TPlaybackDevsList& operator=(const TPlaybackDevsList&) = delete;

  void Add(std::unique_ptr<TPlaybackDevice> device);
  void OpenAll();
  // After OpenAll, before the worker: a rate converter sized for the blocks of every output whose rate
  // differs from `source`'s, and a writer thread for the file outputs (WAVE, FLAC, Ogg Vorbis, Opus),
  // which waits for room in its ring only when the set-up is not `live`. Without it the converters come
  // with the first blocks and the files are written on the calling thread, as the blocks come.
  void Prepare(const TAudioBuffer& source, bool live);
  // After the worker: closes every output, in list order, whatever the others did. The writer thread
  // first writes what it holds and completes every file on its own thread (its last frames, header,
  // sync and close) and ends. Returns the error record of each output whose file is not whole and that
  // was not raised on the worker already (a write that failed after the worker's last block, or the
  // completion), in list order.
  std::vector<TDSPException> CloseAll();
  void StartAll();
  void StopAll();
  // Fills each output from the working buffer in the output's own format. An output whose rate
  // differs from the source's goes through its own streaming converter and queues whole blocks.
  void ConvertAll(const TAudioBuffer& source);
  // Writes each output's block; an output with a rate converter writes every whole block queued.
  void WriteAll();
  // Input that was lost, as silence: converts and writes the block (silent, of the lost length) to
  // every output without a clock of its own (a file), so that a recording keeps time. A ring or
  // wave-audio output keeps its own clock and plays silence where nothing came by itself.
  void WriteGap(const TAudioBuffer& silence);
  // The end of the signal: every rate converter gives up what it still holds, and its output writes
  // it, the last block short. The converters then start afresh.
  void FlushAll();
  // Drain on every output, in list order; true when every output played out everything it was given.
  bool DrainAll(const std::atomic<bool>& cancel);
  // After DrainAll: whether output `index` played out everything it was given.
  bool Drained(int index) const;
  // The sum of the outputs' dropouts (a stretch of blocks the file writer had no room for counts as
  // one), and the largest growth of a server buffer.
  uint64_t Dropouts() const;
  // Frames of the file outputs that found the writer's ring full, written as silence. Any thread.
  int64_t FileLostFrames() const;
  uint32_t ServerBufferGrowthMs() const;

  int Count() const { return static_cast<int>(items.size()); }
  TPlaybackDevice* Item(int index) const { return items[index].get(); }

private:
  struct TOutput;
  enum class TWhich { All, WithoutClock };
  void Convert(const TAudioBuffer& source, TWhich which);
  void Write(TWhich which);
  // Output i takes its buffer as its next block: through the writer thread, or directly.
  void WriteOne(size_t i);

  std::vector<std::unique_ptr<TOutput>> items_state;
  std::vector<std::unique_ptr<TPlaybackDevice>> items;
  std::unique_ptr<TFileWriter> writer;
};

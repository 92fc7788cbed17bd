// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TBlockPublisher: hands what the displays show of a worker to them without a lock. The worker adds
// every pass to a history of the newest frames of input and output (at least the default block's
// length, so that a set-up of small blocks shows as much sound as one of default blocks) and to the
// figures since the last update (peaks, the longest pass). Updates are paced by the input's frames:
// about one per default block's worth of input, and every block when blocks are as long as the
// default one or longer; then the history alone is the block, as it always was.
//
// An update goes through three slots: the worker fills its back slot and swaps it with the middle
// one; the reader, when it wants the newest update, swaps its front slot with the middle one if a
// fresh one waits there. No slot is ever touched by both threads at once, so the reader sees one
// whole update however far the worker has gone on, and neither side ever waits. The figures of an
// update the reader never took go into the next one, so that no peak is lost to a slow reader.
//
// Threads: Shape before the worker starts (HistoryFrames after it, on any thread); Add,
// PublishPending, Pending and Publish on the worker only; TakeNewest on one reader thread (the user
// interface). The exchanges on `middle` order the slots' bytes.

#include "devices/PcmSamples.h"
#include "devices/VirtDevs.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>

// What the passes since the last update taken add up to.
struct TPassFigures {
  uint64_t Elapsed = 0;           // nanoseconds of the longest pass (copy, chain, conversion)
  int64_t Passes = 0;             // how many passes
  std::array<int32_t, 2> Peaks{}; // the largest input sample magnitude of channels 1 and 2

  void Merge(const TPassFigures& other) {
    Elapsed = std::max(Elapsed, other.Elapsed);
    Passes += other.Passes;
    for (size_t c = 0; c < Peaks.size(); ++c) {
      Peaks[c] = std::max(Peaks[c], other.Peaks[c]);
    }
  }
};

struct TPublishedBlock {
  TAudioBuffer Input;    // the newest frames of input, before the chain, oldest first
  TAudioBuffer Output;   // the newest frames of the working block after the chain
  uint64_t Elapsed = 0;  // nanoseconds of the longest pass since the last update taken
  uint64_t Sequence = 0; // 1 for the first update of the worker, then one more per update
  TPassFigures Figures;  // the passes since the last update taken (Elapsed is theirs)
};

// A ring of the newest frames of a signal, without allocating once shaped.
class TFrameHistory {
public:
  void Shape(const TWaveFormat& format, int32_t frames) {
    ring.Format() = format;
    ring.SetFrames(frames);
    Clear();
  }
  void Clear() {
    write = 0;
    filled = 0;
  }
  void Append(const TAudioBuffer& block) {
    const int32_t capacity = ring.CapacityFrames();
    const auto frameBytes = static_cast<size_t>(ring.Format().nBlockAlign);
    int32_t n = block.Frames();
    const uint8_t* from = block.Data();
    if (capacity <= 0 || n <= 0) {
      return;
    }
    if (n > capacity) {
      from += static_cast<size_t>(n - capacity) * frameBytes;
      n = capacity;
    }
    const int32_t first = std::min(n, capacity - write);
    std::memcpy(ring.Data() + static_cast<size_t>(write) * frameBytes, from,
                static_cast<size_t>(first) * frameBytes);
    std::memcpy(ring.Data(), from + static_cast<size_t>(first) * frameBytes,
                static_cast<size_t>(n - first) * frameBytes);
    write = (write + n) % capacity;
    filled = std::min(filled + n, capacity);
  }
  // The frames held, oldest first, into `to` (shaped like the ring).
  void CopyTo(TAudioBuffer& to) const {
    const int32_t capacity = ring.CapacityFrames();
    const auto frameBytes = static_cast<size_t>(ring.Format().nBlockAlign);
    to.SetLength(filled);
    if (filled == 0) {
      return;
    }
    const int32_t start = (write - filled + capacity) % capacity;
    const int32_t first = std::min(filled, capacity - start);
    std::memcpy(to.Data(), ring.Data() + static_cast<size_t>(start) * frameBytes,
                static_cast<size_t>(first) * frameBytes);
    std::memcpy(to.Data() + static_cast<size_t>(first) * frameBytes, ring.Data(),
                static_cast<size_t>(filled - first) * frameBytes);
  }
  const TAudioBuffer& Ring() const { return ring; }

private:
  TAudioBuffer ring;
  int32_t write = 0;  // where the next frame goes
  int32_t filled = 0; // frames held, at most the ring's capacity
};

class TBlockPublisher {
public:
  // Sizes the history and every slot for blocks of these shapes: the newest max(block, default block)
  // frames, the default block being the block-size rule's for the input's rate. Allocates, so never
  // per block.
  void Shape(const TAudioBuffer& input, const TAudioBuffer& output) {
    blockFrames = input.CapacityFrames();
    defaultFrames =
        input.Format().nSamplesPerSec == 0 ? blockFrames : BlockFrames(input.Format().nSamplesPerSec);
    const int32_t frames = std::max(blockFrames, defaultFrames);
    historyFrames.store(frames, std::memory_order_relaxed);
    inputs.Shape(input.Format(), frames);
    outputs.Shape(output.Format(), frames);
    for (TPublishedBlock& slot : blocks) {
      slot.Input = TAudioBuffer::ShapedLike(inputs.Ring());
      slot.Output = TAudioBuffer::ShapedLike(outputs.Ring());
    }
    sincePublished = 0;
    pending = {};
  }

  // Frames of input (and output) an update shows at most.
  int32_t HistoryFrames() const { return historyFrames.load(std::memory_order_relaxed); }

  // Worker: adds one pass (its input block, its processed block and its time). True when the
  // displays are due an update: the input since the last one is within half a block of the default
  // block's length, or blocks are not shorter than the default one. No allocation, no lock.
  bool Add(const TAudioBuffer& input, const TAudioBuffer& output, uint64_t elapsed) {
    const bool wholeBlocks = blockFrames >= defaultFrames;
    if (wholeBlocks) {
      inputs.Clear(); // a block of the default length or more is shown alone, a short last one too
      outputs.Clear();
    }
    inputs.Append(input);
    outputs.Append(output);
    const TWaveFormat& format = input.Format();
    for (int c = 0; c < std::min<int>(format.nChannels, 2); ++c) {
      pending.Peaks[c] = std::max(pending.Peaks[c], ChannelPeak(input.Data(), input.Frames(),
                                                                format.nChannels, format.wBitsPerSample, c));
    }
    pending.Elapsed = std::max(pending.Elapsed, elapsed);
    ++pending.Passes;
    sincePublished += input.Frames();
    return wholeBlocks || 2 * int64_t{sincePublished} + blockFrames >= 2 * int64_t{defaultFrames};
  }

  // Worker: whether passes were added since the last update.
  bool Pending() const { return sincePublished > 0; }

  // Worker: hands the history and the figures since the last update over.
  void PublishPending() {
    TPublishedBlock& slot = blocks[back];
    inputs.CopyTo(slot.Input);
    outputs.CopyTo(slot.Output);
    slot.Figures = pending;
    // An update still waiting has not been taken: its figures go into this one. (Taken just now,
    // they show twice; every slot's bytes are the worker's own, so reading them never races.)
    if (const int waiting = middle.load(std::memory_order_acquire); (waiting & FreshBit) != 0) {
      slot.Figures.Merge(blocks[waiting & IndexMask].Figures);
    }
    slot.Elapsed = slot.Figures.Elapsed;
    slot.Sequence = ++published;
    back = middle.exchange(back | FreshBit, std::memory_order_acq_rel) & IndexMask;
    pending = {};
    sincePublished = 0;
  }

  // Worker: one pass published at once, whatever the pace.
  void Publish(const TAudioBuffer& input, const TAudioBuffer& output, uint64_t elapsed) {
    Add(input, output, elapsed);
    PublishPending();
  }

  // Reader: the newest update not taken before, or nullptr when the worker published none since.
  // It stays valid and unchanged until the next call.
  const TPublishedBlock* TakeNewest() {
    if ((middle.load(std::memory_order_acquire) & FreshBit) == 0) {
      return nullptr;
    }
    front = middle.exchange(front, std::memory_order_acq_rel) & IndexMask;
    return &blocks[front];
  }

private:
  static constexpr int IndexMask = 3;
  static constexpr int FreshBit = 4;

  std::array<TPublishedBlock, 3> blocks;
  int back = 0;  // worker only
  int front = 1; // reader only
  std::atomic<int> middle{2};
  uint64_t published = 0; // worker only
  // Worker only, after Shape.
  TFrameHistory inputs;
  TFrameHistory outputs;
  int32_t blockFrames = 0;
  int32_t defaultFrames = 0;
  int32_t sincePublished = 0; // input frames since the last update
  TPassFigures pending;
  std::atomic<int32_t> historyFrames{0};
};

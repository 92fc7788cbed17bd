#pragma once
// TBlockPublisher: hands the latest block of a worker to the displays without a lock. Three blocks:
// the worker fills its back slot and swaps it with the middle one; the reader, when it wants the
// newest block, swaps its front slot with the middle one if a fresh block waits there. No slot is
// ever touched by both threads at once, so the reader sees one whole block (input, output and time
// of the same pass) however far the worker has gone on, and neither side ever waits.
//
// Threads: Shape before the worker starts; Back and Publish on the worker only; TakeNewest on one
// reader thread (the user interface). The exchanges on `middle` order the blocks' bytes.

#include "devices/VirtDevs.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>

struct TPublishedBlock {
  TAudioBuffer Input;    // the input device's block, before the chain
  TAudioBuffer Output;   // the working block after the chain
  uint64_t Elapsed = 0;  // nanoseconds the pass took (copy, chain, conversion)
  uint64_t Sequence = 0; // 1 for the first block of the worker, then one more per block
};

class TBlockPublisher {
public:
  // Sizes every slot for blocks of these shapes (their capacity); allocates, so never per block.
  void Shape(const TAudioBuffer& input, const TAudioBuffer& output) {
    for (TPublishedBlock& slot : blocks) {
      slot.Input = TAudioBuffer::ShapedLike(input);
      slot.Output = TAudioBuffer::ShapedLike(output);
    }
  }

  // Worker: copies one pass into the back slot and hands it over. Blocks up to the shaped capacity
  // are copied whole; a short block keeps its own length.
  void Publish(const TAudioBuffer& input, const TAudioBuffer& output, uint64_t elapsed) {
    TPublishedBlock& slot = blocks[back];
    CopyBlock(slot.Input, input);
    CopyBlock(slot.Output, output);
    slot.Elapsed = elapsed;
    slot.Sequence = ++published;
    back = middle.exchange(back | FreshBit, std::memory_order_acq_rel) & IndexMask;
  }

  // Reader: the newest block not taken before, or nullptr when the worker published none since. The
  // block stays valid and unchanged until the next call.
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

  static void CopyBlock(TAudioBuffer& to, const TAudioBuffer& from) {
    to.SetLength(from.Frames());
    std::memcpy(to.Data(), from.Data(), static_cast<size_t>(to.Bytes()));
  }

  std::array<TPublishedBlock, 3> blocks;
  int back = 0;  // worker only
  int front = 1; // reader only
  std::atomic<int> middle{2};
  uint64_t published = 0; // worker only
};

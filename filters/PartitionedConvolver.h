// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TPartitionedConvolver: one channel of an FIR convolution, uniformly partitioned.
//
//   y[n] = sum_{i=0..N} h[i] * x[n - i]
//
// The kernel is cut into K partitions of P taps (the last one P + 1), each zero-padded to a 2P-point
// spectrum H_k. Every input partition of P samples is transformed once and kept in a frequency-domain
// delay line, so that the output of partition j is one inverse transform of
// X_j H_0 + sum_{k>=1} X_{j-k} H_k, overlap-added. P follows the length of the blocks (a power of two,
// at most N): blocks of N frames or more run one partition of the whole kernel (the plain overlap-add
// block convolution), a 64-frame block against a 1024-tap kernel costs two 128-point transforms and
// sixteen spectrum products instead of two 2048-point transforms.
//
// A block may end inside a partition: its samples are filtered at once from the partition filled so
// far (zeros for what has not arrived, which only later outputs depend on), and the partition is
// transformed again when the next block completes it. Blocks of any length therefore continue the
// stream's convolution exactly, whatever the sequence of lengths.
//
// The input history (the last H samples, H >= N) is the channel's state; the spectra are derived from
// it, so a change of P rebuilds them from the history, and a new kernel (another generation) takes
// over with a crossfade from the old kernel's output over the next block.
//
// Threads: one channel's convolver is used by one thread at a time. Reserve runs on the user-interface
// thread on a convolver the worker does not have yet (it is handed over whole); Reset runs there under
// the filter's StateLock(), Process on the worker under the same lock.

#include <cstdint>
#include <vector>

// The kernel a convolver runs: N + 1 taps (a power of two N >= 2) and a number that changes whenever
// the taps do.
struct TKernelTaps {
  const float* Taps = nullptr;
  int32_t Size = 0;
  uint64_t Generation = 0;
};

class TPartitionedConvolver {
public:
  // Sizes every buffer for a history of `historyLength` samples (a power of two) and kernels of up to
  // that size; forgets the state. Allocates; never called on the worker's path.
  void Reserve(int32_t historyLength);
  // Forgets the state: the history is silence (the caller zeroes it) and the next Process starts
  // afresh with the kernel it is given.
  void Reset();
  // Filters `frames` samples at x in place; history is the channel's ring of the last H inputs.
  void Process(float* x, int32_t frames, const TKernelTaps& kernel, float* history);

  int32_t PartitionSize() const { return P; }

  // The partition size for blocks of `frames` frames and a kernel of size N.
  static int32_t PartitionFor(int32_t frames, int32_t N);

private:
  // One kernel's spectra and running sums at the current partition size.
  struct TLane {
    uint64_t generation = 0;
    int32_t N = 0;
    int32_t K = 0;
    std::vector<float> hRe, hIm;     // K spectra of P + 1 bins
    std::vector<float> sumRe, sumIm; // sum_{k>=1} X_{j-k} H_k for the partition being filled
    std::vector<float> overlap;      // the previous partition's second half, P samples
    std::vector<float> yRe, yIm;     // 2P: the partition's output
  };

  void BuildLane(TLane& lane, const TKernelTaps& kernel);
  // The lane's overlap and sum from the delay line, as if it had run all along.
  void DeriveRunningSums(TLane& lane);
  void NextSum(TLane& lane);
  // P, the delay line from the history, and the active lane for the kernel.
  void Rebuild(int32_t partition, const TKernelTaps& kernel, const float* history);
  // Copies the last `count` inputs of the history, ending `skip` samples before its newest, to out.
  void ReadHistory(const float* history, int32_t count, int32_t skip, float* out) const;
  // Y = X H_0 (+ the lane's sum) transformed back into the lane's yRe.
  void Convolve(TLane& lane);
  const float* FdlRe(int32_t back) const;
  const float* FdlIm(int32_t back) const;

  int32_t H = 0;       // history length
  int32_t P = 0;       // partition size; 0 until the first Process after Reset
  int32_t D = 0;       // delay-line depth, H / P partitions
  int32_t bins = 0;    // P + 1
  int32_t fill = 0;    // samples of the current partition already filtered
  int32_t ringPos = 0; // next slot of the history ring
  int32_t fdlHead = 0; // slot of the newest complete partition
  bool silent = true;  // the history holds nothing but zeros
  int active = 0;      // the lane that runs; the other one takes over after a crossfade
  TLane lanes[2];
  std::vector<float> fdlRe, fdlIm; // D spectra of P + 1 bins, a ring
  std::vector<float> xRe, xIm;     // 2P: the current partition and its spectrum
  std::vector<float> scratchRe, scratchIm;
};

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TFIRFilter: linear-phase FIR filtering by FFT convolution, uniformly partitioned.
//
//   y[n] = sum_{i=0..N} h[i] * x[n - i]      (N + 1 taps, output delayed by N/2 samples)
//
// N (`KernelSize`, a power of two) is the kernel size. A design writes its N + 1 taps into Kernel()
// (DesignKernel); ComputeResponse keeps them and transforms them into the kernel's 2N-point spectrum.
// Each channel runs a TPartitionedConvolver: blocks of N frames or more are convolved in segments of
// N (one 2N-point transform each way per segment), shorter blocks in partitions of their own length,
// and every sample of every block is filtered, the convolution continuing across blocks of any length.
// The channel state is the input history (the last max(N, 1024) samples), so a new kernel (a changed
// cut-off, window, size or band gain) takes over with a crossfade from the old kernel over the next
// block, and a redesign that yields the same taps changes nothing.
//
// Threads: Process runs on the worker under StateLock() (the two channels may run at once on two
// threads; each touches only its own history and convolver) and takes the newest taps from the design
// exchange. Update, SetStateLength and ClearState run on the user-interface thread (Apply, Load, with
// Lock() held) or in a constructor: the kernel is designed and transformed into the response there and
// its taps published; new histories and convolvers (a longer history) are exchanged under StateLock().
// The response belongs to the user-interface side alone.

#include "dsp/DesignExchange.h"
#include "dsp/Filter.h"
#include "filters/PartitionedConvolver.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

class TFIRFilter : public TFilter {
public:
  // The shortest input history a channel keeps: a change of kernel size up to this crossfades from
  // the old kernel without losing the samples the new one reaches back to.
  static constexpr int32_t MinHistoryLength = 1024;

  explicit TFIRFilter(int32_t sampleRate);

  // Sizes the response for kernels of size n (always reallocated) and the channels' histories for
  // max(n, MinHistoryLength) samples (kept, with their contents, when that length is unchanged).
  void SetStateLength(int32_t n) override;
  void ClearState() override;
  void Process(ChannelBlock& block, int channel) override;
  void Update() override;

  int32_t KernelSize() const { return N; }
  // The kernel's 2N-point spectrum; bins 0..N are used.
  const std::vector<float>& ResponseRe() const { return responseRe; }
  const std::vector<float>& ResponseIm() const { return responseIm; }
  // The taps designed last (N + 1 of them; the channels run them from their next block on) and the
  // partition size channel c settled on (0 before its first block).
  const std::vector<float>& Taps() const;
  int32_t PartitionSize(int channel) const { return (*convolvers)[channel].PartitionSize(); }

protected:
  // Writes the kernel taps into the start of the response real part (elements N..2N-1 are zero).
  virtual void DesignKernel() = 0;
  // Designs the kernel and transforms it into the response.
  void ComputeResponse();

  float* Kernel() { return responseRe.data(); }

  int32_t N = 512;

private:
  std::vector<float> responseRe;
  std::vector<float> responseIm;
  // A kernel the channels run: N + 1 taps, and a number that changes with them.
  struct TDesign {
    std::vector<float> Taps;
    uint64_t Generation = 0;
  };
  TDesignExchange<TDesign> designs;
  // The channels' convolvers, replaced whole (with the histories) when the history's length changes.
  std::unique_ptr<std::array<TPartitionedConvolver, 2>> convolvers;
};

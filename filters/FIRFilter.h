#pragma once
// TFIRFilter: linear-phase FIR filtering by FFT block convolution with overlap-add.
//
//   y[n] = sum_{i=0..N} h[i] * x[n - i]      (N + 1 taps, output delayed by N/2 samples)
//
// N (`KernelSize`, a power of two) is the segment length; each segment of N samples is zero-padded
// to 2N, multiplied with the kernel's 2N-point spectrum and transformed back; its last N samples are
// the overlap tail that the next segment adds to its first N. The tails live in the channel state.
//
// Threads: Process runs on the worker under this filter's lock (the two channels may run at once on
// two threads; each touches only its own tail and segment buffers); Update and SetStateLength run on the
// user-interface thread under the same lock (Apply, Load) or in a constructor.

#include "dsp/Filter.h"

#include <array>
#include <cstdint>
#include <vector>

class TFIRFilter : public TFilter {
public:
  explicit TFIRFilter(int32_t sampleRate);

  // Resizes the overlap tails (kept when n is unchanged) and always reallocates the response.
  void SetStateLength(int32_t n) override;
  void Process(ChannelBlock& block, int channel) override;
  void Update() override;

  int32_t KernelSize() const { return N; }
  // The kernel's 2N-point spectrum; bins 0..N are used.
  const std::vector<float>& ResponseRe() const { return responseRe; }
  const std::vector<float>& ResponseIm() const { return responseIm; }

protected:
  // Writes the kernel taps into the start of the response real part (elements N..2N-1 are zero).
  virtual void DesignKernel() = 0;
  // Designs the kernel and transforms it into the response.
  void ComputeResponse();

  float* Kernel() { return responseRe.data(); }

  int32_t N = 512;

private:
  void ConvolveSegment(float* x, int32_t frames, float* tail, int channel);

  std::vector<float> responseRe;
  std::vector<float> responseIm;
  // Per-segment transform buffers, one pair per channel so that the two channels of a block can run
  // at once; sized with the response so that Process never allocates.
  std::array<std::vector<float>, 2> segmentRe;
  std::array<std::vector<float>, 2> segmentIm;
};

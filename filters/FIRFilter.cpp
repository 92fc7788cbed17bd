#include "filters/FIRFilter.h"

#include "filters/Transforms.h"

#include <algorithm>
#include <mutex>

TFIRFilter::TFIRFilter(int32_t sampleRate) : TFilter(sampleRate) {
  N = 512;
  TFIRFilter::SetStateLength(512);
}

void TFIRFilter::SetStateLength(int32_t n) {
  const std::lock_guard guard(Lock());
  TFilter::SetStateLength(n);
  const size_t length = 2 * static_cast<size_t>(n);
  responseRe.assign(length, 0.0f);
  responseIm.assign(length, 0.0f);
  segmentRe.assign(length, 0.0f);
  segmentIm.assign(length, 0.0f);
}

void TFIRFilter::Update() {
  SetStateLength(N);
  ComputeResponse();
}

void TFIRFilter::ComputeResponse() {
  std::fill(responseRe.begin() + N, responseRe.begin() + 2 * static_cast<size_t>(N), 0.0f);
  DesignKernel();
  RealFFT(2 * N, responseRe.data(), responseIm.data());
}

void TFIRFilter::Process(ChannelBlock& block, int channel) {
  // The tails and the response were sized for this length by the last Update.
  const int32_t n = StateLength();
  if (block.Frames <= 0 || n < 2) {
    return;
  }
  float* tail = ChannelState(channel);
  if (block.Frames < n) {
    ConvolveSegment(block.Samples, block.Frames, tail);
    return;
  }
  // Whole segments only: the last Frames mod N samples stay as they are and stay out of the tail.
  const int32_t segments = block.Frames / n;
  for (int32_t s = 0; s < segments; ++s) {
    ConvolveSegment(block.Samples + static_cast<size_t>(s) * n, n, tail);
  }
}

// Convolves the `frames` (at most N) samples at x, zero-padded to 2N, with the kernel; writes the
// first `frames` output samples back over x and leaves in `tail` what belongs to the N samples that
// follow x in the stream.
//
// A full segment writes back re[0..N-1] + tail and keeps re[N..2N-1] as the new tail. A short block
// (fewer than N frames, e.g. the last block of a file, or 512-frame blocks at 8000 Hz with N = 1024)
// is the same zero-padded segment with only its own `frames` samples written back; the new tail
// must then start right after them, at output sample `frames`: it is re[frames..frames+N-1] plus
// the part of the old tail not yet played, old tail[frames..N-1]. The next block, whatever its length,
// therefore continues the convolution of the stream without a gap, and nothing outside x[0..frames-1]
// is read or written. For frames = N both rules coincide.
void TFIRFilter::ConvolveSegment(float* x, int32_t frames, float* tail) {
  const int32_t n = StateLength();
  float* const re = segmentRe.data();
  float* const im = segmentIm.data();
  std::copy(x, x + frames, re);
  std::fill(re + frames, re + 2 * static_cast<size_t>(n), 0.0f);

  RealFFT(2 * n, re, im);
  const float* const hr = responseRe.data();
  const float* const hi = responseIm.data();
  for (int32_t k = 0; k <= n; ++k) {
    const double a = re[k];
    const double b = im[k];
    re[k] = static_cast<float>(hr[k] * a - hi[k] * b);
    im[k] = static_cast<float>(hr[k] * b + hi[k] * a);
  }
  InverseRealFFT(2 * n, re, im);

  for (int32_t k = 0; k < frames; ++k) {
    x[k] = re[k] + tail[k];
  }
  if (frames == n) {
    std::copy(re + n, re + 2 * static_cast<size_t>(n), tail);
    return;
  }
  // Shift the unplayed tail down by `frames` (ascending k reads tail[frames + k] before it is
  // overwritten) and add the new segment's continuation.
  for (int32_t k = 0; k < n; ++k) {
    const int32_t source = frames + k;
    tail[k] = source < n ? re[source] + tail[source] : re[source];
  }
}

#include "filters/FIRFilter.h"

#include "filters/Transforms.h"

#include <algorithm>
#include <mutex>

#include "filters/Simd.h"

namespace {

// The product of each bin with the kernel's, in double and rounded to float once per part.
inline void MultiplyBins(float* re, float* im, const float* hr, const float* hi, int32_t from, int32_t to) {
  for (int32_t k = from; k < to; ++k) {
    const double a = re[k];
    const double b = im[k];
    re[k] = static_cast<float>(hr[k] * a - hi[k] * b);
    im[k] = static_cast<float>(hr[k] * b + hi[k] * a);
  }
}

#if defined(SONOLAB_X86_WIDE_PATHS)
// MultiplyBins eight bins at a time: the same double products, sums and roundings.
__attribute__((target("avx512f"), optimize("fp-contract=off"))) void
MultiplySpectraAvx512(float* re, float* im, const float* hr, const float* hi, int32_t bins) {
  int32_t k = 0;
  for (; k + 7 < bins; k += 8) {
    const __m512d a = _mm512_cvtps_pd(_mm256_loadu_ps(re + k));
    const __m512d b = _mm512_cvtps_pd(_mm256_loadu_ps(im + k));
    const __m512d r = _mm512_cvtps_pd(_mm256_loadu_ps(hr + k));
    const __m512d i = _mm512_cvtps_pd(_mm256_loadu_ps(hi + k));
    _mm256_storeu_ps(re + k, _mm512_cvtpd_ps(_mm512_sub_pd(_mm512_mul_pd(r, a), _mm512_mul_pd(i, b))));
    _mm256_storeu_ps(im + k, _mm512_cvtpd_ps(_mm512_add_pd(_mm512_mul_pd(r, b), _mm512_mul_pd(i, a))));
  }
  MultiplyBins(re, im, hr, hi, k, bins);
}
#endif

void MultiplySpectra(float* re, float* im, const float* hr, const float* hi, int32_t bins) {
#if defined(SONOLAB_X86_WIDE_PATHS)
  if (HasAvx512()) {
    MultiplySpectraAvx512(re, im, hr, hi, bins);
    return;
  }
#endif
  int32_t k = 0;
#if defined(__SSE2__)
  for (; k + 3 < bins; k += 4) {
    const __m128 re4 = _mm_loadu_ps(re + k);
    const __m128 im4 = _mm_loadu_ps(im + k);
    const __m128 hr4 = _mm_loadu_ps(hr + k);
    const __m128 hi4 = _mm_loadu_ps(hi + k);
    __m128 parts[2];
    for (int half = 0; half < 2; ++half) {
      const __m128d a = _mm_cvtps_pd(half == 0 ? re4 : _mm_movehl_ps(re4, re4));
      const __m128d b = _mm_cvtps_pd(half == 0 ? im4 : _mm_movehl_ps(im4, im4));
      const __m128d r = _mm_cvtps_pd(half == 0 ? hr4 : _mm_movehl_ps(hr4, hr4));
      const __m128d i = _mm_cvtps_pd(half == 0 ? hi4 : _mm_movehl_ps(hi4, hi4));
      const __m128 newRe = _mm_cvtpd_ps(_mm_sub_pd(_mm_mul_pd(r, a), _mm_mul_pd(i, b)));
      const __m128 newIm = _mm_cvtpd_ps(_mm_add_pd(_mm_mul_pd(r, b), _mm_mul_pd(i, a)));
      parts[half] = _mm_movelh_ps(newRe, newIm); // re pair, im pair
    }
    _mm_storeu_ps(re + k, _mm_movelh_ps(parts[0], parts[1]));
    _mm_storeu_ps(im + k, _mm_movehl_ps(parts[1], parts[0]));
  }
#endif
  MultiplyBins(re, im, hr, hi, k, bins);
}

} // namespace

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
  for (int c = 0; c < 2; ++c) {
    segmentRe[c].assign(length, 0.0f);
    segmentIm[c].assign(length, 0.0f);
  }
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
    ConvolveSegment(block.Samples, block.Frames, tail, channel);
    return;
  }
  // Whole segments only: the last Frames mod N samples stay as they are and stay out of the tail.
  const int32_t segments = block.Frames / n;
  for (int32_t s = 0; s < segments; ++s) {
    ConvolveSegment(block.Samples + static_cast<size_t>(s) * n, n, tail, channel);
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
void TFIRFilter::ConvolveSegment(float* x, int32_t frames, float* tail, int channel) {
  const int32_t n = StateLength();
  float* const re = segmentRe[channel].data();
  float* const im = segmentIm[channel].data();
  std::copy(x, x + frames, re);
  std::fill(re + frames, re + 2 * static_cast<size_t>(n), 0.0f);

  RealFFT(2 * n, re, im);
  const float* const hr = responseRe.data();
  const float* const hi = responseIm.data();
  MultiplySpectra(re, im, hr, hi, n + 1);
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

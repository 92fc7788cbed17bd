// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/PartitionedConvolver.h"

#include "filters/Transforms.h"

#include <algorithm>

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

// AccumulateProducts sixteen bins at a time.
__attribute__((target("avx512f"))) int32_t AccumulateAvx512(float* accRe, float* accIm, const float* aRe,
                                                            const float* aIm, const float* bRe,
                                                            const float* bIm, int32_t bins) {
  int32_t k = 0;
  for (; k + 15 < bins; k += 16) {
    const __m512 ar = _mm512_loadu_ps(aRe + k);
    const __m512 ai = _mm512_loadu_ps(aIm + k);
    const __m512 br = _mm512_loadu_ps(bRe + k);
    const __m512 bi = _mm512_loadu_ps(bIm + k);
    const __m512 re = _mm512_sub_ps(_mm512_mul_ps(ar, br), _mm512_mul_ps(ai, bi));
    const __m512 im = _mm512_add_ps(_mm512_mul_ps(ar, bi), _mm512_mul_ps(ai, br));
    _mm512_storeu_ps(accRe + k, _mm512_add_ps(_mm512_loadu_ps(accRe + k), re));
    _mm512_storeu_ps(accIm + k, _mm512_add_ps(_mm512_loadu_ps(accIm + k), im));
  }
  return k;
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

// acc += a * b, bin by bin, in float.
void AccumulateProducts(float* accRe, float* accIm, const float* aRe, const float* aIm, const float* bRe,
                        const float* bIm, int32_t bins) {
  int32_t k = 0;
#if defined(SONOLAB_X86_WIDE_PATHS)
  if (HasAvx512()) {
    k = AccumulateAvx512(accRe, accIm, aRe, aIm, bRe, bIm, bins);
  }
#endif
#if defined(__SSE2__)
  for (; k + 3 < bins; k += 4) {
    const __m128 ar = _mm_loadu_ps(aRe + k);
    const __m128 ai = _mm_loadu_ps(aIm + k);
    const __m128 br = _mm_loadu_ps(bRe + k);
    const __m128 bi = _mm_loadu_ps(bIm + k);
    const __m128 re = _mm_sub_ps(_mm_mul_ps(ar, br), _mm_mul_ps(ai, bi));
    const __m128 im = _mm_add_ps(_mm_mul_ps(ar, bi), _mm_mul_ps(ai, br));
    _mm_storeu_ps(accRe + k, _mm_add_ps(_mm_loadu_ps(accRe + k), re));
    _mm_storeu_ps(accIm + k, _mm_add_ps(_mm_loadu_ps(accIm + k), im));
  }
#endif
  for (; k < bins; ++k) {
    accRe[k] += aRe[k] * bRe[k] - aIm[k] * bIm[k];
    accIm[k] += aRe[k] * bIm[k] + aIm[k] * bRe[k];
  }
}

int32_t PowerOfTwoNotAbove(int32_t n) {
  int32_t p = 1;
  while (p <= n / 2) {
    p *= 2;
  }
  return p;
}

} // namespace

int32_t TPartitionedConvolver::PartitionFor(int32_t frames, int32_t N) {
  // Below 32 frames a partition costs little more than the transforms' own overhead.
  const int32_t largest = std::max(N, 2);
  const int32_t smallest = std::max(2, std::min(32, N));
  return std::clamp(PowerOfTwoNotAbove(std::max(frames, 1)), smallest, largest);
}

void TPartitionedConvolver::Reserve(int32_t historyLength) {
  H = historyLength;
  // With P >= 2 and at most H / P partitions of P + 1 bins.
  const size_t spectra = static_cast<size_t>(H) + static_cast<size_t>(H) / 2;
  const size_t span = 2 * static_cast<size_t>(H);
  for (TLane& lane : lanes) {
    lane.hRe.assign(spectra, 0.0f);
    lane.hIm.assign(spectra, 0.0f);
    lane.sumRe.assign(static_cast<size_t>(H) + 1, 0.0f);
    lane.sumIm.assign(static_cast<size_t>(H) + 1, 0.0f);
    lane.overlap.assign(static_cast<size_t>(H), 0.0f);
    lane.yRe.assign(span, 0.0f);
    lane.yIm.assign(span, 0.0f);
  }
  fdlRe.assign(spectra, 0.0f);
  fdlIm.assign(spectra, 0.0f);
  xRe.assign(span, 0.0f);
  xIm.assign(span, 0.0f);
  scratchRe.assign(span, 0.0f);
  scratchIm.assign(span, 0.0f);
  Reset();
}

void TPartitionedConvolver::Reset() {
  P = 0;
  fill = 0;
  ringPos = 0;
  fdlHead = 0;
  silent = true;
  active = 0;
}

const float* TPartitionedConvolver::FdlRe(int32_t back) const {
  return fdlRe.data() + static_cast<size_t>((fdlHead - back + D) % D) * bins;
}

const float* TPartitionedConvolver::FdlIm(int32_t back) const {
  return fdlIm.data() + static_cast<size_t>((fdlHead - back + D) % D) * bins;
}

void TPartitionedConvolver::ReadHistory(const float* history, int32_t count, int32_t skip, float* out) const {
  const int32_t at = (ringPos - skip - count) & (H - 1);
  const int32_t first = std::min(count, H - at); // up to the ring's end, the rest from its start
  std::copy(history + at, history + at + first, out);
  std::copy(history, history + (count - first), out + first);
}

void TPartitionedConvolver::BuildLane(TLane& lane, const TKernelTaps& kernel) {
  lane.generation = kernel.Generation;
  lane.N = kernel.Size;
  lane.K = P >= kernel.Size ? 1 : kernel.Size / P;
  const int32_t taps = kernel.Size + 1;
  for (int32_t k = 0; k < lane.K; ++k) {
    // Partition k holds taps kP .. kP + P - 1; the last one also the final tap N.
    const int32_t first = k * P;
    const int32_t last = k == lane.K - 1 ? taps : first + P;
    std::fill(scratchRe.begin(), scratchRe.begin() + 2 * static_cast<size_t>(P), 0.0f);
    std::copy(kernel.Taps + first, kernel.Taps + last, scratchRe.begin());
    RealFFT(2 * P, scratchRe.data(), scratchIm.data());
    std::copy(scratchRe.begin(), scratchRe.begin() + bins, lane.hRe.begin() + static_cast<size_t>(k) * bins);
    std::copy(scratchIm.begin(), scratchIm.begin() + bins, lane.hIm.begin() + static_cast<size_t>(k) * bins);
  }
}

void TPartitionedConvolver::NextSum(TLane& lane) {
  std::fill(lane.sumRe.begin(), lane.sumRe.begin() + bins, 0.0f);
  std::fill(lane.sumIm.begin(), lane.sumIm.begin() + bins, 0.0f);
  // While partition j fills, X_{j-k} lies `k - 1` partitions behind the newest in the delay line.
  for (int32_t k = 1; k < lane.K; ++k) {
    AccumulateProducts(lane.sumRe.data(), lane.sumIm.data(), FdlRe(k - 1), FdlIm(k - 1),
                       lane.hRe.data() + static_cast<size_t>(k) * bins,
                       lane.hIm.data() + static_cast<size_t>(k) * bins, bins);
  }
}

void TPartitionedConvolver::DeriveRunningSums(TLane& lane) {
  if (silent) {
    std::fill(lane.overlap.begin(), lane.overlap.begin() + P, 0.0f);
    std::fill(lane.sumRe.begin(), lane.sumRe.begin() + bins, 0.0f);
    std::fill(lane.sumIm.begin(), lane.sumIm.begin() + bins, 0.0f);
    return;
  }
  // The overlap into partition j: the second half of sum_{k=0..K-1} X_{j-1-k} H_k.
  std::fill(scratchRe.begin(), scratchRe.begin() + bins, 0.0f);
  std::fill(scratchIm.begin(), scratchIm.begin() + bins, 0.0f);
  for (int32_t k = 0; k < lane.K; ++k) {
    AccumulateProducts(scratchRe.data(), scratchIm.data(), FdlRe(k), FdlIm(k),
                       lane.hRe.data() + static_cast<size_t>(k) * bins,
                       lane.hIm.data() + static_cast<size_t>(k) * bins, bins);
  }
  InverseRealFFT(2 * P, scratchRe.data(), scratchIm.data());
  std::copy(scratchRe.begin() + P, scratchRe.begin() + 2 * static_cast<size_t>(P), lane.overlap.begin());
  NextSum(lane);
}

void TPartitionedConvolver::Rebuild(int32_t partition, const TKernelTaps& kernel, const float* history) {
  P = partition;
  D = H / P;
  bins = P + 1;
  fill = 0;
  fdlHead = 0;
  // The delay line holds the last D whole partitions of the history, the newest at the head.
  for (int32_t back = 0; back < D; ++back) {
    float* const re = fdlRe.data() + static_cast<size_t>((D - back) % D) * bins;
    float* const im = fdlIm.data() + static_cast<size_t>((D - back) % D) * bins;
    if (silent) {
      std::fill(re, re + bins, 0.0f);
      std::fill(im, im + bins, 0.0f);
      continue;
    }
    ReadHistory(history, P, back * P, scratchRe.data());
    std::fill(scratchRe.begin() + P, scratchRe.begin() + 2 * static_cast<size_t>(P), 0.0f);
    RealFFT(2 * P, scratchRe.data(), scratchIm.data());
    std::copy(scratchRe.begin(), scratchRe.begin() + bins, re);
    std::copy(scratchIm.begin(), scratchIm.begin() + bins, im);
  }
  active = 0;
  BuildLane(lanes[active], kernel);
  DeriveRunningSums(lanes[active]);
}

void TPartitionedConvolver::Convolve(TLane& lane) {
  std::copy(xRe.begin(), xRe.begin() + bins, lane.yRe.begin());
  std::copy(xIm.begin(), xIm.begin() + bins, lane.yIm.begin());
  MultiplySpectra(lane.yRe.data(), lane.yIm.data(), lane.hRe.data(), lane.hIm.data(), bins);
  if (lane.K > 1) {
    for (int32_t k = 0; k < bins; ++k) {
      lane.yRe[k] += lane.sumRe[k];
      lane.yIm[k] += lane.sumIm[k];
    }
  }
  InverseRealFFT(2 * P, lane.yRe.data(), lane.yIm.data());
}

void TPartitionedConvolver::Process(float* x, int32_t frames, const TKernelTaps& kernel, float* history) {
  if (frames <= 0 || kernel.Taps == nullptr || kernel.Size < 1 || H < kernel.Size) {
    return;
  }
  bool fading = false;
  if (P == 0) {
    Rebuild(PartitionFor(frames, kernel.Size), kernel, history);
  } else if (lanes[active].generation != kernel.Generation) {
    // A new kernel: it runs beside the old one through this block and takes over at its end. The
    // partition size stays for this block; the next one adapts it if the blocks call for another.
    fading = true;
    BuildLane(lanes[1 - active], kernel);
    DeriveRunningSums(lanes[1 - active]);
  } else if (PartitionFor(frames, kernel.Size) != P) {
    Rebuild(PartitionFor(frames, kernel.Size), kernel, history);
  }
  TLane& current = lanes[active];
  TLane& next = lanes[1 - active];
  const int32_t mask = H - 1;
  const float step = 1.0f / static_cast<float>(frames);

  int32_t n = 0;
  while (n < frames) {
    const int32_t take = std::min(P - fill, frames - n);
    const int32_t first = std::min(take, H - ringPos);
    std::copy(x + n, x + n + first, history + ringPos);
    std::copy(x + n + first, x + n + take, history);
    ringPos = (ringPos + take) & mask;
    silent = false;
    const int32_t filled = fill + take;
    // The partition so far, zero-padded: later samples only reach later outputs.
    ReadHistory(history, filled, 0, xRe.data());
    std::fill(xRe.begin() + filled, xRe.begin() + 2 * static_cast<size_t>(P), 0.0f);
    RealFFT(2 * P, xRe.data(), xIm.data());
    Convolve(current);
    if (fading) {
      Convolve(next);
      for (int32_t t = fill; t < filled; ++t) {
        const float from = current.yRe[t] + current.overlap[t];
        const float to = next.yRe[t] + next.overlap[t];
        const float w = static_cast<float>(n + t - fill + 1) * step;
        x[n + t - fill] = from + (to - from) * w;
      }
    } else {
      for (int32_t t = fill; t < filled; ++t) {
        x[n + t - fill] = current.yRe[t] + current.overlap[t];
      }
    }
    if (filled == P) {
      fdlHead = (fdlHead + 1) % D;
      std::copy(xRe.begin(), xRe.begin() + bins, fdlRe.begin() + static_cast<size_t>(fdlHead) * bins);
      std::copy(xIm.begin(), xIm.begin() + bins, fdlIm.begin() + static_cast<size_t>(fdlHead) * bins);
      for (TLane* lane : {&current, &next}) {
        if (lane == &next && !fading) {
          continue;
        }
        std::copy(lane->yRe.begin() + P, lane->yRe.begin() + 2 * static_cast<size_t>(P),
                  lane->overlap.begin());
        NextSum(*lane);
      }
      fill = 0;
    } else {
      fill = filled;
    }
    n += take;
  }
  if (fading) {
    active = 1 - active;
  }
}

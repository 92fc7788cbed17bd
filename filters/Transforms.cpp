// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/Transforms.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <utility>

#include "filters/Simd.h"

// Every expression below is evaluated in double precision and rounded to float where its value is
// stored in an array or kept for a later step (butterfly products, twiddles, the running rotation).
// Changing that order changes the last bits of every spectrum and of every FIR filter output.

namespace {

// One butterfly: the pair (i, ip = i + le2) with the twiddle (wr, wi).
inline void Butterfly(float* re, float* im, int i, int ip, double wr, double wi) {
  const float tr = static_cast<float>(re[ip] * wr - im[ip] * wi);
  const float ti = static_cast<float>(re[ip] * wi + im[ip] * wr);
  re[ip] = re[i] - tr;
  im[ip] = im[i] - ti;
  re[i] = re[i] + tr;
  im[i] = im[i] + ti;
}

#if defined(__SSE2__)
// Four butterflies at once with the same double products and float roundings as Butterfly.
inline void Butterfly4(__m128& reI, __m128& imI, __m128& reIp, __m128& imIp, __m128 w_r, __m128 w_i) {
  const __m128d reLo = _mm_cvtps_pd(reIp);
  const __m128d reHi = _mm_cvtps_pd(_mm_movehl_ps(reIp, reIp));
  const __m128d imLo = _mm_cvtps_pd(imIp);
  const __m128d imHi = _mm_cvtps_pd(_mm_movehl_ps(imIp, imIp));
  const __m128d wrLo = _mm_cvtps_pd(w_r);
  const __m128d wrHi = _mm_cvtps_pd(_mm_movehl_ps(w_r, w_r));
  const __m128d wiLo = _mm_cvtps_pd(w_i);
  const __m128d wiHi = _mm_cvtps_pd(_mm_movehl_ps(w_i, w_i));
  const __m128 tr = _mm_movelh_ps(_mm_cvtpd_ps(_mm_sub_pd(_mm_mul_pd(reLo, wrLo), _mm_mul_pd(imLo, wiLo))),
                                  _mm_cvtpd_ps(_mm_sub_pd(_mm_mul_pd(reHi, wrHi), _mm_mul_pd(imHi, wiHi))));
  const __m128 ti = _mm_movelh_ps(_mm_cvtpd_ps(_mm_add_pd(_mm_mul_pd(reLo, wiLo), _mm_mul_pd(imLo, wrLo))),
                                  _mm_cvtpd_ps(_mm_add_pd(_mm_mul_pd(reHi, wiHi), _mm_mul_pd(imHi, wrHi))));
  reIp = _mm_sub_ps(reI, tr);
  imIp = _mm_sub_ps(imI, ti);
  reI = _mm_add_ps(reI, tr);
  imI = _mm_add_ps(imI, ti);
}
#endif

// Butterflies j = 0..count-1 of one group: the pairs (j, j + le2) with twiddles wr[j], wi[j].
inline void GroupButterflies(float* re, float* im, int le2, const float* wr, const float* wi, int count) {
  int j = 0;
#if defined(__SSE2__)
  for (; j + 3 < count; j += 4) {
    __m128 reI = _mm_loadu_ps(re + j);
    __m128 imI = _mm_loadu_ps(im + j);
    __m128 reIp = _mm_loadu_ps(re + j + le2);
    __m128 imIp = _mm_loadu_ps(im + j + le2);
    Butterfly4(reI, imI, reIp, imIp, _mm_loadu_ps(wr + j), _mm_loadu_ps(wi + j));
    _mm_storeu_ps(re + j, reI);
    _mm_storeu_ps(im + j, imI);
    _mm_storeu_ps(re + j + le2, reIp);
    _mm_storeu_ps(im + j + le2, imIp);
  }
#endif
  for (; j < count; ++j) {
    Butterfly(re, im, j, j + le2, wr[j], wi[j]);
  }
}

#if defined(SONOLAB_X86_WIDE_PATHS)
// GroupButterflies with 256-bit double vectors, for processors that have them (chosen at run time).
// The same double products and float roundings; no fused multiply-add.
__attribute__((target("avx"))) void GroupButterfliesAvx(float* re, float* im, int le2, const float* wr,
                                                        const float* wi, int count) {
  int j = 0;
  for (; j + 3 < count; j += 4) {
    const __m256d reIp = _mm256_cvtps_pd(_mm_loadu_ps(re + j + le2));
    const __m256d imIp = _mm256_cvtps_pd(_mm_loadu_ps(im + j + le2));
    const __m256d w_r = _mm256_cvtps_pd(_mm_loadu_ps(wr + j));
    const __m256d w_i = _mm256_cvtps_pd(_mm_loadu_ps(wi + j));
    const __m128 tr = _mm256_cvtpd_ps(_mm256_sub_pd(_mm256_mul_pd(reIp, w_r), _mm256_mul_pd(imIp, w_i)));
    const __m128 ti = _mm256_cvtpd_ps(_mm256_add_pd(_mm256_mul_pd(reIp, w_i), _mm256_mul_pd(imIp, w_r)));
    const __m128 reI = _mm_loadu_ps(re + j);
    const __m128 imI = _mm_loadu_ps(im + j);
    _mm_storeu_ps(re + j + le2, _mm_sub_ps(reI, tr));
    _mm_storeu_ps(im + j + le2, _mm_sub_ps(imI, ti));
    _mm_storeu_ps(re + j, _mm_add_ps(reI, tr));
    _mm_storeu_ps(im + j, _mm_add_ps(imI, ti));
  }
  for (; j < count; ++j) {
    Butterfly(re, im, j, j + le2, wr[j], wi[j]);
  }
}

// Eight butterflies with 512-bit double vectors: the double products and float roundings of Butterfly.
__attribute__((target("avx512f"), optimize("fp-contract=off"))) inline void
Butterfly8(__m256& reI, __m256& imI, __m256& reIp, __m256& imIp, __m512d w_r, __m512d w_i) {
  const __m512d r = _mm512_cvtps_pd(reIp);
  const __m512d m = _mm512_cvtps_pd(imIp);
  const __m256 tr = _mm512_cvtpd_ps(_mm512_sub_pd(_mm512_mul_pd(r, w_r), _mm512_mul_pd(m, w_i)));
  const __m256 ti = _mm512_cvtpd_ps(_mm512_add_pd(_mm512_mul_pd(r, w_i), _mm512_mul_pd(m, w_r)));
  reIp = _mm256_sub_ps(reI, tr);
  imIp = _mm256_sub_ps(imI, ti);
  reI = _mm256_add_ps(reI, tr);
  imI = _mm256_add_ps(imI, ti);
}

// One whole stage, eight butterflies at a time. Stages with le2 < 8 (n a multiple of 16) gather the
// pairs of two, four or eight groups into one vector and put them back in place.
__attribute__((target("avx512f"), optimize("fp-contract=off"))) void
ButterflyStageAvx512(int n, int le2, float* re, float* im, const float* wr, const float* wi) {
  if (le2 >= 8) {
    for (int group = 0; group < n; group += 2 * le2) {
      float* const r = re + group;
      float* const m = im + group;
      for (int j = 0; j < le2; j += 8) {
        __m256 reI = _mm256_loadu_ps(r + j);
        __m256 imI = _mm256_loadu_ps(m + j);
        __m256 reIp = _mm256_loadu_ps(r + j + le2);
        __m256 imIp = _mm256_loadu_ps(m + j + le2);
        Butterfly8(reI, imI, reIp, imIp, _mm512_cvtps_pd(_mm256_loadu_ps(wr + j)),
                   _mm512_cvtps_pd(_mm256_loadu_ps(wi + j)));
        _mm256_storeu_ps(r + j, reI);
        _mm256_storeu_ps(m + j, imI);
        _mm256_storeu_ps(r + j + le2, reIp);
        _mm256_storeu_ps(m + j + le2, imIp);
      }
    }
    return;
  }
  if (le2 == 4) {
    // Groups g and g + 1 side by side: [i of g, i of g + 1] and [ip of g, ip of g + 1].
    const __m128 r4 = _mm_loadu_ps(wr);
    const __m128 i4 = _mm_loadu_ps(wi);
    const __m512d w_r = _mm512_cvtps_pd(_mm256_set_m128(r4, r4));
    const __m512d w_i = _mm512_cvtps_pd(_mm256_set_m128(i4, i4));
    for (int g = 0; g < n; g += 16) {
      const __m256 ra = _mm256_loadu_ps(re + g);
      const __m256 rb = _mm256_loadu_ps(re + g + 8);
      const __m256 ia = _mm256_loadu_ps(im + g);
      const __m256 ib = _mm256_loadu_ps(im + g + 8);
      __m256 reI = _mm256_permute2f128_ps(ra, rb, 0x20);
      __m256 reIp = _mm256_permute2f128_ps(ra, rb, 0x31);
      __m256 imI = _mm256_permute2f128_ps(ia, ib, 0x20);
      __m256 imIp = _mm256_permute2f128_ps(ia, ib, 0x31);
      Butterfly8(reI, imI, reIp, imIp, w_r, w_i);
      _mm256_storeu_ps(re + g, _mm256_permute2f128_ps(reI, reIp, 0x20));
      _mm256_storeu_ps(re + g + 8, _mm256_permute2f128_ps(reI, reIp, 0x31));
      _mm256_storeu_ps(im + g, _mm256_permute2f128_ps(imI, imIp, 0x20));
      _mm256_storeu_ps(im + g + 8, _mm256_permute2f128_ps(imI, imIp, 0x31));
    }
    return;
  }
  // le2 = 1 or 2: each 128-bit half is shuffled as FirstStage and SecondStage do with four values.
  const __m512d w_r =
      _mm512_cvtps_pd(le2 == 1 ? _mm256_set1_ps(wr[0])
                               : _mm256_setr_ps(wr[0], wr[1], wr[0], wr[1], wr[0], wr[1], wr[0], wr[1]));
  const __m512d w_i =
      _mm512_cvtps_pd(le2 == 1 ? _mm256_set1_ps(wi[0])
                               : _mm256_setr_ps(wi[0], wi[1], wi[0], wi[1], wi[0], wi[1], wi[0], wi[1]));
  for (int g = 0; g < n; g += 16) {
    const __m256 ra = _mm256_loadu_ps(re + g);
    const __m256 rb = _mm256_loadu_ps(re + g + 8);
    const __m256 ia = _mm256_loadu_ps(im + g);
    const __m256 ib = _mm256_loadu_ps(im + g + 8);
    if (le2 == 1) {
      __m256 reI = _mm256_shuffle_ps(ra, rb, _MM_SHUFFLE(2, 0, 2, 0));
      __m256 reIp = _mm256_shuffle_ps(ra, rb, _MM_SHUFFLE(3, 1, 3, 1));
      __m256 imI = _mm256_shuffle_ps(ia, ib, _MM_SHUFFLE(2, 0, 2, 0));
      __m256 imIp = _mm256_shuffle_ps(ia, ib, _MM_SHUFFLE(3, 1, 3, 1));
      Butterfly8(reI, imI, reIp, imIp, w_r, w_i);
      _mm256_storeu_ps(re + g, _mm256_unpacklo_ps(reI, reIp));
      _mm256_storeu_ps(re + g + 8, _mm256_unpackhi_ps(reI, reIp));
      _mm256_storeu_ps(im + g, _mm256_unpacklo_ps(imI, imIp));
      _mm256_storeu_ps(im + g + 8, _mm256_unpackhi_ps(imI, imIp));
    } else {
      // Per 128-bit half: movelh / movehl as in SecondStage.
      __m256 reI = _mm256_shuffle_ps(ra, rb, _MM_SHUFFLE(1, 0, 1, 0));
      __m256 reIp = _mm256_shuffle_ps(ra, rb, _MM_SHUFFLE(3, 2, 3, 2));
      __m256 imI = _mm256_shuffle_ps(ia, ib, _MM_SHUFFLE(1, 0, 1, 0));
      __m256 imIp = _mm256_shuffle_ps(ia, ib, _MM_SHUFFLE(3, 2, 3, 2));
      Butterfly8(reI, imI, reIp, imIp, w_r, w_i);
      _mm256_storeu_ps(re + g, _mm256_shuffle_ps(reI, reIp, _MM_SHUFFLE(1, 0, 1, 0)));
      _mm256_storeu_ps(re + g + 8, _mm256_shuffle_ps(reI, reIp, _MM_SHUFFLE(3, 2, 3, 2)));
      _mm256_storeu_ps(im + g, _mm256_shuffle_ps(imI, imIp, _MM_SHUFFLE(1, 0, 1, 0)));
      _mm256_storeu_ps(im + g + 8, _mm256_shuffle_ps(imI, imIp, _MM_SHUFFLE(3, 2, 3, 2)));
    }
  }
}
#endif

#if defined(__SSE2__)
// The stages with le2 = 1 and le2 = 2 over eight values at a time: the pairs are gathered into
// vectors, transformed by Butterfly4 and put back in place.
void FirstStage(int n, float* re, float* im, const float* wr, const float* wi) {
  const __m128 w_r = _mm_set1_ps(wr[0]);
  const __m128 w_i = _mm_set1_ps(wi[0]);
  for (int g = 0; g < n; g += 8) {
    const __m128 ra = _mm_loadu_ps(re + g);
    const __m128 rb = _mm_loadu_ps(re + g + 4);
    const __m128 ia = _mm_loadu_ps(im + g);
    const __m128 ib = _mm_loadu_ps(im + g + 4);
    __m128 reI = _mm_shuffle_ps(ra, rb, _MM_SHUFFLE(2, 0, 2, 0));
    __m128 reIp = _mm_shuffle_ps(ra, rb, _MM_SHUFFLE(3, 1, 3, 1));
    __m128 imI = _mm_shuffle_ps(ia, ib, _MM_SHUFFLE(2, 0, 2, 0));
    __m128 imIp = _mm_shuffle_ps(ia, ib, _MM_SHUFFLE(3, 1, 3, 1));
    Butterfly4(reI, imI, reIp, imIp, w_r, w_i);
    _mm_storeu_ps(re + g, _mm_unpacklo_ps(reI, reIp));
    _mm_storeu_ps(re + g + 4, _mm_unpackhi_ps(reI, reIp));
    _mm_storeu_ps(im + g, _mm_unpacklo_ps(imI, imIp));
    _mm_storeu_ps(im + g + 4, _mm_unpackhi_ps(imI, imIp));
  }
}

void SecondStage(int n, float* re, float* im, const float* wr, const float* wi) {
  const __m128 w_r = _mm_setr_ps(wr[0], wr[1], wr[0], wr[1]);
  const __m128 w_i = _mm_setr_ps(wi[0], wi[1], wi[0], wi[1]);
  for (int g = 0; g < n; g += 8) {
    const __m128 ra = _mm_loadu_ps(re + g);
    const __m128 rb = _mm_loadu_ps(re + g + 4);
    const __m128 ia = _mm_loadu_ps(im + g);
    const __m128 ib = _mm_loadu_ps(im + g + 4);
    __m128 reI = _mm_movelh_ps(ra, rb);
    __m128 reIp = _mm_movehl_ps(rb, ra);
    __m128 imI = _mm_movelh_ps(ia, ib);
    __m128 imIp = _mm_movehl_ps(ib, ia);
    Butterfly4(reI, imI, reIp, imIp, w_r, w_i);
    _mm_storeu_ps(re + g, _mm_movelh_ps(reI, reIp));
    _mm_storeu_ps(re + g + 4, _mm_movehl_ps(reIp, reI));
    _mm_storeu_ps(im + g, _mm_movelh_ps(imI, imIp));
    _mm_storeu_ps(im + g + 4, _mm_movehl_ps(imIp, imI));
  }
}
#endif

// The twiddles of every stage with le2 up to TableHalf, made once by the same rotation recurrence
// that a stage runs (so they are the very same floats): stage le2 starts at index le2 - 1.
constexpr int TableHalf = 4096;

struct TTwiddleTable {
  std::array<float, 2 * TableHalf - 1> re;
  std::array<float, 2 * TableHalf - 1> im;
};

// The running rotation of one stage: (ur, ui) advanced by (sr, si), every value a float.
struct TRotation {
  explicit TRotation(int le2)
      : sr(static_cast<float>(std::cos(Pi / le2))), si(static_cast<float>(-std::sin(Pi / le2))) {}
  void Advance() {
    const float oldUr = ur;
    ur = static_cast<float>(static_cast<double>(oldUr) * sr - static_cast<double>(ui) * si);
    ui = static_cast<float>(static_cast<double>(oldUr) * si + static_cast<double>(ui) * sr);
  }
  float ur = 1.0f;
  float ui = 0.0f;
  const float sr;
  const float si;
};

const TTwiddleTable& Twiddles() {
  static const TTwiddleTable table = [] {
    TTwiddleTable t{};
    for (int le2 = 1; le2 <= TableHalf; le2 *= 2) {
      TRotation rotation(le2);
      for (int j = 0; j < le2; ++j) {
        t.re[static_cast<size_t>(le2 - 1 + j)] = rotation.ur;
        t.im[static_cast<size_t>(le2 - 1 + j)] = rotation.ui;
        rotation.Advance();
      }
    }
    return t;
  }();
  return table;
}

// One radix-2 butterfly stage: groups of le = 2 * le2 values; the twiddle of offset jj is the
// running rotation after jj steps. The butterflies of a stage are independent, so each group is
// done with the whole run of twiddles.
void ButterflyStage(int n, int le2, float* re, float* im) {
  const int le = le2 * 2;
  if (le2 <= TableHalf) {
    const TTwiddleTable& table = Twiddles();
    const float* const wr = table.re.data() + (le2 - 1);
    const float* const wi = table.im.data() + (le2 - 1);
#if defined(SONOLAB_X86_WIDE_PATHS)
    if ((le2 >= 8 || n % 16 == 0) && HasAvx512()) {
      ButterflyStageAvx512(n, le2, re, im, wr, wi);
      return;
    }
#endif
#if defined(__SSE2__)
    if (le2 <= 2 && n % 8 == 0) {
      (le2 == 1 ? FirstStage : SecondStage)(n, re, im, wr, wi);
      return;
    }
#endif
#if defined(SONOLAB_X86_WIDE_PATHS)
    if (le2 >= 4 && HasAvx()) {
      for (int group = 0; group < n; group += le) {
        GroupButterfliesAvx(re + group, im + group, le2, wr, wi, le2);
      }
      return;
    }
#endif
    for (int group = 0; group < n; group += le) {
      GroupButterflies(re + group, im + group, le2, wr, wi, le2);
    }
    return;
  }
  // Longer stages generate their twiddles in runs.
  TRotation rotation(le2);
  constexpr int Run = 256;
  float wr[Run];
  float wi[Run];
  for (int first = 0; first < le2; first += Run) {
    const int count = std::min(Run, le2 - first);
    for (int j = 0; j < count; ++j) {
      wr[j] = rotation.ur;
      wi[j] = rotation.ui;
      rotation.Advance();
    }
    for (int group = 0; group < n; group += le) {
      GroupButterflies(re + group + first, im + group + first, le2, wr, wi, count);
    }
  }
}

// The swaps of the bit-reversal permutation, in the order the counter below makes them.
template <typename Swap> constexpr void ForEachBitReversalSwap(int n, Swap swap) {
  int j = n / 2;
  for (int i = 1; i <= n - 2; ++i) {
    if (i < j) {
      swap(i, j);
    }
    int k = n / 2;
    while (k <= j) {
      j -= k;
      k /= 2;
    }
    j += k;
  }
}

// The swap pairs of every size up to 2^TableBits, worked out at compile time; size 2^m starts at
// pairStart[m].
constexpr int TableBits = 13;
static_assert((1 << TableBits) == 2 * TableHalf);

constexpr int CountBitReversalPairs() {
  int total = 0;
  for (int m = 0; m <= TableBits; ++m) {
    ForEachBitReversalSwap(1 << m, [&](int, int) { ++total; });
  }
  return total;
}

struct TBitReversalTable {
  std::array<int, TableBits + 2> pairStart{};
  std::array<std::array<uint16_t, 2>, CountBitReversalPairs()> pairs{};
};

constexpr TBitReversalTable MakeBitReversalTable() {
  TBitReversalTable t;
  int count = 0;
  for (int m = 0; m <= TableBits; ++m) {
    t.pairStart[static_cast<size_t>(m)] = count;
    ForEachBitReversalSwap(1 << m, [&](int i, int j) {
      t.pairs[static_cast<size_t>(count)] = {static_cast<uint16_t>(i), static_cast<uint16_t>(j)};
      ++count;
    });
  }
  t.pairStart[TableBits + 1] = count;
  return t;
}

constexpr TBitReversalTable BitReversals = MakeBitReversalTable();

} // namespace

#if defined(SONOLAB_X86_WIDE_PATHS)
namespace {

// The bit-reversal permutation of n = 2^m values (m >= 6), a[p] <-> a[rev(p)], by 8 x 8 tiles. With
// p = (A, M, B), A the top three bits, B the low three and M the k = m - 6 bits between, rev(p) is
// (rev(B), rev(M), rev(A)): tile M goes to tile rev(M), its element (A, B) to (rev(B), rev(A)). Rows
// loaded in bit-reversed order and transposed give the rows of the target tile in bit-reversed order.
// Values are only moved, so the result is that of the swaps.
__attribute__((target("avx"))) void ReverseTile(const float* source, int rowStride, __m256 (&out)[8]) {
  constexpr int Rev3[8] = {0, 4, 2, 6, 1, 5, 3, 7};
  __m256 r[8];
  for (int c = 0; c < 8; ++c) {
    r[c] = _mm256_loadu_ps(source + static_cast<size_t>(Rev3[c]) * static_cast<size_t>(rowStride));
  }
  const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
  const __m256 t1 = _mm256_unpackhi_ps(r[0], r[1]);
  const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]);
  const __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
  const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]);
  const __m256 t5 = _mm256_unpackhi_ps(r[4], r[5]);
  const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]);
  const __m256 t7 = _mm256_unpackhi_ps(r[6], r[7]);
  const __m256 u0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 u1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 u2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 u3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 u4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 u5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 u6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 u7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
  // Transposed row j goes to target row rev(j).
  out[Rev3[0]] = _mm256_permute2f128_ps(u0, u4, 0x20);
  out[Rev3[1]] = _mm256_permute2f128_ps(u1, u5, 0x20);
  out[Rev3[2]] = _mm256_permute2f128_ps(u2, u6, 0x20);
  out[Rev3[3]] = _mm256_permute2f128_ps(u3, u7, 0x20);
  out[Rev3[4]] = _mm256_permute2f128_ps(u0, u4, 0x31);
  out[Rev3[5]] = _mm256_permute2f128_ps(u1, u5, 0x31);
  out[Rev3[6]] = _mm256_permute2f128_ps(u2, u6, 0x31);
  out[Rev3[7]] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

__attribute__((target("avx"))) void BitReverseAvx(int m, float* a) {
  const int k = m - 6;
  const int rowStride = 1 << (m - 3);
  for (int tile = 0; tile < (1 << k); ++tile) {
    int mirror = 0;
    for (int b = 0; b < k; ++b) {
      mirror |= ((tile >> b) & 1) << (k - 1 - b);
    }
    if (mirror < tile) {
      continue; // done with its partner
    }
    __m256 first[8];
    __m256 second[8];
    ReverseTile(a + 8 * tile, rowStride, first);
    if (mirror != tile) {
      ReverseTile(a + 8 * mirror, rowStride, second);
    }
    for (int r = 0; r < 8; ++r) {
      _mm256_storeu_ps(a + static_cast<size_t>(r) * static_cast<size_t>(rowStride) + 8 * mirror, first[r]);
    }
    if (mirror != tile) {
      for (int r = 0; r < 8; ++r) {
        _mm256_storeu_ps(a + static_cast<size_t>(r) * static_cast<size_t>(rowStride) + 8 * tile, second[r]);
      }
    }
  }
}

} // namespace
#endif

void ComplexFFT(int n, float* re, float* im) {
  int m = 0;
  while ((n >> (m + 1)) != 0) {
    ++m;
  }

#if defined(SONOLAB_X86_WIDE_PATHS)
  if (m >= 6 && HasAvx()) {
    BitReverseAvx(m, re);
    BitReverseAvx(m, im);
    for (int l = 1; l <= m; ++l) {
      ButterflyStage(n, (1 << l) / 2, re, im);
    }
    return;
  }
#endif
  if (m <= TableBits) {
    const auto* pair = BitReversals.pairs.data() + BitReversals.pairStart[static_cast<size_t>(m)];
    const auto* const end = BitReversals.pairs.data() + BitReversals.pairStart[static_cast<size_t>(m) + 1];
    for (; pair != end; ++pair) {
      std::swap(re[(*pair)[0]], re[(*pair)[1]]);
      std::swap(im[(*pair)[0]], im[(*pair)[1]]);
    }
  } else {
    ForEachBitReversalSwap(n, [&](int i, int j) {
      std::swap(re[i], re[j]);
      std::swap(im[i], im[j]);
    });
  }

  for (int l = 1; l <= m; ++l) {
    ButterflyStage(n, (1 << l) / 2, re, im);
  }
}

#if defined(__SSE2__)
namespace {

inline __m128 Reverse(__m128 v) {
  return _mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 1, 2, 3));
}
inline __m128 Negate(__m128 v) {
  return _mm_xor_ps(v, _mm_set1_ps(-0.0f));
}

// float((double(x) + double(y)) * factor) or, with Subtract, float((double(x) - double(y)) * factor).
template <bool Subtract> inline __m128 HalfCombine(__m128 x, __m128 y, double factor) {
  const __m128d f = _mm_set1_pd(factor);
  const __m128d xLo = _mm_cvtps_pd(x);
  const __m128d xHi = _mm_cvtps_pd(_mm_movehl_ps(x, x));
  const __m128d yLo = _mm_cvtps_pd(y);
  const __m128d yHi = _mm_cvtps_pd(_mm_movehl_ps(y, y));
  const __m128d lo = Subtract ? _mm_sub_pd(xLo, yLo) : _mm_add_pd(xLo, yLo);
  const __m128d hi = Subtract ? _mm_sub_pd(xHi, yHi) : _mm_add_pd(xHi, yHi);
  return _mm_movelh_ps(_mm_cvtpd_ps(_mm_mul_pd(lo, f)), _mm_cvtpd_ps(_mm_mul_pd(hi, f)));
}

} // namespace
#endif

#if defined(SONOLAB_X86_WIDE_PATHS)
namespace {

__attribute__((target("avx512f"), optimize("fp-contract=off"))) inline __m256 Reverse8(__m256 v) {
  return _mm256_permutevar8x32_ps(v, _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0));
}

// HalfCombine eight at a time: float((double(x) +/- double(y)) * factor).
template <bool Subtract>
__attribute__((target("avx512f"), optimize("fp-contract=off"))) inline __m256 HalfCombine8(__m256 x, __m256 y,
                                                                                           double factor) {
  const __m512d a = _mm512_cvtps_pd(x);
  const __m512d b = _mm512_cvtps_pd(y);
  return _mm512_cvtpd_ps(
      _mm512_mul_pd(Subtract ? _mm512_sub_pd(a, b) : _mm512_add_pd(a, b), _mm512_set1_pd(factor)));
}

// The even samples to re[0..], the odd ones to im[0..], eight pairs at a time; returns the pairs done.
// Each step reads sixteen values and writes eight below them, all of which were read before.
__attribute__((target("avx512f"), optimize("fp-contract=off"))) int PackAvx512(int h, float* re, float* im) {
  int i = 0;
  for (; i + 7 < h; i += 8) {
    const __m256 v0 = _mm256_loadu_ps(re + 2 * i);
    const __m256 v1 = _mm256_loadu_ps(re + 2 * i + 8);
    const __m256d even = _mm256_castps_pd(_mm256_shuffle_ps(v0, v1, _MM_SHUFFLE(2, 0, 2, 0)));
    const __m256d odd = _mm256_castps_pd(_mm256_shuffle_ps(v0, v1, _MM_SHUFFLE(3, 1, 3, 1)));
    _mm256_storeu_ps(re + i, _mm256_castpd_ps(_mm256_permute4x64_pd(even, _MM_SHUFFLE(3, 1, 2, 0))));
    _mm256_storeu_ps(im + i, _mm256_castpd_ps(_mm256_permute4x64_pd(odd, _MM_SHUFFLE(3, 1, 2, 0))));
  }
  return i;
}

// The even/odd split of RealFFT for bins i = 1.. eight at a time; returns the first bin not done.
__attribute__((target("avx512f"), optimize("fp-contract=off"))) int SplitAvx512(int n, float* re, float* im) {
  const int h = n / 2;
  const int quarter = n / 4;
  const __m256 signs = _mm256_set1_ps(-0.0f);
  int i = 1;
  for (; i + 7 < quarter; i += 8) {
    const int a = h - i - 7; // the eight mirror bins, ascending
    const __m256 reI = _mm256_loadu_ps(re + i);
    const __m256 imI = _mm256_loadu_ps(im + i);
    const __m256 reA = Reverse8(_mm256_loadu_ps(re + a));
    const __m256 imA = Reverse8(_mm256_loadu_ps(im + a));
    const __m256 reB = HalfCombine8<false>(imI, imA, 0.5);
    const __m256 imB = HalfCombine8<true>(reI, reA, -0.5);
    const __m256 reNew = HalfCombine8<false>(reI, reA, 0.5);
    const __m256 imNew = HalfCombine8<true>(imI, imA, 0.5);
    _mm256_storeu_ps(re + h + i, reB);
    _mm256_storeu_ps(re + n - i - 7, Reverse8(reB));
    _mm256_storeu_ps(im + h + i, imB);
    _mm256_storeu_ps(im + n - i - 7, Reverse8(_mm256_xor_ps(imB, signs)));
    _mm256_storeu_ps(re + i, reNew);
    _mm256_storeu_ps(re + a, Reverse8(reNew));
    _mm256_storeu_ps(im + i, imNew);
    _mm256_storeu_ps(im + a, Reverse8(_mm256_xor_ps(imNew, signs)));
  }
  return i;
}

// The mirror fill and the sum re + im of InverseRealFFT, n a multiple of 16.
__attribute__((target("avx512f"), optimize("fp-contract=off"))) void InverseInputAvx512(int n, float* re,
                                                                                        float* im) {
  const __m256 signs = _mm256_set1_ps(-0.0f);
  // k = n/2 + 1 .. n - 1 from n - k: eight at a time from the top down, the rest one by one.
  int k = n - 8;
  for (; k > n / 2; k -= 8) {
    _mm256_storeu_ps(re + k, Reverse8(_mm256_loadu_ps(re + n - k - 7)));
    _mm256_storeu_ps(im + k, Reverse8(_mm256_xor_ps(_mm256_loadu_ps(im + n - k - 7), signs)));
  }
  for (k += 7; k > n / 2; --k) {
    re[k] = re[n - k];
    im[k] = -im[n - k];
  }
  for (k = 0; k < n; k += 16) {
    _mm512_storeu_ps(re + k, _mm512_add_ps(_mm512_loadu_ps(re + k), _mm512_loadu_ps(im + k)));
  }
}

// The scaled output of InverseRealFFT, n a multiple of 16.
__attribute__((target("avx512f"), optimize("fp-contract=off"))) void
InverseOutputAvx512(int n, float* re, const float* im, float s) {
  const __m512d scale = _mm512_set1_pd(s);
  for (int k = 0; k < n; k += 8) {
    const __m512d sum =
        _mm512_add_pd(_mm512_cvtps_pd(_mm256_loadu_ps(re + k)), _mm512_cvtps_pd(_mm256_loadu_ps(im + k)));
    _mm256_storeu_ps(re + k, _mm512_cvtpd_ps(_mm512_mul_pd(scale, sum)));
  }
}

} // namespace
#endif

void RealFFT(int n, float* re, float* im) {
  const int h = n / 2;
  int i = 0;
#if defined(SONOLAB_X86_WIDE_PATHS)
  const bool avx512 = HasAvx512();
  if (avx512) {
    i = PackAvx512(h, re, im);
  }
#endif
#if defined(__SSE2__)
  // Reading eight values and writing four below them keeps the in-place order safe.
  for (; i + 3 < h; i += 4) {
    const __m128 v0 = _mm_loadu_ps(re + 2 * i);
    const __m128 v1 = _mm_loadu_ps(re + 2 * i + 4);
    _mm_storeu_ps(re + i, _mm_shuffle_ps(v0, v1, _MM_SHUFFLE(2, 0, 2, 0)));
    _mm_storeu_ps(im + i, _mm_shuffle_ps(v0, v1, _MM_SHUFFLE(3, 1, 3, 1)));
  }
#endif
  for (; i < h; ++i) {
    re[i] = re[2 * i];
    im[i] = re[2 * i + 1];
  }

  ComplexFFT(h, re, im);

  // Split the half-length spectrum of (even + j * odd) samples into the spectra of the even samples
  // (kept in the lower half) and of the odd samples (moved to the upper half). Every round reads
  // bins i and a = h - i before it writes them and touches no other round's bins.
  const int quarter = n / 4;
  i = 1;
#if defined(SONOLAB_X86_WIDE_PATHS)
  if (avx512) {
    i = SplitAvx512(n, re, im);
  }
#endif
#if defined(__SSE2__)
  for (; i + 3 < quarter; i += 4) {
    const int a = h - i - 3; // the four mirror bins, ascending
    const __m128 reI = _mm_loadu_ps(re + i);
    const __m128 imI = _mm_loadu_ps(im + i);
    const __m128 reA = Reverse(_mm_loadu_ps(re + a));
    const __m128 imA = Reverse(_mm_loadu_ps(im + a));
    const __m128 reB = HalfCombine<false>(imI, imA, 0.5);
    const __m128 imB = HalfCombine<true>(reI, reA, -0.5);
    const __m128 reNew = HalfCombine<false>(reI, reA, 0.5);
    const __m128 imNew = HalfCombine<true>(imI, imA, 0.5);
    _mm_storeu_ps(re + h + i, reB);
    _mm_storeu_ps(re + n - i - 3, Reverse(reB));
    _mm_storeu_ps(im + h + i, imB);
    _mm_storeu_ps(im + n - i - 3, Reverse(Negate(imB)));
    _mm_storeu_ps(re + i, reNew);
    _mm_storeu_ps(re + a, Reverse(reNew));
    _mm_storeu_ps(im + i, imNew);
    _mm_storeu_ps(im + a, Reverse(Negate(imNew)));
  }
#endif
  for (; i < quarter; ++i) {
    const int a = h - i;
    const int b = h + i;
    const int c = h + a;
    re[b] = static_cast<float>((static_cast<double>(im[i]) + im[a]) * 0.5);
    re[c] = re[b];
    im[b] = static_cast<float>((static_cast<double>(re[i]) - re[a]) * -0.5);
    im[c] = -im[b];
    re[i] = static_cast<float>((static_cast<double>(re[i]) + re[a]) * 0.5);
    re[a] = re[i];
    im[i] = static_cast<float>((static_cast<double>(im[i]) - im[a]) * 0.5);
    im[a] = -im[i];
  }
  re[3 * n / 4] = im[quarter];
  re[h] = im[0];
  im[3 * n / 4] = 0.0f;
  im[h] = 0.0f;
  im[quarter] = 0.0f;
  im[0] = 0.0f;

  // The last stage over the whole length (le = n) joins the even and the odd spectrum.
  ButterflyStage(n, h, re, im);
}

void InverseRealFFT(int n, float* re, float* im) {
#if defined(SONOLAB_X86_WIDE_PATHS)
  if (n % 16 == 0 && HasAvx512()) {
    InverseInputAvx512(n, re, im);
    RealFFT(n, re, im);
    InverseOutputAvx512(n, re, im, static_cast<float>(1.0 / n));
    return;
  }
#endif
  for (int k = n / 2 + 1; k < n; ++k) {
    re[k] = re[n - k];
    im[k] = -im[n - k];
  }
  int k = 0;
#if defined(__SSE2__)
  for (; k + 3 < n; k += 4) {
    _mm_storeu_ps(re + k, _mm_add_ps(_mm_loadu_ps(re + k), _mm_loadu_ps(im + k)));
  }
#endif
  for (; k < n; ++k) {
    re[k] = re[k] + im[k];
  }
  RealFFT(n, re, im);
  const float s = static_cast<float>(1.0 / n);
  k = 0;
#if defined(__SSE2__)
  const __m128d scale = _mm_set1_pd(s);
  for (; k + 3 < n; k += 4) {
    const __m128 r = _mm_loadu_ps(re + k);
    const __m128 m = _mm_loadu_ps(im + k);
    const __m128d lo = _mm_mul_pd(scale, _mm_add_pd(_mm_cvtps_pd(r), _mm_cvtps_pd(m)));
    const __m128d hi =
        _mm_mul_pd(scale, _mm_add_pd(_mm_cvtps_pd(_mm_movehl_ps(r, r)), _mm_cvtps_pd(_mm_movehl_ps(m, m))));
    _mm_storeu_ps(re + k, _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi)));
  }
#endif
  for (; k < n; ++k) {
    re[k] = static_cast<float>(s * (static_cast<double>(re[k]) + im[k]));
  }
}

void PreciseFFT(int n, std::complex<double>* x, bool inverse) {
  for (int i = 1, j = 0; i < n; ++i) { // bit reversal
    int bit = n >> 1;
    for (; (j & bit) != 0; bit >>= 1) {
      j ^= bit;
    }
    j ^= bit;
    if (i < j) {
      std::swap(x[i], x[j]);
    }
  }
  const double turn = inverse ? 2.0 : -2.0;
  for (int length = 2; length <= n; length *= 2) {
    const int half = length / 2;
    for (int k = 0; k < half; ++k) {
      const std::complex<double> w =
          std::polar(1.0, turn * Pi * static_cast<double>(k) / static_cast<double>(length));
      for (int i = k; i < n; i += length) {
        const std::complex<double> u = x[i];
        const std::complex<double> v = x[i + half] * w;
        x[i] = u + v;
        x[i + half] = u - v;
      }
    }
  }
}

double DbToAmplitude(double db) {
  return std::exp(db * 2.302585092994046 * 0.05);
}

double AmplitudeToDb(double amplitude) {
  if (amplitude == 0.0) {
    return MinusInfinityDb;
  }
  return 20.0 * std::log10(amplitude);
}

double RoundHalfUp(double x) {
  const double f = std::floor(x);
  if (x - f >= 0.5) {
    return std::ceil(x);
  }
  return f;
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/Reverberation.h"

#include "filters/Transforms.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>

#include "filters/Simd.h"

constexpr TParameterDescription DryLevelDescription{.Name = "DryLevel",
                                                    .Storage = TStorage::Double,
                                                    .Maximum = Unbounded,
                                                    .Default = 1.0,
                                                    .Bar = TTrackScale::None,
                                                    .Caption = "Амплитуда исходного сигнала:",
                                                    .Summary = "linear amplitude of the dry signal"};

constexpr TParameterDescription EarlyLevelDescription{
    .Name = "EarlyLevel",
    .Storage = TStorage::Double,
    .Maximum = Unbounded,
    .Default = 1.0,
    .Bar = TTrackScale::None,
    .Caption = "Амплитуда ранних отражений:",
    .Summary = "linear amplitude of the early reflections: held and saved, not applied"};

// DbToAmplitude(-20), to the last bit.
constexpr TParameterDescription ReverbLevelDescription{.Name = "ReverbLevel",
                                                       .Storage = TStorage::Double,
                                                       .Maximum = Unbounded,
                                                       .Default = 0x1.9999999999995p-4,
                                                       .Bar = TTrackScale::None,
                                                       .Caption = "Амплитуда хвоста реверберации:",
                                                       .Summary = "linear amplitude of the tail"};

constexpr TParameterDescription ReverbTimeDescription{
    .Name = "ReverbTime",
    .Unit = TUnit::Milliseconds,
    .Minimum = 10,
    .Maximum = 10000,
    .Default = 500,
    .Caption = "Время реверберации (мс):",
    .RangeMessage = "Время реверберации должно быть в пределах от %1 до %2 мс.",
    .EmptyMessage = "Введите время реверберации",
    .Summary = "time in which the tail falls by 60 dB"};

constexpr TParameterDescription DelayLinesDescription{.Name = "DelayLines",
                                                      .Minimum = 1,
                                                      .Maximum = TReverberation::MaxLines,
                                                      .Default = 12,
                                                      .Caption = "Количество линий задержки:",
                                                      .Summary = "number of feedback delay lines"};

namespace {

// Truncation toward zero into a 32-bit integer, as the vector paths do it: a sum outside the
// integer range (or not a number) becomes -2^31 rather than undefined behaviour.
inline double TruncateToInt32(double v) {
  const double t = std::trunc(v);
  return t >= -2147483648.0 && t <= 2147483647.0 ? t : -2147483648.0;
}

constexpr double Ln10 = 2.302585092994046;

// The parameters in registration order, the order of their bytes in a settings record.
constexpr std::array<const TParameterDescription*, 5> ParameterTable{
    &DryLevelDescription, &EarlyLevelDescription, &ReverbLevelDescription, &ReverbTimeDescription,
    &DelayLinesDescription};

// The 303 primes from 2 to 1999.
constexpr std::array<int32_t, 303> Primes = {
    2,    3,    5,    7,    11,   13,   17,   19,   23,   29,   31,   37,   41,   43,   47,   53,   59,
    61,   67,   71,   73,   79,   83,   89,   97,   101,  103,  107,  109,  113,  127,  131,  137,  139,
    149,  151,  157,  163,  167,  173,  179,  181,  191,  193,  197,  199,  211,  223,  227,  229,  233,
    239,  241,  251,  257,  263,  269,  271,  277,  281,  283,  293,  307,  311,  313,  317,  331,  337,
    347,  349,  353,  359,  367,  373,  379,  383,  389,  397,  401,  409,  419,  421,  431,  433,  439,
    443,  449,  457,  461,  463,  467,  479,  487,  491,  499,  503,  509,  521,  523,  541,  547,  557,
    563,  569,  571,  577,  587,  593,  599,  601,  607,  613,  617,  619,  631,  641,  643,  647,  653,
    659,  661,  673,  677,  683,  691,  701,  709,  719,  727,  733,  739,  743,  751,  757,  761,  769,
    773,  787,  797,  809,  811,  821,  823,  827,  829,  839,  853,  857,  859,  863,  877,  881,  883,
    887,  907,  911,  919,  929,  937,  941,  947,  953,  967,  971,  977,  983,  991,  997,  1009, 1013,
    1019, 1021, 1031, 1033, 1039, 1049, 1051, 1061, 1063, 1069, 1087, 1091, 1093, 1097, 1103, 1109, 1117,
    1123, 1129, 1151, 1153, 1163, 1171, 1181, 1187, 1193, 1201, 1213, 1217, 1223, 1229, 1231, 1237, 1249,
    1259, 1277, 1279, 1283, 1289, 1291, 1297, 1301, 1303, 1307, 1319, 1321, 1327, 1361, 1367, 1373, 1381,
    1399, 1409, 1423, 1427, 1429, 1433, 1439, 1447, 1451, 1453, 1459, 1471, 1481, 1483, 1487, 1489, 1493,
    1499, 1511, 1523, 1531, 1543, 1549, 1553, 1559, 1567, 1571, 1579, 1583, 1597, 1601, 1607, 1609, 1613,
    1619, 1621, 1627, 1637, 1657, 1663, 1667, 1669, 1693, 1697, 1699, 1709, 1721, 1723, 1733, 1741, 1747,
    1753, 1759, 1777, 1783, 1787, 1789, 1801, 1811, 1823, 1831, 1847, 1861, 1867, 1871, 1873, 1877, 1879,
    1889, 1901, 1907, 1913, 1931, 1933, 1949, 1951, 1973, 1979, 1987, 1993, 1997, 1999};

// Samples per pass of the line bank: the comb outputs of one pass, line after line, fit in a
// fixed scratch buffer.
constexpr int32_t ChunkFrames = 256;

#if defined(__SSE2__)
// Truncation toward zero to a 32-bit integer, held in a double; two samples at a time.
inline __m128d Truncate(__m128d v) {
  return _mm_cvtepi32_pd(_mm_cvttpd_epi32(v));
}
#endif

#if defined(SONOLAB_X86_WIDE_PATHS)
// The comb run of Process sixteen samples at a time (the slots read lie hundreds of slots behind the
// slots written); returns how many samples it did, a multiple of 16.
__attribute__((target("avx512f"), optimize("fp-contract=off"))) int32_t
CombRunAvx512(float* write, const float* read, float* y, const float* x, float g, int32_t run) {
  const __m512 gain = _mm512_set1_ps(g);
  int32_t i = 0;
  for (; i + 15 < run; i += 16) {
    const __m512 out = _mm512_mul_ps(gain, _mm512_loadu_ps(read + i));
    _mm512_storeu_ps(y + i, out);
    _mm512_storeu_ps(write + i, _mm512_add_ps(_mm512_loadu_ps(x + i), out));
  }
  return i;
}

// The tail of Process for the whole groups of eight samples of a pass: the same double sums, the same
// truncation to a 32-bit integer after every line, and the same dry and wet mix; returns the samples
// done.
__attribute__((target("avx512f"), optimize("fp-contract=off"))) int32_t
TailAvx512(float* x, const float* outputs, int32_t lines, int32_t frames, double dry, double wet) {
  const __m512d dryLevel = _mm512_set1_pd(dry);
  const __m512d wetLevel = _mm512_set1_pd(wet);
  int32_t n = 0;
  for (; n + 7 < frames; n += 8) {
    __m512d acc = _mm512_setzero_pd();
    for (int k = 0; k < lines; ++k) {
      const __m512d v = _mm512_cvtps_pd(_mm256_loadu_ps(outputs + static_cast<size_t>(k) * ChunkFrames + n));
      acc = _mm512_cvtepi32_pd(
          _mm512_cvttpd_epi32((k & 1) == 0 ? _mm512_add_pd(acc, v) : _mm512_sub_pd(acc, v)));
    }
    const __m512d dryPart = _mm512_mul_pd(_mm512_cvtps_pd(_mm256_loadu_ps(x + n)), dryLevel);
    _mm256_storeu_ps(x + n, _mm512_cvtpd_ps(_mm512_add_pd(dryPart, _mm512_mul_pd(acc, wetLevel))));
  }
  return n;
}
#endif

} // namespace

int32_t NextPrimeAfter(int32_t a) {
  size_t i = 0;
  while (i + 1 < Primes.size() && Primes[i] < a) {
    ++i;
  }
  return Primes[std::min(i + 1, Primes.size() - 1)];
}

constinit const TFilterDescriptor ReverberationDescriptor{.Type = 11,
                                                          .Name = "Эффект \"Реверберация\"",
                                                          .ShortName = "реверберация",
                                                          .EnglishName = "reverberation",
                                                          .Caption = "Параметры эффекта \"Реверберация\"",
                                                          .Dialog = TDialogKind::Reverberation,
                                                          .Parameters = ParameterTable,
                                                          .Create = MakeFilter<TReverberation>};

TReverberation::TReverberation(int32_t sampleRate) : TFilter(sampleRate) {
  ReverbTime = 500;
  DelayLines = 12;
  baseLength = 500;
  DryLevel = DbToAmplitude(0);
  ReverbLevel = DbToAmplitude(-20);
  EarlyLevel = DbToAmplitude(0);
  for (auto& outputs : lineOutput) {
    outputs.assign(static_cast<size_t>(MaxLines) * ChunkFrames, 0.0f);
  }
  Update();
  Describe(ReverberationDescriptor, {&DryLevel, &EarlyLevel, &ReverbLevel, &ReverbTime, &DelayLines});
}

void TReverberation::Update() {
  const std::lock_guard guard(Lock());
  SetStateLength(MaxLines * LineCapacity);
  TBank bank;
  bank.lines = std::clamp(DelayLines, 1, MaxLines);
  bank.length[0] = baseLength;
  const int32_t step = baseLength / bank.lines;
  int32_t a = baseLength;
  for (int k = 1; k < bank.lines; ++k) {
    bank.length[k] = NextPrimeAfter(a);
    a += step;
  }
  const double fs = SampleRate();
  for (int k = 0; k < bank.lines; ++k) {
    bank.gain[k] = static_cast<float>(std::exp(Ln10 * -3.0 * bank.length[k] / fs / (ReverbTime * 0.001)));
  }
  bank.dry = DryLevel;
  bank.wet = ReverbLevel;
  if (designs.Empty() || !(designs.Latest() == bank)) {
    designs.Publish(std::make_unique<TBank>(bank));
  }
}

void TReverberation::ClearState() {
  const std::lock_guard guard(Lock());
  TStateBuffers replaced = SilentState(StateLength());
  {
    const std::lock_guard handOver(StateLock());
    ExchangeState(replaced);
    running = {false, false};
  }
}

void TReverberation::Glide(float* x, int32_t frames, int channel, const TBank& from, const TBank& to) {
  constexpr int32_t mask = LineCapacity - 1;
  float* const state = ChannelState(channel);
  std::array<int32_t, MaxLines>& pos = position[channel];
  const int32_t lines = std::max(from.lines, to.lines);
  const double step = 1.0 / frames;
  for (int32_t n = 0; n < frames; ++n) {
    const double w = (n + 1) * step;
    double acc = 0.0;
    for (int k = 0; k < lines; ++k) {
      float* const line = state + static_cast<size_t>(k) * LineCapacity;
      const int32_t p = pos[k];
      // A line out of use on one side contributes nothing there.
      const double old =
          k < from.lines ? static_cast<double>(from.gain[k]) * line[(p - from.length[k] + 1) & mask] : 0.0;
      const double now =
          k < to.lines ? static_cast<double>(to.gain[k]) * line[(p - to.length[k] + 1) & mask] : 0.0;
      const auto y = static_cast<float>((1.0 - w) * old + w * now);
      line[p] = x[n] + y;
      pos[k] = (p + 1) & mask;
      acc = TruncateToInt32((k & 1) == 0 ? acc + y : acc - y);
    }
    const double dry = from.dry + (to.dry - from.dry) * w;
    const double wet = from.wet + (to.wet - from.wet) * w;
    x[n] = static_cast<float>(x[n] * dry + acc * wet);
  }
  // Lines taken out start from silence when they come back.
  for (int k = to.lines; k < from.lines; ++k) {
    std::fill(state + static_cast<size_t>(k) * LineCapacity,
              state + static_cast<size_t>(k + 1) * LineCapacity, 0.0f);
    pos[k] = 0;
  }
}

void TReverberation::Process(ChannelBlock& block, int channel) {
  const TBank& target = designs.Take(channel);
  if (!running[channel]) {
    applied[channel] = target;
    running[channel] = true;
  }
  if (!(applied[channel] == target)) {
    if (block.Frames > 0) {
      Glide(block.Samples, block.Frames, channel, applied[channel], target);
      applied[channel] = target;
    }
    return;
  }
  const TBank& bank = target;
  const int32_t lines = bank.lines;
  constexpr int32_t mask = LineCapacity - 1;
  float* const state = ChannelState(channel);
  std::array<int32_t, MaxLines>& pos = position[channel];
  const double dry = bank.dry;
  const double wet = bank.wet;
#if defined(SONOLAB_X86_WIDE_PATHS)
  const bool avx512 = HasAvx512();
#endif
  for (int32_t first = 0; first < block.Frames; first += ChunkFrames) {
    const int32_t frames = std::min(ChunkFrames, block.Frames - first);
    float* const x = block.Samples + first;

    // The combs, line by line: y = g * w[n - (L - 1)], w[n] = x[n] + y. Float products and sums
    // rounded once, as the comb equations state.
    for (int k = 0; k < lines; ++k) {
      float* const line = state + static_cast<size_t>(k) * LineCapacity;
      float* const y = lineOutput[channel].data() + static_cast<size_t>(k) * ChunkFrames;
      const int32_t back = bank.length[k] - 1;
      const float g = bank.gain[k];
      int32_t p = pos[k];
      int32_t n = 0;
      while (n < frames) {
        // A run in which neither the slot written nor the slot read, L - 1 behind it, wraps around.
        const int32_t r = (p - back) & mask;
        const int32_t run = std::min({frames - n, LineCapacity - p, LineCapacity - r});
        int32_t i = 0;
#if defined(SONOLAB_X86_WIDE_PATHS)
        if (avx512) {
          i = CombRunAvx512(line + p, line + r, y + n, x + n, g, run);
        }
#endif
#if defined(__SSE2__)
        const __m128 gain = _mm_set1_ps(g);
        for (; i + 3 < run; i += 4) {
          const __m128 out = _mm_mul_ps(gain, _mm_loadu_ps(line + r + i));
          _mm_storeu_ps(y + n + i, out);
          _mm_storeu_ps(line + p + i, _mm_add_ps(_mm_loadu_ps(x + n + i), out));
        }
#endif
        for (; i < run; ++i) {
          y[n + i] = g * line[r + i];
          line[p + i] = x[n + i] + y[n + i];
        }
        n += run;
        p = (p + run) & mask;
      }
      pos[k] = p;
    }

    // The tail: + y0 - y1 + y2 ... on every sample, truncated toward zero after every line, in
    // line order. Adding -y and subtracting y give the same double, so the sign is a sub.
    const float* const outputs = lineOutput[channel].data();
    int32_t n = 0;
#if defined(SONOLAB_X86_WIDE_PATHS)
    if (avx512) {
      n = TailAvx512(x, outputs, lines, frames, dry, wet);
    }
#endif
#if defined(__SSE2__)
    for (; n + 7 < frames; n += 8) {
      __m128d acc[4] = {_mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd()};
      for (int k = 0; k < lines; ++k) {
        const float* const y = outputs + static_cast<size_t>(k) * ChunkFrames + n;
        const __m128 y0 = _mm_loadu_ps(y);
        const __m128 y1 = _mm_loadu_ps(y + 4);
        const __m128d v[4] = {_mm_cvtps_pd(y0), _mm_cvtps_pd(_mm_movehl_ps(y0, y0)), _mm_cvtps_pd(y1),
                              _mm_cvtps_pd(_mm_movehl_ps(y1, y1))};
        for (int q = 0; q < 4; ++q) {
          acc[q] = Truncate((k & 1) == 0 ? _mm_add_pd(acc[q], v[q]) : _mm_sub_pd(acc[q], v[q]));
        }
      }
      double sums[8];
      for (int q = 0; q < 4; ++q) {
        _mm_storeu_pd(sums + 2 * q, acc[q]);
      }
      for (int i = 0; i < 8; ++i) {
        x[n + i] = static_cast<float>(x[n + i] * dry + sums[i] * wet);
      }
    }
#endif
    for (; n < frames; ++n) {
      double acc = 0.0;
      for (int k = 0; k < lines; ++k) {
        const double y = outputs[static_cast<size_t>(k) * ChunkFrames + n];
        acc = TruncateToInt32((k & 1) == 0 ? acc + y : acc - y);
      }
      x[n] = static_cast<float>(x[n] * dry + acc * wet);
    }
  }
}

#include "filters/Echo.h"

#include <algorithm>
#include <cmath>
#include <mutex>

#include "filters/Simd.h"

namespace {

constexpr double Ln10 = 2.302585092994046;

constexpr TParameterDescription DelayDescription{
    .Name = "Delay",
    .Unit = TUnit::Milliseconds,
    .Minimum = 1,
    .Maximum = 1000,
    .Default = 100,
    .Caption = "Задержка между эхосигналами (мс):",
    .RangeMessage = "Задержка между эхосигналами должна быть в пределах от %1 до %2 мс.",
    .EmptyMessage = "Введите время задержки в миллисекундах",
    .Summary = "spacing of the echoes"};

constexpr TParameterDescription DecayTimeDescription{
    .Name = "DecayTime",
    .Unit = TUnit::Milliseconds,
    .Minimum = 10,
    .Maximum = 10000,
    .Default = 1000,
    .Caption = "Время затухания (мс):",
    .RangeMessage = "Время затухания должно быть в пределах от %1 до %2 мс.",
    .EmptyMessage = "Введите время затухания в миллисекундах",
    .Summary = "time in which the echoes fall by 60 dB"};

#if defined(SONOLAB_X86_WIDE_PATHS)
// Up to `run` samples of Process without wrap-around, eight at a time: the same double sum and float
// rounding; slots p + 1 + i are read before the overlapping slots p + i are written, as one sample after
// another would do. Returns the samples done, a multiple of 8.
__attribute__((target("avx512f"), optimize("fp-contract=off"))) int32_t RunAvx512(float* line, float* x,
                                                                                  double g, int32_t run) {
  const __m512d gain = _mm512_set1_pd(g);
  int32_t i = 0;
  for (; i + 7 < run; i += 8) {
    const __m512d echo = _mm512_mul_pd(gain, _mm512_cvtps_pd(_mm256_loadu_ps(line + 1 + i)));
    const __m256 y = _mm512_cvtpd_ps(_mm512_add_pd(_mm512_cvtps_pd(_mm256_loadu_ps(x + i)), echo));
    _mm256_storeu_ps(x + i, y);
    _mm256_storeu_ps(line + i, y);
  }
  return i;
}
#endif

} // namespace

TEcho::TEcho(int32_t sampleRate) : TFilter(sampleRate) {
  type = 9;
  Delay = 100;
  DecayTime = 1000;
  Update();
  AddParameter(&Delay, DelayDescription);
  AddParameter(&DecayTime, DecayTimeDescription);
}

int32_t TEcho::DelayLength() const {
  const auto length = static_cast<int32_t>(Delay * 0.001 * SampleRate());
  // A rate below 1000 Hz can make a 1 ms delay shorter than one sample; the line keeps one slot.
  return length < 1 ? 1 : length;
}

float TEcho::EchoGain() const {
  return static_cast<float>(std::exp(Ln10 * -3.0 * (Delay * 0.001) / (DecayTime * 0.001)));
}

void TEcho::Update() {
  SetStateLength(DelayLength());
  const std::lock_guard guard(Lock());
  position[0] = 0;
  position[1] = 0;
}

void TEcho::Process(ChannelBlock& block, int channel) {
  // The line length Update sized for the current Delay.
  const int32_t length = StateLength();
  if (length < 1) {
    return;
  }
  const double g = EchoGain();
  float* const line = ChannelState(channel);
  float* const x = block.Samples;
  int32_t p = position[channel];
#if defined(SONOLAB_X86_WIDE_PATHS)
  const bool avx512 = HasAvx512();
#endif
  int32_t n = 0;
  while (n < block.Frames) {
#if defined(SONOLAB_X86_WIDE_PATHS)
    if (avx512) {
      // A run without wrap-around, up to the last slot.
      const int32_t done = RunAvx512(line + p, x + n, g, std::min(block.Frames - n, length - 1 - p));
      n += done;
      p += done;
      if (n == block.Frames) {
        break;
      }
    }
#endif
    // Slot p + 1 was written L - 1 samples ago.
    const int32_t r = p + 1 == length ? 0 : p + 1;
    x[n] = static_cast<float>(x[n] + g * line[r]);
    line[p] = x[n];
    p = r;
    ++n;
  }
  position[channel] = p;
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/Echo.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>

#include "filters/Simd.h"

constexpr TParameterDescription EchoDelayDescription{
    .Name = "Delay",
    .Unit = TUnit::Milliseconds,
    .Minimum = 1,
    .Maximum = 1000,
    .Default = 100,
    .Caption = "Задержка между эхосигналами (мс):",
    .RangeMessage = "Задержка между эхосигналами должна быть в пределах от %1 до %2 мс.",
    .EmptyMessage = "Введите время задержки в миллисекундах",
    .Summary = "spacing of the echoes"};

constexpr TParameterDescription EchoDecayTimeDescription{
    .Name = "DecayTime",
    .Unit = TUnit::Milliseconds,
    .Minimum = 10,
    .Maximum = 10000,
    .Default = 1000,
    .Caption = "Время затухания (мс):",
    .RangeMessage = "Время затухания должно быть в пределах от %1 до %2 мс.",
    .EmptyMessage = "Введите время затухания в миллисекундах",
    .Summary = "time in which the echoes fall by 60 dB"};

namespace {

constexpr double Ln10 = 2.302585092994046;

// The parameters in registration order, the order of their bytes in a settings record.
constexpr std::array<const TParameterDescription*, 2> ParameterTable{&EchoDelayDescription,
                                                                     &EchoDecayTimeDescription};

#if defined(SONOLAB_X86_WIDE_PATHS)
// Up to `run` samples of Process without wrap-around, eight at a time: the same double sum and float
// rounding. The slots read lie at least eight behind the slots written, so every one of them holds
// its final value. Returns the samples done, a multiple of 8.
__attribute__((target("avx512f"), optimize("fp-contract=off"))) int32_t
RunAvx512(float* write, const float* read, float* x, double g, int32_t run) {
  const __m512d gain = _mm512_set1_pd(g);
  int32_t i = 0;
  for (; i + 7 < run; i += 8) {
    const __m512d echo = _mm512_mul_pd(gain, _mm512_cvtps_pd(_mm256_loadu_ps(read + i)));
    const __m256 y = _mm512_cvtpd_ps(_mm512_add_pd(_mm512_cvtps_pd(_mm256_loadu_ps(x + i)), echo));
    _mm256_storeu_ps(x + i, y);
    _mm256_storeu_ps(write + i, y);
  }
  return i;
}
#endif

} // namespace

constinit const TFilterDescriptor EchoDescriptor{.Type = 9,
                                                 .Name = "Эффект \"Эхо\"",
                                                 .ShortName = "эхо",
                                                 .EnglishName = "echo",
                                                 .Caption = "Параметры эффекта \"Эхо\"",
                                                 .Dialog = TDialogKind::Echo,
                                                 .Parameters = ParameterTable,
                                                 .Create = MakeFilter<TEcho>};

TEcho::TEcho(int32_t sampleRate) : TFilter(sampleRate) {
  Delay = 100;
  DecayTime = 1000;
  Update();
  Describe(EchoDescriptor, {&Delay, &DecayTime});
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
  const std::lock_guard guard(Lock());
  const int32_t length = DelayLength();
  // Long enough for the longest delay the dialog offers, so that moving the delay keeps the line.
  const int32_t longest = std::max(length, static_cast<int32_t>(1000 * 0.001 * SampleRate()));
  // Slot p - (L - 1) was written L - 1 samples ago; a one-slot line repeats the previous sample.
  const TTap tap{std::max(length - 1, 1), EchoGain()};
  if (longest > StateLength()) {
    TStateBuffers replaced = SilentState(longest);
    const std::lock_guard handOver(StateLock());
    // Silent lines from their first slot, with nothing to glide from.
    ExchangeState(replaced);
    position[0] = 0;
    position[1] = 0;
    running[0] = false;
    running[1] = false;
  }
  if (designs.Empty() || !(designs.Latest() == tap)) {
    designs.Publish(std::make_unique<TTap>(tap));
  }
}

void TEcho::ClearState() {
  const std::lock_guard guard(Lock());
  TStateBuffers replaced = SilentState(StateLength());
  {
    const std::lock_guard handOver(StateLock());
    ExchangeState(replaced);
    running[0] = false;
    running[1] = false;
  }
}

void TEcho::Process(ChannelBlock& block, int channel) {
  const int32_t size = StateLength();
  if (size < 1) {
    return;
  }
  float* const line = ChannelState(channel);
  float* const x = block.Samples;
  int32_t p = position[channel];
  const TTap& to = designs.Take(channel);
  if (!running[channel]) {
    applied[channel] = to;
    running[channel] = true;
  }
  const TTap from = applied[channel];
  if (!(from == to) && block.Frames > 0) {
    // The glide: both taps read over the old output, weighted from the old echo to the new one.
    const double step = 1.0 / block.Frames;
    for (int32_t n = 0; n < block.Frames; ++n) {
      const double w = (n + 1) * step;
      const float old = line[(p - from.distance + size) % size];
      const float now = line[(p - to.distance + size) % size];
      x[n] = static_cast<float>(x[n] + (1.0 - w) * from.gain * old + w * to.gain * now);
      line[p] = x[n];
      p = p + 1 == size ? 0 : p + 1;
    }
    position[channel] = p;
    applied[channel] = to;
    return;
  }

  const double g = to.gain;
  const int32_t distance = to.distance;
#if defined(SONOLAB_X86_WIDE_PATHS)
  const bool avx512 = HasAvx512() && distance >= 8;
#endif
  int32_t n = 0;
  while (n < block.Frames) {
    int32_t r = p - distance;
    if (r < 0) {
      r += size;
    }
#if defined(SONOLAB_X86_WIDE_PATHS)
    if (avx512) {
      // A run in which neither the written nor the read slot wraps around.
      const int32_t run = std::min({block.Frames - n, size - p, size - r});
      const int32_t done = RunAvx512(line + p, line + r, x + n, g, run);
      n += done;
      p += done;
      r += done;
      if (p == size) {
        p = 0;
      }
      if (n == block.Frames) {
        break;
      }
      if (r == size) {
        r = 0;
      }
    }
#endif
    x[n] = static_cast<float>(x[n] + g * line[r]);
    line[p] = x[n];
    p = p + 1 == size ? 0 : p + 1;
    ++n;
  }
  position[channel] = p;
}

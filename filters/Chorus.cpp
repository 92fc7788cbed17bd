// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/Chorus.h"

#include "filters/Interpolation.h"
#include "filters/Transforms.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>

#include "filters/Simd.h"

namespace {

constexpr TParameterDescription VoicesDescription{.Name = "Voices",
                                                  .Minimum = 1,
                                                  .Maximum = TChorus::MaxVoices,
                                                  .Default = 3,
                                                  .Caption = "Число голосов:",
                                                  .RangeMessage =
                                                      "Число голосов должно быть в пределах от %1 до %2",
                                                  .Summary = "number of delayed copies"};

constexpr TParameterDescription DelayDescription{.Name = "Delay",
                                                 .Storage = TStorage::Double,
                                                 .Unit = TUnit::Milliseconds,
                                                 .Minimum = 1,
                                                 .Maximum = TChorus::MaxDelayMs,
                                                 .Default = 20,
                                                 .Decimals = 1,
                                                 .Caption = "Задержка (мс):",
                                                 .RangeMessage =
                                                     "Задержка должна быть в пределах от %1 до %2 мс",
                                                 .Summary = "shortest delay of the copies"};

constexpr TParameterDescription DepthDescription{.Name = "Depth",
                                                 .Storage = TStorage::Double,
                                                 .Unit = TUnit::Milliseconds,
                                                 .Maximum = TChorus::MaxDepthMs,
                                                 .Default = 3,
                                                 .Decimals = 1,
                                                 .Caption = "Глубина (мс):",
                                                 .RangeMessage =
                                                     "Глубина должна быть в пределах от %1 до %2 мс",
                                                 .Summary = "how far the sweep lengthens the delay"};

constexpr TParameterDescription RateDescription{.Name = "Rate",
                                                .Storage = TStorage::Double,
                                                .Unit = TUnit::Hertz,
                                                .Minimum = 0.05,
                                                .Maximum = 5,
                                                .Default = 0.8,
                                                .Decimals = 2,
                                                .Bar = TTrackScale::Logarithmic,
                                                .Caption = "Частота модуляции (Гц):",
                                                .RangeMessage =
                                                    "Частота модуляции должна быть в пределах от %1 до %2 Гц",
                                                .Summary = "rate of the sweep"};

constexpr TParameterDescription MixDescription{.Name = "Mix",
                                               .Storage = TStorage::Double,
                                               .Unit = TUnit::Percent,
                                               .Maximum = 100,
                                               .Default = 50,
                                               .Decimals = 1,
                                               .Caption = "Доля эффекта (%):",
                                               .RangeMessage =
                                                   "Доля эффекта должна быть в пределах от %1 до %2 %",
                                               .Summary = "share of the delayed copies in the output"};

// The parameters in registration order, the order of their bytes in a settings record.
constexpr std::array<const TParameterDescription*, 5> ParameterTable{
    &VoicesDescription, &DelayDescription, &DepthDescription, &RateDescription, &MixDescription};

constexpr double GoldenTurn = 0.6180339887498949;
constexpr int32_t SweepStep = 32; // samples between exact points of the sweep
constexpr double MaxSlew = 0.05;  // delay change per sample while a new delay is reached

// Slots past the end of the line that repeat its first ones, so that four neighbours are always
// consecutive.
constexpr int32_t Guard = 8;

// The line between slots i and i + 1 (t from 0 to 1); the guard makes slots i - 1 .. i + 2 consecutive.
inline float Hermite(const float* line, int32_t mask, int32_t i, float t) {
  const float* const p = line + ((i - 1) & mask);
  return CubicBetween(p[0], p[1], p[2], p[3], t);
}

// Where the sweep of a voice is, 0..1, at a phase of the channel's sweep.
double Sweep(double phase, int voice) {
  return (1.0 - std::cos(2.0 * Pi * (phase + GoldenTurn * voice))) * 0.5;
}

} // namespace

constinit const TFilterDescriptor ChorusDescriptor{.Type = 10,
                                                   .Name = "Эффект \"Хор\"",
                                                   .ShortName = "хор",
                                                   .EnglishName = "chorus",
                                                   .Caption = "Параметры эффекта \"Хор\"",
                                                   .Dialog = TDialogKind::Described,
                                                   .Parameters = ParameterTable,
                                                   .Create = MakeFilter<TChorus>};

TChorus::TChorus(int32_t sampleRate) : TFilter(sampleRate) {
  Voices = static_cast<int32_t>(VoicesDescription.Default);
  Delay = DelayDescription.Default;
  Depth = DepthDescription.Default;
  Rate = RateDescription.Default;
  Mix = MixDescription.Default;
  int32_t length = 4;
  while (length < (MaxDelayMs + MaxDepthMs) * 0.001 * sampleRate + 4) {
    length *= 2;
  }
  SetStateLength(length + Guard);
  mask = length - 1;
  Update();
  Describe(ChorusDescriptor, {&Voices, &Delay, &Depth, &Rate, &Mix});
}

void TChorus::Retarget(TChannel& c, bool playing, const TDesign& design) {
  const int32_t ramp = RampFrames(SampleRate());
  const auto glide = [&](TRamp& r, double target) {
    const auto frames = static_cast<int32_t>(std::abs(target - r.Value()) / MaxSlew);
    r.Follow(target, playing, std::max(ramp, frames));
  };
  glide(c.DelaySamples, design.DelaySamples);
  glide(c.DepthSamples, design.DepthSamples);
  c.Wet.Follow(design.Wet, playing, ramp);
  c.Rate = design.Rate;
  const int32_t voices = design.Voices;
  for (int v = 0; v < MaxVoices; ++v) {
    c.Share[static_cast<size_t>(v)].Follow(v < voices ? 1.0 / voices : 0.0, playing, ramp);
  }
  if (!playing) {
    Settle(c);
  }
}

void TChorus::Settle(TChannel& c) {
  c.StretchLeft = 0;
  c.DryEnd = 1.0 - c.Wet.Value();
  for (int v = 0; v < MaxVoices; ++v) {
    TVoice& voice = c.Voices[static_cast<size_t>(v)];
    voice.DelayEnd = c.DelaySamples.Value() + c.DepthSamples.Value() * Sweep(c.Phase, v);
    voice.GainEnd = c.Share[static_cast<size_t>(v)].Value() * c.Wet.Value();
  }
}

void TChorus::NextStretch(TChannel& c) {
  c.Phase += c.Rate / SampleRate() * SweepStep;
  c.Phase -= std::floor(c.Phase);
  const double delay = c.DelaySamples.Advance(SweepStep);
  const double depth = c.DepthSamples.Advance(SweepStep);
  const double wet = c.Wet.Advance(SweepStep);
  c.Dry = c.DryEnd;
  c.DryEnd = 1.0 - wet;
  c.DryStep = (c.DryEnd - c.Dry) / SweepStep;
  for (int v = 0; v < MaxVoices; ++v) {
    TVoice& voice = c.Voices[static_cast<size_t>(v)];
    voice.Delay = voice.DelayEnd;
    voice.DelayEnd = delay + depth * Sweep(c.Phase, v);
    voice.DelayStep = (voice.DelayEnd - voice.Delay) / SweepStep;
    voice.Gain = voice.GainEnd;
    voice.GainEnd = c.Share[static_cast<size_t>(v)].Advance(SweepStep) * wet;
    voice.GainStep = (voice.GainEnd - voice.Gain) / SweepStep;
  }
  c.StretchLeft = SweepStep;
}

void TChorus::ClearState() {
  const std::lock_guard guard(Lock());
  TStateBuffers replaced = SilentState(StateLength());
  {
    const std::lock_guard handOver(StateLock());
    ExchangeState(replaced);
    for (int ch = 0; ch < 2; ++ch) {
      TChannel& c = channels[static_cast<size_t>(ch)];
      c.Playing = false;
      c.Position = 0;
      c.Phase = ch * 0.25;
      c.Design = nullptr; // the next block takes the design as it is, without a glide
    }
  }
}

void TChorus::Update() {
  const std::lock_guard guard(Lock());
  const double msToSamples = 0.001 * SampleRate();
  designs.Publish(
      std::make_unique<TDesign>(TDesign{Rate, std::max(Delay * msToSamples, 2.0), Depth * msToSamples,
                                        Mix / 100.0, std::clamp(Voices, 1, MaxVoices)}));
}

void TChorus::Process(ChannelBlock& block, int channel) {
  TChannel& c = channels[static_cast<size_t>(channel)];
  if (const TDesign& design = designs.Take(channel); &design != c.Design) {
    Retarget(c, c.Playing, design);
    c.Design = &design;
  }
  c.Playing = true;
  float* const line = ChannelState(channel);
  int32_t done = 0;
  while (done < block.Frames) {
    if (c.StretchLeft == 0) {
      NextStretch(c);
    }
    const int32_t frames = std::min(c.StretchLeft, block.Frames - done);
    float* const x = block.Samples + done;
    const int32_t start = c.Position;
    // Samples of the stretch already done: sample m of the stretch has delay Delay + (m + 1) DelayStep
    // and gain Gain + (m + 1) GainStep, however the stretch is split between blocks.
    const int32_t into = SweepStep - c.StretchLeft;
    // A whole line ahead keeps every read position positive, so truncation is the floor.
    const double ahead = static_cast<double>(start) + mask + 1;
    std::array<float, SweepStep> wet{};
    for (int32_t n = 0; n < frames; ++n) {
      const int32_t slot = (start + n) & mask;
      line[slot] = x[n];
      if (slot < Guard) {
        line[mask + 1 + slot] = x[n];
      }
    }
    for (const TVoice& voice : c.Voices) {
      if (voice.Gain == 0.0 && voice.GainEnd == 0.0) {
        continue;
      }
      int32_t n = 0;
#if defined(__SSE2__)
      // Four samples at once where their reads fall on four consecutive slots (the delay moves by far
      // less than a sample per sample): the same arithmetic as one sample at a time.
      const __m128d delay0 = _mm_set1_pd(voice.Delay), delayStep = _mm_set1_pd(voice.DelayStep);
      const __m128d gain0 = _mm_set1_pd(voice.Gain), gainStep = _mm_set1_pd(voice.GainStep);
      const __m128d aheadV = _mm_set1_pd(ahead);
      for (; n + 4 <= frames; n += 4) {
        __m128 t = _mm_setzero_ps(), g = _mm_setzero_ps();
        __m128i whole = _mm_setzero_si128();
        for (int half = 0; half < 2; ++half) {
          const double at = n + 2 * half;
          const __m128d index = _mm_set_pd(at + 1, at);
          const __m128d step = _mm_set_pd(into + at + 2, into + at + 1);
          const __m128d read =
              _mm_sub_pd(_mm_add_pd(aheadV, index), _mm_add_pd(delay0, _mm_mul_pd(step, delayStep)));
          const __m128i i = _mm_cvttpd_epi32(read);
          const __m128 frac = _mm_cvtpd_ps(_mm_sub_pd(read, _mm_cvtepi32_pd(i)));
          const __m128 gv = _mm_cvtpd_ps(_mm_add_pd(gain0, _mm_mul_pd(step, gainStep)));
          if (half == 0) {
            t = frac, g = gv, whole = i;
          } else {
            t = _mm_movelh_ps(t, frac), g = _mm_movelh_ps(g, gv), whole = _mm_unpacklo_epi64(whole, i);
          }
        }
        alignas(16) int32_t w[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(w), whole);
        if (w[1] == w[0] + 1 && w[2] == w[0] + 2 && w[3] == w[0] + 3) {
          const float* const p = line + ((w[0] - 1) & mask);
          const __m128 xm1 = _mm_loadu_ps(p), x0 = _mm_loadu_ps(p + 1);
          const __m128 x1 = _mm_loadu_ps(p + 2), x2 = _mm_loadu_ps(p + 3);
          const __m128 c1 = _mm_mul_ps(_mm_set1_ps(0.5f), _mm_sub_ps(x1, xm1));
          const __m128 c2 = _mm_sub_ps(_mm_add_ps(_mm_sub_ps(xm1, _mm_mul_ps(_mm_set1_ps(2.5f), x0)),
                                                  _mm_mul_ps(_mm_set1_ps(2.0f), x1)),
                                       _mm_mul_ps(_mm_set1_ps(0.5f), x2));
          const __m128 c3 = _mm_add_ps(_mm_mul_ps(_mm_set1_ps(0.5f), _mm_sub_ps(x2, xm1)),
                                       _mm_mul_ps(_mm_set1_ps(1.5f), _mm_sub_ps(x0, x1)));
          const __m128 value =
              _mm_add_ps(_mm_mul_ps(_mm_add_ps(_mm_mul_ps(_mm_add_ps(_mm_mul_ps(c3, t), c2), t), c1), t), x0);
          _mm_storeu_ps(wet.data() + n, _mm_add_ps(_mm_loadu_ps(wet.data() + n), _mm_mul_ps(g, value)));
        } else {
          alignas(16) float tk[4], gk[4];
          _mm_store_ps(tk, t);
          _mm_store_ps(gk, g);
          for (int k = 0; k < 4; ++k) {
            wet[static_cast<size_t>(n + k)] += gk[k] * Hermite(line, mask, w[k], tk[k]);
          }
        }
      }
#endif
      for (; n < frames; ++n) {
        const double step = into + n + 1;
        const double read = (ahead + n) - (voice.Delay + step * voice.DelayStep);
        const auto whole = static_cast<int32_t>(read);
        const auto gain = static_cast<float>(voice.Gain + step * voice.GainStep);
        wet[static_cast<size_t>(n)] += gain * Hermite(line, mask, whole, static_cast<float>(read - whole));
      }
    }
    for (int32_t n = 0; n < frames; ++n) {
      const double dry = c.Dry + (into + n + 1) * c.DryStep;
      x[n] = static_cast<float>(x[n] * dry) + wet[static_cast<size_t>(n)];
    }
    c.Position = (start + frames) & mask;
    c.StretchLeft -= frames;
    done += frames;
  }
}

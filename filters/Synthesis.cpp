// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/Synthesis.h"

#include "filters/Interpolation.h"
#include "filters/Transforms.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <mutex>

namespace {

constexpr const char* WaveformChoices[] = {"синус", "меандр", "пила", "треугольник"};
constexpr TParameterDescription WaveformDescription{
    .Name = "Waveform",
    .Set = TValueSet::Choice,
    .Choices = WaveformChoices,
    .Caption = "Форма сигнала:",
    .Summary = "0 sine, 1 square, 2 sawtooth, 3 triangle, each limited to the harmonics below half the rate"};

constexpr TParameterDescription FreqDescription{.Name = "Freq",
                                                .Storage = TStorage::Double,
                                                .Unit = TUnit::Hertz,
                                                .Minimum = 1,
                                                .RateFraction = 0.45,
                                                .Default = 440,
                                                .Decimals = 2,
                                                .Bar = TTrackScale::Logarithmic,
                                                .Caption = "Частота (Гц):",
                                                .RangeMessage =
                                                    "Частота должна быть в пределах от %1 до %2 Гц",
                                                .Summary = "frequency of the oscillator"};

constexpr TParameterDescription LevelDescription{
    .Name = "LevelDb",
    .Storage = TStorage::Double,
    .Unit = TUnit::Decibels,
    .Minimum = -120,
    .Maximum = 0,
    .Default = -20,
    .Decimals = 1,
    .Caption = "Уровень относительно полной шкалы (дБ):",
    .RangeMessage = "Уровень должен быть в пределах от %1 до %2 дБ",
    .Summary = "peak level of the oscillator relative to full scale"};

constexpr TParameterDescription MixDescription{
    .Name = "Mix",
    .Storage = TStorage::Double,
    .Unit = TUnit::Percent,
    .Maximum = 100,
    .Default = 50,
    .Decimals = 1,
    .Caption = "Доля генератора (%):",
    .RangeMessage = "Доля генератора должна быть в пределах от %1 до %2 %",
    .Summary = "share of the oscillator in the output (the input keeps the rest)"};

// The parameters in registration order, the order of their bytes in a settings record.
constexpr std::array<const TParameterDescription*, 4> ParameterTable{&WaveformDescription, &FreqDescription,
                                                                     &LevelDescription, &MixDescription};

constexpr int32_t MinTableLength = 4096;
constexpr int32_t MaxTableLength = 1 << 18;
constexpr int32_t PointsPerHarmonic = 64;

// The sine amplitude of harmonic k of a waveform whose peak is 1.
double HarmonicAmplitude(int32_t waveform, int32_t k) {
  switch (waveform) {
  case 1:
    return k % 2 == 1 ? 4.0 / (Pi * k) : 0.0;
  case 2:
    return (k % 2 == 1 ? 2.0 : -2.0) / (Pi * k);
  case 3:
    return k % 2 == 1 ? (((k - 1) / 2) % 2 == 0 ? 8.0 : -8.0) / (Pi * Pi * k * k) : 0.0;
  default:
    return k == 1 ? 1.0 : 0.0;
  }
}

} // namespace

int32_t TSynthesis::HarmonicsFor(double freq, int32_t sampleRate) {
  // The top of the frequency's sixth of an octave, so that a table serves the whole band.
  const double band = std::exp2(std::ceil(std::log2(freq) * 6.0 - 1e-9) / 6.0);
  return std::max<int32_t>(1, static_cast<int32_t>(std::ceil(sampleRate / 2.0 / band)) - 1);
}

void TSynthesis::Build(TTable& table, int32_t waveform, int32_t harmonics) {
  int32_t length = MinTableLength;
  while (length < MaxTableLength && length < PointsPerHarmonic * static_cast<int64_t>(harmonics)) {
    length *= 2;
  }
  // sin(k t) = (e^(jkt) - e^(-jkt)) / 2j: bins k and n - k.
  std::vector<std::complex<double>> spectrum(static_cast<size_t>(length));
  for (int32_t k = 1; k <= harmonics && k < length / 2; ++k) {
    const double a = HarmonicAmplitude(waveform, k);
    spectrum[static_cast<size_t>(k)] = std::complex<double>(0.0, -a / 2.0);
    spectrum[static_cast<size_t>(length - k)] = std::complex<double>(0.0, a / 2.0);
  }
  PreciseFFT(length, spectrum.data(), true);
  table.Samples.resize(static_cast<size_t>(length));
  for (int32_t i = 0; i < length; ++i) {
    table.Samples[static_cast<size_t>(i)] = static_cast<float>(spectrum[static_cast<size_t>(i)].real());
  }
  table.Waveform = waveform;
  table.Harmonics = harmonics;
}

constinit const TFilterDescriptor SynthesisDescriptor{.Type = 14,
                                                      .Name = "Эффект \"Синтез\"",
                                                      .ShortName = "синтез",
                                                      .EnglishName = "synthesis",
                                                      .Caption = "Параметры эффекта \"Синтез\"",
                                                      .Dialog = TDialogKind::Described,
                                                      .Parameters = ParameterTable,
                                                      .Create = MakeFilter<TSynthesis>};

TSynthesis::TSynthesis(int32_t sampleRate) : TFilter(sampleRate) {
  Waveform = static_cast<int32_t>(WaveformDescription.Default);
  Freq = FreqDescription.Default;
  LevelDb = LevelDescription.Default;
  Mix = MixDescription.Default;
  Update();
  Describe(SynthesisDescriptor, {&Waveform, &Freq, &LevelDb, &Mix});
}

void TSynthesis::ClearState() {
  TFilter::ClearState();
  const std::lock_guard guard(Lock());
  for (TChannel& c : channels) {
    c = TChannel{};
  }
  Update();
}

void TSynthesis::Update() {
  const std::lock_guard guard(Lock());
  const int32_t ramp = RampFrames(SampleRate());
  // A sine needs one harmonic at any frequency.
  const int32_t harmonics = Waveform == 0 ? 1 : HarmonicsFor(Freq, SampleRate());
  const TTable& playing = tables[static_cast<size_t>(current)];
  if (playing.Waveform != Waveform || playing.Harmonics != harmonics) {
    const int next = 1 - current;
    Build(tables[static_cast<size_t>(next)], Waveform, harmonics);
    for (TChannel& c : channels) {
      // The new oscillator starts where the playing one is, and crosses over from it.
      c.Phase[static_cast<size_t>(next)] = c.Phase[static_cast<size_t>(current)];
      c.Fade.Set(c.Playing ? 0.0 : 1.0);
      c.Fade.MoveTo(1.0, ramp);
    }
    current = next;
  }
  // Within its table's band a new frequency is only a new pace: the phase runs on.
  tables[static_cast<size_t>(current)].Freq = Freq;
  for (TChannel& c : channels) {
    c.Level.Follow(DbToAmplitude(LevelDb), c.Playing, ramp);
    c.Wet.Follow(Mix / 100.0, c.Playing, ramp);
  }
}

void TSynthesis::Process(ChannelBlock& block, int channel) {
  TChannel& c = channels[static_cast<size_t>(channel)];
  c.Playing = true;
  const double fullScale = block.Format.wBitsPerSample == 8 ? 128.0 : 32768.0;
  const TTable& now = tables[static_cast<size_t>(current)];
  const TTable& before = tables[static_cast<size_t>(1 - current)];
  const auto nowLength = static_cast<int32_t>(now.Samples.size());
  const double nowStep = now.Freq / SampleRate();
  double& nowPhase = c.Phase[static_cast<size_t>(current)];
  double& beforePhase = c.Phase[static_cast<size_t>(1 - current)];
  float* const x = block.Samples;
  for (int32_t n = 0; n < block.Frames; ++n) {
    double osc = ReadRing(now.Samples.data(), nowLength - 1, nowPhase * nowLength);
    nowPhase += nowStep;
    nowPhase -= nowPhase >= 1.0 ? 1.0 : 0.0;
    if (c.Fade.Moving()) {
      const auto beforeLength = static_cast<int32_t>(before.Samples.size());
      const double w = c.Fade.Next();
      osc =
          w * osc + (1.0 - w) * ReadRing(before.Samples.data(), beforeLength - 1, beforePhase * beforeLength);
      beforePhase += before.Freq / SampleRate();
      beforePhase -= beforePhase >= 1.0 ? 1.0 : 0.0;
    }
    const double wet = c.Wet.Next();
    x[n] = static_cast<float>((1.0 - wet) * x[n] + wet * c.Level.Next() * fullScale * osc);
  }
}

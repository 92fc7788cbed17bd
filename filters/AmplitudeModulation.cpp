// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/AmplitudeModulation.h"

#include "filters/Transforms.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>

namespace {

constexpr TParameterDescription FreqDescription{.Name = "Freq",
                                                .Storage = TStorage::Double,
                                                .Unit = TUnit::Hertz,
                                                .Minimum = 0.1,
                                                .Maximum = 1000,
                                                .Default = 5,
                                                .Decimals = 2,
                                                .Bar = TTrackScale::Logarithmic,
                                                .Caption = "Частота модуляции (Гц):",
                                                .RangeMessage =
                                                    "Частота модуляции должна быть в пределах от %1 до %2 Гц",
                                                .Summary = "frequency of the modulating sine"};

constexpr TParameterDescription DepthDescription{.Name = "Depth",
                                                 .Storage = TStorage::Double,
                                                 .Unit = TUnit::Percent,
                                                 .Maximum = 100,
                                                 .Default = 50,
                                                 .Decimals = 1,
                                                 .Caption = "Глубина модуляции (%):",
                                                 .RangeMessage =
                                                     "Глубина модуляции должна быть в пределах от %1 до %2 %",
                                                 .Summary = "how far the gain dips below 1"};

// The parameters in registration order, the order of their bytes in a settings record.
constexpr std::array<const TParameterDescription*, 2> ParameterTable{&FreqDescription, &DepthDescription};

// Samples between exact values of the sine; in between it turns by a rotation.
constexpr int32_t Stretch = 256;

} // namespace

constinit const TFilterDescriptor AmplitudeModulationDescriptor{
    .Type = 13,
    .Name = "Эффект \"Амплитудная модуляция\"",
    .ShortName = "амплитудная модуляция",
    .EnglishName = "amplitude modulation",
    .Caption = "Параметры эффекта \"Амплитудная модуляция\"",
    .Dialog = TDialogKind::Described,
    .Parameters = ParameterTable,
    .Create = MakeFilter<TAmplitudeModulation>};

TAmplitudeModulation::TAmplitudeModulation(int32_t sampleRate) : TFilter(sampleRate) {
  Freq = FreqDescription.Default;
  Depth = DepthDescription.Default;
  Update();
  Describe(AmplitudeModulationDescriptor, {&Freq, &Depth});
}

void TAmplitudeModulation::ClearState() {
  TFilter::ClearState();
  const std::lock_guard guard(Lock());
  const std::lock_guard handOver(StateLock());
  for (TChannel& c : channels) {
    c = TChannel{}; // the next block takes the design as it is
  }
}

void TAmplitudeModulation::Update() {
  const std::lock_guard guard(Lock());
  designs.Publish(std::make_unique<TDesign>(TDesign{Freq, Depth / 100.0}));
}

void TAmplitudeModulation::Process(ChannelBlock& block, int channel) {
  TChannel& c = channels[static_cast<size_t>(channel)];
  if (const TDesign& design = designs.Take(channel); &design != c.Design) {
    c.Depth.Follow(design.Depth, c.Playing, RampFrames(SampleRate()));
    c.Freq = design.Freq;
    c.Design = &design;
  }
  c.Playing = true;
  float* const x = block.Samples;
  for (int32_t n = 0; n < block.Frames; ++n) {
    if (c.StretchLeft == 0) {
      const double turns = c.Freq / SampleRate();
      c.Cos = std::cos(2.0 * Pi * c.Phase);
      c.Sin = std::sin(2.0 * Pi * c.Phase);
      c.RotateCos = std::cos(2.0 * Pi * turns);
      c.RotateSin = std::sin(2.0 * Pi * turns);
      c.Phase += turns * Stretch;
      c.Phase -= std::floor(c.Phase);
      c.StretchLeft = Stretch;
    }
    const double d = c.Depth.Next();
    x[n] = static_cast<float>(x[n] * (1.0 - 0.5 * d + 0.5 * d * c.Cos));
    const double next = c.Cos * c.RotateCos - c.Sin * c.RotateSin;
    c.Sin = c.Cos * c.RotateSin + c.Sin * c.RotateCos;
    c.Cos = next;
    --c.StretchLeft;
  }
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/IIRFilter.h"

#include "filters/Ramp.h"
#include "filters/Transforms.h"

#include <array>
#include <cmath>

namespace {

constexpr const char* KindChoices[] = {"нижних частот", "верхних частот", "полосовой", "режекторный",
                                       "пиковый",       "полка НЧ",       "полка ВЧ"};
constexpr TParameterDescription KindDescription{
    .Name = "Kind",
    .Set = TValueSet::Choice,
    .Choices = KindChoices,
    .Caption = "Вид фильтра:",
    .Summary = "0 low-pass, 1 high-pass, 2 band-pass, 3 notch, 4 peaking, 5 low shelf, 6 high shelf"};

constexpr TParameterDescription FreqDescription{.Name = "Freq",
                                                .Storage = TStorage::Double,
                                                .Unit = TUnit::Hertz,
                                                .Minimum = 10,
                                                .RateFraction = 0.45,
                                                .Default = 1000,
                                                .Decimals = 1,
                                                .Bar = TTrackScale::Logarithmic,
                                                .Caption = "Частота (Гц):",
                                                .RangeMessage =
                                                    "Частота должна быть в пределах от %1 до %2 Гц",
                                                .Summary = "cut-off, centre or shelf frequency"};

constexpr TParameterDescription QDescription{.Name = "Q",
                                             .Storage = TStorage::Double,
                                             .Minimum = 0.1,
                                             .Maximum = 30,
                                             .Default = 0.707,
                                             .Decimals = 3,
                                             .Bar = TTrackScale::Logarithmic,
                                             .Caption = "Добротность:",
                                             .RangeMessage = "Добротность должна быть в пределах от %1 до %2",
                                             .Summary = "quality factor (0.707: maximally flat)"};

constexpr double GainKinds[] = {4, 5, 6}; // the peaking filter and the shelves
constexpr TParameterDescription GainDescription{.Name = "GainDb",
                                                .Storage = TStorage::Double,
                                                .Unit = TUnit::Decibels,
                                                .Minimum = -24,
                                                .Maximum = 24,
                                                .Default = 6,
                                                .Decimals = 1,
                                                .UsedWhen = "Kind",
                                                .UsedWhenValues = GainKinds,
                                                .Caption = "Усиление (дБ):",
                                                .RangeMessage =
                                                    "Усиление должно быть в пределах от %1 до %2 дБ",
                                                .Summary = "gain of the peaking filter and the shelves"};

// The parameters in registration order, the order of their bytes in a settings record.
constexpr std::array<const TParameterDescription*, 4> ParameterTable{&KindDescription, &FreqDescription,
                                                                     &QDescription, &GainDescription};

} // namespace

TBiquad DesignBiquad(TBiquadKind kind, double f0, double q, double gainDb) {
  const double w0 = 2.0 * Pi * f0;
  const double cosw = std::cos(w0);
  const double alpha = std::sin(w0) / (2.0 * q);
  const double A = std::pow(10.0, gainDb / 40.0);
  double b0 = 1.0, b1 = 0.0, b2 = 0.0, a0 = 1.0, a1 = 0.0, a2 = 0.0;
  switch (kind) {
  case TBiquadKind::LowPass:
    b0 = b2 = (1.0 - cosw) / 2.0;
    b1 = 1.0 - cosw;
    a0 = 1.0 + alpha, a1 = -2.0 * cosw, a2 = 1.0 - alpha;
    break;
  case TBiquadKind::HighPass:
    b0 = b2 = (1.0 + cosw) / 2.0;
    b1 = -(1.0 + cosw);
    a0 = 1.0 + alpha, a1 = -2.0 * cosw, a2 = 1.0 - alpha;
    break;
  case TBiquadKind::BandPass:
    b0 = alpha, b1 = 0.0, b2 = -alpha;
    a0 = 1.0 + alpha, a1 = -2.0 * cosw, a2 = 1.0 - alpha;
    break;
  case TBiquadKind::Notch:
    b0 = 1.0, b1 = -2.0 * cosw, b2 = 1.0;
    a0 = 1.0 + alpha, a1 = -2.0 * cosw, a2 = 1.0 - alpha;
    break;
  case TBiquadKind::Peaking:
    b0 = 1.0 + alpha * A, b1 = -2.0 * cosw, b2 = 1.0 - alpha * A;
    a0 = 1.0 + alpha / A, a1 = -2.0 * cosw, a2 = 1.0 - alpha / A;
    break;
  case TBiquadKind::LowShelf: {
    const double r = 2.0 * std::sqrt(A) * alpha;
    b0 = A * ((A + 1.0) - (A - 1.0) * cosw + r);
    b1 = 2.0 * A * ((A - 1.0) - (A + 1.0) * cosw);
    b2 = A * ((A + 1.0) - (A - 1.0) * cosw - r);
    a0 = (A + 1.0) + (A - 1.0) * cosw + r;
    a1 = -2.0 * ((A - 1.0) + (A + 1.0) * cosw);
    a2 = (A + 1.0) + (A - 1.0) * cosw - r;
    break;
  }
  case TBiquadKind::HighShelf: {
    const double r = 2.0 * std::sqrt(A) * alpha;
    b0 = A * ((A + 1.0) + (A - 1.0) * cosw + r);
    b1 = -2.0 * A * ((A - 1.0) + (A + 1.0) * cosw);
    b2 = A * ((A + 1.0) + (A - 1.0) * cosw - r);
    a0 = (A + 1.0) - (A - 1.0) * cosw + r;
    a1 = 2.0 * ((A - 1.0) - (A + 1.0) * cosw);
    a2 = (A + 1.0) - (A - 1.0) * cosw - r;
    break;
  }
  }
  return {b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0};
}

constinit const TFilterDescriptor IIRDescriptor{.Type = 5,
                                                .Name = "БИХ-фильтр",
                                                .ShortName = "БИХ",
                                                .EnglishName = "IIR",
                                                .Caption = "Параметры БИХ-фильтра",
                                                .Dialog = TDialogKind::Described,
                                                .Parameters = ParameterTable,
                                                .Create = MakeFilter<TIIRFilter>};

TIIRFilter::TIIRFilter(int32_t sampleRate) : TFilter(sampleRate) {
  Kind = static_cast<int32_t>(KindDescription.Default);
  Freq = FreqDescription.Default;
  Q = QDescription.Default;
  GainDb = GainDescription.Default;
  Update();
  Describe(IIRDescriptor, {&Kind, &Freq, &Q, &GainDb});
}

void TIIRFilter::ClearState() {
  TFilter::ClearState();
  const std::lock_guard guard(Lock());
  const std::lock_guard handOver(StateLock());
  cascade.Clear();
}

void TIIRFilter::Update() {
  const std::lock_guard guard(Lock());
  TBiquadCascade::TSet design;
  design.Sections[0] = DesignBiquad(static_cast<TBiquadKind>(Kind), Freq / SampleRate(), Q, GainDb);
  design.Count = 1;
  if (designs.Empty() || !(designs.Latest() == design)) { // the same design: nothing to cross over to
    designs.Publish(std::make_unique<TBiquadCascade::TSet>(design));
  }
}

void TIIRFilter::Process(ChannelBlock& block, int channel) {
  if (const TBiquadCascade::TSet& design = designs.Take(channel);
      &design != taken[static_cast<size_t>(channel)]) {
    cascade.Design(channel, design, RampFrames(SampleRate()));
    taken[static_cast<size_t>(channel)] = &design;
  }
  cascade.Process(block.Samples, block.Frames, channel);
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/ChebyshevFilter.h"

#include "filters/Ramp.h"
#include "filters/Transforms.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>

namespace {

constexpr const char* KindChoices[] = {"нижних частот", "верхних частот"};
constexpr TParameterDescription KindDescription{.Name = "Kind",
                                                .Set = TValueSet::Choice,
                                                .Choices = KindChoices,
                                                .Caption = "Вид фильтра:",
                                                .Summary = "0 low-pass, 1 high-pass"};

constexpr TParameterDescription CutoffDescription{
    .Name = "fc",
    .Unit = TUnit::Hertz,
    .Minimum = 10,
    .RateFraction = 0.45,
    .Default = 1000,
    .Bar = TTrackScale::Logarithmic,
    .Caption = "Частота среза (Гц):",
    .RangeMessage = "Частота среза должна быть в пределах от %1 до %2 Гц",
    .Summary = "cut-off: the edge of the ripple band, where the gain is -RippleDb"};

constexpr TParameterDescription OrderDescription{.Name = "Order",
                                                 .Minimum = 2,
                                                 .Maximum = 8,
                                                 .Default = 4,
                                                 .Caption = "Порядок:",
                                                 .RangeMessage = "Порядок должен быть в пределах от %1 до %2",
                                                 .Summary = "order: the slope is 6 dB per octave per order"};

constexpr TParameterDescription RippleDescription{.Name = "RippleDb",
                                                  .Storage = TStorage::Double,
                                                  .Unit = TUnit::Decibels,
                                                  .Minimum = 0.01,
                                                  .Maximum = 3,
                                                  .Default = 0.5,
                                                  .Decimals = 2,
                                                  .Caption = "Неравномерность в полосе пропускания (дБ):",
                                                  .RangeMessage =
                                                      "Неравномерность должна быть в пределах от %1 до %2 дБ",
                                                  .Summary = "pass-band ripple"};

// The parameters in registration order, the order of their bytes in a settings record.
constexpr std::array<const TParameterDescription*, 4> ParameterTable{&KindDescription, &CutoffDescription,
                                                                     &OrderDescription, &RippleDescription};

// The sections of the filter at the normalised cut-off f (fc / fs).
int DesignSections(bool highPass, double f, int order, double rippleDb,
                   std::array<TBiquad, TBiquadCascade::MaxSections>& sections) {
  const double eps = std::sqrt(std::pow(10.0, rippleDb / 10.0) - 1.0);
  const double v0 = std::asinh(1.0 / eps) / order;
  const double wc = std::tan(Pi * f); // the pre-warped cut-off
  int count = 0;
  // Conjugate pairs k = 1 .. order/2: p = -sinh(v0) sin(theta) + j cosh(v0) cos(theta).
  for (int k = 1; k <= order / 2; ++k) {
    const double theta = Pi * (2 * k - 1) / (2.0 * order);
    const std::complex<double> p(-std::sinh(v0) * std::sin(theta), std::cosh(v0) * std::cos(theta));
    const double radius = std::abs(p);
    const double q = radius / (-2.0 * p.real());
    // The section's analog frequency: the pole radius scaled to the cut-off, or its inverse for the
    // high-pass (s -> wc / s).
    const double w0 = highPass ? wc / radius : wc * radius;
    const double a0 = 1.0 + w0 / q + w0 * w0;
    TBiquad& s = sections[static_cast<size_t>(count++)];
    s.a1 = 2.0 * (w0 * w0 - 1.0) / a0;
    s.a2 = (1.0 - w0 / q + w0 * w0) / a0;
    if (highPass) {
      s.b0 = 1.0 / a0, s.b1 = -2.0 / a0, s.b2 = 1.0 / a0;
    } else {
      s.b0 = w0 * w0 / a0, s.b1 = 2.0 * w0 * w0 / a0, s.b2 = w0 * w0 / a0;
    }
  }
  if (order % 2 == 1) {
    // The real pole -sinh(v0), as a first-order section.
    const double sigma = std::sinh(v0);
    const double w0 = highPass ? wc / sigma : wc * sigma;
    TBiquad& s = sections[static_cast<size_t>(count++)];
    s.a1 = (w0 - 1.0) / (1.0 + w0);
    s.a2 = 0.0;
    s.b2 = 0.0;
    if (highPass) {
      s.b0 = 1.0 / (1.0 + w0), s.b1 = -1.0 / (1.0 + w0);
    } else {
      s.b0 = s.b1 = w0 / (1.0 + w0);
    }
  } else {
    // An even order starts at the bottom of the ripple: its peaks, not its start, are at 0 dB.
    const double g = 1.0 / std::sqrt(1.0 + eps * eps);
    sections[0].b0 *= g, sections[0].b1 *= g, sections[0].b2 *= g;
  }
  return count;
}

} // namespace

constinit const TFilterDescriptor ChebyshevDescriptor{.Type = 6,
                                                      .Name = "Фильтр Чебышева",
                                                      .ShortName = "Чебышева",
                                                      .EnglishName = "Chebyshev",
                                                      .Caption = "Параметры фильтра Чебышева",
                                                      .Dialog = TDialogKind::Described,
                                                      .Parameters = ParameterTable,
                                                      .Create = MakeFilter<TChebyshevFilter>};

TChebyshevFilter::TChebyshevFilter(int32_t sampleRate) : TFilter(sampleRate) {
  Kind = static_cast<int32_t>(KindDescription.Default);
  fc = static_cast<int32_t>(CutoffDescription.Default);
  Order = static_cast<int32_t>(OrderDescription.Default);
  RippleDb = RippleDescription.Default;
  Update();
  Describe(ChebyshevDescriptor, {&Kind, &fc, &Order, &RippleDb});
}

void TChebyshevFilter::ClearState() {
  TFilter::ClearState();
  const std::lock_guard guard(Lock());
  cascade.Clear();
}

void TChebyshevFilter::Update() {
  const std::lock_guard guard(Lock());
  std::array<TBiquad, TBiquadCascade::MaxSections> sections{};
  const int order = std::clamp(Order, 2, 2 * TBiquadCascade::MaxSections);
  const int count =
      DesignSections(Kind != 0, static_cast<double>(fc) / SampleRate(), order, RippleDb, sections);
  if (count == cascade.SectionCount()) {
    bool same = true;
    for (int i = 0; i < count; ++i) {
      const TBiquad& a = sections[static_cast<size_t>(i)];
      const TBiquad& b = cascade.Section(i);
      same = same && a.b0 == b.b0 && a.b1 == b.b1 && a.b2 == b.b2 && a.a1 == b.a1 && a.a2 == b.a2;
    }
    if (same) {
      return;
    }
  }
  cascade.Design(sections, count, RampFrames(SampleRate()));
}

void TChebyshevFilter::Process(ChannelBlock& block, int channel) {
  cascade.Process(block.Samples, block.Frames, channel);
}

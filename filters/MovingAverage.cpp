// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/MovingAverage.h"

#include <algorithm>
#include <array>
#include <mutex>

namespace {

constexpr TParameterDescription LengthDescription{.Name = "Length",
                                                  .Unit = TUnit::Samples,
                                                  .Minimum = 1,
                                                  .Maximum = TMovingAverage::MaxLength,
                                                  .Default = 16,
                                                  .Bar = TTrackScale::Logarithmic,
                                                  .Caption = "Длина (отсчётов):",
                                                  .RangeMessage =
                                                      "Длина должна быть в пределах от %1 до %2 отсчётов",
                                                  .Summary = "number of samples averaged"};

// The parameters in registration order, the order of their bytes in a settings record.
constexpr std::array<const TParameterDescription*, 1> ParameterTable{&LengthDescription};

// The sum of the `taps` samples of the line that precede slot `position`.
double SumBefore(const float* line, int32_t position, int32_t taps) {
  double sum = 0.0;
  for (int32_t i = 1; i <= taps; ++i) {
    const int32_t slot = position - i;
    sum += line[slot < 0 ? slot + TMovingAverage::MaxLength : slot];
  }
  return sum;
}

} // namespace

constinit const TFilterDescriptor MovingAverageDescriptor{.Type = 7,
                                                          .Name = "Фильтр \"Движущееся среднее\"",
                                                          .ShortName = "движущееся среднее",
                                                          .EnglishName = "moving average",
                                                          .Caption =
                                                              "Параметры фильтра \"Движущееся среднее\"",
                                                          .Dialog = TDialogKind::Described,
                                                          .Parameters = ParameterTable,
                                                          .Create = MakeFilter<TMovingAverage>};

TMovingAverage::TMovingAverage(int32_t sampleRate) : TFilter(sampleRate) {
  Length = static_cast<int32_t>(LengthDescription.Default);
  SetStateLength(MaxLength);
  Update();
  Describe(MovingAverageDescriptor, {&Length});
}

void TMovingAverage::Restart(TChannel& c, int32_t taps) {
  c = TChannel{};
  c.Taps = taps;
  c.Weight.Set(1.0);
}

void TMovingAverage::ClearState() {
  const std::lock_guard guard(Lock());
  TStateBuffers replaced = SilentState(StateLength());
  {
    const std::lock_guard handOver(StateLock());
    ExchangeState(replaced);
    for (TChannel& c : channels) {
      Restart(c, designs.Empty() ? c.Taps : designs.Latest().Taps);
    }
  }
}

void TMovingAverage::Update() {
  const std::lock_guard guard(Lock());
  const int32_t taps = std::clamp(Length, 1, MaxLength);
  if (designs.Empty() || designs.Latest().Taps != taps) {
    designs.Publish(std::make_unique<TDesign>(TDesign{taps}));
  }
}

void TMovingAverage::Process(ChannelBlock& block, int channel) {
  TChannel& c = channels[static_cast<size_t>(channel)];
  if (const TDesign& design = designs.Take(channel); &design != c.Design) {
    if (design.Taps != c.Taps && !c.Playing) {
      Restart(c, design.Taps);
    } else if (design.Taps != c.Taps) {
      // Cross from the mean the channel runs to the new one, both read from its own line.
      c.FadingTaps = c.Taps;
      c.FadingSum = c.Sum;
      c.Taps = design.Taps;
      c.Sum = SumBefore(ChannelState(channel), c.Position, c.Taps);
      c.Weight.Set(0.0);
      c.Weight.MoveTo(1.0, RampFrames(SampleRate()));
    }
    c.Design = &design;
  }
  c.Playing = true;
  float* const line = ChannelState(channel);
  float* const x = block.Samples;
  const double scale = 1.0 / c.Taps;
  for (int32_t n = 0; n < block.Frames; ++n) {
    int32_t oldest = c.Position - c.Taps;
    oldest = oldest < 0 ? oldest + MaxLength : oldest;
    const float in = x[n];
    c.Sum += static_cast<double>(in) - line[oldest];
    double y = c.Sum * scale;
    if (c.Weight.Moving()) {
      int32_t fadingOldest = c.Position - c.FadingTaps;
      fadingOldest = fadingOldest < 0 ? fadingOldest + MaxLength : fadingOldest;
      c.FadingSum += static_cast<double>(in) - line[fadingOldest];
      const double w = c.Weight.Next();
      y = w * y + (1.0 - w) * c.FadingSum / c.FadingTaps;
    }
    line[c.Position] = in;
    x[n] = static_cast<float>(y);
    if (++c.Position == MaxLength) {
      c.Position = 0;
      c.Sum = SumBefore(line, 0, c.Taps);
    }
  }
}

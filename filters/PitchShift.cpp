// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/PitchShift.h"

#include "filters/Interpolation.h"
#include "filters/Transforms.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>
#include <vector>

namespace {

constexpr TParameterDescription SemitonesDescription{
    .Name = "Semitones",
    .Storage = TStorage::Double,
    .Unit = TUnit::Semitones,
    .Minimum = -12,
    .Maximum = 12,
    .Default = 5,
    .Decimals = 2,
    .Caption = "Сдвиг (полутонов):",
    .RangeMessage = "Сдвиг должен быть в пределах от %1 до %2 полутонов",
    .Summary = "shift: 12 semitones are an octave, 0.01 a cent"};

constexpr TParameterDescription WindowDescription{
    .Name = "Window",
    .Unit = TUnit::Milliseconds,
    .Minimum = 10,
    .Maximum = TPitchShift::MaxWindowMs,
    .Default = 50,
    .Caption = "Окно (мс):",
    .RangeMessage = "Окно должно быть в пределах от %1 до %2 мс",
    .Summary = "window each read head sweeps; the latency is half of it plus 2 samples"};

// The parameters in registration order, the order of their bytes in a settings record.
constexpr std::array<const TParameterDescription*, 2> ParameterTable{&SemitonesDescription,
                                                                     &WindowDescription};

constexpr double MaxSlew = 0.05;   // window change per sample while a new window is reached
constexpr double LeadFrames = 2.0; // the shortest delay: the cubic read needs two samples ahead of it
constexpr int WeightPoints = 4096;

// sin^2(pi p) for p = i / WeightPoints, i = 0..WeightPoints (one point more for the interpolation).
const std::vector<float>& WeightTable() {
  static const std::vector<float> table = [] {
    std::vector<float> t(WeightPoints + 1);
    for (int i = 0; i <= WeightPoints; ++i) {
      const double s = std::sin(Pi * i / WeightPoints);
      t[static_cast<size_t>(i)] = static_cast<float>(s * s);
    }
    return t;
  }();
  return table;
}

inline float Weight(const float* table, double p) {
  const double position = p * WeightPoints;
  const auto i = static_cast<int32_t>(position);
  const auto t = static_cast<float>(position - i);
  return table[i] + t * (table[i + 1] - table[i]);
}

} // namespace

constinit const TFilterDescriptor PitchShiftDescriptor{.Type = 15,
                                                       .Name = "Эффект \"Сдвиг высоты тона\"",
                                                       .ShortName = "сдвиг высоты тона",
                                                       .EnglishName = "pitch shift",
                                                       .Caption = "Параметры эффекта \"Сдвиг высоты тона\"",
                                                       .Dialog = TDialogKind::Described,
                                                       .Parameters = ParameterTable,
                                                       .Create = MakeFilter<TPitchShift>};

TPitchShift::TPitchShift(int32_t sampleRate) : TFilter(sampleRate) {
  Semitones = SemitonesDescription.Default;
  Window = static_cast<int32_t>(WindowDescription.Default);
  int32_t length = 4;
  while (length < MaxWindowMs * 0.001 * sampleRate + LeadFrames + 4) {
    length *= 2;
  }
  WeightTable();
  SetStateLength(length);
  mask = length - 1;
  Update();
  Describe(PitchShiftDescriptor, {&Semitones, &Window});
}

double TPitchShift::LatencyFrames() const {
  return LeadFrames + Window * 0.001 * SampleRate() / 2.0;
}

void TPitchShift::ClearState() {
  const std::lock_guard guard(Lock());
  TStateBuffers replaced = SilentState(StateLength());
  {
    const std::lock_guard handOver(StateLock());
    ExchangeState(replaced);
    for (TChannel& c : channels) {
      c.Position = 0;
      // The first head at the middle of its sweep, at full weight: a shift of 0 passes the signal
      // through one head, delayed by the latency.
      c.Head = 0.5;
      c.Playing = false;
      c.WindowSamples.Set(std::max(Window * 0.001 * SampleRate(), 4.0));
      c.Design = nullptr; // the next block takes the design as it is
    }
  }
}

void TPitchShift::Update() {
  const std::lock_guard guard(Lock());
  designs.Publish(std::make_unique<TDesign>(
      TDesign{std::exp2(Semitones / 12.0), std::max(Window * 0.001 * SampleRate(), 4.0)}));
}

void TPitchShift::Process(ChannelBlock& block, int channel) {
  TChannel& c = channels[static_cast<size_t>(channel)];
  if (const TDesign& design = designs.Take(channel); &design != c.Design) {
    const double target = design.WindowSamples;
    const auto frames = static_cast<int32_t>(std::abs(target - c.WindowSamples.Value()) / MaxSlew);
    c.WindowSamples.Follow(target, c.Playing, std::max(frames, RampFrames(SampleRate())));
    c.Speed = design.Speed;
    c.Design = &design;
  }
  c.Playing = true;
  const double speed = c.Speed;
  float* const line = ChannelState(channel);
  const float* const weights = WeightTable().data();
  float* const x = block.Samples;
  double head = c.Head;
  int32_t position = c.Position;
  double window = c.WindowSamples.Value();
  double step = (1.0 - speed) / window;
  for (int32_t n = 0; n < block.Frames; ++n) {
    line[position & mask] = x[n];
    if (c.WindowSamples.Moving()) {
      window = c.WindowSamples.Next();
      step = (1.0 - speed) / window;
    }
    const double other = head < 0.5 ? head + 0.5 : head - 0.5;
    const double now = position + mask + 1.0; // a whole line ahead: never negative
    const float first = ReadRing(line, mask, now - LeadFrames - head * window);
    const float second = ReadRing(line, mask, now - LeadFrames - other * window);
    const float w = Weight(weights, head);
    x[n] = w * first + (1.0f - w) * second;
    // Less than one turn a sample: one wrap at most.
    head += step;
    head += head < 0.0 ? 1.0 : head >= 1.0 ? -1.0 : 0.0;
    position = (position + 1) & mask;
  }
  c.Head = head;
  c.Position = position;
}

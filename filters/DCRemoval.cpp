// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/DCRemoval.h"

#include "filters/Ramp.h"
#include "filters/Transforms.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>

namespace {

constexpr TParameterDescription CutoffDescription{.Name = "fc",
                                                  .Unit = TUnit::Hertz,
                                                  .Minimum = 1,
                                                  .Maximum = 200,
                                                  .Default = 10,
                                                  .Bar = TTrackScale::Logarithmic,
                                                  .Caption = "Частота среза (Гц):",
                                                  .RangeMessage =
                                                      "Частота среза должна быть в пределах от %1 до %2 Гц",
                                                  .Summary = "cut-off of the first-order high-pass"};

// The parameters in registration order, the order of their bytes in a settings record.
constexpr std::array<const TParameterDescription*, 1> ParameterTable{&CutoffDescription};

} // namespace

constinit const TFilterDescriptor DCRemovalDescriptor{.Type = 8,
                                                      .Name = "Вырезание постоянной составляющей",
                                                      .ShortName = "вырезание постоянной составляющей",
                                                      .EnglishName = "DC removal",
                                                      .Caption =
                                                          "Параметры вырезания постоянной составляющей",
                                                      .Dialog = TDialogKind::Described,
                                                      .Parameters = ParameterTable,
                                                      .Create = MakeFilter<TDCRemoval>};

TDCRemoval::TDCRemoval(int32_t sampleRate) : TFilter(sampleRate) {
  fc = static_cast<int32_t>(CutoffDescription.Default);
  Update();
  Describe(DCRemovalDescriptor, {&fc});
}

void TDCRemoval::ClearState() {
  TFilter::ClearState();
  const std::lock_guard guard(Lock());
  const std::lock_guard handOver(StateLock());
  cascade.Clear();
}

void TDCRemoval::Update() {
  const std::lock_guard guard(Lock());
  // A cut-off at or above half the rate (a rate below 400 Hz) is held just under it.
  const double k = std::tan(Pi * std::min(static_cast<double>(fc) / SampleRate(), 0.49));
  const double r = (1.0 - k) / (1.0 + k);
  const double g = (1.0 + r) / 2.0;
  TBiquadCascade::TSet design;
  design.Sections[0].b0 = g, design.Sections[0].b1 = -g, design.Sections[0].a1 = -r;
  design.Count = 1;
  if (designs.Empty() || !(designs.Latest() == design)) {
    designs.Publish(std::make_unique<TBiquadCascade::TSet>(design));
  }
}

void TDCRemoval::Process(ChannelBlock& block, int channel) {
  if (const TBiquadCascade::TSet& design = designs.Take(channel);
      &design != taken[static_cast<size_t>(channel)]) {
    cascade.Design(channel, design, RampFrames(SampleRate()));
    taken[static_cast<size_t>(channel)] = &design;
  }
  cascade.Process(block.Samples, block.Frames, channel);
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/BandPassFilter.h"

#include "filters/Kernels.h"
#include "filters/LowPassFilter.h"

namespace {

constexpr TParameterDescription LowerDescription{
    .Name = "LowerFreq",
    .Unit = TUnit::Hertz,
    .RateFraction = 0.5,
    .Default = 300,
    .Bar = TTrackScale::Logarithmic,
    .Caption = "Нижняя частота среза (Гц):",
    .RangeMessage = "Нижняя частота среза должна быть в пределах от %1 до %2 Гц",
    .Summary = "lower edge of the band"};

constexpr TParameterDescription UpperDescription{
    .Name = "UpperFreq",
    .Unit = TUnit::Hertz,
    .RateFraction = 0.5,
    .Default = 3400,
    .Bar = TTrackScale::Logarithmic,
    .AtLeast = "LowerFreq",
    .Caption = "Верхняя частота среза (Гц):",
    .RangeMessage = "Верхняя частота среза должна быть в пределах от %1 до %2 Гц",
    .Summary = "upper edge of the band, not below the lower"};

} // namespace

TBandPassFilter::TBandPassFilter(int32_t sampleRate) : TFIRFilter(sampleRate) {
  type = 2;
  LowerFreq = static_cast<int32_t>(LowerDescription.Default);
  UpperFreq = static_cast<int32_t>(UpperDescription.Default);
  WindowType = static_cast<int32_t>(WindowTypeDescription.Default);
  N = static_cast<int32_t>(KernelSizeDescription.Default);
  ComputeResponse();
  AddParameter(&LowerFreq, LowerDescription);
  AddParameter(&UpperFreq, UpperDescription);
  AddParameter(&WindowType, WindowTypeDescription);
  AddParameter(&N, KernelSizeDescription);
}

void TBandPassFilter::DesignKernel() {
  const double fs = SampleRate();
  BandPassKernel(N, static_cast<float>(LowerFreq / fs), static_cast<float>(UpperFreq / fs), WindowType,
                 Kernel());
}

TBandStopFilter::TBandStopFilter(int32_t sampleRate) : TBandPassFilter(sampleRate) {
  type = 3;
  ComputeResponse();
}

void TBandStopFilter::DesignKernel() {
  BandStopKernel(N, static_cast<float>(LowerFreq / static_cast<double>(SampleRate())),
                 static_cast<float>(UpperFreq / static_cast<double>(SampleRate())), WindowType, Kernel());
}

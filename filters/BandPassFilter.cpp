// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/BandPassFilter.h"

#include "filters/Kernels.h"
#include "filters/LowPassFilter.h"

#include <array>

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

// The parameters in registration order, the order of their bytes in a settings record.
constexpr std::array<const TParameterDescription*, 4> ParameterTable{
    &LowerDescription, &UpperDescription, &WindowTypeDescription, &KernelSizeDescription};

} // namespace

constinit const TFilterDescriptor BandPassDescriptor{.Type = 2,
                                                     .Name = "Полосовой пропускающий фильтр",
                                                     .ShortName = "полосовой пропускающий",
                                                     .EnglishName = "band-pass",
                                                     .Caption = "Параметры полосового пропускающего фильтра",
                                                     .Dialog = TDialogKind::Described,
                                                     .Parameters = ParameterTable,
                                                     .Create = MakeFilter<TBandPassFilter>};

constinit const TFilterDescriptor BandStopDescriptor{.Type = 3,
                                                     .Name = "Полосовой вырезающий фильтр",
                                                     .ShortName = "полосовой вырезающий",
                                                     .EnglishName = "band-stop",
                                                     .Caption = "Параметры полосового вырезающего фильтра",
                                                     .Dialog = TDialogKind::Described,
                                                     .Parameters = ParameterTable,
                                                     .Create = MakeFilter<TBandStopFilter>};

TBandPassFilter::TBandPassFilter(int32_t sampleRate) : TBandPassFilter(sampleRate, BandPassDescriptor) {}

TBandPassFilter::TBandPassFilter(int32_t sampleRate, const TFilterDescriptor& descriptor)
    : TFIRFilter(sampleRate) {
  LowerFreq = static_cast<int32_t>(LowerDescription.Default);
  UpperFreq = static_cast<int32_t>(UpperDescription.Default);
  WindowType = static_cast<int32_t>(WindowTypeDescription.Default);
  N = static_cast<int32_t>(KernelSizeDescription.Default);
  ComputeResponse();
  Describe(descriptor, {&LowerFreq, &UpperFreq, &WindowType, &N});
}

void TBandPassFilter::DesignKernel() {
  const double fs = SampleRate();
  BandPassKernel(N, static_cast<float>(LowerFreq / fs), static_cast<float>(UpperFreq / fs), WindowType,
                 Kernel());
}

TBandStopFilter::TBandStopFilter(int32_t sampleRate) : TBandPassFilter(sampleRate, BandStopDescriptor) {
  ComputeResponse();
}

void TBandStopFilter::DesignKernel() {
  BandStopKernel(N, static_cast<float>(LowerFreq / static_cast<double>(SampleRate())),
                 static_cast<float>(UpperFreq / static_cast<double>(SampleRate())), WindowType, Kernel());
}

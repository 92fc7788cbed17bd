// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/LowPassFilter.h"

#include "filters/Kernels.h"

#include <array>

constexpr TParameterDescription LowPassCutoffDescription{
    .Name = "fc",
    .Unit = TUnit::Hertz,
    .RateFraction = 0.5,
    .Default = 1000,
    .Bar = TTrackScale::Logarithmic,
    .Caption = "Частота среза (Гц):",
    .RangeMessage = "Значение частоты среза должно быть в пределах от %1 до %2 Гц",
    .EmptyMessage = "Введите значение частоты среза",
    .Summary = "cut-off frequency"};

constexpr const char* WindowTypeChoices[] = {"окно Хэмминга", "окно Блэкмана"};
const TParameterDescription WindowTypeDescription{
    .Name = "WindowType",
    .Set = TValueSet::Choice,
    .Choices = WindowTypeChoices,
    .OtherValuesMeanLast = true,
    .Summary = "window of the windowed sinc: 0 Hamming, 1 Blackman (a file's other values read as Blackman)"};

const TParameterDescription KernelSizeDescription{.Name = "KernelSize",
                                                  .Set = TValueSet::PowerOfTwo,
                                                  .Minimum = 8,
                                                  .Maximum = 1024,
                                                  .Default = 512,
                                                  .Caption = "Размер ядра:",
                                                  .Summary =
                                                      "kernel size N: N + 1 taps, a delay of N/2 samples"};

namespace {

// The parameters in registration order, the order of their bytes in a settings record.
constexpr std::array<const TParameterDescription*, 3> ParameterTable{
    &LowPassCutoffDescription, &WindowTypeDescription, &KernelSizeDescription};

} // namespace

constinit const TFilterDescriptor LowPassDescriptor{.Type = 0,
                                                    .Name = "Фильтр нижних частот",
                                                    .ShortName = "нижних частот",
                                                    .EnglishName = "low-pass",
                                                    .Caption = "Параметры фильтра",
                                                    .Dialog = TDialogKind::LowHighPass,
                                                    .Parameters = ParameterTable,
                                                    .Create = MakeFilter<TLowPassFilter>};

constinit const TFilterDescriptor HighPassDescriptor{.Type = 1,
                                                     .Name = "Фильтр верхних частот",
                                                     .ShortName = "верхних частот",
                                                     .EnglishName = "high-pass",
                                                     .Caption = "Параметры фильтра",
                                                     .Dialog = TDialogKind::LowHighPass,
                                                     .Parameters = ParameterTable,
                                                     .Create = MakeFilter<THighPassFilter>};

TLowPassFilter::TLowPassFilter(int32_t sampleRate) : TLowPassFilter(sampleRate, LowPassDescriptor) {}

TLowPassFilter::TLowPassFilter(int32_t sampleRate, const TFilterDescriptor& descriptor)
    : TFIRFilter(sampleRate) {
  fc = 1000;
  WindowType = 0;
  N = 512;
  ComputeResponse();
  Describe(descriptor, {&fc, &WindowType, &N});
}

void TLowPassFilter::DesignKernel() {
  LowPassKernel(N, static_cast<float>(static_cast<double>(fc) / SampleRate()), WindowType, Kernel());
}

THighPassFilter::THighPassFilter(int32_t sampleRate) : TLowPassFilter(sampleRate, HighPassDescriptor) {
  ComputeResponse();
}

void THighPassFilter::DesignKernel() {
  HighPassKernel(N, static_cast<float>(static_cast<double>(fc) / SampleRate()), WindowType, Kernel());
}

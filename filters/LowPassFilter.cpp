// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/LowPassFilter.h"

#include "filters/Kernels.h"

namespace {

constexpr TParameterDescription Cutoff{.Name = "fc",
                                       .Unit = TUnit::Hertz,
                                       .RateFraction = 0.5,
                                       .Default = 1000,
                                       .Bar = TTrackScale::Logarithmic,
                                       .Caption = "Частота среза (Гц):",
                                       .RangeMessage =
                                           "Значение частоты среза должно быть в пределах от %1 до %2 Гц",
                                       .EmptyMessage = "Введите значение частоты среза",
                                       .Summary = "cut-off frequency"};

} // namespace

const TParameterDescription WindowTypeDescription{
    .Name = "WindowType",
    .Set = TValueSet::Choice,
    .Choices = {"окно Хэмминга", "окно Блэкмана"},
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

TLowPassFilter::TLowPassFilter(int32_t sampleRate) : TFIRFilter(sampleRate) {
  fc = 1000;
  WindowType = 0;
  N = 512;
  type = 0;
  ComputeResponse();
  AddParameter(&fc, Cutoff);
  AddParameter(&WindowType, WindowTypeDescription);
  AddParameter(&N, KernelSizeDescription);
}

void TLowPassFilter::DesignKernel() {
  LowPassKernel(N, static_cast<float>(static_cast<double>(fc) / SampleRate()), WindowType, Kernel());
}

THighPassFilter::THighPassFilter(int32_t sampleRate) : TLowPassFilter(sampleRate) {
  type = 1;
  ComputeResponse();
}

void THighPassFilter::DesignKernel() {
  HighPassKernel(N, static_cast<float>(static_cast<double>(fc) / SampleRate()), WindowType, Kernel());
}

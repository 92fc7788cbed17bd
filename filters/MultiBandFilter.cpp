// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/MultiBandFilter.h"

#include "filters/Kernels.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace {

constexpr TParameterDescription Gains{.Name = "Gain",
                                      .Storage = TStorage::Double,
                                      .Count = TMultiBandFilter::BandCount,
                                      .Maximum = TMultiBandFilter::MaxGain,
                                      .Default = 1.0,
                                      .Bar = TTrackScale::None,
                                      .Summary = "linear gain of each band, the 50 Hz band first"};

// The parameters in registration order, the order of their bytes in a settings record.
constexpr std::array<const TParameterDescription*, 1> ParameterTable{&Gains};

} // namespace

constinit const TFilterDescriptor MultiBandDescriptor{.Type = 4,
                                                      .Name = "Многополосовой фильтр",
                                                      .ShortName = "многополосовой",
                                                      .EnglishName = "equaliser",
                                                      .Caption = "Параметры многополосового фильтра",
                                                      .Dialog = TDialogKind::MultiBand,
                                                      .Parameters = ParameterTable,
                                                      .Create = MakeFilter<TMultiBandFilter>};

TMultiBandFilter::TMultiBandFilter(int32_t sampleRate) : TFIRFilter(sampleRate) {
  windowType = 1;
  N = 1024;
  SetStateLength(1024);
  Centres = BandCentres;
  std::fill(std::begin(Gain), std::end(Gain), 1.0);
  ComputeResponse();
  Describe(MultiBandDescriptor, {Gain});
}

void TMultiBandFilter::DesignKernel() {
  const int32_t fs = SampleRate();
  const int32_t half = fs / 2;
  bandKernel.assign(static_cast<size_t>(N) + 1, 0.0f);
  float* const kernel = Kernel();
  std::fill(kernel, kernel + N, 0.0f);

  int32_t lo = 0;
  for (int i = 0; i < BandCount; ++i) {
    int32_t hi = i < BandCount - 1 ? (Centres[i] + Centres[i + 1]) / 2 : half;
    if (hi >= half) {
      hi = half;
    }
    BandPassKernel(N, static_cast<float>(static_cast<double>(lo) / fs),
                   static_cast<float>(static_cast<double>(hi) / fs), windowType, bandKernel.data());
    // The last tap, zero under the Blackman window, is left out.
    for (int32_t j = 0; j < N; ++j) {
      kernel[j] = static_cast<float>(kernel[j] + bandKernel[j] * Gain[i]);
    }
    if (hi == half) {
      break;
    }
    lo = hi;
  }
}

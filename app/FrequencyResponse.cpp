#include "app/FrequencyResponse.h"

#include "dsp/FilterCatalogue.h"
#include "filters/Transforms.h"

#include <cmath>
#include <vector>

namespace {

constexpr int ImpulseLength = 2 * ResponseBins;

// Passes the signal through a fresh copy of the filter: same type, rate and parameters, cleared
// state. The original filter is only read.
void PassThroughCopy(const TFilter& filter, int32_t sampleRate, std::vector<float>& signal) {
  const std::unique_ptr<TFilter> copy = CreateFilter(filter.Type(), sampleRate);
  if (!copy) {
    return;
  }
  copy->CopyParameters(filter);
  ChannelBlock block;
  block.Samples = signal.data();
  block.Frames = ImpulseLength;
  copy->Process(block, 0);
}

TResponse Spectrum(std::vector<float>& signal) {
  std::vector<float> im(ImpulseLength, 0.0f);
  RealFFT(ImpulseLength, signal.data(), im.data());
  TResponse response{};
  for (int k = 0; k < ResponseBins; ++k) {
    const double re = signal[k];
    const double imag = im[k];
    response[k] = AmplitudeToDb(std::sqrt(re * re + imag * imag));
  }
  return response;
}

std::vector<float> UnitImpulse() {
  std::vector<float> signal(ImpulseLength, 0.0f);
  signal[0] = 1.0f;
  return signal;
}

} // namespace

TResponse MeasureFrequencyResponse(const TFilter& filter) {
  std::vector<float> signal = UnitImpulse();
  PassThroughCopy(filter, filter.SampleRate(), signal);
  return Spectrum(signal);
}

TResponse MeasureFrequencyResponse(const TFilterList& chain) {
  std::vector<float> signal = UnitImpulse();
  for (int i = 0; i < chain.Count(); ++i) {
    if (chain.IsEnabled(i) && chain.Item(i) != nullptr) {
      PassThroughCopy(*chain.Item(i), chain.SampleRate(), signal);
    }
  }
  return Spectrum(signal);
}

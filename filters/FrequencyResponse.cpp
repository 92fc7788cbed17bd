// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/FrequencyResponse.h"

#include "filters/Transforms.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <memory>
#include <utility>

namespace {

constexpr float ImpulseHeight = 32768.0f;
constexpr double FloorDb = -120.0;
constexpr int32_t ChunkFrames = 4096;
constexpr int32_t ShortestTransform = 2 * ResponseBins;

// A fresh copy of the filter: same type, rate and parameters, cleared state.
std::unique_ptr<TFilter> CopyOf(const TFilter& filter, int32_t sampleRate) {
  std::unique_ptr<TFilter> copy = filter.NewOfType();
  if (copy) {
    copy->SetSampleRate(sampleRate);
    copy->CopyParameters(filter);
  }
  return copy;
}

// The magnitudes of bins 0..n/2-1 of the n-point DFT of the real signal x (n a power of two >= 4),
// in double precision with exact twiddles: a long response holds bins 100 dB below its largest, which
// the float transform's rotation recurrence would bury in its own error. The n/2-point precise
// transform of the pairs (x[2m], x[2m+1]) is split into the real signal's spectrum.
std::vector<double> PreciseMagnitudes(const std::vector<float>& x, int32_t n) {
  using Complex = std::complex<double>;
  const int32_t h = n / 2;
  std::vector<Complex> z(static_cast<size_t>(h));
  for (int32_t m = 0; m < h; ++m) {
    z[m] = Complex(x[2 * static_cast<size_t>(m)], x[2 * static_cast<size_t>(m) + 1]);
  }
  PreciseFFT(h, z.data(), false);
  std::vector<double> magnitude(static_cast<size_t>(h));
  for (int32_t k = 0; k < h; ++k) {
    const Complex a = z[k];
    const Complex b = std::conj(z[(h - k) % h]);
    const Complex even = (a + b) * 0.5;
    const Complex odd = (a - b) * Complex(0.0, -0.5);
    magnitude[k] = std::abs(even + std::polar(1.0, -2.0 * Pi * k / n) * odd);
  }
  return magnitude;
}

TResponseCurve Measure(const std::vector<std::unique_ptr<TFilter>>& filters, int32_t sampleRate) {
  const auto threshold = static_cast<float>(ImpulseHeight * DbToAmplitude(FloorDb));
  // Quiet for longer than the longest echo delay (one second) before the response counts as ended.
  const int64_t quietFrames = std::max<int64_t>(ChunkFrames, sampleRate + sampleRate / 10);
  std::vector<float> signal;
  int64_t lastLoud = -1;
  for (int32_t at = 0; at < MaxResponseLength; at += ChunkFrames) {
    signal.resize(static_cast<size_t>(at) + ChunkFrames, 0.0f);
    float* const chunk = signal.data() + at;
    if (at == 0) {
      chunk[0] = ImpulseHeight;
    }
    for (const std::unique_ptr<TFilter>& f : filters) {
      ChannelBlock block;
      block.Samples = chunk;
      block.Frames = ChunkFrames;
      f->Process(block, 0);
    }
    for (int32_t i = ChunkFrames - 1; i >= 0; --i) {
      if (!(std::abs(chunk[i]) < threshold)) { // not-a-number counts as loud
        lastLoud = at + i;
        break;
      }
    }
    if (at + ChunkFrames - (lastLoud + 1) >= quietFrames) {
      break;
    }
  }

  TResponseCurve curve;
  curve.SampleRate = sampleRate;
  curve.ImpulseLength = static_cast<int32_t>(lastLoud + 1);
  int32_t length = ShortestTransform;
  while (length < curve.ImpulseLength && length < MaxResponseLength) {
    length *= 2;
  }
  signal.resize(static_cast<size_t>(length), 0.0f);
  curve.Db.resize(static_cast<size_t>(length / 2));
  if (length == ShortestTransform) {
    // The transform the displays share, so that a short response keeps the values it always had.
    std::vector<float> im(static_cast<size_t>(length), 0.0f);
    RealFFT(length, signal.data(), im.data());
    for (int32_t k = 0; k < length / 2; ++k) {
      const double re = signal[k];
      const double imag = im[k];
      curve.Db[k] = AmplitudeToDb(std::sqrt(re * re + imag * imag) / ImpulseHeight);
    }
    return curve;
  }
  const std::vector<double> magnitude = PreciseMagnitudes(signal, length);
  for (int32_t k = 0; k < length / 2; ++k) {
    curve.Db[k] = AmplitudeToDb(magnitude[k] / ImpulseHeight);
  }
  return curve;
}

TResponse AtOldBins(const TResponseCurve& curve) {
  TResponse response{};
  const size_t step = curve.Db.size() / ResponseBins;
  for (size_t k = 0; k < ResponseBins; ++k) {
    response[k] = curve.Db[k * step];
  }
  return response;
}

} // namespace

TResponseCurve MeasureResponseCurve(const TFilter& filter) {
  std::vector<std::unique_ptr<TFilter>> copies;
  if (std::unique_ptr<TFilter> copy = CopyOf(filter, filter.SampleRate())) {
    copies.push_back(std::move(copy));
  }
  return Measure(copies, filter.SampleRate());
}

TResponseCurve MeasureResponseCurve(const TFilterList& chain) {
  std::vector<std::unique_ptr<TFilter>> copies;
  for (int i = 0; i < chain.Count(); ++i) {
    if (chain.IsEnabled(i) && chain.Item(i) != nullptr) {
      if (std::unique_ptr<TFilter> copy = CopyOf(*chain.Item(i), chain.SampleRate())) {
        copies.push_back(std::move(copy));
      }
    }
  }
  return Measure(copies, chain.SampleRate());
}

TResponse MeasureFrequencyResponse(const TFilter& filter) {
  return AtOldBins(MeasureResponseCurve(filter));
}

TResponse MeasureFrequencyResponse(const TFilterList& chain) {
  return AtOldBins(MeasureResponseCurve(chain));
}

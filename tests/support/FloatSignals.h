// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Float signals for tests, with independent references in double precision: a direct DFT, a
// time-domain convolution, sines and noise, level measurement, and a filter run block by block.
//
// Threads: free functions on their arguments only.

#include "dsp/Filter.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <random>
#include <utility>
#include <vector>

namespace sonotest {

inline constexpr double TwoPi = 2.0 * 3.141592653589793;
// The sample rates the filters are checked at.
inline constexpr int TestRates[] = {8000, 22050, 44100, 48000};

inline std::vector<std::complex<double>> DirectDFT(const std::vector<float>& re,
                                                   const std::vector<float>& im) {
  const size_t n = re.size();
  std::vector<std::complex<double>> out(n);
  for (size_t k = 0; k < n; ++k) {
    std::complex<double> sum = 0.0;
    for (size_t t = 0; t < n; ++t) {
      // Reduce k*t modulo n first so that the angle stays exact for large n.
      const double angle = -TwoPi * static_cast<double>((k * t) % n) / static_cast<double>(n);
      sum += std::complex<double>(re[t], im[t]) * std::complex<double>(std::cos(angle), std::sin(angle));
    }
    out[k] = sum;
  }
  return out;
}

// y[n] = sum_i h[i] x[n - i] for n = 0..x.size()-1 (the stream before x is silent).
inline std::vector<double> Convolve(const std::vector<float>& x, const std::vector<float>& h) {
  std::vector<double> y(x.size(), 0.0);
  for (size_t n = 0; n < x.size(); ++n) {
    double sum = 0.0;
    for (size_t i = 0; i < h.size() && i <= n; ++i) {
      sum += static_cast<double>(h[i]) * x[n - i];
    }
    y[n] = sum;
  }
  return y;
}

inline std::vector<float> RandomSignal(size_t n, double amplitude, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> dist(-amplitude, amplitude);
  std::vector<float> x(n);
  for (auto& v : x) {
    v = static_cast<float>(dist(rng));
  }
  return x;
}

inline std::vector<float> Sine(size_t n, double frequency, int sampleRate, double amplitude) {
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i) {
    x[i] = static_cast<float>(amplitude * std::sin(TwoPi * frequency * static_cast<double>(i) / sampleRate));
  }
  return x;
}

// Peak amplitude of a sine from its RMS over [from, to).
inline double SineAmplitude(const std::vector<float>& x, size_t from, size_t to) {
  double sum = 0.0;
  for (size_t i = from; i < to; ++i) {
    sum += static_cast<double>(x[i]) * x[i];
  }
  return std::sqrt(2.0 * sum / static_cast<double>(to - from));
}

// Amplitude of the component of x[from, to) at `frequency` (correlation with a sine and a cosine);
// exact for a sine of a whole number of periods in the stretch.
inline double AmplitudeAt(const std::vector<float>& x, size_t from, size_t to, double frequency,
                          int sampleRate) {
  double re = 0.0, im = 0.0;
  for (size_t i = from; i < to; ++i) {
    const double phase = TwoPi * frequency * static_cast<double>(i) / sampleRate;
    re += x[i] * std::cos(phase);
    im += x[i] * std::sin(phase);
  }
  return 2.0 * std::hypot(re, im) / static_cast<double>(to - from);
}

// Runs a whole signal through one channel of a filter in blocks of the given lengths (repeated), as
// samples of a 16-bit format.
inline void ProcessInBlocks(TFilter& filter, std::vector<float>& x, const std::vector<int32_t>& blockLengths,
                            int channel = 0) {
  size_t at = 0;
  size_t which = 0;
  while (at < x.size()) {
    const auto frames = static_cast<int32_t>(
        std::min<size_t>(static_cast<size_t>(blockLengths[which % blockLengths.size()]), x.size() - at));
    ChannelBlock block;
    block.Format.wBitsPerSample = 16;
    block.Samples = x.data() + at;
    block.Frames = frames;
    filter.Process(block, channel);
    at += static_cast<size_t>(frames);
    ++which;
  }
}

// The same signal through two filters block by block, `between` run after each block (an edit of
// the first that should change nothing); the two outputs.
template <typename Between>
std::pair<std::vector<float>, std::vector<float>> ProcessSideBySide(TFilter& edited, TFilter& untouched,
                                                                    const std::vector<float>& x,
                                                                    int32_t blockFrames, Between between) {
  std::pair<std::vector<float>, std::vector<float>> out{x, x};
  for (size_t at = 0; at < x.size(); at += static_cast<size_t>(blockFrames)) {
    const auto frames =
        static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(blockFrames), x.size() - at));
    ChannelBlock block;
    block.Frames = frames;
    block.Samples = out.first.data() + at;
    edited.Process(block, 0);
    block.Samples = out.second.data() + at;
    untouched.Process(block, 0);
    between();
  }
  return out;
}

// Writes parameters by name (through their descriptions) and applies them, as a dialog does.
inline void SetParameters(TFilter& filter, std::initializer_list<std::pair<const char*, double>> values) {
  const std::lock_guard guard(filter.Lock());
  for (const auto& [name, value] : values) {
    for (int i = 0; i < filter.ParameterCount(); ++i) {
      if (std::strcmp(filter.Parameter(i).Name, name) == 0) {
        SetValueAt(*filter.Parameter(i).Description, filter.Parameter(i).Storage, value);
      }
    }
  }
  filter.Apply();
}

inline double MaxAbsDifference(const std::vector<float>& a, const std::vector<double>& b, size_t from,
                               size_t to) {
  double worst = 0.0;
  for (size_t i = from; i < to; ++i) {
    worst = std::max(worst, std::abs(static_cast<double>(a[i]) - b[i]));
  }
  return worst;
}

} // namespace sonotest

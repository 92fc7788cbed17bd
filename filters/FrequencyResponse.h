// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The measured amplitude-frequency response of one filter, or of every enabled filter of a chain in
// order: an impulse through fresh copies (NewOfType + CopyParameters), then one RealFFT of the
// whole impulse response. The real filters are only read: their parameters, never their state.
//
// The impulse response is followed until it has stayed below the chart's floor (-120 dB) for longer
// than the longest repetition any filter makes (an echo of up to one second), so an FIR chain is
// measured over all its kernels and an echo or a reverberation over its whole tail, up to
// MaxResponseLength samples. The transform is as long as the response, at least 1024 points: a
// response that fits in 1024 samples gives exactly the values of a 1024-sample measurement.
//
// The impulse has the height of a 16-bit full-scale sample, 2^15: filters that round to whole
// sample values (the reverberation's tail) show their response at the level they work at, and for
// every linear filter the scaling is exact in floating point.

#include "dsp/Filter.h"
#include "dsp/FilterList.h"

#include <array>
#include <cstdint>
#include <vector>

inline constexpr int ResponseBins = 512;
using TResponse = std::array<double, ResponseBins>; // gain in dB of bin k, k * fs / 1024 Hz

inline constexpr int32_t MaxResponseLength = 1 << 20;

struct TResponseCurve {
  int32_t SampleRate = 0;
  // Gain in dB of bin k of the transform, k * SampleRate / (2 * Db.size()) Hz, for 0 <= f < fs / 2;
  // at least 512 bins.
  std::vector<double> Db;
  // Samples of the impulse response above the floor.
  int32_t ImpulseLength = 0;
};

TResponseCurve MeasureResponseCurve(const TFilter& filter);
TResponseCurve MeasureResponseCurve(const TFilterList& chain);
// The curve at the frequencies k * fs / 1024, k = 0..511.
TResponse MeasureFrequencyResponse(const TFilter& filter);
TResponse MeasureFrequencyResponse(const TFilterList& chain);

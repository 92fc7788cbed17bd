#pragma once
// The measured amplitude-frequency response: a 1024-sample unit impulse through fresh copies of
// one filter, or of every enabled filter of a chain in order (CreateFilter + CopyParameters), then
// a 1024-point RealFFT. The real filters are only read: their parameters, never their state.

#include "dsp/Filter.h"
#include "dsp/FilterList.h"

#include <array>

inline constexpr int ResponseBins = 512;
using TResponse = std::array<double, ResponseBins>; // gain in dB of bin k, k * fs / 1024 Hz

TResponse MeasureFrequencyResponse(const TFilter& filter);
TResponse MeasureFrequencyResponse(const TFilterList& chain);

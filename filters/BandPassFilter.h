// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Windowed-sinc band-pass and band-stop filters (types 2 and 3), run by TFIRFilter.
//
//   band-pass: h = lowpass(UpperFreq) - lowpass(LowerFreq)
//   band-stop: delta[i - N/2] - h[i]                          (spectral inversion)
//
// each low-pass kernel being TLowPassFilter's (unity gain at 0 Hz), so the pass band has unity gain.
// Parameters: "LowerFreq" and "UpperFreq" in Hz (0..fs/2, the lower not above the upper),
// "WindowType" 0 = Hamming, other = Blackman, "KernelSize" N, a power of two (8..1024); the kernel has
// N + 1 taps, delay N/2 samples. A narrow band needs a long kernel: the edges are about 4 fs / N wide.
// Threads: as TFIRFilter.

#include "dsp/FilterDescriptor.h"
#include "filters/FIRFilter.h"

#include <cstdint>

class TBandPassFilter : public TFIRFilter {
public:
  explicit TBandPassFilter(int32_t sampleRate);

  int32_t LowerFreq = 300;
  int32_t UpperFreq = 3400;
  int32_t WindowType = 0;

protected:
  // The band-pass parameters under another type's descriptor (the band-stop).
  TBandPassFilter(int32_t sampleRate, const TFilterDescriptor& descriptor);
  void DesignKernel() override;
};

class TBandStopFilter : public TBandPassFilter {
public:
  explicit TBandStopFilter(int32_t sampleRate);

protected:
  void DesignKernel() override;
};

// Types 2 and 3: their names, their dialog, their parameters and their factories.
extern const TFilterDescriptor BandPassDescriptor;
extern const TFilterDescriptor BandStopDescriptor;

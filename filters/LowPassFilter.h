// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Windowed-sinc low-pass and high-pass filters (types 0 and 1), run by TFIRFilter.
//
//   low-pass:  h[i] = w(i) * sin(2 pi fc/fs (i - N/2)) / (i - N/2), normalised to unity gain at 0 Hz
//   high-pass: delta[i - N/2] - h[i]                                 (spectral inversion)
//
// Parameters: "fc" cut-off in Hz (0..fs/2), "WindowType" 0 = Hamming, other = Blackman,
// "KernelSize" N, a power of two (8..1024); the kernel has N + 1 taps, delay N/2 samples.
// Threads: as TFIRFilter.

#include "dsp/FilterDescriptor.h"
#include "filters/FIRFilter.h"

#include <cstdint>

// The window and the kernel size, described once for every windowed-sinc design, and the cut-off.
extern const TParameterDescription WindowTypeDescription;
extern const TParameterDescription KernelSizeDescription;
extern const TParameterDescription LowPassCutoffDescription;

class TLowPassFilter : public TFIRFilter {
public:
  explicit TLowPassFilter(int32_t sampleRate);

  int32_t fc = 1000;
  int32_t WindowType = 0;

protected:
  // The low-pass parameters under another type's descriptor (the high-pass).
  TLowPassFilter(int32_t sampleRate, const TFilterDescriptor& descriptor);
  void DesignKernel() override;
};

class THighPassFilter : public TLowPassFilter {
public:
  explicit THighPassFilter(int32_t sampleRate);

protected:
  void DesignKernel() override;
};

// Types 0 and 1: their names, their dialog, their parameters and their factories.
extern const TFilterDescriptor LowPassDescriptor;
extern const TFilterDescriptor HighPassDescriptor;

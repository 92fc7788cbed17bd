// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TMultiBandFilter (type 4): a 20-band graphic equaliser as one linear-phase FIR filter.
//
//   h[i] = sum_b Gain[b] * (lowpass(hi_b)[i] - lowpass(lo_b)[i]),  i = 0..N-1, N = 1024 (Blackman)
//
// Band edges lie halfway (integer halving, Hz) between the centres 50 ... 16000 Hz; the top band
// ends at fs/2 and bands above fs/2 are not used. With every gain 1.0 the filter is a pure delay of
// 512 samples. Parameter: "Gain", 20 linear amplitude gains (0..MaxGain), lowest band first.
// Threads: as TFIRFilter; a redesign (40 kernels and one transform) holds Lock() while it runs, never
// StateLock(): the worker goes on with the kernel it has until the new taps are handed over.

#include "dsp/FilterDescriptor.h"
#include "filters/FIRFilter.h"

#include <array>
#include <cstdint>
#include <vector>

class TMultiBandFilter : public TFIRFilter {
public:
  static constexpr int BandCount = 20;
  // +120 dB, far above the dialog's +30 dB: a larger gain overflows the float kernel, and the
  // convolution then turns every sample into NaN.
  static constexpr double MaxGain = 1e6;
  static constexpr std::array<int32_t, BandCount> BandCentres = {50,   100,  200,   300,   400,   500,  600,
                                                                 700,  800,  1000,  2000,  3000,  4000, 5000,
                                                                 6000, 8000, 10000, 12000, 14000, 16000};

  explicit TMultiBandFilter(int32_t sampleRate);

  std::array<int32_t, BandCount> Centres{};
  double Gain[BandCount] = {};

protected:
  void DesignKernel() override;

private:
  int32_t windowType = 1;
  std::vector<float> bandKernel; // one band's N + 1 taps while the kernel is designed
};

// Type 4: its names, its dialog, its parameters and its factory.
extern const TFilterDescriptor MultiBandDescriptor;

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TDCRemoval (type 8): a first-order high-pass that takes the constant component out of the signal.
//
//   y[n] = g (x[n] - x[n-1]) + R y[n-1],   R = (1 - K) / (1 + K),  g = (1 + R) / 2,  K = tan(pi fc / fs)
//
// (the bilinear transform of s / (s + 1) at the pre-warped cut-off): unity gain at fs/2, -3 dB at fc,
// a zero at 0 Hz. Parameter: "fc", the cut-off in Hz (1..200). A new cut-off crosses over from the old
// section (TBiquadCascade), so an edit does not click.
//
// Threads: as TIIRFilter.

#include "dsp/DesignExchange.h"
#include "dsp/Filter.h"
#include "dsp/FilterDescriptor.h"
#include "filters/Biquad.h"

#include <array>
#include <cstdint>

class TDCRemoval : public TFilter {
public:
  explicit TDCRemoval(int32_t sampleRate);

  void ClearState() override;
  void Process(ChannelBlock& block, int channel) override;
  void Update() override;

  int32_t fc = 10;

private:
  TDesignExchange<TBiquadCascade::TSet> designs;
  std::array<const TBiquadCascade::TSet*, 2> taken{}; // per channel, the design its cascade runs
  TBiquadCascade cascade;
};

// Type 8: its names, its dialog, its parameters and its factory.
extern const TFilterDescriptor DCRemovalDescriptor;

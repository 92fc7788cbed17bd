// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TChebyshevFilter (type 6): a Chebyshev type I low-pass or high-pass filter of order 2 to 8, run as
// cascaded second-order sections (and one first-order section for an odd order).
//
//   |H(W)|^2 = 1 / (1 + e^2 T_n(W / Wc)^2)    (low-pass; W / Wc becomes Wc / W for the high-pass)
//   e^2 = 10^(RippleDb / 10) - 1,  W = tan(pi f / fs),  Wc = tan(pi fc / fs)
//
// The pass band ripples between 0 and -RippleDb dB and the gain at the cut-off is -RippleDb dB (the
// edge of the ripple band). The analog prototype's poles are scaled to the pre-warped cut-off and each
// pair (or the real pole) is mapped by the bilinear transform. Parameters: "Kind" 0 low-pass, 1
// high-pass; "fc" in Hz (10..0.45 fs); "Order" (2..8); "RippleDb" (0.01..3).
// A new design crosses over from the old one (TBiquadCascade), so an edit does not click.
//
// Threads: as TIIRFilter.

#include "dsp/DesignExchange.h"
#include "dsp/Filter.h"
#include "dsp/FilterDescriptor.h"
#include "filters/Biquad.h"

#include <array>
#include <cstdint>

class TChebyshevFilter : public TFilter {
public:
  explicit TChebyshevFilter(int32_t sampleRate);

  void ClearState() override;
  void Process(ChannelBlock& block, int channel) override;
  void Update() override;

  int SectionCount() const { return designs.Latest().Count; }
  const TBiquad& Section(int i) const { return designs.Latest().Sections[static_cast<size_t>(i)]; }

  int32_t Kind = 0;
  int32_t fc = 1000;
  int32_t Order = 4;
  double RippleDb = 0.5;

private:
  TDesignExchange<TBiquadCascade::TSet> designs;
  std::array<const TBiquadCascade::TSet*, 2> taken{}; // per channel, the design its cascade runs
  TBiquadCascade cascade;
};

// Type 6: its names, its dialog, its parameters and its factory.
extern const TFilterDescriptor ChebyshevDescriptor;

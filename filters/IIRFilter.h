// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TIIRFilter (type 5): one second-order section of the common equaliser kinds, designed from its analog
// prototype by the bilinear transform with the frequency pre-warped (w0 = 2 pi Freq / fs, K = tan(w0/2)):
//
//   low-pass   1 / (s^2 + s/Q + 1)              high-pass   s^2 / (s^2 + s/Q + 1)
//   band-pass  (s/Q) / (s^2 + s/Q + 1)          notch       (s^2 + 1) / (s^2 + s/Q + 1)
//   peaking    (s^2 + s A/Q + 1) / (s^2 + s/(A Q) + 1)
//   low shelf  A (s^2 + s sqrt(A)/Q + A) / (A s^2 + s sqrt(A)/Q + 1)
//   high shelf A (A s^2 + s sqrt(A)/Q + 1) / (s^2 + s sqrt(A)/Q + A)        A = 10^(GainDb / 40)
//
// with s normalised to the pre-warped frequency. Parameters: "Kind" (0..6 in the order above), "Freq"
// in Hz (10..0.45 fs), "Q" (0.1..30), "GainDb" (-24..+24, used by peaking and the shelves).
// A new design crosses over from the old one (TBiquadCascade), so an edit does not click.
//
// Threads: Process runs on the worker under StateLock() (the two channels may run at once on two
// threads; each touches only its own state) and hands the newest design of the design exchange to its
// channel of the cascade. Update runs on the user-interface thread (Apply, Load) or in the constructor
// and publishes the section it designs.

#include "dsp/DesignExchange.h"
#include "dsp/Filter.h"
#include "dsp/FilterDescriptor.h"
#include "filters/Biquad.h"

#include <array>
#include <cstdint>

enum class TBiquadKind : int32_t { LowPass, HighPass, BandPass, Notch, Peaking, LowShelf, HighShelf };

// The section of a kind at the normalised frequency f0 = Freq / fs.
TBiquad DesignBiquad(TBiquadKind kind, double f0, double q, double gainDb);

class TIIRFilter : public TFilter {
public:
  explicit TIIRFilter(int32_t sampleRate);

  void ClearState() override;
  void Process(ChannelBlock& block, int channel) override;
  void Update() override;

  const TBiquad& Section() const { return designs.Latest().Sections[0]; }

  int32_t Kind = 0;
  double Freq = 1000.0;
  double Q = 0.707;
  double GainDb = 6.0;

private:
  TDesignExchange<TBiquadCascade::TSet> designs;
  std::array<const TBiquadCascade::TSet*, 2> taken{}; // per channel, the design its cascade runs
  TBiquadCascade cascade;
};

// Type 5: its names, its dialog, its parameters and its factory.
extern const TFilterDescriptor IIRDescriptor;

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TSynthesis (type 14): a band-limited oscillator mixed with the signal.
//
//   y[n] = (1 - m) x[n] + m A S o(f n / fs),   A = 10^(LevelDb / 20)
//
// o is one period of the waveform built from its harmonics below half the rate (so nothing folds
// back): sine; square (4/pi) sum_odd sin(k t)/k; sawtooth (2/pi) sum (-1)^(k+1) sin(k t)/k; triangle
// (8/pi^2) sum_odd (-1)^((k-1)/2) sin(k t)/k^2; each peaks at 1 before the band limit (the square and
// the sawtooth overshoot by about 9 % after it). The period is held in a table of at least 64 points per
// harmonic and read with a four-point cubic interpolation; one table serves a sixth of an octave (the
// harmonics below half the rate at its top), so a new frequency within it only changes the pace. S is the
// full scale (32768, or 128 for 8-bit sound). "Waveform" 0 sine, 1 square, 2 sawtooth, 3 triangle; "Freq" in
// Hz (1..0.45 fs); "LevelDb" (-120..0) the peak level relative to full scale; "Mix" in % (0..100).
//
// Edits do not click: a new waveform or frequency crosses over from the oscillator that is playing (it
// runs on at its own frequency and fades out over RampFrames samples while the new one fades in from
// its phase), and the level and the mix glide.
//
// Threads: Process runs on the worker under StateLock() (the two channels may run at once on two
// threads; each touches only its own phases and ramps; the tables are only read) and takes the newest
// design from the design exchange, holding the one it fades from until the fade ends. Update runs on
// the user-interface thread (Apply, Load) or in the constructor: it builds a new table there when the
// waveform or the band changes (designs share a table otherwise) and publishes the design. Tables are
// freed there too, with the last design that uses them.

#include "dsp/DesignExchange.h"
#include "dsp/Filter.h"
#include "dsp/FilterDescriptor.h"
#include "filters/Ramp.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

class TSynthesis : public TFilter {
public:
  explicit TSynthesis(int32_t sampleRate);

  void ClearState() override;
  void Process(ChannelBlock& block, int channel) override;
  void Update() override;

  // One period of the oscillator now designed, and its number of harmonics.
  const std::vector<float>& Table() const { return designs.Latest().Table->Samples; }
  int32_t Harmonics() const { return designs.Latest().Table->Harmonics; }

  int32_t Waveform = 0;
  double Freq = 440.0;
  double LevelDb = -20.0;
  double Mix = 50.0;

private:
  struct TTable {
    std::vector<float> Samples; // one period, a power of two long
    int32_t Waveform = -1;
    int32_t Harmonics = 0;
  };
  // What an Update asks for: the table (shared with the designs before it while the band holds), the
  // pace it is read at, the peak level and the oscillator's share.
  struct TDesign {
    std::shared_ptr<const TTable> Table;
    double Freq = 0.0;
    double Level = 0.0;
    double Wet = 0.0;
    bool operator==(const TDesign&) const = default;
  };
  struct TChannel {
    const TDesign* Now = nullptr;             // the design playing; null: none yet
    const TDesign* Before = nullptr;          // the design it fades from, while Fade moves
    double NowPhase = 0.0, BeforePhase = 0.0; // of each oscillator, in turns
    TRamp Fade;                               // the share of the design playing: 0 to 1 while crossing
    TRamp Level, Wet;
    bool Playing = false;
  };
  // Harmonics below half the rate at the top of the frequency's sixth of an octave.
  static int32_t HarmonicsFor(double freq, int32_t sampleRate);
  static void Build(TTable& table, int32_t waveform, int32_t harmonics);
  // A channel takes a new design: a new table crosses over, the level and the share glide.
  void Adopt(TChannel& c, const TDesign& design);

  TDesignExchange<TDesign> designs;
  std::array<TChannel, 2> channels{};
};

// Type 14: its names, its dialog, its parameters and its factory.
extern const TFilterDescriptor SynthesisDescriptor;

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
// threads; each touches only its own phases and ramps; the tables are only read). Update runs on the
// user-interface thread (Apply, Load) or in the constructor: a new table is built off StateLock() and
// put in place of the one that fades out under it, with the phases, fades and glides, in O(1); the
// table it replaced is freed after. Only Update changes which table plays.

#include "dsp/Filter.h"
#include "filters/Ramp.h"

#include <array>
#include <cstdint>
#include <vector>

class TSynthesis : public TFilter {
public:
  explicit TSynthesis(int32_t sampleRate);

  void ClearState() override;
  void Process(ChannelBlock& block, int channel) override;
  void Update() override;

  // One period of the oscillator now designed, and its number of harmonics.
  const std::vector<float>& Table() const { return tables[current].Samples; }
  int32_t Harmonics() const { return tables[current].Harmonics; }

  int32_t Waveform = 0;
  double Freq = 440.0;
  double LevelDb = -20.0;
  double Mix = 50.0;

private:
  struct TTable {
    std::vector<float> Samples; // one period, a power of two long
    int32_t Waveform = -1;
    double Freq = 0.0; // the pace it is read at
    int32_t Harmonics = 0;
  };
  struct TChannel {
    std::array<double, 2> Phase{}; // of each table's oscillator, in turns
    TRamp Fade;                    // the share of the current table: 0 to 1 while crossing
    TRamp Level, Wet;
    bool Playing = false;
  };
  // Harmonics below half the rate at the top of the frequency's sixth of an octave.
  static int32_t HarmonicsFor(double freq, int32_t sampleRate);
  static void Build(TTable& table, int32_t waveform, int32_t harmonics);

  std::array<TTable, 2> tables;
  int current = 0; // the table playing; the other one fades out
  std::array<TChannel, 2> channels{};
};

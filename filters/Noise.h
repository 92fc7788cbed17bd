// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TNoise (type 12): noise added to the signal, white or pink, the same on every run.
//
//   y[n] = x[n] + A * w[n]  (white)   or   x[n] + A * P(w)[n]  (pink),   A = S * 10^(LevelDb / 20)
//
// w is near-Gaussian (the sum of four uniform values), of unit power; P is a pink-noise filter: first-
// order sections with poles from 10 Hz upwards two octaves apart and a zero an octave above each pole,
// which tilts the spectrum by -3 dB per octave above 10 Hz, scaled to unit power. S is the full scale
// of the samples (32768, or 128 for 8-bit sound), so "LevelDb" (-120..0) is the root-mean-square level
// relative to full scale. "Kind" 0 white, 1 pink; "Seed" (0..2147483647) starts the generator, the
// second channel from a seed of its own, and the generator starts over whenever the filter is cleared.
//
// Edits do not click: the levels of the white and the pink part glide over RampFrames samples (a change
// of kind crosses from one to the other).
//
// Threads: Process runs on the worker under StateLock() (the two channels may run at once on two
// threads; each touches only its own generator, sections and levels) and takes the newest levels and
// seed from the design exchange. Update runs on the user-interface thread (Apply, Load) or in the
// constructor and publishes them.

#include "dsp/DesignExchange.h"
#include "dsp/Filter.h"
#include "dsp/FilterDescriptor.h"
#include "filters/Ramp.h"

#include <array>
#include <cstdint>

class TNoise : public TFilter {
public:
  static constexpr int PinkSections = 6;

  explicit TNoise(int32_t sampleRate);

  void ClearState() override;
  void Process(ChannelBlock& block, int channel) override;
  void Update() override;

  int32_t Kind = 0;
  double LevelDb = -40.0;
  int32_t Seed = 1;

private:
  struct TDesign {
    double White = 0.0, Pink = 0.0; // amplitudes relative to full scale
    int32_t Seed = 1;
  };
  struct TChannel {
    const TDesign* Design = nullptr; // the design taken last; null: none yet
    int32_t Seeded = -1;             // the seed the generator started from
    uint64_t Random = 0;
    std::array<double, PinkSections> x1{}, y1{};
    TRamp White, Pink; // amplitudes relative to full scale
    bool Playing = false;
  };
  void Reseed(int channel, int32_t seed);

  std::array<double, PinkSections> pole{}, zero{};
  double pinkScale = 1.0; // unit power out of the pink sections
  TDesignExchange<TDesign> designs;
  std::array<TChannel, 2> channels{};
};

// Type 12: its names, its dialog, its parameters and its factory.
extern const TFilterDescriptor NoiseDescriptor;

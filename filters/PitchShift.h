// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TPitchShift (type 15): the signal shifted in pitch by reading a delay line with two heads that move
// at r = 2^(Semitones / 12) times the speed of writing.
//
//   y[n] = sin^2(pi p) x(n - 2 - p W) + cos^2(pi p) x(n - 2 - ((p + 1/2) mod 1) W),
//   p[n + 1] = (p[n] + (1 - r) / W) mod 1
//
// W is the window in samples. Each head's delay sweeps across the window and jumps back by W where its
// weight is zero, so the heads take turns and the weights always sum to 1. The latency is constant on
// average: 2 + W/2 samples, which LatencyFrames states. "Semitones" (-12..+12), "Window" in ms
// (10..200): a longer window blurs short sounds less often but smears their onsets more.
//
// Edits do not click: a new shift only changes the heads' speed; a new window is reached by a glide of
// at most 5 % speed change.
//
// Threads: Process runs on the worker under StateLock() (the two channels may run at once on two
// threads; each touches only its own line and heads) and takes the newest speed and window from the
// design exchange. Update runs on the user-interface thread (Apply, Load) or in the constructor and
// publishes them.

#include "dsp/DesignExchange.h"
#include "dsp/Filter.h"
#include "dsp/FilterDescriptor.h"
#include "filters/Ramp.h"

#include <array>
#include <cstdint>

class TPitchShift : public TFilter {
public:
  static constexpr int32_t MaxWindowMs = 200;

  explicit TPitchShift(int32_t sampleRate);

  void ClearState() override;
  void Process(ChannelBlock& block, int channel) override;
  void Update() override;

  // The mean delay of the output, in samples, for the current window.
  double LatencyFrames() const;

  double Semitones = 5.0;
  int32_t Window = 50;

private:
  struct TDesign {
    double Speed = 1.0;         // r
    double WindowSamples = 4.0; // W
  };
  struct TChannel {
    const TDesign* Design = nullptr; // the design taken last; null: none yet
    double Speed = 1.0;              // as that design asks
    int32_t Position = 0;            // next slot of the line to write
    double Head = 0.0;               // p: where the first head is in its sweep, 0..1
    TRamp WindowSamples;
    bool Playing = false;
  };

  int32_t mask = 0; // the line's length less one (a power of two)
  TDesignExchange<TDesign> designs;
  std::array<TChannel, 2> channels{};
};

// Type 15: its names, its dialog, its parameters and its factory.
extern const TFilterDescriptor PitchShiftDescriptor;

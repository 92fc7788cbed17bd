// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TChorus (type 10): copies of the signal, each read from a delay line at a delay that a slow sine
// sweeps, mixed with the dry signal.
//
//   y[n] = (1 - m) x[n] + m / V * sum_v x(n - d_v(n)),   d_v(n) = D + W (1 - cos(2 pi (f n / fs + p_v))) / 2
//
// D "Delay" (1..50 ms), W "Depth" (0..20 ms), f "Rate" (0.05..5 Hz), V "Voices" (1..6), m "Mix"
// (0..100 %). Voice v starts at phase p_v = v * 0.618..., the second channel a quarter turn later, so
// that the voices and the two channels sweep apart. The delay line is read between samples with a
// four-point cubic (Hermite) interpolation; the sweep is computed exactly every 32 samples of the stream
// (whatever the blocks) and in a straight line in between.
//
// Edits do not click: the mix and each voice's share glide over RampFrames samples, and a new delay or
// depth is reached by a glide of at most 5 % speed change (a short detune, never a jump).
//
// Threads: Process runs on the worker under StateLock() (the two channels may run at once on two
// threads; each touches only its own line and sweep); a channel that takes a new design from the
// design exchange sets its glides for it. Update runs on the user-interface thread (Apply, Load) or in
// the constructor and publishes the design; the line is made once, by the constructor.

#include "dsp/DesignExchange.h"
#include "dsp/Filter.h"
#include "dsp/FilterDescriptor.h"
#include "filters/Ramp.h"

#include <array>
#include <cstdint>

class TChorus : public TFilter {
public:
  static constexpr int32_t MaxVoices = 6;
  static constexpr double MaxDelayMs = 50.0;
  static constexpr double MaxDepthMs = 20.0;

  explicit TChorus(int32_t sampleRate);

  void ClearState() override;
  void Process(ChannelBlock& block, int channel) override;
  void Update() override;

  int32_t Voices = 3;
  double Delay = 20.0;
  double Depth = 3.0;
  double Rate = 0.8;
  double Mix = 50.0;

private:
  // A voice's delay (samples) and gain along the current stretch of the sweep: the value at the
  // stretch's start, its step per sample, and the value at the stretch's end.
  struct TVoice {
    double Delay = 0.0, DelayStep = 0.0, DelayEnd = 0.0;
    double Gain = 0.0, GainStep = 0.0, GainEnd = 0.0;
  };
  // What an Update asks for: the sweep's rate, the targets of the glides in samples, the share of the
  // copies, and the copies in use.
  struct TDesign {
    double Rate = 0.0;
    double DelaySamples = 0.0;
    double DepthSamples = 0.0;
    double Wet = 0.0;
    int32_t Voices = 1;
  };
  struct TChannel {
    const TDesign* Design = nullptr; // the design the channel's glides head for; null: none yet
    double Rate = 0.0;               // of the sweep, as that design asks
    int32_t Position = 0;            // next slot of the line to write
    double Phase = 0.0;              // of the sweep at the end of the stretch, in turns
    int32_t StretchLeft = 0;         // samples of the stretch still to come
    TRamp DelaySamples, DepthSamples, Wet;
    std::array<TRamp, MaxVoices> Share{}; // each voice's part of the wet signal
    std::array<TVoice, MaxVoices> Voices{};
    double Dry = 1.0, DryStep = 0.0, DryEnd = 1.0;
    bool Playing = false;
  };
  void Retarget(TChannel& c, bool playing, const TDesign& design);
  // Ends the stretch where the ramps and the sweep now are (a channel that is not playing).
  void Settle(TChannel& c);
  // Starts the next stretch: the values at its end, and the steps that lead there.
  void NextStretch(TChannel& c);

  int32_t mask = 0; // the line's length less one (a power of two)
  TDesignExchange<TDesign> designs;
  std::array<TChannel, 2> channels{};
};

// Type 10: its names, its dialog, its parameters and its factory.
extern const TFilterDescriptor ChorusDescriptor;

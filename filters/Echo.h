// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TEcho (type 9): a repeating echo from one feedback delay line per channel.
//
//   y[n] = x[n] + g * y[n - (L - 1)],   L = trunc(Delay * 0.001 * fs),  g = 10^(-3 * Delay / DecayTime)
//
// Parameters: "Delay", echo spacing in ms (1..1000); "DecayTime", time in ms for the echo to fall
// by 60 dB (10..10000). The delay lines are the channel state: rings long enough for the longest
// delay, so that a new Delay only moves the read tap over the output already there.
//
// Edits do not click: an Update that changes neither L nor g changes nothing; otherwise the next block
// goes linearly from the old echo to the new one, y[n] = x[n] + (1 - w) g0 y[n - d0] + w g1 y[n - d1]
// with w rising from 1/B to 1 over its B samples, and the block after it runs on the new values.
//
// Threads: Process runs on the worker under StateLock() (the two channels may run at once on two
// threads; each touches only its own line, write position and applied values) and takes the newest tap
// from the design exchange. Update runs on the user-interface thread (Apply, Load) or in the
// constructor and publishes a new tap there; the lines, made once long enough for any delay, are
// exchanged under StateLock() (at construction).

#include "dsp/DesignExchange.h"
#include "dsp/Filter.h"
#include "dsp/FilterDescriptor.h"

#include <cstdint>

class TEcho : public TFilter {
public:
  explicit TEcho(int32_t sampleRate);

  void Process(ChannelBlock& block, int channel) override;
  // Silent lines: the next block starts on the current values, with nothing to glide from.
  void ClearState() override;
  // Takes the new delay and gain for the next block; sizes the lines (contents kept) only when they
  // are too short for the delay.
  void Update() override;

  // L in samples for the current Delay and sample rate.
  int32_t DelayLength() const;
  // g, the gain of each repetition.
  float EchoGain() const;

  int32_t Delay = 100;
  int32_t DecayTime = 1000;

private:
  // The echo a channel runs: the distance back to the sample it repeats, and its gain.
  struct TTap {
    int32_t distance = 1;
    float gain = 0.0f;
    friend bool operator==(const TTap&, const TTap&) = default;
  };

  TDesignExchange<TTap> designs;    // the tap of the last Update, for the channels to take
  TTap applied[2];                  // per channel, as of the end of its last block
  bool running[2] = {false, false}; // the line holds output since the last ClearState
  int32_t position[2] = {0, 0};     // next slot of each line to be written
};

// Type 9: its names, its dialog, its parameters and its factory.
extern const TFilterDescriptor EchoDescriptor;
// The descriptions of its parameters (its descriptor's table), named for the dialog made for it.
extern const TParameterDescription EchoDelayDescription;
extern const TParameterDescription EchoDecayTimeDescription;

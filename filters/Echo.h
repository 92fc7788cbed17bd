#pragma once
// TEcho (type 9): a repeating echo from one feedback delay line per channel.
//
//   y[n] = x[n] + g * y[n - (L - 1)],   L = trunc(Delay * 0.001 * fs),  g = 10^(-3 * Delay / DecayTime)
//
// Parameters: "Delay", echo spacing in ms (1..1000); "DecayTime", time in ms for the echo to fall
// by 60 dB (10..10000). The delay lines are the channel state (L floats each).
//
// Threads: Process runs on the worker under this filter's lock (the two channels may run at once on
// two threads; each touches only its own line and write position); Update runs on the user-interface
// thread under the same lock (Apply, Load) or in the constructor.

#include "dsp/Filter.h"

#include <cstdint>

class TEcho : public TFilter {
public:
  explicit TEcho(int32_t sampleRate);

  void Process(ChannelBlock& block, int channel) override;
  // Sizes the delay lines (contents kept when L is unchanged) and restarts both write positions.
  void Update() override;

  // L in samples for the current Delay and sample rate.
  int32_t DelayLength() const;
  // g, the gain of each repetition.
  float EchoGain() const;

  int32_t Delay = 100;
  int32_t DecayTime = 1000;

private:
  int32_t position[2] = {0, 0};
};

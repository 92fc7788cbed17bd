// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TMovingAverage (type 7): the mean of the last L input samples.
//
//   y[n] = (x[n] + x[n-1] + ... + x[n-L+1]) / L
//
// A running sum over a history line per channel; the sum is formed anew from the line every time the
// write position wraps, so rounding never accumulates. Parameter: "Length", L in samples (1..4096).
// A new length on a playing channel crosses from the old mean to the new one over RampFrames samples
// (both are read from the same history), so the output does not jump.
//
// Threads: Process runs on the worker under StateLock() (the two channels may run at once on two
// threads; each touches only its own line, sums and position). Update runs on the user-interface
// thread (Apply, Load) or in the constructor and only tells a playing channel, under StateLock(), which
// length to cross from and to; the channel's next block forms the new sums from its own line, as
// Update would have at that moment (the line does not move in between).

#include "dsp/Filter.h"
#include "filters/Ramp.h"

#include <array>
#include <cstdint>

class TMovingAverage : public TFilter {
public:
  static constexpr int32_t MaxLength = 4096;

  explicit TMovingAverage(int32_t sampleRate);

  void ClearState() override;
  void Process(ChannelBlock& block, int channel) override;
  void Update() override;

  int32_t Length = 16;

private:
  struct TChannel {
    int32_t Position = 0;   // next slot of the history line to write
    double Sum = 0.0;       // of the last `Taps` samples
    int32_t Taps = 16;      // the length this channel averages over
    double FadingSum = 0.0; // of the last `FadingTaps` samples, while crossing from that length
    int32_t FadingTaps = 0;
    TRamp Weight; // of the new mean against the old: 0 to 1 while crossing
    bool Playing = false;
    // A crossing asked for by Update and not yet begun: from FadeFrom taps to Requested taps.
    int32_t Requested = 0; // 0: none
    int32_t FadeFrom = 0;
    // The length the channel heads for: the one asked for, or the one it runs.
    int32_t Heading() const { return Requested != 0 ? Requested : Taps; }
  };
  void Restart(TChannel& c, int32_t taps);

  std::array<TChannel, 2> channels{};
};

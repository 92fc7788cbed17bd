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
// threads; each touches only its own line, sums and position) and takes the newest length from the
// design exchange; a playing channel forms the new sum from its own line as it takes it. Update runs on
// the user-interface thread (Apply, Load) or in the constructor and publishes the length.

#include "dsp/DesignExchange.h"
#include "dsp/Filter.h"
#include "dsp/FilterDescriptor.h"
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
  struct TDesign {
    int32_t Taps = 16;
  };
  struct TChannel {
    const TDesign* Design = nullptr; // the design taken last; null: none yet
    int32_t Position = 0;            // next slot of the history line to write
    double Sum = 0.0;                // of the last `Taps` samples
    int32_t Taps = 16;               // the length this channel averages over
    double FadingSum = 0.0;          // of the last `FadingTaps` samples, while crossing from that length
    int32_t FadingTaps = 0;
    TRamp Weight; // of the new mean against the old: 0 to 1 while crossing
    bool Playing = false;
  };
  void Restart(TChannel& c, int32_t taps);

  TDesignExchange<TDesign> designs;
  std::array<TChannel, 2> channels{};
};

// Type 7: its names, its dialog, its parameters and its factory.
extern const TFilterDescriptor MovingAverageDescriptor;

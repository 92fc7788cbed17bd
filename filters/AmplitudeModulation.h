// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TAmplitudeModulation (type 13): the signal's level follows a sine (tremolo).
//
//   y[n] = x[n] * (1 - d/2 + d/2 cos(2 pi f n / fs))
//
// The gain swings between 1 and 1 - d, so a sine of frequency F comes out with side bands at F - f and
// F + f, each d/4 / (1 - d/2) of the carrier. "Freq" f in Hz (0.1..1000), "Depth" d in % (0..100).
// The sine's phase runs on across blocks and through a change of frequency (taken at the next 256-sample
// stretch); a change of depth glides over RampFrames samples.
//
// Threads: Process runs on the worker under StateLock() (the two channels may run at once on two
// threads; each touches only its own phase and depth) and takes the newest frequency and depth from
// the design exchange. Update runs on the user-interface thread (Apply, Load) or in the constructor and
// publishes them.

#include "dsp/DesignExchange.h"
#include "dsp/Filter.h"
#include "dsp/FilterDescriptor.h"
#include "filters/Ramp.h"

#include <array>
#include <cstdint>

class TAmplitudeModulation : public TFilter {
public:
  explicit TAmplitudeModulation(int32_t sampleRate);

  void ClearState() override;
  void Process(ChannelBlock& block, int channel) override;
  void Update() override;

  double Freq = 5.0;
  double Depth = 50.0;

private:
  // The sine is computed exactly every 256 samples of the stream (whatever the blocks) and turned by
  // a rotation in between.
  struct TDesign {
    double Freq = 0.0;
    double Depth = 0.0; // 0..1
  };
  struct TChannel {
    const TDesign* Design = nullptr; // the design taken last; null: none yet
    double Freq = 0.0;               // as that design asks
    double Phase = 0.0;              // at the start of the next stretch, in turns
    double Cos = 1.0, Sin = 0.0;
    double RotateCos = 1.0, RotateSin = 0.0;
    int32_t StretchLeft = 0; // samples of the stretch still to come
    TRamp Depth;             // 0..1
    bool Playing = false;
  };
  TDesignExchange<TDesign> designs;
  std::array<TChannel, 2> channels{};
};

// Type 13: its names, its dialog, its parameters and its factory.
extern const TFilterDescriptor AmplitudeModulationDescriptor;

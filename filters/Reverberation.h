#pragma once
// TReverberation (type 11): a bank of D parallel feedback combs per channel over prime lengths.
//
//   w_k[n] = x[n] + y_k[n],  y_k[n] = g_k * w_k[n - (L_k - 1)],  g_k = 10^(-3 L_k / (fs ReverbTime / 1000))
//   out[n] = DryLevel * x[n] + ReverbLevel * acc[n],  acc = y_0 - y_1 + y_2 - ...
//
// acc is truncated to an integer after every line. Every sample starts at +: a sign carried on from the
// previous sample would, with an odd number of lines, flip the tail on every other sample and mirror its
// spectrum about fs/4.
//
// Parameters: "DryLevel", "EarlyLevel" (kept, not applied), "ReverbLevel": linear amplitudes (>= 0);
// "ReverbTime", ms for the tail to fall by 60 dB (10..10000); "DelayLines", D (1..32). The lines lie
// one after another in each channel's state buffer; line 0 has 500 samples, line k the second-smallest
// prime not below 500 + (k - 1) * (500 / D).
//
// Threads: Process runs on the worker under this filter's lock (the two channels may run at once on
// two threads; each touches only its own lines, positions and scratch); Update runs on the user-interface
// thread under the same lock (Apply, Load) or in the constructor.

#include "dsp/Filter.h"

#include <array>
#include <cstdint>
#include <vector>

// The second-smallest prime not less than a (500 -> 509, 541 -> 547); a must stay below 1999.
int32_t NextPrimeAfter(int32_t a);

class TReverberation : public TFilter {
public:
  static constexpr int MaxLines = 32;

  explicit TReverberation(int32_t sampleRate);

  void Process(ChannelBlock& block, int channel) override;
  // Recomputes the line lengths (buffers replaced when their total changes), restarts every write
  // position and recomputes the gains.
  void Update() override;

  int32_t LineLength(int k) const { return lineLength[k]; }
  float LineGain(int k) const { return lineGain[k]; }

  double DryLevel = 1.0;
  double EarlyLevel = 1.0;
  double ReverbLevel = 0.1;
  int32_t DelayLines = 12;
  int32_t ReverbTime = 500;

private:
  int32_t baseLength = 500;
  std::array<int32_t, MaxLines> lineLength{};
  std::array<float, MaxLines> lineGain{};
  std::array<std::array<int32_t, MaxLines>, 2> position{};
  int32_t linesInUse = 0; // DelayLines as of the last Update
  std::array<int32_t, MaxLines> lineStart{};
  // One pass's comb outputs, line after line, per channel (the two channels may run at once).
  std::array<std::vector<float>, 2> lineOutput;
};

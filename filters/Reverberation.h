// SPDX-License-Identifier: GPL-3.0-or-later
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
// "ReverbTime", ms for the tail to fall by 60 dB (10..10000); "DelayLines", D (1..32). Line 0 has 500
// samples, line k the second-smallest prime not below 500 + (k - 1) * (500 / D). Each line is a ring
// of LineCapacity slots in the channel's state buffer (line k from k * LineCapacity on) that holds
// its w_k; its length is where it reads back, so a new length keeps what the line holds.
//
// Edits do not click: an Update that changes nothing changes nothing; otherwise, over the next block
// of B samples, every comb goes linearly (w from 1/B to 1) from its old read-back and gain to its new
// ones, lines taken out fade to silence and are cleared, lines put in fade in from silence, and the
// dry and wet levels ramp from the old to the new values.
//
// Threads: Process runs on the worker under StateLock() (the two channels may run at once on two
// threads; each touches only its own lines, positions and scratch) and takes the newest bank from the
// design exchange. Update runs on the user-interface thread (Apply, Load) or in the constructor and
// publishes the bank it computes there.

#include "dsp/DesignExchange.h"
#include "dsp/Filter.h"
#include "dsp/FilterDescriptor.h"

#include <array>
#include <cstdint>
#include <vector>

// The second-smallest prime not less than a (500 -> 509, 541 -> 547); a must stay below 1999.
int32_t NextPrimeAfter(int32_t a);

class TReverberation : public TFilter {
public:
  static constexpr int MaxLines = 32;
  // Slots of one line's ring: more than the longest line (NextPrimeAfter of a value below 1000).
  static constexpr int32_t LineCapacity = 1024;

  explicit TReverberation(int32_t sampleRate);

  void Process(ChannelBlock& block, int channel) override;
  // Silent lines: the next block starts on the current values, with nothing to glide from.
  void ClearState() override;
  // Recomputes the line lengths and gains for the next block; the lines keep their contents.
  void Update() override;

  int32_t LineLength(int k) const { return designs.Latest().length[k]; }
  float LineGain(int k) const { return designs.Latest().gain[k]; }

  double DryLevel = 1.0;
  double EarlyLevel = 1.0;
  double ReverbLevel = 0.1;
  int32_t DelayLines = 12;
  int32_t ReverbTime = 500;

private:
  // What a channel's bank runs: the lines in use, their lengths and gains, and the two levels.
  struct TBank {
    int32_t lines = 0;
    std::array<int32_t, MaxLines> length{};
    std::array<float, MaxLines> gain{};
    double dry = 1.0;
    double wet = 0.0;
    friend bool operator==(const TBank&, const TBank&) = default;
  };

  // One block from `from` to `to`, sample by sample.
  void Glide(float* x, int32_t frames, int channel, const TBank& from, const TBank& to);

  int32_t baseLength = 500;
  TDesignExchange<TBank> designs;                          // the bank of the last Update
  std::array<TBank, 2> applied;                            // per channel, as of the end of its last block
  std::array<bool, 2> running{};                           // the lines hold signal since the last ClearState
  std::array<std::array<int32_t, MaxLines>, 2> position{}; // next slot to write, per channel and line
  // One pass's comb outputs, line after line, per channel (the two channels may run at once).
  std::array<std::vector<float>, 2> lineOutput;
};

// Type 11: its names, its dialog, its parameters and its factory.
extern const TFilterDescriptor ReverberationDescriptor;
// The descriptions of its parameters (its descriptor's table), named for the dialog made for it.
extern const TParameterDescription DryLevelDescription;
extern const TParameterDescription EarlyLevelDescription;
extern const TParameterDescription ReverbLevelDescription;
extern const TParameterDescription ReverbTimeDescription;
extern const TParameterDescription DelayLinesDescription;

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Second-order sections in cascade, the running part of the IIR, Chebyshev and DC-removal filters.
//
//   y[n] = b0 x[n] + b1 x[n-1] + b2 x[n-2] - a1 y[n-1] - a2 y[n-2]     (a0 = 1; direct form I)
//
// Coefficients and state are doubles, so that sections with poles close to the unit circle (a 10 Hz
// cut-off at 48 kHz) keep their response and their noise floor. A new design on a playing channel does
// not jump: the old cascade keeps running on its own state while the new one starts from that same
// state, and the output crosses from the old to the new over RampFrames samples; both are stable, so
// the sum is too.
//
// Threads: Process(channel) and Design(channel) touch only that channel's state (the two channels may
// run at once), on the thread that runs the channel; Clear runs under the filter's StateLock(), which
// keeps Process out.

#include <array>
#include <cstddef>
#include <cstdint>

struct TBiquad {
  double b0 = 1.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;
};

// |H(e^jw)| of a cascade at the normalised frequency f (cycles per sample).
double CascadeMagnitude(const TBiquad* sections, int count, double f);

class TBiquadCascade {
public:
  static constexpr int MaxSections = 4;

  // A design: its sections, in the order they run.
  struct TSet {
    std::array<TBiquad, MaxSections> Sections{};
    int Count = 0;
    bool operator==(const TSet& other) const;
  };

  // The design channel c runs from now on. A channel that has played crosses over from the design it
  // runs; one that has not (new, or cleared since) simply takes it.
  void Design(int channel, const TSet& set, int32_t rampFrames);
  void Process(float* x, int32_t frames, int channel);
  // Silence on both channels; the next Design is taken at once.
  void Clear();

private:
  struct TState {
    std::array<double, MaxSections> x1{}, x2{}, y1{}, y2{};
  };
  struct TChannel {
    TSet Current; // the design it runs
    TState State; // of the current design
    TSet Fading;  // the design being left
    TState FadingState;
    int32_t FadeLength = 0;
    int32_t FadeLeft = 0; // samples of the crossing still to come
    bool Playing = false;
    std::array<float, 256> Scratch{};
  };

  static void Run(const TSet& set, TState& state, float* x, int32_t frames);

  std::array<TChannel, 2> channels{};
};

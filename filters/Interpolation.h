// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Reading a sampled signal between its samples: the four-point cubic (Hermite, Catmull-Rom) through
// x[i - 1] .. x[i + 2], at t from 0 (x[i]) to 1 (x[i + 1]). Exact at the samples, continuous in its
// slope; the delay lines of the chorus and the pitch shift and the oscillator's table use it.
//
// Threads: a pure function.

#include <cstdint>

inline float CubicBetween(float xm1, float x0, float x1, float x2, float t) {
  const float c1 = 0.5f * (x1 - xm1);
  const float c2 = xm1 - 2.5f * x0 + 2.0f * x1 - 0.5f * x2;
  const float c3 = 0.5f * (x2 - xm1) + 1.5f * (x0 - x1);
  return ((c3 * t + c2) * t + c1) * t + x0;
}

// A ring of mask + 1 samples (a power of two) read at a position that is not negative.
inline float ReadRing(const float* ring, int32_t mask, double position) {
  const auto i = static_cast<int32_t>(position); // not negative: truncation is the floor
  const auto t = static_cast<float>(position - i);
  return CubicBetween(ring[(i - 1) & mask], ring[i & mask], ring[(i + 1) & mask], ring[(i + 2) & mask], t);
}

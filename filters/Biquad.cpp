// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/Biquad.h"

#include "filters/Transforms.h"

#include <algorithm>
#include <cmath>
#include <complex>

namespace {

// A state this small is silence to the ear; flushing it keeps the sections out of denormal arithmetic
// once the input has stopped.
constexpr double Tiny = 1e-20;

inline double Flush(double v) {
  return std::abs(v) < Tiny ? 0.0 : v;
}

} // namespace

double CascadeMagnitude(const TBiquad* sections, int count, double f) {
  const std::complex<double> z1 = std::polar(1.0, -2.0 * Pi * f);
  const std::complex<double> z2 = z1 * z1;
  double magnitude = 1.0;
  for (int i = 0; i < count; ++i) {
    const TBiquad& s = sections[i];
    magnitude *= std::abs((s.b0 + s.b1 * z1 + s.b2 * z2) / (1.0 + s.a1 * z1 + s.a2 * z2));
  }
  return magnitude;
}

bool TBiquadCascade::TSet::operator==(const TSet& other) const {
  if (Count != other.Count) {
    return false;
  }
  for (size_t i = 0; i < static_cast<size_t>(Count); ++i) {
    const TBiquad& a = Sections[i];
    const TBiquad& b = other.Sections[i];
    if (a.b0 != b.b0 || a.b1 != b.b1 || a.b2 != b.b2 || a.a1 != b.a1 || a.a2 != b.a2) {
      return false;
    }
  }
  return true;
}

void TBiquadCascade::Design(int channel, const TSet& set, int32_t rampFrames) {
  TChannel& c = channels[static_cast<size_t>(channel)];
  const TSet previous = c.Current;
  c.Current = set;
  if (!c.Playing) {
    c.State = {};
    c.FadeLeft = 0;
    return;
  }
  c.Fading = previous;
  c.FadingState = c.State;
  // Sections the old design did not have start from silence; the others from where they are.
  for (int i = previous.Count; i < MaxSections; ++i) {
    c.State.x1[static_cast<size_t>(i)] = c.State.x2[static_cast<size_t>(i)] = 0.0;
    c.State.y1[static_cast<size_t>(i)] = c.State.y2[static_cast<size_t>(i)] = 0.0;
  }
  c.FadeLength = std::max(rampFrames, 1);
  c.FadeLeft = c.FadeLength;
}

void TBiquadCascade::Clear() {
  for (TChannel& c : channels) {
    c.State = {};
    c.FadingState = {};
    c.FadeLeft = 0;
    c.Playing = false;
  }
}

void TBiquadCascade::Run(const TSet& set, TState& state, float* x, int32_t frames) {
  for (int s = 0; s < set.Count; ++s) {
    const TBiquad& q = set.Sections[static_cast<size_t>(s)];
    const auto i = static_cast<size_t>(s);
    double x1 = state.x1[i], x2 = state.x2[i], y1 = state.y1[i], y2 = state.y2[i];
    for (int32_t n = 0; n < frames; ++n) {
      const double in = x[n];
      const double y = q.b0 * in + q.b1 * x1 + q.b2 * x2 - q.a1 * y1 - q.a2 * y2;
      x2 = x1;
      x1 = in;
      y2 = y1;
      y1 = y;
      x[n] = static_cast<float>(y);
    }
    state.x1[i] = Flush(x1);
    state.x2[i] = Flush(x2);
    state.y1[i] = Flush(y1);
    state.y2[i] = Flush(y2);
  }
}

void TBiquadCascade::Process(float* x, int32_t frames, int channel) {
  TChannel& c = channels[static_cast<size_t>(channel)];
  c.Playing = true;
  int32_t n = 0;
  while (n < frames && c.FadeLeft > 0) {
    const int32_t chunk = std::min({frames - n, c.FadeLeft, static_cast<int32_t>(c.Scratch.size())});
    float* const y = x + n;
    std::copy(y, y + chunk, c.Scratch.data());
    Run(c.Fading, c.FadingState, c.Scratch.data(), chunk);
    Run(c.Current, c.State, y, chunk);
    for (int32_t i = 0; i < chunk; ++i) {
      const double w = static_cast<double>(c.FadeLength - c.FadeLeft + i + 1) / c.FadeLength;
      y[i] = static_cast<float>(w * y[i] + (1.0 - w) * c.Scratch[static_cast<size_t>(i)]);
    }
    c.FadeLeft -= chunk;
    n += chunk;
  }
  if (n < frames) {
    Run(c.Current, c.State, x + n, frames - n);
  }
}

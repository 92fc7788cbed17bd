// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TRamp: a gain, level or mix that glides in a straight line to a new value instead of jumping, so
// that a parameter edit on a playing filter does not click. The glide lasts RampFrames samples and
// carries on across blocks of any length; a new target during a glide starts a new glide from
// wherever the value is. Setting the value it already heads for changes nothing.
//
// Threads: one ramp per channel, used by that channel's Process and set by Update, both under the
// filter's StateLock().

#include <cstdint>

// Samples of a glide at rate fs: 20 ms, at least one sample.
inline int32_t RampFrames(int32_t sampleRate) {
  const auto frames = static_cast<int32_t>(sampleRate * 0.02);
  return frames < 1 ? 1 : frames;
}

class TRamp {
public:
  // Jumps at once (a channel that is not playing has nothing to click).
  void Set(double v) {
    value = target = v;
    remaining = 0;
  }
  // Glides to v over `frames` samples; nothing when v is already the target.
  void MoveTo(double v, int32_t frames) {
    if (v == target) {
      return;
    }
    target = v;
    remaining = frames;
    step = (target - value) / frames;
  }
  // Either Set or MoveTo: a playing channel glides.
  void Follow(double v, bool playing, int32_t frames) {
    if (playing) {
      MoveTo(v, frames);
    } else {
      Set(v);
    }
  }
  // The value for the next sample.
  double Next() {
    if (remaining > 0) {
      value = --remaining == 0 ? target : value + step;
    }
    return value;
  }
  // The value `frames` samples on (as far as that many calls of Next go).
  double Advance(int32_t frames) {
    if (remaining > 0) {
      if (frames >= remaining) {
        value = target;
        remaining = 0;
      } else {
        value += step * frames;
        remaining -= frames;
      }
    }
    return value;
  }
  bool Moving() const { return remaining > 0; }
  double Value() const { return value; }
  double Target() const { return target; }

private:
  double value = 0.0;
  double target = 0.0;
  double step = 0.0;
  int32_t remaining = 0;
};

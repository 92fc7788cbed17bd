// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The progress of a render on a terminal: one line, rewritten in place a few times a second, with
// the share of the input done (when its length is known), the seconds of sound and the speed against
// real time. It is cleared before any other line is written to the same stream, and at its end.
//
// Threads: the thread that runs the command.

#include <cstdint>
#include <ostream>

class TProgress {
public:
  // A file shorter than this is done before a progress line would mean anything.
  static constexpr double FromSeconds = 3.0;

  // totalFrames < 0: the input's length is not known.
  TProgress(std::ostream& err, bool shown, int64_t totalFrames, uint32_t rate);
  ~TProgress() { Clear(); }
  TProgress(const TProgress&) = delete;
  TProgress& operator=(const TProgress&) = delete;

  // Rewrites the line, at most four times a second unless `now` asks for it at once.
  void Update(int64_t frames, double wallSeconds, bool now = false);
  void Clear();

private:
  std::ostream& err;
  const bool shown;
  const int64_t totalFrames;
  const uint32_t rate;
  double lastWall = 0.0;
  bool printed = false;
};

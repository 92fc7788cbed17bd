// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/RenderProgress.h"

#include <algorithm>
#include <cstdio>

TProgress::TProgress(std::ostream& err, bool shown, int64_t totalFrames, uint32_t rate)
    : err(err), shown(shown), totalFrames(totalFrames), rate(std::max<uint32_t>(rate, 1)) {}

void TProgress::Update(int64_t frames, double wallSeconds, bool now) {
  if (!shown || (!now && wallSeconds - lastWall < 0.25)) {
    return;
  }
  lastWall = wallSeconds;
  const double seconds = static_cast<double>(frames) / rate;
  const double speed = wallSeconds > 0 ? seconds / wallSeconds : 0.0;
  char line[160];
  if (totalFrames > 0) {
    const double share =
        std::min(100.0, 100.0 * static_cast<double>(frames) / static_cast<double>(totalFrames));
    std::snprintf(line, sizeof line, "\rОбработано %3.0f %% (%.1f из %.1f с), %.1fx\033[K", share, seconds,
                  static_cast<double>(totalFrames) / rate, speed);
  } else {
    std::snprintf(line, sizeof line, "\rОбработано %.1f с, %.1fx\033[K", seconds, speed);
  }
  err << line << std::flush;
  printed = true;
}

void TProgress::Clear() {
  if (printed) {
    err << "\r\033[K" << std::flush;
    printed = false;
  }
}

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The end of a render as it is told: a warning when the chain saturated samples, then one summary
// line of figures, or the same figures as one JSON object with the input and output names as given
// and the exit status, or nothing (--quiet without --summary).
//
// Threads: the thread that runs the command, after the worker has ended.

#include "tools/RenderOptions.h"

#include <cstdint>
#include <ostream>
#include <string>

// What a render did.
struct TRenderFigures {
  int64_t Blocks = 0;
  int64_t Frames = 0;
  uint64_t TotalNs = 0; // processing time of every block together
  uint64_t MaxNs = 0;   // of the longest block
  uint64_t Clipped = 0; // samples the chain saturated when it converted back to PCM
  uint64_t Dropouts = 0;
  double WallSeconds = 0;
  int32_t Rate = 1;
  int Channels = 1;
};

// An output as messages and the summary name it: its file as shown, or the option that chose the
// device.
std::string OutputName(const TDeviceChoice& choice);

// The warning on err, the summary on text.
void ReportRender(const TRenderCommand& command, const TRenderFigures& figures, int status,
                  std::ostream& text, std::ostream& err);

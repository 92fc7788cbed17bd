// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/RenderSignals.h"

namespace {

// The one place a signal handler may leave its mark: the signal's number.
volatile std::sig_atomic_t stopRequested = 0;

extern "C" void RequestStop(int signal) {
  stopRequested = signal;
}

} // namespace

TStopSignals::TStopSignals() {
  stopRequested = 0;
  previousInt = std::signal(SIGINT, RequestStop);
  previousTerm = std::signal(SIGTERM, RequestStop);
  previousHangUp = std::signal(SIGHUP, RequestStop);
  previousPipe = std::signal(SIGPIPE, SIG_IGN);
  previousFileSize = std::signal(SIGXFSZ, SIG_IGN);
}

TStopSignals::~TStopSignals() {
  std::signal(SIGINT, previousInt);
  std::signal(SIGTERM, previousTerm);
  std::signal(SIGHUP, previousHangUp);
  std::signal(SIGPIPE, previousPipe);
  std::signal(SIGXFSZ, previousFileSize);
}

int StopRequested() {
  return static_cast<int>(stopRequested);
}

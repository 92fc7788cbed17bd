// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The signals of a render. For as long as a TStopSignals lives (from before any file is opened),
// SIGINT, SIGTERM and SIGHUP (the terminal or the session closing) request a stop: the run ends after the
// pass under way and completes its files. SIGPIPE and SIGXFSZ are ignored: a reader that leaves the pipe of a
// "-" output, or a file-size limit, makes that write fail with an error, and every file is still completed.
//
// Threads: one TStopSignals at a time, made and destroyed on the thread that runs the command; the
// handler may run on any thread; StopRequested reads its mark from any thread.

#include <csignal>

class TStopSignals {
public:
  TStopSignals();
  ~TStopSignals();
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

private:
  void (*previousInt)(int) = SIG_DFL;
  void (*previousTerm)(int) = SIG_DFL;
  void (*previousHangUp)(int) = SIG_DFL;
  void (*previousPipe)(int) = SIG_DFL;
  void (*previousFileSize)(int) = SIG_DFL;
};

// The number of the signal that asked for a stop since the last TStopSignals was made, else 0.
int StopRequested();

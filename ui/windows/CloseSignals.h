// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TCloseSignals: SIGTERM, SIGINT and SIGHUP (a kill, Ctrl+C in the terminal that started the program,
// the end of the session) end the desktop program as closing its main window does, so that every
// set-up completes its files. The handler only writes the signal's number into a pipe; a socket
// notifier reads it on the user-interface thread and hands it on.
//
// Threads: made, used and destroyed on the user-interface thread; the handler may run on any thread.
// One TCloseSignals at a time.

#include <QObject>

#include <functional>

class QSocketNotifier;

class TCloseSignals : public QObject {
public:
  // From now on the three signals call `close` with the signal's number, on this thread.
  explicit TCloseSignals(std::function<void(int signal)> close);
  // The handlers that were there before come back.
  ~TCloseSignals() override;
  TCloseSignals(const TCloseSignals&) = delete;
  TCloseSignals& operator=(const TCloseSignals&) = delete;

private:
  void Take();

  std::function<void(int)> close;
  int pipeEnds[2] = {-1, -1};
  QSocketNotifier* notifier = nullptr;
};

// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/windows/CloseSignals.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>

namespace {

constexpr std::array<int, 3> CloseSignalNumbers = {SIGTERM, SIGINT, SIGHUP};

// The write end of the pipe: the one thing a signal handler may reach, so it lives outside any object.
std::atomic<int> signalPipe{-1};
// The handlers before ours, in the order of CloseSignalNumbers; written and read on the user-interface
// thread only.
std::array<struct sigaction, 3> previous{};

extern "C" void WriteSignal(int signal) {
  const int saved = errno;
  const auto number = static_cast<unsigned char>(signal);
  [[maybe_unused]] const ssize_t written = ::write(signalPipe.load(), &number, 1);
  errno = saved;
}

} // namespace

TCloseSignals::TCloseSignals(std::function<void(int)> onSignal) : close(std::move(onSignal)) {
  if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
    return; // the default actions stay: the program ends as before
  }
  signalPipe.store(pipeEnds[1]);
  notifier = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, this);
  connect(notifier, &QSocketNotifier::activated, this, &TCloseSignals::Take);
  struct sigaction action {};
  action.sa_handler = WriteSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (size_t i = 0; i < CloseSignalNumbers.size(); ++i) {
    ::sigaction(CloseSignalNumbers[i], &action, &previous[i]);
  }
}

TCloseSignals::~TCloseSignals() {
  if (pipeEnds[0] < 0) {
    return;
  }
  for (size_t i = 0; i < CloseSignalNumbers.size(); ++i) {
    ::sigaction(CloseSignalNumbers[i], &previous[i], nullptr);
  }
  signalPipe.store(-1);
  delete notifier;
  ::close(pipeEnds[0]);
  ::close(pipeEnds[1]);
}

void TCloseSignals::Take() {
  unsigned char number = 0;
  while (::read(pipeEnds[0], &number, 1) == 1) {
    if (close) {
      close(number);
    }
  }
}

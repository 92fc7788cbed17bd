// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/platform/EventSet.h"

#include <bit>

void TEventSet::Signal(int index) {
  if (index < 0 || index >= Count) {
    return;
  }
  {
    const std::lock_guard lock(mutex);
    flags |= 1u << index;
  }
  changed.notify_all();
}

int TEventSet::TakeLowestLocked() {
  if (failed) {
    return Failed;
  }
  if (stopped) {
    return Stopped;
  }
  if (flags == 0) {
    return TimedOut;
  }
  const int index = std::countr_zero(flags);
  flags &= ~(1u << index); // auto-reset: only the signal returned is consumed
  return index;
}

int TEventSet::WaitAny() {
  std::unique_lock lock(mutex);
  changed.wait(lock, [this] { return failed || stopped || flags != 0; });
  return TakeLowestLocked();
}

int TEventSet::WaitAnyFor(std::chrono::nanoseconds timeout) {
  std::unique_lock lock(mutex);
  changed.wait_for(lock, timeout, [this] { return failed || stopped || flags != 0; });
  return TakeLowestLocked();
}

bool TEventSet::IsSignalled(int index) const {
  if (index < 0 || index >= Count) {
    return false;
  }
  const std::lock_guard lock(mutex);
  return (flags & (1u << index)) != 0;
}

void TEventSet::Clear(int index) {
  if (index < 0 || index >= Count) {
    return;
  }
  const std::lock_guard lock(mutex);
  flags &= ~(1u << index);
}

void TEventSet::Reset() {
  const std::lock_guard lock(mutex);
  flags = 0;
  failed = false;
  stopped = false;
  failureCode = 0;
  failureText.clear();
}

void TEventSet::Stop() {
  {
    const std::lock_guard lock(mutex);
    stopped = true;
  }
  changed.notify_all();
}

void TEventSet::Start() {
  const std::lock_guard lock(mutex);
  stopped = false;
}

void TEventSet::Fail(uint32_t resultCode, const std::string& text) {
  {
    const std::lock_guard lock(mutex);
    failed = true;
    failureCode = resultCode;
    failureText = text;
  }
  changed.notify_all();
}

bool TEventSet::HasFailed() const {
  const std::lock_guard lock(mutex);
  return failed;
}

uint32_t TEventSet::FailureCode() const {
  const std::lock_guard lock(mutex);
  return failureCode;
}

std::string TEventSet::FailureText() const {
  const std::lock_guard lock(mutex);
  return failureText;
}

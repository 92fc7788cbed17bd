// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Sixteen auto-reset events with a wait on all of them: one mutex, one condition variable, 16 flags.
// WaitAny returns the lowest signalled index and clears only that flag; signals stay set until
// consumed. Fail wakes every waiter with an error instead of leaving it blocked; a stopped set (the
// device stopped) wakes its waiter too and refuses every wait until it is started again.
//
// Threads: any thread may Signal or Fail (the sound server's pump threads do); one thread waits.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

class TEventSet {
public:
  static constexpr int Count = 16;
  static constexpr int Failed = -1;   // WaitAny after Fail
  static constexpr int TimedOut = -2; // WaitAnyFor without a signal
  static constexpr int Stopped = -3;  // a wait while the set is stopped (and has not failed)

  void Signal(int index);
  // Blocks until a flag is set (returns its index, the lowest first), the set has failed or it is
  // stopped. The signals stay set while the set is stopped.
  int WaitAny();
  int WaitAnyFor(std::chrono::nanoseconds timeout);
  bool IsSignalled(int index) const;
  // Consumes the flag of one index, if set, without waiting.
  void Clear(int index);
  // Clears all flags, any failure and the stop.
  void Reset();
  // Stop wakes the waiter, and every wait returns Stopped until Start.
  void Stop();
  void Start();
  // Marks the set failed with a result code and a text; every present and later wait returns Failed
  // until Reset.
  void Fail(uint32_t resultCode, const std::string& text);
  bool HasFailed() const;
  uint32_t FailureCode() const;
  std::string FailureText() const;

private:
  int TakeLowestLocked();

  mutable std::mutex mutex;
  std::condition_variable changed;
  uint32_t flags = 0;
  bool failed = false;
  bool stopped = false;
  uint32_t failureCode = 0;
  std::string failureText;
};

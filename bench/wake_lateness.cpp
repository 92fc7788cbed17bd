// SPDX-License-Identifier: GPL-3.0-or-later
// How late a sound thread wakes on this machine: a thread scheduled as the worker and the pump threads
// are (MakeThreadRealtime) sleeps to absolute deadlines 1 ms apart for the given seconds and counts the
// wakes that came late by at least 1, 5, 10, 20, 40 and 100 ms. A stall that long of a real-time
// thread is the machine's (the kernel's or the hypervisor's), and no buffer shorter than it keeps a
// stream fed through it. One late stretch counts once: after a late wake the next deadline is
// reckoned from the wake.
//
//   wake_lateness [SECONDS]     (default 60)
//
// Prints one line: "wakes=N worst_ms=W late_1ms=.. late_5ms=.. late_10ms=.. late_20ms=.. late_40ms=..
// late_100ms=.. realtime=<way>".

#include "devices/platform/RealtimeScheduling.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/mman.h>

namespace {

constexpr long PeriodNs = 1000000;
constexpr long NsPerSecond = 1000000000;
constexpr std::array<long, 6> LateMs{1, 5, 10, 20, 40, 100};

long Since(const timespec& from, const timespec& to) {
  return (to.tv_sec - from.tv_sec) * NsPerSecond + (to.tv_nsec - from.tv_nsec);
}

} // namespace

int main(int argc, char** argv) {
  const long seconds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 60;
  if (seconds <= 0) {
    std::fprintf(stderr, "usage: wake_lateness [SECONDS]\n");
    return 2;
  }
  const TRealtimeOutcome realtime = MakeThreadRealtime();
  mlockall(MCL_CURRENT | MCL_FUTURE); // a page fault is not the lateness measured here

  std::array<long, LateMs.size()> late{};
  long worstNs = 0;
  long wakes = 0;
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  timespec end = deadline;
  end.tv_sec += seconds;
  while (Since(deadline, end) > 0) {
    deadline.tv_nsec += PeriodNs;
    if (deadline.tv_nsec >= NsPerSecond) {
      deadline.tv_nsec -= NsPerSecond;
      ++deadline.tv_sec;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long lateNs = Since(deadline, now);
    worstNs = std::max(worstNs, lateNs);
    for (size_t i = 0; i < LateMs.size(); ++i) {
      late[i] += lateNs >= LateMs[i] * 1000000 ? 1 : 0;
    }
    ++wakes;
    if (lateNs >= PeriodNs) {
      deadline = now;
    }
  }
  std::printf("wakes=%ld worst_ms=%.1f", wakes, static_cast<double>(worstNs) / 1e6);
  for (size_t i = 0; i < LateMs.size(); ++i) {
    std::printf(" late_%ldms=%ld", LateMs[i], late[i]);
  }
  std::printf(" realtime=\"%s\"\n", DescribeRealtimeWay(realtime).c_str());
  return 0;
}

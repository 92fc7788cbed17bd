// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Real-time scheduling of the threads that carry sound: the worker, the chain's helper, the sound
// server's pump threads and the wave-audio threads. Each asks for round-robin scheduling at
// SoundThreadPriority, a modest priority below the sound servers' own, in the first of three ways
// that works:
//   direct  the process may set it itself (the CAP_SYS_NICE capability, as root has it, or an
//           RLIMIT_RTPRIO above 0, which caps the priority);
//   rtkit   the desktop's RealtimeKit service on the system bus grants it, within its
//           MaxRealtimePriority, once the process's RLIMIT_RTTIME is within its RTTimeUSecMax;
//   normal  neither: the thread runs as before, and the outcome says what each way answered.
// Bounds: SCHED_RESET_ON_FORK (threads a real-time thread starts begin normal), and RLIMIT_RTTIME at
// most RttimeHardUsec with a soft limit of half that. A real-time thread that runs that half without
// blocking gets SIGXCPU, and the handler installed with the first grant drops that thread back to
// normal scheduling (a dropout, not a process the kernel kills at the hard limit). Every thread that
// asks blocks at least once a block.
//
// Threads: any. A call keeps no state between calls; the rtkit request is a D-Bus round trip of a few
// milliseconds (at most RtkitTimeoutUsec): ask when a thread starts, never per block.

#include <cstdint>
#include <string>

inline constexpr int SoundThreadPriority = 4; // desktop sound servers run at 5 and above
inline constexpr uint64_t RttimeHardUsec = 200000;
inline constexpr uint64_t RtkitTimeoutUsec = 2000000;
inline constexpr uint64_t RttimeUnlimited = UINT64_MAX;

enum class TRealtimeWay { Normal, Direct, Rtkit };

struct TRealtimeOutcome {
  TRealtimeWay Way = TRealtimeWay::Normal;
  int Priority = 0; // the round-robin priority granted; 0 when normal
  std::string Why;  // normal: what each way answered, "; " between them
};

struct TRttimeLimit {
  uint64_t Soft = RttimeUnlimited; // microseconds
  uint64_t Hard = RttimeUnlimited;
  bool operator==(const TRttimeLimit&) const = default;
};

struct TRtkitLimits {
  int MaxPriority = 0;
  int64_t RttimeUsecMax = 0;
};

// The kernel and the service as the choice sees them: SystemRealtime calls the real ones, tests stand
// in for them. Texts are empty on success, else the failure ("rtkit: org.freedesktop.DBus.Error...").
class TRealtimeSystem {
public:
  virtual ~TRealtimeSystem() = default;
  // The highest priority the process may give its own threads: INT32_MAX with CAP_SYS_NICE, else
  // RLIMIT_RTPRIO's soft value (0: none).
  virtual int OwnPriorityLimit() = 0;
  virtual TRttimeLimit Rttime() = 0;
  virtual std::string SetRttime(const TRttimeLimit& limit) = 0;
  // SCHED_RR | SCHED_RESET_ON_FORK at `priority` for the thread with kernel id `tid`.
  virtual std::string SetRoundRobin(int tid, int priority) = 0;
  virtual std::string RtkitLimits(TRtkitLimits& limits) = 0;
  virtual std::string RtkitMakeRealtime(int tid, int priority) = 0;
  // Called once a way has granted real time (the real system installs the SIGXCPU handler).
  virtual void Granted() {}
};

// Tries direct, then rtkit, for thread `tid`, setting RLIMIT_RTTIME before either.
TRealtimeOutcome ChooseRealtime(TRealtimeSystem& system, int tid, int priority = SoundThreadPriority);
// The same on this system; tid 0 is the calling thread.
TRealtimeOutcome MakeThreadRealtime(int tid = 0);
// The kernel id of the calling thread.
int CurrentThreadId();
// For the user: "rtkit, приоритет 4", "напрямую, приоритет 4", "нет".
std::string DescribeRealtimeWay(const TRealtimeOutcome& outcome);

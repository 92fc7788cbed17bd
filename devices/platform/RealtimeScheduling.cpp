// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/platform/RealtimeScheduling.h"

#include <linux/capability.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#ifndef SCHED_RESET_ON_FORK
#define SCHED_RESET_ON_FORK 0x40000000
#endif

namespace {

constexpr const char* RtkitService = "org.freedesktop.RealtimeKit1";
constexpr const char* RtkitPath = "/org/freedesktop/RealtimeKit1";

uint64_t FromRlim(rlim_t value) {
  return value == RLIM_INFINITY ? RttimeUnlimited : static_cast<uint64_t>(value);
}

rlim_t ToRlim(uint64_t value) {
  return value == RttimeUnlimited ? RLIM_INFINITY : static_cast<rlim_t>(value);
}

// SIGXCPU from the soft RLIMIT_RTTIME goes to the thread that ran too long without blocking (the one
// running when the kernel checks): it returns to normal scheduling. The kernel raised the soft limit
// by a second on the way; it goes back to half the hard one, so that the next overrun is caught too.
// It says so on standard error. Only system calls, so safe in a signal handler.
extern "C" void DropToNormalScheduling(int) {
  const int saved = errno;
  sched_param normal{};
  sched_setscheduler(0, SCHED_OTHER, &normal);
  char number[16];
  char* first = number + sizeof number;
  for (auto tid = static_cast<unsigned long>(syscall(SYS_gettid)); first == number + sizeof number || tid > 0;
       tid /= 10) {
    *--first = static_cast<char>('0' + tid % 10);
  }
  constexpr char Before[] = "Поток звука ";
  constexpr char After[] = " работал без перерыва дольше допустимого и переведён на обычный приоритет\n";
  const iovec pieces[] = {{const_cast<char*>(Before), sizeof Before - 1},
                          {first, static_cast<size_t>(number + sizeof number - first)},
                          {const_cast<char*>(After), sizeof After - 1}};
  if (writev(STDERR_FILENO, pieces, 3) < 0) {
    // nothing more can be done from a signal handler
  }
  rlimit limit{};
  if (getrlimit(RLIMIT_RTTIME, &limit) == 0 && limit.rlim_max != RLIM_INFINITY) {
    limit.rlim_cur = limit.rlim_max / 2;
    setrlimit(RLIMIT_RTTIME, &limit);
  }
  errno = saved;
}

// Installs the handler unless the program handles SIGXCPU itself.
void CatchRttimeOverruns() {
  struct sigaction current {};
  if (sigaction(SIGXCPU, nullptr, &current) != 0 || (current.sa_flags & SA_SIGINFO) != 0 ||
      (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN)) {
    return;
  }
  struct sigaction handler {};
  handler.sa_handler = &DropToNormalScheduling;
  sigemptyset(&handler.sa_mask);
  handler.sa_flags = SA_RESTART;
  sigaction(SIGXCPU, &handler, nullptr);
}

class TSystemRealtime final : public TRealtimeSystem {
public:
  TSystemRealtime() = default;
  TSystemRealtime(const TSystemRealtime&) = delete;
  TSystemRealtime& operator=(const TSystemRealtime&) = delete;
  ~TSystemRealtime() override {
    if (bus) {
      sd_bus_flush_close_unref(bus);
    }
  }

  int OwnPriorityLimit() override {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) == 0 &&
        (data[CAP_TO_INDEX(CAP_SYS_NICE)].effective & CAP_TO_MASK(CAP_SYS_NICE)) != 0) {
      return INT32_MAX;
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_RTPRIO, &limit) != 0) {
      return 0;
    }
    return limit.rlim_cur == RLIM_INFINITY ? INT32_MAX
                                           : static_cast<int>(std::min<rlim_t>(limit.rlim_cur, INT32_MAX));
  }

  TRttimeLimit Rttime() override {
    rlimit limit{};
    if (getrlimit(RLIMIT_RTTIME, &limit) != 0) {
      return {};
    }
    return {FromRlim(limit.rlim_cur), FromRlim(limit.rlim_max)};
  }

  std::string SetRttime(const TRttimeLimit& wanted) override {
    const rlimit limit{ToRlim(wanted.Soft), ToRlim(wanted.Hard)};
    if (setrlimit(RLIMIT_RTTIME, &limit) != 0) {
      return std::string("setrlimit(RLIMIT_RTTIME): ") + std::strerror(errno);
    }
    return {};
  }

  std::string SetRoundRobin(int tid, int priority) override {
    sched_param param{};
    param.sched_priority = priority;
    if (sched_setscheduler(tid, SCHED_RR | SCHED_RESET_ON_FORK, &param) != 0) {
      return std::string("sched_setscheduler: ") + std::strerror(errno);
    }
    return {};
  }

  std::string RtkitLimits(TRtkitLimits& limits) override {
    std::string problem = Connect();
    int32_t priority = 0;
    int64_t rttime = 0;
    if (problem.empty()) {
      problem = Property("MaxRealtimePriority", 'i', &priority);
    }
    if (problem.empty()) {
      problem = Property("RTTimeUSecMax", 'x', &rttime);
    }
    limits = {priority, rttime};
    return problem;
  }

  std::string RtkitMakeRealtime(int tid, int priority) override {
    std::string problem = Connect();
    if (!problem.empty()) {
      return problem;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int r =
        sd_bus_call_method(bus, RtkitService, RtkitPath, RtkitService, "MakeThreadRealtime", &error, &reply,
                           "tu", static_cast<uint64_t>(tid), static_cast<uint32_t>(priority));
    problem = r < 0 ? Failure("MakeThreadRealtime", r, error) : std::string();
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return problem;
  }

  void Granted() override { CatchRttimeOverruns(); }

private:
  static std::string Failure(const char* call, int r, const sd_bus_error& error) {
    if (error.name) {
      return std::string("rtkit: ") + call + ": " + error.name +
             (error.message ? ": " + std::string(error.message) : "");
    }
    return std::string("rtkit: ") + call + ": " + std::strerror(-r);
  }

  std::string Connect() {
    if (bus) {
      return {};
    }
    const int r = sd_bus_open_system(&bus);
    if (r < 0) {
      bus = nullptr;
      return std::string("rtkit: sd_bus_open_system: ") + std::strerror(-r);
    }
    sd_bus_set_method_call_timeout(bus, RtkitTimeoutUsec);
    return {};
  }

  std::string Property(const char* name, char type, void* value) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int r =
        sd_bus_get_property_trivial(bus, RtkitService, RtkitPath, RtkitService, name, &error, type, value);
    std::string problem = r < 0 ? Failure(name, r, error) : std::string();
    sd_bus_error_free(&error);
    return problem;
  }

  sd_bus* bus = nullptr;
};

// Lowers RLIMIT_RTTIME to at most `hardUsec`, the soft limit to half of that; a lower limit stays.
std::string BoundRttime(TRealtimeSystem& system, uint64_t hardUsec) {
  const TRttimeLimit current = system.Rttime();
  TRttimeLimit wanted{std::min(current.Soft, hardUsec / 2), std::min(current.Hard, hardUsec)};
  wanted.Soft = std::min(wanted.Soft, wanted.Hard);
  return wanted == current ? std::string() : system.SetRttime(wanted);
}

} // namespace

TRealtimeOutcome ChooseRealtime(TRealtimeSystem& system, int tid, int priority) {
  std::string why;
  const int own = system.OwnPriorityLimit();
  if (own > 0) {
    const int granted = std::min(priority, own);
    std::string problem = BoundRttime(system, RttimeHardUsec);
    if (problem.empty()) {
      problem = system.SetRoundRobin(tid, granted);
    }
    if (problem.empty()) {
      system.Granted();
      return {TRealtimeWay::Direct, granted, {}};
    }
    why = problem;
  } else {
    why = "sched_setscheduler: not permitted (RLIMIT_RTPRIO 0)";
  }

  TRtkitLimits limits;
  std::string problem = system.RtkitLimits(limits);
  const int granted = std::min(priority, limits.MaxPriority);
  if (problem.empty() && granted < 1) {
    problem = "rtkit: MaxRealtimePriority " + std::to_string(limits.MaxPriority);
  }
  if (problem.empty() && limits.RttimeUsecMax <= 0) {
    problem = "rtkit: RTTimeUSecMax " + std::to_string(limits.RttimeUsecMax);
  }
  if (problem.empty()) {
    problem = BoundRttime(system, std::min(RttimeHardUsec, static_cast<uint64_t>(limits.RttimeUsecMax)));
  }
  if (problem.empty()) {
    problem = system.RtkitMakeRealtime(tid, granted);
  }
  if (problem.empty()) {
    system.Granted();
    return {TRealtimeWay::Rtkit, granted, {}};
  }
  return {TRealtimeWay::Normal, 0, why + "; " + problem};
}

int CurrentThreadId() {
  return static_cast<int>(gettid());
}

TRealtimeOutcome MakeThreadRealtime(int tid) {
  TSystemRealtime system;
  return ChooseRealtime(system, tid != 0 ? tid : CurrentThreadId());
}

std::string DescribeRealtimeWay(const TRealtimeOutcome& outcome) {
  switch (outcome.Way) {
  case TRealtimeWay::Direct:
    return "напрямую, приоритет " + std::to_string(outcome.Priority);
  case TRealtimeWay::Rtkit:
    return "rtkit, приоритет " + std::to_string(outcome.Priority);
  case TRealtimeWay::Normal:
    break;
  }
  return "нет";
}

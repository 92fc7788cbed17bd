// SPDX-License-Identifier: GPL-3.0-or-later
// The choice between direct, rtkit and normal scheduling, with the kernel's and the service's answers
// stood in for; then once on this system, where the outcome must be what the kernel reports, and a
// real-time thread that never blocks must drop to normal scheduling instead of the process being
// killed.

#include "devices/platform/RealtimeScheduling.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifndef SCHED_RESET_ON_FORK
#define SCHED_RESET_ON_FORK 0x40000000
#endif

namespace {

constexpr int Tid = 4242;
const std::string NoRtkit = "rtkit: MaxRealtimePriority: org.freedesktop.DBus.Error.ServiceUnknown: The name "
                            "org.freedesktop.RealtimeKit1 was not provided by any .service files";

// Answers as told and writes down what was asked, in order.
class TStandIn final : public TRealtimeSystem {
public:
  int own = 0;
  TRttimeLimit rttime;
  std::string roundRobinAnswer;
  TRtkitLimits limits{20, 200000};
  std::string limitsAnswer;
  std::string makeAnswer;
  std::vector<std::string> calls;

  int OwnPriorityLimit() override { return own; }
  TRttimeLimit Rttime() override { return rttime; }
  std::string SetRttime(const TRttimeLimit& limit) override {
    calls.push_back("rttime " + std::to_string(limit.Soft) + " " + std::to_string(limit.Hard));
    rttime = limit;
    return {};
  }
  std::string SetRoundRobin(int tid, int priority) override {
    calls.push_back("round-robin " + std::to_string(tid) + " " + std::to_string(priority));
    return roundRobinAnswer;
  }
  std::string RtkitLimits(TRtkitLimits& answer) override {
    calls.push_back("rtkit limits");
    answer = limits;
    return limitsAnswer;
  }
  std::string RtkitMakeRealtime(int tid, int priority) override {
    calls.push_back("rtkit " + std::to_string(tid) + " " + std::to_string(priority));
    return makeAnswer;
  }
  void Granted() override { calls.push_back("granted"); }
};

using Calls = std::vector<std::string>;

} // namespace

TEST(RealtimeChoice, AProcessThatMaySetItItselfDoesSoWithinItsLimitsAfterBoundingTheRunTime) {
  TStandIn root;
  root.own = INT32_MAX;
  TRealtimeOutcome outcome = ChooseRealtime(root, Tid);
  EXPECT_EQ(outcome.Way, TRealtimeWay::Direct);
  EXPECT_EQ(outcome.Priority, SoundThreadPriority);
  EXPECT_EQ(root.calls, (Calls{"rttime 100000 200000", "round-robin 4242 4", "granted"}));
  EXPECT_EQ(DescribeRealtimeWay(outcome), "напрямую, приоритет 4");

  // RLIMIT_RTPRIO 2 caps the priority; a run-time limit already lower stays as it is.
  TStandIn limited;
  limited.own = 2;
  limited.rttime = {20000, 50000};
  outcome = ChooseRealtime(limited, Tid);
  EXPECT_EQ(outcome.Way, TRealtimeWay::Direct);
  EXPECT_EQ(outcome.Priority, 2);
  EXPECT_EQ(limited.calls, (Calls{"round-robin 4242 2", "granted"}));
}

TEST(RealtimeChoice, RtkitGrantsWhatTheProcessMayNotTakeWithinTheServicesLimits) {
  TStandIn user;
  user.limits = {3, 50000};
  TRealtimeOutcome outcome = ChooseRealtime(user, Tid);
  EXPECT_EQ(outcome.Way, TRealtimeWay::Rtkit);
  EXPECT_EQ(outcome.Priority, 3);
  EXPECT_EQ(outcome.Why, "");
  EXPECT_EQ(user.calls, (Calls{"rtkit limits", "rttime 25000 50000", "rtkit 4242 3", "granted"}));
  EXPECT_EQ(DescribeRealtimeWay(outcome), "rtkit, приоритет 3");

  // Root in a container without the capability: the kernel refuses, rtkit is asked.
  TStandIn container;
  container.own = INT32_MAX;
  container.roundRobinAnswer = "sched_setscheduler: Operation not permitted";
  outcome = ChooseRealtime(container, Tid);
  EXPECT_EQ(outcome.Way, TRealtimeWay::Rtkit);
  EXPECT_EQ(outcome.Priority, 4);
  EXPECT_EQ(container.calls,
            (Calls{"rttime 100000 200000", "round-robin 4242 4", "rtkit limits", "rtkit 4242 4", "granted"}));
}

TEST(RealtimeChoice, WhereNeitherWayWorksTheThreadStaysNormalAndTheOutcomeSaysWhatEachAnswered) {
  TStandIn noService;
  noService.limitsAnswer = NoRtkit;
  TRealtimeOutcome outcome = ChooseRealtime(noService, Tid);
  EXPECT_EQ(outcome.Way, TRealtimeWay::Normal);
  EXPECT_EQ(outcome.Priority, 0);
  EXPECT_EQ(outcome.Why, "sched_setscheduler: not permitted (RLIMIT_RTPRIO 0); " + NoRtkit);
  EXPECT_EQ(noService.calls, (Calls{"rtkit limits"}));
  EXPECT_EQ(DescribeRealtimeWay(outcome), "нет");

  TStandIn refused;
  refused.own = INT32_MAX;
  refused.roundRobinAnswer = "sched_setscheduler: Operation not permitted";
  refused.makeAnswer =
      "rtkit: MakeThreadRealtime: org.freedesktop.DBus.Error.AccessDenied: Operation not permitted";
  outcome = ChooseRealtime(refused, Tid);
  EXPECT_EQ(outcome.Way, TRealtimeWay::Normal);
  EXPECT_EQ(outcome.Why, "sched_setscheduler: Operation not permitted; rtkit: MakeThreadRealtime: "
                         "org.freedesktop.DBus.Error.AccessDenied: Operation not permitted");

  // A service that grants no priority or no run time is not asked to make the thread real-time.
  TStandIn noPriority;
  noPriority.limits = {0, 200000};
  EXPECT_EQ(ChooseRealtime(noPriority, Tid).Why,
            "sched_setscheduler: not permitted (RLIMIT_RTPRIO 0); rtkit: MaxRealtimePriority 0");
  TStandIn noRunTime;
  noRunTime.limits = {20, 0};
  EXPECT_EQ(ChooseRealtime(noRunTime, Tid).Why,
            "sched_setscheduler: not permitted (RLIMIT_RTPRIO 0); rtkit: RTTimeUSecMax 0");
  EXPECT_EQ(noPriority.calls, (Calls{"rtkit limits"}));
  EXPECT_EQ(noRunTime.calls, (Calls{"rtkit limits"}));
}

TEST(RealtimeScheduling, TheOutcomeOnThisSystemIsWhatTheKernelReportsAndChildThreadsStartNormal) {
  TRealtimeOutcome outcome;
  int policy = -1;
  sched_param param{};
  int childPolicy = -1;
  std::thread([&] {
    outcome = MakeThreadRealtime();
    policy = sched_getscheduler(0);
    sched_getparam(0, &param);
    std::thread([&] { childPolicy = sched_getscheduler(0); }).join();
  }).join();
  std::printf("this system: %s %s\n", DescribeRealtimeWay(outcome).c_str(), outcome.Why.c_str());
  if (outcome.Way == TRealtimeWay::Normal) {
    EXPECT_EQ(policy, SCHED_OTHER);
    EXPECT_FALSE(outcome.Why.empty());
    return;
  }
  EXPECT_EQ(policy, SCHED_RR | SCHED_RESET_ON_FORK);
  EXPECT_EQ(param.sched_priority, outcome.Priority);
  EXPECT_EQ(childPolicy, SCHED_OTHER);
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_RTTIME, &limit), 0);
  EXPECT_LE(limit.rlim_max, RttimeHardUsec);
  EXPECT_LE(limit.rlim_cur, limit.rlim_max / 2);
}

TEST(RealtimeScheduling, ARealtimeThreadThatNeverBlocksDropsToNormalSchedulingAndTheProcessLives) {
  TRealtimeOutcome outcome;
  int policyAfter = -1;
  std::thread([&] {
    outcome = MakeThreadRealtime();
    if (outcome.Way == TRealtimeWay::Normal) {
      return;
    }
    // Spins without a blocking call: past the soft run-time limit the kernel sends SIGXCPU, and the
    // thread must be normal again long before the hard limit would kill the process. (The uncontended
    // lock never blocks; it lets a sanitizer runtime deliver the signal it holds back.)
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::mutex spin;
    while (sched_getscheduler(0) != SCHED_OTHER && std::chrono::steady_clock::now() < until) {
      const std::lock_guard guard(spin);
    }
    policyAfter = sched_getscheduler(0);
  }).join();
  if (outcome.Way == TRealtimeWay::Normal) {
    GTEST_SKIP() << "no real-time scheduling here: " << outcome.Why;
  }
  EXPECT_EQ(policyAfter, SCHED_OTHER);
}

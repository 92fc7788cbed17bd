// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/platform/EventSet.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

using namespace std::chrono_literals;

TEST(EventSet, WaitReturnsTheLowestSignalledIndexFirstAndConsumesOnlyThatOne) {
  TEventSet set;
  set.Signal(9);
  set.Signal(3);
  set.Signal(15);
  EXPECT_EQ(set.WaitAny(), 3);
  EXPECT_FALSE(set.IsSignalled(3));
  EXPECT_TRUE(set.IsSignalled(9));
  EXPECT_TRUE(set.IsSignalled(15));
  EXPECT_EQ(set.WaitAny(), 9);
  EXPECT_EQ(set.WaitAny(), 15);
  EXPECT_EQ(set.WaitAnyFor(1ms), TEventSet::TimedOut);
}

TEST(EventSet, SignalsPersistUntilConsumedAndRepeatedSignalsCollapse) {
  TEventSet set;
  set.Signal(0);
  set.Signal(0);
  std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(set.IsSignalled(0));
  EXPECT_EQ(set.WaitAnyFor(0ms), 0);
  EXPECT_EQ(set.WaitAnyFor(0ms), TEventSet::TimedOut);
}

TEST(EventSet, IndexesOutsideTheSetAreIgnored) {
  TEventSet set;
  set.Signal(-1);
  set.Signal(16);
  EXPECT_FALSE(set.IsSignalled(16));
  EXPECT_EQ(set.WaitAnyFor(0ms), TEventSet::TimedOut);
}

TEST(EventSet, SignalFromAnotherThreadWakesABlockedWaiter) {
  TEventSet set;
  auto waiter = std::async(std::launch::async, [&] { return set.WaitAny(); });
  std::this_thread::sleep_for(10ms);
  set.Signal(7);
  EXPECT_EQ(waiter.get(), 7);
  EXPECT_FALSE(set.IsSignalled(7));
}

TEST(EventSet, FailWakesABlockedWaiterAndEveryLaterWaitUntilReset) {
  TEventSet set;
  auto waiter = std::async(std::launch::async, [&] { return set.WaitAny(); });
  std::this_thread::sleep_for(10ms);
  set.Fail(0x88780096, "pa_stream: Connection terminated");
  EXPECT_EQ(waiter.get(), TEventSet::Failed);
  EXPECT_TRUE(set.HasFailed());
  EXPECT_EQ(set.FailureCode(), 0x88780096u);
  EXPECT_EQ(set.FailureText(), "pa_stream: Connection terminated");
  set.Signal(2);
  EXPECT_EQ(set.WaitAny(), TEventSet::Failed);
  EXPECT_EQ(set.WaitAnyFor(1ms), TEventSet::Failed);

  set.Reset();
  EXPECT_FALSE(set.HasFailed());
  EXPECT_EQ(set.FailureCode(), 0u);
  EXPECT_EQ(set.FailureText(), "");
  EXPECT_FALSE(set.IsSignalled(2));
  EXPECT_EQ(set.WaitAnyFor(1ms), TEventSet::TimedOut);
}

TEST(EventSet, ResetClearsEveryFlag) {
  TEventSet set;
  for (int i = 0; i < TEventSet::Count; ++i) {
    set.Signal(i);
  }
  set.Reset();
  for (int i = 0; i < TEventSet::Count; ++i) {
    EXPECT_FALSE(set.IsSignalled(i));
  }
}

TEST(EventSet, WaitAnyForReturnsTimedOutWithoutASignal) {
  TEventSet set;
  EXPECT_EQ(set.WaitAnyFor(20ms), TEventSet::TimedOut);
  set.Signal(4);
  EXPECT_EQ(set.WaitAnyFor(20ms), 4);
}

TEST(EventSet, EverySignalFromManyThreadsIsSeenExactlyOnce) {
  TEventSet set;
  constexpr int Rounds = 2000;
  std::atomic<int> consumed{0};
  // The producer signals slot i % 16 only after the consumer has taken the previous one, so no signal
  // can collapse into one still pending: each of the Rounds signals must come out once, in order.
  std::atomic<int> next{0};
  std::thread producer([&] {
    for (int i = 0; i < Rounds; ++i) {
      while (next.load() != i) {
        std::this_thread::yield();
      }
      set.Signal(i % TEventSet::Count);
    }
  });
  bool inOrder = true;
  for (int i = 0; i < Rounds; ++i) {
    const int index = set.WaitAny();
    inOrder = inOrder && index == i % TEventSet::Count;
    ++consumed;
    next.store(i + 1);
  }
  producer.join();
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(consumed.load(), Rounds);
  EXPECT_EQ(set.WaitAnyFor(0ms), TEventSet::TimedOut);
}

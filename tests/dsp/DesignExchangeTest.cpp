// SPDX-License-Identifier: GPL-3.0-or-later
// The hand-over of designs to the channels: what a channel holds lives, the rest goes with the next
// Publish, and a channel reading designs while they are published and freed reads each one whole (run
// under ThreadSanitizer and AddressSanitizer by the test command).

#include "dsp/DesignExchange.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// A design that counts the live ones and can tell when it is read after being freed or torn.
struct TCounted {
  explicit TCounted(int value, std::atomic<int>& live) : Values(64, value), Live(live) { ++Live; }
  ~TCounted() { --Live; }
  std::vector<int> Values;
  std::atomic<int>& Live;
};

} // namespace

TEST(DesignExchange, KeepsTheNewestAndWhatTheChannelsHoldAndFreesTheRest) {
  std::atomic<int> live{0};
  {
    TDesignExchange<TCounted> designs;
    designs.Publish(std::make_unique<TCounted>(1, live));
    const TCounted& first = designs.Take(0);
    designs.Publish(std::make_unique<TCounted>(2, live));
    designs.Publish(std::make_unique<TCounted>(3, live));
    EXPECT_EQ(live.load(), 2); // the one channel 0 holds, and the newest; 2 went
    EXPECT_EQ(designs.Take(1).Values[0], 3);
    const TCounted& third = designs.Take(0, &first); // fading from the first
    EXPECT_EQ(third.Values[0], 3);
    designs.Publish(std::make_unique<TCounted>(4, live));
    EXPECT_EQ(live.load(), 3);     // the first (kept), the third (held by both), the fourth
    EXPECT_EQ(first.Values[0], 1); // still whole
    designs.Take(0);               // done with both
    designs.Take(1);               // now on the fourth
    designs.Publish(std::make_unique<TCounted>(5, live));
    EXPECT_EQ(live.load(), 2); // the fourth, held, and the fifth
    EXPECT_EQ(designs.Latest().Values[0], 5);
  }
  EXPECT_EQ(live.load(), 0);
}

TEST(DesignExchange, ChannelsTakingWhileDesignsArePublishedAndFreedReadEachWhole) {
  std::atomic<int> live{0};
  TDesignExchange<TCounted> designs;
  designs.Publish(std::make_unique<TCounted>(0, live));
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::vector<std::thread> channels;
  for (int c = 0; c < 2; ++c) {
    channels.emplace_back([&, c] {
      const TCounted* kept = nullptr;
      int seen = 0;
      while (!stop.load()) {
        const TCounted& now = designs.Take(c, kept);
        for (const int v : now.Values) {
          torn += v != now.Values[0] || v < seen ? 1 : 0; // never older than one taken before
        }
        seen = now.Values[0];
        kept = seen % 3 == 0 ? &now : nullptr; // now and then it goes on using one
      }
    });
  }
  for (int i = 1; i <= 20000; ++i) {
    designs.Publish(std::make_unique<TCounted>(i, live));
  }
  stop.store(true);
  for (std::thread& t : channels) {
    t.join();
  }
  EXPECT_EQ(torn.load(), 0);
  EXPECT_LE(live.load(), 7); // the newest and at most three per channel
}

// SPDX-License-Identifier: GPL-3.0-or-later
// A block that reaches the chain while the user-interface thread is in the middle of an edit waits
// for the edit and goes through the chain as the edit leaves it, even when the edit empties the list
// for a moment (a chain load clears the list before it fills it again).

#include "ProbeFilter.h"

#include "dsp/FilterList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using sonotest::TProbeFilter;

namespace {

constexpr int32_t Frames = 256;

std::vector<uint8_t> Block16(const TWaveFormat& format, int16_t value) {
  std::vector<uint8_t> bytes(static_cast<size_t>(Frames) * format.nBlockAlign);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    bytes[i] = static_cast<uint8_t>(static_cast<uint16_t>(value));
    bytes[i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(value) >> 8);
  }
  return bytes;
}

} // namespace

TEST(BlockDuringEdit, ABlockArrivingWhileAnEditEmptiesTheListGoesThroughTheListTheEditLeaves) {
  for (const uint16_t channels : {1, 2}) {
    const TWaveFormat format = MakePCMFormat(44100, channels, 16);
    TFilterList chain(44100);
    chain.Add(std::make_unique<TProbeFilter>(44100));
    std::vector<uint8_t> block = Block16(format, 1000);

    std::atomic<bool> entering{false};
    std::atomic<bool> done{false};
    std::thread worker;
    {
      // The edit: the list is emptied, then filled again with a filter that triples the signal.
      std::lock_guard edit(chain.Lock());
      chain.Clear();
      worker = std::thread([&] {
        entering = true;
        chain.ProcessBlock(block.data(), Frames, format);
        done = true;
      });
      while (!entering) {
        std::this_thread::yield();
      }
      // Give a worker that does not wait for the edit the chance to slip through.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      EXPECT_FALSE(done) << channels << " channel(s): the block went through in the middle of the edit";
      auto tripler = std::make_unique<TProbeFilter>(44100);
      tripler->Gain = 3.0;
      chain.Add(std::move(tripler));
    }
    worker.join();
    EXPECT_EQ(block, Block16(format, 3000)) << channels << " channel(s)";
  }
}

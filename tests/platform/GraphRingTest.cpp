// SPDX-License-Identifier: GPL-3.0-or-later
// The rings between the worker and a graph's data thread: exact bytes where they were written and
// silence everywhere else, one dropout per run past what was written, the capture's losses to the
// byte, and a writer and a reader on two threads woken by the doorbell (run under ThreadSanitizer by
// the test command).

#include "devices/platform/GraphRing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
#include <thread>
#include <vector>

namespace {

// A byte that tells its position, never the silence byte 0.
uint8_t At(uint64_t position) {
  return static_cast<uint8_t>(1 + position % 251);
}

std::vector<uint8_t> Counting(uint64_t from, uint32_t n) {
  std::vector<uint8_t> bytes(n);
  for (uint32_t i = 0; i < n; ++i) {
    bytes[i] = At(from + i);
  }
  return bytes;
}

std::vector<uint8_t> Played(TGraphPlaybackRing& ring, uint32_t n) {
  std::vector<uint8_t> out(n, 0xEE);
  ring.Play(out.data(), n);
  return out;
}

} // namespace

TEST(GraphRing, PlaybackHandsOutWhatWasWrittenWhereItWasWrittenAcrossTheWrapAndSilenceAroundIt) {
  TGraphPlaybackRing ring(1024, 128);
  EXPECT_EQ(Played(ring, 300), std::vector<uint8_t>(300, 128)) << "nothing written yet";
  ring.Write(900, Counting(900, 200).data(), 200); // 124 bytes to the ring's end, 76 from its start
  std::vector<uint8_t> expected(1200, 128);
  for (uint64_t p = 900; p < 1100; ++p) {
    expected[p] = At(p);
  }
  std::vector<uint8_t> out(expected.begin(), expected.begin() + 300);
  for (int piece = 1; piece < 4; ++piece) {
    const std::vector<uint8_t> part = Played(ring, 300);
    out.insert(out.end(), part.begin(), part.end());
  }
  EXPECT_EQ(out, expected);
  EXPECT_EQ(ring.Played(), 1200u);
  EXPECT_EQ(ring.Dropouts(), 1u) << "ran past the block once";
  // A block after a gap: the gap plays as silence, not as what the ring held on its last pass.
  ring.Write(1300, Counting(1300, 100).data(), 100);
  const std::vector<uint8_t> after = Played(ring, 300);
  EXPECT_TRUE(std::all_of(after.begin(), after.begin() + 100, [](uint8_t b) { return b == 128; }));
  EXPECT_EQ(std::vector<uint8_t>(after.begin() + 100, after.begin() + 200), Counting(1300, 100));
  EXPECT_EQ(ring.Dropouts(), 2u);
  Played(ring, 300);
  EXPECT_EQ(ring.Dropouts(), 2u) << "one dropout per run, until something new is written";
}

TEST(GraphRing, RestartSilencesWhatWasNotPlayedAndNeitherThatNorTheEndNorAPassCountsADropout) {
  TGraphPlaybackRing ring(1024, 0);
  ring.Write(0, Counting(0, 512).data(), 512);
  EXPECT_EQ(Played(ring, 256), Counting(0, 256));
  ring.Restart();
  EXPECT_EQ(Played(ring, 256), std::vector<uint8_t>(256, 0));
  EXPECT_EQ(ring.Dropouts(), 0u) << "nothing written since the start";
  ring.Write(512, Counting(512, 256).data(), 256);
  ring.SetEnding(true);
  EXPECT_EQ(Played(ring, 512), [] {
    std::vector<uint8_t> v = Counting(512, 256);
    v.resize(512, 0);
    return v;
  }());
  ring.SetEnding(false);
  ring.Write(1024, Counting(1024, 256).data(), 256);
  ring.Pass(300); // a cycle the graph skipped
  EXPECT_EQ(ring.Played(), 1324u);
  Played(ring, 100);
  EXPECT_EQ(ring.Dropouts(), 0u);
}

TEST(GraphRing, CaptureGivesBackEveryByteInOrderAndWhatAFullRingDroppedToTheByte) {
  TGraphCaptureRing ring(1000, 128);
  ring.Capture(Counting(0, 700).data(), 700);
  ring.Capture(nullptr, 100); // a hole in the graph's stream
  std::vector<uint8_t> out(600);
  ring.Read(out.data(), 600);
  EXPECT_EQ(out, Counting(0, 600));
  ring.Capture(Counting(800, 900).data(), 900); // room for 800 of them
  EXPECT_EQ(ring.TakeLost(), 100u);
  EXPECT_EQ(ring.TakeLost(), 0u);
  EXPECT_EQ(ring.Available(), 1000u);
  ring.Read(out.data(), 100);
  EXPECT_EQ(out[99], At(699));
  ring.Read(out.data(), 100);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 100), std::vector<uint8_t>(100, 128));
  ring.Skip(200);
  ring.Read(out.data(), 600); // across the wrap
  EXPECT_EQ(out, Counting(1000, 600));
  EXPECT_EQ(ring.Captured(), 1600u);
}

TEST(GraphRing, AWriterAndAReaderOnTwoThreadsHandOverEveryByteInPlaceOrSilenceNeverOlderSound) {
  constexpr uint32_t Block = 256;
  constexpr uint64_t Blocks = 4000;
  TGraphPlaybackRing ring(16 * Block, 0);
  TDoorbell bell;
  std::atomic<bool> started{false};
  std::atomic<bool> written{false};
  uint64_t wrong = 0;
  uint64_t sound = 0;
  std::thread reader([&] {
    std::vector<uint8_t> out(300);
    // The graph starts on a written block; after that it runs at its own pace.
    while (!started.load()) {
      std::this_thread::yield();
    }
    while (!written.load() || ring.Played() < Blocks * Block) {
      const uint64_t from = ring.Played();
      ring.Play(out.data(), 300);
      for (uint32_t i = 0; i < 300; ++i) {
        wrong += out[i] != 0 && out[i] != At(from + i);
        sound += out[i] != 0;
      }
      bell.Ring();
    }
  });
  for (uint64_t k = 0; k < Blocks; ++k) {
    const uint64_t at = k * Block;
    // No further ahead than a ring allows; a block whose place went by is not written.
    for (uint32_t seen = bell.Seen(); at + Block > ring.Played() + ring.Size(); seen = bell.Seen()) {
      bell.WaitFor(seen, std::chrono::milliseconds(10));
    }
    if (at >= ring.Played()) {
      ring.Write(at, Counting(at, Block).data(), Block);
    }
    started = true;
  }
  written = true;
  reader.join();
  EXPECT_EQ(wrong, 0u);
  EXPECT_GT(sound, 0u);
}

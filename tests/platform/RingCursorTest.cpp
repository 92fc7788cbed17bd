// SPDX-License-Identifier: GPL-3.0-or-later
// The unwrapped ring position that the PulseAudio back-end and the fake share: what it plays, what it
// counts, which slots it signals.

#include "devices/platform/RingCursor.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace {

// A ring of four 4-byte slots of 8-bit sound (silence 128) whose bytes count up from 1.
struct SmallRing {
  std::vector<uint8_t> memory = std::vector<uint8_t>(16);
  TEventSet events;
  TRingCursor cursor{16, 128};

  SmallRing() {
    std::iota(memory.begin(), memory.end(), uint8_t{1});
    TSoundNotifyPositions positions{};
    for (int i = 0; i < TEventSet::Count; ++i) {
      positions[i] = {static_cast<uint32_t>(4 * (i % 4) + 3), i % 4};
    }
    cursor.SetNotifications(positions, &events);
  }
  std::vector<uint8_t> Play(uint64_t n) {
    std::vector<uint8_t> heard;
    cursor.Play(memory.data(), n, [&](const uint8_t* bytes, uint32_t count) {
      heard.insert(heard.end(), bytes, bytes + count);
    });
    return heard;
  }
  std::vector<int> Signalled() const {
    std::vector<int> slots;
    for (int i = 0; i < 4; ++i) {
      if (events.IsSignalled(i)) {
        slots.push_back(i);
      }
    }
    return slots;
  }
};

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  return std::vector<uint8_t>(values.begin(), values.end());
}

} // namespace

TEST(RingCursor, PlaysWhatWasCommittedAndSilenceElsewhereAcrossTheWrap) {
  SmallRing ring;
  ring.cursor.Rewind(6);
  ring.cursor.Commit(8, 20); // offsets 8 to 15, then 0 to 3 of the next pass
  EXPECT_EQ(ring.Play(22), Bytes({128, 128, 9, 10,  11,  12,  13,  14,  15,  16,  1,
                                  2,   3,   4, 128, 128, 128, 128, 128, 128, 128, 128}));
  EXPECT_EQ(ring.cursor.Position(), 28u);
  EXPECT_EQ(ring.cursor.Offset(), 12u);
  EXPECT_EQ(ring.Signalled(), (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(ring.cursor.Dropouts(), 1u); // ran past what was written, once
}

TEST(RingCursor, CountsOneDropoutPerRunPastTheWrittenEndAndNoneBeforeAnythingWasWritten) {
  SmallRing ring;
  ring.Play(8); // silence before the first block is no dropout
  EXPECT_EQ(ring.cursor.Dropouts(), 0u);
  ring.cursor.Commit(12, 16);
  ring.cursor.Commit(16, 20); // right after the previous one: one range
  ring.Play(16);
  EXPECT_EQ(ring.cursor.Dropouts(), 1u);
  // A range committed behind the position plays nothing of itself and counts nothing more.
  ring.cursor.Commit(20, 24);
  EXPECT_EQ(ring.Play(4), Bytes({128, 128, 128, 128}));
  EXPECT_EQ(ring.cursor.Dropouts(), 1u);
  // A new range after a gap, while the old one had just been played to its end: the gap is heard.
  ring.cursor.Commit(28, 32);
  ring.Play(4);
  ring.cursor.Commit(40, 44);
  EXPECT_EQ(ring.cursor.Dropouts(), 2u);
  EXPECT_EQ(ring.Play(12), Bytes({128, 128, 128, 128, 128, 128, 128, 128, 9, 10, 11, 12}));
  // A range beyond the next pass, as from a Write that raced a rewind, is ignored.
  ring.cursor.Commit(100, 104);
  EXPECT_EQ(ring.Play(4), Bytes({128, 128, 128, 128}));
  EXPECT_EQ(ring.cursor.Dropouts(), 3u);
}

TEST(RingCursor, AnEndHandsOutNothingPastWhatWasWrittenUntilTheNextCommit) {
  SmallRing ring;
  ring.cursor.Commit(4, 8);
  ring.cursor.EndAtWritten();
  EXPECT_FALSE(ring.cursor.HandedAll());
  EXPECT_EQ(ring.Play(16), Bytes({128, 128, 128, 128, 5, 6, 7, 8}));
  EXPECT_TRUE(ring.cursor.HandedAll());
  EXPECT_TRUE(ring.Play(4).empty());
  EXPECT_EQ(ring.cursor.Dropouts(), 0u); // the end of a drain is no dropout
  ring.cursor.Commit(8, 12);
  EXPECT_FALSE(ring.cursor.Ending());
  EXPECT_EQ(ring.Play(4), Bytes({9, 10, 11, 12}));
}

TEST(RingCursor, CaptureStoresAcrossTheWrapAndAHoleAsSilence) {
  SmallRing ring;
  ring.cursor.Rewind(14);
  const std::vector<uint8_t> data = {50, 51, 52, 53};
  ring.cursor.Capture(ring.memory.data(), data.data(), data.size());
  ring.cursor.Capture(ring.memory.data(), nullptr, 2);
  EXPECT_EQ(ring.cursor.Position(), 20u);
  EXPECT_EQ(Bytes({ring.memory[14], ring.memory[15], ring.memory[0], ring.memory[1], ring.memory[2],
                   ring.memory[3]}),
            Bytes({50, 51, 52, 53, 128, 128}));
  EXPECT_EQ(ring.Signalled(), (std::vector<int>{0, 3}));
}

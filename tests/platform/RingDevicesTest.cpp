// SPDX-License-Identifier: GPL-3.0-or-later
// The ring devices on the scriptable sound services: sizes, offsets, cursors, restore, a stalled worker,
// short blocks, drains, capture in ring order and a ring behind, failures.

#include "devices/DirectSoundDevices.h"
#include "support/FakeSoundServices.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr TWaveFormat Stereo16At44100 = MakePCMFormat(44100, 2, 16);
constexpr TWaveFormat Mono8At8000 = MakePCMFormat(8000, 1, 8);

struct PlaybackRig {
  std::shared_ptr<TFakeSoundServices> fake = std::make_shared<TFakeSoundServices>();
  TDirectSoundPlaybackDevice device{fake, std::nullopt};

  explicit PlaybackRig(const TWaveFormat& format) {
    device.Buffer().Format() = format;
    device.Open();
  }
  // A block whose bytes count up from `seed`, so that every byte shows where it landed.
  void FillBlock(uint8_t seed) {
    std::iota(device.Buffer().Data(), device.Buffer().Data() + device.Buffer().Bytes(), seed);
  }
  void WriteAfterNotification(int slot) {
    fake->NotifyPlayback({slot});
    device.Write();
  }
  bool RingHolds(uint32_t offset, const uint8_t* bytes, uint32_t count) const {
    const TFakeRing ring = fake->PlaybackRing();
    return std::equal(bytes, bytes + count, ring.Memory.begin() + offset);
  }
};

struct CaptureRig {
  std::shared_ptr<TFakeSoundServices> fake = std::make_shared<TFakeSoundServices>();
  TDirectSoundRecordingDevice device{fake, std::nullopt};

  explicit CaptureRig(const TWaveFormat& format) {
    device.Buffer().Format() = format;
    device.Open();
    // Every byte of the ring tells its slot and its place in the slot.
    std::vector<uint8_t>& memory = fake->CaptureMemory();
    for (size_t i = 0; i < memory.size(); ++i) {
      memory[i] = static_cast<uint8_t>(i * 7 + i / 16384);
    }
  }
  bool BufferHoldsRing(uint32_t from) {
    const std::vector<uint8_t>& memory = fake->CaptureMemory();
    return std::equal(device.Buffer().Data(), device.Buffer().Data() + device.Buffer().Bytes(),
                      memory.begin() + from);
  }
};

} // namespace

TEST(RingPlayback, OpensSixteenBlockRingWithSlotEndNotificationsAt44100Stereo16) {
  PlaybackRig rig(Stereo16At44100);
  EXPECT_EQ(rig.device.Buffer().Bytes(), 16384);
  EXPECT_EQ(rig.device.RingSize(), 262144);
  const TFakeRing ring = rig.fake->PlaybackRing();
  EXPECT_EQ(ring.Memory.size(), 262144u);
  EXPECT_EQ(ring.Flags, 0x8100u);
  EXPECT_EQ(ring.Format, Stereo16At44100);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(ring.Positions[i].Offset, static_cast<uint32_t>(16384 * (i + 1) - 1));
    EXPECT_EQ(ring.Positions[i].EventIndex, i);
  }
  EXPECT_EQ(ring.Positions[0].Offset, 16383u);
  EXPECT_EQ(ring.Positions[15].Offset, 262143u);
  const std::vector<std::string> expected = {"DirectSoundCreate none", "SetCooperativeLevel 2",
                                             "CreateSoundBuffer 262144 33024", "QueryInterface"};
  const std::vector<std::string> calls = rig.fake->Calls();
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 4), expected);
  EXPECT_EQ(calls[4].rfind("SetNotificationPositions 16383 32767 ", 0), 0u);
  EXPECT_EQ(rig.device.WritePosition(), -1);
}

TEST(RingPlayback, StartFillsWholeRingWithFormatSilenceAndPlaysLooping) {
  {
    PlaybackRig rig(Mono8At8000);
    EXPECT_EQ(rig.device.Buffer().Bytes(), 512);
    EXPECT_EQ(rig.device.RingSize(), 8192);
    rig.device.Start();
    const TFakeRing ring = rig.fake->PlaybackRing();
    ASSERT_EQ(ring.Memory.size(), 8192u);
    EXPECT_TRUE(std::all_of(ring.Memory.begin(), ring.Memory.end(), [](uint8_t b) { return b == 128; }));
    EXPECT_TRUE(ring.Running);
    EXPECT_TRUE(ring.Looping);
    EXPECT_EQ(rig.fake->CallsStartingWith("Lock"), std::vector<std::string>{"Lock 0 0 2"});
    EXPECT_EQ(rig.fake->CallsStartingWith("Play"), std::vector<std::string>{"Play 1"});
  }
  {
    PlaybackRig rig(Stereo16At44100);
    rig.device.Start();
    rig.device.Start(); // a second Start on a running ring silences it again and keeps it playing
    const TFakeRing ring = rig.fake->PlaybackRing();
    EXPECT_TRUE(std::all_of(ring.Memory.begin(), ring.Memory.end(), [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(ring.Running);
  }
}

TEST(RingPlayback, FirstBlockLandsTwoBlocksAheadOfWriteCursorInOneRegion) {
  PlaybackRig rig(Stereo16At44100);
  rig.device.Start();
  rig.fake->SetCursors(240000, 250000);
  rig.FillBlock(3);
  rig.fake->ClearCalls();
  rig.WriteAfterNotification(0);
  EXPECT_EQ(rig.fake->CallsStartingWith("Lock"), std::vector<std::string>{"Lock 20624 16384 0"});
  EXPECT_EQ(rig.fake->CallsStartingWith("Unlock"), std::vector<std::string>{"Unlock 16384 0"});
  EXPECT_EQ(rig.fake->CallsStartingWith("Commit"), std::vector<std::string>{"Commit 282768 299152"});
  EXPECT_TRUE(rig.RingHolds(20624, rig.device.Buffer().Data(), 16384));
  EXPECT_EQ(rig.device.WritePosition(), 20624 + 16384);

  // The next block follows without a gap once the write cursor has moved on.
  rig.fake->SetWriteCursor(260000);
  rig.FillBlock(77);
  rig.WriteAfterNotification(1);
  EXPECT_EQ(rig.fake->CallsStartingWith("Lock"),
            (std::vector<std::string>{"Lock 20624 16384 0", "Lock 37008 16384 0"}));
  EXPECT_TRUE(rig.RingHolds(37008, rig.device.Buffer().Data(), 16384));
}

TEST(RingPlayback, SmallBlocksKeepALeadOfTwoServerRequestsAndABlockThatGrowsAfterEachRunPast) {
  auto fake = std::make_shared<TFakeSoundServices>();
  TDirectSoundPlaybackDevice device(fake, std::nullopt);
  device.Buffer().Format() = MakePCMFormat(48000, 2, 16);
  device.SetBlockFrames(64); // 256-byte slots, a 4096-byte ring
  device.Open();
  device.Start();
  fake->SetRequest(1024); // the server asks for 256 frames at once
  fake->SetCursors(0, 10000);
  const auto commits = [&] { return fake->CallsStartingWith("Commit"); };
  fake->NotifyPlayback({0});
  device.Write();
  EXPECT_EQ(commits(), std::vector<std::string>{"Commit 12304 12560"}); // 2 requests and a block: 2304
  // The server took everything written and more: the next block lands a block further ahead.
  fake->ClearCalls();
  fake->SetWriteCursor(13000);
  fake->NotifyPlayback({1});
  device.Write();
  EXPECT_EQ(commits(), std::vector<std::string>{"Commit 15560 15816"});
  // Without requests longer than a block, two blocks as ever.
  fake->SetRequest(256);
  device.Stop();
  device.Start();
  fake->ClearCalls();
  fake->SetCursors(0, 20000);
  fake->NotifyPlayback({2});
  device.Write();
  EXPECT_EQ(commits(), std::vector<std::string>{"Commit 20768 21024"}); // one run past so far: 2 + 1
  // A server cycle of 512 frames wants more lead than the 16-slot ring has: an error, not endless dropouts.
  fake->SetRequest(2048);
  fake->NotifyPlayback({3});
  try {
    device.Write();
    ADD_FAILURE() << "a request the ring cannot lead was accepted";
  } catch (const TDSPException& e) {
    EXPECT_EQ(e.Operation, "IDirectSoundBuffer::Lock (сервер звука берёт звук по 512 отсчётов, больше, чем "
                           "успевает дать кольцо из 16 блоков по 64 отсчётов; выберите блок больше)");
  }
}

TEST(RingPlayback, BlockThatCrossesRingEndIsSplitIntoTwoRegions) {
  PlaybackRig rig(Stereo16At44100);
  rig.device.Start();
  rig.fake->SetWriteCursor(220000);
  rig.FillBlock(9);
  rig.WriteAfterNotification(5);
  EXPECT_EQ(rig.fake->CallsStartingWith("Lock 2"), std::vector<std::string>{"Lock 252768 16384 0"});
  EXPECT_EQ(rig.fake->CallsStartingWith("Unlock 9376"), std::vector<std::string>{"Unlock 9376 7008"});
  const uint8_t* block = rig.device.Buffer().Data();
  EXPECT_TRUE(rig.RingHolds(252768, block, 9376));
  EXPECT_TRUE(rig.RingHolds(0, block + 9376, 7008));
  EXPECT_EQ(rig.device.WritePosition(), 7008);

  rig.fake->SetWriteCursor(230000);
  rig.WriteAfterNotification(6);
  EXPECT_EQ(rig.fake->CallsStartingWith("Lock 7008"), std::vector<std::string>{"Lock 7008 16384 0"});
}

TEST(RingPlayback, StopRewindsAndNextWriteResynchronisesToWriteCursor) {
  PlaybackRig rig(Stereo16At44100);
  rig.device.Start();
  rig.fake->SetWriteCursor(250000);
  rig.WriteAfterNotification(0);
  rig.fake->SetWriteCursor(260000);
  rig.WriteAfterNotification(1);
  rig.device.Stop();
  EXPECT_EQ(rig.device.WritePosition(), -1);
  const TFakeRing stopped = rig.fake->PlaybackRing();
  EXPECT_FALSE(stopped.Running);
  EXPECT_EQ(stopped.CurrentPosition, 0u);
  EXPECT_EQ(stopped.Cursor.Position(), 0u);
  const std::vector<std::string> calls = rig.fake->Calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[calls.size() - 2], "Stop");
  EXPECT_EQ(calls.back(), "SetCurrentPosition 0");

  rig.device.Start();
  rig.fake->SetWriteCursor(100000);
  rig.fake->ClearCalls();
  rig.WriteAfterNotification(2);
  EXPECT_EQ(rig.fake->CallsStartingWith("Lock"), std::vector<std::string>{"Lock 132768 16384 0"});
}

TEST(RingPlayback, LostBufferIsRestoredSilencedAndItsBlockWrittenAtZeroBeforePlayRestarts) {
  PlaybackRig rig(Stereo16At44100);
  rig.device.Start();
  rig.fake->SetWriteCursor(250000);
  rig.WriteAfterNotification(0);
  rig.fake->ReportLost();
  rig.fake->PlaybackMemory().assign(262144, 0x33); // what a lost ring may hold once restored
  rig.FillBlock(41);
  rig.fake->ClearCalls();
  rig.WriteAfterNotification(1);
  const std::vector<std::string> expected = {
      "GetStatus",      "Restore",        "Lock 0 0 2",           "Unlock 262144 0",
      "Lock 0 16384 0", "Unlock 16384 0", "SetCurrentPosition 0", "Commit 0 16384",
      "Play 1"};
  EXPECT_EQ(rig.fake->Calls(), expected);
  EXPECT_TRUE(rig.RingHolds(0, rig.device.Buffer().Data(), 16384));
  const std::vector<uint8_t>& memory = rig.fake->PlaybackMemory();
  EXPECT_TRUE(std::all_of(memory.begin() + 16384, memory.end(), [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(rig.device.WritePosition(), -1);

  // The Write after the restart takes its place from the write cursor again.
  rig.fake->SetWriteCursor(16384);
  rig.fake->ClearCalls();
  rig.WriteAfterNotification(2);
  EXPECT_EQ(rig.fake->CallsStartingWith("GetCurrentPosition").size(), 1u);
  EXPECT_EQ(rig.fake->CallsStartingWith("Lock"), std::vector<std::string>{"Lock 49152 16384 0"});
}

TEST(RingPlayback, ShortLastBlockIsFollowedBySilenceToTheEndOfItsSlot) {
  PlaybackRig rig(Stereo16At44100);
  rig.device.Start();
  rig.fake->SetWriteCursor(0);
  rig.fake->PlaybackMemory().assign(262144, 0x77);
  rig.FillBlock(1);
  rig.device.Buffer().SetLength(1000); // 4000 bytes of a 16384-byte slot
  rig.WriteAfterNotification(0);
  EXPECT_EQ(rig.fake->CallsStartingWith("Lock 3"), std::vector<std::string>{"Lock 32768 16384 0"});
  EXPECT_EQ(rig.fake->CallsStartingWith("Commit"), std::vector<std::string>{"Commit 32768 49152"});
  EXPECT_TRUE(rig.RingHolds(32768, rig.device.Buffer().Data(), 4000));
  const std::vector<uint8_t>& memory = rig.fake->PlaybackMemory();
  EXPECT_TRUE(std::all_of(memory.begin() + 36768, memory.begin() + 49152, [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(memory[49152], 0x77);
  EXPECT_EQ(rig.device.WritePosition(), 49152);
}

namespace {

// Playback at the pace of a server: one slot played out before each block is written. Block n holds
// the byte n + 1 throughout (never the silence 128 of 8 bits).
struct PacedPlayback : PlaybackRig {
  PacedPlayback() : PlaybackRig(Mono8At8000) { device.Start(); }
  void PlayThenWrite(int block) {
    fake->PlayOut(512);
    std::fill_n(device.Buffer().Data(), 512, static_cast<uint8_t>(block + 1));
    device.Write();
  }
  // What was heard, as the block numbers in order; a run of silence counts as -1.
  std::vector<int> HeardBlocks() const {
    const std::vector<uint8_t> heard = fake->PlaybackRing().Heard;
    std::vector<int> blocks;
    for (size_t i = 0; i < heard.size(); ++i) {
      const int value = heard[i] == 128 ? -1 : heard[i] - 1;
      if (i == 0 || value != (heard[i - 1] == 128 ? -1 : heard[i - 1] - 1)) {
        blocks.push_back(value);
      }
    }
    return blocks;
  }
};

} // namespace

TEST(RingPlayback, WorkerStalledThreeBlocksIsHeardAsSilenceNotTheEarlierPassAndCountsOneDropout) {
  PacedPlayback rig;
  for (int block = 0; block < 24; ++block) { // one and a half passes around the ring
    rig.PlayThenWrite(block);
  }
  EXPECT_EQ(rig.device.Dropouts(), 0u);
  // The worker stalls for three blocks: playback plays out the two blocks written ahead, then three
  // blocks' worth of what the ring held a pass before, unless it plays silence.
  const std::vector<uint8_t> stall = rig.fake->PlayOut(5 * 512);
  EXPECT_EQ(stall[3 * 512 - 1], 24); // the last block written
  EXPECT_TRUE(std::all_of(stall.begin() + 3 * 512, stall.end(), [](uint8_t b) { return b == 128; }));

  rig.fake->ClearCalls();
  rig.PlayThenWrite(24);
  // Two blocks ahead of the write cursor again: the cursor is at 30 blocks played.
  EXPECT_EQ(rig.fake->CallsStartingWith("Commit"), std::vector<std::string>{"Commit 16384 16896"});
  for (int block = 25; block < 30; ++block) {
    rig.PlayThenWrite(block);
  }
  rig.fake->PlayOut(3 * 512); // what was written, to its end
  EXPECT_EQ(rig.device.Dropouts(), 1u);

  // Every block once, in order; silence only before the first block and for the stall.
  std::vector<int> expected = {-1};
  for (int block = 0; block < 24; ++block) {
    expected.push_back(block);
  }
  expected.push_back(-1);
  for (int block = 24; block < 30; ++block) {
    expected.push_back(block);
  }
  EXPECT_EQ(rig.HeardBlocks(), expected);
}

TEST(RingPlayback, WriteAfterARewindItDidNotSeeResynchronisesInsteadOfWaitingForTheOldPosition) {
  PlaybackRig rig(Stereo16At44100);
  rig.device.Start();
  rig.fake->SetWriteCursor(250000);
  rig.WriteAfterNotification(0); // the next block would go to 299152
  // A Stop on the window thread rewound the ring while that Write was under way, and the Start after
  // it; the device still holds its old place, far ahead of the rewound cursor.
  rig.fake->SetWriteCursor(1000);
  rig.fake->NotifyPlayback({1});
  rig.fake->ClearCalls();
  auto write = std::async(std::launch::async, [&] { rig.device.Write(); });
  if (write.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
    rig.fake->FailPlaybackEvents(0x80004005u, "released by the test");
    ADD_FAILURE() << "the Write waited for the position it held before the rewind";
  }
  EXPECT_NO_THROW(write.get());
  EXPECT_EQ(rig.fake->CallsStartingWith("Commit"), std::vector<std::string>{"Commit 33768 50152"});
  EXPECT_EQ(rig.device.WritePosition(), 50152);
  EXPECT_EQ(rig.device.Dropouts(), 0u);
}

TEST(RingPlayback, NotificationsLeftFromAStallDoNotLetWritesRunAheadOfTheRing) {
  PacedPlayback rig;
  rig.fake->SetWriteCursor(0);
  rig.fake->NotifyPlayback({7, 3, 12});
  rig.device.Write();
  EXPECT_EQ(rig.fake->CallsStartingWith("Lock "),
            (std::vector<std::string>{"Lock 0 0 2", "Lock 1024 512 0"}));
  // The next block would start three blocks ahead of the write cursor: despite the signals left, the
  // Write waits until a slot has played.
  auto second = std::async(std::launch::async, [&] { rig.device.Write(); });
  EXPECT_EQ(second.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  rig.fake->PlayOut(512);
  second.get();
  EXPECT_EQ(rig.fake->CallsStartingWith("Lock 1"),
            (std::vector<std::string>{"Lock 1024 512 0", "Lock 1536 512 0"}));
  for (int i = 0; i < 16; ++i) {
    EXPECT_FALSE(rig.device.Events().IsSignalled(i));
  }
}

TEST(RingPlayback, UnderflowTheStreamReportsCountsAsADropout) {
  PacedPlayback rig;
  rig.PlayThenWrite(0);
  rig.fake->ReportUnderflow();
  rig.PlayThenWrite(1);
  EXPECT_EQ(rig.device.Dropouts(), 1u);
  rig.device.Open(); // counts run from Open
  EXPECT_EQ(rig.device.Dropouts(), 0u);
}

TEST(RingPlayback, DrainPlaysOutEverythingWrittenThenReportsWhole) {
  PacedPlayback rig;
  for (int block = 0; block < 4; ++block) {
    rig.PlayThenWrite(block);
  }
  std::atomic<bool> cancel{false};
  auto drain = std::async(std::launch::async, [&] { return rig.device.Drain(cancel); });
  EXPECT_EQ(drain.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  // The server plays what was written and nothing after it, however much it asks for.
  std::vector<uint8_t> rest;
  while (drain.wait_for(std::chrono::milliseconds(5)) == std::future_status::timeout) {
    const std::vector<uint8_t> piece = rig.fake->PlayOut(256);
    rest.insert(rest.end(), piece.begin(), piece.end());
  }
  EXPECT_TRUE(drain.get());
  ASSERT_EQ(rest.size(), 3u * 512);
  EXPECT_EQ(rest.back(), 4);
  EXPECT_EQ(rig.fake->CallsStartingWith("BeginDrain").size(), 1u);
  EXPECT_EQ(rig.device.Dropouts(), 0u); // the end of what was written is no dropout on a drain

  // A stopped ring, and one with nothing written since its start, have nothing to play out.
  rig.device.Stop();
  EXPECT_TRUE(rig.device.Drain(cancel));
  rig.device.Start();
  EXPECT_TRUE(rig.device.Drain(cancel));
  EXPECT_EQ(rig.fake->CallsStartingWith("BeginDrain").size(), 1u);
}

TEST(RingPlayback, DrainEndsFalseWhenCancelledOrWhenItsBoundRunsOut) {
  PacedPlayback rig;
  rig.PlayThenWrite(0);
  std::atomic<bool> cancel{false};
  auto cancelled = std::async(std::launch::async, [&] { return rig.device.Drain(cancel); });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  cancel = true;
  ASSERT_EQ(cancelled.wait_for(std::chrono::milliseconds(500)), std::future_status::ready);
  EXPECT_FALSE(cancelled.get());

  // Nothing plays: three blocks (192 ms) were pending, so the drain gives up a second after that.
  cancel = false;
  rig.PlayThenWrite(1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(rig.device.Drain(cancel));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(1150));
  EXPECT_LT(took, std::chrono::milliseconds(3000));
}

TEST(RingCapture, OpensSixteenBlockRingWithSlotEndNotifications) {
  CaptureRig rig(Stereo16At44100);
  EXPECT_EQ(rig.device.RingSize(), 262144);
  const TFakeRing ring = rig.fake->CaptureRing();
  EXPECT_EQ(ring.Memory.size(), 262144u);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(rig.device.NotifyPositions()[i].Offset, static_cast<uint32_t>(16384 * (i + 1) - 1));
    EXPECT_EQ(ring.Positions[i].Offset, static_cast<uint32_t>(16384 * (i + 1) - 1));
  }
  const std::vector<std::string> calls = rig.fake->Calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0], "DirectSoundCaptureCreate none");
  EXPECT_EQ(calls[1], "CreateCaptureBuffer 262144");
  EXPECT_EQ(calls[2], "QueryInterface");

  CaptureRig small(Mono8At8000);
  EXPECT_EQ(small.device.RingSize(), 8192);
  EXPECT_EQ(small.device.NotifyPositions()[15].Offset, 8191u);
}

namespace {

// Capture at 8000 Hz, 8 bits, mono (512-byte blocks); block n of the stream holds the byte n + 1.
struct TaggedCapture : CaptureRig {
  TaggedCapture() : CaptureRig(Mono8At8000) { device.Start(); }
  void Capture(int from, int count) {
    for (int block = from; block < from + count; ++block) {
      fake->CaptureBytes(std::vector<uint8_t>(512, static_cast<uint8_t>(block + 1)));
    }
  }
  // The block the buffer holds, or -1 when it holds no single block.
  int ReadBlock() {
    device.Read();
    const uint8_t* data = device.Buffer().Data();
    const bool whole = std::all_of(data, data + 512, [&](uint8_t b) { return b == data[0]; });
    return whole ? data[0] - 1 : -1;
  }
};

} // namespace

TEST(RingCapture, ReadTakesSlotsInRingOrderAcrossTheWrap) {
  TaggedCapture rig;
  EXPECT_EQ(rig.fake->CallsStartingWith("Start"), std::vector<std::string>{"Start 1"});
  rig.Capture(0, 14);
  rig.fake->ClearCalls();
  for (int block = 0; block < 13; ++block) {
    EXPECT_EQ(rig.ReadBlock(), block);
  }
  // Slot 3 is bytes 1536 to 2047 of the ring of 512-byte slots.
  EXPECT_EQ(rig.fake->CallsStartingWith("Lock")[3], "Lock 1536 512 0");
  // Slots 13, 14, 15 and, after the wrap, 0 are pending, and slot 0's signal is raised again first:
  // they are read in ring order, not lowest index first.
  rig.Capture(14, 3);
  rig.fake->NotifyCapture({0, 15});
  rig.fake->ClearCalls();
  EXPECT_EQ(rig.ReadBlock(), 13);
  EXPECT_EQ(rig.ReadBlock(), 14);
  EXPECT_EQ(rig.ReadBlock(), 15);
  EXPECT_EQ(rig.ReadBlock(), 16);
  EXPECT_EQ(
      rig.fake->CallsStartingWith("Lock"),
      (std::vector<std::string>{"Lock 6656 512 0", "Lock 7168 512 0", "Lock 7680 512 0", "Lock 0 512 0"}));
  EXPECT_EQ(rig.device.Dropouts(), 0u);

  // The next Read waits for its slot, not for any signal.
  auto next = std::async(std::launch::async, [&] { return rig.ReadBlock(); });
  rig.fake->NotifyCapture({5});
  EXPECT_EQ(next.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  rig.Capture(17, 1);
  EXPECT_EQ(next.get(), 17);
}

TEST(RingCapture, WorkerAWholeRingBehindResynchronisesToTheNewestWholeBlockAndCountsOneDropout) {
  TaggedCapture rig;
  rig.Capture(0, 2);
  EXPECT_EQ(rig.ReadBlock(), 0);
  // The worker stalls while the ring fills past the block it was to read next.
  rig.Capture(2, 17);
  rig.fake->CaptureBytes(std::vector<uint8_t>(100, 200)); // part of block 19
  EXPECT_EQ(rig.ReadBlock(), 18);
  EXPECT_EQ(rig.device.Dropouts(), 1u);
  EXPECT_EQ(rig.device.LostFramesBeforeBlock(), 17 * 512); // blocks 1 to 17, to the frame
  rig.fake->CaptureBytes(std::vector<uint8_t>(412, 200));
  EXPECT_EQ(rig.ReadBlock(), 199);
  EXPECT_EQ(rig.device.LostFramesBeforeBlock(), 0);
  rig.Capture(20, 1);
  EXPECT_EQ(rig.ReadBlock(), 20);
  EXPECT_EQ(rig.device.Dropouts(), 1u);

  // Exactly a ring behind is not yet behind: the oldest block is still whole.
  rig.Capture(21, 16);
  EXPECT_EQ(rig.ReadBlock(), 21);
  EXPECT_EQ(rig.device.Dropouts(), 1u);
}

TEST(RingCapture, ReadAfterStopAndStartReturnsSlotCapturedBeforeStop) {
  TaggedCapture rig;
  rig.Capture(0, 1);
  rig.device.Stop();
  rig.device.Start();
  ASSERT_TRUE(rig.device.Events().IsSignalled(0));
  EXPECT_EQ(rig.ReadBlock(), 0); // returns at once: the block outlived the stop
  EXPECT_FALSE(rig.device.Events().IsSignalled(0));
  EXPECT_EQ(rig.fake->CallsStartingWith("Stop"), std::vector<std::string>{"Stop"});
}

// A stopped ring never keeps the worker waiting: Stop wakes a Write or a Read that waits for a slot,
// and neither waits until the next Start. The writer's block is dropped (Start silences the ring);
// the reader's block is empty.
TEST(RingDevices, StopWakesAWaitingWriteOrReadAndNeitherWaitsUntilTheNextStart) {
  PlaybackRig play(Mono8At8000);
  play.device.Start();
  play.fake->ClearCalls();
  auto writer = std::async(std::launch::async, [&] { play.device.Write(); });
  play.device.Stop();
  writer.get();        // woken, or the test hangs here
  play.device.Write(); // stopped: at once
  EXPECT_TRUE(play.fake->CallsStartingWith("Lock").empty());
  play.device.Start();
  play.WriteAfterNotification(0);
  EXPECT_EQ(play.fake->CallsStartingWith("Lock").size(), 2u); // Start's silence, then the block

  TaggedCapture capture;
  auto reader = std::async(std::launch::async, [&] { capture.device.Read(); });
  capture.device.Stop();
  reader.get();
  EXPECT_EQ(capture.device.Buffer().Frames(), 0);
  capture.device.Read();
  EXPECT_EQ(capture.device.Buffer().Frames(), 0);
  capture.device.Start();
  capture.Capture(0, 1);
  EXPECT_EQ(capture.ReadBlock(), 0);
  EXPECT_EQ(capture.device.Buffer().Frames(), 512);
}

// ---- Failures ------------------------------------------------------------------------------------

namespace {

struct FailingCall {
  const char* Call; // the fake's name of the call
  const char* Step; // Open, Start, Stop, Write, Drain or Read
  bool Capture;
  const char* Operation; // what the error record names
};

const FailingCall FailingCalls[] = {
    {"DirectSoundCreate", "Open", false, "DirectSoundCreate"},
    {"SetCooperativeLevel", "Open", false, "IDirectSound::SetCooperativeLevel"},
    {"CreateSoundBuffer", "Open", false, "IDirectSound::CreateSoundBuffer"},
    {"QueryInterface", "Open", false, "IDirectSoundBuffer::QueryInterface"},
    {"SetNotificationPositions", "Open", false, "IDirectSoundNotify::SetNotificationPositions"},
    {"Lock", "Start", false, "IDirectSoundBuffer::Lock"},
    {"Unlock", "Start", false, "IDirectSoundBuffer::Unlock"},
    {"Play", "Start", false, "IDirectSoundBuffer::Play"},
    {"Stop", "Stop", false, "IDirectSoundBuffer::Stop"},
    {"SetCurrentPosition", "Stop", false, "IDirectSoundBuffer::SetCurrentPosition"},
    {"GetStatus", "Write", false, "IDirectSoundBuffer::GetStatus"},
    {"GetCurrentPosition", "Write", false, "IDirectSoundBuffer::GetCurrentPosition"},
    {"Lock", "Write", false, "IDirectSoundBuffer::Lock"},
    {"Unlock", "Write", false, "IDirectSoundBuffer::Unlock"},
    {"Commit", "Write", false, "IDirectSoundBuffer::Unlock"},
    {"GetCurrentPosition", "Drain", false, "IDirectSoundBuffer::GetCurrentPosition"},
    {"BeginDrain", "Drain", false, "IDirectSoundBuffer::Stop"},
    {"GetStatus", "Drain", false, "IDirectSoundBuffer::GetStatus"},
    {"DirectSoundCaptureCreate", "Open", true, "DirectSoundCaptureCreate"},
    {"CreateCaptureBuffer", "Open", true, "IDirectSoundCapture::CreateCaptureBuffer"},
    {"QueryInterface", "Open", true, "IDirectSoundCaptureBuffer::QueryInterface"},
    {"SetNotificationPositions", "Open", true, "IDirectSoundNotify::SetNotificationPositions"},
    {"Start", "Start", true, "IDirectSoundCaptureBuffer::Start"},
    {"Stop", "Stop", true, "IDirectSoundCaptureBuffer::Stop"},
    {"GetCurrentPosition", "Read", true, "IDirectSoundCaptureBuffer::GetCurrentPosition"},
    {"Lock", "Read", true, "IDirectSoundCaptureBuffer::Lock"},
    {"Unlock", "Read", true, "IDirectSoundCaptureBuffer::Unlock"},
};

// Runs the device up to the failing step, with the call set to fail there; returns the error.
TDSPException FailAt(const FailingCall& f, int32_t code, const std::string& text) {
  auto fake = std::make_shared<TFakeSoundServices>();
  const std::string step = f.Step;
  std::unique_ptr<TAudioDevice> device;
  if (f.Capture) {
    device = std::make_unique<TDirectSoundRecordingDevice>(fake, std::optional<std::string>("src"));
  } else {
    device = std::make_unique<TDirectSoundPlaybackDevice>(fake, std::optional<std::string>("sink"));
  }
  try {
    if (step == "Open") {
      fake->FailCall(f.Call, code, text);
    }
    device->Open();
    if (step == "Start") {
      fake->FailCall(f.Call, code, text);
    }
    device->Start();
    if (step == "Stop") {
      fake->FailCall(f.Call, code, text);
    }
    device->Stop();
    device->Start();
    if (step != "Drain") {
      fake->FailCall(f.Call, code, text);
    }
    if (f.Capture) {
      fake->CaptureBytes(std::vector<uint8_t>(static_cast<size_t>(device->Buffer().Bytes()), 128));
      static_cast<TRecordingDevice&>(*device).Read();
    } else {
      auto& playback = static_cast<TPlaybackDevice&>(*device);
      fake->NotifyPlayback({0});
      playback.Write();
      fake->FailCall(f.Call, code, text);
      const std::atomic<bool> cancel{false};
      playback.Drain(cancel);
    }
  } catch (const TDSPException& e) {
    return e;
  }
  ADD_FAILURE() << f.Call << " at " << f.Step << " did not raise";
  return {};
}

} // namespace

TEST(RingDeviceErrors, EveryFailingCallRaisesItsOperationWithBackEndTextAndDescription) {
  for (const FailingCall& f : FailingCalls) {
    SCOPED_TRACE(std::string(f.Operation) + " at " + f.Step);
    const TDSPException e = FailAt(f, SoundNoDriver, "pa_context_connect: Connection refused");
    EXPECT_EQ(e.Informational, 0);
    EXPECT_EQ(e.ResultCode, 0x88780078u);
    EXPECT_EQ(e.Operation, std::string(f.Operation) + " (pa_context_connect: Connection refused)");
    EXPECT_EQ(e.Description, "No sound driver is available for use");
  }
}

TEST(RingDeviceErrors, DescriptionFollowsResultCodeAndEmptyTextLeavesBareCallName) {
  const FailingCall play = FailingCalls[7];
  TDSPException e = FailAt(play, SoundBadFormat, "");
  EXPECT_EQ(e.Operation, "IDirectSoundBuffer::Play");
  EXPECT_EQ(e.Description, "The specified wave format is not supported");
  e = FailAt(play, SoundFail, "pa_stream_cork: Bad state");
  EXPECT_EQ(e.ResultCode, 0x80004005u);
  EXPECT_EQ(e.Description, "An undetermined error occurred inside the DirectSound subsystem");
  e = FailAt(play, static_cast<int32_t>(0x80001234u), "x");
  EXPECT_EQ(e.Description, "");
}

TEST(RingDeviceErrors, DeviceWhoseOpenFailedReleasesWhatItAcquired) {
  auto fake = std::make_shared<TFakeSoundServices>();
  {
    TDirectSoundPlaybackDevice device(fake, std::nullopt);
    fake->FailCall("SetNotificationPositions", SoundFail, "");
    EXPECT_THROW(device.Open(), TDSPException);
    EXPECT_TRUE(fake->CallsStartingWith("Release").empty());
  }
  EXPECT_EQ(fake->CallsStartingWith("Release").size(), 1u);
}

TEST(RingDeviceErrors, FailedEventSetWakesBlockedWriteWithServerError) {
  auto fake = std::make_shared<TFakeSoundServices>();
  TDirectSoundPlaybackDevice device(fake, std::nullopt);
  device.Open();
  device.Start();
  auto writer = std::async(std::launch::async, [&] { device.Write(); });
  fake->FailPlaybackEvents(0x88780078u, "pa_stream: Connection terminated");
  try {
    writer.get();
    FAIL() << "Write returned";
  } catch (const TDSPException& e) {
    EXPECT_EQ(e.ResultCode, 0x88780078u);
    EXPECT_EQ(e.Operation, "IDirectSoundBuffer::Play (pa_stream: Connection terminated)");
    EXPECT_EQ(e.Description, "No sound driver is available for use");
  }
  // Every later wait fails at once, until the device is opened again.
  EXPECT_THROW(device.Write(), TDSPException);
  device.Open();
  device.Start();
  fake->NotifyPlayback({0});
  EXPECT_NO_THROW(device.Write());
}

TEST(RingDeviceErrors, FailedEventSetWakesBlockedReadWithServerError) {
  auto fake = std::make_shared<TFakeSoundServices>();
  TDirectSoundRecordingDevice device(fake, std::nullopt);
  device.Open();
  device.Start();
  auto reader = std::async(std::launch::async, [&] { device.Read(); });
  fake->FailCaptureEvents(0x80004005u, "pa_stream: Stream killed");
  try {
    reader.get();
    FAIL() << "Read returned";
  } catch (const TDSPException& e) {
    EXPECT_EQ(e.ResultCode, 0x80004005u);
    EXPECT_EQ(e.Operation, "IDirectSoundCaptureBuffer::Start (pa_stream: Stream killed)");
  }
}

TEST(RingDeviceErrors, UnopenedDeviceRaisesInsteadOfTouchingAMissingRing) {
  auto fake = std::make_shared<TFakeSoundServices>();
  TDirectSoundPlaybackDevice playback(fake, std::nullopt);
  TDirectSoundRecordingDevice capture(fake, std::nullopt);
  EXPECT_THROW(playback.Start(), TDSPException);
  EXPECT_THROW(playback.Write(), TDSPException);
  EXPECT_THROW(capture.Read(), TDSPException);
  EXPECT_TRUE(fake->Calls().empty());
}

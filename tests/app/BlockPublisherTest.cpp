// The publication for the displays: the reader always gets one whole update, the newest; small blocks
// are paced by the input's frames and shown as the newest default block's length.

#include "app/BlockPublisher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

TAudioBuffer Block(int32_t frames, uint32_t rate = 44100, uint16_t channels = 2) {
  TAudioBuffer b;
  b.Format() = MakePCMFormat(rate, channels, 16);
  b.SetFrames(frames);
  return b;
}

// Every byte of a block holds the pass's number, modulo 251.
void Fill(TAudioBuffer& b, uint64_t pass) {
  std::memset(b.Data(), static_cast<int>(pass % 251), static_cast<size_t>(b.Bytes()));
}

bool Uniform(const TAudioBuffer& b, uint8_t value) {
  for (int32_t i = 0; i < b.Bytes(); ++i) {
    if (b.Data()[i] != value) {
      return false;
    }
  }
  return true;
}

} // namespace

TEST(BlockPublisher, NothingIsTakenBeforeAPassAndEachPassIsTakenOnce) {
  TAudioBuffer input = Block(4096);
  TAudioBuffer output = Block(4096);
  TBlockPublisher publisher;
  publisher.Shape(input, output);
  EXPECT_EQ(publisher.TakeNewest(), nullptr);
  Fill(input, 1);
  Fill(output, 2);
  publisher.Publish(input, output, 777);
  const TPublishedBlock* b = publisher.TakeNewest();
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->Sequence, 1u);
  EXPECT_EQ(b->Elapsed, 777u);
  EXPECT_TRUE(Uniform(b->Input, 1));
  EXPECT_TRUE(Uniform(b->Output, 2));
  EXPECT_EQ(publisher.TakeNewest(), nullptr);

  // Of two passes published before a take, the newer; a short last block keeps its length.
  publisher.Publish(input, output, 1);
  output.SetLength(1000);
  Fill(output, 9);
  publisher.Publish(input, output, 2);
  b = publisher.TakeNewest();
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->Sequence, 3u);
  EXPECT_EQ(b->Output.Frames(), 1000);
  EXPECT_TRUE(Uniform(b->Output, 9));
  EXPECT_EQ(b->Input.Frames(), 4096);
}

// A writer as fast as it goes against a reader: every block taken is whole (input, output and time
// of one pass) and newer than the one before. Under ThreadSanitizer this is also the check that the
// slots are never shared.
TEST(BlockPublisher, AReaderAgainstARunningWriterSeesOnlyWholeBlocksInOrder) {
  TAudioBuffer input = Block(2048, 22050); // the default block at 22050 Hz: one pass per update
  TAudioBuffer output = Block(2048, 22050);
  TBlockPublisher publisher;
  publisher.Shape(input, output);
  constexpr uint64_t Passes = 20000;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (uint64_t pass = 1; pass <= Passes; ++pass) {
      Fill(input, pass);
      Fill(output, pass + 1);
      publisher.Publish(input, output, pass);
    }
    done.store(true);
  });
  uint64_t last = 0;
  uint64_t taken = 0;
  bool whole = true;
  while (!done.load() || last < Passes) {
    const TPublishedBlock* b = publisher.TakeNewest();
    if (b == nullptr) {
      std::this_thread::yield();
      continue;
    }
    ++taken;
    whole = whole && b->Sequence > last && b->Elapsed == b->Sequence &&
            Uniform(b->Input, static_cast<uint8_t>(b->Sequence % 251)) &&
            Uniform(b->Output, static_cast<uint8_t>((b->Sequence + 1) % 251));
    last = b->Sequence;
  }
  writer.join();
  EXPECT_TRUE(whole);
  EXPECT_EQ(last, Passes);
  EXPECT_GT(taken, 1u);
}

namespace {

// Mono 16-bit blocks whose sample n of the whole input is n modulo 1000, the output its negative;
// one sample of the input, `spikeAt`, is `spike` instead.
struct TRamp {
  int64_t next = 0;
  int64_t spikeAt = -1;
  int16_t spike = 0;

  static int16_t At(int64_t n) { return static_cast<int16_t>(n % 1000); }
  void Fill(TAudioBuffer& input, TAudioBuffer& output) {
    auto* in = reinterpret_cast<int16_t*>(input.Data());
    auto* out = reinterpret_cast<int16_t*>(output.Data());
    for (int32_t i = 0; i < input.Frames(); ++i, ++next) {
      in[i] = next == spikeAt ? spike : At(next);
      out[i] = static_cast<int16_t>(-At(next));
    }
  }
};

// Whether a history holds exactly the ramp's frames first .. first + frames - 1, in order.
::testing::AssertionResult HoldsRamp(const TAudioBuffer& b, int64_t first, int32_t frames, int sign) {
  if (b.Frames() != frames) {
    return ::testing::AssertionFailure() << b.Frames() << " frames, not " << frames;
  }
  const auto* s = reinterpret_cast<const int16_t*>(b.Data());
  for (int32_t i = 0; i < frames; ++i) {
    if (s[i] != sign * TRamp::At(first + i)) {
      return ::testing::AssertionFailure() << "frame " << i << " holds " << s[i];
    }
  }
  return ::testing::AssertionSuccess();
}

} // namespace

// Blocks of 64 and 256 frames at 48000 Hz (the default block there: 4096) and 64 at 44100 Hz: an
// update per 4096 frames of input, whatever the block, each showing the newest 4096 frames of input
// and output; between updates every pass counts in the figures.
TEST(BlockPublisher, SmallBlocksArePacedByTheInputAndShowTheNewestDefaultBlock) {
  for (const auto& [frames, rate] : {std::pair{64, 48000u}, std::pair{256, 48000u}, std::pair{64, 44100u}}) {
    SCOPED_TRACE(frames);
    TAudioBuffer input = Block(frames, rate, 1);
    TAudioBuffer output = Block(frames, rate, 1);
    TBlockPublisher publisher;
    publisher.Shape(input, output);
    ASSERT_EQ(publisher.HistoryFrames(), 4096);
    TRamp ramp;
    const int64_t seconds = 3;
    int64_t updates = 0;
    for (int64_t pass = 0; ramp.next < seconds * rate; ++pass) {
      ramp.Fill(input, output);
      const bool due = publisher.Add(input, output, static_cast<uint64_t>(pass % 7));
      if (!due) {
        continue;
      }
      ++updates;
      publisher.PublishPending();
      EXPECT_FALSE(publisher.Pending());
      const TPublishedBlock* b = publisher.TakeNewest();
      ASSERT_NE(b, nullptr);
      ASSERT_TRUE(HoldsRamp(b->Input, ramp.next - 4096, 4096, 1)) << "update " << updates;
      ASSERT_TRUE(HoldsRamp(b->Output, ramp.next - 4096, 4096, -1)) << "update " << updates;
      ASSERT_EQ(b->Figures.Passes, 4096 / frames);
      ASSERT_EQ(b->Elapsed, 6u); // the longest pass among them
      ASSERT_EQ(b->Figures.Peaks[0], 999);
    }
    // Counted against the input's frames: about 11 updates a second of input, the default block's pace.
    EXPECT_EQ(updates, seconds * rate / 4096);
    EXPECT_GE(updates, 10 * seconds);
    EXPECT_LE(updates, 30 * seconds);
  }
}

// A peak in one small block between two updates reaches the next update, and one in an update the
// reader never took reaches the update after it; the first updates show what came so far.
TEST(BlockPublisher, APeakBetweenUpdatesIsKeptUntilTheReaderTakesOne) {
  TAudioBuffer input = Block(64, 48000, 2);
  TAudioBuffer output = Block(64, 48000, 2);
  TBlockPublisher publisher;
  publisher.Shape(input, output);
  const auto pass = [&](int16_t left, int16_t right) {
    auto* s = reinterpret_cast<int16_t*>(input.Data());
    for (int32_t i = 0; i < 64; ++i) {
      s[2 * i] = i == 10 ? left : 0;
      s[2 * i + 1] = i == 20 ? right : 0;
    }
    return publisher.Add(input, output, 1);
  };
  // 4096 / 64 = 64 passes an update; the peaks are in pass 7.
  for (int i = 0; i < 64; ++i) {
    EXPECT_EQ(pass(i == 7 ? -32768 : 3, i == 7 ? 1000 : -5), i == 63) << i;
  }
  publisher.PublishPending();
  const TPublishedBlock* b = publisher.TakeNewest();
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->Input.Frames(), 4096);
  EXPECT_EQ(b->Figures.Peaks, (std::array<int32_t, 2>{32768, 1000}));
  // Not taken: its peak goes into the next update, whose own blocks are quieter.
  for (int i = 0; i < 64; ++i) {
    pass(i == 30 ? 20000 : 0, 0);
  }
  publisher.PublishPending();
  for (int i = 0; i < 64; ++i) {
    pass(100, 0);
  }
  publisher.PublishPending();
  b = publisher.TakeNewest();
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->Sequence, 3u);
  EXPECT_EQ(b->Figures.Passes, 128);
  EXPECT_EQ(b->Figures.Peaks, (std::array<int32_t, 2>{20000, 0}));
  // A taken update's peaks are not shown again; a partial stretch is pending until published.
  pass(50, 0);
  EXPECT_TRUE(publisher.Pending());
  publisher.PublishPending();
  b = publisher.TakeNewest();
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->Figures.Peaks, (std::array<int32_t, 2>{50, 0}));
  EXPECT_EQ(b->Figures.Passes, 1);
}

// Blocks of the default length: every pass is an update showing that block alone, a short last one
// with its own length, as before there were small blocks; so are blocks longer than the default.
TEST(BlockPublisher, DefaultAndLongerBlocksAreEachAnUpdateOfTheirOwnFrames) {
  for (const auto& [frames, rate] : {std::pair{4096, 48000u}, std::pair{2048, 8000u}}) {
    SCOPED_TRACE(frames);
    TAudioBuffer input = Block(frames, rate, 1);
    TAudioBuffer output = Block(frames, rate, 1);
    TBlockPublisher publisher;
    publisher.Shape(input, output);
    EXPECT_EQ(publisher.HistoryFrames(), frames);
    TRamp ramp;
    for (int i = 0; i < 3; ++i) {
      if (i == 2) {
        input.SetLength(frames / 4);
        output.SetLength(frames / 4);
      }
      const int64_t first = ramp.next;
      ramp.Fill(input, output);
      ASSERT_TRUE(publisher.Add(input, output, 5));
      publisher.PublishPending();
      const TPublishedBlock* b = publisher.TakeNewest();
      ASSERT_NE(b, nullptr);
      EXPECT_TRUE(HoldsRamp(b->Input, first, input.Frames(), 1));
      EXPECT_TRUE(HoldsRamp(b->Output, first, input.Frames(), -1));
      EXPECT_EQ(b->Figures.Passes, 1);
      const int64_t last = first + input.Frames() - 1;
      EXPECT_EQ(b->Figures.Peaks[0], last / 1000 > first / 1000 ? 999 : TRamp::At(last));
    }
  }
}

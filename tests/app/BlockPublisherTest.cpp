// The publication of blocks for the displays: the reader always gets one whole pass, the newest.

#include "app/BlockPublisher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

TAudioBuffer Block(int32_t frames) {
  TAudioBuffer b;
  b.Format() = MakePCMFormat(44100, 2, 16);
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
  TAudioBuffer input = Block(2048);
  TAudioBuffer output = Block(2048);
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

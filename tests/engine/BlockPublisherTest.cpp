// SPDX-License-Identifier: GPL-3.0-or-later
// The publication for the displays: the reader always gets one whole update, the newest; small blocks
// are paced by the input's frames and shown as the newest default block's length.

#include "engine/BlockPublisher.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// Passes of a mono ramp (sample n: n modulo 1000, 30000 at n = spikeAt; the output its negative),
// a short last one among them, taking every update due. Blocks shorter than the default one (4096
// frames at 48000 and 44100 Hz) give one update per 4096 frames of input with the newest 4096 frames;
// a block of the default length or longer is an update alone, as before. Each update carries the
// peak and the longest pass of its blocks.
TEST(BlockPublisher, UpdatesArePacedByTheInputAndShowTheNewestDefaultBlockOrTheBlock) {
  for (const auto& [frames, rate] : {std::pair{64, 48000u}, std::pair{256, 48000u}, std::pair{64, 44100u},
                                     std::pair{4096, 48000u}, std::pair{2048, 8000u}}) {
    const int32_t shown = std::max(frames, BlockFrames(rate)); // the default block: 4096, 512 at 8000 Hz
    const int64_t total = 3 * std::max<int64_t>(rate, frames) - frames / 4;
    const int64_t spikeAt = total / 2 + 5;
    const auto ramp = [&](int64_t n, bool spike) { return spike && n == spikeAt ? 30000 : n % 1000; };
    TAudioBuffer input = Block(frames, rate, 1);
    TAudioBuffer output = Block(frames, rate, 1);
    TBlockPublisher publisher;
    publisher.Shape(input, output);
    ASSERT_EQ(publisher.HistoryFrames(), shown);
    int64_t next = 0, last = 0, updates = 0;
    for (int64_t pass = 0; next < total; ++pass) {
      const auto n = static_cast<int32_t>(std::min<int64_t>(frames, total - next));
      input.SetLength(n);
      output.SetLength(n);
      for (int32_t i = 0; i < n; ++i, ++next) {
        reinterpret_cast<int16_t*>(input.Data())[i] = static_cast<int16_t>(ramp(next, true));
        reinterpret_cast<int16_t*>(output.Data())[i] = static_cast<int16_t>(-ramp(next, false));
      }
      if (!publisher.Add(input, output, static_cast<uint64_t>(pass % 7))) {
        continue;
      }
      ++updates;
      publisher.PublishPending();
      const TPublishedBlock* b = publisher.TakeNewest();
      const int32_t held = shown > frames ? shown : n;
      int64_t peak = 0;
      for (int64_t k = last; k < next; ++k) {
        peak = std::max(peak, ramp(k, true));
      }
      bool same = b->Input.Frames() == held && b->Output.Frames() == held && b->Figures.Peaks[0] == peak &&
                  b->Figures.Passes == (next - last + frames - 1) / frames &&
                  b->Elapsed == static_cast<uint64_t>(next - last > frames ? 6 : pass % 7);
      for (int32_t i = 0; same && i < held; ++i) {
        same = reinterpret_cast<const int16_t*>(b->Input.Data())[i] == ramp(next - held + i, true) &&
               reinterpret_cast<const int16_t*>(b->Output.Data())[i] == -ramp(next - held + i, false);
      }
      ASSERT_TRUE(same) << frames << " frames, update " << updates << " ending at frame " << next;
      last = next;
    }
    // Small blocks: one update per 4096 frames, about 11 a second of input; else one a block.
    EXPECT_EQ(updates, shown > frames ? total / shown : (total + frames - 1) / frames) << frames;
  }
}

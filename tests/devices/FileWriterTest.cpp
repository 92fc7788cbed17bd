// SPDX-License-Identifier: GPL-3.0-or-later
// The writer thread of a set-up's file outputs, through the list as the worker drives it. A named pipe
// stands for a stalled disk: the writer blocks on it until the test reads, and the ring behind it fills.

#include "devices/FileWriter.h"
#include "devices/PlaybackDevsList.h"
#include "devices/VirtDevs.h"
#include "devices/WaveFile.h"
#include "support/SoundFiles.h"
#include "support/TestFiles.h"
#include "support/Watchdog.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <thread>

using namespace sonotest;

namespace {

constexpr int32_t Frames = 256;
const TWaveFormat Mono16 = MakePCMFormat(8000, 1, 16);

// A named pipe whose read end the test holds: nothing is read until StartReading, so the writer blocks.
class TPipe {
public:
  explicit TPipe(const std::string& path) : path(path) {
    if (::mkfifo(path.c_str(), 0600) != 0) {
      throw std::runtime_error("mkfifo " + path);
    }
    readEnd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
  }
  ~TPipe() {
    Finish();
    CloseReadEnd();
  }
  void StartReading() {
    ::fcntl(readEnd, F_SETFL, 0);
    reader = std::thread([this] {
      uint8_t chunk[4096];
      for (ssize_t n = 0; (n = ::read(readEnd, chunk, sizeof chunk)) > 0;) {
        bytes.insert(bytes.end(), chunk, chunk + n);
      }
    });
  }
  // The stream as read to its end (the writer's Close).
  TWaveContents Finish() {
    if (reader.joinable()) {
      reader.join();
    }
    return ParseWave(bytes);
  }
  void CloseReadEnd() {
    if (readEnd >= 0) {
      ::close(readEnd);
      readEnd = -1;
    }
  }

  const std::string path;

private:
  int readEnd = -1;
  std::thread reader;
  std::vector<uint8_t> bytes;
};

// One output file, written through the list; block k holds the sample k + 1 throughout.
struct TFileSetUp {
  TFileSetUp(const std::string& file, bool live) {
    auto device = std::make_unique<TWAVEFilePlaybackDevice>();
    device->Buffer().Format() = Mono16;
    device->SetBlockFrames(Frames);
    device->SetFileName(file);
    outputs.Add(std::move(device));
    outputs.OpenAll();
    source.Format() = Mono16;
    source.SetFrames(Frames);
    outputs.Prepare(source, live);
  }
  void Write(int k) {
    std::fill_n(reinterpret_cast<int16_t*>(source.Data()), Frames, static_cast<int16_t>(k + 1));
    outputs.ConvertAll(source);
    outputs.WriteAll();
  }
  TPlaybackDevsList outputs;
  TAudioBuffer source;
};

// Walks the samples block by block: every block written is there whole and in order, and a block that
// is missing is silence of its length. Returns the blocks found missing, or -1 on anything else.
int64_t MissingBlocks(const std::vector<int16_t>& samples, int blocks) {
  int64_t missing = 0;
  int expected = 0;
  for (size_t at = 0; at + Frames <= samples.size(); at += Frames) {
    const int16_t v = samples[at];
    for (size_t i = 1; i < Frames; ++i) {
      if (samples[at + i] != v) {
        return -1;
      }
    }
    if (v == 0) {
      ++missing;
      ++expected;
    } else if (v != expected + 1) {
      return -1;
    } else {
      ++expected;
    }
  }
  return expected == blocks && samples.size() == static_cast<size_t>(blocks) * Frames ? missing : -1;
}

} // namespace

// A live set-up does not wait for a stalled file: the blocks the full ring had no room for are counted,
// and the file gets silence of their exact length, so that it lasts as long as the sound did.
TEST(FileWriter, ALiveSetUpLosesWhatAFullRingCannotHoldAndWritesItsLengthAsSilence) {
  TTempDir dir;
  TPipe pipe(dir.File("stalled.wav"));
  TFileSetUp setUp(pipe.path, true);
  const TWatchdog watchdog(std::chrono::seconds(60), "a live set-up against a stalled file");
  // More than the ring and the pipe hold together: nobody reads yet.
  for (int k = 0; k < 400; ++k) {
    setUp.Write(k);
  }
  pipe.StartReading();
  for (int k = 400; k < 420; ++k) {
    setUp.Write(k);
  }
  std::atomic<bool> cancel{false};
  EXPECT_TRUE(setUp.outputs.DrainAll(cancel));
  EXPECT_TRUE(setUp.outputs.CloseAll().empty());
  const TWaveContents wave = pipe.Finish();
  const int64_t missing = MissingBlocks(wave.Samples, 420);
  EXPECT_GT(missing, 0);
  EXPECT_EQ(missing * Frames, setUp.outputs.FileLostFrames());
  EXPECT_GE(setUp.outputs.Dropouts(), 1u);
}

// A set-up of files waits for room instead: the same stall loses nothing.
TEST(FileWriter, ASetUpOfFilesWaitsForRoomAndLosesNothing) {
  TTempDir dir;
  TPipe pipe(dir.File("slow.wav"));
  TFileSetUp setUp(pipe.path, false);
  const TWatchdog watchdog(std::chrono::seconds(60), "a set-up of files against a stalled file");
  std::atomic<int> written{0};
  std::thread worker([&] {
    for (int k = 0; k < 400; ++k) {
      setUp.Write(k);
      written.store(k + 1);
    }
    std::atomic<bool> cancel{false};
    setUp.outputs.DrainAll(cancel);
  });
  while (written.load() < 64) { // the ring's two seconds, before anyone reads
    std::this_thread::yield();
  }
  pipe.StartReading();
  worker.join();
  EXPECT_TRUE(setUp.outputs.CloseAll().empty());
  EXPECT_EQ(MissingBlocks(pipe.Finish().Samples, 400), 0);
  EXPECT_EQ(setUp.outputs.FileLostFrames(), 0);
  EXPECT_EQ(setUp.outputs.Dropouts(), 0u);
}

// A write that fails on the writer's thread reaches the worker at its next block and at the end, as the
// error of the file that failed, and the close tells it no more; when no block came after it, the close
// hands it back instead. Told once either way.
TEST(FileWriter, AFailedWriteIsRaisedOnTheWorkerOrByTheCloseNamingTheFile) {
  std::signal(SIGPIPE, SIG_IGN);
  TTempDir dir;
  const auto expectBrokenPipe = [&](const TPipe& pipe, const std::function<void()>& step) {
    try {
      step();
      ADD_FAILURE() << "the writer's error was not raised";
    } catch (const TDSPException& e) {
      EXPECT_EQ(e.ResultCode, static_cast<uint32_t>(EPIPE));
      EXPECT_EQ(e.Operation, "WriteFile");
      EXPECT_EQ(e.Description, "Файл \"" + pipe.path + "\": Broken pipe");
    }
  };
  {
    TPipe pipe(dir.File("gone.wav"));
    TFileSetUp setUp(pipe.path, true);
    pipe.CloseReadEnd();
    setUp.Write(0);
    std::atomic<bool> cancel{false};
    expectBrokenPipe(pipe, [&] { setUp.outputs.DrainAll(cancel); }); // the end
    expectBrokenPipe(pipe, [&] { setUp.Write(1); });                 // a block after the failure
    EXPECT_TRUE(setUp.outputs.CloseAll().empty());
  }
  TPipe pipe(dir.File("closed.wav"));
  TFileSetUp setUp(pipe.path, true);
  pipe.CloseReadEnd();
  setUp.Write(0); // and the window closed: no drain
  const std::vector<TDSPException> ends = setUp.outputs.CloseAll();
  ASSERT_EQ(ends.size(), 1u);
  expectBrokenPipe(pipe, [&] { throw ends[0]; });
}

// Closing without a drain (a window closed while it plays) still writes every block queued and completes
// every file: a WAVE file's sizes, a FLAC file's end, one of them behind a rate converter.
TEST(FileWriter, CloseWritesWhatIsQueuedAndCompletesEveryFile) {
  TTempDir dir;
  TPlaybackDevsList outputs;
  for (const auto& [name, rate] : {std::pair{"out.wav", 8000u}, std::pair{"out.flac", 16000u}}) {
    auto device = std::make_unique<TWAVEFilePlaybackDevice>();
    device->Buffer().Format() = MakePCMFormat(rate, 1, 16);
    device->SetBlockFrames(Frames);
    device->SetFileName(dir.File(name));
    outputs.Add(std::move(device));
  }
  outputs.OpenAll();
  TAudioBuffer source;
  source.Format() = Mono16;
  source.SetFrames(Frames);
  outputs.Prepare(source, false);
  for (int k = 0; k < 125; ++k) { // 4 s
    FillSine(Mono16, source.Data(), Frames, 440, 8000, int64_t{k} * Frames);
    outputs.ConvertAll(source);
    outputs.WriteAll();
  }
  outputs.FlushAll();
  EXPECT_TRUE(outputs.CloseAll().empty());
  const TWaveContents wave = ReadWave(dir.File("out.wav"));
  EXPECT_EQ(wave.DataSize, 125u * Frames * 2);
  EXPECT_EQ(wave.Frames(), 125u * Frames);
  const TDecoded flac = DecodeSoundFile(dir.File("out.flac"));
  EXPECT_EQ(flac.Frames(), 2u * 125 * Frames);
  EXPECT_NEAR(ToneDb(flac.Samples, 1, 0, 440, 8000, 16000), 0.0, 0.1);
  EXPECT_NEAR(ToneDb(wave.Samples, 1, 0, 440, 8000, 8000), 0.0, 0.1);
}

// SPDX-License-Identifier: GPL-3.0-or-later
// The worker of a live set-up as a real-time thread: after its first block it allocates nothing,
// whatever the user edits, and its files keep the length of the sound. Allocations are counted by the
// operator new of this test program, on the threads that ask for it.

#include "devices/DirectSoundDevices.h"
#include "devices/WaveFile.h"
#include "devices/platform/PulseSoundServices.h"
#include "engine/ProcessingSetUp.h"
#include "filters/FilterCatalogue.h"
#include "support/FilterEdits.h"
#include "support/PrivatePulseServer.h"
#include "support/SoundFiles.h"
#include "support/TestFiles.h"
#include "support/Watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <set>

namespace {

std::atomic<uint64_t> countedAllocations{0};
thread_local bool countAllocations = false;

void* Allocate(std::size_t n) {
  if (countAllocations) {
    countedAllocations.fetch_add(1, std::memory_order_relaxed);
  }
  return std::malloc(n == 0 ? 1 : n);
}

void* AllocateAligned(std::size_t n, std::align_val_t alignment) {
  if (countAllocations) {
    countedAllocations.fetch_add(1, std::memory_order_relaxed);
  }
  const auto a = static_cast<std::size_t>(alignment);
  return std::aligned_alloc(a, (n + a - 1) / a * a);
}

} // namespace

// The scalar forms (the library's array forms call them); every form of delete that could meet these
// blocks frees them as they were made.
void* operator new(std::size_t n) {
  if (void* p = Allocate(n)) {
    return p;
  }
  throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return Allocate(n);
}
void* operator new(std::size_t n, std::align_val_t a) {
  if (void* p = AllocateAligned(n, a)) {
    return p;
  }
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}

namespace {

constexpr uint32_t Rate = 44100;
constexpr int64_t Seconds = 10;

// Counts from the end of the worker's first block on: everything set up for the passes is made by then.
class TCountingWindow final : public TProcessingNotify {
public:
  void BlockProcessed(uint64_t, int32_t) override { countAllocations = true; }
  void PostDSPNotify(uintptr_t) override {}
  void ShowDSPException(const TDSPException& e) override { shown = ComposeDSPMessage(e).Text; }
  std::string shown; // read after the worker has ended
};

std::set<std::string> ThreadNames() {
  std::set<std::string> names;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string name = sonotest::ReadText((task.path() / "comm").string());
    names.insert(name.substr(0, name.find('\n')));
  }
  return names;
}

std::unique_ptr<TWAVEFilePlaybackDevice> FileOutput(const std::string& name, uint32_t rate) {
  auto file = std::make_unique<TWAVEFilePlaybackDevice>();
  file->SetFormat(MakePCMFormat(rate, 2, 16)); // chosen: not the input's
  file->SetFileName(name);
  return file;
}

} // namespace

TEST(RealtimeWorker, LiveSoundWithEditsOfEveryTypeAndTwoFileOutputsAllocatesNothingAfterTheFirstBlock) {
  SONOTEST_REQUIRE_PULSE_SERVER();
  const sonotest::TWatchdog watchdog(std::chrono::seconds(120), "ten seconds of live sound");
  const sonotest::TTempDir dir("sonolab-realtime");
  auto services = std::make_shared<TPulseSoundServices>();
  auto input = std::make_unique<TDirectSoundRecordingDevice>(services, std::string("sonolab_null.monitor"));
  input->Buffer().Format() = MakePCMFormat(Rate, 2, 16);
  input->SetBlockFrames(256);
  auto outputs = std::make_unique<TPlaybackDevsList>();
  auto ring = std::make_unique<TDirectSoundPlaybackDevice>(services, std::string("sonolab_null"));
  ring->SetFormat(MakePCMFormat(Rate, 2, 16));
  outputs->Add(std::move(ring));
  outputs->Add(FileOutput(dir.File("take.wav"), Rate));
  outputs->Add(FileOutput(dir.File("take.flac"), 48000)); // through a rate converter
  TCountingWindow window;
  TProcessingSetUp setUp(std::move(input));
  for (int32_t type = 0; type < 16; ++type) {
    setUp.Chain()->Add(CreateFilter(type, Rate));
  }
  setUp.OpenOutputs(std::move(outputs), window);
  TProcessingThread& worker = *setUp.Worker();
  worker.LimitFrames(Seconds * Rate);
  worker.ResumeProcessing();

  // Every type in turn, a bar moved about 30 times a second, a switch now and then.
  std::mt19937 random(32);
  std::set<std::string> names;
  for (int step = 0; !worker.Finished(); ++step) {
    TFilter& filter = *setUp.Chain()->Item(step % 16);
    sonotest::EditAtRandom(filter, random);
    if (step % 50 == 49) {
      setUp.Chain()->SetEnabled(step % 16, !setUp.Chain()->IsEnabled(step % 16));
    }
    if (step == 100) {
      names = ThreadNames();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(33));
  }
  worker.WaitFor();
  EXPECT_FALSE(worker.Failed()) << window.shown;
  EXPECT_EQ(countedAllocations.load(), 0u);
  for (const char* name : {"sonolab-worker", "sonolab-writer", "sonolab-channel", "sonolab-pulse"}) {
    EXPECT_TRUE(names.count(name)) << name;
  }

  // Lost input and blocks the writer had no room for went in as silence: the files last the sound.
  setUp.Teardown();
  EXPECT_EQ(sonotest::ReadWave(dir.File("take.wav")).Frames(), static_cast<size_t>(Seconds * Rate));
  EXPECT_EQ(sonotest::DecodeSoundFile(dir.File("take.flac")).Frames(), static_cast<size_t>(Seconds * 48000));
}

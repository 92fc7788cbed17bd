// SPDX-License-Identifier: GPL-3.0-or-later
// A long render through the real processing thread while another thread edits the chain the way the
// processing window does: add, delete, swap, enable, load ".lst" and ".flt" files, save them, pause
// and resume, and rewrite parameters (kernel sizes, delay lines, band gains) thousands of times.
//
// The input is generated (44100 Hz stereo, two sines per channel); a probe filter kept at the end of
// the chain checks that every float sample the chain produces is finite; a watchdog fails the run
// when neither a block nor an edit has completed for 30 s. Memory is measured twice with the chain
// in the same reference state, after the warm-up and at the end; the heap in use must not have grown.
//
// SONOLAB_SOAK_SECONDS sets the seconds of sound (default 600; 300 under a sanitizer).

#include "dsp/CRCStreams.h"
#include "dsp/FilterError.h"
#include "dsp/FilterList.h"
#include "engine/ProcessingThread.h"
#include "filters/FilterCatalogue.h"
#include "filters/MultiBandFilter.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <numbers>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SONOLAB_SOAK_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SONOLAB_SOAK_SANITIZED 1
#endif

#ifdef SONOLAB_SOAK_SANITIZED
// The sanitizer runtimes' allocator statistics (declared here: not every compiler ships the header).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t Rate = 44100;
constexpr TWaveFormat Stereo16 = MakePCMFormat(Rate, 2, 16);
constexpr int MaxEditedFilters = 8; // plus the probe: long enough to hurt, short enough for the sanitizers
constexpr auto StallLimit = 30s;

double SoakSeconds() {
  if (const char* text = std::getenv("SONOLAB_SOAK_SECONDS"); text != nullptr && *text != '\0') {
    return std::atof(text);
  }
#ifdef SONOLAB_SOAK_SANITIZED
  return 300;
#else
  return 600;
#endif
}

// ---- Memory ------------------------------------------------------------------------------------

size_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  size_t total = 0, resident = 0;
  statm >> total >> resident;
  return resident * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
}

// Bytes the program holds on the heap: what the allocator has handed out and not taken back.
size_t HeapBytesInUse() {
#ifdef SONOLAB_SOAK_SANITIZED
  return __sanitizer_get_current_allocated_bytes();
#else
  const struct mallinfo2 info = ::mallinfo2();
  return info.uordblks + info.hblkhd;
#endif
}

struct TMemory {
  size_t Resident = 0;
  size_t Heap = 0;
};

// ---- Devices -----------------------------------------------------------------------------------

// A clockless input of `blocks` generated blocks, then the end-of-file notice. Four blocks before
// the end it holds until released, so that the last measurement always has blocks left to run.
class TGeneratedInput final : public TRecordingDevice {
public:
  explicit TGeneratedInput(int64_t blocks)
      : TRecordingDevice(dkWaveFileRecording), blocks(blocks), holdAt(blocks - 4) {
    buffer.Format() = Stereo16;
  }
  ~TGeneratedInput() override { Close(); }
  void Close() override {}
  void Start() override {}
  void Stop() override {}
  void Read() override {
    // Held back behind the editor, so that a loaded machine cannot run the whole input past it.
    while (edits != nullptr && read < holdAt && edits->load() + credit.load() < read) {
      std::this_thread::sleep_for(1ms);
    }
    if (read == holdAt) {
      std::unique_lock guard(mutex);
      releasedChanged.wait(guard, [this] { return released; });
    }
    if (read == blocks) {
      RaiseNotice("Достигнут конец файла");
    }
    auto* s = reinterpret_cast<int16_t*>(buffer.Data());
    for (int32_t i = 0; i < buffer.Frames(); ++i, ++frame) {
      const double t = static_cast<double>(frame) / Rate;
      const double left =
          6000 * std::sin(2 * std::numbers::pi * 440 * t) + 3000 * std::sin(2 * std::numbers::pi * 5000 * t);
      const double right =
          6000 * std::sin(2 * std::numbers::pi * 660 * t) + 3000 * std::sin(2 * std::numbers::pi * 90 * t);
      s[2 * i] = static_cast<int16_t>(std::lround(left));
      s[2 * i + 1] = static_cast<int16_t>(std::lround(right));
    }
    ++read;
  }
  int64_t HoldAt() const { return holdAt; }
  // Each block read before the hold waits until the editor has made as many edits, less the credit.
  void PaceBy(const std::atomic<int64_t>& editsMade) { edits = &editsMade; }
  void Credit(int64_t blocks) { credit += blocks; }
  void Release() {
    {
      std::lock_guard guard(mutex);
      released = true;
    }
    releasedChanged.notify_all();
  }

private:
  const int64_t blocks;
  const int64_t holdAt;
  int64_t read = 0;
  int64_t frame = 0;
  const std::atomic<int64_t>* edits = nullptr;
  std::atomic<int64_t> credit{0};
  std::mutex mutex;
  std::condition_variable releasedChanged;
  bool released = false;
};

// An output that only counts the blocks written and checks their size.
class TCountingOutput final : public TPlaybackDevice {
public:
  TCountingOutput() : TPlaybackDevice(dkWaveFilePlayback) { buffer.Format() = Stereo16; }
  ~TCountingOutput() override { Close(); }
  void Close() override {}
  void Start() override {}
  void Stop() override {}
  void Write() override {
    if (buffer.Bytes() != buffer.Frames() * 4 || buffer.Frames() != 4096) {
      ++badBlocks;
    }
    ++written;
  }
  std::atomic<int64_t> written{0};
  std::atomic<int64_t> badBlocks{0};
};

// ---- The probe at the end of the chain ---------------------------------------------------------

struct TProbeCounts {
  std::atomic<int64_t> Samples{0};
  std::atomic<int64_t> NonFinite{0};
};

class TFiniteProbe final : public TFilter {
public:
  TFiniteProbe(int32_t rate, TProbeCounts& counts) : TFilter(rate), counts(counts) { type = 3; }
  void Process(ChannelBlock& block, int) override {
    int64_t bad = 0;
    for (int32_t i = 0; i < block.Frames; ++i) {
      bad += std::isfinite(block.Samples[i]) ? 0 : 1;
    }
    counts.Samples += block.Frames;
    counts.NonFinite += bad;
  }
  void Update() override {}

private:
  TProbeCounts& counts;
};

// ---- The window side ---------------------------------------------------------------------------

class TSoakWindow final : public TProcessingNotify {
public:
  void PostDSPNotify(uintptr_t wParam) override {
    {
      std::lock_guard guard(mutex);
      if (wParam == 0) {
        ++blocks;
      } else {
        stopped = true;
      }
    }
    changed.notify_all();
  }
  void ShowDSPException(const TDSPException& e) override {
    std::lock_guard guard(mutex);
    shown.push_back(e);
  }
  int64_t Blocks() {
    std::lock_guard guard(mutex);
    return blocks;
  }
  // Waits until `n` blocks are done or the worker has stopped; false after `limit` without either.
  bool WaitForBlocks(int64_t n, std::chrono::milliseconds limit) {
    std::unique_lock guard(mutex);
    return changed.wait_for(guard, limit, [&] { return blocks >= n || stopped; });
  }

  std::mutex mutex;
  std::condition_variable changed;
  int64_t blocks = 0;
  bool stopped = false;
  std::vector<TDSPException> shown;
};

// ---- Settings files ----------------------------------------------------------------------------

template <typename T> void Write(TFilter& filter, const char* name, T value, size_t element = 0) {
  void* storage = filter.FindParameter(name);
  ASSERT_NE(storage, nullptr) << name;
  std::memcpy(static_cast<uint8_t*>(storage) + element * sizeof(T), &value, sizeof value);
}

// Random but accepted parameters for a filter of any of the five classes, written under its lock and
// applied in the same step, as a dialog does.
void Reparameterise(TFilter& filter, std::mt19937& random) {
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
  std::lock_guard guard(filter.Lock());
  switch (filter.Type()) {
  case 0:
  case 1:
    Write<int32_t>(filter, "KernelSize", 8 << pick(0, 7)); // 8 .. 1024
    Write<int32_t>(filter, "fc", pick(0, static_cast<int>(Rate / 2)));
    Write<int32_t>(filter, "WindowType", pick(0, 1));
    break;
  case 4:
    Write<double>(filter, "Gain", std::pow(10.0, pick(-90, 30) / 20.0), static_cast<size_t>(pick(0, 19)));
    break;
  case 9:
    Write<int32_t>(filter, "Delay", pick(1, 1000));
    Write<int32_t>(filter, "DecayTime", pick(10, 10000));
    break;
  case 11:
    Write<int32_t>(filter, "DelayLines", pick(1, 32));
    Write<int32_t>(filter, "ReverbTime", pick(10, 10000));
    Write<double>(filter, "ReverbLevel", std::pow(10.0, -pick(0, 80) / 20.0));
    Write<double>(filter, "DryLevel", std::pow(10.0, -pick(0, 80) / 20.0));
    break;
  default:
    return;
  }
  ASSERT_TRUE(filter.Validate()) << filter.Type();
  filter.Apply();
}

constexpr int32_t Types[] = {0, 1, 4, 9, 11};

std::unique_ptr<TFilter> RandomFilter(std::mt19937& random) {
  auto filter = CreateFilter(Types[std::uniform_int_distribution<int>(0, 4)(random)], Rate);
  Reparameterise(*filter, random);
  return filter;
}

struct TSettingsFiles {
  std::vector<std::string> Chains;     // loadable ".lst" files
  std::string BrokenChain;             // a ".lst" whose second record has an unknown type
  std::vector<std::string> Filters[5]; // loadable ".flt" files per class, in the order of Types
  std::string Reference;               // the chain the memory is measured with
  std::string Scratch;                 // where the editor saves
};

TSettingsFiles MakeSettingsFiles(const fs::path& dir, std::mt19937& random) {
  TSettingsFiles files;
  for (int i = 0; i < 4; ++i) {
    TFilterList chain(Rate);
    const int n = std::uniform_int_distribution<int>(1, 6)(random);
    for (int k = 0; k < n; ++k) {
      chain.Add(RandomFilter(random));
    }
    chain.SetEnabled(0, i % 2 == 0);
    files.Chains.push_back((dir / ("chain" + std::to_string(i) + ".lst")).string());
    SaveChainFile(chain, files.Chains.back());
  }
  {
    // One echo, then a record of type 16 (outside the catalogue), with a valid checksum.
    std::vector<uint8_t> payload = {2,   0, 0, 0, 9,    0, 0, 0, 9,  0, 0, 0,
                                    100, 0, 0, 0, 0xE8, 3, 0, 0, 16, 0, 0, 0};
    payload.insert(payload.end(), 16, 1);
    uint16_t sum = 0;
    for (const uint8_t b : payload) {
      sum = static_cast<uint16_t>(sum + b);
    }
    payload.push_back(static_cast<uint8_t>(sum));
    payload.push_back(static_cast<uint8_t>(sum >> 8));
    files.BrokenChain = (dir / "broken.lst").string();
    std::ofstream(files.BrokenChain, std::ios::binary)
        .write(reinterpret_cast<const char*>(payload.data()), static_cast<std::streamsize>(payload.size()));
  }
  for (int t = 0; t < 5; ++t) {
    for (int i = 0; i < 3; ++i) {
      auto filter = CreateFilter(Types[t], Rate);
      Reparameterise(*filter, random);
      files.Filters[t].push_back(
          (dir / ("f" + std::to_string(Types[t]) + "-" + std::to_string(i) + ".flt")).string());
      SaveFilterFile(*filter, files.Filters[t].back());
    }
  }
  {
    TFilterList reference(Rate);
    for (const int32_t type : Types) {
      reference.Add(CreateFilter(type, Rate));
    }
    files.Reference = (dir / "reference.lst").string();
    SaveChainFile(reference, files.Reference);
  }
  files.Scratch = (dir / "saved").string();
  return files;
}

// ---- The editor: the user-interface thread of a processing window -------------------------------

class TEditor {
public:
  TEditor(TFilterList& chain, TProcessingThread& worker, TSoakWindow& window, TGeneratedInput& input,
          TProbeCounts& probe, const TSettingsFiles& files, int64_t totalBlocks, uint32_t seed)
      : chain(chain), worker(worker), window(window), input(input), probe(probe), files(files),
        totalBlocks(totalBlocks), random(seed) {}

  // Keeps the probe as the last slot; called with the chain's lock held.
  void AppendProbe() { chain.Add(std::make_unique<TFiniteProbe>(Rate, probe)); }

  void Run() {
    const int64_t warmUp = std::max<int64_t>(20, totalBlocks / 10);
    bool warmedUp = false;
    while (!stop.load()) {
      const int64_t blocks = window.Blocks();
      if (!warmedUp && blocks >= warmUp) {
        before = Measure();
        warmedUp = true;
        continue;
      }
      if (blocks >= input.HoldAt()) {
        // The worker waits in Read with four blocks to go: the last measurement, then the end.
        after = Measure(true);
        measured = warmedUp;
        return;
      }
      // About three edits per block: the worker always gets the chain between them.
      if (edits.load() >= 3 * blocks + 3) {
        window.WaitForBlocks(blocks + 1, 100ms);
        continue;
      }
      EditOnce();
      ++edits;
    }
  }

  void Stop() { stop = true; }

  std::atomic<int64_t> edits{0};
  std::atomic<bool> stop{false};
  TMemory before, after;
  bool measured = false;
  int64_t loads = 0, refusedLoads = 0, pauses = 0;
  std::vector<std::string> problems;

private:
  int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); }
  // Filters other than the probe.
  int Edited() const { return chain.Count() - 1; }

  // The chain in the reference state, two blocks through it, then the memory in use.
  TMemory Measure(bool releaseInput = false) {
    {
      std::lock_guard guard(chain.Lock());
      LoadChainFile(chain, files.Reference);
      AppendProbe();
    }
    const int64_t now = window.Blocks();
    if (releaseInput) {
      input.Release();
    } else {
      input.Credit(2); // the blocks waited for here come without edits
    }
    window.WaitForBlocks(now + 2, 30s);
    return {ResidentBytes(), HeapBytesInUse()};
  }

  void EditOnce() {
    const int what = Pick(0, 99);
    if (what < 14 && Edited() < MaxEditedFilters) {
      // Add: appended, then moved in front of the probe, in one step under the chain's lock.
      std::lock_guard guard(chain.Lock());
      chain.Add(RandomFilter(random));
      chain.Swap(chain.Count() - 1, chain.Count() - 2);
    } else if (what < 24 && Edited() > 0) {
      chain.Delete(Pick(0, Edited() - 1));
    } else if (what < 34 && Edited() > 1) {
      chain.Swap(Pick(0, Edited() - 1), Pick(0, Edited() - 1));
    } else if (what < 48 && Edited() > 0) {
      const int slot = Pick(0, Edited() - 1);
      chain.SetEnabled(slot, !chain.IsEnabled(slot));
    } else if (what < 78 && Edited() > 0) {
      Reparameterise(*chain.Item(Pick(0, Edited() - 1)), random);
    } else if (what < 84) {
      LoadChain();
    } else if (what < 92 && Edited() > 0) {
      LoadFilter();
    } else if (what < 96 && Edited() > 0) {
      const int slot = Pick(0, Edited() - 1);
      SaveFilterFile(*chain.Item(slot), files.Scratch + ".flt");
      SaveChainFile(chain, files.Scratch + ".lst");
    } else if (what < 97) {
      // Pause and Play, with an edit while the worker is held.
      worker.PauseProcessing();
      if (Edited() > 0) {
        Reparameterise(*chain.Item(Pick(0, Edited() - 1)), random);
      }
      worker.ResumeProcessing();
      ++pauses;
    }
  }

  void LoadChain() {
    const bool broken = Pick(0, 9) == 0;
    const std::string& file = broken ? files.BrokenChain : files.Chains[static_cast<size_t>(Pick(0, 3))];
    std::lock_guard guard(chain.Lock());
    const int before = chain.Count();
    try {
      LoadChainFile(chain, file);
      ++loads;
      if (broken) {
        problems.push_back("a chain with an unknown type loaded");
      }
      AppendProbe();
    } catch (const TFilterError& e) {
      ++refusedLoads;
      // A refused file leaves the chain, its probe included, as it was.
      if (!broken || std::string(e.what()) != MsgBadFileFormat || chain.Count() != before) {
        problems.push_back(std::string("chain load: ") + e.what());
      }
    }
  }

  void LoadFilter() {
    TFilter& filter = *chain.Item(Pick(0, Edited() - 1));
    const int t = Pick(0, 4);
    const std::string& file = files.Filters[t][static_cast<size_t>(Pick(0, 2))];
    try {
      LoadFilterFile(filter, file);
      ++loads;
      if (filter.Type() != Types[t]) {
        problems.push_back("a filter record of another type loaded");
      }
    } catch (const TFilterError& e) {
      ++refusedLoads;
      if (filter.Type() == Types[t] || std::string(e.what()) != MsgBadFileFormat) {
        problems.push_back(std::string("filter load: ") + e.what());
      }
    }
  }

  TFilterList& chain;
  TProcessingThread& worker;
  TSoakWindow& window;
  TGeneratedInput& input;
  TProbeCounts& probe;
  const TSettingsFiles& files;
  const int64_t totalBlocks;
  std::mt19937 random;
};

double Mib(size_t bytes) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

} // namespace

TEST(Soak, LiveChainEditsDuringALongRenderKeepEverySampleFiniteAndMemoryFlatWithoutDeadlock) {
  const double seconds = SoakSeconds();
  const int64_t totalBlocks = static_cast<int64_t>(seconds * Rate / 4096);
  ASSERT_GE(totalBlocks, 40) << "SONOLAB_SOAK_SECONDS too small";

  const sonotest::TTempDir scratch("sonolab-soak");
  const fs::path& dir = scratch.Path();
  const uint32_t seed = 20261207;
  std::mt19937 setupRandom(seed);
  const TSettingsFiles files = MakeSettingsFiles(dir, setupRandom);

  TGeneratedInput input(totalBlocks);
  input.Open();
  TPlaybackDevsList outputs;
  auto output = std::make_unique<TCountingOutput>();
  TCountingOutput& counted = *output;
  outputs.Add(std::move(output));
  outputs.OpenAll();
  TFilterList chain(Rate);
  TProbeCounts probe;
  TSoakWindow window;

  const auto start = Clock::now();
  int64_t edits = 0;
  TMemory before, after;
  bool measured = false;
  std::vector<std::string> problems;
  int64_t loads = 0, refused = 0, pauses = 0;
  {
    TProcessingThread worker(chain, outputs, input, window);
    TEditor editor(chain, worker, window, input, probe, files, totalBlocks, seed + 1);
    input.PaceBy(editor.edits);
    {
      std::lock_guard guard(chain.Lock());
      editor.AppendProbe();
    }
    worker.ResumeProcessing();
    std::thread editing([&] { editor.Run(); });

    // The watchdog: some block or some edit must complete every 30 s until the input ends.
    int64_t lastBlocks = -1, lastEdits = -1;
    auto lastProgress = Clock::now();
    while (!worker.Finished()) {
      window.WaitForBlocks(window.Blocks() + 1, 1000ms);
      const int64_t blocks = window.Blocks();
      const int64_t editsNow = editor.edits.load();
      if (blocks != lastBlocks || editsNow != lastEdits) {
        lastBlocks = blocks;
        lastEdits = editsNow;
        lastProgress = Clock::now();
      } else if (Clock::now() - lastProgress > StallLimit) {
        // The threads cannot be joined; end the whole program so the run fails instead of hanging.
        std::fprintf(stderr,
                     "Soak: no block and no edit for 30 s after %lld blocks and %lld edits: deadlock\n",
                     static_cast<long long>(blocks), static_cast<long long>(editsNow));
        std::fflush(stderr);
        std::abort();
      }
    }
    editor.Stop();
    editing.join();
    worker.WaitFor();
    edits = editor.edits.load();
    before = editor.before;
    after = editor.after;
    measured = editor.measured;
    problems = editor.problems;
    loads = editor.loads;
    refused = editor.refusedLoads;
    pauses = editor.pauses;
  }
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();

  std::printf("soak: %.0f s of sound in %.1f s wall, %lld blocks, %lld edits (%lld loads, %lld refused, "
              "%lld pauses), RSS %.1f -> %.1f MiB, heap in use %.2f -> %.2f MiB\n",
              seconds, wall, static_cast<long long>(window.Blocks()), static_cast<long long>(edits),
              static_cast<long long>(loads), static_cast<long long>(refused), static_cast<long long>(pauses),
              Mib(before.Resident), Mib(after.Resident), Mib(before.Heap), Mib(after.Heap));
  RecordProperty("blocks", std::to_string(window.Blocks()));
  RecordProperty("edits", std::to_string(edits));
  RecordProperty("wall_seconds", std::to_string(wall));

  // The input's end stopped the worker, as a notice, after every block went through.
  ASSERT_EQ(window.shown.size(), 1u);
  EXPECT_NE(window.shown[0].Informational, 0);
  EXPECT_EQ(window.shown[0].Description, "Достигнут конец файла");
  EXPECT_EQ(window.Blocks(), totalBlocks);
  EXPECT_EQ(counted.written.load(), totalBlocks);
  EXPECT_EQ(counted.badBlocks.load(), 0);

  // The probe saw both channels of every block, and every sample was a number.
  EXPECT_EQ(probe.Samples.load(), totalBlocks * 4096 * 2);
  EXPECT_EQ(probe.NonFinite.load(), 0);

  for (const std::string& problem : problems) {
    ADD_FAILURE() << problem;
  }
  EXPECT_GE(edits, input.HoldAt() - 3) << "the input ran ahead of the editor";
  EXPECT_GT(loads, 0);
  EXPECT_GT(refused, 0);

  ASSERT_TRUE(measured);
  // Same chain, same buffers: the heap may differ by allocator rounding, not by a leak per edit.
  EXPECT_LE(after.Heap, before.Heap + (1u << 20))
      << "heap grew by " << Mib(after.Heap - before.Heap) << " MiB over " << edits << " edits";
#ifndef SONOLAB_SOAK_SANITIZED
  // The sanitizers keep freed memory in quarantine, so the resident size only means something here.
  EXPECT_LE(after.Resident, before.Resident + (16u << 20))
      << "resident size grew by " << Mib(after.Resident - before.Resident) << " MiB";
#endif
}

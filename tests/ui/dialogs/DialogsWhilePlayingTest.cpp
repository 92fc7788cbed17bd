// SPDX-License-Identifier: GPL-3.0-or-later
// Every dialog's bars dragged from end to end while the real worker plays a stereo 48000 Hz file
// through the five filters to the sound server's null sink (a ring device) and to a WAVE file. The
// worker must keep every block: each one of the input reaches the chain in order and the file, no
// sample leaves the chain other than finite, and passes go on while the bars move. How late the
// passes came and the ring's dropouts are printed, not judged: they depend on the machine's load
// (bench/live_under_load.sh measures them).
//
// The server: scripts/pulse-server.sh (its null sink "sonolab_null"). Without one the test is
// skipped, unless SONOLAB_REQUIRE_PULSE=1 asks for one.

#include "DialogFixtures.h"
#include "devices/DirectSoundDevices.h"
#include "devices/WaveFile.h"
#include "devices/platform/PulseSoundServices.h"
#include "dsp/FilterList.h"
#include "engine/ProcessingThread.h"
#include "filters/FilterCatalogue.h"
#include "support/PrivatePulseServer.h"
#include "support/QtDialogs.h"
#include "support/TestFiles.h"

#include <QPushButton>
#include <QSlider>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <numbers>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SONOLAB_DIALOGS_SANITIZED 1
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SONOLAB_DIALOGS_SANITIZED 1
#endif
#endif

using namespace dialogtest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int32_t Rate = 48000;
constexpr int32_t Frames = 4096; // the block rule at 48000 Hz
constexpr TWaveFormat Stereo16 = MakePCMFormat(Rate, 2, 16);
constexpr int InputSeconds = 40; // far longer than the drags take
#ifdef SONOLAB_DIALOGS_SANITIZED
constexpr int MovesPerDrag = 2; // still end to end, in fewer steps
#else
constexpr int MovesPerDrag = 16;
#endif

// Left 440 Hz, right 660 Hz, interleaved.
std::vector<int16_t> TwoTones(int64_t frames) {
  std::vector<int16_t> s(static_cast<size_t>(frames) * 2);
  for (int64_t n = 0; n < frames; ++n) {
    s[2 * n] = static_cast<int16_t>(std::lround(6000 * std::sin(2 * std::numbers::pi * 440 * n / Rate)));
    s[2 * n + 1] = static_cast<int16_t>(std::lround(6000 * std::sin(2 * std::numbers::pi * 660 * n / Rate)));
  }
  return s;
}

// A filter that only looks. First in the chain it checks that each block is the next block of the
// input and notes when the pass reached it; last in the chain it counts samples that are not finite.
class TStreamProbe : public TFilter {
public:
  enum class TPlace { First, Last };

  TStreamProbe(TPlace place, const std::vector<int16_t>& input, size_t maxBlocks)
      : TFilter(Rate), place(place), input(input) {
    type = 15;
    passes.reserve(maxBlocks);
  }
  void Process(ChannelBlock& block, int channel) override {
    if (place == TPlace::Last) {
      const auto bad = std::count_if(block.Samples, block.Samples + block.Frames,
                                     [](float v) { return !std::isfinite(v); });
      notFinite.fetch_add(static_cast<uint64_t>(bad));
      return;
    }
    if (channel != 0) {
      return; // the second channel may run on the chain's helper thread at the same time
    }
    if (passes.size() < passes.capacity()) {
      passes.push_back(Clock::now());
    }
    const size_t first = static_cast<size_t>(blocks.load()) * Frames;
    for (int32_t i = 0; i < block.Frames; ++i) {
      if (first + i >= input.size() / 2 || block.Samples[i] != static_cast<float>(input[2 * (first + i)])) {
        ++misplaced;
        break;
      }
    }
    blocks.fetch_add(1);
  }
  void Update() override {}

  // Read after the worker has ended, or the atomics at any time.
  std::vector<Clock::time_point> passes;
  std::atomic<int64_t> blocks{0};
  std::atomic<uint64_t> notFinite{0};
  int64_t misplaced = 0;

private:
  const TPlace place;
  const std::vector<int16_t>& input;
};

class TQuietWindow final : public TProcessingNotify {
public:
  void PostDSPNotify(uintptr_t) override {}
  void ShowDSPException(const TDSPException& e) override {
    const std::lock_guard guard(mutex);
    shown.push_back(ComposeDSPMessage(e).Text);
  }
  std::mutex mutex;
  std::vector<std::string> shown;
};

bool PulseServerUp() {
  return TPulseSoundServices().ServerReachable();
}

} // namespace

TEST(DialogsWhilePlaying, DraggingEveryBarEndToEndKeepsEveryBlockFiniteAndInOrder) {
  if (!PulseServerUp()) {
    if (sonotest::PulseRequired()) {
      FAIL() << "SONOLAB_REQUIRE_PULSE=1 but no PulseAudio server answers (scripts/pulse-server.sh start)";
    }
    GTEST_SKIP() << "no PulseAudio server";
  }
  TDialogs& dialogs = Dialogs();
  const sonotest::TTempDir dir("sonolab-dialogs-live");
  const int64_t inputFrames = static_cast<int64_t>(InputSeconds) * Rate / Frames * Frames;
  const std::vector<int16_t> input = TwoTones(inputFrames);
  sonotest::WriteWave(dir.File("in.wav"), Rate, 2, input);

  TWAVEFileRecordingDevice source;
  source.SetFileName(dir.File("in.wav"));
  source.Open();
  TPlaybackDevsList outputs;
  auto ring = std::make_unique<TDirectSoundPlaybackDevice>(std::make_shared<TPulseSoundServices>(),
                                                           std::optional<std::string>("sonolab_null"));
  ring->Buffer().Format() = Stereo16;
  auto file = std::make_unique<TWAVEFilePlaybackDevice>();
  file->Buffer().Format() = Stereo16;
  file->SetFileName(dir.File("out.wav"));
  TWAVEFilePlaybackDevice* fileOutput = file.get();
  outputs.Add(std::move(ring));
  outputs.Add(std::move(file));
  outputs.OpenAll();

  TFilterList chain(Rate);
  const size_t maxBlocks = static_cast<size_t>(inputFrames / Frames) + 1;
  auto firstProbe = std::make_unique<TStreamProbe>(TStreamProbe::TPlace::First, input, maxBlocks);
  auto lastProbe = std::make_unique<TStreamProbe>(TStreamProbe::TPlace::Last, input, maxBlocks);
  TStreamProbe& first = *firstProbe;
  TStreamProbe& last = *lastProbe;
  chain.Add(std::move(firstProbe));
  std::vector<TFilter*> edited;
  for (int32_t type : {0, 1, 4, 9, 11}) {
    std::unique_ptr<TFilter> filter = CreateFilter(type, Rate);
    if (type == 0) {
      *static_cast<int32_t*>(filter->FindParameter("KernelSize")) = 1024;
      filter->Apply();
    }
    edited.push_back(filter.get());
    chain.Add(std::move(filter));
  }
  chain.Add(std::move(lastProbe));

  TQuietWindow window;
  Clock::time_point dragsBegan, dragsEnded;
  int dialogsShown = 0;
  uint64_t dropouts = 0;
  {
    TProcessingThread worker(chain, outputs, source, window);
    worker.ResumeProcessing();
    for (int i = 0; i < 500 && first.blocks.load() < 3; ++i) {
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_GE(first.blocks.load(), 3) << "the worker did not start";

    dragsBegan = Clock::now();
    for (TFilter* filter : edited) {
      const auto driver = sonotest::WhenModal<TParameterDialog>([&](TParameterDialog& dialog) {
        ++dialogsShown;
        for (QSlider* bar : dialog.findChildren<QSlider*>()) {
          sonotest::DragBar(*bar, bar->maximum(), MovesPerDrag, 2ms);
          sonotest::DragBar(*bar, bar->minimum(), MovesPerDrag, 2ms);
          EXPECT_EQ(bar->value(), bar->minimum());
        }
        dialog.accept();
      });
      EditFilter(dialogs.Set(), *filter);
    }
    dragsEnded = Clock::now();
    EXPECT_FALSE(worker.Finished()) << "the input ended before the drags did";
    worker.Terminate();
    worker.WaitFor();
    EXPECT_FALSE(worker.Failed());
    dropouts = worker.Dropouts();
  }
  EXPECT_EQ(dialogsShown, 5);
  {
    const std::lock_guard guard(window.mutex);
    EXPECT_TRUE(window.shown.empty()) << window.shown.front();
  }

  // Every block of the input, in order, through a chain that never made a sample other than finite.
  const int64_t blocks = first.blocks.load();
  EXPECT_EQ(first.misplaced, 0);
  EXPECT_EQ(last.notFinite.load(), 0u);
  EXPECT_EQ(last.passes.size(), 0u);
  outputs.StopAll();
  EXPECT_EQ(fileOutput->DataBytes(), static_cast<uint32_t>(blocks * Frames * 4));

  // The passes went on through the drags: the dialogs never held the worker. How far the passes fell
  // behind the schedule set by the earliest (the ring was written two blocks ahead of its play
  // position) is the figure to watch; the first Write waits for the server to start the stream, so
  // the schedule begins after it.
  const double block = static_cast<double>(Frames) / Rate;
  ASSERT_GE(first.passes.size(), 8u);
  EXPECT_LT(first.passes[1], dragsBegan);
  EXPECT_TRUE(std::any_of(first.passes.begin(), first.passes.end(),
                          [&](Clock::time_point pass) { return pass > dragsBegan && pass < dragsEnded; }));
  const auto behind = [&](size_t k) {
    return std::chrono::duration<double>(first.passes[k] - first.passes[1]).count() -
           static_cast<double>(k - 1) * block;
  };
  double earliest = 0;
  for (size_t k = 1; k < first.passes.size(); ++k) {
    earliest = std::min(earliest, behind(k));
  }
  double latest = 0;
  for (size_t k = 1; k < first.passes.size(); ++k) {
    latest = std::max(latest, behind(k) - earliest);
  }
  std::printf(
      "blocks=%lld drags=%.2fs latest pass %.1f ms behind the schedule (block %.1f ms), %llu dropouts\n",
      static_cast<long long>(blocks), std::chrono::duration<double>(dragsEnded - dragsBegan).count(),
      latest * 1000, block * 1000, static_cast<unsigned long long>(dropouts));
}

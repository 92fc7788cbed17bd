// SPDX-License-Identifier: GPL-3.0-or-later
// Edits while a live set-up plays, one filter type at a time: the set-up captures the sound server's
// null sink monitor, runs a chain of one filter of the type and plays to the sink while a FLAC file
// records, at small blocks; the main thread, standing for the user interface, drags the filter's bars
// end to end as a dialog does (a parameter write and its Apply under the filter's lock), 30 times a
// second: every parameter in turn from its lowest to its highest value and back (a choice only up),
// the bars of the kernel size and the frequencies crossing kernel sizes and synthesis tables.
//
//   edit_while_playing [--seconds S] [--block-frames N] [--rate HZ] [--edits-per-second E]
//                      [--types 0,1,...] [--sink NAME]
//
// --edits-per-second 0 plays as long with no edit: the dropouts the machine and the server make alone.
//
// One line per type: the edits made, the longest time the worker waited for a filter's lock while they
// went on (TFilterList::LongestFilterWaitNs: it takes the lock at once when it is free, and only a
// lock another thread holds is timed), the dropouts the devices counted over the same time (of the
// capture / of the outputs: the ring and the file writer), the longest pass of the worker (copy, chain,
// conversion), and the
// longest edit (write and Apply) on the editing thread. The server is the one PULSE_SERVER names, or
// the default; bench/edit_while_playing.sh runs it on a private PulseAudio and a private PipeWire.

#include "devices/DirectSoundDevices.h"
#include "devices/WaveFile.h"
#include "devices/platform/PulseSoundServices.h"
#include "engine/ProcessingSetUp.h"
#include "filters/FilterCatalogue.h"
#include "support/FilterEdits.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct TOptions {
  double Seconds = 20;
  int32_t BlockFrames = 256;
  uint32_t Rate = 48000;
  double EditsPerSecond = 30;
  std::vector<int32_t> Types;
  std::string Sink = "sonolab_null";
};

class TQuietWindow final : public TProcessingNotify {
public:
  void BlockProcessed(uint64_t elapsedNs, int32_t) override {
    if (elapsedNs > longestBlockNs.load(std::memory_order_relaxed)) {
      longestBlockNs.store(elapsedNs, std::memory_order_relaxed);
    }
  }
  void PostDSPNotify(uintptr_t) override {}
  void ShowDSPException(const TDSPException& e) override {
    std::fprintf(stderr, "%s\n", ComposeDSPMessage(e).Text.c_str());
  }
  std::atomic<uint64_t> longestBlockNs{0}; // the longest pass (copy, chain, conversion)
};

// Edit k of the drags: parameter after parameter, each bar from one end to the other and back (a
// choice only up, so that it stays at its last, the heaviest: Blackman, pink, the triangle wave), one
// element of an array per drag.
struct TDrag {
  int Index = 0;
  double Place = 0;
  int32_t Element = 0;
};

TDrag DragAt(const TFilter& filter, int64_t k) {
  constexpr int64_t Steps = 45;
  int64_t left = k;
  for (int64_t round = 0;; ++round) {
    for (int i = 0; i < filter.ParameterCount(); ++i) {
      const TParameterDescription& d = *filter.Parameter(i).Description;
      const int64_t length = d.Set == TValueSet::Choice ? Steps : 2 * Steps;
      if (left < length) {
        const int64_t s = left < Steps ? left : 2 * Steps - 1 - left;
        return {i, static_cast<double>(s) / (Steps - 1), static_cast<int32_t>(round % d.Count)};
      }
      left -= length;
    }
  }
}

bool ParseOptions(int argc, char** argv, TOptions& o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const std::string value = argv[i + 1];
    if (name == "--seconds") {
      o.Seconds = std::stod(value);
    } else if (name == "--block-frames") {
      o.BlockFrames = std::stoi(value);
    } else if (name == "--rate") {
      o.Rate = static_cast<uint32_t>(std::stoul(value));
    } else if (name == "--edits-per-second") {
      o.EditsPerSecond = std::stod(value);
    } else if (name == "--types") {
      for (size_t at = 0; at < value.size();) {
        const size_t comma = value.find(',', at);
        o.Types.push_back(std::stoi(value.substr(at, comma - at)));
        at = comma == std::string::npos ? value.size() : comma + 1;
      }
    } else if (name == "--sink") {
      o.Sink = value;
    } else {
      return false;
    }
  }
  if (o.Types.empty()) {
    for (int32_t t = 0; t < 16; ++t) {
      o.Types.push_back(t);
    }
  }
  return argc % 2 == 1;
}

} // namespace

int main(int argc, char** argv) {
  TOptions options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr, "usage: edit_while_playing [--seconds S] [--block-frames N] [--rate HZ] "
                         "[--edits-per-second E] [--types 0,1,...] [--sink NAME]\n");
    return 2;
  }
  auto services = std::make_shared<TPulseSoundServices>();
  if (!services->ServerReachable()) {
    std::fprintf(stderr, "edit_while_playing: no sound server answers\n");
    return 1;
  }
  char folder[] = "/tmp/sonolab-edits-XXXXXX";
  if (::mkdtemp(folder) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  std::printf("%-4s %6s %12s %9s %13s %12s  %s\n", "type", "edits", "wait_max_us", "in/out", "block_max_ms",
              "edit_max_ms", "name");
  for (const int32_t type : options.Types) {
    auto input = std::make_unique<TDirectSoundRecordingDevice>(services, options.Sink + ".monitor");
    input->Buffer().Format() = MakePCMFormat(options.Rate, 2, 16);
    input->SetBlockFrames(options.BlockFrames);
    auto outputs = std::make_unique<TPlaybackDevsList>();
    auto ring = std::make_unique<TDirectSoundPlaybackDevice>(services, options.Sink);
    ring->Buffer().Format() = MakePCMFormat(options.Rate, 2, 16);
    outputs->Add(std::move(ring));
    auto file = std::make_unique<TWAVEFilePlaybackDevice>();
    file->Buffer().Format() = MakePCMFormat(options.Rate, 2, 16);
    file->SetFileName(std::string(folder) + "/take.flac");
    outputs->Add(std::move(file));
    TQuietWindow window;
    TProcessingSetUp setUp(std::move(input));
    TFilterList& chain = *setUp.Chain();
    chain.Add(CreateFilter(type, static_cast<int32_t>(options.Rate)));
    TFilter& filter = *chain.Item(0);
    setUp.OpenOutputs(std::move(outputs), window);
    TProcessingThread& worker = *setUp.Worker();
    worker.ResumeProcessing();
    std::this_thread::sleep_for(std::chrono::seconds(1)); // the streams' start-up
    if (type == options.Types.front()) {
      const std::optional<TRealtimeOutcome> realtime = worker.Realtime();
      std::fprintf(stderr, "sound threads: %s\n", realtime ? DescribeRealtimeWay(*realtime).c_str() : "?");
    }

    chain.ResetLongestFilterWait();
    window.longestBlockNs.store(0);
    const uint64_t dropoutsBefore = worker.Dropouts();
    const uint64_t inputBefore = setUp.Input()->Dropouts();
    const auto edits = static_cast<int64_t>(options.Seconds * options.EditsPerSecond);
    const auto period = std::chrono::duration<double>(edits > 0 ? 1.0 / options.EditsPerSecond : 0.0);
    const Clock::time_point start = Clock::now();
    Clock::duration longestEdit{};
    for (int64_t k = 0; k < edits && !worker.Finished(); ++k) {
      std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(period * k));
      const TDrag drag = DragAt(filter, k);
      const Clock::time_point before = Clock::now();
      sonotest::EditAlong(filter, drag.Index, drag.Place, drag.Element);
      longestEdit = std::max(longestEdit, Clock::now() - before);
    }
    std::this_thread::sleep_until(
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.Seconds)));
    const int64_t waitedNs = chain.LongestFilterWaitNs();
    const uint64_t dropouts = worker.Dropouts() - dropoutsBefore;
    const uint64_t inputDropouts = setUp.Input()->Dropouts() - inputBefore;
    const bool failed = worker.Failed();
    setUp.Teardown();
    std::printf("%-4d %6lld %12.1f %5llu/%-3llu %13.2f %12.2f  %s%s\n", type, static_cast<long long>(edits),
                static_cast<double>(waitedNs) / 1000.0, static_cast<unsigned long long>(inputDropouts),
                static_cast<unsigned long long>(dropouts - inputDropouts),
                static_cast<double>(window.longestBlockNs.load()) / 1e6,
                std::chrono::duration<double, std::milli>(longestEdit).count(),
                FilterCatalogue[static_cast<size_t>(type)]->Name, failed ? " (failed)" : "");
    std::fflush(stdout);
  }
  std::filesystem::remove_all(folder);
  return 0;
}

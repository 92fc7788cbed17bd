// SPDX-License-Identifier: GPL-3.0-or-later
// What loading a chain costs the worker: a chain of 16 multi-band filters is loaded again and again from
// its file while a second thread passes 4096-frame stereo blocks at 48000 Hz through the chain, as the
// worker does. A load reads the file and builds its filters off the chain's lock and takes the lock only
// to put them in place, so the longest pass during loads stays near an ordinary pass.
// Counters: load_ms (one load, wall time), pass_ms (the mean pass while loads ran), longest_pass_ms (the
// longest pass while loads ran), longest_pass_idle_ms (the longest pass over as long a time without
// loads, in the same run) and longest_over_idle (their ratio; near 1 when a load never holds the lock
// for long).

#include "dsp/CRCStreams.h"
#include "dsp/FilterList.h"
#include "dsp/WaveFormat.h"
#include "filters/FilterCatalogue.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int32_t Rate = 48000;
constexpr int32_t BlockFrames = 4096;

void LoadWhileTheWorkerPasses(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  const std::string file =
      (std::filesystem::temp_directory_path() / ("sonolab-chain-load-" + std::to_string(::getpid()) + ".lst"))
          .string();
  {
    TFilterList source(Rate);
    for (int i = 0; i < TFilterList::MaxFilters; ++i) {
      source.Add(CreateFilter(4, Rate));
    }
    SaveChainFile(source, file);
  }
  TFilterList chain(Rate);
  LoadChainFile(chain, file);

  // The worker's passes: the mean and the longest, while `during` runs on this thread.
  struct TPasses {
    double MeanMs = 0;
    double LongestMs = 0;
  };
  const auto passWhile = [&](auto during) {
    std::atomic<bool> stop{false};
    int64_t passes = 0;
    int64_t totalNs = 0;
    int64_t longestNs = 0;
    std::thread worker([&] {
      const TWaveFormat format = MakePCMFormat(Rate, 2, 16);
      std::vector<uint8_t> block(static_cast<size_t>(BlockFrames) * format.nBlockAlign, 0);
      while (!stop.load()) {
        const Clock::time_point start = Clock::now();
        chain.ProcessBlock(block.data(), BlockFrames, format);
        const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
        totalNs += ns;
        ++passes;
        longestNs = std::max(longestNs, ns);
      }
    });
    during();
    stop = true;
    worker.join();
    return TPasses{passes > 0 ? static_cast<double>(totalNs) / static_cast<double>(passes) / 1e6 : 0.0,
                   static_cast<double>(longestNs) / 1e6};
  };
  double loadSeconds = 0;
  const TPasses loading = passWhile([&] {
    for (auto _ : state) {
      const Clock::time_point start = Clock::now();
      LoadChainFile(chain, file);
      loadSeconds += std::chrono::duration<double>(Clock::now() - start).count();
    }
  });
  // The same time without loads: what the machine itself does to the longest pass.
  const TPasses idle =
      passWhile([&] { std::this_thread::sleep_for(std::chrono::duration<double>(loadSeconds)); });
  std::remove(file.c_str());
  state.counters["load_ms"] = loadSeconds / static_cast<double>(state.iterations()) * 1e3;
  state.counters["pass_ms"] = loading.MeanMs;
  state.counters["longest_pass_ms"] = loading.LongestMs;
  state.counters["longest_pass_idle_ms"] = idle.LongestMs;
  state.counters["longest_over_idle"] = idle.LongestMs > 0 ? loading.LongestMs / idle.LongestMs : 0.0;
}
BENCHMARK(LoadWhileTheWorkerPasses)->Iterations(20)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

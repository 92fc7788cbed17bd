// SPDX-License-Identifier: GPL-3.0-or-later
// The cost of one parameter change as a dialog makes it: a new value written under the filter's lock
// and Apply (Update) before the lock is released, at 48000 Hz, for each filter type and for the
// values a dragged bar produces. The user-interface thread spends this; the worker does not wait for it
// (it takes only the filter's state lock, which Apply holds for the hand-over alone:
// bench/edit_while_playing).
// Counter: us_per_apply, processor time of the thread per write and Apply.

#include "filters/Echo.h"
#include "filters/FilterCatalogue.h"
#include "filters/LowPassFilter.h"
#include "filters/MultiBandFilter.h"
#include "filters/Reverberation.h"
#include "filters/Transforms.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>

namespace {

constexpr int32_t Rate = 48000;

// Processor time of this thread, so that other processes on a shared machine do not count.
double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Runs write(step) and Apply under the filter's lock once per iteration, stepping through `steps`
// values as a bar dragged end to end does.
template <class Filter, class Write>
void ApplyLoop(benchmark::State& state, Filter& filter, int steps, Write write) {
  double seconds = 0.0;
  int step = 0;
  for (auto _ : state) {
    const double start = ThreadSeconds();
    {
      const std::lock_guard guard(filter.Lock());
      write(step);
      filter.Apply();
    }
    seconds += ThreadSeconds() - start;
    step = (step + 1) % steps;
  }
  state.counters["us_per_apply"] = seconds / static_cast<double>(state.iterations()) * 1e6;
}

// The cut-off across the track bar's range, for the kernel size given.
void LowPassCutOff(benchmark::State& state) {
  TLowPassFilter filter(Rate);
  *static_cast<int32_t*>(filter.FindParameter("KernelSize")) = static_cast<int32_t>(state.range(0));
  filter.Apply();
  ApplyLoop(state, filter, 100, [&](int step) { filter.fc = Rate / 2 * step / 100; });
}
BENCHMARK(LowPassCutOff)->Arg(8)->Arg(512)->Arg(1024);

void HighPassCutOff(benchmark::State& state) {
  THighPassFilter filter(Rate);
  *static_cast<int32_t*>(filter.FindParameter("KernelSize")) = 1024;
  filter.Apply();
  ApplyLoop(state, filter, 100, [&](int step) { filter.fc = Rate / 2 * step / 100; });
}
BENCHMARK(HighPassCutOff);

// One band's gain over the bar's -30..90 positions: each change designs the whole kernel again.
void EqualiserBandGain(benchmark::State& state) {
  TMultiBandFilter filter(Rate);
  ApplyLoop(state, filter, 121, [&](int step) { filter.Gain[9] = DbToAmplitude(30 - step); });
}
BENCHMARK(EqualiserBandGain)->Unit(benchmark::kMillisecond);

// The echo's delay (the delay lines are reallocated) and its decay time (only the gain changes).
void EchoDelay(benchmark::State& state) {
  TEcho filter(Rate);
  ApplyLoop(state, filter, 1000, [&](int step) { filter.Delay = 1 + step; });
}
BENCHMARK(EchoDelay);

void EchoDecayTime(benchmark::State& state) {
  TEcho filter(Rate);
  ApplyLoop(state, filter, 1000, [&](int step) { filter.DecayTime = 10 + 10 * step; });
}
BENCHMARK(EchoDecayTime);

// The reverberation's level, time (gains only) and delay-line count (buffers replaced).
void ReverbLevel(benchmark::State& state) {
  TReverberation filter(Rate);
  ApplyLoop(state, filter, 81, [&](int step) { filter.ReverbLevel = DbToAmplitude(-step); });
}
BENCHMARK(ReverbLevel);

void ReverbTime(benchmark::State& state) {
  TReverberation filter(Rate);
  ApplyLoop(state, filter, 1000, [&](int step) { filter.ReverbTime = 10 + 10 * step; });
}
BENCHMARK(ReverbTime);

void ReverbDelayLines(benchmark::State& state) {
  TReverberation filter(Rate);
  ApplyLoop(state, filter, 32, [&](int step) { filter.DelayLines = 1 + step; });
}
BENCHMARK(ReverbDelayLines);

} // namespace

BENCHMARK_MAIN();

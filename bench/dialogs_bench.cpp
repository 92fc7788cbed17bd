// SPDX-License-Identifier: GPL-3.0-or-later
// How long the worker waits for a filter's lock while a bar of its dialog is dragged through its
// whole range, for the two filters whose redesign costs most: the equaliser (40 kernels summed) and
// a 1024-tap low-pass, both at 48000 Hz in a stereo chain.
//
// A worker thread runs the chain's block operation on a stereo 4096-frame block every 10 ms, and
// before each block notes how long it takes to get the filter's state lock (the one the worker holds
// while the filter processes; the dialog holds the filter's Lock() while it redesigns). Meanwhile the
// user-interface thread drags the real dialog's bar end to end three times, with the mouse moving either as
// fast as events can be handled or every 8 ms (a 125 Hz mouse); for comparison the same movements are also
// made without the dialog, each written and applied under the lock at once (no pacing), and nothing
// at all is moved (idle).
//
// Counters: wait_max_ms and wait_p99_ms (the worker's wait for the lock), block_max_ms (its whole
// block operation, wait included), lock_share (the part of the drag's time the user-interface thread
// held the lock redesigning), applies and movements.
//
//   QT_QPA_PLATFORM=offscreen ./build/bench/dialogs_bench

#include "dsp/FilterList.h"
#include "filters/LowPassFilter.h"
#include "filters/MultiBandFilter.h"
#include "filters/Transforms.h"
#include "support/QtDialogs.h"
#include "ui/dialogs/LHPassFilterDlg.h"
#include "ui/dialogs/MultiBandFilterDlg.h"

#include <QApplication>
#include <QSlider>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int32_t Rate = 48000;
constexpr int32_t Frames = 4096;
constexpr int Sweeps = 3;

enum class TMode { Idle, FastMouse, Mouse125Hz, Unpaced };

// A real filter that adds up the time its redesigns hold the lock.
template <class Base> class TTimed : public Base {
public:
  using Base::Base;
  void Update() override {
    const auto start = Clock::now();
    Base::Update();
    held += Clock::now() - start;
    ++updates;
  }
  Clock::duration held{};
  int updates = 0;
};

QApplication& App() {
  static int argc = 1;
  static char name[] = "dialogs_bench";
  static char* argv[] = {name, nullptr};
  static QApplication app(argc, argv);
  return app;
}

// The worker side: a stereo block through the chain every 10 ms, the wait for the lock noted first.
class TWorker {
public:
  TWorker(TFilterList& chain, TFilter& filter) : chain(chain), filter(filter) {
    block.resize(static_cast<size_t>(Frames) * 2);
    for (int32_t n = 0; n < Frames; ++n) {
      block[2 * n] = static_cast<int16_t>(6000 * std::sin(2 * Pi * 440 * n / Rate));
      block[2 * n + 1] = static_cast<int16_t>(6000 * std::sin(2 * Pi * 660 * n / Rate));
    }
    waits.reserve(10000);
    blocks.reserve(10000);
    thread = std::thread([this] { Run(); });
  }
  ~TWorker() { Stop(); }
  void Stop() {
    stop = true;
    if (thread.joinable()) {
      thread.join();
    }
  }
  // After Stop.
  std::vector<double> waits;  // ms
  std::vector<double> blocks; // ms

private:
  void Run() {
    auto next = Clock::now();
    while (!stop) {
      next += 10ms;
      std::this_thread::sleep_until(next);
      const auto start = Clock::now();
      {
        const std::lock_guard guard(filter.StateLock()); // what the worker takes
        waits.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      }
      const auto blockStart = Clock::now();
      chain.ProcessBlock(reinterpret_cast<uint8_t*>(block.data()), Frames, MakePCMFormat(Rate, 2, 16));
      blocks.push_back(std::chrono::duration<double, std::milli>(Clock::now() - blockStart).count());
    }
  }
  TFilterList& chain;
  TFilter& filter;
  std::vector<int16_t> block;
  std::atomic<bool> stop{false};
  std::thread thread;
};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) {
    return 0;
  }
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

// Drags `bar` of `dialog` (shown on `filter`) end to end Sweeps times in the given mode while the
// worker runs, and reports the counters.
template <class Filter>
void Drag(benchmark::State& state, TMode mode, TParameterDialog& dialog, Filter& filter, TFilterList& chain,
          QSlider& bar, const std::function<void(int)>& writeDirect) {
  App();
  dialog.SetFilter(&filter);
  dialog.show();
  QCoreApplication::processEvents();
  const int movesPerSweep = bar.maximum() - bar.minimum();
  int movements = 0;
  for (auto _ : state) {
    TWorker worker(chain, filter);
    std::this_thread::sleep_for(50ms);
    filter.held = {};
    filter.updates = 0;
    const auto start = Clock::now();
    for (int sweep = 0; sweep < Sweeps; ++sweep) {
      const int to = sweep % 2 == 0 ? bar.maximum() : bar.minimum();
      switch (mode) {
      case TMode::Idle:
        std::this_thread::sleep_for(300ms);
        break;
      case TMode::FastMouse:
        sonotest::DragBar(bar, to, movesPerSweep, 0ms);
        movements += movesPerSweep;
        break;
      case TMode::Mouse125Hz:
        sonotest::DragBar(bar, to, movesPerSweep, 8ms);
        movements += movesPerSweep;
        break;
      case TMode::Unpaced:
        for (int i = 1; i <= movesPerSweep; ++i) {
          const int position = sweep % 2 == 0 ? bar.minimum() + i : bar.maximum() - i;
          const std::lock_guard guard(filter.Lock());
          writeDirect(position);
          filter.Apply();
        }
        movements += movesPerSweep;
        break;
      }
    }
    while (dialog.MovementWaiting()) {
      QCoreApplication::processEvents();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(30ms);
    worker.Stop();
    state.SetIterationTime(seconds);
    state.counters["wait_max_ms"] = *std::max_element(worker.waits.begin(), worker.waits.end());
    state.counters["wait_p99_ms"] = Percentile(worker.waits, 0.99);
    state.counters["block_max_ms"] = *std::max_element(worker.blocks.begin(), worker.blocks.end());
    state.counters["lock_share"] = std::chrono::duration<double>(filter.held).count() / seconds;
    state.counters["applies"] = filter.updates;
    state.counters["movements"] = movements;
  }
  dialog.hide();
  dialog.SetFilter(nullptr);
}

void Equaliser(benchmark::State& state) {
  App();
  static TMultiBandFilterDlg dialog;
  TFilterList chain(Rate);
  auto owned = std::make_unique<TTimed<TMultiBandFilter>>(Rate);
  TTimed<TMultiBandFilter>& filter = *owned;
  chain.Add(std::move(owned));
  Drag(state, static_cast<TMode>(state.range(0)), dialog, filter, chain, *dialog.TrackBars[9],
       [&](int position) { filter.Gain[9] = DbToAmplitude(-position); });
}

void LowPass1024(benchmark::State& state) {
  App();
  static TLHPassFilterDlg dialog;
  TFilterList chain(Rate);
  auto owned = std::make_unique<TTimed<TLowPassFilter>>(Rate);
  TTimed<TLowPassFilter>& filter = *owned;
  *static_cast<int32_t*>(filter.FindParameter("KernelSize")) = 1024;
  filter.Apply();
  chain.Add(std::move(owned));
  Drag(state, static_cast<TMode>(state.range(0)), dialog, filter, chain, *dialog.FreqTrackBar,
       [&](int position) { filter.fc = TLHPassFilterDlg::FrequencyFromPosition(position, Rate); });
}

void Modes(benchmark::internal::Benchmark* b) {
  b->ArgName("mode_idle0_fast1_mouse2_unpaced3");
  for (TMode mode : {TMode::Idle, TMode::FastMouse, TMode::Mouse125Hz, TMode::Unpaced}) {
    b->Arg(static_cast<int>(mode));
  }
  b->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK(Equaliser)->Apply(Modes);
BENCHMARK(LowPass1024)->Apply(Modes);

} // namespace

BENCHMARK_MAIN();

// SPDX-License-Identifier: GPL-3.0-or-later
// Clicks while a bar is dragged: a 220 Hz tone (amplitude 1000) runs block by block through one
// filter at 44100 Hz on a worker thread while the user-interface thread drags one bar of the filter's
// real dialog to one end, to the other and back, the mouse moving every 8 ms. A click is a step in
// the sound: its second difference y[n+1] - 2y[n] + y[n-1] stands far above that of a tone.
//
// Counters (over the float output of the filter, before any conversion to PCM):
//   drag_d2     the largest |second difference| while the bar moved;
//   tone_d2     that of a 220 Hz sine as loud as the loudest output then, peak * 4 sin^2(pi 220 / fs):
//               a smooth output stays near it, a click stands many times above;
//   held_d2     the largest |second difference| while the bar rests, before the drag and for a
//               second at each end: the filter's own sound at those settings (a reverberation's
//               tail, rounded to whole steps and raised by its level, has its own small steps);
//   x_tone, x_held   drag_d2 / tone_d2 and drag_d2 / held_d2;  applies, the filter's Updates.
//
//   QT_QPA_PLATFORM=offscreen ./build/bench/dialogs_clicks_bench

#include "filters/Echo.h"
#include "filters/LowPassFilter.h"
#include "filters/MultiBandFilter.h"
#include "filters/Reverberation.h"
#include "filters/Transforms.h"
#include "support/QtDialogs.h"
#include "ui/dialogs/EchoDlg.h"
#include "ui/dialogs/LHPassFilterDlg.h"
#include "ui/dialogs/MultiBandFilterDlg.h"
#include "ui/dialogs/ReverbDlg.h"

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

constexpr int32_t Rate = 44100;
constexpr double ToneHz = 220;
constexpr double Amplitude = 1000;

QApplication& App() {
  static int argc = 1;
  static char name[] = "dialogs_clicks_bench";
  static char* argv[] = {name, nullptr};
  static QApplication app(argc, argv);
  return app;
}

// A real filter that counts its redesigns.
template <class Base> class TCounted : public Base {
public:
  using Base::Base;
  void Update() override {
    Base::Update();
    ++updates;
  }
  std::atomic<int> updates{0};
};

// The worker: the tone, block after block, through the filter under its lock, a block every
// `pace`; the output kept whole.
class TToneWorker {
public:
  TToneWorker(TFilter& filter, int32_t frames, Clock::duration pace) : filter(filter), frames(frames) {
    output.reserve(static_cast<size_t>(Rate) * 300);
    thread = std::thread([this, pace] { Run(pace); });
  }
  ~TToneWorker() { Stop(); }
  void Stop() {
    stop = true;
    if (thread.joinable()) {
      thread.join();
    }
  }
  // Samples produced so far; read after Stop, or as a mark while running.
  size_t Produced() const { return produced.load(); }
  // Whether the output has no room for more: the run has gone on for too long.
  bool Full() const { return full.load(); }
  std::vector<float> output;

private:
  void Run(Clock::duration pace) {
    std::vector<float> block(static_cast<size_t>(frames));
    auto next = Clock::now();
    int64_t n = 0;
    while (!stop) {
      next += pace;
      std::this_thread::sleep_until(next);
      for (float& v : block) {
        v = static_cast<float>(Amplitude * std::sin(2 * Pi * ToneHz * static_cast<double>(n++) / Rate));
      }
      ChannelBlock channel;
      channel.Samples = block.data();
      channel.Frames = frames;
      {
        const std::lock_guard guard(filter.StateLock()); // as the chain runs it
        filter.Process(channel, 0);
      }
      if (output.size() + block.size() <= output.capacity()) {
        output.insert(output.end(), block.begin(), block.end());
      } else {
        full = true;
      }
      produced.store(output.size());
    }
  }
  TFilter& filter;
  const int32_t frames;
  std::atomic<bool> stop{false};
  std::atomic<size_t> produced{0};
  std::atomic<bool> full{false};
  std::thread thread;
};

double MaxSecondDifference(const std::vector<float>& y, size_t from, size_t to) {
  double worst = 0;
  for (size_t n = std::max<size_t>(from, 1); n + 1 < std::min(to, y.size()); ++n) {
    worst = std::max(worst, std::abs(static_cast<double>(y[n + 1]) - 2.0 * y[n] + y[n - 1]));
  }
  return worst;
}

double Peak(const std::vector<float>& y, size_t from, size_t to) {
  double peak = 0;
  for (size_t n = from; n < std::min(to, y.size()); ++n) {
    peak = std::max(peak, std::abs(static_cast<double>(y[n])));
  }
  return peak;
}

template <class Filter>
void DragOne(benchmark::State& state, TParameterDialog& dialog, Filter& filter, QSlider& bar) {
  const auto frames = static_cast<int32_t>(state.range(1));
  // A block every 20 ms at 4096 frames (4.6 times real time), proportionally more often for smaller.
  const auto pace = std::chrono::microseconds(std::max<int64_t>(20000LL * frames / 4096, 1000));
  dialog.SetFilter(&filter);
  dialog.show();
  QCoreApplication::processEvents();
  const int start = bar.value();
  for (auto _ : state) {
    TToneWorker worker(filter, frames, pace);
    // Two seconds of sound to settle (echoes, reverberation), the last second the steady reference.
    while (worker.Produced() < static_cast<size_t>(2 * Rate)) {
      std::this_thread::sleep_for(5ms);
    }
    const size_t dragFrom = worker.Produced();
    filter.updates = 0;
    // A mouse crosses the bar's width in some hundreds of movements, whatever its range; at each end
    // the bar rests for a second, whose last half shows the filter's own steady sound there.
    const int moves = std::min(bar.maximum() - bar.minimum(), 200);
    double held = MaxSecondDifference(worker.output, dragFrom - Rate, dragFrom);
    double drag = 0;
    double tone = 0;
    for (const int to : {bar.maximum(), bar.minimum(), start}) {
      const size_t from = worker.Produced();
      sonotest::DragBar(bar, to, moves, 8ms);
      while (dialog.MovementWaiting()) {
        QCoreApplication::processEvents();
      }
      std::this_thread::sleep_for(50ms); // the block after the last movement
      const size_t moved = worker.Produced();
      while (worker.Produced() < moved + Rate && !worker.Full()) {
        std::this_thread::sleep_for(5ms);
      }
      const size_t rested = worker.Produced();
      drag = std::max(drag, MaxSecondDifference(worker.output, from, moved));
      tone = std::max(tone, Peak(worker.output, from, moved) * 4 * std::pow(std::sin(Pi * ToneHz / Rate), 2));
      held = std::max(held, MaxSecondDifference(worker.output, rested - Rate / 2, rested));
    }
    worker.Stop();
    if (worker.Full()) {
      state.SkipWithError("the output outgrew its room");
    }
    state.counters["drag_d2"] = drag;
    state.counters["tone_d2"] = tone;
    state.counters["held_d2"] = held;
    state.counters["x_tone"] = tone > 0 ? drag / tone : 0;
    state.counters["x_held"] = held > 0 ? drag / held : 0;
    state.counters["applies"] = filter.updates.load();
  }
  dialog.hide();
  dialog.SetFilter(nullptr);
}

// The low-pass filter's cut-off bar.
void LowPassCutOff(benchmark::State& state) {
  App();
  static TLHPassFilterDlg dialog;
  TCounted<TLowPassFilter> filter(Rate);
  DragOne(state, dialog, filter, *dialog.FreqTrackBar);
}

// The echo's delay (bar 0) and decay time (bar 1).
void Echo(benchmark::State& state) {
  App();
  static TEchoDlg dialog;
  TCounted<TEcho> filter(Rate);
  DragOne(state, dialog, filter, state.range(0) == 0 ? *dialog.DelayTrackBar : *dialog.DecayTrackBar);
}

// The reverberation's dry, early and reverberation levels (bars 0 to 2) and its time (bar 3).
void Reverberation(benchmark::State& state) {
  App();
  static TReverbDlg dialog;
  TCounted<TReverberation> filter(Rate);
  QSlider* bars[] = {dialog.TrackBar1, dialog.TrackBar2, dialog.TrackBar3, dialog.TrackBar4};
  DragOne(state, dialog, filter, *bars[state.range(0)]);
}

// The equaliser's bars 0 (50 Hz) to 19 (16 kHz).
void Equaliser(benchmark::State& state) {
  App();
  static TMultiBandFilterDlg dialog;
  TCounted<TMultiBandFilter> filter(Rate);
  DragOne(state, dialog, filter, *dialog.TrackBars[static_cast<size_t>(state.range(0))]);
}

void Bars(benchmark::internal::Benchmark* b, int count) {
  b->ArgNames({"bar", "frames"});
  for (const int frames : {4096, 256}) {
    for (int bar = 0; bar < count; ++bar) {
      b->Args({bar, frames});
    }
  }
  b->Iterations(1)->Unit(benchmark::kMillisecond);
}

BENCHMARK(LowPassCutOff)->Apply([](benchmark::internal::Benchmark* b) { Bars(b, 1); });
BENCHMARK(Echo)->Apply([](benchmark::internal::Benchmark* b) { Bars(b, 2); });
BENCHMARK(Reverberation)->Apply([](benchmark::internal::Benchmark* b) { Bars(b, 4); });
BENCHMARK(Equaliser)->Apply([](benchmark::internal::Benchmark* b) { Bars(b, 20); });

} // namespace

BENCHMARK_MAIN();

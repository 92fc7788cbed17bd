// SPDX-License-Identifier: GPL-3.0-or-later
// Per-block cost of the displays: ShowBlock of each signal-graph view for a 4096-frame stereo
// 16-bit block, and AddTime on a 700-pixel-wide performance window. Target: under 5 ms each.

#include "devices/VirtDevs.h"
#include "ui/displays/DSPGraphFrm.h"
#include "ui/displays/DSPPerfForm.h"

#include <QApplication>
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>

namespace {

TAudioBuffer StereoBlock() {
  TAudioBuffer b;
  b.Format() = MakePCMFormat(44100, 2, 16);
  b.SetFrames(4096);
  std::mt19937 random(5);
  std::uniform_int_distribution<int> noise(-3000, 3000);
  auto* s = reinterpret_cast<int16_t*>(b.Data());
  for (int j = 0; j < 4096; ++j) {
    s[2 * j] =
        static_cast<int16_t>(20000 * std::sin(2 * 3.141592653589793 * 440 * j / 44100) + noise(random));
    s[2 * j + 1] = static_cast<int16_t>(noise(random));
  }
  return b;
}

void ShowBlock(benchmark::State& state) {
  const TAudioBuffer block = StereoBlock();
  TDSPGraphFrm frm(nullptr, "Входной сигнал");
  frm.resize(520, 360);
  frm.show();
  QApplication::processEvents();
  frm.SetFormat(block.Format(), 4096);
  QAction* items[] = {frm.iSamples, frm.iHistogram, frm.iSpectrogram};
  frm.GraphTypeClick(items[state.range(0)]);
  for (auto _ : state) {
    frm.ShowBlock(block);
  }
}
BENCHMARK(ShowBlock)->Arg(0)->Arg(1)->Arg(2)->ArgName("view")->Unit(benchmark::kMillisecond);

void AddTime(benchmark::State& state) {
  TDSPPerfForm form(nullptr, 92);
  form.resize(700, 480);
  form.show();
  QApplication::processEvents();
  uint64_t ns = 0;
  for (auto _ : state) {
    form.AddTime(ns);
    ns = (ns + 7000000) % 150000000;
  }
}
BENCHMARK(AddTime)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  int qtArgc = 1;
  QApplication app(qtArgc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

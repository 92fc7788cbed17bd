// SPDX-License-Identifier: GPL-3.0-or-later
// Process time of each filter type on one 4096-frame channel block at 44100 Hz, with its defaults and
// with the settings that cost it most, beside some LV2 plug-ins of swh-lv2 and mda-lv2 (an amplifier,
// equalisers, compressors, limiters, a reverberation; a stereo one on one channel gets it on both
// inputs), and of the chain low-pass, high-pass, equaliser, echo,
// reverberation (defaults) on one stereo 16-bit block, and of the chain's conversion alone; then the
// chain, and a 1024-tap low-pass, on blocks of 64 to 4096.
// Counters: ns per block (processor time of the thread for one filter; wall time for the chain, whose
// two channels run on two threads, with the processor time of both in cpu_ns_per_block) and the
// multiple of real time (a block lasts 4096 / 44100 s = 92.9 ms).

#include "dsp/FilterList.h"
#include "dsp/WaveFormat.h"
#include "filters/FilterCatalogue.h"
#include "filters/Transforms.h"
#include "filters/lv2/PluginSlot.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

namespace {

constexpr int32_t Rate = 44100;
constexpr int32_t Frames = 4096;
constexpr double BlockSeconds = static_cast<double>(Frames) / Rate;

std::vector<float> Noise(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-8000.0f, 8000.0f);
  std::vector<float> x(n);
  for (auto& v : x) {
    v = dist(rng);
  }
  return x;
}

double ClockSeconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Processor time of this thread, so that other processes on a shared machine do not count.
double ThreadSeconds() {
  return ClockSeconds(CLOCK_THREAD_CPUTIME_ID);
}

void Report(benchmark::State& state, double seconds, int64_t blocks) {
  const double perBlock = seconds / static_cast<double>(blocks);
  state.counters["ns_per_block"] = perBlock * 1e9;
  state.counters["x_real_time"] = BlockSeconds / perBlock;
}

// The settings that make each type work hardest (types not listed cost the same at any setting).
void Heaviest(TFilter& filter) {
  const auto set = [&](const char* name, double value) {
    for (int i = 0; i < filter.ParameterCount(); ++i) {
      if (std::strcmp(filter.Parameter(i).Name, name) == 0) {
        SetValueAt(*filter.Parameter(i).Description, filter.Parameter(i).Storage, value);
      }
    }
  };
  set("KernelSize", 1024);
  set("Order", 8);
  set("Length", 4096);
  set("Voices", 6);
  set("Kind", filter.Type() == 12 ? 1 : 0);
  set("Waveform", 2);
  set("Window", 200);
  set("DelayLines", 32);
  filter.Apply();
}

void FilterProcess(benchmark::State& state) {
  const auto filter = CreateFilter(static_cast<int32_t>(state.range(0)), Rate);
  if (state.range(1) != 0) {
    Heaviest(*filter);
  }
  const std::vector<float> source = Noise(Frames, 1);
  std::vector<float> block(Frames);
  ChannelBlock channel;
  channel.Samples = block.data();
  channel.Frames = Frames;
  double seconds = 0.0;
  for (auto _ : state) {
    std::memcpy(block.data(), source.data(), sizeof(float) * Frames);
    const double start = ThreadSeconds();
    filter->Process(channel, 0);
    seconds += ThreadSeconds() - start;
    benchmark::DoNotOptimize(block.data());
  }
  Report(state, seconds, state.iterations());
}
BENCHMARK(FilterProcess)
    ->ArgNames({"type", "heaviest"})
    ->ArgsProduct({benchmark::CreateDenseRange(0, 15, 1), {0, 1}})
    ->Unit(benchmark::kMicrosecond);

constexpr const char* Plugins[] = {
    "http://plugin.org.uk/swh-plugins/amp",        "http://plugin.org.uk/swh-plugins/dj_eq",
    "http://plugin.org.uk/swh-plugins/triplePara", "http://plugin.org.uk/swh-plugins/sc1",
    "http://plugin.org.uk/swh-plugins/sc4",        "http://plugin.org.uk/swh-plugins/fastLookaheadLimiter",
    "http://drobilla.net/plugins/mda/Limiter",     "http://plugin.org.uk/swh-plugins/gverb",
};

// A plug-in slot at its defaults, as FilterProcess runs a type.
void PluginProcess(benchmark::State& state) {
  const auto host = std::make_shared<TPluginHost>();
  const char* uri = Plugins[state.range(0)];
  const std::shared_ptr<const TPluginInfo> plugin = host->Find(uri);
  if (!plugin || !plugin->Offered()) {
    state.SkipWithError((std::string(uri) + " is not installed (swh-lv2, mda-lv2)").c_str());
    return;
  }
  state.SetLabel(plugin->Name);
  std::unique_ptr<TPluginSlot> made;
  try {
    made = std::make_unique<TPluginSlot>(host, plugin, Rate);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  TPluginSlot& slot = *made;
  const std::vector<float> source = Noise(Frames, 1);
  std::vector<float> block(Frames);
  ChannelBlock channel;
  channel.Samples = block.data();
  channel.Frames = Frames;
  double seconds = 0.0;
  for (auto _ : state) {
    std::memcpy(block.data(), source.data(), sizeof(float) * Frames);
    const double start = ThreadSeconds();
    slot.Process(channel, 0);
    seconds += ThreadSeconds() - start;
    benchmark::DoNotOptimize(block.data());
  }
  Report(state, seconds, state.iterations());
}
BENCHMARK(PluginProcess)
    ->ArgName("plugin")
    ->DenseRange(0, static_cast<int>(std::size(Plugins)) - 1)
    ->Unit(benchmark::kMicrosecond);

// The five-filter chain on a stereo 16-bit block of `frames` frames. The two channels run on two
// threads: the block's wall time is the figure (ns_per_block, and x_real_time against the block's
// duration); the processor time of the whole process (both threads) shows the work. The wall time
// counts other processes' load too.
void RunChain(benchmark::State& state, int32_t frames, unsigned seed) {
  TFilterList chain(Rate);
  for (const int32_t type : {0, 1, 4, 9, 11}) {
    chain.Add(CreateFilter(type, Rate));
  }
  const TWaveFormat format = MakePCMFormat(Rate, 2, 16);
  const std::vector<float> noise = Noise(2 * static_cast<size_t>(frames), seed);
  std::vector<uint8_t> source(static_cast<size_t>(frames) * format.nBlockAlign);
  for (size_t i = 0; i < noise.size(); ++i) {
    const auto v = static_cast<int16_t>(noise[i]);
    std::memcpy(source.data() + 2 * i, &v, 2);
  }
  std::vector<uint8_t> block(source.size());
  double wall = 0.0;
  double processor = 0.0;
  for (auto _ : state) {
    std::memcpy(block.data(), source.data(), block.size());
    const double start = ClockSeconds(CLOCK_MONOTONIC);
    const double startProcessor = ClockSeconds(CLOCK_PROCESS_CPUTIME_ID);
    chain.ProcessBlock(block.data(), frames, format);
    processor += ClockSeconds(CLOCK_PROCESS_CPUTIME_ID) - startProcessor;
    wall += ClockSeconds(CLOCK_MONOTONIC) - start;
    benchmark::DoNotOptimize(block.data());
  }
  const double perBlock = wall / static_cast<double>(state.iterations());
  state.counters["ns_per_block"] = perBlock * 1e9;
  state.counters["x_real_time"] = static_cast<double>(frames) / Rate / perBlock;
  state.counters["cpu_ns_per_block"] = processor / static_cast<double>(state.iterations()) * 1e9;
}

void ChainProcessBlock(benchmark::State& state) {
  RunChain(state, Frames, 2);
}
BENCHMARK(ChainProcessBlock)->Unit(benchmark::kMicrosecond);

// The chain's own cost on one stereo 16-bit block: PCM to float planes and back with saturation and
// the count of saturated samples (branch-free, so the signal does not matter), around one disabled
// filter.
void ChainConversion(benchmark::State& state) {
  TFilterList chain(Rate);
  chain.Add(CreateFilter(9, Rate));
  chain.SetEnabled(0, false);
  const TWaveFormat format = MakePCMFormat(Rate, 2, 16);
  const std::vector<float> noise = Noise(2 * Frames, 3);
  std::vector<uint8_t> source(static_cast<size_t>(Frames) * format.nBlockAlign);
  for (size_t i = 0; i < noise.size(); ++i) {
    const auto v = static_cast<int16_t>(noise[i]);
    std::memcpy(source.data() + 2 * i, &v, 2);
  }
  std::vector<uint8_t> block(source.size());
  double seconds = 0.0;
  for (auto _ : state) {
    std::memcpy(block.data(), source.data(), block.size());
    const double start = ThreadSeconds();
    chain.ProcessBlock(block.data(), Frames, format);
    seconds += ThreadSeconds() - start;
    benchmark::DoNotOptimize(block.data());
  }
  Report(state, seconds, state.iterations());
}
BENCHMARK(ChainConversion)->Unit(benchmark::kMicrosecond);

// The five-filter chain on blocks of 64 to 4096 frames (the small blocks of a live set-up).
void ChainBlockSizes(benchmark::State& state) {
  RunChain(state, static_cast<int32_t>(state.range(0)), 4);
}
BENCHMARK(ChainBlockSizes)->RangeMultiplier(2)->Range(64, 4096)->Unit(benchmark::kMicrosecond);

// One channel of a 1024-tap low-pass on blocks of 64 to 4096 frames, against what a block shorter
// than the kernel used to cost: one 2048-point transform each way (KernelTransformPair).
void LowPass1024BlockSizes(benchmark::State& state) {
  const auto frames = static_cast<int32_t>(state.range(0));
  const auto filter = CreateFilter(0, Rate);
  *static_cast<int32_t*>(filter->FindParameter("KernelSize")) = 1024;
  filter->Apply();
  const std::vector<float> source = Noise(static_cast<size_t>(frames), 5);
  std::vector<float> block(source.size());
  ChannelBlock channel;
  channel.Samples = block.data();
  channel.Frames = frames;
  double seconds = 0.0;
  for (auto _ : state) {
    std::memcpy(block.data(), source.data(), sizeof(float) * block.size());
    const double start = ThreadSeconds();
    filter->Process(channel, 0);
    seconds += ThreadSeconds() - start;
    benchmark::DoNotOptimize(block.data());
  }
  const double perBlock = seconds / static_cast<double>(state.iterations());
  state.counters["ns_per_block"] = perBlock * 1e9;
  state.counters["ns_per_frame"] = perBlock * 1e9 / frames;
}
BENCHMARK(LowPass1024BlockSizes)->RangeMultiplier(2)->Range(64, 4096)->Unit(benchmark::kMicrosecond);

void KernelTransformPair(benchmark::State& state) {
  std::vector<float> re = Noise(2048, 6);
  std::vector<float> im(2048);
  double seconds = 0.0;
  for (auto _ : state) {
    const double start = ThreadSeconds();
    RealFFT(2048, re.data(), im.data());
    InverseRealFFT(2048, re.data(), im.data());
    seconds += ThreadSeconds() - start;
    benchmark::DoNotOptimize(re.data());
  }
  state.counters["ns_per_pair"] = seconds / static_cast<double>(state.iterations()) * 1e9;
}
BENCHMARK(KernelTransformPair)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();

// SPDX-License-Identifier: GPL-3.0-or-later
// Cost per block of the format conversions and of the WAVE writer.
#include "devices/AudioFormats.h"
#include "devices/RateConverter.h"
#include "devices/VirtDevs.h"
#include "devices/WaveFile.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>

namespace {

TAudioBuffer SineBlock(int formatIndex) {
  TAudioBuffer b;
  b.Format() = FormatTable[formatIndex];
  b.SetFrames(BlockFrames(b.Format().nSamplesPerSec));
  auto* samples = b.Data();
  for (int i = 0; i < b.Bytes(); ++i) {
    samples[i] = static_cast<uint8_t>(128 + 100 * std::sin(i * 0.1));
  }
  return b;
}

// A block into another format of the table: sample by sample at the same rate (other channels and
// bits), a one-shot rate conversion as ConvertAudio does it otherwise.
void BM_ConvertFrom(benchmark::State& state, int targetFormat) {
  const TAudioBuffer source = SineBlock(31);
  TAudioBuffer target;
  target.Format() = FormatTable[targetFormat];
  target.SetFrames(4096);
  for (auto _ : state) {
    target.ConvertFrom(source);
    benchmark::DoNotOptimize(target.Data());
  }
}
BENCHMARK_CAPTURE(BM_ConvertFrom, SameRate, 28);
BENCHMARK_CAPTURE(BM_ConvertFrom, OneShot44100To48000, 35);

// The streaming converter an output keeps: one pass of ConvertAll and WriteAll.
void BM_StreamingPass44100To48000(benchmark::State& state) {
  const TAudioBuffer source = SineBlock(31);
  TRateConverter converter(source.Format(), 4096, FormatTable[35], 4096);
  std::vector<uint8_t> out(4096 * 4);
  for (auto _ : state) {
    converter.Push(source.Data(), source.Bytes());
    while (converter.Pop(out.data(), 4096)) {
      benchmark::DoNotOptimize(out.data());
    }
  }
}
BENCHMARK(BM_StreamingPass44100To48000);

void BM_WaveWriterBlock(benchmark::State& state) {
  const std::string file = (std::filesystem::temp_directory_path() / "sonolab-bench-writer.wav").string();
  {
    TWAVEFilePlaybackDevice writer;
    writer.Buffer().Format() = FormatTable[31];
    writer.SetFileName(file);
    writer.Open();
    for (auto _ : state) {
      writer.Write();
      if (writer.DataBytes() > (64u << 20)) { // keep the file small: start over
        state.PauseTiming();
        writer.Open();
        state.ResumeTiming();
      }
    }
  }
  std::filesystem::remove(file);
}
BENCHMARK(BM_WaveWriterBlock);

} // namespace

BENCHMARK_MAIN();

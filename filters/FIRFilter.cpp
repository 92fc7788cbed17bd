// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/FIRFilter.h"

#include "filters/Transforms.h"

#include <algorithm>
#include <mutex>

TFIRFilter::TFIRFilter(int32_t sampleRate) : TFilter(sampleRate) {
  N = 512;
  TFIRFilter::SetStateLength(512);
}

void TFIRFilter::SetStateLength(int32_t n) {
  const std::lock_guard guard(Lock());
  int32_t history = MinHistoryLength;
  while (history < n) {
    history *= 2;
  }
  if (history != StateLength()) {
    // New histories and convolvers sized for them, silent and reset, replace the old ones together.
    auto fresh = std::make_unique<std::array<TPartitionedConvolver, 2>>();
    for (TPartitionedConvolver& c : *fresh) {
      c.Reserve(history);
    }
    TStateBuffers replaced = SilentState(history);
    {
      const std::lock_guard handOver(StateLock());
      convolvers.swap(fresh);
      ExchangeState(replaced);
    }
  }
  const size_t length = 2 * static_cast<size_t>(n);
  responseRe.assign(length, 0.0f);
  responseIm.assign(length, 0.0f);
}

void TFIRFilter::ClearState() {
  const std::lock_guard guard(Lock());
  if (StateLength() == 0) {
    return;
  }
  TStateBuffers replaced = SilentState(StateLength());
  {
    const std::lock_guard handOver(StateLock());
    ExchangeState(replaced);
    for (TPartitionedConvolver& c : *convolvers) {
      c.Reset();
    }
  }
}

void TFIRFilter::Update() {
  SetStateLength(N);
  ComputeResponse();
}

void TFIRFilter::ComputeResponse() {
  std::fill(responseRe.begin() + N, responseRe.begin() + 2 * static_cast<size_t>(N), 0.0f);
  DesignKernel();
  const auto designed = responseRe.begin() + N + 1;
  if (taps.size() != static_cast<size_t>(N) + 1 || !std::equal(responseRe.begin(), designed, taps.begin())) {
    std::vector<float> fresh(responseRe.begin(), designed);
    {
      const std::lock_guard handOver(StateLock());
      taps.swap(fresh);
      ++generation;
    }
  }
  RealFFT(2 * N, responseRe.data(), responseIm.data());
}

void TFIRFilter::Process(ChannelBlock& block, int channel) {
  if (taps.size() < 3) {
    return;
  }
  const TKernelTaps kernel{taps.data(), static_cast<int32_t>(taps.size()) - 1, generation};
  (*convolvers)[channel].Process(block.Samples, block.Frames, kernel, ChannelState(channel));
}

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
  if (designs.Empty() || designs.Latest().Taps.size() != static_cast<size_t>(N) + 1 ||
      !std::equal(responseRe.begin(), designed, designs.Latest().Taps.begin())) {
    designs.Publish(
        std::make_unique<TDesign>(TDesign{std::vector<float>(responseRe.begin(), designed),
                                          designs.Empty() ? 1 : designs.Latest().Generation + 1}));
  }
  RealFFT(2 * N, responseRe.data(), responseIm.data());
}

const std::vector<float>& TFIRFilter::Taps() const {
  static const std::vector<float> none;
  return designs.Empty() ? none : designs.Latest().Taps;
}

void TFIRFilter::Process(ChannelBlock& block, int channel) {
  const TDesign& design = designs.Take(channel);
  if (design.Taps.size() < 3) {
    return;
  }
  const TKernelTaps kernel{design.Taps.data(), static_cast<int32_t>(design.Taps.size()) - 1,
                           design.Generation};
  (*convolvers)[channel].Process(block.Samples, block.Frames, kernel, ChannelState(channel));
}

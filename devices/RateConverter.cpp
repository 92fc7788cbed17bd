// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/RateConverter.h"

#include "devices/AudioFormats.h"
#include "devices/PcmSamples.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {
constexpr uint32_t ACMErrNotPossible = 512;
// Room for what the resampler may hand back beyond the nominal ratio in one call.
constexpr size_t OutputSlack = 256;
} // namespace

void TRateConverter::TDeleter::operator()(soxr* p) const {
  soxr_delete(p);
}

TRateConverter::TRateConverter(const TWaveFormat& srcFormat, int32_t srcBlockFrames,
                               const TWaveFormat& dstFormat, int32_t dstBlockFrames)
    : srcFormat(srcFormat), dstFormat(dstFormat), dstFrameBytes(FrameBytes(dstFormat)) {
  if (!IsConvertiblePCM(srcFormat) || !IsConvertiblePCM(dstFormat)) {
    RaiseACMError(ACMErrNotPossible, __LINE__, "acmStreamOpen");
  }
  const unsigned channels = dstFormat.nChannels;
  soxr_error_t error = nullptr;
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  // Small transform sizes keep the resampler's output close behind its input from pass to pass.
  soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  runtime.log2_min_dft_size = 8;
  runtime.log2_large_dft_size = 8;
  resampler.reset(soxr_create(srcFormat.nSamplesPerSec, dstFormat.nSamplesPerSec, channels, &error, &io,
                              &quality, &runtime));
  if (error != nullptr || !resampler) {
    RaiseACMError(ACMErrNotPossible, __LINE__, "acmStreamOpen");
  }

  const double ratio = static_cast<double>(dstFormat.nSamplesPerSec) / srcFormat.nSamplesPerSec;
  const auto srcFrames = static_cast<size_t>(std::max(srcBlockFrames, 1));
  const size_t outFrames =
      static_cast<size_t>(std::ceil(static_cast<double>(srcFrames) * ratio)) + OutputSlack;
  in.resize(srcFrames * channels);
  out.resize(outFrames * channels);
  // After WriteAll less than one output block stays behind and a pass adds its output; the flush
  // at the end adds the resampler's delay (well under MaxDelayFrames).
  constexpr size_t MaxDelayFrames = 8192;
  queue.reserve((2 * (static_cast<size_t>(std::max(dstBlockFrames, 1)) + outFrames) + MaxDelayFrames) *
                static_cast<size_t>(dstFrameBytes));
}

TRateConverter::~TRateConverter() = default;

void TRateConverter::Queue(size_t made) {
  if (made == 0) {
    return;
  }
  const size_t at = queue.size();
  queue.resize(at + made * static_cast<size_t>(dstFrameBytes));
  EncodeFrames(out.data(), static_cast<int32_t>(made), dstFormat, queue.data() + at);
  framesOut += static_cast<int64_t>(made);
}

void TRateConverter::Push(const uint8_t* src, int32_t srcBytes) {
  const int32_t frames = std::max(srcBytes, 0) / FrameBytes(srcFormat);
  const unsigned channels = dstFormat.nChannels;
  if (in.size() < static_cast<size_t>(frames) * channels) {
    in.resize(static_cast<size_t>(frames) * channels);
  }
  DecodeFrames(srcFormat, src, frames, static_cast<int>(channels), in.data());
  framesIn += frames;

  size_t offered = 0;
  const auto total = static_cast<size_t>(frames);
  const size_t outFrames = out.size() / channels;
  while (true) {
    size_t used = 0;
    size_t made = 0;
    const soxr_error_t error = soxr_process(resampler.get(), in.data() + offered * channels, total - offered,
                                            &used, out.data(), outFrames, &made);
    if (error != nullptr) {
      RaiseACMError(ACMErrNotPossible, __LINE__, "acmStreamConvert");
    }
    offered += used;
    Queue(made);
    // Done when all input is taken and the output buffer was not filled to the brim.
    if (offered >= total && made < outFrames) {
      break;
    }
    if (used == 0 && made == 0) {
      break;
    }
  }
}

void TRateConverter::Flush() {
  const size_t outFrames = out.size() / dstFormat.nChannels;
  // No input at all tells the resampler that the signal has ended: it gives up what it holds back.
  while (true) {
    size_t made = 0;
    const soxr_error_t error =
        soxr_process(resampler.get(), nullptr, 0, nullptr, out.data(), outFrames, &made);
    if (error != nullptr) {
      RaiseACMError(ACMErrNotPossible, __LINE__, "acmStreamConvert");
    }
    Queue(made);
    if (made < outFrames) {
      break;
    }
  }
  // The signal's own length at the new rate, to the nearest frame: the resampler may end a frame
  // early or late.
  const int64_t srcRate = srcFormat.nSamplesPerSec;
  const int64_t want = (framesIn * dstFormat.nSamplesPerSec + srcRate / 2) / srcRate;
  const auto frameBytes = static_cast<size_t>(dstFrameBytes);
  if (framesOut > want) {
    const auto extra = static_cast<size_t>(framesOut - want);
    queue.resize(queue.size() - std::min(queue.size(), extra * frameBytes));
  } else if (framesOut < want) {
    const uint8_t silence = dstFormat.wBitsPerSample == 8 ? 128 : 0;
    queue.insert(queue.end(), static_cast<size_t>(want - framesOut) * frameBytes, silence);
  }
  soxr_clear(resampler.get());
  framesIn = 0;
  framesOut = 0;
}

int32_t TRateConverter::QueuedFrames() const {
  return static_cast<int32_t>(queue.size() / dstFrameBytes);
}

bool TRateConverter::Pop(uint8_t* dst, int32_t frames) {
  if (frames <= 0 || QueuedFrames() < frames) {
    return false;
  }
  const auto n = static_cast<size_t>(frames) * static_cast<size_t>(dstFrameBytes);
  std::memcpy(dst, queue.data(), n);
  queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(n));
  return true;
}

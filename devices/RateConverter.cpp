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
  // After WriteAll less than one output block stays behind; a pass adds its output, and the first
  // output also the resampler's delay (well under MaxLeadFrames).
  constexpr size_t MaxLeadFrames = 8192;
  queue.reserve((2 * (static_cast<size_t>(std::max(dstBlockFrames, 1)) + outFrames) + MaxLeadFrames) *
                static_cast<size_t>(dstFrameBytes));
}

TRateConverter::~TRateConverter() = default;

void TRateConverter::Push(const uint8_t* src, int32_t srcBytes) {
  const int32_t frames = std::max(srcBytes, 0) / FrameBytes(srcFormat);
  const unsigned channels = dstFormat.nChannels;
  if (in.size() < static_cast<size_t>(frames) * channels) {
    in.resize(static_cast<size_t>(frames) * channels);
  }
  DecodeFrames(srcFormat, src, frames, static_cast<int>(channels), in.data());

  const size_t queuedBefore = queue.size();
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
    if (made > 0) {
      const size_t at = queue.size();
      queue.resize(at + made * static_cast<size_t>(dstFrameBytes));
      EncodeFrames(out.data(), static_cast<int32_t>(made), dstFormat, queue.data() + at);
    }
    // Done when all input is taken and the output buffer was not filled to the brim.
    if (offered >= total && made < outFrames) {
      break;
    }
    if (used == 0 && made == 0) {
      break;
    }
  }
  if (leadFrames < 0 && queue.size() > queuedBefore) {
    leadFrames = static_cast<int32_t>(std::lround(soxr_delay(resampler.get())));
    const uint8_t silence = dstFormat.wBitsPerSample == 8 ? 128 : 0;
    queue.insert(queue.begin(), static_cast<size_t>(leadFrames) * static_cast<size_t>(dstFrameBytes),
                 silence);
  }
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

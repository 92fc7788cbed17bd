// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/AudioFormats.h"

#include "devices/PcmSamples.h"
#include "devices/VirtDevs.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr const char* SourceFile = "AudioFormats.cpp";

constexpr uint32_t ACMErrNotPossible = 512;

constexpr std::array<TWaveFormat, FormatCount> MakeFormatTable() {
  constexpr uint32_t rates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
  std::array<TWaveFormat, FormatCount> table{};
  int i = 0;
  for (const uint32_t rate : rates) {
    table[i++] = MakePCMFormat(rate, 1, 8);
    table[i++] = MakePCMFormat(rate, 2, 8);
    table[i++] = MakePCMFormat(rate, 1, 16);
    table[i++] = MakePCMFormat(rate, 2, 16);
  }
  return table;
}

struct TACMResult {
  uint32_t Code;
  const char* Description;
};

constexpr TACMResult ACMResults[] = {
    {5, "The specified handle is invalid"},
    {7, "The system is unable to allocate resources"},
    {10, "At least one flag is invalid"},
    {11, "At least one parameter is invalid"},
    {512, "The requested operation cannot be performed"},
    {513, "The stream header specified is currently in use and cannot be reused"},
    {514, "The stream header specified is currently not prepared"},
};

// Fills the destination with silence from byte `from` on.
void SilenceFrom(const TWaveFormat& format, uint8_t* data, int32_t from, int32_t bytes) {
  if (from < bytes) {
    std::memset(data + from, format.wBitsPerSample == 8 ? 128 : 0, static_cast<size_t>(bytes - from));
  }
}

} // namespace

const std::array<TWaveFormat, FormatCount> FormatTable = MakeFormatTable();

std::string FormatText(const TWaveFormat& format) {
  char text[128];
  std::snprintf(text, sizeof text, "%d,%03d КГц, %d бит, %s (%d Кб/с)",
                static_cast<int>(format.nSamplesPerSec / 1000),
                static_cast<int>(format.nSamplesPerSec % 1000), static_cast<int>(format.wBitsPerSample),
                format.nChannels == 1 ? "моно" : "стерео", static_cast<int>(format.nAvgBytesPerSec >> 10));
  return text;
}

std::string RateText(uint32_t sampleRate) {
  char text[32];
  std::snprintf(text, sizeof text, "%u,%03u КГц", sampleRate / 1000, sampleRate % 1000);
  return text;
}

std::string ChannelCountText(uint32_t channels) {
  const uint32_t lastTwo = channels % 100;
  const uint32_t last = channels % 10;
  const char* word = (lastTwo >= 11 && lastTwo <= 14) ? "каналов"
                     : last == 1                      ? "канал"
                     : (last >= 2 && last <= 4)       ? "канала"
                                                      : "каналов";
  return std::to_string(channels) + " " + word;
}

std::string FormatName(int index) {
  if (index < 0 || index >= FormatCount) {
    return {};
  }
  return FormatText(FormatTable[static_cast<size_t>(index)]);
}

int FindFormat(const TWaveFormat& format) {
  const auto it = std::find(FormatTable.begin(), FormatTable.end(), format);
  return it == FormatTable.end() ? 0 : static_cast<int>(it - FormatTable.begin());
}

void ConvertAudio(const TWaveFormat& srcFormat, const uint8_t* src, int32_t srcBytes,
                  const TWaveFormat& dstFormat, uint8_t* dst, int32_t dstBytes) {
  if (dstBytes <= 0) {
    return;
  }
  if (srcFormat == dstFormat) {
    // Never read past the source; a shorter source leaves silence behind it.
    const int32_t n = std::clamp(srcBytes, 0, dstBytes);
    if (n > 0) {
      std::memcpy(dst, src, static_cast<size_t>(n));
    }
    SilenceFrom(dstFormat, dst, n, dstBytes);
    return;
  }
  if (!IsConvertiblePCM(srcFormat) || !IsConvertiblePCM(dstFormat)) {
    RaiseACMError(ACMErrNotPossible, __LINE__, "acmStreamOpen");
  }

  const int32_t srcFrames = std::max(srcBytes, 0) / FrameBytes(srcFormat);
  const int32_t dstFrames = dstBytes / FrameBytes(dstFormat);

  if (srcFormat.nSamplesPerSec == dstFormat.nSamplesPerSec) {
    const int32_t frames = std::min(srcFrames, dstFrames);
    ConvertFramesDirect(srcFormat, src, dstFormat, dst, frames);
    SilenceFrom(dstFormat, dst, frames * FrameBytes(dstFormat), dstBytes);
    return;
  }

  // One block as if it were the whole signal: whatever of it fits the destination block.
  const int channels = dstFormat.nChannels;
  // The resampler gives nothing back unless it has room for the whole converted signal.
  const double ratio = static_cast<double>(dstFormat.nSamplesPerSec) / srcFormat.nSamplesPerSec;
  const auto fullFrames = static_cast<size_t>(std::ceil(srcFrames * ratio)) + 16;
  std::vector<float> in(static_cast<size_t>(srcFrames) * channels);
  std::vector<float> out(fullFrames * channels);
  DecodeFrames(srcFormat, src, srcFrames, channels, in.data());
  size_t used = 0;
  size_t made = 0;
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  const soxr_error_t error = soxr_oneshot(
      srcFormat.nSamplesPerSec, dstFormat.nSamplesPerSec, static_cast<unsigned>(channels), in.data(),
      static_cast<size_t>(srcFrames), &used, out.data(), fullFrames, &made, &io, &quality, nullptr);
  if (error != nullptr) {
    RaiseACMError(ACMErrNotPossible, __LINE__, "acmStreamConvert");
  }
  made = std::min(made, static_cast<size_t>(dstFrames));
  EncodeFrames(out.data(), static_cast<int32_t>(made), dstFormat, dst);
  SilenceFrom(dstFormat, dst, static_cast<int32_t>(made) * FrameBytes(dstFormat), dstBytes);
}

std::string ACMResultDescription(uint32_t code) {
  for (const TACMResult& r : ACMResults) {
    if (r.Code == code) {
      return r.Description;
    }
  }
  return {};
}

void RaiseACMError(uint32_t code, int32_t line, const std::string& operation) {
  TDSPException e;
  e.Informational = 0;
  e.ResultCode = code;
  e.SourceFile = SourceFile;
  e.SourceLine = line;
  e.Operation = operation;
  e.Description = ACMResultDescription(code);
  throw e;
}

#include "devices/PcmSamples.h"

#include <algorithm>
#include <cmath>

namespace {

// One sample on the 16-bit scale.
inline int32_t LoadSample(const uint8_t* p, int bits) {
  if (bits == 8) {
    return (static_cast<int32_t>(p[0]) - 128) * 256;
  }
  return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
}

inline void StoreSample(uint8_t* p, int bits, int32_t v) {
  if (bits == 8) {
    p[0] = static_cast<uint8_t>((v >> 8) + 128);
    return;
  }
  const auto u = static_cast<uint16_t>(static_cast<int16_t>(v));
  p[0] = static_cast<uint8_t>(u & 0xFF);
  p[1] = static_cast<uint8_t>(u >> 8);
}

} // namespace

bool IsConvertiblePCM(const TWaveFormat& format) {
  return format.wFormatTag == 1 && (format.nChannels == 1 || format.nChannels == 2) &&
         (format.wBitsPerSample == 8 || format.wBitsPerSample == 16) && format.nSamplesPerSec != 0;
}

int32_t FrameBytes(const TWaveFormat& format) {
  return format.nChannels * (format.wBitsPerSample / 8);
}

void ConvertFramesDirect(const TWaveFormat& srcFormat, const uint8_t* src, const TWaveFormat& dstFormat,
                         uint8_t* dst, int32_t frames) {
  const int srcBits = srcFormat.wBitsPerSample;
  const int dstBits = dstFormat.wBitsPerSample;
  const int srcStep = srcBits / 8;
  const int dstStep = dstBits / 8;
  const int srcChannels = srcFormat.nChannels;
  const int dstChannels = dstFormat.nChannels;
  for (int32_t i = 0; i < frames; ++i) {
    const int32_t a = LoadSample(src, srcBits);
    if (srcChannels == dstChannels) {
      StoreSample(dst, dstBits, a);
      if (dstChannels == 2) {
        StoreSample(dst + dstStep, dstBits, LoadSample(src + srcStep, srcBits));
      }
    } else if (dstChannels == 2) {
      StoreSample(dst, dstBits, a);
      StoreSample(dst + dstStep, dstBits, a);
    } else {
      StoreSample(dst, dstBits, (a + LoadSample(src + srcStep, srcBits)) >> 1);
    }
    src += srcStep * srcChannels;
    dst += dstStep * dstChannels;
  }
}

void DecodeFrames(const TWaveFormat& srcFormat, const uint8_t* src, int32_t frames, int dstChannels,
                  float* out) {
  constexpr float Scale = 1.0f / 32768.0f;
  const int bits = srcFormat.wBitsPerSample;
  const int step = bits / 8;
  const int srcChannels = srcFormat.nChannels;
  for (int32_t i = 0; i < frames; ++i) {
    const float a = static_cast<float>(LoadSample(src, bits)) * Scale;
    if (srcChannels == dstChannels) {
      *out++ = a;
      if (dstChannels == 2) {
        *out++ = static_cast<float>(LoadSample(src + step, bits)) * Scale;
      }
    } else if (dstChannels == 2) {
      *out++ = a;
      *out++ = a;
    } else {
      *out++ = 0.5f * (a + static_cast<float>(LoadSample(src + step, bits)) * Scale);
    }
    src += step * srcChannels;
  }
}

void EncodeFrames(const float* in, int32_t frames, const TWaveFormat& dstFormat, uint8_t* dst) {
  const int bits = dstFormat.wBitsPerSample;
  const int32_t samples = frames * dstFormat.nChannels;
  if (bits == 8) {
    for (int32_t i = 0; i < samples; ++i) {
      const long v = std::clamp(std::lround(in[i] * 128.0f), -128L, 127L);
      dst[i] = static_cast<uint8_t>(v + 128);
    }
    return;
  }
  for (int32_t i = 0; i < samples; ++i) {
    const long v = std::clamp(std::lround(in[i] * 32768.0f), -32768L, 32767L);
    const auto u = static_cast<uint16_t>(static_cast<int16_t>(v));
    dst[2 * i] = static_cast<uint8_t>(u & 0xFF);
    dst[2 * i + 1] = static_cast<uint8_t>(u >> 8);
  }
}

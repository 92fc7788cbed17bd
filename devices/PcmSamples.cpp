// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/PcmSamples.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

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

int32_t ChannelPeak(const uint8_t* data, int32_t n, int channels, int bits, int channel) {
  int32_t peak = 0;
  if (bits == 8) {
    for (int32_t j = 0; j < n; ++j) {
      const int b = data[j * channels + channel];
      peak = std::max(peak, b >= 128 ? b - 128 : 128 - b);
    }
  } else if (bits == 16) {
    for (int32_t j = 0; j < n; ++j) {
      const uint8_t* s = data + 2 * (j * channels + channel);
      peak = std::max(peak, std::abs(static_cast<int32_t>(
                                static_cast<int16_t>(static_cast<uint16_t>(s[0] | (s[1] << 8))))));
    }
  }
  return peak;
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

int SampleBytes(TSampleEncoding encoding) {
  switch (encoding) {
  case TSampleEncoding::Unsigned8:
    return 1;
  case TSampleEncoding::Signed16:
    return 2;
  case TSampleEncoding::Signed24:
    return 3;
  case TSampleEncoding::Signed32:
  case TSampleEncoding::Float32:
    return 4;
  case TSampleEncoding::Float64:
    return 8;
  }
  return 0;
}

namespace {

inline void Put16(uint8_t* p, int32_t v) {
  const auto u = static_cast<uint16_t>(static_cast<int16_t>(std::clamp(v, -32768, 32767)));
  p[0] = static_cast<uint8_t>(u & 0xFF);
  p[1] = static_cast<uint8_t>(u >> 8);
}

inline int32_t RoundFloat16(double x) {
  if (!(x == x)) {
    return 0;
  }
  const double v = std::floor(x * 32768.0 + 0.5);
  return v >= 32767.0 ? 32767 : v <= -32768.0 ? -32768 : static_cast<int32_t>(v);
}

} // namespace

void ConvertSamplesTo16(TSampleEncoding encoding, const uint8_t* src, size_t samples, uint8_t* dst) {
  switch (encoding) {
  case TSampleEncoding::Unsigned8:
    for (size_t i = 0; i < samples; ++i, ++src, dst += 2) {
      Put16(dst, (static_cast<int32_t>(src[0]) - 128) * 256);
    }
    return;
  case TSampleEncoding::Signed16:
    std::memcpy(dst, src, samples * 2);
    return;
  case TSampleEncoding::Signed24:
    for (size_t i = 0; i < samples; ++i, src += 3, dst += 2) {
      // Sign-extended through the top byte of a 32-bit word, then the low byte rounded off.
      const auto v =
          static_cast<int32_t>(static_cast<uint32_t>(src[0]) << 8 | static_cast<uint32_t>(src[1]) << 16 |
                               static_cast<uint32_t>(src[2]) << 24) >>
          8;
      Put16(dst, (v + 128) >> 8);
    }
    return;
  case TSampleEncoding::Signed32:
    for (size_t i = 0; i < samples; ++i, src += 4, dst += 2) {
      const auto v =
          static_cast<int32_t>(static_cast<uint32_t>(src[0]) | static_cast<uint32_t>(src[1]) << 8 |
                               static_cast<uint32_t>(src[2]) << 16 | static_cast<uint32_t>(src[3]) << 24);
      Put16(dst, static_cast<int32_t>((static_cast<int64_t>(v) + 32768) >> 16));
    }
    return;
  case TSampleEncoding::Float32:
    for (size_t i = 0; i < samples; ++i, src += 4, dst += 2) {
      float x;
      std::memcpy(&x, src, 4); // the machine is little-endian, as the file is
      Put16(dst, RoundFloat16(x));
    }
    return;
  case TSampleEncoding::Float64:
    for (size_t i = 0; i < samples; ++i, src += 8, dst += 2) {
      double x;
      std::memcpy(&x, src, 8);
      Put16(dst, RoundFloat16(x));
    }
    return;
  }
}

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// PCM signals for tests: sample access in 8- and 16-bit formats, sine blocks, a least-squares sine
// fit at a known frequency, the amplitude at one frequency, blocks made from functions of time, and
// the format and sample bytes of a WAVE file as a writer left it.
//
// Threads: free functions on their arguments only.

#include "devices/VirtDevs.h"
#include "dsp/WaveFormat.h"
#include "support/TestFiles.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

namespace sonotest {

// One sample on the 16-bit scale.
inline int32_t SampleAt(const TWaveFormat& f, const uint8_t* data, int64_t frame, int channel) {
  const int step = f.wBitsPerSample / 8;
  const uint8_t* p = data + (frame * f.nChannels + channel) * step;
  if (f.wBitsPerSample == 8) {
    return (static_cast<int32_t>(p[0]) - 128) * 256;
  }
  return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
}

inline void PutSample(const TWaveFormat& f, uint8_t* data, int64_t frame, int channel, double v16) {
  const int step = f.wBitsPerSample / 8;
  uint8_t* p = data + (frame * f.nChannels + channel) * step;
  if (f.wBitsPerSample == 8) {
    p[0] = static_cast<uint8_t>(std::lround(v16 / 256.0) + 128);
  } else {
    const auto u = static_cast<uint16_t>(static_cast<int16_t>(std::lround(v16)));
    p[0] = static_cast<uint8_t>(u & 0xFF);
    p[1] = static_cast<uint8_t>(u >> 8);
  }
}

// Fills frames [0, frames) with amplitude * sin(2 pi f (first + n) / rate) on every channel.
inline void FillSine(const TWaveFormat& f, uint8_t* data, int64_t frames, double hz, double amplitude16,
                     int64_t first = 0) {
  for (int64_t n = 0; n < frames; ++n) {
    const double v =
        amplitude16 * std::sin(2 * std::numbers::pi * hz * static_cast<double>(first + n) / f.nSamplesPerSec);
    for (int c = 0; c < f.nChannels; ++c) {
      PutSample(f, data, n, c, v);
    }
  }
}

struct SineFit {
  double Amplitude = 0; // on the 16-bit scale
  double Phase = 0;     // radians, of sin(w n + Phase) with n counted from the first frame fitted
  double ResidualRms = 0;
};

// Least-squares fit of a sine of frequency hz (plus an offset) to samples [from, to) of one channel.
inline SineFit FitSine(const std::vector<double>& x, int64_t from, int64_t to, double hz, double rate) {
  const double w = 2 * std::numbers::pi * hz / rate;
  // Normal equations for a*sin + b*cos + c.
  double ss = 0, cc = 0, sc = 0, s1 = 0, c1 = 0, n1 = 0, xs = 0, xc = 0, x1 = 0;
  for (int64_t n = from; n < to; ++n) {
    const double s = std::sin(w * static_cast<double>(n - from));
    const double c = std::cos(w * static_cast<double>(n - from));
    ss += s * s, cc += c * c, sc += s * c, s1 += s, c1 += c, n1 += 1;
    xs += x[n] * s, xc += x[n] * c, x1 += x[n];
  }
  // Solve the 3x3 system by Cramer's rule.
  const double m[3][3] = {{ss, sc, s1}, {sc, cc, c1}, {s1, c1, n1}};
  const double r[3] = {xs, xc, x1};
  auto det = [](const double a[3][3]) {
    return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
           a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
           a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
  };
  const double d = det(m);
  double sol[3];
  for (int k = 0; k < 3; ++k) {
    double t[3][3];
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) {
        t[i][j] = j == k ? r[i] : m[i][j];
      }
    }
    sol[k] = det(t) / d;
  }
  SineFit fit;
  fit.Amplitude = std::hypot(sol[0], sol[1]);
  fit.Phase = std::atan2(sol[1], sol[0]);
  double e2 = 0;
  for (int64_t n = from; n < to; ++n) {
    const double y = sol[0] * std::sin(w * static_cast<double>(n - from)) +
                     sol[1] * std::cos(w * static_cast<double>(n - from)) + sol[2];
    e2 += (x[n] - y) * (x[n] - y);
  }
  fit.ResidualRms = std::sqrt(e2 / static_cast<double>(to - from));
  return fit;
}

// Power of one frequency by the Goertzel recurrence, normalised to the amplitude of a sine.
inline double GoertzelAmplitude(const std::vector<double>& x, int64_t from, int64_t to, double hz,
                                double rate) {
  const double w = 2 * std::numbers::pi * hz / rate;
  const double k = 2 * std::cos(w);
  double s1 = 0, s2 = 0;
  for (int64_t n = from; n < to; ++n) {
    const double s0 = x[n] + k * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  const double power = s1 * s1 + s2 * s2 - k * s1 * s2;
  return 2 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(to - from);
}

inline std::vector<double> Channel(const TWaveFormat& f, const uint8_t* data, int64_t frames, int channel) {
  std::vector<double> x(static_cast<size_t>(frames));
  for (int64_t n = 0; n < frames; ++n) {
    x[n] = SampleAt(f, data, n, channel);
  }
  return x;
}

// A block whose channel c, frame j holds value(c, j) on the format's own integer scale
// (16-bit: -32768..32767, 8-bit: -128..127), clamped and stored as PCM.
inline TAudioBuffer MakeBlock(const TWaveFormat& format, int32_t frames,
                              const std::function<double(int, int)>& value) {
  TAudioBuffer b;
  b.Format() = format;
  b.SetFrames(frames);
  uint8_t* d = b.Data();
  for (int j = 0; j < frames; ++j) {
    for (int c = 0; c < format.nChannels; ++c) {
      const double v = std::round(value(c, j));
      if (format.wBitsPerSample == 8) {
        d[j * format.nChannels + c] = static_cast<uint8_t>(std::clamp(v, -128.0, 127.0) + 128);
      } else {
        const auto s = static_cast<uint16_t>(static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0)));
        d[2 * (j * format.nChannels + c)] = static_cast<uint8_t>(s & 0xFF);
        d[2 * (j * format.nChannels + c) + 1] = static_cast<uint8_t>(s >> 8);
      }
    }
  }
  return b;
}

// amplitude * sin(2 pi hz j / rate): frame j of a sine, for MakeBlock.
inline double SineAt(double amplitude, double hz, double rate, int64_t j) {
  return amplitude * std::sin(2 * std::numbers::pi * hz * static_cast<double>(j) / rate);
}

// Interleaved 16-bit samples of a sine, the same on every channel, rounded to the nearest step.
inline std::vector<int16_t> Sine16(double hz, uint32_t rate, uint16_t channels, size_t frames,
                                   double amplitude) {
  std::vector<int16_t> s(frames * channels);
  for (size_t n = 0; n < frames; ++n) {
    const auto v = static_cast<int16_t>(std::lround(SineAt(amplitude, hz, rate, static_cast<int64_t>(n))));
    std::fill_n(s.begin() + static_cast<std::ptrdiff_t>(n * channels), channels, v);
  }
  return s;
}

// One channel of a PCM WAVE file read by ReadWave, on the 16-bit scale.
inline std::vector<double> Channel(const TWaveContents& wave, int channel) {
  const TWaveFormat format = MakePCMFormat(wave.Rate, wave.Channels, wave.Bits);
  const int64_t frames =
      format.nBlockAlign == 0 ? 0 : static_cast<int64_t>(wave.Data.size()) / format.nBlockAlign;
  return Channel(format, wave.Data.data(), frames, channel);
}

} // namespace sonotest

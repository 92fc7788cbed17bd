#pragma once
// Test helpers: sine blocks in any PCM format, a least-squares sine fit at a known frequency, and
// temporary files.

#include "dsp/WaveFormat.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <string>
#include <vector>

namespace testing_signals {

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

// A fresh folder under the system's temporary folder, removed with its files at the end of scope.
class TempDir {
public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sonolab-devices-XXXXXX").string();
    path = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string File(const std::string& name) const { return (path / name).string(); }

private:
  std::filesystem::path path;
};

inline std::vector<uint8_t> ReadBytes(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const std::string& file, const std::vector<uint8_t>& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
         (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
inline uint16_t Get16(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

} // namespace testing_signals

#pragma once
// Test helpers for the displays: a lazily created offscreen QApplication, PCM blocks made from
// functions of time, a naive windowed DFT, and pixel probes.

#include "devices/VirtDevs.h"
#include "dsp/WaveFormat.h"

#include <QApplication>
#include <QImage>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <memory>
#include <numbers>
#include <vector>

namespace display_tests {

// One QApplication for the whole test program, offscreen unless a platform was chosen. It must go
// before the program's exit handlers run, so the test environment releases it (QtEnvironment.cpp).
inline std::unique_ptr<QApplication>& AppHolder() {
  static std::unique_ptr<QApplication> app;
  return app;
}

inline QApplication& App() {
  std::unique_ptr<QApplication>& app = AppHolder();
  if (!app) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
      qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    static int argc = 1;
    static char name[] = "sonolab_ui_tests";
    static char* argv[] = {name, nullptr};
    app = std::make_unique<QApplication>(argc, argv);
  }
  return *app;
}

inline void ReleaseApp() {
  AppHolder().reset();
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

inline double Sine(double amplitude, double hz, double rate, int j) {
  return amplitude * std::sin(2 * std::numbers::pi * hz * j / rate);
}

// The Blackman-windowed DFT magnitude of x[0..n-1] at bin k, in double precision.
inline double WindowedDftMagnitude(const std::vector<double>& x, int n, int k) {
  std::complex<double> sum = 0;
  for (int i = 0; i < n; ++i) {
    const double w =
        0.42 - 0.5 * std::cos(2 * std::numbers::pi * i / n) + 0.08 * std::cos(4 * std::numbers::pi * i / n);
    sum += x[i] * w * std::polar(1.0, -2 * std::numbers::pi * static_cast<double>(k) * i / n);
  }
  return std::abs(sum);
}

inline QRgb Pixel(const QImage& img, int x, int y) {
  return img.pixel(x, y) & 0xFFFFFF;
}
inline constexpr QRgb White = 0xFFFFFF;
inline constexpr QRgb Black = 0x000000;
inline constexpr QRgb Navy = 0x000080;
inline constexpr QRgb Red = 0xFF0000;
inline constexpr QRgb Green = 0x00FF00;
inline constexpr QRgb Silver = 0xC0C0C0;

// The first row from the top, between y0 and y1 (exclusive), where column x has the colour; -1 if none.
inline int FirstRowWith(const QImage& img, int x, int y0, int y1, QRgb colour) {
  for (int y = y0; y < y1; ++y) {
    if (Pixel(img, x, y) == colour) {
      return y;
    }
  }
  return -1;
}

inline int CountColour(const QImage& img, int x0, int y0, int x1, int y1, QRgb colour) {
  int count = 0;
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x) {
      count += Pixel(img, x, y) == colour ? 1 : 0;
    }
  }
  return count;
}

} // namespace display_tests

// SPDX-License-Identifier: GPL-3.0-or-later
// The band filters, the IIR section, the Chebyshev filter, the moving average and the DC removal against
// references computed here: a windowed-sinc kernel in double and a direct convolution, the analog
// prototypes under the bilinear frequency warping, the Chebyshev polynomial, a step, a tone.

#include "support/FloatSignals.h"

#include "filters/BandPassFilter.h"
#include "filters/ChebyshevFilter.h"
#include "filters/DCRemoval.h"
#include "filters/IIRFilter.h"
#include "filters/MovingAverage.h"

#include <gtest/gtest.h>

#include <complex>
#include <vector>

using namespace sonotest;

namespace {

constexpr double Pi = 3.141592653589793;

// A Hamming-windowed sinc low-pass of M + 1 taps at the normalised cut-off f, summing to 1.
std::vector<double> LowPass(int M, double f) {
  std::vector<double> h(static_cast<size_t>(M) + 1);
  double sum = 0.0;
  for (int i = 0; i <= M; ++i) {
    const int t = i - M / 2;
    const double sinc = t == 0 ? 2.0 * Pi * f : std::sin(2.0 * Pi * f * t) / t;
    h[static_cast<size_t>(i)] = sinc * (0.54 - 0.46 * std::cos(2.0 * Pi * i / M));
    sum += h[static_cast<size_t>(i)];
  }
  for (double& v : h) {
    v /= sum;
  }
  return h;
}

// The complex response of a filter at frequency f: the DFT of its impulse response at f.
std::complex<double> Response(const std::vector<float>& impulseResponse, double f, int fs) {
  std::complex<double> sum = 0.0;
  for (size_t n = 0; n < impulseResponse.size(); ++n) {
    sum += static_cast<double>(impulseResponse[n]) *
           std::polar(1.0, -2.0 * Pi * f * static_cast<double>(n) / fs);
  }
  return sum;
}

std::vector<float> ImpulseResponse(TFilter& filter, size_t length) {
  std::vector<float> x(length, 0.0f);
  x[0] = 1.0f;
  ProcessInBlocks(filter, x, {4096});
  return x;
}

double Db(double v) {
  return 20.0 * std::log10(v);
}

// T_n(x), the Chebyshev polynomial.
double Chebyshev(int n, double x) {
  return std::abs(x) <= 1.0 ? std::cos(n * std::acos(x)) : std::cosh(n * std::acosh(std::abs(x)));
}

} // namespace

TEST(BandFilters, PassAndStopMatchADirectConvolutionWithTheirWindowedSincKernels) {
  for (const int32_t fs : {8000, 44100}) {
    for (const bool stop : {false, true}) {
      SCOPED_TRACE(std::to_string(fs) + (stop ? " band-stop" : " band-pass"));
      std::unique_ptr<TBandPassFilter> f;
      if (stop) {
        f = std::make_unique<TBandStopFilter>(fs);
      } else {
        f = std::make_unique<TBandPassFilter>(fs);
      }
      SetParameters(*f, {{"LowerFreq", 500}, {"UpperFreq", 1700}, {"KernelSize", 256}});
      const auto upper = LowPass(256, 1700.0 / fs);
      const auto lower = LowPass(256, 500.0 / fs);
      std::vector<float> h(257);
      for (size_t i = 0; i < h.size(); ++i) {
        h[i] =
            static_cast<float>((stop && i == 128 ? 1.0 : 0.0) + (stop ? -1.0 : 1.0) * (upper[i] - lower[i]));
      }
      std::vector<float> x = RandomSignal(9000, 10000.0, 7);
      const auto expected = Convolve(x, h);
      ProcessInBlocks(*f, x, {131, 7, 256, 512, 100});
      EXPECT_LT(MaxAbsDifference(x, expected, 0, x.size()), 0.2);
    }
  }
  // The lower edge may not lie above the upper.
  TBandPassFilter f(44100);
  SetParameters(f, {{"LowerFreq", 4000}});
  EXPECT_FALSE(f.Validate());
}

TEST(IIRFilter, EachKindFollowsItsAnalogPrototypeUnderTheBilinearWarping) {
  const int fs = 48000;
  const double f0 = 2000.0, q = 1.3, gainDb = 9.0;
  const double A = std::pow(10.0, gainDb / 40.0);
  using C = std::complex<double>;
  const std::vector<std::function<C(C)>> prototypes = {
      [&](C s) { return 1.0 / (s * s + s / q + 1.0); },
      [&](C s) { return s * s / (s * s + s / q + 1.0); },
      [&](C s) { return (s / q) / (s * s + s / q + 1.0); },
      [&](C s) { return (s * s + 1.0) / (s * s + s / q + 1.0); },
      [&](C s) { return (s * s + s * A / q + 1.0) / (s * s + s / (A * q) + 1.0); },
      [&](C s) { return A * (s * s + s * std::sqrt(A) / q + A) / (A * s * s + s * std::sqrt(A) / q + 1.0); },
      [&](C s) { return A * (A * s * s + s * std::sqrt(A) / q + 1.0) / (s * s + s * std::sqrt(A) / q + A); },
  };
  for (int kind = 0; kind < 7; ++kind) {
    SCOPED_TRACE(kind);
    TIIRFilter f(fs);
    SetParameters(f, {{"Kind", kind}, {"Freq", f0}, {"Q", q}, {"GainDb", gainDb}});
    const auto h = ImpulseResponse(f, 16384);
    for (const double freq : {50.0, 700.0, 1500.0, 1999.0, 2600.0, 6000.0, 15000.0, 23000.0}) {
      const C s(0.0, std::tan(Pi * freq / fs) / std::tan(Pi * f0 / fs));
      const double expected = std::abs(prototypes[static_cast<size_t>(kind)](s));
      const double measured = std::abs(Response(h, freq, fs));
      if (expected > 1e-3) {
        EXPECT_NEAR(Db(measured), Db(expected), 0.01) << freq;
      } else {
        EXPECT_NEAR(measured, expected, 1e-4) << freq;
      }
    }
  }
}

TEST(ChebyshevFilter, RipplesWithinTheRippleAndIsDownByItAtTheCutOffAndFollowsThePolynomial) {
  const int fs = 44100;
  for (const int kind : {0, 1}) {
    for (const int order : {2, 3, 5, 8}) {
      for (const double ripple : {0.1, 3.0}) {
        SCOPED_TRACE(std::to_string(kind) + " order " + std::to_string(order) + " ripple " +
                     std::to_string(ripple));
        const double fc = kind == 0 ? 2000.0 : 5000.0;
        TChebyshevFilter f(fs);
        SetParameters(f, {{"Kind", kind}, {"fc", fc}, {"Order", order}, {"RippleDb", ripple}});
        EXPECT_EQ(f.SectionCount(), (order + 1) / 2);
        const auto h = ImpulseResponse(f, 8192);
        const double eps2 = std::pow(10.0, ripple / 10.0) - 1.0;
        EXPECT_NEAR(Db(std::abs(Response(h, fc, fs))), -ripple, 0.01);
        // The pass band on a fine grid: between -ripple and 0 dB, touching both.
        double highest = -1e9, lowest = 1e9;
        for (int i = 1; i < 200; ++i) {
          const double freq = kind == 0 ? fc * i / 200.0 : fc + (fs / 2.0 - fc) * i / 200.0;
          const double g = Db(std::abs(Response(h, freq, fs)));
          highest = std::max(highest, g);
          lowest = std::min(lowest, g);
        }
        EXPECT_NEAR(highest, 0.0, 0.02);
        EXPECT_NEAR(lowest, -ripple, 0.02);
        for (const double freq : {100.0, 1000.0, 3000.0, 4000.0, 8000.0, 12000.0}) {
          const double x = std::tan(Pi * freq / fs) / std::tan(Pi * fc / fs);
          const double t = Chebyshev(order, kind == 0 ? x : 1.0 / x);
          const double expectedDb = -10.0 * std::log10(1.0 + eps2 * t * t);
          if (expectedDb > -100.0) {
            EXPECT_NEAR(Db(std::abs(Response(h, freq, fs))), expectedDb, 0.02) << freq;
          }
        }
      }
    }
  }
}

TEST(MovingAverage, AStepRisesInEqualStepsOverTheLengthThenStaysAcrossBlocks) {
  for (const int32_t length : {1, 5, 16, 1000, 4096}) {
    SCOPED_TRACE(length);
    TMovingAverage f(44100);
    SetParameters(f, {{"Length", length}});
    std::vector<float> x(3 * 4096 + 777, 1000.0f);
    ProcessInBlocks(f, x, {1, 333, 4096, 17});
    for (size_t n = 0; n < x.size(); ++n) {
      const double expected =
          1000.0 * static_cast<double>(std::min<size_t>(n + 1, static_cast<size_t>(length))) / length;
      ASSERT_NEAR(x[n], expected, 1e-3) << n;
    }
  }
}

TEST(DCRemoval, AnOffsetGoesBelowOneStepWhileOneKilohertzPassesWithinATenthOfADecibel) {
  for (const int32_t fs : {8000, 44100, 48000}) {
    SCOPED_TRACE(fs);
    TDCRemoval f(fs);
    std::vector<float> x = Sine(static_cast<size_t>(3 * fs), 1000.0, fs, 8000.0);
    for (float& v : x) {
      v += 1000.0f;
    }
    ProcessInBlocks(f, x, {4096, 1000});
    const auto last = static_cast<size_t>(2 * fs);
    double mean = 0.0;
    for (size_t n = last; n < x.size(); ++n) {
      mean += x[n];
    }
    mean /= static_cast<double>(x.size() - last);
    EXPECT_LT(std::abs(mean), 1.0);
    EXPECT_NEAR(Db(AmplitudeAt(x, last, x.size(), 1000.0, fs) / 8000.0), 0.0, 0.1);
  }
}

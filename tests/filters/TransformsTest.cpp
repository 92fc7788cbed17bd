// SPDX-License-Identifier: GPL-3.0-or-later
#include "LiteralTransforms.h"
#include "support/FloatSignals.h"

#include "filters/Transforms.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace sonotest;

namespace {

std::vector<int> PowersOfTwo(int from, int to) {
  std::vector<int> sizes;
  for (int n = from; n <= to; n *= 2) {
    sizes.push_back(n);
  }
  return sizes;
}

// Bins are compared against the rms bin magnitude. The float twiddle recurrence drifts by a few
// ulps per rotation, so beyond a few hundred points the error grows in proportion to n.
double Tolerance(const std::vector<std::complex<double>>& x, int n) {
  double energy = 0;
  for (const auto& v : x) {
    energy += std::norm(v);
  }
  return std::sqrt(energy / n) * (2e-7 * std::log2(n) + 3e-8 * n);
}

} // namespace

TEST(ComplexFFT, MatchesDirectDftForEveryPowerOfTwoFrom4To4096) {
  for (const int n : PowersOfTwo(4, 4096)) {
    auto re = RandomSignal(static_cast<size_t>(n), 1000.0, 11u + static_cast<unsigned>(n));
    auto im = RandomSignal(static_cast<size_t>(n), 1000.0, 97u + static_cast<unsigned>(n));
    const auto expected = DirectDFT(re, im);
    ComplexFFT(n, re.data(), im.data());
    const double tolerance = Tolerance(expected, n);
    for (int k = 0; k < n; ++k) {
      ASSERT_NEAR(re[k], expected[k].real(), tolerance) << "n=" << n << " k=" << k;
      ASSERT_NEAR(im[k], expected[k].imag(), tolerance) << "n=" << n << " k=" << k;
    }
  }
}

TEST(RealFFT, MatchesDirectDftOfTheRealSignalForEveryPowerOfTwoFrom4To4096) {
  for (const int n : PowersOfTwo(4, 4096)) {
    auto re = RandomSignal(static_cast<size_t>(n), 30000.0, 5u + static_cast<unsigned>(n));
    std::vector<float> im(static_cast<size_t>(n), 12345.0f); // scratch on entry
    const auto expected = DirectDFT(re, std::vector<float>(static_cast<size_t>(n), 0.0f));
    RealFFT(n, re.data(), im.data());
    const double tolerance = Tolerance(expected, n);
    for (int k = 0; k < n; ++k) {
      ASSERT_NEAR(re[k], expected[k].real(), tolerance) << "n=" << n << " k=" << k;
      ASSERT_NEAR(im[k], expected[k].imag(), tolerance) << "n=" << n << " k=" << k;
    }
  }
}

// Exact twiddles: the error stays at the rounding of double sums, far below the float transforms'.
// Inverse after forward gives n times the signal.
TEST(PreciseFFT, MatchesDirectDftBothWaysForEveryPowerOfTwoFrom2To4096) {
  for (const int n : PowersOfTwo(2, 4096)) {
    const auto re = RandomSignal(static_cast<size_t>(n), 1000.0, 3u + static_cast<unsigned>(n));
    const auto im = RandomSignal(static_cast<size_t>(n), 1000.0, 71u + static_cast<unsigned>(n));
    std::vector<std::complex<double>> x(static_cast<size_t>(n));
    for (size_t t = 0; t < x.size(); ++t) {
      x[t] = {re[t], im[t]};
    }
    const auto expected = DirectDFT(re, im);
    PreciseFFT(n, x.data(), false);
    const double tolerance = 1e-12 * n * 1000.0;
    for (int k = 0; k < n; ++k) {
      ASSERT_NEAR(std::abs(x[k] - expected[k]), 0.0, tolerance) << "n=" << n << " k=" << k;
    }
    PreciseFFT(n, x.data(), true);
    for (size_t t = 0; t < x.size(); ++t) {
      ASSERT_NEAR(std::abs(x[t] / static_cast<double>(n) - std::complex<double>(re[t], im[t])), 0.0, 1e-9)
          << "n=" << n << " t=" << t;
    }
  }
}

TEST(RealFFT, FourPointsNeedOnlyTheFixUps) {
  std::vector<float> re = {1, 2, 3, 4};
  std::vector<float> im(4);
  RealFFT(4, re.data(), im.data());
  EXPECT_EQ(re, (std::vector<float>{10, -2, -2, -2}));
  EXPECT_EQ(im, (std::vector<float>{0, 2, 0, -2}));
}

TEST(RealFFT, UnitImpulseHasAFlatUnitSpectrumAndAConstantOnlyADcBin) {
  for (const int n : PowersOfTwo(4, 4096)) {
    std::vector<float> re(static_cast<size_t>(n), 0.0f);
    std::vector<float> im(static_cast<size_t>(n));
    re[0] = 1.0f;
    RealFFT(n, re.data(), im.data());
    for (int k = 0; k < n; ++k) {
      ASSERT_EQ(re[k], 1.0f) << "n=" << n << " k=" << k;
      ASSERT_EQ(im[k], 0.0f) << "n=" << n << " k=" << k;
    }

    const float c = -123.25f;
    std::fill(re.begin(), re.end(), c);
    RealFFT(n, re.data(), im.data());
    EXPECT_NEAR(re[0], n * c, 1e-6 * n * std::abs(c)) << "n=" << n;
    for (int k = 1; k < n; ++k) {
      ASSERT_NEAR(re[k], 0.0, 1e-5 * n * std::abs(c)) << "n=" << n << " k=" << k;
      ASSERT_NEAR(im[k], 0.0, 1e-5 * n * std::abs(c)) << "n=" << n << " k=" << k;
    }
  }
}

TEST(InverseRealFFT, ReturnsTheSignalAndReadsOnlyBinsUpToHalf) {
  for (const int n : PowersOfTwo(4, 4096)) {
    const auto signal = RandomSignal(static_cast<size_t>(n), 20000.0, 3u * static_cast<unsigned>(n));
    auto re = signal;
    std::vector<float> im(static_cast<size_t>(n));
    RealFFT(n, re.data(), im.data());
    // Bins above n/2 are rebuilt by symmetry: garbage there must not matter.
    for (int k = n / 2 + 1; k < n; ++k) {
      re[k] = 1e9f;
      im[k] = -1e9f;
    }
    InverseRealFFT(n, re.data(), im.data());
    for (int k = 0; k < n; ++k) {
      ASSERT_NEAR(re[k], signal[k], (2e-7 * std::log2(n) + 3e-8 * n) * 20000.0) << "n=" << n << " k=" << k;
    }
  }
}

TEST(Transforms, AgreeBitForBitWithALiteralTranscriptionOfTheArithmetic) {
  for (const int n : PowersOfTwo(4, 8192)) {
    const auto signal = RandomSignal(static_cast<size_t>(n), 32768.0, 77u + static_cast<unsigned>(n));
    const auto other = RandomSignal(static_cast<size_t>(n), 32768.0, 78u + static_cast<unsigned>(n));

    auto re1 = signal, im1 = other, re2 = signal, im2 = other;
    ComplexFFT(n, re1.data(), im1.data());
    literal::Fft(n, re2.data(), im2.data());
    ASSERT_EQ(re1, re2) << "ComplexFFT n=" << n;
    ASSERT_EQ(im1, im2) << "ComplexFFT n=" << n;

    re1 = signal, re2 = signal;
    RealFFT(n, re1.data(), im1.data());
    literal::Real(n, re2.data(), im2.data());
    ASSERT_EQ(re1, re2) << "RealFFT n=" << n;
    ASSERT_EQ(im1, im2) << "RealFFT n=" << n;

    InverseRealFFT(n, re1.data(), im1.data());
    literal::Inverse(n, re2.data(), im2.data());
    ASSERT_EQ(re1, re2) << "InverseRealFFT n=" << n;
  }
}

TEST(Levels, DecibelsAndAmplitudesConvertBothWays) {
  EXPECT_EQ(AmplitudeToDb(1.0), 0.0);
  EXPECT_NEAR(AmplitudeToDb(0.1), -20.0, 1e-12);
  EXPECT_NEAR(AmplitudeToDb(2.0), 6.020599913279624, 1e-12);
  EXPECT_EQ(AmplitudeToDb(0.0), -3.4028234663852886e+38);
  EXPECT_EQ(AmplitudeToDb(0.0), MinusInfinityDb);
  EXPECT_EQ(DbToAmplitude(0.0), 1.0);
  EXPECT_NEAR(DbToAmplitude(-20.0), 0.1, 1e-15);
  EXPECT_NEAR(DbToAmplitude(30.0), 31.622776601683793, 1e-12);
  for (double db = -90.0; db <= 30.0; db += 7.5) {
    EXPECT_NEAR(AmplitudeToDb(DbToAmplitude(db)), db, 1e-9);
  }
}

TEST(Levels, RoundHalfUpRoundsHalvesTowardPlusInfinity) {
  EXPECT_EQ(RoundHalfUp(2.5), 3.0);
  EXPECT_EQ(RoundHalfUp(-2.5), -2.0);
  EXPECT_EQ(RoundHalfUp(0.5), 1.0);
  EXPECT_EQ(RoundHalfUp(-0.5), 0.0);
  EXPECT_EQ(RoundHalfUp(2.4999), 2.0);
  EXPECT_EQ(RoundHalfUp(-2.6), -3.0);
  EXPECT_EQ(RoundHalfUp(7.0), 7.0);
  EXPECT_EQ(RoundHalfUp(-7.0), -7.0);
}

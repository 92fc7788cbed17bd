// SPDX-License-Identifier: GPL-3.0-or-later
// The chorus, noise, amplitude modulation, synthesis and pitch shift: facts about the sound they make,
// measured on their output (delays, levels, spectral slopes, side bands, frequencies, aliases).

#include "support/FloatSignals.h"

#include "filters/AmplitudeModulation.h"
#include "filters/Chorus.h"
#include "filters/Noise.h"
#include "filters/PitchShift.h"
#include "filters/Synthesis.h"
#include "filters/Transforms.h"

#include <gtest/gtest.h>

#include <vector>

using namespace sonotest;

namespace {

double Db(double v) {
  return 20.0 * std::log10(v);
}

double Rms(const std::vector<float>& x, size_t from, size_t to) {
  double sum = 0.0;
  for (size_t i = from; i < to; ++i) {
    sum += static_cast<double>(x[i]) * x[i];
  }
  return std::sqrt(sum / static_cast<double>(to - from));
}

// The power spectrum of x[from, from + n) under a four-term Blackman-Harris window (side lobes below
// -92 dB), bins 0..n/2.
std::vector<double> PowerSpectrum(const std::vector<float>& x, size_t from, int n) {
  std::vector<float> re(static_cast<size_t>(n)), im(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const double t = TwoPi * i / n;
    const double w = 0.35875 - 0.48829 * std::cos(t) + 0.14128 * std::cos(2 * t) - 0.01168 * std::cos(3 * t);
    re[static_cast<size_t>(i)] = static_cast<float>(w * x[from + static_cast<size_t>(i)]);
  }
  RealFFT(n, re.data(), im.data());
  std::vector<double> power(static_cast<size_t>(n / 2 + 1));
  for (size_t k = 0; k < power.size(); ++k) {
    power[k] = static_cast<double>(re[k]) * re[k] + static_cast<double>(im[k]) * im[k];
  }
  return power;
}

// The frequency of the strongest bin, refined by a parabola through its neighbours' logarithms.
double PeakFrequency(const std::vector<double>& power, int n, int fs) {
  size_t best = 1;
  for (size_t k = 1; k + 1 < power.size(); ++k) {
    best = power[k] > power[best] ? k : best;
  }
  const double a = std::log(power[best - 1]), b = std::log(power[best]), c = std::log(power[best + 1]);
  return (static_cast<double>(best) + 0.5 * (a - c) / (a - 2 * b + c)) * fs / n;
}

std::vector<float> Output(TFilter& f, std::vector<float> x) {
  ProcessInBlocks(f, x, {4096, 1500});
  return x;
}

} // namespace

TEST(Chorus, OneVoiceWithoutDepthIsTheSignalDelayedAndNoMixIsTheSignalItself) {
  TChorus f(48000);
  SetParameters(f, {{"Voices", 1}, {"Depth", 0.0}, {"Mix", 100.0}, {"Delay", 10.0}});
  std::vector<float> x(4000, 0.0f);
  x[100] = 1000.0f;
  x = Output(f, x);
  for (size_t n = 0; n < x.size(); ++n) {
    ASSERT_NEAR(x[n], n == 580 ? 1000.0f : 0.0f, 1e-3) << n;
  }
  TChorus dry(48000);
  SetParameters(dry, {{"Mix", 0.0}, {"Voices", 6}, {"Depth", 20.0}});
  const std::vector<float> noise = RandomSignal(20000, 10000.0, 3);
  EXPECT_EQ(Output(dry, noise), noise);
}

TEST(Noise, WhiteAndPinkHaveTheirLevelAndSlopeAndTheSameSeedGivesTheSameNoise) {
  const int fs = 44100;
  for (const int kind : {0, 1}) {
    SCOPED_TRACE(kind);
    TNoise f(fs);
    SetParameters(f, {{"Kind", kind}, {"LevelDb", -20.0}});
    const std::vector<float> y = Output(f, std::vector<float>(static_cast<size_t>(20 * fs), 0.0f));
    EXPECT_NEAR(Db(Rms(y, 0, y.size()) / 32768.0), -20.0, 0.5);
    // The density of each octave band from 125 Hz to 8 kHz, averaged over segments.
    const int n = 8192;
    std::vector<double> density(static_cast<size_t>(n / 2 + 1), 0.0);
    for (size_t from = 0; from + n <= y.size(); from += n) {
      const auto p = PowerSpectrum(y, from, n);
      for (size_t k = 0; k < p.size(); ++k) {
        density[k] += p[k];
      }
    }
    std::vector<double> octaves, levels;
    for (int octave = 0; octave <= 6; ++octave) {
      const double centre = 125.0 * std::exp2(octave);
      double sum = 0.0;
      int bins = 0;
      for (auto k = static_cast<size_t>(centre / std::sqrt(2.0) * n / fs);
           k < centre * std::sqrt(2.0) * n / fs; ++k) {
        sum += density[k];
        ++bins;
      }
      octaves.push_back(octave);
      levels.push_back(10.0 * std::log10(sum / bins));
    }
    double mx = 0, my = 0, sxy = 0, sxx = 0;
    for (size_t i = 0; i < octaves.size(); ++i) {
      mx += octaves[i] / octaves.size();
      my += levels[i] / levels.size();
    }
    for (size_t i = 0; i < octaves.size(); ++i) {
      sxy += (octaves[i] - mx) * (levels[i] - my);
      sxx += (octaves[i] - mx) * (octaves[i] - mx);
    }
    EXPECT_NEAR(sxy / sxx, kind == 0 ? 0.0 : -3.01, 0.3) << "dB per octave";
  }

  // Repeatable: the same seed the same noise, from a new filter or after clearing; the channels and
  // another seed differ.
  TNoise a(fs), b(fs);
  const std::vector<float> silence(10000, 0.0f);
  const auto first = Output(a, silence);
  EXPECT_EQ(Output(b, silence), first);
  a.ClearState();
  EXPECT_EQ(Output(a, silence), first);
  std::vector<float> right = silence;
  ProcessInBlocks(b, right, {4096}, 1);
  EXPECT_NE(right, first);
  SetParameters(b, {{"Seed", 2}});
  EXPECT_NE(Output(b, silence), first);
}

TEST(AmplitudeModulation, ATonesSideBandsLieAtTheModulatingFrequencyWithAQuarterOfTheDepth) {
  const int fs = 44100;
  for (const double depth : {20.0, 60.0, 100.0}) {
    SCOPED_TRACE(depth);
    TAmplitudeModulation f(fs);
    SetParameters(f, {{"Freq", 50.0}, {"Depth", depth}});
    const auto y = Output(f, Sine(static_cast<size_t>(fs), 1000.0, fs, 10000.0));
    const double d = depth / 100.0;
    EXPECT_NEAR(AmplitudeAt(y, 0, y.size(), 1000.0, fs), 10000.0 * (1.0 - d / 2), 5.0);
    EXPECT_NEAR(AmplitudeAt(y, 0, y.size(), 950.0, fs), 10000.0 * d / 4, 5.0);
    EXPECT_NEAR(AmplitudeAt(y, 0, y.size(), 1050.0, fs), 10000.0 * d / 4, 5.0);
    EXPECT_LT(AmplitudeAt(y, 0, y.size(), 1100.0, fs), 1.0);
  }
}

TEST(Synthesis, TheOscillatorIsOnFrequencyAtItsLevelAndItsAliasesStayBelowSixtyDecibels) {
  const int fs = 44100;
  const int n = 65536;
  for (const int waveform : {0, 1, 2, 3}) {
    for (const double freq : {97.3, 1234.5, 3000.7, 9876.5}) {
      SCOPED_TRACE(std::to_string(waveform) + " at " + std::to_string(freq));
      TSynthesis f(fs);
      SetParameters(f, {{"Waveform", waveform}, {"Freq", freq}, {"LevelDb", -6.0}, {"Mix", 100.0}});
      const auto y = Output(f, std::vector<float>(static_cast<size_t>(n + 4096), 0.0f));
      const auto power = PowerSpectrum(y, 4096, n);
      EXPECT_NEAR(PeakFrequency(power, n, fs) / freq, 1.0, 0.001);
      if (waveform == 0) {
        EXPECT_NEAR(Db(AmplitudeAt(y, 0, y.size(), freq, fs) / 32768.0), -6.0, 0.1);
      }
      // Every bin away from the harmonics below half the rate (and their window's main lobe).
      const double fundamental = *std::max_element(power.begin(), power.end());
      double worst = 0.0;
      for (size_t k = 0; k < power.size(); ++k) {
        const double hz = static_cast<double>(k) * fs / n;
        const double nearest = std::max(1.0, std::round(hz / freq)) * freq;
        if (std::abs(hz - nearest) > 6.0 * fs / n || nearest >= fs / 2.0) {
          worst = std::max(worst, power[k]);
        }
      }
      EXPECT_LT(10.0 * std::log10(worst / fundamental), -60.0);
    }
  }
}

TEST(PitchShift, AShiftedSinePeaksAtItsFrequencyTimesTwoToTheSemitonesOverTwelve) {
  const int fs = 44100;
  const int n = 32768;
  for (const double semitones : {-12.0, -7.0, -0.5, 3.5, 12.0}) {
    for (const int window : {50, 100, 200}) {
      SCOPED_TRACE(std::to_string(semitones) + " window " + std::to_string(window));
      TPitchShift f(fs);
      SetParameters(f, {{"Semitones", semitones}, {"Window", window}});
      const auto y = Output(f, Sine(static_cast<size_t>(n + fs), 440.0, fs, 10000.0));
      const double expected = 440.0 * std::exp2(semitones / 12.0);
      EXPECT_NEAR(PeakFrequency(PowerSpectrum(y, static_cast<size_t>(fs), n), n, fs) / expected, 1.0, 0.01);
    }
  }
  // Without a shift an impulse comes out whole, centred on the stated latency.
  TPitchShift f(fs);
  SetParameters(f, {{"Semitones", 0.0}});
  std::vector<float> x(8192, 0.0f);
  x[0] = 1.0f;
  x = Output(f, x);
  double sum = 0.0, moment = 0.0;
  for (size_t i = 0; i < x.size(); ++i) {
    sum += x[i];
    moment += x[i] * static_cast<double>(i);
  }
  EXPECT_NEAR(sum, 1.0, 1e-6);
  EXPECT_NEAR(moment / sum, f.LatencyFrames(), 1e-3);
  EXPECT_NEAR(f.LatencyFrames(), 2.0 + 0.025 * fs, 1e-9);
}

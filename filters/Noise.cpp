// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/Noise.h"

#include "filters/Transforms.h"

#include <array>
#include <cmath>
#include <mutex>

namespace {

constexpr const char* KindChoices[] = {"белый", "розовый"};
constexpr TParameterDescription KindDescription{.Name = "Kind",
                                                .Set = TValueSet::Choice,
                                                .Choices = KindChoices,
                                                .Caption = "Вид шума:",
                                                .Summary = "0 white, 1 pink (-3 dB per octave)"};

constexpr TParameterDescription LevelDescription{.Name = "LevelDb",
                                                 .Storage = TStorage::Double,
                                                 .Unit = TUnit::Decibels,
                                                 .Minimum = -120,
                                                 .Maximum = 0,
                                                 .Default = -40,
                                                 .Decimals = 1,
                                                 .Caption = "Уровень относительно полной шкалы (дБ):",
                                                 .RangeMessage =
                                                     "Уровень должен быть в пределах от %1 до %2 дБ",
                                                 .Summary = "root-mean-square level relative to full scale"};

constexpr TParameterDescription SeedDescription{
    .Name = "Seed",
    .Maximum = 2147483647,
    .Default = 1,
    .Bar = TTrackScale::None,
    .Caption = "Начальное число генератора:",
    .RangeMessage = "Начальное число генератора должно быть в пределах от %1 до %2",
    .Summary = "start of the random sequence: the same seed gives the same noise"};

// The parameters in registration order, the order of their bytes in a settings record.
constexpr std::array<const TParameterDescription*, 3> ParameterTable{&KindDescription, &LevelDescription,
                                                                     &SeedDescription};

constexpr double LowestPoleHz = 10.0;
constexpr double PoleSpacing = 4.0; // two octaves

uint64_t SplitMix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// xorshift64*: one 64-bit draw, of which four 16-bit parts make one sample.
inline uint64_t NextRandom(uint64_t& s) {
  s ^= s >> 12;
  s ^= s << 25;
  s ^= s >> 27;
  return s * 0x2545F4914F6CDD1Dull;
}

// The sum of four uniform values, of unit power: (sum of four 16-bit parts - 2 * 65535) * sqrt(3) /
// (65536 / 2) / 2, folded into one factor.
inline double NearGaussian(uint64_t r) {
  constexpr double Scale = 1.7320508075688772 / 65536.0;
  const int64_t sum = static_cast<int64_t>(r & 0xFFFF) + static_cast<int64_t>((r >> 16) & 0xFFFF) +
                      static_cast<int64_t>((r >> 32) & 0xFFFF) + static_cast<int64_t>(r >> 48) - 2 * 65535;
  return static_cast<double>(sum) * Scale;
}

} // namespace

constinit const TFilterDescriptor NoiseDescriptor{.Type = 12,
                                                  .Name = "Эффект \"Шум\"",
                                                  .ShortName = "шум",
                                                  .EnglishName = "noise",
                                                  .Caption = "Параметры эффекта \"Шум\"",
                                                  .Dialog = TDialogKind::Described,
                                                  .Parameters = ParameterTable,
                                                  .Create = MakeFilter<TNoise>};

TNoise::TNoise(int32_t sampleRate) : TFilter(sampleRate) {
  Kind = static_cast<int32_t>(KindDescription.Default);
  LevelDb = LevelDescription.Default;
  Seed = static_cast<int32_t>(SeedDescription.Default);
  // The pink sections for this rate; the last pole stays below half the rate.
  const double fs = sampleRate;
  double f = LowestPoleHz;
  for (int k = 0; k < PinkSections; ++k, f *= PoleSpacing) {
    pole[static_cast<size_t>(k)] = f < fs / 2 ? std::exp(-2.0 * Pi * f / fs) : 0.0;
    zero[static_cast<size_t>(k)] = f < fs / 2 ? std::exp(-2.0 * Pi * f * std::sqrt(PoleSpacing) / fs) : 0.0;
  }
  // Power of the sections' impulse response, summed until the slowest pole has died away.
  std::array<double, PinkSections> x1{}, y1{};
  double power = 0.0;
  const auto length = static_cast<int64_t>(40.0 * fs / (2.0 * Pi * LowestPoleHz)) + 64;
  for (int64_t n = 0; n < length; ++n) {
    double v = n == 0 ? 1.0 : 0.0;
    for (int k = 0; k < PinkSections; ++k) {
      const auto i = static_cast<size_t>(k);
      const double y = v - zero[i] * x1[i] + pole[i] * y1[i];
      x1[i] = v;
      y1[i] = y;
      v = y;
    }
    power += v * v;
  }
  pinkScale = 1.0 / std::sqrt(power);
  Update();
  Describe(NoiseDescriptor, {&Kind, &LevelDb, &Seed});
}

void TNoise::Reseed(int channel) {
  TChannel& c = channels[static_cast<size_t>(channel)];
  c.Random =
      SplitMix(static_cast<uint64_t>(static_cast<uint32_t>(Seed)) * 2 + static_cast<uint64_t>(channel));
  if (c.Random == 0) {
    c.Random = 1; // xorshift never leaves 0
  }
}

void TNoise::ClearState() {
  TFilter::ClearState();
  const std::lock_guard guard(Lock());
  for (int ch = 0; ch < 2; ++ch) {
    TChannel& c = channels[static_cast<size_t>(ch)];
    c.x1 = {};
    c.y1 = {};
    c.Playing = false;
    Reseed(ch);
  }
  Update();
}

void TNoise::Update() {
  const std::lock_guard guard(Lock());
  const double level = DbToAmplitude(LevelDb);
  for (int ch = 0; ch < 2; ++ch) {
    TChannel& c = channels[static_cast<size_t>(ch)];
    if (Seed != seeded) {
      Reseed(ch);
    }
    const int32_t ramp = RampFrames(SampleRate());
    c.White.Follow(Kind == 0 ? level : 0.0, c.Playing, ramp);
    c.Pink.Follow(Kind == 0 ? 0.0 : level, c.Playing, ramp);
  }
  seeded = Seed;
}

void TNoise::Process(ChannelBlock& block, int channel) {
  TChannel& c = channels[static_cast<size_t>(channel)];
  c.Playing = true;
  const double fullScale = block.Format.wBitsPerSample == 8 ? 128.0 : 32768.0;
  float* const x = block.Samples;
  for (int32_t n = 0; n < block.Frames; ++n) {
    const double w = NearGaussian(NextRandom(c.Random));
    double p = w;
    for (int k = 0; k < PinkSections; ++k) {
      const auto i = static_cast<size_t>(k);
      const double y = p - zero[i] * c.x1[i] + pole[i] * c.y1[i];
      c.x1[i] = p;
      c.y1[i] = y;
      p = y;
    }
    const double white = c.White.Next();
    const double pink = c.Pink.Next();
    x[n] = static_cast<float>(x[n] + fullScale * (white * w + pink * pinkScale * p));
  }
}

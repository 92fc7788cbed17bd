// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/AudioFormats.h"
#include "devices/VirtDevs.h"

#include "support/PcmSignals.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

using namespace sonotest;

namespace {

// The list texts, written out by hand.
const char* const ListTexts[FormatCount] = {
    "8,000 КГц, 8 бит, моно (7 Кб/с)",    "8,000 КГц, 8 бит, стерео (15 Кб/с)",
    "8,000 КГц, 16 бит, моно (15 Кб/с)",  "8,000 КГц, 16 бит, стерео (31 Кб/с)",
    "11,025 КГц, 8 бит, моно (10 Кб/с)",  "11,025 КГц, 8 бит, стерео (21 Кб/с)",
    "11,025 КГц, 16 бит, моно (21 Кб/с)", "11,025 КГц, 16 бит, стерео (43 Кб/с)",
    "12,000 КГц, 8 бит, моно (11 Кб/с)",  "12,000 КГц, 8 бит, стерео (23 Кб/с)",
    "12,000 КГц, 16 бит, моно (23 Кб/с)", "12,000 КГц, 16 бит, стерео (46 Кб/с)",
    "16,000 КГц, 8 бит, моно (15 Кб/с)",  "16,000 КГц, 8 бит, стерео (31 Кб/с)",
    "16,000 КГц, 16 бит, моно (31 Кб/с)", "16,000 КГц, 16 бит, стерео (62 Кб/с)",
    "22,050 КГц, 8 бит, моно (21 Кб/с)",  "22,050 КГц, 8 бит, стерео (43 Кб/с)",
    "22,050 КГц, 16 бит, моно (43 Кб/с)", "22,050 КГц, 16 бит, стерео (86 Кб/с)",
    "24,000 КГц, 8 бит, моно (23 Кб/с)",  "24,000 КГц, 8 бит, стерео (46 Кб/с)",
    "24,000 КГц, 16 бит, моно (46 Кб/с)", "24,000 КГц, 16 бит, стерео (93 Кб/с)",
    "32,000 КГц, 8 бит, моно (31 Кб/с)",  "32,000 КГц, 8 бит, стерео (62 Кб/с)",
    "32,000 КГц, 16 бит, моно (62 Кб/с)", "32,000 КГц, 16 бит, стерео (125 Кб/с)",
    "44,100 КГц, 8 бит, моно (43 Кб/с)",  "44,100 КГц, 8 бит, стерео (86 Кб/с)",
    "44,100 КГц, 16 бит, моно (86 Кб/с)", "44,100 КГц, 16 бит, стерео (172 Кб/с)",
    "48,000 КГц, 8 бит, моно (46 Кб/с)",  "48,000 КГц, 8 бит, стерео (93 Кб/с)",
    "48,000 КГц, 16 бит, моно (93 Кб/с)", "48,000 КГц, 16 бит, стерео (187 Кб/с)",
};

TDSPException CaughtConversion(const TWaveFormat& from, const TWaveFormat& to) {
  uint8_t src[64] = {};
  uint8_t dst[64] = {};
  try {
    ConvertAudio(from, src, sizeof src, to, dst, sizeof dst);
  } catch (const TDSPException& e) {
    return e;
  }
  ADD_FAILURE() << "nothing was thrown";
  return {};
}

} // namespace

TEST(FormatTable, HoldsNineRatesInFourLayoutsWithDerivedFields) {
  const uint32_t rates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
  for (int i = 0; i < FormatCount; ++i) {
    const TWaveFormat& f = FormatTable[i];
    EXPECT_EQ(f.wFormatTag, 1);
    EXPECT_EQ(f.nSamplesPerSec, rates[i / 4]);
    EXPECT_EQ(f.nChannels, i % 2 == 0 ? 1 : 2);
    EXPECT_EQ(f.wBitsPerSample, (i % 4) < 2 ? 8 : 16);
    EXPECT_EQ(f.nBlockAlign, f.nChannels * f.wBitsPerSample / 8);
    EXPECT_EQ(f.nAvgBytesPerSec, f.nSamplesPerSec * f.nBlockAlign);
    EXPECT_EQ(f.cbSize, 20);
  }
}

TEST(FormatTable, EachOfThe36EntriesIsNamedByItsListText) {
  for (int i = 0; i < FormatCount; ++i) {
    EXPECT_EQ(FormatName(i), ListTexts[i]) << i;
  }
  EXPECT_EQ(FormatName(0), "8,000 КГц, 8 бит, моно (7 Кб/с)");
  EXPECT_EQ(FormatName(31), "44,100 КГц, 16 бит, стерео (172 Кб/с)");
}

TEST(FormatTable, AFormatOutsideTheTableIsNamedFromItsRateBitsAndChannels) {
  EXPECT_EQ(FormatText(MakePCMFormat(96000, 2, 16)), "96,000 КГц, 16 бит, стерео (375 Кб/с)");
  EXPECT_EQ(FormatText(MakePCMFormat(7, 1, 8)), "0,007 КГц, 8 бит, моно (0 Кб/с)");
}

TEST(FormatTable, FindFormatComparesAllSevenFields) {
  for (int i = 0; i < FormatCount; ++i) {
    EXPECT_EQ(FindFormat(FormatTable[i]), i);
  }
  EXPECT_EQ(FindFormat(MakePCMFormat(44100, 1, 16)), 30);
  EXPECT_EQ(FindFormat(MakePCMFormat(96000, 1, 16)), 0);
  TWaveFormat noExtra = FormatTable[30];
  noExtra.cbSize = 0;
  EXPECT_EQ(FindFormat(noExtra), 0);
  TWaveFormat oddAverage = FormatTable[30];
  oddAverage.nAvgBytesPerSec += 1;
  EXPECT_EQ(FindFormat(oddAverage), 0);
}

// ---- Conversion of exact samples ------------------------------------------------------------

TEST(ConvertAudio, EightToSixteenBitsShiftsByEightAndBackKeepsTheHighByte) {
  const uint8_t eight[4] = {0, 128, 129, 255};
  uint8_t sixteen[8] = {};
  ConvertAudio(FormatTable[0], eight, 4, FormatTable[2], sixteen, 8);
  const uint8_t expected[8] = {0x00, 0x80, 0x00, 0x00, 0x00, 0x01, 0x00, 0x7F};
  EXPECT_TRUE(std::equal(sixteen, sixteen + 8, expected));
  uint8_t back[4] = {};
  ConvertAudio(FormatTable[2], sixteen, 8, FormatTable[0], back, 4);
  EXPECT_TRUE(std::equal(back, back + 4, eight));
  const uint8_t lowBits[4] = {0xFF, 0x00, 0xFF, 0xFF}; // 255 and -1
  ConvertAudio(FormatTable[2], lowBits, 4, FormatTable[0], back, 2);
  EXPECT_EQ(back[0], 128);
  EXPECT_EQ(back[1], 127);
}

TEST(ConvertAudio, StereoToMonoAveragesAndMonoToStereoDuplicates) {
  // (1000, 3000) and (-4000, 2000) on 16 bits.
  const int16_t stereo[4] = {1000, 3000, -4000, 2000};
  int16_t mono[2] = {};
  ConvertAudio(FormatTable[3], reinterpret_cast<const uint8_t*>(stereo), 8, FormatTable[2],
               reinterpret_cast<uint8_t*>(mono), 4);
  EXPECT_EQ(mono[0], 2000);
  EXPECT_EQ(mono[1], -1000);
  int16_t twice[4] = {};
  ConvertAudio(FormatTable[2], reinterpret_cast<const uint8_t*>(mono), 4, FormatTable[3],
               reinterpret_cast<uint8_t*>(twice), 8);
  EXPECT_EQ(twice[0], 2000);
  EXPECT_EQ(twice[1], 2000);
  EXPECT_EQ(twice[2], -1000);
  EXPECT_EQ(twice[3], -1000);
  const uint8_t stereo8[2] = {128 + 100, 128 - 20};
  uint8_t mono8 = 0;
  ConvertAudio(FormatTable[1], stereo8, 2, FormatTable[0], &mono8, 1);
  EXPECT_EQ(mono8, 128 + 40);
}

TEST(ConvertAudio, AFormatThatCannotBeConvertedRaisesNotPossibleOnStreamOpen) {
  TWaveFormat twentyFour = MakePCMFormat(44100, 2, 24);
  const TDSPException e = CaughtConversion(FormatTable[31], twentyFour);
  EXPECT_EQ(e.ResultCode, 512u);
  EXPECT_EQ(e.SourceFile, "AudioFormats.cpp");
  EXPECT_EQ(e.Operation, "acmStreamOpen");
  EXPECT_EQ(e.Description, "The requested operation cannot be performed");
  const std::string text = ComposeDSPMessage(e).Text;
  EXPECT_EQ(text.substr(0, text.find('\n')), "Описание ошибки: The requested operation cannot be performed");
  EXPECT_EQ(text.substr(text.rfind('\n') + 1), "Функция: acmStreamOpen");
  TWaveFormat floatTag = FormatTable[31];
  floatTag.wFormatTag = 3;
  EXPECT_EQ(CaughtConversion(floatTag, FormatTable[30]).ResultCode, 512u);
}

TEST(ConvertAudio, EachTableResultCodeHasItsDescriptionAndOtherCodesNone) {
  EXPECT_EQ(ACMResultDescription(5), "The specified handle is invalid");
  EXPECT_EQ(ACMResultDescription(7), "The system is unable to allocate resources");
  EXPECT_EQ(ACMResultDescription(10), "At least one flag is invalid");
  EXPECT_EQ(ACMResultDescription(11), "At least one parameter is invalid");
  EXPECT_EQ(ACMResultDescription(513),
            "The stream header specified is currently in use and cannot be reused");
  EXPECT_EQ(ACMResultDescription(514), "The stream header specified is currently not prepared");
  EXPECT_EQ(ACMResultDescription(6), "");
}

TEST(ConvertAudio, AConversionErrorShowsItsDescriptionCodeFileLineAndFunction) {
  try {
    RaiseACMError(514, 77, "acmStreamConvert");
    FAIL();
  } catch (const TDSPException& e) {
    EXPECT_EQ(ComposeDSPMessage(e).Text,
              "Описание ошибки: The stream header specified is currently not prepared\n"
              "Код ошибки: 0x00000202\n"
              "Файл \"AudioFormats.cpp\", строка 77\n"
              "Функция: acmStreamConvert");
  }
}

// ---- A sine through every pair of formats ------------------------------------------------------

class ConvertBetweenFormats : public testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(ConvertBetweenFormats, OneKilohertzSineKeepsItsFrequencyAndLevel) {
  const auto [from, to] = GetParam();
  const TWaveFormat& sf = FormatTable[from];
  const TWaveFormat& df = FormatTable[to];
  TAudioBuffer source;
  source.Format() = sf;
  source.SetFrames(BlockFrames(sf.nSamplesPerSec));
  constexpr double Amplitude = 12000; // on the 16-bit scale
  FillSine(sf, source.Data(), source.Frames(), 1000, Amplitude);
  TAudioBuffer target;
  target.Format() = df;
  target.SetFrames(BlockFrames(df.nSamplesPerSec));
  target.ConvertFrom(source);

  // The block as a whole signal: as much of it as fits the destination block.
  const double ratio = static_cast<double>(df.nSamplesPerSec) / sf.nSamplesPerSec;
  const auto converted = std::min<int64_t>(target.Frames(), static_cast<int64_t>(source.Frames() * ratio));
  const int64_t edge = converted / 20;
  const double quantum = (sf.wBitsPerSample == 8 || df.wBitsPerSample == 8) ? 256 : 1;
  for (int c = 0; c < df.nChannels; ++c) {
    const std::vector<double> x = Channel(df, target.Data(), target.Frames(), c);
    const SineFit fit = FitSine(x, edge, converted - edge, 1000, df.nSamplesPerSec);
    EXPECT_NEAR(fit.Amplitude, Amplitude, 0.01 * Amplitude + quantum) << "channel " << c;
    EXPECT_LT(fit.ResidualRms, 0.005 * Amplitude + quantum) << "channel " << c;
    EXPECT_NEAR(GoertzelAmplitude(x, edge, converted - edge, 1000, df.nSamplesPerSec), Amplitude,
                0.05 * Amplitude);
    // What the conversion did not fill is silence.
    for (int64_t n = converted + 1; n < target.Frames(); ++n) {
      ASSERT_EQ(SampleAt(df, target.Data(), n, c), 0) << n;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllTableFormats, ConvertBetweenFormats,
                         testing::Combine(testing::Range(0, FormatCount),
                                          testing::Values(0, 3, 5, 14, 18, 23, 30, 31, 33, 34)),
                         [](const testing::TestParamInfo<std::tuple<int, int>>& info) {
                           return "From" + std::to_string(std::get<0>(info.param)) + "To" +
                                  std::to_string(std::get<1>(info.param));
                         });

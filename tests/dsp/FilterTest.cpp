// SPDX-License-Identifier: GPL-3.0-or-later
#include "ProbeFilter.h"
#include "support/RefusedLoad.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using sonotest::TProbeFilter;

using sonotest::LoadIsRefused;

namespace {

std::vector<uint8_t> Record(TFilter& f) {
  TMemoryWriter out;
  f.Save(out);
  return out.Bytes();
}

} // namespace

TEST(Filter, SetStateLengthWithTheSameLengthKeepsContents) {
  TProbeFilter f(44100);
  f.ChannelState(0)[2] = 5.0f;
  f.ChannelState(1)[3] = 7.0f;
  f.SetStateLength(4);
  EXPECT_EQ(f.ChannelState(0)[2], 5.0f);
  EXPECT_EQ(f.ChannelState(1)[3], 7.0f);
  f.SetStateLength(6);
  ASSERT_EQ(f.StateLength(), 6);
  for (int c = 0; c < 2; ++c) {
    for (int i = 0; i < 6; ++i) {
      EXPECT_EQ(f.ChannelState(c)[i], 0.0f);
    }
  }
}

TEST(Filter, ClearStateZeroesBothChannelsAndIgnoresAnEmptyState) {
  TProbeFilter f(8000);
  f.ChannelState(0)[0] = 1.0f;
  f.ChannelState(1)[1] = 2.0f;
  f.ClearState();
  EXPECT_EQ(f.ChannelState(0)[0], 0.0f);
  EXPECT_EQ(f.ChannelState(1)[1], 0.0f);
  f.SetStateLength(0);
  f.ClearState(); // nothing to clear, nothing to crash
  EXPECT_EQ(f.StateLength(), 0);
}

TEST(Filter, FindParameterIgnoresLetterCase) {
  TProbeFilter f(44100);
  EXPECT_EQ(f.FindParameter("LENGTH"), &f.Length);
  EXPECT_EQ(f.FindParameter("gain"), &f.Gain);
  EXPECT_EQ(f.FindParameter("Gai"), nullptr);
  EXPECT_EQ(f.FindParameter("KernelSize"), nullptr);
}

TEST(Filter, SaveWritesTypeThenParametersInTableOrder) {
  TProbeFilter f(44100);
  f.Gain = 0.5;
  f.Length = 9;
  const auto bytes = Record(f);
  ASSERT_EQ(bytes.size(), 4u + 8u + 4u);
  EXPECT_EQ(bytes[0], 3);
  EXPECT_EQ(bytes[1] | bytes[2] | bytes[3], 0);
  double gain;
  std::memcpy(&gain, bytes.data() + 4, 8);
  EXPECT_EQ(gain, 0.5);
  EXPECT_EQ(bytes[12], 9);
}

TEST(Filter, LoadReplacesParametersAndUpdates) {
  TProbeFilter source(44100), target(44100);
  source.Gain = 2.0;
  source.Length = 12;
  const auto bytes = Record(source);
  const int updatesBefore = target.updates;
  TMemoryReader in(bytes.data(), bytes.size());
  target.Load(in);
  EXPECT_EQ(target.Gain, 2.0);
  EXPECT_EQ(target.Length, 12);
  EXPECT_EQ(target.StateLength(), 12);
  EXPECT_EQ(target.updates, updatesBefore + 1);
}

TEST(Filter, LoadRefusesAnotherTypeAShortRecordOrInvalidValuesAndKeepsParameters) {
  TProbeFilter source(44100);
  source.Gain = 3.0;
  source.Length = 8;
  auto bytes = Record(source);

  auto expectRefused = [](const std::vector<uint8_t>& record) {
    TProbeFilter target(44100);
    target.Gain = 0.25;
    target.Length = 5;
    target.Apply();
    target.ChannelState(0)[1] = 4.0f;
    EXPECT_TRUE(LoadIsRefused(target, record.data(), record.size())) << "load accepted";
    EXPECT_EQ(target.Gain, 0.25);
    EXPECT_EQ(target.Length, 5);
    EXPECT_EQ(target.StateLength(), 5);
    EXPECT_EQ(target.ChannelState(0)[1], 4.0f);
  };

  auto otherType = bytes;
  otherType[0] = 9;
  expectRefused(otherType);

  auto shortRecord = bytes;
  shortRecord.resize(bytes.size() - 1);
  expectRefused(shortRecord);

  auto badLength = bytes;
  const int32_t huge = 1 << 30;
  std::memcpy(badLength.data() + 12, &huge, 4);
  expectRefused(badLength);

  auto nanGain = bytes;
  const double nan = std::nan("");
  std::memcpy(nanGain.data() + 4, &nan, 8);
  expectRefused(nanGain);
}

TEST(Filter, CopyParametersTakesValuesAndApplies) {
  TProbeFilter source(44100), target(44100);
  source.Gain = 0.75;
  source.Length = 20;
  target.CopyParameters(source);
  EXPECT_EQ(target.Gain, 0.75);
  EXPECT_EQ(target.Length, 20);
  EXPECT_EQ(target.StateLength(), 20);
}

// What a dialog takes from a field: a number with a decimal comma or point and an exponent, whole where
// the parameter is; anything else is named as not a number.
TEST(TypedNumber, ReadsNumbersAsTypedAndSaysWhatIsWrongOtherwise) {
  const TParameterDescription whole{.Storage = TStorage::Int32};
  const TParameterDescription decimal{.Storage = TStorage::Double};
  using P = TTypedProblem;
  const struct {
    const TParameterDescription& d;
    const char* text;
    double value;
    P problem;
  } cases[] = {{whole, " +1000 ", 1000, P::None},
               {whole, "1e3", 1000, P::None},
               {whole, "-2", -2, P::None},
               {whole, "1000.5", 1000.5, P::NotWhole},
               {whole, "1000,5", 1000.5, P::NotWhole},
               {decimal, "1e1", 10, P::None},
               {decimal, "0,5", 0.5, P::None},
               {decimal, ",5", 0.5, P::None},
               {decimal, "1e999", Unbounded, P::None},
               {decimal, "-1e999", -Unbounded, P::None},
               {decimal, "1e-999", 0, P::None},
               {whole, "99999999999", 99999999999.0, P::None}};
  for (const auto& c : cases) {
    const TTypedNumber typed = ReadTypedNumber(c.d, c.text);
    EXPECT_EQ(typed.Problem, c.problem) << c.text;
    EXPECT_EQ(typed.Value, c.value) << c.text;
  }
  for (const char* text : {"", " ", "abc", "12x", "-", "1e", "inf", "nan", "0x10", "1.2.3", "1 000"}) {
    EXPECT_EQ(ReadTypedNumber(decimal, text).Problem, P::NotANumber) << text;
  }
  EXPECT_EQ(TypedProblemText(P::NotANumber, "abc"), "«abc» - не число.");
  EXPECT_EQ(TypedProblemText(P::NotWhole, "1,5"), "«1,5» - не целое число, а нужно целое.");
  EXPECT_EQ(TypedProblemText(P::None, "1"), "");
}

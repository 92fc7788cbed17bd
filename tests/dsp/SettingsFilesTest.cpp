// SPDX-License-Identifier: GPL-3.0-or-later
// GCC 12 warns falsely on vector growth in these helpers (a known false positive).
#pragma GCC diagnostic ignored "-Wstringop-overflow"

#include "dsp/CRCStreams.h"
#include "dsp/FilterError.h"
#include "dsp/FilterList.h"
#include "filters/Echo.h"
#include "filters/FilterCatalogue.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace sonotest;

namespace {

class SettingsFiles : public ::testing::Test {
protected:
  std::string Path(const std::string& name) const { return dir.File(name); }

  // Payload plus its 16-bit byte sum, little-endian.
  static std::vector<uint8_t> WithChecksum(std::vector<uint8_t> payload) {
    uint32_t sum = 0;
    for (uint8_t b : payload) {
      sum += b;
    }
    payload.push_back(static_cast<uint8_t>(sum & 0xFF));
    payload.push_back(static_cast<uint8_t>((sum >> 8) & 0xFF));
    return payload;
  }
  static std::string MessageOf(const std::function<void()>& action) {
    try {
      action();
    } catch (const TFilterError& e) {
      return e.what();
    }
    return "";
  }

  // The settings record of a default echo.
  static std::vector<uint8_t> EchoRecord() {
    TMemoryWriter record;
    CreateFilter(9, 44100)->Save(record);
    return record.Bytes();
  }
  // A chain file's payload: the count, then each type with its record, then the 16 switch bytes.
  static void AddFilter(std::vector<uint8_t>& payload, int32_t type, const std::vector<uint8_t>& record) {
    AppendU32(payload, static_cast<uint32_t>(type));
    payload.insert(payload.end(), record.begin(), record.end());
  }

  TTempDir dir{"sonolab-settings"};
};

} // namespace

TEST_F(SettingsFiles, DefaultLowPassFilterFileIsTheEighteenByteExample) {
  auto lowPass = CreateFilter(0, 44100);
  SaveFilterFile(*lowPass, Path("lp.flt"));
  EXPECT_EQ(ReadBytes(Path("lp.flt")),
            (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x00, 0xE8, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                  0x00, 0x02, 0x00, 0x00, 0xED, 0x00}));
  auto highPass = CreateFilter(1, 44100);
  EXPECT_EQ(MessageOf([&] { LoadFilterFile(*highPass, Path("lp.flt")); }), "Неверный формат файла!");
}

TEST_F(SettingsFiles, ChainWithOneEchoIsTheThirtyEightByteExample) {
  TFilterList chain(44100);
  chain.Add(CreateFilter(9, 44100));
  SaveChainFile(chain, Path("echo.lst"));
  std::vector<uint8_t> expected = {0x01, 0,    0, 0, 0x09, 0,    0,    0, 0x09, 0,   0,
                                   0,    0x64, 0, 0, 0,    0xE8, 0x03, 0, 0,    0x01};
  expected.insert(expected.end(), 15, 0);
  expected.push_back(0x63);
  expected.push_back(0x01);
  EXPECT_EQ(ReadBytes(Path("echo.lst")), expected);
}

TEST_F(SettingsFiles, FilterRoundTripRestoresParametersIntoAnotherFilter) {
  auto echo = CreateFilter(9, 44100);
  *static_cast<int32_t*>(echo->FindParameter("Delay")) = 250;
  *static_cast<int32_t*>(echo->FindParameter("DecayTime")) = 4000;
  echo->Apply();
  SaveFilterFile(*echo, Path("echo.flt"));
  auto other = CreateFilter(9, 44100);
  LoadFilterFile(*other, Path("echo.flt"));
  EXPECT_EQ(*static_cast<int32_t*>(other->FindParameter("Delay")), 250);
  EXPECT_EQ(*static_cast<int32_t*>(other->FindParameter("DecayTime")), 4000);
  EXPECT_EQ(dynamic_cast<const TEcho&>(*other).DelayLength(), 11025);
}

TEST_F(SettingsFiles, ChainAndFilterFilesOfEveryTypeRoundTripOrderParametersAndFlags) {
  TFilterList chain(48000);
  for (int type = 0; type < FilterTypeCount; ++type) {
    chain.Add(CreateFilter(type, 48000));
  }
  *static_cast<int32_t*>(chain.Item(0)->FindParameter("fc")) = 3000;
  static_cast<double*>(chain.Item(4)->FindParameter("Gain"))[7] = 0.25;
  *static_cast<double*>(chain.Item(5)->FindParameter("Q")) = 2.5;
  *static_cast<int32_t*>(chain.Item(6)->FindParameter("Order")) = 7;
  *static_cast<double*>(chain.Item(14)->FindParameter("Freq")) = 1234.56;
  for (int i = 0; i < FilterTypeCount; ++i) {
    chain.Item(i)->Apply();
  }
  chain.SetEnabled(3, false);
  chain.SetEnabled(12, false);
  SaveChainFile(chain, Path("all.lst"));

  TFilterList loaded(48000);
  loaded.Add(CreateFilter(9, 48000));
  LoadChainFile(loaded, Path("all.lst"));
  ASSERT_EQ(loaded.Count(), FilterTypeCount);
  for (int i = 0; i < FilterTypeCount; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(loaded.Item(i)->Type(), i);
    EXPECT_EQ(loaded.IsEnabled(i), i != 3 && i != 12);
    TMemoryWriter saved, read;
    chain.Item(i)->Save(saved);
    loaded.Item(i)->Save(read);
    EXPECT_EQ(read.Bytes(), saved.Bytes());

    // One filter's file into a fresh filter of its type, and refused by the next type.
    const std::string file = Path("f" + std::to_string(i) + ".flt");
    SaveFilterFile(*chain.Item(i), file);
    auto fresh = CreateFilter(i, 48000);
    LoadFilterFile(*fresh, file);
    TMemoryWriter again;
    fresh->Save(again);
    EXPECT_EQ(again.Bytes(), saved.Bytes());
    auto other = CreateFilter((i + 1) % FilterTypeCount, 48000);
    EXPECT_EQ(MessageOf([&] { LoadFilterFile(*other, file); }), "Неверный формат файла!");
  }
  EXPECT_EQ(*static_cast<int32_t*>(loaded.Item(0)->FindParameter("fc")), 3000);
  EXPECT_EQ(static_cast<double*>(loaded.Item(4)->FindParameter("Gain"))[7], 0.25);
}

TEST_F(SettingsFiles, AnyChangedByteFailsTheChecksum) {
  auto echo = CreateFilter(9, 44100);
  SaveFilterFile(*echo, Path("e.flt"));
  const auto good = ReadBytes(Path("e.flt"));
  for (size_t i = 0; i < good.size(); ++i) {
    auto bad = good;
    bad[i] ^= 0x01;
    WriteBytes(Path("bad.flt"), bad);
    auto target = CreateFilter(9, 44100);
    EXPECT_EQ(MessageOf([&] { LoadFilterFile(*target, Path("bad.flt")); }), "Ошибка контрольной суммы!") << i;
    EXPECT_EQ(*static_cast<int32_t*>(target->FindParameter("Delay")), 100);
  }
}

TEST_F(SettingsFiles, ShortAndMissingFilesReportTheirMessages) {
  auto echo = CreateFilter(9, 44100);
  WriteBytes(Path("empty.flt"), {});
  WriteBytes(Path("one.flt"), {0x00});
  EXPECT_EQ(MessageOf([&] { LoadFilterFile(*echo, Path("empty.flt")); }), "Ошибка контрольной суммы!");
  EXPECT_EQ(MessageOf([&] { LoadFilterFile(*echo, Path("one.flt")); }), "Ошибка контрольной суммы!");
  EXPECT_EQ(MessageOf([&] { LoadFilterFile(*echo, Path("missing.flt")); }), "Невозможно открыть файл!");
  EXPECT_EQ(MessageOf([&] { SaveFilterFile(*echo, Path("no/such/folder/x.flt")); }),
            "Невозможно создать файл!");
  TFilterList chain(44100);
  EXPECT_EQ(MessageOf([&] { SaveChainFile(chain, (dir.Path() / "missing" / "x.lst").string()); }),
            "Невозможно создать файл!");
}

TEST_F(SettingsFiles, ChecksumIsVerifiedAtEveryLengthAroundThePieceSize) {
  CRCifstream missing(Path("nothing"));
  EXPECT_FALSE(missing.Good());
  for (size_t length : {2u, 3u, 1023u, 1024u, 1025u, 1026u, 2048u, 2049u, 4097u}) {
    std::vector<uint8_t> payload(length - 2);
    for (size_t i = 0; i < payload.size(); ++i) {
      payload[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    WriteBytes(Path("f"), WithChecksum(payload));
    CRCifstream ok(Path("f"));
    EXPECT_TRUE(ok.Good());
    EXPECT_TRUE(ok.ChecksumOK()) << length;
    std::vector<uint8_t> back(payload.size() + 8);
    EXPECT_EQ(ok.Read(back.data(), back.size()), payload.size());
    back.resize(payload.size());
    EXPECT_EQ(back, payload);

    auto broken = WithChecksum(payload);
    broken[broken.size() - 1] ^= 0x80;
    WriteBytes(Path("g"), broken);
    EXPECT_FALSE(CRCifstream(Path("g")).ChecksumOK()) << length;
  }
}

TEST_F(SettingsFiles, AChainFileOfNoFiltersEmptiesTheChain) {
  TFilterList chain(44100);
  std::vector<uint8_t> empty;
  AppendU32(empty, 0);
  empty.insert(empty.end(), 16, 0);
  WriteBytes(Path("empty.lst"), WithChecksum(empty));
  chain.Add(CreateFilter(9, 44100));
  LoadChainFile(chain, Path("empty.lst"));
  EXPECT_EQ(chain.Count(), 0);
}

// A refused chain file leaves the chain as it was, whatever is wrong with it.
TEST_F(SettingsFiles, AFilterTypeWithNoClassRefusesTheFileAndKeepsTheChain) {
  TFilterList chain(44100);
  chain.Add(CreateFilter(9, 44100));
  // The second filter has type 16, which is outside the catalogue.
  std::vector<uint8_t> unknown;
  AppendU32(unknown, 2);
  AddFilter(unknown, 9, EchoRecord());
  AppendU32(unknown, 16);
  AppendU32(unknown, 16);
  unknown.insert(unknown.end(), 16, 1);
  WriteBytes(Path("unknown.lst"), WithChecksum(unknown));
  EXPECT_EQ(MessageOf([&] { LoadChainFile(chain, Path("unknown.lst")); }), "Неверный формат файла!");
  EXPECT_EQ(chain.Count(), 1);
}

TEST_F(SettingsFiles, ARecordWhoseRepeatedTypeDiffersRefusesTheFileAndKeepsTheChain) {
  TFilterList chain(44100);
  chain.Add(CreateFilter(11, 44100));
  std::vector<uint8_t> mismatch;
  AppendU32(mismatch, 2);
  AddFilter(mismatch, 9, EchoRecord());
  AppendU32(mismatch, 9);
  AppendU32(mismatch, 0);
  mismatch.insert(mismatch.end(), 8 + 16, 0);
  WriteBytes(Path("mismatch.lst"), WithChecksum(mismatch));
  EXPECT_EQ(MessageOf([&] { LoadChainFile(chain, Path("mismatch.lst")); }), "Неверный формат файла!");
  ASSERT_EQ(chain.Count(), 1);
  EXPECT_EQ(chain.Item(0)->Type(), 11);
}

TEST_F(SettingsFiles, AFilterCountAboveSixteenOrNegativeRefusesTheFileAndKeepsTheChain) {
  TFilterList chain(44100);
  for (const int32_t n : {17, -1, 1000000}) {
    chain.Add(CreateFilter(9, 44100));
    std::vector<uint8_t> many;
    AppendU32(many, static_cast<uint32_t>(n));
    for (int i = 0; i < 17; ++i) {
      AddFilter(many, 9, EchoRecord());
    }
    many.insert(many.end(), 16, 1);
    WriteBytes(Path("many.lst"), WithChecksum(many));
    const int before = chain.Count();
    EXPECT_EQ(MessageOf([&] { LoadChainFile(chain, Path("many.lst")); }), "Неверный формат файла!") << n;
    EXPECT_EQ(chain.Count(), before) << n;
  }
}

TEST_F(SettingsFiles, AFileThatPassesTheChecksumButEndsInsideARecordIsRefused) {
  TFilterList chain(44100);
  chain.Add(CreateFilter(0, 44100));
  std::vector<uint8_t> truncated;
  AppendU32(truncated, 1);
  AppendU32(truncated, 9);
  AppendU32(truncated, 9);
  AppendU32(truncated, 100);
  WriteBytes(Path("short.lst"), WithChecksum(truncated));
  EXPECT_EQ(MessageOf([&] { LoadChainFile(chain, Path("short.lst")); }), "Неверный формат файла!");
  EXPECT_EQ(chain.Count(), 1);
}

namespace {

// A chain's bytes that, at every read, have another thread try the chain's lock.
class TLockProbingReader final : public TByteReader {
public:
  TLockProbingReader(const std::vector<uint8_t>& bytes, TFilterList& chain)
      : memory(bytes.data(), bytes.size()), chain(chain) {}
  size_t Read(void* data, size_t n) override {
    lockedReads += std::async(std::launch::async, [this] {
                     const bool free = chain.Lock().try_lock();
                     if (free) {
                       chain.Lock().unlock();
                     }
                     return free ? 0 : 1;
                   }).get();
    return memory.Read(data, n);
  }
  int lockedReads = 0;

private:
  TMemoryReader memory;
  TFilterList& chain;
};

} // namespace

TEST_F(SettingsFiles, AChainIsReadAndBuiltOffTheChainsLock) {
  TFilterList source(44100);
  for (const int type : {0, 4, 9, 11}) {
    source.Add(CreateFilter(type, 44100));
  }
  TMemoryWriter saved;
  source.Save(saved);
  TFilterList chain(44100);
  TLockProbingReader reader(saved.Bytes(), chain);
  chain.Load(reader, CreateFilter);
  EXPECT_EQ(reader.lockedReads, 0);
  EXPECT_EQ(chain.Count(), 4);
}

TEST_F(SettingsFiles, ValuesThatWouldBreakAFilterAreRefusedAndLeaveItAsItWas) {
  struct Case {
    int type;
    int offset; // byte offset inside the record
    std::vector<uint8_t> value;
  };
  auto i32 = [](int32_t v) {
    std::vector<uint8_t> b;
    AppendU32(b, static_cast<uint32_t>(v));
    return b;
  };
  auto f64 = [](double v) {
    std::vector<uint8_t> b(8);
    std::memcpy(b.data(), &v, 8);
    return b;
  };
  const std::vector<Case> cases = {
      {0, 12, i32(500)},  {0, 12, i32(2048)},  {0, 12, i32(0)},    {1, 4, i32(-1)},
      {1, 4, i32(22051)}, {4, 4, f64(-1.0)},   {4, 12, f64(NAN)},  {4, 156, f64(INFINITY)},
      {9, 4, i32(0)},     {9, 4, i32(100000)}, {9, 8, i32(0)},     {11, 28, i32(0)},
      {11, 32, i32(0)},   {11, 32, i32(33)},   {11, 4, f64(-0.5)}, {11, 20, f64(NAN)},
  };
  for (const auto& c : cases) {
    auto filter = CreateFilter(c.type, 44100);
    TMemoryWriter out;
    filter->Save(out);
    auto bytes = out.Bytes();
    std::copy(c.value.begin(), c.value.end(), bytes.begin() + c.offset);
    WriteBytes(Path("bad.flt"), WithChecksum(bytes));
    TMemoryWriter before;
    filter->Save(before);
    EXPECT_EQ(MessageOf([&] { LoadFilterFile(*filter, Path("bad.flt")); }), "Неверный формат файла!")
        << "type " << c.type << " offset " << c.offset;
    TMemoryWriter after;
    filter->Save(after);
    EXPECT_EQ(after.Bytes(), before.Bytes());
  }
}

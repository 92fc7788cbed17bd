// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/WaveFile.h"
#include "devices/AudioFormats.h"

#include "support/PcmSignals.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <thread>

using namespace sonotest;

namespace {

// ---- Building WAVE files by hand -------------------------------------------------------------

void AddId(std::vector<uint8_t>& b, const char* id) {
  b.insert(b.end(), id, id + 4);
}

struct Chunk {
  std::string Id;
  std::vector<uint8_t> Body;
  std::optional<uint32_t> Size; // the size field when it is not the body's length
};

struct FmtFields {
  uint16_t Tag = 1;
  uint16_t Channels = 1;
  uint32_t Rate = 8000;
  uint16_t Bits = 8;
  std::optional<uint16_t> BlockAlign;
};

std::vector<uint8_t> FmtBody(const FmtFields& f) {
  std::vector<uint8_t> b;
  const uint16_t align = f.BlockAlign.value_or(static_cast<uint16_t>(f.Channels * f.Bits / 8));
  AppendU16(b, f.Tag);
  AppendU16(b, f.Channels);
  AppendU32(b, f.Rate);
  AppendU32(b, f.Rate * align);
  AppendU16(b, align);
  AppendU16(b, f.Bits);
  return b;
}

// A 40-byte extensible fmt body with the given sub-format's first GUID byte (1 = PCM, 3 = float).
std::vector<uint8_t> ExtensibleBody(uint16_t channels, uint32_t rate, uint16_t bits, uint8_t subFormat) {
  FmtFields f{0xFFFE, channels, rate, bits, {}};
  std::vector<uint8_t> b = FmtBody(f);
  AppendU16(b, 22);   // extra size
  AppendU16(b, bits); // valid bits
  AppendU32(b, channels == 1 ? 0x4 : 0x3);
  const uint8_t guid[16] = {subFormat, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                            0x80,      0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  b.insert(b.end(), guid, guid + 16);
  return b;
}

std::vector<uint8_t> Riff(const std::vector<Chunk>& chunks, const char* riff = "RIFF",
                          const char* wave = "WAVE") {
  std::vector<uint8_t> body;
  AddId(body, wave);
  for (const Chunk& c : chunks) {
    AddId(body, c.Id.c_str());
    AppendU32(body, c.Size.value_or(static_cast<uint32_t>(c.Body.size())));
    body.insert(body.end(), c.Body.begin(), c.Body.end());
    if (c.Body.size() % 2 == 1) {
      body.push_back(0); // pad byte
    }
  }
  std::vector<uint8_t> file;
  AddId(file, riff);
  AppendU32(file, static_cast<uint32_t>(body.size()));
  file.insert(file.end(), body.begin(), body.end());
  return file;
}

std::vector<uint8_t> Ramp(size_t n, uint8_t start = 0) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) {
    v[i] = static_cast<uint8_t>(start + i * 7);
  }
  return v;
}

Chunk Fmt(const FmtFields& f = {}) {
  return {"fmt ", FmtBody(f), {}};
}
Chunk Data(std::vector<uint8_t> samples) {
  return {"data", std::move(samples), {}};
}

TDSPException OpenFails(const std::string& file) {
  TWAVEFileRecordingDevice reader;
  reader.SetFileName(file);
  try {
    reader.Open();
  } catch (const TDSPException& e) {
    return e;
  }
  ADD_FAILURE() << "Open did not fail";
  return {};
}

// Reads every whole block; returns the samples and the number of blocks before the end notice.
struct ReadAll {
  std::vector<uint8_t> Samples;
  int Blocks = 0;
  TWaveFormat Format;
  int32_t BlockBytes = 0;
};
ReadAll ReadEverything(const std::string& file) {
  TWAVEFileRecordingDevice reader;
  reader.SetFileName(file);
  reader.Open();
  ReadAll r;
  r.Format = reader.Buffer().Format();
  r.BlockBytes = reader.Buffer().Bytes();
  while (true) {
    try {
      reader.Read();
    } catch (const TDSPException& e) {
      EXPECT_NE(e.Informational, 0);
      EXPECT_EQ(e.Description, "Достигнут конец файла");
      break;
    }
    const TAudioBuffer& b = reader.Buffer();
    r.Samples.insert(r.Samples.end(), b.Data(), b.Data() + b.Bytes());
    ++r.Blocks;
  }
  return r;
}

int RunShell(const std::string& command) {
  return std::system(command.c_str());
}

} // namespace

// ---- Writer ----------------------------------------------------------------------------------

TEST(WaveWriter, WritesACanonicalHeaderWithTheSizesOfTheBlocksWritten) {
  TTempDir dir;
  const std::string file = dir.File("out.wav");
  {
    TWAVEFilePlaybackDevice writer;
    EXPECT_EQ(writer.Kind(), dkWaveFilePlayback);
    writer.SetFileName(file);
    writer.Open();
    EXPECT_EQ(ReadBytes(file).size(), 44u);
    for (int i = 0; i < 3; ++i) {
      std::fill(writer.Buffer().Data(), writer.Buffer().Data() + 512, static_cast<uint8_t>(i));
      writer.Write();
    }
  }
  const std::vector<uint8_t> b = ReadBytes(file);
  ASSERT_EQ(b.size(), 44u + 3 * 512);
  const std::vector<uint8_t> header(b.begin(), b.begin() + 44);
  std::vector<uint8_t> expected;
  expected.reserve(44);
  AddId(expected, "RIFF");
  AppendU32(expected, 36 + 1536);
  AddId(expected, "WAVE");
  AddId(expected, "fmt ");
  AppendU32(expected, 16);
  AppendU16(expected, 1);
  AppendU16(expected, 1);
  AppendU32(expected, 8000);
  AppendU32(expected, 8000);
  AppendU16(expected, 1);
  AppendU16(expected, 8);
  AddId(expected, "data");
  AppendU32(expected, 1536);
  EXPECT_EQ(header, expected);
  EXPECT_EQ(b[44], 0);
  EXPECT_EQ(b[44 + 512], 1);
  EXPECT_EQ(b[44 + 1024 + 511], 2);
}

TEST(WaveWriter, ASetUpClosedBeforeAnyBlockLeavesAnEmptyValidFile) {
  TTempDir dir;
  const std::string file = dir.File("empty.wav");
  {
    TWAVEFilePlaybackDevice writer;
    writer.SetFileName(file);
    writer.Open();
  }
  const std::vector<uint8_t> b = ReadBytes(file);
  ASSERT_EQ(b.size(), 44u);
  EXPECT_EQ(U32At(b, 4), 36u);
  EXPECT_EQ(U32At(b, 40), 0u);
  EXPECT_EQ(ReadEverything(file).Blocks, 0);
}

TEST(WaveWriter, ReplacesAnExistingFile) {
  TTempDir dir;
  const std::string file = dir.File("old.wav");
  WriteBytes(file, std::vector<uint8_t>(10000, 0xEE));
  {
    TWAVEFilePlaybackDevice writer;
    writer.SetFileName(file);
    writer.Open();
    writer.Write();
  }
  EXPECT_EQ(ReadBytes(file).size(), 44u + 512);
}

TEST(WaveWriter, HeaderOnDiskFollowsEverySecondOfSoundNotEveryBlock) {
  TTempDir dir;
  const std::string file = dir.File("live.wav");
  TWAVEFilePlaybackDevice writer; // 8000 Hz mono 8 bits: 512-byte blocks, 8000 bytes a second
  writer.SetFileName(file);
  writer.Open();
  std::vector<uint32_t> onDisk;
  for (int i = 1; i <= 40; ++i) {
    writer.Write();
    const std::vector<uint8_t> b = ReadBytes(file);
    ASSERT_EQ(b.size(), 44u + 512u * i);
    EXPECT_EQ(U32At(b, 4), 36 + U32At(b, 40));
    onDisk.push_back(U32At(b, 40));
  }
  // Patched when one more block would put a full second (8000 bytes) beyond the header: after 15
  // blocks and after 30.
  EXPECT_EQ(onDisk[13], 0u);
  EXPECT_EQ(onDisk[14], 15u * 512);
  EXPECT_EQ(onDisk[28], 15u * 512);
  EXPECT_EQ(onDisk[29], 30u * 512);
  EXPECT_EQ(onDisk[39], 30u * 512);
  // Even with the next block written and its patch not yet made, less than a second is unclaimed.
  for (size_t i = 0; i < onDisk.size(); ++i) {
    EXPECT_LT(512u * (i + 2) - onDisk[i], 8000u) << "block " << i + 1;
  }
  EXPECT_EQ(writer.DataBytes(), 40u * 512);
}

TEST(WaveWriter, RefusesTheBlockThatWouldPassTheSizeLimitAndKeepsAValidFile) {
  TTempDir dir;
  const std::string file = dir.File("full.wav");
  {
    TWAVEFilePlaybackDevice writer(3 * 512 + 100);
    writer.SetFileName(file);
    writer.Open();
    for (int i = 0; i < 3; ++i) {
      writer.Write();
    }
    try {
      writer.Write();
      FAIL() << "the fourth block passed the limit";
    } catch (const TDSPException& e) {
      EXPECT_EQ(e.Informational, 0);
      EXPECT_EQ(e.ResultCode, static_cast<uint32_t>(EFBIG));
      EXPECT_EQ(e.Operation, "WriteFile");
      EXPECT_EQ(e.Description, "Файл \"" + file + "\": Превышен максимальный размер файла WAVE (4 ГБ)");
      const std::string text = ComposeDSPMessage(e).Text;
      EXPECT_EQ(text.substr(0, text.find('\n')),
                "Описание ошибки: Файл \"" + file + "\": Превышен максимальный размер файла WAVE (4 ГБ)");
      EXPECT_EQ(text.substr(text.rfind('\n') + 1), "Функция: WriteFile");
    }
    // Already on disk before Close: the header describes the three blocks.
    const std::vector<uint8_t> b = ReadBytes(file);
    EXPECT_EQ(b.size(), 44u + 1536);
    EXPECT_EQ(U32At(b, 40), 1536u);
    EXPECT_EQ(U32At(b, 4), 36u + 1536);
  }
  EXPECT_EQ(ReadEverything(file).Blocks, 3);
  EXPECT_EQ(TWAVEFilePlaybackDevice::MaxDataBytes, 0xFFFFFFFFull - 36);
}

TEST(WaveWriter, FailedCreationReportsCreateFileWithErrno) {
  TTempDir dir;
  for (const std::string& name : {dir.File("no/such/folder.wav"), std::string()}) {
    TWAVEFilePlaybackDevice writer;
    writer.SetFileName(name);
    try {
      writer.Open();
      FAIL();
    } catch (const TDSPException& e) {
      EXPECT_EQ(e.ResultCode, 2u);
      EXPECT_EQ(e.Operation, "CreateFile");
      EXPECT_EQ(ComposeDSPMessage(e).Text.rfind("Описание ошибки: Файл \"" + name +
                                                    "\": No such file or directory\nКод ошибки: 0x00000002\n",
                                                0),
                0u);
    }
  }
}

TEST(WaveWriter, AHeaderThatCannotBeWrittenIsAnError) {
  if (access("/dev/full", W_OK) != 0) {
    GTEST_SKIP() << "no /dev/full";
  }
  TWAVEFilePlaybackDevice writer;
  writer.SetFileName("/dev/full");
  try {
    writer.Open();
    FAIL();
  } catch (const TDSPException& e) {
    EXPECT_EQ(e.ResultCode, static_cast<uint32_t>(ENOSPC));
    EXPECT_EQ(e.Operation, "WriteFile");
    EXPECT_EQ(e.Description, "Файл \"/dev/full\": No space left on device");
  }
}

TEST(WaveWriter, AShortWriteRaisesWriteFileAndTheFileEndsWithTheLastWholeBlock) {
  TTempDir dir;
  const std::string file = dir.File("short.wav");
  // In a child: a file-size limit cuts the second block short.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{44 + 512 + 100, 44 + 512 + 100};
    setrlimit(RLIMIT_FSIZE, &limit);
    int code = 10;
    try {
      TWAVEFilePlaybackDevice writer;
      writer.SetFileName(file);
      writer.Open();
      writer.Write();
      code = 11;
      writer.Write();
      code = 12;
    } catch (const TDSPException& e) {
      if (e.Operation == "WriteFile" && e.ResultCode == static_cast<uint32_t>(EFBIG) &&
          e.Description == "Файл \"" + file + "\": File too large") {
        code = 0;
      }
    }
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::vector<uint8_t> b = ReadBytes(file);
  EXPECT_EQ(b.size(), 44u + 512);
  EXPECT_EQ(U32At(b, 40), 512u);
}

TEST(WaveWriter, AKilledWriterLeavesAFileThatReadsBackMissingAtMostOneSecond) {
  TTempDir dir;
  const std::string file = dir.File("killed.wav");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready[0]);
    TWAVEFilePlaybackDevice writer;
    writer.Buffer().Format() = FormatTable[30]; // 44100 Hz mono 16 bits
    writer.SetFileName(file);
    writer.Open();
    for (int i = 0; i < 50; ++i) { // 50 blocks of 4096 frames: 4.6 s
      FillSine(writer.Buffer().Format(), writer.Buffer().Data(), 4096, 1000, 8000, int64_t{i} * 4096);
      writer.Write();
    }
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(ready[1], &byte, 1);
    while (true) {
      pause();
    }
  }
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));

  const std::vector<uint8_t> b = ReadBytes(file);
  const uint32_t written = 50u * 8192;
  ASSERT_EQ(b.size(), 44u + written);
  const uint32_t described = U32At(b, 40);
  EXPECT_EQ(U32At(b, 4), 36 + described);
  EXPECT_LE(described, written);
  EXPECT_LT(written - described, 88200u); // less than one second missing

  const ReadAll r = ReadEverything(file);
  EXPECT_EQ(FindFormat(r.Format), 30);
  EXPECT_EQ(static_cast<uint32_t>(r.Blocks), described / 8192);
  const std::vector<double> x = Channel(r.Format, r.Samples.data(), r.Samples.size() / 2, 0);
  EXPECT_NEAR(GoertzelAmplitude(x, 0, static_cast<int64_t>(x.size()), 1000, 44100), 8000, 80);

  // sox reads it too, and finds the length the header gives.
  const std::string lengthFile = dir.File("length.txt");
  ASSERT_EQ(RunShell("soxi -s '" + file + "' > '" + lengthFile + "' 2>/dev/null"), 0);
  const std::vector<uint8_t> text = ReadBytes(lengthFile);
  EXPECT_EQ(std::stoul(std::string(text.begin(), text.end())), described / 2);
}

// ---- Round trips -----------------------------------------------------------------------------

class WaveRoundTrip : public testing::TestWithParam<int> {};

TEST_P(WaveRoundTrip, WhatTheWriterWritesTheReaderReadsBackBlockForBlock) {
  const int index = GetParam();
  TTempDir dir;
  const std::string file = dir.File("trip.wav");
  constexpr int Blocks = 5;
  std::vector<uint8_t> sent;
  {
    TWAVEFilePlaybackDevice writer;
    writer.Buffer().Format() = FormatTable[index];
    writer.SetFileName(file);
    writer.Open();
    for (int i = 0; i < Blocks; ++i) {
      const std::vector<uint8_t> block =
          Ramp(static_cast<size_t>(writer.Buffer().Bytes()), static_cast<uint8_t>(i));
      std::copy(block.begin(), block.end(), writer.Buffer().Data());
      writer.Write();
      sent.insert(sent.end(), block.begin(), block.end());
    }
  }
  const ReadAll r = ReadEverything(file);
  EXPECT_EQ(r.Format, FormatTable[index]);
  EXPECT_EQ(FindFormat(r.Format), index);
  EXPECT_EQ(r.Blocks, Blocks);
  EXPECT_EQ(r.Samples, sent);
}

INSTANTIATE_TEST_SUITE_P(AllTableFormats, WaveRoundTrip, testing::Range(0, FormatCount));

TEST(WaveRoundTrip, NinetySixKilohertzStereoGivesEightThousandFrameBlocks) {
  TTempDir dir;
  const std::string file = dir.File("96k.wav");
  const TWaveFormat format = MakePCMFormat(96000, 2, 16);
  {
    TWAVEFilePlaybackDevice writer;
    writer.Buffer().Format() = format;
    writer.SetFileName(file);
    writer.Open();
    EXPECT_EQ(writer.Buffer().Frames(), 8192);
    for (int i = 0; i < 3; ++i) {
      FillSine(format, writer.Buffer().Data(), 8192, 1000, 12000, int64_t{i} * 8192);
      writer.Write();
    }
  }
  const ReadAll r = ReadEverything(file);
  EXPECT_EQ(r.Format, format);
  EXPECT_EQ(r.BlockBytes, 8192 * 4);
  EXPECT_EQ(r.Blocks, 3);
  EXPECT_EQ(FormatText(r.Format), "96,000 КГц, 16 бит, стерео (375 Кб/с)");
  EXPECT_EQ(FindFormat(r.Format), 0);
  const std::vector<double> right = Channel(r.Format, r.Samples.data(), 3 * 8192, 1);
  EXPECT_NEAR(FitSine(right, 0, 3 * 8192, 1000, 96000).Amplitude, 12000, 2);
}

// ---- Reader: header errors --------------------------------------------------------------------

TEST(WaveReader, MissingFileOrEmptyNameReportsCreateFileWithErrno) {
  TTempDir dir;
  for (const std::string& name : {dir.File("absent.wav"), std::string()}) {
    const TDSPException e = OpenFails(name);
    EXPECT_EQ(e.ResultCode, 2u);
    EXPECT_EQ(e.Operation, "CreateFile");
    EXPECT_EQ(e.Description, "Файл \"" + name + "\": No such file or directory");
    const std::string text = ComposeDSPMessage(e).Text;
    EXPECT_EQ(text.rfind("Описание ошибки: Файл \"" + name +
                             "\": No such file or directory\nКод ошибки: 0x00000002\n",
                         0),
              0u);
    EXPECT_EQ(text.substr(text.rfind('\n') + 1), "Функция: CreateFile");
  }
}

TEST(WaveReader, EveryHeaderErrorNamesTheFileAndSaysWhatItHoldsWithCodeZero) {
  TTempDir dir;
  const std::string invalid = "Неверный формат файла";
  const std::string read =
      "; читаются PCM 8, 16, 24 и 32 бит и числа с плавающей точкой 32 и 64 бит, моно и стерео";
  const auto unsupported = [&](const std::string& holds) {
    return "Неподдерживаемый формат файла: в файле " + holds + read;
  };
  const std::vector<uint8_t> samples = Ramp(1024);
  const std::vector<uint8_t> extensiblePCM = ExtensibleBody(2, 44100, 16, 1);
  const std::vector<uint8_t> extensibleCut(extensiblePCM.begin(), extensiblePCM.begin() + 18);
  const std::vector<std::pair<std::vector<uint8_t>, std::string>> cases = {
      // (A file that does not start as RIFF/WAVE is not the WAVE reader's: SoundFileTest.cpp.)
      {Riff({Fmt()}), invalid},                                 // no data chunk
      {Riff({Data(samples), Fmt()}), invalid},                  // data before fmt
      {Riff({Data(samples)}), invalid},                         // no fmt chunk
      {Riff({{"fmt ", Ramp(14), {}}, Data(samples)}), invalid}, // fmt too small
      {Riff({Fmt({2, 1, 8000, 4, {}}), Data(samples)}),
       unsupported("сжатый звук ADPCM (код формата 0x0002)")},
      {Riff({Fmt({0x1234, 1, 8000, 8, {}}), Data(samples)}), unsupported("звук в формате с кодом 0x1234")},
      {Riff({Fmt({3, 1, 8000, 16, {}}), Data(samples)}), unsupported("звук 16 бит с плавающей точкой")},
      {Riff({Fmt({1, 0, 8000, 8, uint16_t{1}}), Data(samples)}), unsupported("0 каналов")},
      {Riff({Fmt({1, 3, 8000, 8, {}}), Data(samples)}), unsupported("3 канала")},
      {Riff({Fmt({1, 6, 48000, 16, {}}), Data(samples)}), unsupported("6 каналов")},
      {Riff({Fmt({1, 1, 8000, 12, uint16_t{2}}), Data(samples)}), unsupported("звук 12 бит PCM")},
      {Riff({Fmt({1, 2, 8000, 16, uint16_t{2}}), Data(samples)}),
       unsupported("звук 16 бит PCM, 2 канала с кадром в 2 байт вместо 4")},
      {Riff({Fmt({1, 1, 8000, 8, uint16_t{0}}), Data(samples)}),
       unsupported("звук 8 бит PCM, 1 канал с кадром в 0 байт вместо 1")},
      {Riff({Fmt({1, 1, 0, 8, {}}), Data(samples)}), unsupported("звук с частотой дискретизации 0 Гц")},
      {Riff({Fmt({1, 2, 0xFFFFFFFFu, 16, {}}), Data(samples)}), // 1 GiB blocks
       unsupported("звук с частотой дискретизации 4294967295 Гц")},
      {Riff({Fmt({1, 1, 1000001, 8, {}}), Data(samples)}), // beyond any recorded rate
       unsupported("звук с частотой дискретизации 1000001 Гц")},
      {Riff({{"fmt ", ExtensibleBody(2, 44100, 16, 0x55), {}}, Data(samples)}),
       unsupported("сжатый звук MPEG Layer 3 (код формата 0x0055)")},
      {Riff({{"fmt ", extensibleCut, {}}, Data(samples)}),
       unsupported("расширенный формат без известного вида отсчётов")},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::string file = dir.File("bad" + std::to_string(i) + ".wav");
    WriteBytes(file, cases[i].first);
    const TDSPException e = OpenFails(file);
    const std::string description = "Файл \"" + file + "\": " + cases[i].second;
    EXPECT_EQ(e.Informational, 0) << i;
    EXPECT_EQ(e.ResultCode, 0u) << i;
    EXPECT_EQ(e.Operation, "") << i;
    EXPECT_EQ(e.Description, description) << i;
    const std::string text = ComposeDSPMessage(e).Text;
    EXPECT_EQ(text.substr(0, text.find('\n')), "Описание ошибки: " + description) << i;
    EXPECT_NE(text.find("\nКод ошибки: 0x00000000\n"), std::string::npos) << i;
    EXPECT_EQ(text.substr(text.rfind('\n') + 1), "Функция: Нет") << i;
  }
}

TEST(WaveReader, ADirectoryIsRefusedWithTheSystemsText) {
  TTempDir dir;
  const TDSPException e = OpenFails(dir.File(""));
  EXPECT_EQ(e.ResultCode, static_cast<uint32_t>(EISDIR));
  EXPECT_EQ(e.Operation, "CreateFile");
  EXPECT_EQ(e.Description, "Файл \"" + dir.File("") + "\": Is a directory");
}

TEST(WaveReader, AFailedOpenLeavesTheDeviceClosedAndReusable) {
  TTempDir dir;
  const std::string bad = dir.File("bad.wav");
  const std::string good = dir.File("good.wav");
  WriteBytes(bad, Riff({Fmt({2, 1, 8000, 4, {}}), Data(Ramp(100))}));
  WriteBytes(good, Riff({Fmt(), Data(Ramp(1024))}));
  TWAVEFileRecordingDevice reader;
  reader.SetFileName(bad);
  EXPECT_THROW(reader.Open(), TDSPException);
  reader.SetFileName(good);
  reader.Open();
  reader.Read();
  EXPECT_EQ(reader.Buffer().Data()[1], 7);
}

// ---- Reader: chunks ----------------------------------------------------------------------------

TEST(WaveReader, SkipsListFactAndJunkChunksBeforeData) {
  TTempDir dir;
  const std::string file = dir.File("chunks.wav");
  const std::vector<uint8_t> samples = Ramp(2048);
  WriteBytes(file, Riff({{"JUNK", std::vector<uint8_t>(28, 0), {}},
                         Fmt(),
                         {"fact", {0x00, 0x08, 0x00, 0x00}, {}},
                         {"LIST", Ramp(26, 'a'), {}},
                         Data(samples)}));
  const ReadAll r = ReadEverything(file);
  EXPECT_EQ(r.Format, FormatTable[0]);
  EXPECT_EQ(r.Blocks, 4);
  EXPECT_EQ(r.Samples, samples);
}

TEST(WaveReader, HonoursThePadByteAfterAnOddSizedChunk) {
  TTempDir dir;
  const std::string file = dir.File("odd.wav");
  const std::vector<uint8_t> samples = Ramp(1024, 3);
  WriteBytes(file, Riff({Fmt(), {"LIST", Ramp(13), {}}, Data(samples)}));
  ASSERT_EQ(ReadBytes(file).size() % 2, 0u);
  const ReadAll r = ReadEverything(file);
  EXPECT_EQ(r.Blocks, 2);
  EXPECT_EQ(r.Samples, samples);
}

TEST(WaveReader, AcceptsEighteenByteFmtAndFortyByteExtensiblePCM) {
  TTempDir dir;
  const std::vector<uint8_t> samples = Ramp(4 * 4096 * 2);
  std::vector<uint8_t> fmt18 = FmtBody({1, 2, 44100, 16, {}});
  AppendU16(fmt18, 0);
  const std::string a = dir.File("fmt18.wav");
  WriteBytes(a, Riff({{"fmt ", fmt18, {}}, Data(samples)}));
  const std::string b = dir.File("extensible.wav");
  WriteBytes(b, Riff({{"fmt ", ExtensibleBody(2, 44100, 16, 1), {}}, Data(samples)}));
  for (const std::string& file : {a, b}) {
    const ReadAll r = ReadEverything(file);
    EXPECT_EQ(FindFormat(r.Format), 31) << file;
    EXPECT_EQ(r.Format.wFormatTag, 1);
    EXPECT_EQ(r.Blocks, 2);
    EXPECT_EQ(r.Samples, samples);
  }
}

TEST(WaveReader, ATrailingChunkAfterDataIsNotReadAsSamples) {
  TTempDir dir;
  const std::string file = dir.File("trailing.wav");
  const std::vector<uint8_t> samples = Ramp(1024);
  WriteBytes(file, Riff({Fmt(), Data(samples), {"LIST", Ramp(600, 'x'), {}}}));
  const ReadAll r = ReadEverything(file);
  EXPECT_EQ(r.Blocks, 2);
  EXPECT_EQ(r.Samples, samples);
}

TEST(WaveReader, DataSizeZeroOrAllOnesOrPastTheEndReadsToTheEndOfTheFile) {
  TTempDir dir;
  const std::vector<uint8_t> samples = Ramp(1536);
  for (const uint32_t size : {0u, 0xFFFFFFFFu, 1u << 20}) {
    const std::string file = dir.File("open" + std::to_string(size) + ".wav");
    WriteBytes(file, Riff({Fmt(), {"data", samples, size}}));
    const ReadAll r = ReadEverything(file);
    EXPECT_EQ(r.Blocks, 3) << size;
    EXPECT_EQ(r.Samples, samples) << size;
  }
}

TEST(WaveReader, TakesTheFormatWithDerivedFieldsAndExtraSizeTwenty) {
  TTempDir dir;
  const std::string file = dir.File("avg.wav");
  std::vector<uint8_t> fmt = FmtBody({1, 1, 44100, 16, {}});
  fmt[8] = 0x12; // a wrong average byte rate is not taken over
  WriteBytes(file, Riff({{"fmt ", fmt, {}}, Data(Ramp(8192))}));
  const ReadAll r = ReadEverything(file);
  EXPECT_EQ(r.Format.nAvgBytesPerSec, 88200u);
  EXPECT_EQ(r.Format.cbSize, 20);
  EXPECT_EQ(FindFormat(r.Format), 30);
}

// ---- Reader: end of input ----------------------------------------------------------------------

TEST(WaveReader, TenThousandBytesAt8000HzMono8GiveNineteenBlocksAndAShortOneOf272) {
  TTempDir dir;
  const std::string file = dir.File("10000.wav");
  const std::vector<uint8_t> samples = Ramp(10000);
  WriteBytes(file, Riff({Fmt(), Data(samples)}));
  TWAVEFileRecordingDevice reader;
  EXPECT_EQ(reader.Kind(), dkWaveFileRecording);
  reader.SetFileName(file);
  reader.Open();
  EXPECT_EQ(reader.Buffer().Bytes(), 512);
  EXPECT_EQ(reader.TotalFrames(), 10000);
  for (int i = 0; i < 19; ++i) {
    reader.Read();
    EXPECT_EQ(reader.Buffer().Frames(), 512);
  }
  reader.Read();
  EXPECT_EQ(reader.Buffer().Frames(), 272);
  EXPECT_EQ(reader.Buffer().Bytes(), 272);
  EXPECT_TRUE(std::equal(samples.begin() + 19 * 512, samples.end(), reader.Buffer().Data()));
  EXPECT_EQ(reader.Buffer().CapacityFrames(), 512);
  try {
    reader.Read();
    FAIL() << "a block after the last";
  } catch (const TDSPException& e) {
    EXPECT_NE(e.Informational, 0);
    const TDSPMessage m = ComposeDSPMessage(e);
    EXPECT_EQ(m.Caption, "Сообщение");
    EXPECT_EQ(m.Text, "Достигнут конец файла");
  }
}

TEST(WaveReader, TheTailFollowsTheLastBlockAsSilentBlocksOfItsExactLength) {
  TTempDir dir;
  const std::string file = dir.File("tail.wav");
  WriteBytes(file, Riff({Fmt({1, 1, 8000, 16, {}}), Data(std::vector<uint8_t>(2 * 1000, 0x11))}));
  TWAVEFileRecordingDevice reader;
  reader.SetFileName(file);
  reader.SetTailFrames(700);
  reader.Open();
  std::vector<int32_t> lengths;
  bool silentTail = true;
  try {
    for (int i = 0; i < 10; ++i) {
      reader.Read();
      lengths.push_back(reader.Buffer().Frames());
      if (i >= 2) {
        const uint8_t* d = reader.Buffer().Data();
        silentTail =
            silentTail && std::all_of(d, d + reader.Buffer().Bytes(), [](uint8_t v) { return v == 0; });
      }
    }
    FAIL() << "no end";
  } catch (const TDSPException& e) {
    EXPECT_NE(e.Informational, 0);
  }
  EXPECT_EQ(lengths, (std::vector<int32_t>{512, 488, 512, 188}));
  EXPECT_TRUE(silentTail);
}

TEST(WaveReader, AnExactMultipleEndsAtTheReadThatFindsNothing) {
  TTempDir dir;
  const std::string file = dir.File("exact.wav");
  WriteBytes(file, Riff({Fmt({1, 2, 8000, 16, {}}), Data(Ramp(4 * 2048))}));
  const ReadAll r = ReadEverything(file);
  EXPECT_EQ(r.BlockBytes, 2048);
  EXPECT_EQ(r.Blocks, 4);
}

TEST(WaveReader, EachReadStartsFromSilenceAndACutFrameStaysOut) {
  TTempDir dir;
  const std::string file = dir.File("partial.wav");
  // One whole block, five frames and a byte of a sixth.
  WriteBytes(file, Riff({Fmt({1, 1, 8000, 16, {}}), Data(std::vector<uint8_t>(1024 + 11, 0x11))}));
  TWAVEFileRecordingDevice reader;
  reader.SetFileName(file);
  reader.Open();
  reader.Read();
  reader.Read();
  const TAudioBuffer& b = reader.Buffer();
  EXPECT_EQ(b.Frames(), 5);
  EXPECT_EQ(b.Data()[9], 0x11);
  EXPECT_TRUE(std::all_of(b.Data() + 10, b.Data() + 1024, [](uint8_t v) { return v == 0; }));
  EXPECT_THROW(reader.Read(), TDSPException);
}

// ---- Files made by sox ------------------------------------------------------------------------

TEST(WaveReader, ReadsASoxSineAndFindsItsFrequencyAndLength) {
  TTempDir dir;
  const std::string file = dir.File("sox.wav");
  ASSERT_EQ(
      RunShell("sox -n -r 44100 -c 1 -e signed -b 16 '" + file + "' synth 2 sine 1000 vol 0.5 2>/dev/null"),
      0);
  const ReadAll r = ReadEverything(file);
  EXPECT_EQ(FindFormat(r.Format), 30);
  EXPECT_EQ(r.Blocks, 88200 / 4096 + 1); // the last one short
  EXPECT_EQ(r.Samples.size(), 88200u * 2);
  const std::vector<double> x =
      Channel(r.Format, r.Samples.data(), static_cast<int64_t>(r.Samples.size() / 2), 0);
  const SineFit fit = FitSine(x, 0, static_cast<int64_t>(x.size()), 1000, 44100);
  EXPECT_NEAR(fit.Amplitude, 16384, 200);
  EXPECT_LT(fit.ResidualRms, 10);
}

TEST(WaveReader, ReadsASoxFileWithListAndOddChunksSplicedBeforeItsData) {
  TTempDir dir;
  const std::string made = dir.File("sox8.wav");
  ASSERT_EQ(RunShell("sox -n -r 22050 -c 2 -e unsigned -b 8 '" + made + "' synth 1 sine 440 2>/dev/null"), 0);
  std::vector<uint8_t> bytes = ReadBytes(made);
  ASSERT_GE(bytes.size(), 44u);
  ASSERT_EQ(std::string(bytes.begin() + 36, bytes.begin() + 40), "data");
  // A LIST/INFO chunk as tagging programs write it, and an odd-sized private chunk with its pad byte.
  std::vector<uint8_t> extra;
  AddId(extra, "LIST");
  AppendU32(extra, 4 + 8 + 14);
  AddId(extra, "INFO");
  AddId(extra, "ISFT");
  AppendU32(extra, 14);
  const char software[] = "Lavf58.76.100";
  extra.insert(extra.end(), software, software + 14);
  AddId(extra, "priv");
  AppendU32(extra, 3);
  extra.insert(extra.end(), {1, 2, 3, 0});
  bytes.insert(bytes.begin() + 36, extra.begin(), extra.end());
  const std::string file = dir.File("spliced.wav");
  WriteBytes(file, bytes);
  const ReadAll r = ReadEverything(file);
  EXPECT_EQ(FindFormat(r.Format), 17);
  EXPECT_EQ(r.Blocks, 22050 * 2 / 4096 + 1);
  EXPECT_EQ(r.Samples.size(), 22050u * 2);
  const std::vector<uint8_t> original = ReadEverything(made).Samples;
  EXPECT_EQ(r.Samples, original);
  const std::vector<double> x =
      Channel(r.Format, r.Samples.data(), static_cast<int64_t>(r.Samples.size() / 2), 1);
  EXPECT_GT(GoertzelAmplitude(x, 0, static_cast<int64_t>(x.size()), 440, 22050), 20000);
}

TEST(WaveReader, TwentyFourAndThirtyTwoBitAndFloatFilesReadAsSoxConvertsThemTo16Bits) {
  TTempDir dir;
  struct TCase {
    const char* Sox;
    uint16_t Tag;
    uint16_t Bits;
  };
  const TCase cases[] = {{"-e signed -b 24", 1, 24},
                         {"-e signed -b 32", 1, 32},
                         {"-e floating-point -b 32", 3, 32},
                         {"-e floating-point -b 64", 3, 64}};
  for (const TCase& c : cases) {
    for (const int channels : {1, 2}) {
      const std::string made = dir.File("made.wav");
      const std::string reference = dir.File("reference.wav");
      // The same samples under sox's own header, a plain fmt chunk and an extensible one.
      ASSERT_EQ(RunShell("sox -D -n -r 22050 -c " + std::to_string(channels) + " " + c.Sox + " '" + made +
                         "' synth 0.5 sine 440 sine 1500 vol 0.99 2>/dev/null && sox -D '" + made +
                         "' -e signed -b 16 '" + reference + "' 2>/dev/null"),
                0);
      const std::string plain = dir.File("plain.wav");
      const std::string extensible = dir.File("extensible.wav");
      const std::vector<uint8_t> samples = ReadWave(made).Data;
      const auto count = static_cast<uint16_t>(channels);
      WriteBytes(plain, Riff({Fmt({c.Tag, count, 22050, c.Bits, {}}), Data(samples)}));
      WriteBytes(extensible,
                 Riff({{"fmt ", ExtensibleBody(count, 22050, c.Bits, static_cast<uint8_t>(c.Tag)), {}},
                       Data(samples)}));
      const ReadAll expected = ReadEverything(reference);
      for (const std::string& file : {made, plain, extensible}) {
        TWAVEFileRecordingDevice reader;
        reader.SetFileName(file);
        reader.Open();
        EXPECT_TRUE(reader.Converted());
        EXPECT_EQ(reader.FileFormat().Bits, c.Bits);
        EXPECT_EQ(reader.FileFormat().Extensible, U16At(ReadBytes(file), 20) == 0xFFFE);
        EXPECT_EQ(reader.TotalFrames(), 11025);
        EXPECT_EQ(FindFormat(reader.Buffer().Format()), FindFormat(MakePCMFormat(22050, channels, 16)));
        const ReadAll r = ReadEverything(file);
        ASSERT_EQ(r.Samples.size(), expected.Samples.size()) << c.Sox;
        int worst = 0;
        for (size_t i = 0; i + 1 < r.Samples.size(); i += 2) {
          const int a = static_cast<int16_t>(r.Samples[i] | (r.Samples[i + 1] << 8));
          const int b = static_cast<int16_t>(expected.Samples[i] | (expected.Samples[i + 1] << 8));
          worst = std::max(worst, std::abs(a - b));
        }
        EXPECT_LE(worst, 1) << c.Sox << ", " << channels << " channels, " << file;
      }
    }
  }
}

// ---- Pipes ------------------------------------------------------------------------------------

namespace {

// A pipe whose writing end a thread feeds with bytes.
class TPipe {
public:
  TPipe() {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    readEnd = fds[0];
    writeEnd = fds[1];
  }
  ~TPipe() {
    if (worker.joinable()) {
      worker.join();
    }
    CloseRead();
    CloseWrite();
  }
  void Feed(std::vector<uint8_t> bytes) {
    worker = std::thread([this, bytes = std::move(bytes)] {
      size_t done = 0;
      while (done < bytes.size()) {
        const ssize_t n = write(writeEnd, bytes.data() + done, std::min<size_t>(bytes.size() - done, 1000));
        if (n <= 0) {
          break;
        }
        done += static_cast<size_t>(n);
      }
      CloseWrite();
    });
  }
  std::string ReadPath() const { return "/dev/fd/" + std::to_string(readEnd); }
  void CloseRead() {
    if (readEnd >= 0) {
      close(readEnd);
      readEnd = -1;
    }
  }
  void CloseWrite() {
    if (writeEnd >= 0) {
      close(writeEnd);
      writeEnd = -1;
    }
  }

private:
  int readEnd = -1;
  int writeEnd = -1;
  std::thread worker;
};

} // namespace

TEST(WaveReader, ReadsAStreamFromAPipeWithoutSeekingUpToItsEndOrItsDeclaredSize) {
  const std::vector<uint8_t> samples = Ramp(3000);
  // The marks of an unknown length, and a known size shorter than what the stream holds.
  for (const uint32_t size : {0u, 0x7FFFF000u, 0xFFFFFFFFu, 2000u}) {
    TPipe pipe;
    pipe.Feed(Riff({{"LIST", Ramp(26, 'a'), {}},
                    {"fmt ", ExtensibleBody(1, 8000, 16, 1), {}},
                    {"fact", {0, 0, 0, 0}, {}},
                    {"data", samples, size}}));
    TWAVEFileRecordingDevice reader;
    reader.SetFileName(pipe.ReadPath());
    reader.Open();
    EXPECT_EQ(reader.TotalFrames(), size == 2000u ? 1000 : -1) << size;
    std::vector<uint8_t> got;
    try {
      for (;;) {
        reader.Read();
        got.insert(got.end(), reader.Buffer().Data(), reader.Buffer().Data() + reader.Buffer().Bytes());
      }
    } catch (const TDSPException& e) {
      EXPECT_NE(e.Informational, 0) << e.Description;
    }
    const size_t expected = size == 2000u ? 2000 : samples.size();
    EXPECT_EQ(got,
              std::vector<uint8_t>(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(expected)))
        << size;
    reader.Close();
  }
}

TEST(WaveWriter, AShortLastBlockIsWrittenWithItsExactSizeInTheHeader) {
  TTempDir dir;
  const std::string file = dir.File("short-last.wav");
  {
    TWAVEFilePlaybackDevice writer;
    writer.SetFileName(file);
    writer.Open();
    writer.Write();
    writer.Buffer().SetLength(77);
    writer.Write();
  }
  const std::vector<uint8_t> b = ReadBytes(file);
  ASSERT_EQ(b.size(), 44u + 512 + 77);
  EXPECT_EQ(U32At(b, 40), 512u + 77);
  EXPECT_EQ(U32At(b, 4), 36u + 512 + 77);
}

TEST(WaveWriter, SoxReadsTheWrittenFileWithItsFormatAndLength) {
  TTempDir dir;
  const std::string file = dir.File("for-sox.wav");
  {
    TWAVEFilePlaybackDevice writer;
    writer.Buffer().Format() = FormatTable[19]; // 22050 stereo 16
    writer.SetFileName(file);
    writer.Open();
    for (int i = 0; i < 7; ++i) {
      writer.Write();
    }
  }
  const std::string info = dir.File("info.txt");
  ASSERT_EQ(RunShell("(soxi -r '" + file + "' && soxi -c '" + file + "' && soxi -b '" + file +
                     "' && soxi -s '" + file + "') > '" + info + "'"),
            0);
  const std::vector<uint8_t> text = ReadBytes(info);
  EXPECT_EQ(std::string(text.begin(), text.end()), "22050\n2\n16\n" + std::to_string(7 * 2048) + "\n");
}

// SPDX-License-Identifier: GPL-3.0-or-later
// sonolab-render run as a user runs it: a real process, real files, its exit status and its output.

#include "support/PcmSignals.h"
#include "support/RenderRun.h"
#include "support/TestFiles.h"

#include "filters/FilterCatalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using namespace sonotest;

namespace {

class RenderCommand : public ::testing::Test {
protected:
  std::string Path(const std::string& name) const { return dir.File(name); }

  TRenderRun Run(const std::string& arguments) const { return RunRenderShell(dir, arguments); }

  TTempDir dir{"sonolab-render"};
};

} // namespace

TEST_F(RenderCommand, WritesTheSpecifiedSettingsFilesByteForByte) {
  auto run = Run("--add 9 --save-chain " + Path("x.lst"));
  ASSERT_EQ(run.Status, 0) << run.Err;
  std::vector<uint8_t> expected = {1, 0, 0, 0, 9, 0, 0, 0, 9, 0, 0, 0, 0x64, 0, 0, 0, 0xE8, 3, 0, 0, 1};
  expected.insert(expected.end(), 15, 0);
  expected.push_back(0x63);
  expected.push_back(0x01);
  EXPECT_EQ(ReadBytes(Path("x.lst")), expected);

  run = Run("--add 0 --save-filter 0 " + Path("x.flt"));
  ASSERT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(ReadBytes(Path("x.flt")),
            (std::vector<uint8_t>{0, 0, 0, 0, 0xE8, 3, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0xED, 0}));
}

TEST_F(RenderCommand, PrintShowsEachSlotWithItsParametersInTableOrder) {
  const auto run = Run("--add 0:FC=2000,kernelsize=256 --add 11:DelayLines=3,DryLevel=0.5 --disable 1 "
                       "--add 5:kind=4,Freq=250.5,GainDb=-3 --add 2:UpperFreq=100,LowerFreq=50 --print");
  ASSERT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(
      run.Out,
      "0\tФильтр нижних частот\ton\tfc=2000\tWindowType=0\tKernelSize=256\n"
      "1\tЭффект \"Реверберация\"\toff\tDryLevel=0.5\tEarlyLevel=1\tReverbLevel=0.09999999999999994\t"
      "ReverbTime=500\tDelayLines=3\n"
      "2\tБИХ-фильтр\ton\tKind=4\tFreq=250.5\tQ=0.707\tGainDb=-3\n"
      "3\tПолосовой пропускающий фильтр\ton\tLowerFreq=50\tUpperFreq=100\tWindowType=0\tKernelSize=512\n");
}

TEST_F(RenderCommand, SavedChainsAndFiltersLoadBack) {
  ASSERT_EQ(Run("--add 4:Gain=1/1/1/1/1/1/1/1/1/0.5/1/1/1/1/1/1/1/1/1/2 --add 9:Delay=250 --disable 0 "
                "--save-chain " +
                Path("c.lst") + " --save-filter 1 " + Path("e.flt"))
                .Status,
            0);
  auto run = Run("--chain " + Path("c.lst") + " --print");
  ASSERT_EQ(run.Status, 0) << run.Err;
  EXPECT_NE(run.Out.find("0\tМногополосовой фильтр\toff\tGain=1/1/1/1/1/1/1/1/1/0.5/1/1/1/1/1/1/1/1/1/2\n"),
            std::string::npos)
      << run.Out;
  run = Run("--add 9 --load-filter 0 " + Path("e.flt") + " --print");
  EXPECT_EQ(run.Out, "0\tЭффект \"Эхо\"\ton\tDelay=250\tDecayTime=1000\n");
}

TEST_F(RenderCommand, ProgramErrorsExitOneWithTheirMessage) {
  std::ofstream(Path("bad.lst"), std::ios::binary) << "abc";
  auto run = Run("--chain " + Path("bad.lst"));
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Err, "Ошибка контрольной суммы! Файл \"" + Path("bad.lst") + "\"\n");
  run = Run("--chain " + Path("missing.lst"));
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Err,
            "Невозможно открыть файл! Файл \"" + Path("missing.lst") + "\": No such file or directory\n");
  run = Run("--add 9 --save-chain " + Path("no/such/folder.lst"));
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Err, "Невозможно создать файл! Файл \"" + Path("no/such/folder.lst") +
                         "\": No such file or directory\n");
  ASSERT_EQ(Run("--add 0 --save-filter 0 " + Path("lp.flt")).Status, 0);
  run = Run("--add 1 --load-filter 0 " + Path("lp.flt"));
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Err, "Неверный формат файла! Файл \"" + Path("lp.flt") + "\"\n");
  run = Run(Path("missing.wav") + " " + Path("out.wav"));
  EXPECT_EQ(run.Status, 1);
  EXPECT_NE(run.Err.find("Код ошибки: 0x00000002"), std::string::npos) << run.Err;
  EXPECT_NE(run.Err.find("Функция: CreateFile"), std::string::npos) << run.Err;
}

TEST_F(RenderCommand, UsageErrorsPrintOneLineThatGivesTheRangeOrTheChoicesAndWhereTheHelpIs) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "Не задано ни входа, ни действий с цепочкой"},
      {"--bogus", "Неизвестный параметр: --bogus"},
      {"--add 16", "Тип фильтра для --add должен быть от 0 до 15: 16"},
      {"--add x", "Тип фильтра для --add должен быть от 0 до 15: x"},
      {"--add 5:Kind=7",
       "Значение вне допустимого диапазона: Kind=7 (допустимо: 0 (нижних частот), 1 (верхних "
       "частот), 2 (полосовой), 3 (режекторный), 4 (пиковый), 5 (полка НЧ) или 6 (полка ВЧ))"},
      {"--add 5:Freq=19845.5",
       "Значение вне допустимого диапазона: Freq=19845.5 (допустимо: от 10 до 19845 Гц "
       "(0,45 частоты дискретизации))"},
      {"--add 2:LowerFreq=5000",
       "Значение вне допустимого диапазона: UpperFreq=3400 (допустимо: от 5000 до 22050 "
       "Гц (половина частоты дискретизации))"},
      {"--add 15:Semitones=-12.01",
       "Значение вне допустимого диапазона: Semitones=-12.01 (допустимо: от -12 до 12 полутонов)"},
      {"--add 7:Length=1500.5", "Неверное значение параметра Length: 1500.5 (ожидается целое число)"},
      {"--add 12:LevelDb=1e", "Неверное значение параметра LevelDb: 1e (ожидается число)"},
      {"--add 0:Nope=1", "Неизвестный параметр фильтра «Фильтр нижних частот»: Nope; его параметры: fc, "
                         "WindowType, KernelSize"},
      {"--add 11:Wet=1",
       "Неизвестный параметр фильтра «Эффект \"Реверберация\"»: Wet; его параметры: DryLevel, "
       "EarlyLevel, ReverbLevel, ReverbTime, DelayLines"},
      {"--add 0:fc=abc", "Неверное значение параметра fc: abc (ожидается целое число)"},
      {"--add 0:fc=30000",
       "Значение вне допустимого диапазона: fc=30000 (допустимо: от 0 до 22050 Гц (половина "
       "частоты дискретизации))"},
      {"--add 0:WindowType=2", "Значение вне допустимого диапазона: WindowType=2 (допустимо: 0 (окно "
                               "Хэмминга) или 1 (окно Блэкмана))"},
      {"--add 1:KernelSize=300",
       "Значение вне допустимого диапазона: KernelSize=300 (допустимо: степень двойки от 8 до 1024)"},
      {"--add 9:Delay=0", "Значение вне допустимого диапазона: Delay=0 (допустимо: от 1 до 1000 мс)"},
      {"--add 9:DecayTime=5",
       "Значение вне допустимого диапазона: DecayTime=5 (допустимо: от 10 до 10000 мс)"},
      {"--add 11:DelayLines=33", "Значение вне допустимого диапазона: DelayLines=33 (допустимо: от 1 до 32)"},
      {"--add 11:DryLevel=-1",
       "Значение вне допустимого диапазона: DryLevel=-1 (допустимо: конечное число от 0)"},
      {"--add 4:Gain=1/2", "Неверное значение параметра Gain: 1/2 (ожидается 20 чисел через /)"},
      {"--disable 0", "В цепочке нет фильтра в позиции 0 (цепочка пуста)"},
      {"--add 9 --disable 3", "В цепочке нет фильтра в позиции 3 (позиции от 0 до 0)"},
      {"--disable 16", "Позиция фильтра для --disable должна быть от 0 до 15: 16"},
      {"--out-format 36", "Номер формата --out-format должен быть от 0 до 35: 36"},
      {"--rate 0", "Частота дискретизации --rate должна быть от 1 до 1000000 Гц: 0"},
      {"--seconds 0 --capture 0", "Число секунд для --seconds должно быть больше 0 и не больше 10000000: 0"},
      {"--tail -1", "Число секунд для --tail должно быть от 0 до 10000000: -1"},
      {"--block-frames 100 --capture 0",
       "Размер блока --block-frames должен быть 64, 128, 256, 512, 1024 или 2048 отсчётов: 100"},
      {"--block-frames 0 --capture 0",
       "Размер блока --block-frames должен быть 64, 128, 256, 512, 1024 или 2048 отсчётов: 0"},
      {"--block-frames 4096 --capture 0",
       "Размер блока --block-frames должен быть 64, 128, 256, 512, 1024 или 2048 отсчётов: 4096"},
      {"--block-frames 64 --add 0", "--block-frames действует только при обработке входа"},
      {"--save-filter 3 x", "В цепочке нет фильтра в позиции 3 (цепочка пуста)"},
      {"--play", "Не задано значение для --play"},
      {"--make-default --capture 0", "--make-default действует только со входом --apps"},
      {"--apps=", "Имя --apps не может быть пустым или содержать кавычки и обратную косую черту: "},
      {"--apps \\\\", "Имя --apps не может быть пустым или содержать кавычки и обратную косую черту: \\"},
      {"--apps --capture 0", "Вход можно задать только один раз"},
  };
  for (const auto& [args, message] : cases) {
    const auto run = Run(args);
    EXPECT_EQ(run.Status, 2) << args;
    EXPECT_EQ(run.Err, message + "\nПодробнее: sonolab-render --help\n") << args;
  }
  const auto help = Run("--help");
  EXPECT_EQ(help.Status, 0);
  for (const char* option :
       {"--rate",        "--chain",   "--add",       "--disable",      "--load-filter",  "--save-chain",
        "--save-filter", "--print",   "--response",  "--out-format",   "--list-formats", "--list-devices",
        "--capture",     "--wave-in", "--in-format", "--seconds",      "--tail",         "--play",
        "--wave-out",    "--force",   "--version",   "--block-frames", "--apps",         "--make-default"}) {
    EXPECT_NE(help.Out.find(option), std::string::npos) << option;
  }
}

TEST_F(RenderCommand, HelpNamesEveryCatalogueTypeInOrderOnLinesOfAtMostAHundredCharacters) {
  const auto help = Run("--help");
  ASSERT_EQ(help.Status, 0);
  std::istringstream lines(help.Out);
  std::string line;
  std::string flowing; // the help's words, one space between each
  while (std::getline(lines, line)) {
    const auto characters =
        std::count_if(line.begin(), line.end(), [](char c) { return (c & 0xC0) != 0x80; });
    EXPECT_LE(characters, 100) << line;
    std::istringstream words(line);
    for (std::string word; words >> word;) {
      flowing += " " + word;
    }
  }
  size_t at = 0;
  for (const TFilterDescriptor* type : FilterCatalogue) {
    const bool last = type == FilterCatalogue.back();
    const std::string entry = " " + std::to_string(type->Type) + " " + type->ShortName + (last ? " (" : ",");
    at = flowing.find(entry, at);
    ASSERT_NE(at, std::string::npos) << entry;
  }
}

TEST_F(RenderCommand, ListFormatsGivesTheThirtySixTableFormatsWithTheirNumbersAndVersionTheVersion) {
  const auto run = Run("--list-formats");
  ASSERT_EQ(run.Status, 0);
  std::istringstream lines(run.Out);
  std::string line;
  int n = 0;
  while (std::getline(lines, line)) {
    EXPECT_EQ(line.substr(0, line.find('\t')), std::to_string(n));
    ++n;
  }
  EXPECT_EQ(n, 36);
  EXPECT_NE(run.Out.find("0\t8,000 КГц, 8 бит, моно (7 Кб/с)\n"), std::string::npos);
  EXPECT_NE(run.Out.find("31\t44,100 КГц, 16 бит, стерео (172 Кб/с)\n"), std::string::npos);
  const auto version = Run("--version");
  EXPECT_EQ(version.Status, 0);
  EXPECT_EQ(version.Out, "sonolab-render 0.1\n");
}

TEST_F(RenderCommand, ResponseOfALowPassIsFlatBelowItsCutOffAndFallsAbove) {
  const auto run = Run("--add 0 --response");
  ASSERT_EQ(run.Status, 0) << run.Err;
  std::istringstream lines(run.Out);
  int bins = 0, bin;
  double hz, db;
  std::string dbText;
  while (lines >> bin >> hz >> dbText) {
    EXPECT_EQ(bin, bins);
    EXPECT_NEAR(hz, bins * 44100.0 / 1024, 0.001);
    db = dbText == "-inf" ? -1e9 : std::stod(dbText);
    if (hz < 700) {
      EXPECT_NEAR(db, 0.0, 0.5) << hz;
    }
    if (hz > 2000) {
      EXPECT_LT(db, -40.0) << hz;
    }
    ++bins;
  }
  EXPECT_EQ(bins, 512);
}

TEST_F(RenderCommand, RenderKeepsEveryFrameAndReportsItsFigures) {
  // 3 s of stereo at 22050 Hz: 2048-frame blocks, 32 whole blocks and a short one of 614 frames.
  WriteWave(Path("in.wav"), 22050, 2, Sine16(440, 22050, 2, 66150, 8000));
  const auto run = Run(Path("in.wav") + " " + Path("a.wav") + " " + Path("b.wav") + " --add 0:fc=5000");
  ASSERT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(run.Out.rfind("blocks=33 frames=66150 seconds=3.000 mean_ms=", 0), 0u) << run.Out;
  EXPECT_NE(run.Out.find(" realtime="), std::string::npos);
  EXPECT_EQ(run.Out.substr(run.Out.find(" clipped=")), " clipped=0 dropouts=0\n");
  EXPECT_EQ(run.Err, "");
  // A set-up of files only has no clock to keep, and --verbose says so.
  const auto told = Run(Path("in.wav") + " " + Path("c.wav") + " --verbose");
  EXPECT_EQ(told.Err, "Блок обработки: 2048 отсчётов (92,9 мс)\nРеальное время: нет (только файлы)\n");
  for (const char* name : {"a.wav", "b.wav"}) {
    const auto bytes = ReadBytes(Path(name));
    ASSERT_EQ(bytes.size(), 44u + 66150u * 4);
    EXPECT_EQ(U32At(bytes, 4), 36u + 66150u * 4);
    EXPECT_EQ(U32At(bytes, 40), 66150u * 4);
    EXPECT_EQ(U32At(bytes, 24), 22050u);
  }
}

TEST_F(RenderCommand, OutFormatConvertsEveryOutput) {
  WriteWave(Path("in.wav"), 44100, 2, Sine16(1000, 44100, 2, 44100, 10000));
  const auto run = Run(Path("in.wav") + " " + Path("mono8.wav") + " --out-format 28");
  ASSERT_EQ(run.Status, 0) << run.Err;
  const auto bytes = ReadBytes(Path("mono8.wav"));
  EXPECT_EQ(bytes[22], 1);             // channels
  EXPECT_EQ(bytes[34], 8);             // bits
  EXPECT_EQ(U32At(bytes, 40), 44100u); // every frame of the second
}

// SPDX-License-Identifier: GPL-3.0-or-later
// sonolab-render on real files, as a child process: inputs are never destroyed, files come out
// whole, converted outputs keep their timing, pipes work both ways with sox, errors name the file and
// the system's reason, clipping is counted, and progress shows on a terminal only.

#include "support/ChildProcess.h"
#include "support/RenderRun.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace sonotest;

namespace {

// The lines of a usage error: its message, then where the help is.
void ExpectUsageError(const TRenderRun& run, const std::string& message) {
  EXPECT_TRUE(run.Exited);
  EXPECT_EQ(run.Status, 2) << run.Err;
  EXPECT_EQ(run.Err, message + "\nПодробнее: sonolab-render --help\n");
}

std::vector<int16_t> Noise(size_t samples, unsigned seed) {
  std::vector<int16_t> s(samples);
  uint32_t x = seed * 2654435761u + 1;
  for (int16_t& v : s) {
    x = x * 1664525u + 1013904223u;
    v = static_cast<int16_t>(static_cast<int32_t>(x >> 16) - 32768) / 4;
  }
  return s;
}

class RenderFiles : public ::testing::Test {
protected:
  void TearDown() override {
    std::error_code error;
    fs::permissions(dir.Path() / "readonly", fs::perms::owner_all, error);
  }
  std::string Path(const std::string& name) const { return dir.File(name); }

  TRenderRun Run(std::vector<std::string> args, TChildOptions options = {},
                 const std::string& program = RenderProgram()) const {
    return RunRender(dir, std::move(args), std::move(options), program);
  }
  // A shell line in the test's folder, for pipes.
  int Shell(const std::string& line) const {
    return std::system(("cd '" + dir.Path().string() + "' && " + line).c_str());
  }

  TTempDir dir{"sonolab-files"};
};

} // namespace

// ---- Nothing destroyed ---------------------------------------------------------------------------

TEST_F(RenderFiles, AnOutputThatIsTheInputByAnySpellingIsRefusedAndTheInputIsUntouched) {
  WriteWave(Path("in.wav"), 8000, 1, Noise(4000, 1));
  const std::string original = ReadText(Path("in.wav"));
  fs::create_symlink(Path("in.wav"), Path("link.wav"));
  fs::create_hard_link(Path("in.wav"), Path("hard.wav"));
  const std::string in = Path("in.wav");
  for (const std::string& output :
       {in, (dir.Path() / "." / "in.wav").string(), Path("link.wav"), Path("hard.wav")}) {
    ExpectUsageError(Run({in, output, "--add", "0"}),
                     "Выходной файл " + output + " - это входной файл " + in + ": он не будет перезаписан");
    EXPECT_EQ(ReadText(in), original) << output;
  }
  // Standard input is the same file as the output.
  TChildOptions fromFile;
  fromFile.StdinPath = in;
  ExpectUsageError(Run({"-", Path("link.wav")}, fromFile),
                   "Выходной файл " + Path("link.wav") +
                       " - это входной файл - (стандартный ввод): он не будет перезаписан");
  // A settings file saved over the sound input, and one file given as two outputs.
  ExpectUsageError(Run({in, "--add", "9", "--save-chain", Path("hard.wav")}),
                   "Файл параметров " + Path("hard.wav") + " - это входной файл " + in +
                       ": он не будет перезаписан");
  ExpectUsageError(Run({in, Path("a.wav"), (dir.Path() / "." / "a.wav").string()}),
                   "Выходной файл " + (dir.Path() / "." / "a.wav").string() +
                       " задан дважды (тот же файл, что и " + Path("a.wav") + ")");
  EXPECT_EQ(ReadText(in), original);
  EXPECT_FALSE(fs::exists(Path("a.wav")));
}

TEST_F(RenderFiles, AnExistingFileIsKeptWithADeviceInputOrWhenItIsNoWaveFileUnlessForced) {
  WriteWave(Path("in.wav"), 8000, 1, Noise(4000, 2));
  const std::string original = ReadText(Path("in.wav"));
  // With a device input every name is an output: the file named first is not read, and not lost.
  ExpectUsageError(
      Run({Path("in.wav"), "--capture", "0", Path("o.wav")}),
      "Файл " + Path("in.wav") +
          " уже существует, а при входе с устройства все имена файлов - выходы; чтобы перезаписать "
          "его, добавьте --force");
  EXPECT_EQ(ReadText(Path("in.wav")), original);
  EXPECT_FALSE(fs::exists(Path("o.wav")));

  std::ofstream(Path("notes.txt")) << "not sound\n";
  ExpectUsageError(Run({Path("in.wav"), Path("notes.txt")}),
                   "Файл " + Path("notes.txt") +
                       " существует и не является файлом WAVE; чтобы перезаписать его, добавьте --force");
  EXPECT_EQ(ReadText(Path("notes.txt")), "not sound\n");
  const TRenderRun forced = Run({Path("in.wav"), Path("notes.txt"), "--force"});
  EXPECT_EQ(forced.Status, 0) << forced.Err;
  EXPECT_EQ(ReadWave(Path("notes.txt")).Frames(), 4000u);

  // An existing WAVE file is an output like any other with a file input.
  WriteWave(Path("old.wav"), 8000, 1, Noise(100, 3));
  const TRenderRun again = Run({Path("in.wav"), Path("old.wav")});
  EXPECT_EQ(again.Status, 0) << again.Err;
  EXPECT_EQ(ReadWave(Path("old.wav")).Samples, ReadWave(Path("in.wav")).Samples);
}

// ---- Whole files -----------------------------------------------------------------------------------

TEST_F(RenderFiles, EveryOutputHoldsExactlyTheFramesOfTheInput) {
  for (const uint32_t rate : {8000u, 22050u, 44100u, 48000u}) {
    for (const size_t frames : {size_t{1}, size_t{4095}, size_t{4096}, size_t{4097}, size_t{10} * rate}) {
      const std::vector<int16_t> samples = Noise(2 * frames, rate + static_cast<unsigned>(frames));
      WriteWave(Path("in.wav"), rate, 2, samples);
      // An empty chain is an exact copy; through a filter only the count can be checked.
      const TRenderRun copy = Run({Path("in.wav"), Path("copy.wav")});
      ASSERT_EQ(copy.Status, 0) << copy.Err;
      const TWaveContents out = ReadWave(Path("copy.wav"));
      EXPECT_EQ(out.DataSize, 4 * frames) << rate << " Hz, " << frames;
      EXPECT_EQ(out.RiffSize, 36 + 4 * frames);
      EXPECT_EQ(out.Samples, samples) << rate << " Hz, " << frames;
      EXPECT_EQ(copy.Out.rfind("blocks=", 0), 0u);
      EXPECT_NE(copy.Out.find(" frames=" + std::to_string(frames) + " "), std::string::npos) << copy.Out;
      if (frames == 4097) {
        const TRenderRun filtered =
            Run({Path("in.wav"), Path("f.wav"), "--add", "0", "--add", "11", "--add", "4"});
        ASSERT_EQ(filtered.Status, 0) << filtered.Err;
        EXPECT_EQ(ReadWave(Path("f.wav")).Frames(), frames);
      }
    }
  }
}

TEST_F(RenderFiles, TheTailRingsOutAnEchoAfterTheEndOfTheFile) {
  // An impulse at frame 100; the echo repeats it every L - 1 = 799 frames, each time times g.
  std::vector<int16_t> samples(2000, 0);
  samples[100] = 16000;
  WriteWave(Path("in.wav"), 8000, 1, samples);
  const TRenderRun cut = Run({Path("in.wav"), Path("cut.wav"), "--add", "9:Delay=100,DecayTime=1000"});
  ASSERT_EQ(cut.Status, 0) << cut.Err;
  EXPECT_EQ(ReadWave(Path("cut.wav")).Frames(), 2000u);
  const TRenderRun tail =
      Run({Path("in.wav"), Path("tail.wav"), "--add", "9:Delay=100,DecayTime=1000", "--tail", "1"});
  ASSERT_EQ(tail.Status, 0) << tail.Err;
  const TWaveContents out = ReadWave(Path("tail.wav"));
  ASSERT_EQ(out.Frames(), 10000u);
  const double g = std::pow(10.0, -3.0 * 100 / 1000);
  for (int k = 0; k <= 12; ++k) {
    const size_t at = 100 + 799 * static_cast<size_t>(k);
    EXPECT_NEAR(out.Samples[at], 16000 * std::pow(g, k), 1.0) << "repetition " << k;
  }
  EXPECT_NE(tail.Out.find(" frames=10000 "), std::string::npos) << tail.Out;
  ExpectUsageError(Run({"--capture", "0", "--tail", "1", Path("x.wav")}),
                   "--tail действует только со входом из файла");
}

TEST_F(RenderFiles, AnImpulseKeepsItsTimeAndAConvertedOutputItsLengthBetweenEveryPairOfRates) {
  const std::vector<std::pair<uint32_t, int>> rates = {
      {8000, 2}, {11025, 6}, {22050, 18}, {44100, 30}, {48000, 34}};
  for (const auto& [from, fromIndex] : rates) {
    const size_t frames = from * 2 / 5 + 3;
    const size_t impulse = from / 5 + 1;
    std::vector<int16_t> samples(frames, 0);
    samples[impulse] = 20000;
    WriteWave(Path("in.wav"), from, 1, samples);
    for (const auto& [to, toIndex] : rates) {
      if (from == to) {
        continue;
      }
      const TRenderRun run = Run({Path("in.wav"), Path("out.wav"), "--out-format", std::to_string(toIndex)});
      ASSERT_EQ(run.Status, 0) << run.Err;
      const TWaveContents out = ReadWave(Path("out.wav"));
      ASSERT_EQ(out.Rate, to);
      EXPECT_EQ(out.Frames(), (frames * to + from / 2) / from) << from << " -> " << to;
      size_t peak = 0;
      for (size_t i = 0; i < out.Samples.size(); ++i) {
        if (std::abs(out.Samples[i]) > std::abs(out.Samples[peak])) {
          peak = i;
        }
      }
      EXPECT_LE(std::abs(static_cast<double>(peak) - static_cast<double>(impulse) * to / from), 1.0)
          << from << " -> " << to;
    }
  }
}

// ---- Errors ----------------------------------------------------------------------------------------

namespace {

// The error box as the command line prints it: the description, the code, the source line, the call.
void ExpectFileError(const TRenderRun& run, const std::string& description, const char* code,
                     const char* call) {
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Err.rfind("Описание ошибки: " + description + "\nКод ошибки: " + code + "\nФайл \"", 0), 0u)
      << run.Err;
  EXPECT_GE(run.Err.size(), std::string(call).size() + 11);
  EXPECT_EQ(run.Err.substr(run.Err.rfind("\nФункция: ")), std::string("\nФункция: ") + call + "\n")
      << run.Err;
  // Printed once.
  EXPECT_EQ(run.Err.find("Описание ошибки"), run.Err.rfind("Описание ошибки")) << run.Err;
}

} // namespace

TEST_F(RenderFiles, FileErrorsNameTheFileAndGiveTheSystemsReasonOnce) {
  WriteWave(Path("in.wav"), 8000, 1, Noise(8000, 4));
  ExpectFileError(Run({Path("missing.wav"), Path("o.wav")}),
                  "Файл \"" + Path("missing.wav") + "\": No such file or directory", "0x00000002",
                  "CreateFile");
  fs::create_directory(Path("folder"));
  ExpectFileError(Run({Path("folder"), Path("o.wav")}), "Файл \"" + Path("folder") + "\": Is a directory",
                  "0x00000015", "CreateFile");
  ExpectFileError(Run({Path("in.wav"), "/dev/full"}), "Файл \"/dev/full\": No space left on device",
                  "0x0000001C", "WriteFile");

  // Settings files name theirs too.
  const TRenderRun chain = Run({"--chain", Path("missing.lst")});
  EXPECT_EQ(chain.Status, 1);
  EXPECT_EQ(chain.Err,
            "Невозможно открыть файл! Файл \"" + Path("missing.lst") + "\": No such file or directory\n");

  // A folder the render may not write in: as root the render runs as nobody, who may read the
  // input but not write there. Nobody may not reach the build in a folder only root may enter (a
  // checkout under /root), so nobody runs a copy of the program from the test's folder.
  fs::create_directory(Path("readonly"));
  fs::permissions(dir.Path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(Path("readonly"), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read |
                                        fs::perms::others_exec);
  TChildOptions options;
  std::string program = RenderProgram();
  if (::geteuid() == 0) {
    options.User = 65534;
    program = Path("sonolab-render");
    fs::copy_file(RenderProgram(), program);
    TChildOptions asNobody;
    asNobody.User = 65534;
    if (TChild({"/usr/bin/test", "-x", program}, asNobody).Wait(60s).Status != 0) {
      GTEST_SKIP() << "nobody cannot reach " << dir.Path() << " (the temporary folder, TMPDIR), so the "
                   << "case of a folder the render may not write in is left out";
    }
  }
  ExpectFileError(Run({Path("in.wav"), Path("readonly/o.wav")}, options, program),
                  "Файл \"" + Path("readonly/o.wav") + "\": Permission denied", "0x0000000D", "CreateFile");
}

// ---- Pipes -------------------------------------------------------------------------------------------

TEST_F(RenderFiles, PipesWorkBothWaysWithSoxOnTheOtherEnd) {
  WriteWave(Path("in.wav"), 22050, 2, Noise(2 * 30000, 5));
  // sox reads what Sonolab writes to a pipe, without a word of complaint, and finds every frame.
  ASSERT_EQ(Shell(SONOLAB_RENDER_PATH " in.wav - 2>render.err | sox -t wav - sox.wav 2>sox.err"), 0);
  EXPECT_EQ(ReadWave(Path("sox.wav")).Samples, ReadWave(Path("in.wav")).Samples);
  EXPECT_EQ(ReadText(Path("sox.err")), "");
  EXPECT_EQ(ReadText(Path("render.err")).rfind("blocks=", 0), 0u); // the summary is on standard error
  // What goes down the pipe is the sound alone: the printed chain goes to standard error too.
  ASSERT_EQ(Shell(SONOLAB_RENDER_PATH " in.wav - --add 9 --print 2>render.err | cat >stream.wav"), 0);
  const std::string stream = ReadText(Path("stream.wav"));
  EXPECT_EQ(ParseWave(stream).Frames(), 30000u);
  EXPECT_EQ(stream.size(), 44u + 30000 * 4);
  // A header that cannot be patched stands for a stream of unknown length.
  EXPECT_EQ(U32At(stream, 4), 0x7FFFF024u);
  EXPECT_EQ(U32At(stream, 40), 0x7FFFF000u);
  EXPECT_EQ(
      ReadText(Path("render.err")).rfind("0\tЭффект \"Эхо\"\ton\tDelay=100\tDecayTime=1000\nblocks=", 0), 0u);

  // Sonolab reads what sox writes to a pipe (32-bit extensible samples with a fact chunk).
  ASSERT_EQ(
      Shell(
          "sox -D -n -t wav -r 16000 -c 1 - synth 1.5 sine 700 vol 0.5 2>/dev/null | " SONOLAB_RENDER_PATH
          " - piped.wav >/dev/null 2>render.err && sox -D -n -r 16000 -c 1 -b 16 ref.wav synth 1.5 sine 700 "
          "vol 0.5"),
      0);
  const TWaveContents piped = ReadWave(Path("piped.wav"));
  const TWaveContents reference = ReadWave(Path("ref.wav"));
  ASSERT_EQ(piped.Samples.size(), reference.Samples.size());
  for (size_t i = 0; i < piped.Samples.size(); ++i) {
    ASSERT_LE(std::abs(piped.Samples[i] - reference.Samples[i]), 1) << i;
  }
  EXPECT_NE(ReadText(Path("render.err")).find("16,000 КГц, 32 бит, моно, целые"), std::string::npos);

  // Standard input and output redirected to files: the header is patched as in any file.
  ASSERT_EQ(Shell(SONOLAB_RENDER_PATH " - - <in.wav >both.wav 2>/dev/null"), 0);
  const TWaveContents both = ReadWave(Path("both.wav"));
  EXPECT_EQ(both.DataSize, 30000u * 4);
  EXPECT_EQ(both.Samples, ReadWave(Path("in.wav")).Samples);
  // Named as /dev/stdout, the output no longer has the summary written over its header.
  ASSERT_EQ(Shell(SONOLAB_RENDER_PATH " in.wav /dev/stdout >named.wav 2>render.err"), 0);
  EXPECT_EQ(ReadWave(Path("named.wav")).Samples, ReadWave(Path("in.wav")).Samples);
  EXPECT_EQ(ReadText(Path("render.err")).rfind("blocks=", 0), 0u);
}

// ---- Clipping and modern input ---------------------------------------------------------------------

TEST_F(RenderFiles, ClippedSamplesAreCountedAsTheInputPredictsAndWarnedAbout) {
  // The equaliser with every gain 2 doubles the signal (512 frames later): a sample of 20000 clips,
  // one of 5000 does not. The loud ones lie well inside the file.
  std::vector<int16_t> samples(2 * 8000);
  size_t loud = 0;
  for (size_t i = 0; i < samples.size(); ++i) {
    const bool isLoud = i >= 2000 && i < 14000 && i % 7 == 3;
    samples[i] = static_cast<int16_t>((isLoud ? 20000 : 5000) * (i % 2 == 0 ? 1 : -1));
    loud += isLoud;
  }
  WriteWave(Path("in.wav"), 8000, 2, samples);
  std::string gains = "4:Gain=2";
  for (int b = 1; b < 20; ++b) {
    gains += "/2";
  }
  const TRenderRun run = Run({Path("in.wav"), Path("out.wav"), "--add", gains});
  ASSERT_EQ(run.Status, 0) << run.Err;
  EXPECT_NE(run.Out.find(" clipped=" + std::to_string(loud) + " dropouts=0\n"), std::string::npos) << run.Out;
  char share[32];
  std::snprintf(share, sizeof share, "%.2f",
                100.0 * static_cast<double>(loud) / static_cast<double>(samples.size()));
  EXPECT_EQ(run.Err, "Предупреждение: " + std::to_string(loud) + " отсчётов (" + share +
                         " %) вышли за пределы формата и ограничены; уменьшите усиление цепочки\n");
  const TWaveContents out = ReadWave(Path("out.wav"));
  size_t atBounds = 0;
  for (const int16_t v : out.Samples) {
    atBounds += v == 32767 || v == -32768;
  }
  EXPECT_EQ(atBounds, loud);

  const TRenderRun quiet = Run({Path("in.wav"), Path("quiet.wav"), "--add", "0"});
  EXPECT_NE(quiet.Out.find(" clipped=0 dropouts=0\n"), std::string::npos) << quiet.Out;
  EXPECT_EQ(quiet.Err, "");
}

TEST_F(RenderFiles, ATwentyFourBitFileRendersAsItsSixteenBitConversionBySoxAndSaysSo) {
  ASSERT_EQ(Shell("sox -D -n -r 44100 -c 2 -b 24 in24.wav synth 1 sine 300 sine 3000 vol 0.9 && "
                  "sox -D in24.wav -b 16 ref16.wav"),
            0);
  const TRenderRun run = Run({Path("in24.wav"), Path("out.wav")});
  ASSERT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(run.Err, "Вход " + Path("in24.wav") +
                         " (44,100 КГц, 24 бит, стерео, целые) читается с преобразованием в 16 бит\n");
  const TWaveContents out = ReadWave(Path("out.wav"));
  const TWaveContents reference = ReadWave(Path("ref16.wav"));
  ASSERT_EQ(out.Samples.size(), reference.Samples.size());
  int worst = 0;
  for (size_t i = 0; i < out.Samples.size(); ++i) {
    worst = std::max(worst, std::abs(out.Samples[i] - reference.Samples[i]));
  }
  EXPECT_LE(worst, 1);
  EXPECT_EQ(out.Bits, 16);
}

// ---- Progress ----------------------------------------------------------------------------------------

TEST_F(RenderFiles, ProgressShowsOnATerminalAndNowhereElse) {
  WriteWave(Path("in.wav"), 8000, 1, Noise(8000 * 20, 6));
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const std::string terminal = ::ptsname(master);
  {
    TChildOptions options;
    options.StdoutPath = Path("render.out");
    options.StderrPath = terminal;
    TChild render({SONOLAB_RENDER_PATH, Path("in.wav"), Path("out.wav")}, options);
    std::string seen;
    char chunk[512];
    const auto until = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < until) {
      const bool running = render.Running();
      const int flags = ::fcntl(master, F_GETFL);
      ::fcntl(master, F_SETFL, flags | O_NONBLOCK);
      ssize_t n;
      while ((n = ::read(master, chunk, sizeof chunk)) > 0) {
        seen.append(chunk, static_cast<size_t>(n));
      }
      if (!running) {
        break;
      }
      std::this_thread::sleep_for(5ms);
    }
    EXPECT_NE(seen.find("\rОбработано "), std::string::npos) << seen;
    EXPECT_NE(seen.find(" %"), std::string::npos) << seen;
    EXPECT_NE(seen.find("из 20.0 с"), std::string::npos) << seen;
    EXPECT_EQ(ReadText(Path("render.out")).rfind("blocks=", 0), 0u);
  }
  // Sound is not written to a terminal.
  {
    TChildOptions options;
    options.StdoutPath = terminal;
    options.StderrPath = Path("render.err");
    TChild render({SONOLAB_RENDER_PATH, Path("in.wav"), "-"}, options);
    const auto end = render.Wait(60s);
    EXPECT_EQ(end.Status, 2);
    EXPECT_EQ(ReadText(Path("render.err")),
              "Звук не выводится на терминал: направьте стандартный вывод в файл или канал\n"
              "Подробнее: sonolab-render --help\n");
  }
  ::close(master);
  // With standard error in a file there is no progress line.
  const TRenderRun plain = Run({Path("in.wav"), Path("out.wav")});
  EXPECT_EQ(plain.Status, 0);
  EXPECT_EQ(plain.Err, "");
}

// SPDX-License-Identifier: GPL-3.0-or-later
// sonolab-render with sound files other than WAVE, as a child process: FLAC, MP3, Ogg Vorbis and Opus
// inputs through a chain to FLAC and Ogg Vorbis (exactly as the same sound as WAVE where the kinds are
// lossless), the rules for output kinds and existing files, the batch options, and the README's
// recipe for a folder on every core.

#include "support/ChildProcess.h"
#include "support/PcmSignals.h"
#include "support/RenderRun.h"
#include "support/SoundFiles.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace sonotest;

namespace {

class RenderSoundFiles : public ::testing::Test {
protected:
  std::string Path(const std::string& name) const { return dir.File(name); }

  TRenderRun Run(std::vector<std::string> args) const { return RunRender(dir, std::move(args)); }
  int Shell(const std::string& line) const { return ShellIn(dir.Path().string(), line); }

  TTempDir dir{"sonolab-sound-render"};
};

void ExpectUsageError(const TRenderRun& run, const std::string& message) {
  EXPECT_EQ(run.Status, 2) << run.Err;
  EXPECT_EQ(run.Err, message + "\nПодробнее: sonolab-render --help\n");
}

} // namespace

TEST_F(RenderSoundFiles, FlacMp3OggAndOpusGoThroughAChainToFlacAndOggAsTheirWaveDoes) {
  // 1 kHz on the left, 500 Hz on the right, through a low-pass and an echo.
  ASSERT_EQ(Shell("sox -D -n -r 48000 -c 2 -b 16 ref.wav synth 3.09 sine 1000 sine 500 vol 0.3 && sox "
                  "ref.wav in.flac "
                  "&& sox ref.wav in.mp3 && sox ref.wav in.ogg && opusenc --quiet ref.wav in.opus"),
            0);
  const std::vector<std::string> chain = {"--add", "0:fc=4000", "--add", "9:Delay=120,DecayTime=600"};
  const auto render = [&](std::vector<std::string> files) {
    files.insert(files.end(), chain.begin(), chain.end());
    return Run(files);
  };
  ASSERT_EQ(render({Path("ref.wav"), Path("ref-out.wav")}).Status, 0);
  const std::vector<int16_t> reference = ReadWave(Path("ref-out.wav")).Samples;
  const double level[2] = {ToneDb(reference, 2, 0, 1000, 1, 48000), ToneDb(reference, 2, 1, 500, 1, 48000)};
  for (const std::string kind : {"flac", "mp3", "ogg", "opus"}) {
    const TRenderRun run = render({Path("in." + kind), Path(kind + ".flac"), Path(kind + ".ogg")});
    ASSERT_EQ(run.Status, 0) << kind << ": " << run.Err;
    const size_t frames = DecodeSoundFile(Path("in." + kind)).Frames(); // every one, through the chain
    EXPECT_NE(run.Out.find(" frames=" + std::to_string(frames) + " "), std::string::npos) << run.Out;
    const std::string name = kind == "mp3" ? "MP3" : kind == "ogg" ? "Ogg Vorbis" : "Opus";
    EXPECT_EQ(run.Err, kind == "flac" ? ""
                                      : "Вход " + Path("in." + kind) + " (" + name +
                                            ", 48,000 КГц, стерео) читается с преобразованием в 16 бит\n");
    for (const std::string out : {".flac", ".ogg"}) {
      const TDecoded d = DecodeSoundFile(Path(kind + out));
      EXPECT_EQ(d.Format,
                out == ".flac" ? SF_FORMAT_FLAC | SF_FORMAT_PCM_16 : SF_FORMAT_OGG | SF_FORMAT_VORBIS);
      EXPECT_EQ(d.Rate, 48000);
      EXPECT_EQ(d.Frames(), frames) << kind << out;
      EXPECT_NEAR(ToneDb(d.Samples, 2, 0, 1000, 1, 48000), level[0], 0.5) << kind << out;
      EXPECT_NEAR(ToneDb(d.Samples, 2, 1, 500, 1, 48000), level[1], 0.5) << kind << out;
    }
  }
  // Lossless in and out: the WAVE render exactly.
  EXPECT_TRUE(DecodeSoundFile(Path("flac.flac")).Samples == reference);
}

TEST_F(RenderSoundFiles, OutputKindsAndExistingFilesFollowTheRulesBeforeAnythingIsWritten) {
  WriteWave(Path("in.wav"), 44100, 2, Noise16(2 * 5000, 1));
  // Opus cannot hold 44,100 КГц: nothing is written, not even a settings file asked for first.
  ExpectUsageError(Run({Path("in.wav"), "--add", "0", "--save-chain", Path("c.lst"), Path("x.opus")}),
                   "Выходной файл " + Path("x.opus") +
                       ": формат Opus не принимает частоту 44,100 КГц (допустимы 8, 12, 16, 24 и 48 КГц)");
  EXPECT_FALSE(fs::exists(Path("x.opus")));
  EXPECT_FALSE(fs::exists(Path("c.lst")));
  EXPECT_EQ(Run({Path("in.wav"), Path("x.opus"), "--out-format", "35"}).Status, 0);
  EXPECT_EQ(DecodeSoundFile(Path("x.opus")).Rate, 48000);

  // A pipe takes Ogg Vorbis and Opus as they come, not FLAC; the name "-" takes --out-type.
  ASSERT_EQ(Shell(SONOLAB_RENDER_PATH " in.wav - --out-type flac 2>flac.err | cat >piped.flac"), 0);
  EXPECT_EQ(ReadText(Path("flac.err")),
            "Выходной файл - (стандартный вывод): FLAC нельзя записать в канал, на "
            "терминал или устройство: заголовок файла дописывается в его начало в "
            "конце записи\nПодробнее: sonolab-render --help\n");
  EXPECT_EQ(FileSize(Path("piped.flac")), 0u);
  ASSERT_EQ(Shell(SONOLAB_RENDER_PATH " in.wav - --out-type ogg 2>/dev/null | cat >piped.ogg"), 0);
  EXPECT_EQ(DecodeSoundFile(Path("piped.ogg")).Frames(), 5000u);
  ASSERT_EQ(Shell(SONOLAB_RENDER_PATH " in.wav - --out-type flac >redirected.flac 2>/dev/null"), 0);
  EXPECT_TRUE(DecodeSoundFile(Path("redirected.flac")).Samples == ReadWave(Path("in.wav")).Samples);
  // Names ending otherwise follow --out-type; .wav stays WAVE.
  ASSERT_EQ(Run({Path("in.wav"), Path("a.snd"), Path("b.wav"), "--out-type", "flac"}).Status, 0);
  EXPECT_EQ(DecodeSoundFile(Path("a.snd")).Format, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
  EXPECT_TRUE(ReadWave(Path("b.wav")).Valid);
  ExpectUsageError(Run({Path("in.wav"), Path("c.flac"), "--out-type", "mp3"}),
                   "Вид файла --out-type должен быть wav, flac, ogg или opus: mp3");

  // An existing file is overwritten only when it holds what the output writes.
  const std::string wave = ReadText(Path("b.wav"));
  WriteBytes(Path("old.flac"), wave.data(), wave.size());
  ExpectUsageError(Run({Path("in.wav"), Path("old.flac")}),
                   "Файл " + Path("old.flac") +
                       " существует и не является файлом FLAC; чтобы перезаписать его, "
                       "добавьте --force");
  EXPECT_EQ(ReadText(Path("old.flac")), wave);
  fs::copy_file(Path("piped.ogg"), Path("old.opus"));
  for (const std::string name : {"redirected.flac", "old.opus"}) {
    const TRenderRun again = Run({Path("in.wav"), Path(name), "--out-format", "35"});
    EXPECT_EQ(again.Status, 0) << again.Err;
    EXPECT_EQ(DecodeSoundFile(Path(name)).Rate, 48000) << name;
  }
  EXPECT_EQ(Run({Path("in.wav"), Path("old.flac"), "--force"}).Status, 0);
  EXPECT_EQ(DecodeSoundFile(Path("old.flac")).Format, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
}

TEST_F(RenderSoundFiles, QuietAndTheJsonSummaryServeABatchDriver) {
  ASSERT_EQ(Shell("sox -n -r 22050 -c 1 -b 24 in.flac synth 0.5 sine 300"), 0);
  // Quiet: not even the note on the 24-bit input.
  const TRenderRun quiet = Run({Path("in.flac"), Path("q.flac"), "--quiet"});
  EXPECT_EQ(quiet.Status, 0);
  EXPECT_EQ(quiet.Out, "");
  EXPECT_EQ(quiet.Err, "");
  // One JSON object, with the names as given (escaped) and the exit status.
  const std::string odd = Path("say \"hi\"\\.ogg");
  for (const std::vector<std::string>& extra :
       {std::vector<std::string>{"--summary", "json"}, {"-q", "--summary", "json"}}) {
    std::vector<std::string> args = {Path("in.flac"), odd};
    args.insert(args.end(), extra.begin(), extra.end());
    const TRenderRun json = Run(args);
    ASSERT_EQ(json.Status, 0) << json.Err;
    const std::string escapedOdd = Path("say \\\"hi\\\"\\\\.ogg");
    EXPECT_EQ(
        json.Out.rfind("{\"input\":\"" + Path("in.flac") + "\",\"outputs\":[\"" + escapedOdd +
                           "\"],\"status\":0,\"blocks\":6,\"frames\":11025,\"seconds\":0.500,\"mean_ms\":",
                       0),
        0u)
        << json.Out;
    EXPECT_NE(json.Out.find(",\"clipped\":0,\"dropouts\":0}\n"), std::string::npos) << json.Out;
    EXPECT_EQ(std::count(json.Out.begin(), json.Out.end(), '\n'), 1);
  }
  EXPECT_EQ(Run({Path("in.flac"), Path("n.flac"), "--summary", "none"}).Out, "");
  ExpectUsageError(Run({Path("in.flac"), "--summary", "xml"}),
                   "Вид итога --summary должен быть text, json или none: xml");
}

TEST_F(RenderSoundFiles, TheReadmesFolderRecipeRendersEveryFileOnTwoJobs) {
  // The recipe as the README shows it: the first sh block after its heading.
  std::ifstream readme(SONOLAB_SOURCE_DIR "/README.md");
  std::string line, recipe;
  bool heading = false, inBlock = false;
  while (std::getline(readme, line)) {
    if (line == "### A folder on every core") {
      heading = true;
    } else if (heading && !inBlock && line == "```sh") {
      inBlock = true;
    } else if (inBlock && line == "```") {
      break;
    } else if (inBlock) {
      recipe += line + "\n";
    }
  }
  ASSERT_NE(recipe.find("parallel"), std::string::npos) << recipe;
  WriteBytes(Path("recipe.sh"), recipe.data(), recipe.size());

  // A folder of every kind at several depths, and a file the recipe leaves alone.
  fs::create_directories(Path("in/sub/deep"));
  WriteWave(Path("in/sub/e.wav"), 22050, 1, Noise16(22050, 5));
  ASSERT_EQ(Shell("sox -n -r 44100 -c 2 in/a.flac synth 2.3 pinknoise vol 0.5 && "
                  "sox -n -r 32000 -c 1 in/sub/b.mp3 synth 1.7 sine 440 && "
                  "sox -n -r 16000 -c 2 in/sub/deep/c.ogg synth 1.1 sine 1000 && "
                  "sox -n -r 8000 -c 1 -b 16 in/D.WAV synth 0.9 sine 300 && echo notes >in/notes.txt "
                  "&& " SONOLAB_RENDER_PATH " --add 0:fc=3000 --add 11 --save-chain chain.lst >/dev/null"),
            0);
  TChildOptions options;
  options.Environment = {"PATH=" + fs::path(SONOLAB_RENDER_PATH).parent_path().string() + ":" +
                             std::getenv("PATH"),
                         "PARALLEL=-j2"};
  options.StdoutPath = Path("recipe.out");
  options.StderrPath = Path("recipe.err");
  TChild run({"/bin/bash", "-c", "cd '" + dir.Path().string() + "' && . ./recipe.sh"}, options);
  const TChildExit end = run.Wait(300s);
  ASSERT_TRUE(end.Exited && !end.Hung);
  ASSERT_EQ(end.Status, 0) << ReadText(Path("recipe.err"));
  EXPECT_EQ(ReadText(Path("recipe.err")), "");

  const std::vector<std::pair<std::string, std::string>> pairs = {
      {"in/a.flac", "out/a.flac"},
      {"in/sub/b.mp3", "out/sub/b.flac"},
      {"in/sub/deep/c.ogg", "out/sub/deep/c.flac"},
      {"in/D.WAV", "out/D.flac"},
      {"in/sub/e.wav", "out/sub/e.flac"}};
  const std::string summaries = ReadText(Path("renders.jsonl"));
  for (const auto& [in, out] : pairs) {
    const TDecoded source = DecodeSoundFile(Path(in));
    const TDecoded rendered = DecodeSoundFile(Path(out));
    EXPECT_EQ(rendered.Format, SF_FORMAT_FLAC | SF_FORMAT_PCM_16) << out;
    EXPECT_EQ(rendered.Rate, source.Rate) << out;
    EXPECT_EQ(rendered.Channels, source.Channels) << out;
    EXPECT_EQ(rendered.Frames(), source.Frames()) << out;
    EXPECT_NE(summaries.find("{\"input\":\"" + in.substr(3) + "\",\"outputs\":[\"../" + out +
                             "\"],\"status\":0,\"blocks\":"),
              std::string::npos)
        << in << "\n"
        << summaries;
  }
  EXPECT_EQ(std::count(summaries.begin(), summaries.end(), '\n'), 5);
  EXPECT_FALSE(fs::exists(Path("out/notes.flac")));
  // Each output is what one render of its own gives.
  ASSERT_EQ(Run({"--chain", Path("chain.lst"), Path("in/a.flac"), Path("alone.flac")}).Status, 0);
  EXPECT_TRUE(DecodeSoundFile(Path("alone.flac")).Samples == DecodeSoundFile(Path("out/a.flac")).Samples);
}

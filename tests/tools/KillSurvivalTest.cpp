// SPDX-License-Identifier: GPL-3.0-or-later
// What a WAVE recording of sonolab-render is worth when the render does not end normally: killed
// outright it is still a valid file that holds all but at most the last second of what was written;
// stopped by SIGINT or SIGTERM it is complete and the exit status says it was interrupted (128 + the
// signal); a failing disk ends the render with the "WriteFile" error, naming the file and the system's
// reason, and leaves whole blocks under a header that describes them.

#include "devices/WaveFile.h"
#include "support/ChildProcess.h"
#include "support/SoundFiles.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace sonotest;

namespace {

constexpr uint32_t Rate = 44100;
constexpr uint32_t BytesPerSecond = Rate * 4;
constexpr uint32_t BlockBytes = 4096 * 4;
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SONOLAB_SURVIVAL_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SONOLAB_SURVIVAL_SANITIZED 1
#endif

// The sanitized render is slow: half a minute of input is still cut at 3 and 10 s, and its whole
// reference render no longer dominates the sanitizer passes.
#ifdef SONOLAB_SURVIVAL_SANITIZED
constexpr int InputSeconds = 30;
#else
constexpr int InputSeconds = 120;
#endif

// Enough work per block that a render of two minutes of sound lasts a while: in the optimised build
// two equalisers, two 32-line reverberations, an echo and a long low-pass; a sanitizer slows the
// render enough with two of them.
#ifdef SONOLAB_SURVIVAL_SANITIZED
const std::vector<std::string> HeavyChain = {"--add", "4", "--add", "11:DelayLines=32"};
#else
const std::vector<std::string> HeavyChain = {"--add", "4",
                                             "--add", "4",
                                             "--add", "11:DelayLines=32",
                                             "--add", "11:DelayLines=32",
                                             "--add", "9",
                                             "--add", "0:KernelSize=1024,fc=5000"};
#endif

void WriteInput(const std::string& path, int seconds) {
  const uint32_t frames = Rate * static_cast<uint32_t>(seconds);
  std::vector<int16_t> samples(static_cast<size_t>(frames) * 2);
  for (uint32_t n = 0; n < frames; ++n) {
    const double t = static_cast<double>(n) / Rate;
    samples[2 * n] = static_cast<int16_t>(std::lround(8000 * std::sin(2 * std::numbers::pi * 440 * t)));
    samples[2 * n + 1] = static_cast<int16_t>(std::lround(5000 * std::sin(2 * std::numbers::pi * 1250 * t)));
  }
  WriteWave(path, Rate, 2, samples);
}

struct THeader {
  uint32_t RiffSize = 0;
  uint32_t DataSize = 0;
  uint64_t FileData = 0; // sample bytes physically in the file
};

// The writer's 44-byte header, checked field by field for the stereo 16-bit format.
THeader CheckHeader(const std::string& bytes) {
  THeader h;
  EXPECT_GE(bytes.size(), 44u);
  if (bytes.size() < 44) {
    return h;
  }
  EXPECT_EQ(bytes.substr(0, 4), "RIFF");
  EXPECT_EQ(bytes.substr(8, 8), "WAVEfmt ");
  EXPECT_EQ(U32At(bytes, 16), 16u);
  EXPECT_EQ(U32At(bytes, 20), 1u | (2u << 16));
  EXPECT_EQ(U32At(bytes, 24), Rate);
  EXPECT_EQ(U32At(bytes, 28), BytesPerSecond);
  EXPECT_EQ(U32At(bytes, 32), 4u | (16u << 16));
  EXPECT_EQ(bytes.substr(36, 4), "data");
  h.RiffSize = U32At(bytes, 4);
  h.DataSize = U32At(bytes, 40);
  h.FileData = bytes.size() - 44;
  EXPECT_EQ(h.RiffSize, 36 + h.DataSize);
  return h;
}

// Blocks the reader gets out of the file before its end-of-file notice.
int64_t ReaderBlocks(const std::string& path) {
  TWAVEFileRecordingDevice reader;
  reader.SetFileName(path);
  int64_t blocks = 0;
  try {
    reader.Open();
    EXPECT_EQ(reader.Buffer().Format(), MakePCMFormat(Rate, 2, 16));
    for (;;) {
      reader.Read();
      ++blocks;
    }
  } catch (const TDSPException& e) {
    EXPECT_NE(e.Informational, 0) << e.Operation << " " << e.Description;
    EXPECT_EQ(e.Description, "Достигнут конец файла");
  }
  return blocks;
}

bool SoxAccepts(const std::string& path) {
  const std::string quiet = " >/dev/null 2>&1";
  return std::system(("sox --i '" + path + "'" + quiet).c_str()) == 0 &&
         std::system(("sox '" + path + "' -n stat" + quiet).c_str()) == 0;
}

// The error box's text for a failed write of the output file, as the command line prints it, once.
void ExpectWriteFileError(const std::string& err, const std::string& description, const std::string& code) {
  EXPECT_EQ(err.rfind("Описание ошибки: " + description + "\nКод ошибки: " + code +
                          "\nФайл \"VirtDevs.cpp\", строка ",
                      0),
            0u)
      << err;
  EXPECT_NE(err.find("\nФункция: WriteFile\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("Описание ошибки"), err.rfind("Описание ошибки")) << err;
}

class RenderSurvival : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    dir = std::make_unique<TTempDir>("sonolab-survival");
    WriteInput(Path("in.wav"), InputSeconds);
  }
  // The whole render, made once for the tests that compare the content of cut ones with it.
  static const std::string& Reference() {
    if (reference.empty()) {
      TChildOptions options;
      options.StderrPath = Path("reference.err");
      TChild render(Arguments(Path("reference.wav")), options);
      const auto end = render.Wait(600s);
      EXPECT_TRUE(end.Exited && end.Status == 0) << ReadText(Path("reference.err"));
      reference = ReadText(Path("reference.wav"));
      EXPECT_EQ(reference.size(), 44u + InputSeconds * BytesPerSecond); // every frame
    }
    return reference;
  }
  static void TearDownTestSuite() {
    reference.clear();
    dir.reset();
  }

  static std::string Path(const std::string& name) { return dir->File(name); }
  static std::vector<std::string> Arguments(const std::string& output) {
    std::vector<std::string> args = {SONOLAB_RENDER_PATH, Path("in.wav"), output};
    args.insert(args.end(), HeavyChain.begin(), HeavyChain.end());
    return args;
  }

  // Returns once the render's output holds more than `seconds` of sound. The output must not exist
  // before the render starts.
  static void WaitForSound(TChild& render, const std::string& output, double seconds) {
    const auto until = std::chrono::steady_clock::now() + 120s;
    while (FileSize(output) <= 44 + static_cast<uint64_t>(seconds * BytesPerSecond)) {
      ASSERT_TRUE(render.Running()) << "the render ended before the file held " << seconds << " s";
      ASSERT_LT(std::chrono::steady_clock::now(), until) << "the output does not grow";
      std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(render.Running()) << "the render ended before it could be stopped";
  }

  // The samples of a cut file are the first samples of the whole render.
  static void ExpectPrefixOfReference(const std::string& bytes, uint64_t dataBytes) {
    const std::string& whole = Reference();
    ASSERT_LE(44 + dataBytes, whole.size());
    EXPECT_TRUE(std::memcmp(bytes.data() + 44, whole.data() + 44, dataBytes) == 0);
  }

  static inline std::unique_ptr<TTempDir> dir;
  static inline std::string reference;
};

} // namespace

TEST_F(RenderSurvival, AKilledRenderLeavesAValidFileMissingAtMostTheLastSecond) {
  for (const double seconds : {3.0, 10.0}) {
    const std::string output = Path("killed.wav");
    fs::remove(output);
    TChild render(Arguments(output), {});
    WaitForSound(render, output, seconds);
    render.Signal(SIGKILL);
    const auto end = render.Wait(30s);
    ASSERT_FALSE(end.Exited);
    ASSERT_EQ(end.Status, SIGKILL);

    const std::string bytes = ReadText(output);
    const THeader h = CheckHeader(bytes);
    // The header never claims more than is there, and lags the data by less than a second.
    EXPECT_LE(h.DataSize, h.FileData);
    EXPECT_LT(h.FileData - h.DataSize, BytesPerSecond) << "header " << h.DataSize << ", file " << h.FileData;
    EXPECT_GE(h.DataSize, seconds * BytesPerSecond - BytesPerSecond);
    EXPECT_EQ(h.DataSize % BlockBytes, 0u);
    ExpectPrefixOfReference(bytes, h.FileData);

    EXPECT_EQ(ReaderBlocks(output), h.DataSize / BlockBytes);
    EXPECT_TRUE(SoxAccepts(output));
  }
}

TEST_F(RenderSurvival, SigintAndSigtermEndTheRenderAsInterruptedWithACompleteHeader) {
  for (const int signal : {SIGINT, SIGTERM}) {
    const std::string output = Path("stopped.wav");
    fs::remove(output);
    TChildOptions options;
    options.StdoutPath = Path("stopped.out");
    options.StderrPath = Path("stopped.err");
    std::vector<std::string> args = Arguments(output);
    args.insert(args.begin() + 3, Path("stopped.flac")); // a FLAC output beside the WAVE one
    TChild render(args, options);
    WaitForSound(render, output, 3.0);
    render.Signal(signal);
    const auto end = render.Wait(60s);
    ASSERT_TRUE(end.Exited) << "signal " << signal << " ended the render by signal " << end.Status;
    EXPECT_EQ(end.Status, 128 + signal) << ReadText(Path("stopped.err"));
    EXPECT_EQ(ReadText(Path("stopped.out")).rfind("blocks=", 0), 0u);

    const std::string bytes = ReadText(output);
    const THeader h = CheckHeader(bytes);
    EXPECT_EQ(h.DataSize, h.FileData) << "signal " << signal;
    EXPECT_EQ(h.RiffSize, bytes.size() - 8);
    EXPECT_EQ(h.DataSize % BlockBytes, 0u);
    EXPECT_LT(h.DataSize, InputSeconds * BytesPerSecond - BytesPerSecond) << "the render was not cut short";
    ExpectPrefixOfReference(bytes, h.FileData);
    EXPECT_EQ(ReaderBlocks(output), h.DataSize / BlockBytes);
    EXPECT_TRUE(SoxAccepts(output));
    // The FLAC file is complete too, with the same sound.
    EXPECT_TRUE(DecodeSoundFile(Path("stopped.flac")).Samples == ReadWave(output).Samples) << signal;
  }
}

TEST_F(RenderSurvival, AFullDeviceEndsTheRenderWithTheWriteFileError) {
  TChildOptions options;
  options.StderrPath = Path("full.err");
  TChild render({SONOLAB_RENDER_PATH, Path("in.wav"), "/dev/full"}, options);
  const auto end = render.Wait(60s);
  ASSERT_TRUE(end.Exited);
  EXPECT_EQ(end.Status, 1);
  ExpectWriteFileError(ReadText(Path("full.err")), "Файл \"/dev/full\": No space left on device",
                       "0x0000001C");
}

TEST_F(RenderSurvival,
       AWriteRefusedPartWayEndsWithTheWriteFileErrorAndLeavesWholeBlocksUnderAMatchingHeader) {
  // A file-size limit a little below 62 blocks: the 62nd block is written only in part. The render
  // does not die of SIGXFSZ: it reports the write and completes the file.
  const std::string output = Path("limited.wav");
  TChildOptions options;
  options.StderrPath = Path("limited.err");
  options.FileSizeLimit = 1000000;
  TChild render({SONOLAB_RENDER_PATH, Path("in.wav"), output}, options);
  const auto end = render.Wait(60s);
  ASSERT_TRUE(end.Exited);
  EXPECT_EQ(end.Status, 1);
  ExpectWriteFileError(ReadText(Path("limited.err")), "Файл \"" + output + "\": File too large",
                       "0x0000001B");

  const std::string bytes = ReadText(output);
  const THeader h = CheckHeader(bytes);
  EXPECT_EQ(h.DataSize, 61 * BlockBytes);
  EXPECT_EQ(h.FileData, h.DataSize);
  EXPECT_EQ(ReaderBlocks(output), 61);
  EXPECT_TRUE(SoxAccepts(output));
}

// SPDX-License-Identifier: GPL-3.0-or-later
// sonolab-render against a disk that fails at the end of a file and against names that are no small
// regular file: a file not completed is an error that names it, a failed settings save leaves the old
// file byte for byte, and a settings load of a pipe, a device, a folder or a huge file ends at once.

#include "support/ChildProcess.h"
#include "support/RenderRun.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace sonotest;

namespace {

class FileSafety : public ::testing::Test {
protected:
  std::string Path(const std::string& name) const { return dir.File(name); }
  // The program run with the failing disk preloaded: `call` fails for the files whose path holds `path`.
  TRenderRun Run(std::vector<std::string> args, const std::string& path = "", const std::string& call = "",
                 uint64_t room = 0) const {
    TChildOptions options;
    options.Environment = {"LD_PRELOAD=" SONOLAB_FAILING_DISK_PATH, "SONOLAB_FAIL_PATH=" + path,
                           "SONOLAB_FAIL_CALL=" + call, "SONOLAB_FAIL_ROOM=" + std::to_string(room),
                           "ASAN_OPTIONS=verify_asan_link_order=0"};
    return RunRender(dir, std::move(args), std::move(options));
  }
  std::set<std::string> Names() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.Path())) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }
  TTempDir dir{"sonolab-safety"};
};

} // namespace

TEST_F(FileSafety, AFileOutputWhoseEndFailsIsAnErrorThatNamesItOnceAndNoSuccess) {
  std::vector<int16_t> noise(8000 + 123);
  for (size_t i = 0; i < noise.size(); ++i) {
    noise[i] = static_cast<int16_t>((i * 7919 % 4001) * 8 - 16000);
  }
  WriteWave(Path("in.wav"), 8000, 1, noise);
  struct TCase {
    const char* Out;
    const char* Call;
    const char* Reason;
    const char* Code;
    const char* Function;
  };
  const TCase cases[] = {
      // The disk fills while the encoder writes its last frame or page, when the file is closed.
      {"o.flac", "write", "No space left on device", "0x0000001C", "WriteFile"},
      {"o.ogg", "write", "No space left on device", "0x0000001C", "WriteFile"},
      {"o.wav", "fsync", "Input/output error", "0x00000005", "FlushFileBuffers"},
      {"o.flac", "fsync", "Input/output error", "0x00000005", "FlushFileBuffers"},
      {"o.wav", "close", "Input/output error", "0x00000005", "CloseHandle"},
  };
  for (const TCase& c : cases) {
    const std::string out = Path(c.Out);
    ASSERT_EQ(Run({Path("in.wav"), out}).Status, 0) << c.Out;
    const uint64_t whole = FileSize(out); // the disk has room for all of it but its last byte
    fs::remove(out);
    const TRenderRun run = Run({Path("in.wav"), out, "--summary", "json"}, c.Out, c.Call, whole - 1);
    EXPECT_EQ(run.Status, 1) << c.Out << ' ' << c.Call;
    const std::string head = "Описание ошибки: Файл \"" + out + "\": " + c.Reason + "\nКод ошибки: " + c.Code;
    EXPECT_EQ(run.Err.rfind(head, 0), 0u) << run.Err;
    EXPECT_EQ(run.Err.substr(run.Err.rfind("\nФункция: ") + 1), std::string("Функция: ") + c.Function + "\n");
    EXPECT_EQ(run.Err.find("Описание ошибки"), run.Err.rfind("Описание ошибки")) << run.Err;
    EXPECT_NE(run.Out.find("\"status\":1,"), std::string::npos) << run.Out;
  }
}

TEST_F(FileSafety, AFailedSettingsSaveSaysWhyAndLeavesTheOldFileByteForByteWithNothingBeside) {
  ASSERT_EQ(Run({"--add", "9", "--save-chain", Path("c.lst"), "--save-filter", "0", Path("f.flt")}).Status,
            0);
  const std::string chain = ReadText(Path("c.lst"));
  const std::string filter = ReadText(Path("f.flt"));
  const std::set<std::string> before = Names();
  for (const auto& [call, reason] : {std::pair{"write", "No space left on device"},
                                     {"fsync", "Input/output error"},
                                     {"close", "Input/output error"},
                                     {"rename", "Input/output error"}}) {
    TRenderRun run = Run({"--add", "0", "--save-chain", Path("c.lst")}, "c.lst", call);
    EXPECT_EQ(run.Status, 1) << call;
    EXPECT_EQ(run.Err, "Ошибка записи в файл! Файл \"" + Path("c.lst") + "\": " + reason + "\n");
    run = Run({"--add", "0", "--save-filter", "0", Path("f.flt")}, "f.flt", call);
    EXPECT_EQ(run.Err, "Ошибка записи в файл! Файл \"" + Path("f.flt") + "\": " + reason + "\n");
    EXPECT_EQ(ReadText(Path("c.lst")), chain) << call;
    EXPECT_EQ(ReadText(Path("f.flt")), filter) << call;
    EXPECT_EQ(Names(), before) << call;
  }
}

TEST_F(FileSafety, ASettingsLoadOfAnythingButASmallRegularFileEndsAtOnceWithAMessage) {
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  fs::create_directory(Path("folder"));
  WriteBytes(Path("big.lst"), std::vector<uint8_t>(64 * 1024 + 1, 0));
  const std::pair<std::string, std::string> cases[] = {
      {"/dev/zero", "Невозможно открыть файл: это устройство!"},
      {Path("fifo"), "Невозможно открыть файл: это канал!"},
      {Path("folder"), "Невозможно открыть файл: это папка!"},
      {Path("big.lst"), "Файл слишком велик для файла параметров (больше 64 КБ)!"},
  };
  for (const auto& [file, message] : cases) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--chain", file}, {"--add", "0", "--load-filter", "0", file}}) {
      const TRenderRun run = Run(args);
      EXPECT_EQ(run.Status, 1) << file;
      EXPECT_EQ(run.Err, message + " Файл \"" + file + "\"\n");
    }
  }
}

TEST_F(FileSafety, ASaveOverAFileThatIsNoSettingsFileOfItsKindNeedsForce) {
  WriteWave(Path("song.wav"), 8000, 1, std::vector<int16_t>(800, 1000));
  ASSERT_EQ(Run({"--add", "9", "--save-chain", Path("c.lst")}).Status, 0);
  const std::string song = ReadText(Path("song.wav"));
  const std::string chain = ReadText(Path("c.lst"));
  const auto refusal = [&](const std::string& file, const char* kind) {
    return "Файл " + file + " существует и не является " + kind +
           "; чтобы перезаписать его, добавьте --force\nПодробнее: sonolab-render --help\n";
  };
  TRenderRun run = Run({"--add", "9", "--save-chain", Path("song.wav")});
  EXPECT_EQ(run.Status, 2);
  EXPECT_EQ(run.Err, refusal(Path("song.wav"), "файлом параметров фильтров (.lst)"));
  run = Run({"--add", "9", "--save-filter", "0", Path("c.lst")});
  EXPECT_EQ(run.Status, 2);
  EXPECT_EQ(run.Err, refusal(Path("c.lst"), "файлом параметров фильтра (.flt)"));
  EXPECT_EQ(ReadText(Path("song.wav")), song);
  EXPECT_EQ(ReadText(Path("c.lst")), chain);
  // A settings file of the kind is replaced as ever; --force replaces the others.
  EXPECT_EQ(Run({"--add", "0", "--save-chain", Path("c.lst")}).Status, 0);
  EXPECT_EQ(Run({"--add", "9", "--save-chain", Path("song.wav"), "--force"}).Status, 0);
  EXPECT_EQ(ReadText(Path("song.wav")), chain);
}

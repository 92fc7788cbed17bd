// SPDX-License-Identifier: GPL-3.0-or-later
// sonolab-render against a sound server that dies under it: the test starts a private PulseAudio
// server (its own runtime folder, a null sink, a native socket), points the render at it through
// PULSE_SERVER, and kills the server while the render captures or plays. The render must end with
// exit status 1 and the composed error text within a few seconds, and the WAVE file it was writing
// must be complete. With no server at all the render must report the device layer's error and end,
// not hang.

#include "devices/platform/PulseSoundServices.h"
#include "support/ChildProcess.h"
#include "support/PcmSignals.h"
#include "support/PrivatePulseServer.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace sonotest;

namespace {

constexpr uint32_t BytesPerSecond = 44100 * 4;
// A dead server must end the render well within this; it is a guard against a hang, not a measure.
constexpr auto EndGuard = 15s;

void WriteInput(const std::string& path, int seconds) {
  WriteWave(path, 44100, 2, Sine16(330, 44100, 2, 44100u * static_cast<size_t>(seconds), 6000));
}

// The file is complete: its header describes exactly the sample bytes it holds, in whole blocks.
void ExpectCompleteWave(const std::string& path) {
  const std::string bytes = ReadText(path);
  ASSERT_GE(bytes.size(), 44u) << path;
  EXPECT_EQ(bytes.substr(0, 4), "RIFF");
  EXPECT_EQ(bytes.substr(8, 8), "WAVEfmt ");
  EXPECT_EQ(bytes.substr(36, 4), "data");
  EXPECT_EQ(U32At(bytes, 4), bytes.size() - 8);
  EXPECT_EQ(U32At(bytes, 40), bytes.size() - 44);
  EXPECT_EQ((bytes.size() - 44) % (4096 * 4), 0u);
  EXPECT_GT(bytes.size() - 44, BytesPerSecond) << "the render had written a second of sound";
}

// The error box's text for a server that went away, as the command line prints it.
void ExpectNoDriverError(const std::string& err, const std::string& operationPrefix) {
  EXPECT_EQ(
      err.rfind("Описание ошибки: No sound driver is available for use\nКод ошибки: 0x88780078\nФайл \"", 0),
      0u)
      << err;
  EXPECT_NE(err.find("\nФункция: " + operationPrefix), std::string::npos) << err;
}

// Whether the process has a socket open (the render opens none before it reaches the sound server).
bool HoldsASocket(pid_t pid) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    std::error_code readError;
    if (fs::read_symlink(entry.path(), readError).string().rfind("socket:", 0) == 0) {
      return true;
    }
  }
  return false;
}

class DeviceFault : public ::testing::Test {
protected:
  void SetUp() override {
    if (!PulseaudioInstalled()) {
      if (PulseRequired()) {
        FAIL() << "SONOLAB_REQUIRE_PULSE=1 but the pulseaudio program is not installed";
      }
      GTEST_SKIP() << "pulseaudio is not installed";
    }
  }
  std::string Path(const std::string& name) const { return dir.File(name); }

  // Runs the render against the server until its output holds a second of sound, kills the server,
  // and returns how the render ended.
  TChildExit KillServerDuring(const std::vector<std::string>& args, const std::string& output) {
    TPrivatePulseServer server(dir.Path(), "fault_null");
    EXPECT_TRUE(server.Running()) << ReadText(Path("server.log"));
    TChildOptions options;
    options.Environment = {"PULSE_SERVER=" + server.Address()};
    options.StdoutPath = Path("render.out");
    options.StderrPath = Path("render.err");
    TChild render(args, options);
    const auto until = std::chrono::steady_clock::now() + 60s;
    while (FileSize(output) <= 44 + BytesPerSecond) {
      if (!render.Running() || std::chrono::steady_clock::now() > until) {
        ADD_FAILURE() << "the render never wrote a second of sound: " << ReadText(Path("render.err"));
        return {};
      }
      std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(render.Running());
    server.Kill();
    return render.Wait(EndGuard);
  }

  // The render must end on its own with the lost-server error and a complete file.
  void ExpectRenderEndsWhenTheServerDies(const std::vector<std::string>& args, const std::string& output,
                                         const std::string& operationPrefix) {
    const auto end = KillServerDuring(args, output);
    ASSERT_FALSE(end.Hung) << "the render did not end after the server died";
    ASSERT_TRUE(end.Exited) << "signal " << end.Status;
    EXPECT_EQ(end.Status, 1);
    ExpectNoDriverError(ReadText(Path("render.err")), operationPrefix);
    ExpectCompleteWave(output);
  }

  TTempDir dir{"sonolab-fault"};
};

} // namespace

TEST_F(DeviceFault, ServerKilledDuringCaptureEndsTheRenderWithTheErrorAndACompleteFile) {
  const std::string output = Path("captured.wav");
  ExpectRenderEndsWhenTheServerDies({SONOLAB_RENDER_PATH, "--capture", "0", "--seconds", "30", output},
                                    output, "IDirectSoundCaptureBuffer::");
}

TEST_F(DeviceFault, ServerKilledDuringTheApplicationsCaptureEndsTheRenderWithTheErrorAndACompleteFile) {
  const std::string output = Path("apps.wav");
  ExpectRenderEndsWhenTheServerDies(
      {SONOLAB_RENDER_PATH, "--apps", "--make-default", "--seconds", "30", output}, output,
      "IDirectSoundCaptureBuffer::");
}

TEST_F(DeviceFault, ServerKilledDuringPlaybackEndsTheRenderWithTheErrorAndACompleteFile) {
  WriteInput(Path("in.wav"), 30);
  const std::string output = Path("played.wav");
  ExpectRenderEndsWhenTheServerDies({SONOLAB_RENDER_PATH, Path("in.wav"), output, "--play", "0"}, output,
                                    "IDirectSoundBuffer::");
}

TEST_F(DeviceFault, NoServerAtStartIsTheDeviceLayersErrorWithExitCodeOne) {
  WriteInput(Path("in.wav"), 2);
  const std::string nowhere = "PULSE_SERVER=unix:" + Path("no-server/native");
  const std::vector<std::pair<std::vector<std::string>, std::string>> commands = {
      {{SONOLAB_RENDER_PATH, "--capture", "0", "--seconds", "5", Path("out.wav")},
       "DirectSoundCaptureCreate"},
      {{SONOLAB_RENDER_PATH, "--apps", "--make-default", "--seconds", "5", Path("out.wav")},
       "DirectSoundCaptureCreate"},
      {{SONOLAB_RENDER_PATH, Path("in.wav"), Path("out.wav"), "--play", "0"}, "DirectSoundCreate"},
  };
  for (const auto& [command, call] : commands) {
    TChildOptions options;
    options.Environment = {nowhere};
    options.StderrPath = Path("render.err");
    TChild render(command, options);
    const auto end = render.Wait(EndGuard);
    ASSERT_FALSE(end.Hung) << command[1];
    ASSERT_TRUE(end.Exited) << command[1] << ": signal " << end.Status;
    EXPECT_EQ(end.Status, 1) << command[1];
    // The server's own text follows the call, as a ring device's Open reports it.
    const std::string err = ReadText(Path("render.err"));
    ExpectNoDriverError(err, call + " (pa_context_connect: ");
    EXPECT_EQ(err.find("Использование"), std::string::npos) << "no usage text for a missing server";
  }

  // The lists say why they hold no ring device, and still offer ALSA and the files.
  TChildOptions options;
  options.Environment = {nowhere};
  options.StdoutPath = Path("list.out");
  TChild list({SONOLAB_RENDER_PATH, "--list-devices"}, options);
  const auto end = list.Wait(EndGuard);
  ASSERT_TRUE(end.Exited && !end.Hung);
  EXPECT_EQ(end.Status, 0);
  const std::string out = ReadText(Path("list.out"));
  EXPECT_EQ(out.rfind("Звуковой сервер недоступен (pa_context_connect: ", 0), 0u) << out;
  EXPECT_EQ(out.find("(PulseAudio)"), std::string::npos) << out;
  EXPECT_NE(out.find("(ALSA)"), std::string::npos) << out;
  EXPECT_NE(out.find("Файл формата WAVE"), std::string::npos) << out;
}

TEST_F(DeviceFault, AStopAskedForWhileTheDevicesOpenEndsTheRenderBeforeItPlays) {
  // The server is stopped, so the render waits inside the device set-up; SIGINT arrives there.
  TPrivatePulseServer server(dir.Path(), "fault_null");
  ASSERT_TRUE(server.Running()) << ReadText(Path("server.log"));
  server.Stop();
  const std::string output = Path("never.wav");
  TChildOptions options;
  options.Environment = {"PULSE_SERVER=" + server.Address()};
  options.StdoutPath = Path("render.out");
  options.StderrPath = Path("render.err");
  TChild render({SONOLAB_RENDER_PATH, "--capture", "0", "--seconds", "30", output}, options);
  // Its connection to the server shows that it is past its start and waiting for the answer.
  const auto until = std::chrono::steady_clock::now() + 60s;
  while (!HoldsASocket(render.Pid())) {
    ASSERT_TRUE(render.Running()) << ReadText(Path("render.err"));
    ASSERT_LT(std::chrono::steady_clock::now(), until) << "the render never connected";
    std::this_thread::sleep_for(5ms);
  }
  std::this_thread::sleep_for(200ms);
  render.Signal(SIGINT);
  std::this_thread::sleep_for(200ms);
  server.Continue();

  const auto end = render.Wait(EndGuard);
  ASSERT_FALSE(end.Hung) << "the render never ended after SIGINT";
  ASSERT_TRUE(end.Exited) << "signal " << end.Status;
  EXPECT_EQ(end.Status, 128 + SIGINT) << ReadText(Path("render.err"));
  // Nothing was captured: the file holds a header that says so.
  const std::string bytes = ReadText(output);
  ASSERT_EQ(bytes.size(), 44u);
  EXPECT_EQ(bytes.substr(0, 4), "RIFF");
  EXPECT_EQ(U32At(bytes, 40), 0u);
}

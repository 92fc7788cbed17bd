// SPDX-License-Identifier: GPL-3.0-or-later
// sonolab-render on the PipeWire devices while the graph fails under it: each case starts a private
// PipeWire (scripts/pipewire-server.sh in a folder of its own), lets the render capture or play until
// its file holds a second of sound, then kills the daemon, removes the null sink or stops the graph.
// The render must end on its own with exit status 1 and the composed error, and its file must be
// complete.

#include "support/ChildProcess.h"
#include "support/PcmSignals.h"
#include "support/PrivatePipeWire.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using namespace sonotest;

namespace {

constexpr uint32_t BytesPerSecond = 44100 * 4;

struct TFaultCase {
  const char* What;
  bool Capture;
  uint32_t Code;
  std::string Function; // the start of the error box's last line
};

// The test's name says the case; its parameter needs no bytes printed.
void PrintTo(const TFaultCase& fault, std::ostream* out) {
  *out << fault.What << (fault.Capture ? ", capture" : ", playback");
}

class PipeWireFault : public ::testing::TestWithParam<TFaultCase> {};

} // namespace

TEST_P(PipeWireFault, EndsTheRenderWithTheErrorAndACompleteFile) {
  SONOTEST_REQUIRE_PIPEWIRE();
  const TFaultCase& fault = GetParam();
  TTempDir dir("sonolab-pw-fault");
  TPrivatePipeWire server;
  ASSERT_TRUE(server.Running()) << ReadText(dir.File("start.log"));
  const std::string output = dir.File("out.wav");
  std::vector<std::string> args = {SONOLAB_RENDER_PATH, "--pw-capture", "0", "--seconds", "30", output};
  if (!fault.Capture) {
    WriteWave(dir.File("in.wav"), 44100, 2, Sine16(330, 44100, 2, 44100u * 30, 6000));
    args = {SONOLAB_RENDER_PATH, dir.File("in.wav"), output, "--pw-play", "0"};
  }
  TChildOptions options;
  options.Environment = server.Environment();
  options.StderrPath = dir.File("render.err");
  TChild render(args, options);
  const auto until = std::chrono::steady_clock::now() + 60s;
  while (FileSize(output) <= 44 + BytesPerSecond) {
    ASSERT_TRUE(render.Running() && std::chrono::steady_clock::now() < until)
        << "the render never wrote a second of sound: " << ReadText(dir.File("render.err"));
    std::this_thread::sleep_for(5ms);
  }
  if (std::string(fault.What) == "killed") {
    server.Signal(SIGKILL);
  } else if (std::string(fault.What) == "node gone") {
    ASSERT_EQ(server.Pactl("unload-module module-null-sink"), 0);
  } else {
    server.Signal(SIGSTOP);
  }
  const TChildExit end = render.Wait(30s);
  ASSERT_FALSE(end.Hung) << "the render did not end after the graph failed";
  ASSERT_TRUE(end.Exited) << "signal " << end.Status;
  EXPECT_EQ(end.Status, 1);
  char code[64];
  std::snprintf(code, sizeof code, "\nКод ошибки: 0x%08X\nФайл \"", fault.Code);
  const std::string err = ReadText(dir.File("render.err"));
  EXPECT_NE(err.find(code), std::string::npos) << err;
  EXPECT_NE(err.find("\nФункция: " + fault.Function), std::string::npos) << err;
  // Complete: the header describes exactly the sound bytes the file holds.
  const std::string bytes = ReadText(output);
  ASSERT_GE(bytes.size(), 44u + BytesPerSecond);
  EXPECT_EQ(bytes.substr(0, 4), "RIFF");
  EXPECT_EQ(U32At(bytes, 4), bytes.size() - 8);
  EXPECT_EQ(U32At(bytes, 40), bytes.size() - 44);
}

INSTANTIATE_TEST_SUITE_P(
    PipeWire, PipeWireFault,
    ::testing::Values(
        TFaultCase{"killed", true, 0x88780078u,
                   "IDirectSoundCaptureBuffer::Start (pw_core: связь с сервером PipeWire потеряна"},
        TFaultCase{"killed", false, 0x88780078u,
                   "IDirectSoundBuffer::Play (pw_core: связь с сервером PipeWire потеряна"},
        TFaultCase{
            "node gone", true, 0x88780078u,
            "IDirectSoundCaptureBuffer::Start (pw_registry: узел \"sonolab_null\" исчез из графа PipeWire)"},
        TFaultCase{"node gone", false, 0x88780078u,
                   "IDirectSoundBuffer::Play (pw_registry: узел \"sonolab_null\" исчез из графа PipeWire)"},
        TFaultCase{"stopped", true, 0x80004005u,
                   "IDirectSoundCaptureBuffer::Start (pw_stream: граф PipeWire остановлен: за 3 с не было ни "
                   "одного цикла)"}),
    [](const ::testing::TestParamInfo<TFaultCase>& info) {
      std::string name = std::string(info.param.What) + (info.param.Capture ? "Capture" : "Playback");
      std::erase(name, ' ');
      return name;
    });

// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop's virtual sink on the test sound server, with paplay playing a tone to the default sink:
// the tone comes through the chain into the file while sonolab-render --apps borrows the default, the
// render's outputs (ALSA's default included) stay on the real sink, the device lists do not change, one
// sink serves every set-up in this process or another, and the desktop is as before when the last one
// ends, or when the render after a killed one starts.

#include "devices/AudioFormats.h"
#include "devices/DirectSoundDevices.h"
#include "devices/platform/PulseSoundServices.h"
#include "support/ChildProcess.h"
#include "support/PcmSignals.h"
#include "support/PrivatePulseServer.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <functional>

using namespace std::chrono_literals;
using namespace sonotest;

namespace {

constexpr uint32_t Rate = 44100;
constexpr double Amplitude = 8000;

// What a shell line prints (pactl on the test server), without its last line feed.
std::string Shell(const std::string& line) {
  std::string out;
  if (FILE* pipe = ::popen(line.c_str(), "r")) {
    for (int c; (c = std::fgetc(pipe)) != EOF;) {
      out += static_cast<char>(c);
    }
    ::pclose(pipe);
  }
  return !out.empty() && out.back() == '\n' ? out.substr(0, out.size() - 1) : out;
}

std::string DefaultSink() {
  return Shell("pactl get-default-sink");
}
bool AppsSinkExists() {
  return !Shell("pactl list short sinks | grep -w sonolab_apps").empty();
}
// The streams on a sink, one index a line.
std::string StreamsOn(const std::string& sink) {
  return Shell("pactl list short sinks | awk '$2 == \"" + sink +
               "\" { print $1 }' | { read s && pactl list short sink-inputs | awk -v s=\"$s\" '$2 == s { "
               "print $1 }'; }");
}
size_t Lines(const std::string& text) {
  return text.empty() ? 0 : std::count(text.begin(), text.end(), '\n') + 1u;
}

// Waits until `reached` holds, at most a minute (a guard against a hang, not a judgement of speed).
bool Eventually(const std::function<bool()>& reached) {
  const auto until = std::chrono::steady_clock::now() + 60s;
  while (!reached() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(20ms);
  }
  return reached();
}

class RenderApps : public ::testing::Test {
protected:
  void SetUp() override {
    SONOTEST_REQUIRE_PULSE_SERVER();
    ASSERT_FALSE(AppsSinkExists()) << "left over by an earlier test";
    WriteWave(dir.File("tone.wav"), Rate, 2, Sine16(1000, Rate, 2, 60 * Rate, Amplitude));
    player = std::make_unique<TChild>(std::vector<std::string>{"/usr/bin/paplay", dir.File("tone.wav")},
                                      TChildOptions{});
    ASSERT_TRUE(Eventually([&] { return Lines(StreamsOn(desktop)) == 1; }));
    tone = StreamsOn(desktop);
  }

  std::unique_ptr<TChild> Render(std::vector<std::string> args, const std::string& out = "out") const {
    args.insert(args.begin(), RenderProgram());
    TChildOptions options;
    options.StdoutPath = dir.File(out);
    options.StderrPath = dir.File("err");
    return std::make_unique<TChild>(args, options);
  }

  // The default, the sink and the tone's stream as they were.
  void ExpectGivenBack() const {
    EXPECT_TRUE(Eventually([&] { return DefaultSink() == desktop && !AppsSinkExists(); })) << DefaultSink();
    EXPECT_EQ(StreamsOn(desktop), tone);
  }

  TTempDir dir{"sonolab-apps"};
  const std::string desktop = DefaultSink();
  std::unique_ptr<TChild> player;
  std::string tone; // paplay's stream
};

} // namespace

TEST_F(RenderApps, AnotherClientsToneComesThroughTheChainAndTheDesktopIsGivenBack) {
  const auto list = [&] {
    return Render({"--list-devices"}, "list")->Wait(60s).Status == 0 ? ReadText(dir.File("list")) : "";
  };
  const std::string before = list();
  const auto render = Render({"--apps", "Musik", "--make-default", "--play", "0", "--wave-out", "0", "--add",
                              "8", "--seconds", "4", dir.File("apps.wav")});
  ASSERT_TRUE(Eventually([&] {
    return DefaultSink() == AppsSinkName && StreamsOn(AppsSinkName) == tone && Lines(StreamsOn(desktop)) == 2;
  })) << ReadText(dir.File("err"));
  const std::string sinks = Shell("pactl list sinks");
  EXPECT_NE(sinks.find("Description: Musik\n"), std::string::npos);
  EXPECT_NE(sinks.find(std::string(AppsPreviousDefaultProperty) + " = \"" + desktop + "\""),
            std::string::npos);
  EXPECT_EQ(list(), before);
  EXPECT_EQ(render->Wait(120s).Status, 0) << ReadText(dir.File("err"));
  ExpectGivenBack();

  // The tone at its own level: a loop would add the render's output to its input, over and over.
  const TWaveContents wave = ReadWave(dir.File("apps.wav"));
  ASSERT_EQ(wave.Frames(), 4 * Rate);
  EXPECT_NEAR(FitSine(Channel(wave, 0), Rate, 3 * Rate, 1000, Rate).Amplitude, Amplitude, Amplitude * 0.06);
}

TEST_F(RenderApps, TheStartAfterAKilledRunGivesTheDefaultAndTheStreamsBack) {
  const auto killed = Render({"--apps", "--make-default"});
  ASSERT_TRUE(Eventually([&] { return StreamsOn(AppsSinkName) == tone; })) << ReadText(dir.File("err"));
  killed->Signal(SIGKILL);
  ASSERT_FALSE(killed->Wait(60s).Exited);
  ASSERT_EQ(DefaultSink(), AppsSinkName); // what the killed run left
  EXPECT_EQ(Render({"--apps", "--seconds", "1", dir.File("next.wav")})->Wait(120s).Status, 0);
  ExpectGivenBack();
}

TEST_F(RenderApps, EverySetUpSharesOneSinkKeptThroughAPauseAndTheLastGivesTheDesktopBack) {
  const auto sinks = [] { return Lines(Shell("pactl list short sinks | grep -w sonolab_apps")); };
  const auto services = std::make_shared<TPulseSoundServices>();
  const auto input = [&](int format) {
    auto device = std::make_unique<TAppsRecordingDevice>(services);
    device->Buffer().Format() = FormatTable[format];
    device->Open();
    return device;
  };
  const auto other = Render({"--apps", "--make-default"}); // another process holds it first
  ASSERT_TRUE(Eventually([&] { return StreamsOn(AppsSinkName) == tone; })) << ReadText(dir.File("err"));
  {
    auto first = input(31);
    const auto second = input(15); // another format: the same sink, converted by the server
    second->Start();
    EXPECT_EQ(sinks(), 1u);
    first.reset();
    second->Stop(); // a pause
    EXPECT_EQ(sinks(), 1u) << "the second set-up still captures it";
  }
  EXPECT_EQ(sinks(), 1u) << "the other process still captures it";
  other->Signal(SIGTERM);
  EXPECT_EQ(other->Wait(60s).Status, 128 + SIGTERM);
  ExpectGivenBack();
}

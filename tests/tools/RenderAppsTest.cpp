// SPDX-License-Identifier: GPL-3.0-or-later
// sonolab-render --apps on the test sound server: a tone another client (paplay) plays to the default
// sink comes out of the chain into the file once the render borrows the default, the render's own
// outputs stay on the real sink, ALSA's default included (no loop), the device numbers do not change while
// the sink exists, and the default, the sink and the client's stream are as before when the render ends, or
// when the render after a killed one starts.

#include "devices/platform/SoundServices.h"
#include "support/ChildProcess.h"
#include "support/PcmSignals.h"
#include "support/PrivatePulseServer.h"
#include "support/ServerState.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using namespace sonotest;

namespace {

constexpr uint32_t Rate = 44100;
constexpr double Amplitude = 8000;
constexpr double ToneHz = 1000;
const std::chrono::milliseconds EndGuard = 120s;

class RenderApps : public ::testing::Test {
protected:
  void SetUp() override {
    SONOTEST_REQUIRE_PULSE_SERVER();
    ASSERT_TRUE(SinkIndex(AppsSinkName).empty()) << "a sink left over by an earlier test";
    desktopDefault = DefaultSink();
    ASSERT_FALSE(desktopDefault.empty());
    WriteWave(dir.File("tone.wav"), Rate, 2, Sine16(ToneHz, Rate, 2, 60 * Rate, Amplitude));
    player = std::make_unique<TChild>(std::vector<std::string>{"/usr/bin/paplay", dir.File("tone.wav")},
                                      TChildOptions{});
    ASSERT_TRUE(Eventually([&] { return StreamsOn(desktopDefault).size() == 1; }));
    toneStream = StreamsOn(desktopDefault).front();
  }

  TChild Render(const std::vector<std::string>& args, const std::string& name) const {
    std::vector<std::string> command = {RenderProgram()};
    command.insert(command.end(), args.begin(), args.end());
    TChildOptions options;
    options.StdoutPath = dir.File(name + ".out");
    options.StderrPath = dir.File(name + ".err");
    return TChild(command, options);
  }

  std::string Listing() const {
    TChild list = Render({"--list-devices"}, "list");
    EXPECT_EQ(list.Wait(EndGuard).Status, 0);
    return ReadText(dir.File("list.out"));
  }

  // The desktop as it was: the default, no virtual sink, the client's stream on the default again.
  void ExpectDesktopGivenBack() const {
    EXPECT_TRUE(Eventually([&] { return DefaultSink() == desktopDefault; })) << DefaultSink();
    EXPECT_TRUE(Eventually([&] { return SinkIndex(AppsSinkName).empty(); }));
    EXPECT_EQ(StreamsOn(desktopDefault), std::vector<std::string>{toneStream});
  }

  TTempDir dir{"sonolab-apps"};
  std::string desktopDefault;
  std::unique_ptr<TChild> player;
  std::string toneStream;
};

} // namespace

TEST_F(RenderApps, AnotherClientsToneComesThroughTheChainAndTheDesktopIsGivenBack) {
  const std::string before = Listing();
  const std::string output = dir.File("apps.wav");
  // Its outputs: the real sink by name, and ALSA's default, which reaches the server's default sink.
  TChild render = Render({"--apps", "Musik", "--make-default", "--play", "0", "--wave-out", "0", "--add", "8",
                          "--seconds", "4", output},
                         "render");

  // The client's stream moves into the sink; the render's own outputs stay on the real sink.
  ASSERT_TRUE(Eventually([&] {
    return DefaultSink() == AppsSinkName && StreamsOn(AppsSinkName).size() == 1 &&
           StreamsOn(desktopDefault).size() == 2;
  })) << ReadText(dir.File("render.err"));
  EXPECT_EQ(StreamsOn(AppsSinkName), std::vector<std::string>{toneStream});
  EXPECT_NE(ShellOutput("pactl list sinks").find("Description: Musik\n"), std::string::npos);
  EXPECT_NE(ShellOutput("pactl list sinks")
                .find(std::string(AppsPreviousDefaultProperty) + " = \"" + desktopDefault + "\""),
            std::string::npos);
  EXPECT_EQ(Listing(), before) << "the sink and its monitor are listed nowhere";

  const TChildExit end = render.Wait(EndGuard);
  ASSERT_TRUE(end.Exited && !end.Hung) << end.Status;
  EXPECT_EQ(end.Status, 0) << ReadText(dir.File("render.err"));
  ExpectDesktopGivenBack();

  // The tone at its own level: a loop would add the render's output to its input, over and over.
  const TWaveContents wave = ReadWave(output);
  ASSERT_EQ(wave.Frames(), 4 * Rate);
  const SineFit fit = FitSine(Channel(wave, 0), Rate, 3 * Rate, ToneHz, Rate);
  EXPECT_NEAR(fit.Amplitude, Amplitude, Amplitude * 0.06);
}

TEST_F(RenderApps, TheStartAfterAKilledRunGivesTheDefaultAndTheStreamsBack) {
  {
    TChild killed = Render({"--apps", "--make-default"}, "killed");
    ASSERT_TRUE(Eventually([&] { return StreamsOn(AppsSinkName).size() == 1; }))
        << ReadText(dir.File("killed.err"));
    killed.Signal(SIGKILL);
    ASSERT_FALSE(killed.Wait(EndGuard).Exited);
  }
  // What the killed run left: the sink, still the default, with the client's stream.
  ASSERT_EQ(DefaultSink(), AppsSinkName);
  ASSERT_EQ(StreamsOn(AppsSinkName), std::vector<std::string>{toneStream});

  TChild next = Render({"--apps", "--seconds", "1", dir.File("next.wav")}, "next");
  const TChildExit end = next.Wait(EndGuard);
  ASSERT_TRUE(end.Exited && !end.Hung) << end.Status;
  EXPECT_EQ(end.Status, 0) << ReadText(dir.File("next.err"));
  ExpectDesktopGivenBack();
}

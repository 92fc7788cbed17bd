// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop's virtual sink on the test sound server: one sink for every set-up that takes
// "Звук приложений", in this process or another, removed with the last of them and the default given
// back then; the catalogue offers it first and lists the sink and its monitor nowhere else; a name the
// module's arguments cannot carry is refused at Open.

#include "devices/AudioFormats.h"
#include "devices/DeviceCatalogue.h"
#include "devices/DirectSoundDevices.h"
#include "devices/platform/PulseSoundServices.h"
#include "support/ChildProcess.h"
#include "support/PrivatePulseServer.h"
#include "support/ServerState.h"

#include <gtest/gtest.h>

#include <csignal>

using namespace std::chrono_literals;
using namespace sonotest;

namespace {

int AppsSinks() {
  int count = 0;
  const std::string sinks = ShellOutput("pactl list short sinks");
  for (size_t at = sinks.find(std::string("\t") + AppsSinkName + "\t"); at != std::string::npos;
       at = sinks.find(std::string("\t") + AppsSinkName + "\t", at + 1)) {
    ++count;
  }
  return count;
}

std::unique_ptr<TAppsRecordingDevice> AppsInput(const std::shared_ptr<TSoundServices>& services, int format) {
  auto device = std::make_unique<TAppsRecordingDevice>(services);
  device->Buffer().Format() = FormatTable[format];
  return device;
}

} // namespace

TEST(AppsSink, EverySetUpSharesOneSinkWhichTheLastOneRemovesGivingTheDefaultBack) {
  SONOTEST_REQUIRE_PULSE_SERVER();
  ASSERT_EQ(AppsSinks(), 0);
  const std::string desktopDefault = DefaultSink();
  auto services = std::make_shared<TPulseSoundServices>();

  // The catalogue: the input first, the sink and its monitor nowhere while it exists.
  const auto listed = [&] {
    std::string texts;
    for (const TInputDeviceItem& item : InputDeviceItems(services, {})) {
      texts += item.Text + "\n";
    }
    for (const TOutputDeviceItem& item : OutputDeviceItems(services, {})) {
      texts += item.Text + "\n";
    }
    return texts;
  };
  const std::string before = listed();
  EXPECT_EQ(before.rfind(std::string(AppsItemText) + "\n", 0), 0u) << before;

  // Another process's render holds the sink (and the default) first.
  TChild other({RenderProgram(), "--apps", "--make-default"}, {});
  ASSERT_TRUE(Eventually([] { return DefaultSink() == AppsSinkName; }));
  {
    auto first = AppsInput(services, 31);
    auto second = AppsInput(services, 15); // another format: the same sink, converted by the server
    first->Open();
    second->Open();
    second->Start();
    EXPECT_EQ(AppsSinks(), 1);
    EXPECT_EQ(listed(), before);
    first.reset();
    EXPECT_EQ(AppsSinks(), 1) << "the second set-up still captures it";
    second->Stop(); // a pause keeps it
    EXPECT_EQ(AppsSinks(), 1);
  }
  EXPECT_EQ(AppsSinks(), 1) << "the other process still captures it";
  EXPECT_EQ(DefaultSink(), AppsSinkName);

  other.Signal(SIGTERM);
  EXPECT_EQ(other.Wait(60s).Status, 128 + SIGTERM);
  EXPECT_TRUE(Eventually([] { return AppsSinks() == 0; }));
  EXPECT_TRUE(Eventually([&] { return DefaultSink() == desktopDefault; })) << DefaultSink();

  // The sink's description is quoted in the module's arguments: a quote or a backslash is refused.
  auto quoted = AppsInput(services, 31);
  quoted->SetDescription("a\"b");
  try {
    quoted->Open();
    FAIL() << "opened with a quote in the name";
  } catch (const TDSPException& e) {
    EXPECT_EQ(e.ResultCode, 0x80070057u);
    EXPECT_EQ(e.Operation, "DirectSoundCaptureCreate (module-null-sink: the description holds a quote or a "
                           "backslash)");
  }
  EXPECT_EQ(AppsSinks(), 0);
}

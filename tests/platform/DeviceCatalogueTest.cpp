// SPDX-License-Identifier: GPL-3.0-or-later
// The device lists of the dialog and the command line, on the scriptable sound services.

#include "devices/DeviceCatalogue.h"
#include "devices/DirectSoundDevices.h"
#include "devices/WaveAudioDevices.h"
#include "devices/WaveFile.h"
#include "support/FakeSoundServices.h"

#include <gtest/gtest.h>

TEST(DeviceCatalogue, ListsRingThenWaveAudioThenFileWithSuffixesAndFreshDevices) {
  auto fake = std::make_shared<TFakeSoundServices>();
  fake->SetCaptureDevices({{"Monitor of Null Output", "sonolab_null.monitor"}, {"Line In", "line"}});
  fake->SetPlaybackDevices({{"Null Output", "sonolab_null"}});

  const std::vector<TInputDeviceItem> inputs = InputDeviceItems(fake, {"Default", "HDA Intel"});
  ASSERT_EQ(inputs.size(), 5u);
  EXPECT_EQ(inputs[0].Text, "Monitor of Null Output (PulseAudio)");
  EXPECT_EQ(inputs[1].Text, "Line In (PulseAudio)");
  EXPECT_EQ(inputs[2].Text, "Default (ALSA)");
  EXPECT_EQ(inputs[3].Text, "HDA Intel (ALSA)");
  EXPECT_EQ(inputs[4].Text, "Файл формата WAVE");
  EXPECT_EQ(inputs[1].Family, TInputFamily::RingCapture);
  EXPECT_EQ(inputs[1].Index, 1);
  EXPECT_EQ(inputs[3].Family, TInputFamily::WaveIn);
  EXPECT_EQ(inputs[3].Index, 1);
  EXPECT_EQ(inputs[4].Family, TInputFamily::File);

  const auto ring = inputs[1].Factory();
  ASSERT_EQ(ring->Kind(), dkDirectSoundRecording);
  EXPECT_EQ(static_cast<TDirectSoundRecordingDevice&>(*ring).DeviceId(), std::optional<std::string>("line"));
  const auto waveIn = inputs[3].Factory();
  ASSERT_EQ(waveIn->Kind(), dkWaveAudioRecording);
  EXPECT_EQ(static_cast<TWAVEAudioRecordingDevice&>(*waveIn).DeviceNumber(), 1u);
  const auto file = inputs[4].Factory();
  EXPECT_EQ(file->Kind(), dkWaveFileRecording);
  EXPECT_EQ(file->Buffer().Format(), MakePCMFormat(8000, 1, 8));
  // Each call of a factory builds a new object.
  EXPECT_NE(inputs[4].Factory().get(), file.get());

  const std::vector<TOutputDeviceItem> outputs = OutputDeviceItems(fake, {"Default"});
  ASSERT_EQ(outputs.size(), 3u);
  EXPECT_EQ(outputs[0].Text, "Null Output (PulseAudio)");
  EXPECT_EQ(outputs[1].Text, "Default (ALSA)");
  EXPECT_EQ(outputs[2].Text, "Файл формата WAVE");
  EXPECT_EQ(outputs[0].Factory()->Kind(), dkDirectSoundPlayback);
  EXPECT_EQ(outputs[1].Factory()->Kind(), dkWaveAudioPlayback);
  EXPECT_EQ(outputs[2].Factory()->Kind(), dkWaveFilePlayback);
  EXPECT_EQ(outputs[2].Family, TOutputFamily::File);
}

TEST(DeviceCatalogue, NoServerAndNoWaveAudioLeavesTheFileItemsAlone) {
  const std::vector<TInputDeviceItem> inputs = InputDeviceItems(nullptr, {});
  ASSERT_EQ(inputs.size(), 1u);
  EXPECT_EQ(inputs[0].Text, "Файл формата WAVE");
  const std::vector<TOutputDeviceItem> outputs =
      OutputDeviceItems(std::make_shared<TFakeSoundServices>(), {});
  ASSERT_EQ(outputs.size(), 1u);
  EXPECT_EQ(outputs[0].Text, "Файл формата WAVE");
}

TEST(DeviceCatalogue, RingDeviceOfDefaultEntryOpensWithNoIdentifier) {
  auto fake = std::make_shared<TFakeSoundServices>();
  fake->SetPlaybackDevices({{"Primary", std::nullopt}});
  const auto device = OutputDeviceItems(fake, {})[0].Factory();
  device->Open();
  EXPECT_EQ(fake->CallsStartingWith("DirectSoundCreate"), std::vector<std::string>{"DirectSoundCreate none"});
}

namespace {

// The error the call raises; a call that returns fails the test.
template <class Call> TDSPException RaisedBy(Call&& call) {
  try {
    call();
  } catch (const TDSPException& e) {
    return e;
  }
  ADD_FAILURE() << "nothing was raised";
  return {};
}

} // namespace

TEST(DeviceCatalogue, UnreachableServerIsReportedAsARingDeviceOpenReportsIt) {
  auto fake = std::make_shared<TFakeSoundServices>();
  EXPECT_FALSE(SoundServerStatus(fake).Failed());
  const std::string refused = "pa_context_connect: Connection refused";
  fake->FailCall("CheckServer", SoundNoDriver, refused);
  const TSoundResult status = SoundServerStatus(fake);
  ASSERT_TRUE(status.Failed());
  EXPECT_EQ(status.Text, refused);

  const TDSPException capture = RaisedBy([&] { RaiseSoundServerError(status, TInputFamily::RingCapture); });
  EXPECT_EQ(capture.ResultCode, 0x88780078u);
  EXPECT_EQ(capture.Operation, "DirectSoundCaptureCreate (pa_context_connect: Connection refused)");
  EXPECT_EQ(capture.Description, "No sound driver is available for use");
  const TDSPException playback =
      RaisedBy([&] { RaiseSoundServerError(status, TOutputFamily::RingPlayback); });
  EXPECT_EQ(playback.Operation, "DirectSoundCreate (pa_context_connect: Connection refused)");

  // The same record as the devices' own Open raises on that failure.
  fake->FailCall("DirectSoundCaptureCreate", SoundNoDriver, refused);
  fake->FailCall("DirectSoundCreate", SoundNoDriver, refused);
  TDirectSoundRecordingDevice input(fake, std::nullopt);
  TDirectSoundPlaybackDevice output(fake, std::nullopt);
  const TDSPException opened = RaisedBy([&] { input.Open(); });
  const TDSPException openedOutput = RaisedBy([&] { output.Open(); });
  EXPECT_EQ(opened.ResultCode, capture.ResultCode);
  EXPECT_EQ(opened.Operation, capture.Operation);
  EXPECT_EQ(opened.Description, capture.Description);
  EXPECT_EQ(openedOutput.Operation, playback.Operation);

  // No services at all: the bare call name.
  const TDSPException none =
      RaisedBy([&] { RaiseSoundServerError(SoundServerStatus(nullptr), TOutputFamily::RingPlayback); });
  EXPECT_EQ(none.ResultCode, 0x88780078u);
  EXPECT_EQ(none.Operation, "DirectSoundCreate");
}

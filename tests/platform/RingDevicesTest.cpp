// The ring devices on the scriptable sound services: sizes, offsets, cursors, restore, failures.

#include "devices/DirectSoundDevices.h"
#include "support/FakeSoundServices.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

namespace {

constexpr TWaveFormat Stereo16At44100 = MakePCMFormat(44100, 2, 16);
constexpr TWaveFormat Mono8At8000 = MakePCMFormat(8000, 1, 8);

struct PlaybackRig {
  std::shared_ptr<TFakeSoundServices> fake = std::make_shared<TFakeSoundServices>();
  TDirectSoundPlaybackDevice device{fake, std::nullopt};

  explicit PlaybackRig(const TWaveFormat& format) {
    device.Buffer().Format() = format;
    device.Open();
  }
  // A block whose bytes count up from `seed`, so that every byte shows where it landed.
  void FillBlock(uint8_t seed) {
    std::iota(device.Buffer().Data(), device.Buffer().Data() + device.Buffer().Bytes(), seed);
  }
  void WriteAfterNotification(int slot) {
    fake->NotifyPlayback({slot});
    device.Write();
  }
  bool RingHolds(uint32_t offset, const uint8_t* bytes, uint32_t count) const {
    const TFakeRing ring = fake->PlaybackRing();
    return std::equal(bytes, bytes + count, ring.Memory.begin() + offset);
  }
};

struct CaptureRig {
  std::shared_ptr<TFakeSoundServices> fake = std::make_shared<TFakeSoundServices>();
  TDirectSoundRecordingDevice device{fake, std::nullopt};

  explicit CaptureRig(const TWaveFormat& format) {
    device.Buffer().Format() = format;
    device.Open();
    // Every byte of the ring tells its slot and its place in the slot.
    std::vector<uint8_t>& memory = fake->CaptureMemory();
    for (size_t i = 0; i < memory.size(); ++i) {
      memory[i] = static_cast<uint8_t>(i * 7 + i / 16384);
    }
  }
  bool BufferHoldsRing(uint32_t from) {
    const std::vector<uint8_t>& memory = fake->CaptureMemory();
    return std::equal(device.Buffer().Data(), device.Buffer().Data() + device.Buffer().Bytes(),
                      memory.begin() + from);
  }
};

} // namespace

TEST(RingPlayback, OpensSixteenBlockRingWithSlotEndNotificationsAt44100Stereo16) {
  PlaybackRig rig(Stereo16At44100);
  EXPECT_EQ(rig.device.Buffer().Bytes(), 16384);
  EXPECT_EQ(rig.device.RingSize(), 262144);
  const TFakeRing ring = rig.fake->PlaybackRing();
  EXPECT_EQ(ring.Memory.size(), 262144u);
  EXPECT_EQ(ring.Flags, 0x8100u);
  EXPECT_EQ(ring.Format, Stereo16At44100);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(ring.Positions[i].Offset, static_cast<uint32_t>(16384 * (i + 1) - 1));
    EXPECT_EQ(ring.Positions[i].EventIndex, i);
  }
  EXPECT_EQ(ring.Positions[0].Offset, 16383u);
  EXPECT_EQ(ring.Positions[15].Offset, 262143u);
  const std::vector<std::string> expected = {"DirectSoundCreate none", "SetCooperativeLevel 2",
                                             "CreateSoundBuffer 262144 33024", "QueryInterface"};
  const std::vector<std::string> calls = rig.fake->Calls();
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 4), expected);
  EXPECT_EQ(calls[4].rfind("SetNotificationPositions 16383 32767 ", 0), 0u);
  EXPECT_EQ(rig.device.WritePosition(), -1);
}

TEST(RingPlayback, StartFillsWholeRingWithFormatSilenceAndPlaysLooping) {
  {
    PlaybackRig rig(Mono8At8000);
    EXPECT_EQ(rig.device.Buffer().Bytes(), 512);
    EXPECT_EQ(rig.device.RingSize(), 8192);
    rig.device.Start();
    const TFakeRing ring = rig.fake->PlaybackRing();
    ASSERT_EQ(ring.Memory.size(), 8192u);
    EXPECT_TRUE(std::all_of(ring.Memory.begin(), ring.Memory.end(), [](uint8_t b) { return b == 128; }));
    EXPECT_TRUE(ring.Running);
    EXPECT_TRUE(ring.Looping);
    EXPECT_EQ(rig.fake->CallsStartingWith("Lock"), std::vector<std::string>{"Lock 0 0 2"});
    EXPECT_EQ(rig.fake->CallsStartingWith("Play"), std::vector<std::string>{"Play 1"});
  }
  {
    PlaybackRig rig(Stereo16At44100);
    rig.device.Start();
    rig.device.Start(); // a second Start on a running ring silences it again and keeps it playing
    const TFakeRing ring = rig.fake->PlaybackRing();
    EXPECT_TRUE(std::all_of(ring.Memory.begin(), ring.Memory.end(), [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(ring.Running);
  }
}

TEST(RingPlayback, FirstBlockLandsTwoBlocksAheadOfWriteCursorInOneRegion) {
  PlaybackRig rig(Stereo16At44100);
  rig.device.Start();
  rig.fake->SetCursors(240000, 250000);
  rig.FillBlock(3);
  rig.fake->ClearCalls();
  rig.WriteAfterNotification(0);
  EXPECT_EQ(rig.fake->CallsStartingWith("Lock"), std::vector<std::string>{"Lock 20624 16384 0"});
  EXPECT_EQ(rig.fake->CallsStartingWith("Unlock"), std::vector<std::string>{"Unlock 16384 0"});
  EXPECT_TRUE(rig.RingHolds(20624, rig.device.Buffer().Data(), 16384));
  EXPECT_EQ(rig.device.WritePosition(), 20624 + 16384);

  // The next block follows without a gap and without asking for the cursor again.
  rig.fake->SetCursors(0, 100000);
  rig.FillBlock(77);
  rig.WriteAfterNotification(1);
  EXPECT_EQ(rig.fake->CallsStartingWith("Lock"),
            (std::vector<std::string>{"Lock 20624 16384 0", "Lock 37008 16384 0"}));
  EXPECT_EQ(rig.fake->CallsStartingWith("GetCurrentPosition").size(), 1u);
  EXPECT_TRUE(rig.RingHolds(37008, rig.device.Buffer().Data(), 16384));
}

TEST(RingPlayback, BlockThatCrossesRingEndIsSplitIntoTwoRegions) {
  PlaybackRig rig(Stereo16At44100);
  rig.device.Start();
  rig.fake->SetWriteCursor(220000);
  rig.FillBlock(9);
  rig.WriteAfterNotification(5);
  EXPECT_EQ(rig.fake->CallsStartingWith("Lock 2"), std::vector<std::string>{"Lock 252768 16384 0"});
  EXPECT_EQ(rig.fake->CallsStartingWith("Unlock 9376"), std::vector<std::string>{"Unlock 9376 7008"});
  const uint8_t* block = rig.device.Buffer().Data();
  EXPECT_TRUE(rig.RingHolds(252768, block, 9376));
  EXPECT_TRUE(rig.RingHolds(0, block + 9376, 7008));
  EXPECT_EQ(rig.device.WritePosition(), 7008);

  rig.WriteAfterNotification(6);
  EXPECT_EQ(rig.fake->CallsStartingWith("Lock 7008"), std::vector<std::string>{"Lock 7008 16384 0"});
}

TEST(RingPlayback, StopRewindsAndNextWriteResynchronisesToWriteCursor) {
  PlaybackRig rig(Stereo16At44100);
  rig.device.Start();
  rig.fake->SetWriteCursor(250000);
  rig.WriteAfterNotification(0);
  rig.WriteAfterNotification(1);
  rig.device.Stop();
  EXPECT_EQ(rig.device.WritePosition(), -1);
  const TFakeRing stopped = rig.fake->PlaybackRing();
  EXPECT_FALSE(stopped.Running);
  EXPECT_EQ(stopped.CurrentPosition, 0u);
  const std::vector<std::string> calls = rig.fake->Calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[calls.size() - 2], "Stop");
  EXPECT_EQ(calls.back(), "SetCurrentPosition 0");

  rig.device.Start();
  rig.fake->SetWriteCursor(100000);
  rig.fake->ClearCalls();
  rig.WriteAfterNotification(2);
  EXPECT_EQ(rig.fake->CallsStartingWith("GetCurrentPosition").size(), 1u);
  EXPECT_EQ(rig.fake->CallsStartingWith("Lock"), std::vector<std::string>{"Lock 132768 16384 0"});
}

TEST(RingPlayback, LostBufferIsRestoredAndItsBlockWrittenAtZeroBeforePlayRestarts) {
  PlaybackRig rig(Stereo16At44100);
  rig.device.Start();
  rig.fake->SetWriteCursor(250000);
  rig.WriteAfterNotification(0);
  rig.fake->ReportLost();
  rig.FillBlock(41);
  rig.fake->ClearCalls();
  rig.WriteAfterNotification(1);
  const std::vector<std::string> expected = {
      "GetStatus", "Restore", "Lock 0 16384 0", "Unlock 16384 0", "SetCurrentPosition 0", "Play 1"};
  EXPECT_EQ(rig.fake->Calls(), expected);
  EXPECT_TRUE(rig.RingHolds(0, rig.device.Buffer().Data(), 16384));
  EXPECT_EQ(rig.device.WritePosition(), -1);

  // The Write after the restart takes its place from the write cursor again.
  rig.fake->SetWriteCursor(16384);
  rig.fake->ClearCalls();
  rig.WriteAfterNotification(2);
  EXPECT_EQ(rig.fake->CallsStartingWith("GetCurrentPosition").size(), 1u);
  EXPECT_EQ(rig.fake->CallsStartingWith("Lock"), std::vector<std::string>{"Lock 49152 16384 0"});
}

TEST(RingPlayback, PendingNotificationsLetWritesThroughOnePerSignal) {
  PlaybackRig rig(Mono8At8000);
  rig.device.Start();
  rig.fake->SetWriteCursor(0);
  rig.fake->NotifyPlayback({7, 3, 12});
  for (int i = 0; i < 3; ++i) {
    rig.device.Write();
  }
  EXPECT_EQ(
      rig.fake->CallsStartingWith("Lock "),
      (std::vector<std::string>{"Lock 0 0 2", "Lock 1024 512 0", "Lock 1536 512 0", "Lock 2048 512 0"}));
  for (int i = 0; i < 16; ++i) {
    EXPECT_FALSE(rig.device.Events().IsSignalled(i));
  }
}

TEST(RingCapture, OpensSixteenBlockRingWithSlotEndNotifications) {
  CaptureRig rig(Stereo16At44100);
  EXPECT_EQ(rig.device.RingSize(), 262144);
  const TFakeRing ring = rig.fake->CaptureRing();
  EXPECT_EQ(ring.Memory.size(), 262144u);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(rig.device.NotifyPositions()[i].Offset, static_cast<uint32_t>(16384 * (i + 1) - 1));
    EXPECT_EQ(ring.Positions[i].Offset, static_cast<uint32_t>(16384 * (i + 1) - 1));
  }
  const std::vector<std::string> calls = rig.fake->Calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0], "DirectSoundCaptureCreate none");
  EXPECT_EQ(calls[1], "CreateCaptureBuffer 262144");
  EXPECT_EQ(calls[2], "QueryInterface");

  CaptureRig small(Mono8At8000);
  EXPECT_EQ(small.device.RingSize(), 8192);
  EXPECT_EQ(small.device.NotifyPositions()[15].Offset, 8191u);
}

TEST(RingCapture, ReadTakesLowestSignalledSlotFirst) {
  CaptureRig rig(Stereo16At44100);
  rig.device.Start();
  EXPECT_EQ(rig.fake->CallsStartingWith("Start"), std::vector<std::string>{"Start 1"});
  rig.fake->NotifyCapture({5, 3});
  rig.fake->ClearCalls();
  rig.device.Read();
  EXPECT_EQ(rig.fake->Calls(), (std::vector<std::string>{"Lock 49152 16384 0", "Unlock 16384 0"}));
  EXPECT_TRUE(rig.BufferHoldsRing(49152)); // bytes 49152 ... 65535
  rig.device.Read();
  EXPECT_TRUE(rig.BufferHoldsRing(81920));

  rig.fake->NotifyCapture({15, 0});
  rig.device.Read();
  EXPECT_TRUE(rig.BufferHoldsRing(0)); // slot 0 before slot 15 after a wrap
  rig.device.Read();
  EXPECT_TRUE(rig.BufferHoldsRing(245760));
}

TEST(RingCapture, ReadAfterStopAndStartReturnsSlotCapturedBeforeStop) {
  CaptureRig rig(Mono8At8000);
  rig.device.Start();
  rig.fake->NotifyCapture({2});
  rig.device.Stop();
  rig.device.Start();
  ASSERT_TRUE(rig.device.Events().IsSignalled(2));
  rig.device.Read(); // returns at once: the signal outlived the stop
  EXPECT_TRUE(rig.BufferHoldsRing(1024));
  EXPECT_EQ(rig.fake->CallsStartingWith("Stop"), std::vector<std::string>{"Stop"});
}

// ---- Failures ------------------------------------------------------------------------------------

namespace {

struct FailingCall {
  const char* Call; // the fake's name of the call
  const char* Step; // Open, Start, Stop, Write or Read
  bool Capture;
  const char* Operation; // what the error record names
};

const FailingCall FailingCalls[] = {
    {"DirectSoundCreate", "Open", false, "DirectSoundCreate"},
    {"SetCooperativeLevel", "Open", false, "IDirectSound::SetCooperativeLevel"},
    {"CreateSoundBuffer", "Open", false, "IDirectSound::CreateSoundBuffer"},
    {"QueryInterface", "Open", false, "IDirectSoundBuffer::QueryInterface"},
    {"SetNotificationPositions", "Open", false, "IDirectSoundNotify::SetNotificationPositions"},
    {"Lock", "Start", false, "IDirectSoundBuffer::Lock"},
    {"Unlock", "Start", false, "IDirectSoundBuffer::Unlock"},
    {"Play", "Start", false, "IDirectSoundBuffer::Play"},
    {"Stop", "Stop", false, "IDirectSoundBuffer::Stop"},
    {"SetCurrentPosition", "Stop", false, "IDirectSoundBuffer::SetCurrentPosition"},
    {"GetStatus", "Write", false, "IDirectSoundBuffer::GetStatus"},
    {"GetCurrentPosition", "Write", false, "IDirectSoundBuffer::GetCurrentPosition"},
    {"Lock", "Write", false, "IDirectSoundBuffer::Lock"},
    {"Unlock", "Write", false, "IDirectSoundBuffer::Unlock"},
    {"DirectSoundCaptureCreate", "Open", true, "DirectSoundCaptureCreate"},
    {"CreateCaptureBuffer", "Open", true, "IDirectSoundCapture::CreateCaptureBuffer"},
    {"QueryInterface", "Open", true, "IDirectSoundCaptureBuffer::QueryInterface"},
    {"SetNotificationPositions", "Open", true, "IDirectSoundNotify::SetNotificationPositions"},
    {"Start", "Start", true, "IDirectSoundCaptureBuffer::Start"},
    {"Stop", "Stop", true, "IDirectSoundCaptureBuffer::Stop"},
    {"Lock", "Read", true, "IDirectSoundCaptureBuffer::Lock"},
    {"Unlock", "Read", true, "IDirectSoundCaptureBuffer::Unlock"},
};

// Runs the device up to the failing step, with the call set to fail there; returns the error.
TDSPException FailAt(const FailingCall& f, int32_t code, const std::string& text) {
  auto fake = std::make_shared<TFakeSoundServices>();
  const std::string step = f.Step;
  std::unique_ptr<TAudioDevice> device;
  if (f.Capture) {
    device = std::make_unique<TDirectSoundRecordingDevice>(fake, std::optional<std::string>("src"));
  } else {
    device = std::make_unique<TDirectSoundPlaybackDevice>(fake, std::optional<std::string>("sink"));
  }
  try {
    if (step == "Open") {
      fake->FailCall(f.Call, code, text);
    }
    device->Open();
    if (step == "Start") {
      fake->FailCall(f.Call, code, text);
    }
    device->Start();
    if (step == "Stop") {
      fake->FailCall(f.Call, code, text);
    }
    device->Stop();
    device->Start();
    fake->FailCall(f.Call, code, text);
    if (f.Capture) {
      fake->NotifyCapture({0});
      static_cast<TRecordingDevice&>(*device).Read();
    } else {
      fake->NotifyPlayback({0});
      static_cast<TPlaybackDevice&>(*device).Write();
    }
  } catch (const TDSPException& e) {
    return e;
  }
  ADD_FAILURE() << f.Call << " at " << f.Step << " did not raise";
  return {};
}

} // namespace

TEST(RingDeviceErrors, EveryFailingCallRaisesItsOperationWithBackEndTextAndDescription) {
  for (const FailingCall& f : FailingCalls) {
    SCOPED_TRACE(std::string(f.Operation) + " at " + f.Step);
    const TDSPException e = FailAt(f, SoundNoDriver, "pa_context_connect: Connection refused");
    EXPECT_EQ(e.Informational, 0);
    EXPECT_EQ(e.ResultCode, 0x88780078u);
    EXPECT_EQ(e.Operation, std::string(f.Operation) + " (pa_context_connect: Connection refused)");
    EXPECT_EQ(e.Description, "No sound driver is available for use");
  }
}

TEST(RingDeviceErrors, DescriptionFollowsResultCodeAndEmptyTextLeavesBareCallName) {
  const FailingCall play = FailingCalls[7];
  TDSPException e = FailAt(play, SoundBadFormat, "");
  EXPECT_EQ(e.Operation, "IDirectSoundBuffer::Play");
  EXPECT_EQ(e.Description, "The specified wave format is not supported");
  e = FailAt(play, SoundFail, "pa_stream_cork: Bad state");
  EXPECT_EQ(e.ResultCode, 0x80004005u);
  EXPECT_EQ(e.Description, "An undetermined error occurred inside the DirectSound subsystem");
  e = FailAt(play, static_cast<int32_t>(0x80001234u), "x");
  EXPECT_EQ(e.Description, "");
}

TEST(RingDeviceErrors, DeviceWhoseOpenFailedReleasesWhatItAcquired) {
  auto fake = std::make_shared<TFakeSoundServices>();
  {
    TDirectSoundPlaybackDevice device(fake, std::nullopt);
    fake->FailCall("SetNotificationPositions", SoundFail, "");
    EXPECT_THROW(device.Open(), TDSPException);
    EXPECT_TRUE(fake->CallsStartingWith("Release").empty());
  }
  EXPECT_EQ(fake->CallsStartingWith("Release").size(), 1u);
}

TEST(RingDeviceErrors, FailedEventSetWakesBlockedWriteWithServerError) {
  auto fake = std::make_shared<TFakeSoundServices>();
  TDirectSoundPlaybackDevice device(fake, std::nullopt);
  device.Open();
  device.Start();
  auto writer = std::async(std::launch::async, [&] { device.Write(); });
  fake->FailPlaybackEvents(0x88780078u, "pa_stream: Connection terminated");
  try {
    writer.get();
    FAIL() << "Write returned";
  } catch (const TDSPException& e) {
    EXPECT_EQ(e.ResultCode, 0x88780078u);
    EXPECT_EQ(e.Operation, "IDirectSoundBuffer::Play (pa_stream: Connection terminated)");
    EXPECT_EQ(e.Description, "No sound driver is available for use");
  }
  // Every later wait fails at once, until the device is opened again.
  EXPECT_THROW(device.Write(), TDSPException);
  device.Open();
  device.Start();
  fake->NotifyPlayback({0});
  EXPECT_NO_THROW(device.Write());
}

TEST(RingDeviceErrors, FailedEventSetWakesBlockedReadWithServerError) {
  auto fake = std::make_shared<TFakeSoundServices>();
  TDirectSoundRecordingDevice device(fake, std::nullopt);
  device.Open();
  device.Start();
  auto reader = std::async(std::launch::async, [&] { device.Read(); });
  fake->FailCaptureEvents(0x80004005u, "pa_stream: Stream killed");
  try {
    reader.get();
    FAIL() << "Read returned";
  } catch (const TDSPException& e) {
    EXPECT_EQ(e.ResultCode, 0x80004005u);
    EXPECT_EQ(e.Operation, "IDirectSoundCaptureBuffer::Start (pa_stream: Stream killed)");
  }
}

TEST(RingDeviceErrors, UnopenedDeviceRaisesInsteadOfTouchingAMissingRing) {
  auto fake = std::make_shared<TFakeSoundServices>();
  TDirectSoundPlaybackDevice playback(fake, std::nullopt);
  TDirectSoundRecordingDevice capture(fake, std::nullopt);
  EXPECT_THROW(playback.Start(), TDSPException);
  EXPECT_THROW(playback.Write(), TDSPException);
  EXPECT_THROW(capture.Read(), TDSPException);
  EXPECT_TRUE(fake->Calls().empty());
}

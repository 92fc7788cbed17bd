// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/VirtDevs.h"
#include "devices/AudioFormats.h"
#include "devices/PlaybackDevsList.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <numeric>
#include <string>
#include <vector>

namespace {

// A device that only sizes its block and records what is done to it.
class TLoggingPlayback : public TPlaybackDevice {
public:
  TLoggingPlayback(std::vector<std::string>& log, std::string name, bool failOpen = false)
      : TPlaybackDevice(dkWaveAudioPlayback), log(log), name(std::move(name)), failOpen(failOpen) {}
  ~TLoggingPlayback() override { Close(); }
  void Open() override {
    TAudioDevice::Open();
    log.push_back(name + ".Open");
    if (failOpen) {
      RaiseResultError(0x88780064, 1, "Open");
    }
  }
  void Close() override { log.push_back(name + ".Close"); }
  void Start() override { log.push_back(name + ".Start"); }
  void Stop() override { log.push_back(name + ".Stop"); }
  void Write() override {
    log.push_back(name + ".Write");
    lengths.push_back(buffer.Frames());
  }

  std::vector<int32_t> lengths; // of each block written

private:
  std::vector<std::string>& log;
  std::string name;
  bool failOpen;
};

TDSPException Caught(void (*raise)()) {
  try {
    raise();
  } catch (const TDSPException& e) {
    return e;
  }
  ADD_FAILURE() << "nothing was thrown";
  return {};
}

} // namespace

TEST(BlockSize, LargestPowerOfTwoNotAboveATenthOfTheRate) {
  const std::pair<uint32_t, int32_t> table[] = {{8000, 512},   {11025, 1024}, {12000, 1024},
                                                {16000, 1024}, {22050, 2048}, {24000, 2048},
                                                {32000, 2048}, {44100, 4096}, {48000, 4096}};
  for (const auto& [rate, frames] : table) {
    EXPECT_EQ(BlockFrames(rate), frames) << rate;
  }
  EXPECT_EQ(BlockFrames(96000), 8192);
  EXPECT_EQ(BlockFrames(40960), 4096);
  EXPECT_EQ(BlockFrames(40959), 2048);
  EXPECT_EQ(BlockFrames(20), 2);
  for (uint32_t rate = 1; rate < 20; ++rate) {
    EXPECT_EQ(BlockFrames(rate), 1) << rate;
  }
}

TEST(BlockSize, EveryTableFormatLastsMoreThan50AndAtMost100Ms) {
  for (const TWaveFormat& f : FormatTable) {
    const double ms = 1000.0 * BlockFrames(f.nSamplesPerSec) / f.nSamplesPerSec;
    EXPECT_GT(ms, 50.0);
    EXPECT_LE(ms, 100.0);
  }
}

TEST(AudioBuffer, NewBufferHasTableEntryZeroAndNoData) {
  const TAudioBuffer b;
  EXPECT_EQ(b.Format(), FormatTable[0]);
  EXPECT_EQ(b.Frames(), 0);
  EXPECT_EQ(b.Bytes(), 0);
}

TEST(AudioBuffer, OpenSizesTheBlockAndSilencesItForEveryTableFormat) {
  for (int i = 0; i < FormatCount; ++i) {
    std::vector<std::string> log;
    TLoggingPlayback device(log, "d");
    device.Buffer().Format() = FormatTable[i];
    device.Open();
    const TAudioBuffer& b = device.Buffer();
    const int32_t frames = BlockFrames(FormatTable[i].nSamplesPerSec);
    EXPECT_EQ(b.Frames(), frames) << i;
    EXPECT_EQ(b.Bytes(), frames * FormatTable[i].nBlockAlign) << i;
    const uint8_t silence = FormatTable[i].wBitsPerSample == 8 ? 128 : 0;
    EXPECT_TRUE(std::all_of(b.Data(), b.Data() + b.Bytes(), [&](uint8_t v) { return v == silence; })) << i;
  }
}

TEST(AudioBuffer, BlocksAt8000HzMono8And44100HzStereo16AreSilent512And16384Bytes) {
  TAudioBuffer a;
  a.SetFrames(BlockFrames(8000));
  EXPECT_EQ(a.Frames(), 512);
  EXPECT_EQ(a.Bytes(), 512);
  EXPECT_EQ(a.Data()[0], 128);
  TAudioBuffer b;
  b.Format() = FormatTable[31];
  b.SetFrames(BlockFrames(44100));
  EXPECT_EQ(b.Frames(), 4096);
  EXPECT_EQ(b.Bytes(), 16384);
  EXPECT_EQ(b.Data()[16383], 0);
}

TEST(AudioBuffer, ShapedLikeTakesFormatAndFramesButNotTheSamples) {
  TAudioBuffer source;
  source.Format() = FormatTable[29]; // 44100 stereo 8 bits
  source.SetFrames(4096);
  std::fill(source.Data(), source.Data() + source.Bytes(), uint8_t{7});
  const TAudioBuffer shaped = TAudioBuffer::ShapedLike(source);
  EXPECT_EQ(shaped.Format(), source.Format());
  EXPECT_EQ(shaped.Frames(), 4096);
  EXPECT_EQ(shaped.Bytes(), 8192);
  EXPECT_TRUE(std::all_of(shaped.Data(), shaped.Data() + shaped.Bytes(), [](uint8_t v) { return v == 128; }));
}

TEST(AudioBuffer, ConvertFromEqualFormatIsAPlainCopyOfTheDestinationBytes) {
  TAudioBuffer source;
  source.Format() = FormatTable[3];
  source.SetFrames(512);
  for (int i = 0; i < source.Bytes(); ++i) {
    source.Data()[i] = static_cast<uint8_t>(i * 7 + 3);
  }
  TAudioBuffer copy = TAudioBuffer::ShapedLike(source);
  copy.ConvertFrom(source);
  EXPECT_TRUE(std::equal(source.Data(), source.Data() + source.Bytes(), copy.Data()));
}

TEST(AudioBuffer, ConvertFromAShorterSourceOfEqualFormatLeavesSilenceNotStaleBytes) {
  TAudioBuffer source;
  source.Format() = FormatTable[2];
  source.SetFrames(100);
  std::fill(source.Data(), source.Data() + source.Bytes(), uint8_t{0x55});
  TAudioBuffer target;
  target.Format() = FormatTable[2];
  target.SetFrames(512);
  std::fill(target.Data(), target.Data() + target.Bytes(), uint8_t{0x77});
  target.ConvertFrom(source);
  EXPECT_TRUE(std::all_of(target.Data(), target.Data() + 200, [](uint8_t v) { return v == 0x55; }));
  EXPECT_TRUE(
      std::all_of(target.Data() + 200, target.Data() + target.Bytes(), [](uint8_t v) { return v == 0; }));
}

TEST(PlaybackDevsList, EveryOperationOnAnEmptyListDoesNothing) {
  TPlaybackDevsList list;
  TAudioBuffer work;
  work.SetFrames(512);
  list.OpenAll();
  list.StartAll();
  list.ConvertAll(work);
  list.WriteAll();
  list.StopAll();
  EXPECT_EQ(list.Count(), 0);
}

TEST(PlaybackDevsList, WalksItemsInOrderAndDeletingItClosesEveryDevice) {
  std::vector<std::string> log;
  {
    TPlaybackDevsList list;
    list.Add(std::make_unique<TLoggingPlayback>(log, "a"));
    list.Add(std::make_unique<TLoggingPlayback>(log, "b"));
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Item(1)->Kind(), dkWaveAudioPlayback);
    list.OpenAll();
    list.StartAll();
    TAudioBuffer work;
    work.SetFrames(512);
    list.ConvertAll(work);
    list.WriteAll();
    list.StopAll();
  }
  const std::vector<std::string> expected = {"a.Open",  "b.Open", "a.Start", "b.Start", "a.Write",
                                             "b.Write", "a.Stop", "b.Stop",  "a.Close", "b.Close"};
  EXPECT_EQ(log, expected);
}

TEST(PlaybackDevsList, AThrowStopsTheWalkAtThatItem) {
  std::vector<std::string> log;
  TPlaybackDevsList list;
  list.Add(std::make_unique<TLoggingPlayback>(log, "a"));
  list.Add(std::make_unique<TLoggingPlayback>(log, "b", true));
  list.Add(std::make_unique<TLoggingPlayback>(log, "c"));
  EXPECT_THROW(list.OpenAll(), TDSPException);
  EXPECT_EQ(log, (std::vector<std::string>{"a.Open", "b.Open"}));
}

TEST(PlaybackDevsList, SameRateOutputGetsOneConvertedBlockPerPass) {
  std::vector<std::string> log;
  TPlaybackDevsList list;
  list.Add(std::make_unique<TLoggingPlayback>(log, "a"));
  list.Item(0)->Buffer().Format() = FormatTable[3]; // 8000 stereo 16
  list.OpenAll();
  TAudioBuffer work; // 8000 mono 8
  work.SetFrames(512);
  work.Data()[0] = 255;
  list.ConvertAll(work);
  list.WriteAll();
  const TAudioBuffer& out = list.Item(0)->Buffer();
  EXPECT_EQ(out.Frames(), 512);
  EXPECT_EQ(out.Data()[1], 127); // 8-bit 255 is 16-bit 0x7F00, on both channels
  EXPECT_EQ(out.Data()[3], 127);
  EXPECT_EQ(std::count(log.begin(), log.end(), "a.Write"), 1);
}

TEST(PlaybackDevsList, AShortBlockReachesASameRateOutputShortAndTheFlushEndsAConvertedOneExactly) {
  std::vector<std::string> log;
  TPlaybackDevsList list;
  auto sameOwned = std::make_unique<TLoggingPlayback>(log, "same");
  auto otherOwned = std::make_unique<TLoggingPlayback>(log, "other");
  TLoggingPlayback& same = *sameOwned;
  TLoggingPlayback& other = *otherOwned;
  list.Add(std::move(sameOwned));
  list.Add(std::move(otherOwned));
  same.Buffer().Format() = FormatTable[3];   // 8000 stereo 16: the same rate, 512-frame blocks
  other.Buffer().Format() = FormatTable[34]; // 48000 mono 16: 4096-frame blocks
  list.OpenAll();
  TAudioBuffer work; // 8000 mono 8
  work.SetFrames(512);
  for (int i = 0; i < 11; ++i) {
    work.SetLength(i == 10 ? 100 : 512); // the last block of a file
    list.ConvertAll(work);
    list.WriteAll();
  }
  const auto sum = [](const std::vector<int32_t>& v) {
    return std::accumulate(v.begin(), v.end(), int64_t{0});
  };
  EXPECT_EQ(same.lengths.size(), 11u);
  EXPECT_EQ(same.lengths.back(), 100);
  EXPECT_EQ(sum(same.lengths), 10 * 512 + 100);
  EXPECT_EQ(sum(other.lengths) % 4096, 0); // whole blocks until the end
  list.FlushAll();
  // 5220 frames at 8000 Hz are 31320 at 48000 Hz: seven whole blocks and a short one of 2648.
  EXPECT_EQ(sum(other.lengths), 31320);
  EXPECT_EQ(other.lengths, (std::vector<int32_t>{4096, 4096, 4096, 4096, 4096, 4096, 4096, 2648}));
  EXPECT_EQ(other.Buffer().Frames(), 4096); // whole again for whatever comes next
  EXPECT_EQ(same.lengths.size(), 11u);      // nothing to flush for the same rate
}

TEST(BlockSize, AChosenBlockSizesEveryRateAlikeAndAnythingElseIsRefusedAsAnInvalidParameter) {
  std::vector<std::string> log;
  TLoggingPlayback device(log, "device");
  for (const int32_t frames : BlockFramesChoices) {
    device.Buffer().Format() = FormatTable[frames < 512 ? 0 : 35]; // 8000 or 48000 Hz alike
    device.SetBlockFrames(frames);
    device.Open();
    EXPECT_EQ(device.Buffer().Bytes(), frames * device.Buffer().Format().nBlockAlign);
  }
  device.SetBlockFrames(0); // the rule again
  device.Open();
  EXPECT_EQ(device.Buffer().CapacityFrames(), 4096);
  for (const int32_t wrong : {-64, 1, 63, 100, 4096, 8192}) {
    try {
      device.SetBlockFrames(wrong);
      ADD_FAILURE() << wrong << " was taken";
    } catch (const TDSPException& e) {
      EXPECT_EQ(e.ResultCode, 0x80070057u);
      EXPECT_EQ(e.Operation, "TAudioDevice::SetBlockFrames");
    }
  }
  EXPECT_EQ(device.BlockChoice(), 0);
  EXPECT_EQ(BlockFramesChoicesText(), "64, 128, 256, 512, 1024 или 2048");
}

TEST(BlockSize, TextsGiveFramesWithTheirRussianFormAndTenthsOfAMillisecond) {
  EXPECT_EQ(BlockChoiceText(0, 48000), "По умолчанию (4096 отсчётов, 85,3 мс)");
  EXPECT_EQ(BlockChoiceText(64, 48000), "64 отсчёта (1,3 мс)");
  EXPECT_EQ(BlockChoiceText(64, 44100), "64 отсчёта (1,5 мс)");
  EXPECT_EQ(BlockChoiceText(256, 44100), "256 отсчётов (5,8 мс)");
  EXPECT_EQ(BlockChoiceText(1024, 8000), "1024 отсчёта (128,0 мс)");
  EXPECT_EQ(BlockChoiceText(0, 0), "По умолчанию (от 50 до 100 мс)");
  EXPECT_EQ(BlockChoiceText(2048, 0), "2048 отсчётов");
  EXPECT_EQ(BlockLengthText(1, 1000) + BlockLengthText(11, 1000), "1 отсчёт (1,0 мс)11 отсчётов (11,0 мс)");
}

// ---- Error record and message --------------------------------------------------------------

TEST(DSPMessage, TableCodeShowsItsDescription) {
  const TDSPException e =
      Caught([] { RaiseResultError(0x88780064, 123, "IDirectSound::CreateSoundBuffer"); });
  EXPECT_EQ(e.Informational, 0);
  EXPECT_EQ(e.ResultCode, 0x88780064u);
  EXPECT_EQ(e.SourceFile, "VirtDevs.cpp");
  EXPECT_EQ(e.SourceLine, 123);
  const TDSPMessage m = ComposeDSPMessage(e);
  EXPECT_EQ(m.Caption, "Ошибка");
  EXPECT_FALSE(m.Informational);
  EXPECT_EQ(m.Text, "Описание ошибки: The specified wave format is not supported\n"
                    "Код ошибки: 0x88780064\n"
                    "Файл \"VirtDevs.cpp\", строка 123\n"
                    "Функция: IDirectSound::CreateSoundBuffer");
}

TEST(DSPMessage, CodeOutsideTheTableShowsNoDescription) {
  const TDSPException e = Caught([] { RaiseResultError(0x88780001, 7, "IDirectSoundBuffer::Lock"); });
  EXPECT_EQ(e.Description, "");
  EXPECT_EQ(ComposeDSPMessage(e).Text, "Описание ошибки: Нет\n"
                                       "Код ошибки: 0x88780001\n"
                                       "Файл \"VirtDevs.cpp\", строка 7\n"
                                       "Функция: IDirectSoundBuffer::Lock");
}

TEST(DSPMessage, EveryTableCodeHasItsText) {
  EXPECT_EQ(ResultDescription(0x80004001), "The function called is not supported at this time");
  EXPECT_EQ(ResultDescription(0x80004005), "An undetermined error occurred inside the DirectSound subsystem");
  EXPECT_EQ(ResultDescription(0x8878000A), "The request failed because resources, such as a priority level, "
                                           "were already in use by another caller");
  EXPECT_EQ(ResultDescription(0x88780078), "No sound driver is available for use");
  EXPECT_EQ(ResultDescription(0x88780096), "The buffer memory has been lost and must be restored");
  EXPECT_EQ(ResultDescription(0x887800AA),
            "The IDirectSound::Initialize method has not been called or has not "
            "been called successfully before other methods were called");
  EXPECT_EQ(ResultDescription(0), "");
}

TEST(DSPMessage, FailedFileCallShowsTheCallAsFunctionAndTheSystemsTextForErrno) {
  const TDSPException e = Caught([] {
    errno = 2;
    RaiseSystemError(40, "CreateFile");
  });
  EXPECT_EQ(e.ResultCode, 2u);
  EXPECT_EQ(e.Operation, "CreateFile");
  EXPECT_EQ(e.Description, "No such file or directory");
  EXPECT_EQ(ComposeDSPMessage(e).Text, "Описание ошибки: No such file or directory\n"
                                       "Код ошибки: 0x00000002\n"
                                       "Файл \"VirtDevs.cpp\", строка 40\n"
                                       "Функция: CreateFile");
  const TDSPException named = Caught([] {
    errno = ENOSPC;
    RaiseSystemError(41, "WriteFile", "Файл \"out.wav\"");
  });
  EXPECT_EQ(named.Description, "Файл \"out.wav\": No space left on device");
  EXPECT_EQ(named.Operation, "WriteFile");
  const TDSPException check = Caught([] {
    errno = 0;
    RaiseSystemError(42, "Неверный формат файла", "Стандартный ввод");
  });
  EXPECT_EQ(check.Description, "Стандартный ввод: Неверный формат файла");
  EXPECT_EQ(check.Operation, "");
}

TEST(DSPMessage, HeaderCheckWithoutSystemErrorShowsItsMessageAsDescription) {
  const TDSPException e = Caught([] {
    errno = 0;
    RaiseSystemError(55, "Неверный формат файла");
  });
  EXPECT_EQ(ComposeDSPMessage(e).Text, "Описание ошибки: Неверный формат файла\n"
                                       "Код ошибки: 0x00000000\n"
                                       "Файл \"VirtDevs.cpp\", строка 55\n"
                                       "Функция: Нет");
}

TEST(DSPMessage, NoticeShowsOnlyItsTextUnderMessageCaption) {
  const TDSPException e = Caught([] { RaiseNotice("Достигнут конец файла"); });
  EXPECT_NE(e.Informational, 0);
  const TDSPMessage m = ComposeDSPMessage(e);
  EXPECT_EQ(m.Caption, "Сообщение");
  EXPECT_EQ(m.Text, "Достигнут конец файла");
  EXPECT_TRUE(m.Informational);
}

TEST(DSPMessage, LongTextsAreNotCut) {
  TDSPException e;
  e.ResultCode = 1;
  e.SourceFile = "VirtDevs.cpp";
  e.Operation = std::string(600, 'x');
  const std::string text = ComposeDSPMessage(e).Text;
  EXPECT_EQ(text.substr(text.size() - 600), e.Operation);
  EXPECT_NE(text.back(), '\n');
}

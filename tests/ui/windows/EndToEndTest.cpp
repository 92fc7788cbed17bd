// SPDX-License-Identifier: GPL-3.0-or-later
// The program end to end, driven as a user drives it: on files (a low-pass between two WAVE files,
// the end-of-file box, the file played again) and on sound (capture from the test server's
// null sink while a tone plays into it, playback to a second sink and a file at once, a pause).

#include "support/ChildProcess.h"
#include "support/PcmSignals.h"
#include "support/PrivatePulseServer.h"
#include "support/ProgramDriver.h"
#include "support/SoundFiles.h"
#include "support/TestFiles.h"

#include "devices/DeviceCatalogue.h"
#include "devices/platform/PulseSoundServices.h"
#include "ui/dialogs/LHPassFilterDlg.h"

#include <QMdiArea>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numbers>

using namespace sonotest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

double Db(double ratio) {
  return 20 * std::log10(ratio);
}

// The median amplitude of a tone over windows of `span` frames from `from` on.
double MedianAmplitude(const std::vector<double>& x, int64_t from, int64_t span, double hz, double rate) {
  std::vector<double> a;
  for (int64_t at = from; at + span <= static_cast<int64_t>(x.size()); at += span) {
    a.push_back(GoertzelAmplitude(x, at, at + span, hz, rate));
  }
  if (a.empty()) {
    return 0;
  }
  std::nth_element(a.begin(), a.begin() + static_cast<long>(a.size() / 2), a.end());
  return a[a.size() / 2];
}

// A set-up from the WAVE file `in` to the WAVE file `out` (format 31: 44100 Hz, stereo, 16 bits),
// chosen through the device dialogs.
TDSPForm* FileToFileSetUp(TProgram& program, const std::string& in, const std::string& out) {
  return program.BeginSetUp([&](TSelectDevicesDlg& d) {
    const int input = LastRowOf(*d.InputDevsList, QString::fromUtf8(WaveFileItemText));
    ClickRow(*d.InputDevsList, input);
    ASSERT_TRUE(SetFileThroughDialog(*d.InputDevsList, input, QString::fromStdString(in)));
    const int output = LastRowOf(*d.OutputDevsList, QString::fromUtf8(WaveFileItemText));
    CheckOutputs(d, {output});
    ASSERT_TRUE(SetFileThroughDialog(*d.OutputDevsList, output, QString::fromStdString(out), 31));
  });
}

} // namespace

TEST(EndToEnd, ALowPassBetweenTwoFilesKeeps200HzRemoves5kHzAndTheEndLeavesTheWindowToPlayTheFileAgain) {
  const TTempDir dir("sonolab-e2e-files");
  const std::string in = dir.File("in.wav");
  const std::string out = dir.File("out.wav");
  constexpr uint32_t Rate = 44100;
  constexpr double Amplitude = 8000;
  std::vector<int16_t> samples;
  for (int n = 0; n < 3 * static_cast<int>(Rate); ++n) {
    const double v = Amplitude * (std::sin(2 * std::numbers::pi * 200 * n / Rate) +
                                  std::sin(2 * std::numbers::pi * 5000 * n / Rate));
    samples.push_back(static_cast<int16_t>(v));
    samples.push_back(static_cast<int16_t>(v));
  }
  WriteWave(in, Rate, 2, samples);

  TProgram program;
  TDSPForm* form = FileToFileSetUp(program, in, out);
  ASSERT_NE(form, nullptr);
  const QPointer<TDSPForm> alive = form;
  EXPECT_EQ(form->windowTitle(), "Обработка сигнала - in.wav (Файл формата WAVE)");

  // The low-pass through the selection dialog and its parameter dialog (its defaults: 1000 Hz).
  AddFilterThroughDialogs(*form, 0);
  ASSERT_EQ(form->ChainList()->Count(), 1);

  TBoxSeen end;
  auto box = DismissBox(end);
  QTest::mouseClick(form->PlayBtn, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return box->Done(); }, 30s));
  EXPECT_EQ(end.Caption, "Сообщение");
  EXPECT_EQ(end.Icon, QMessageBox::Information);
  EXPECT_EQ(end.Text, "Достигнут конец файла");
  // The window stays, stopped at the end with its chain; Play starts the file again from its start.
  Pump(100ms);
  ASSERT_FALSE(alive.isNull());
  EXPECT_EQ(form->State(), TDSPState::Ended);
  EXPECT_EQ(form->StatusText(), "Состояние: достигнут конец файла, обработка остановлена");
  EXPECT_TRUE(form->PlayBtn->isEnabled());
  EXPECT_FALSE(form->PauseBtn->isEnabled());
  EXPECT_EQ(form->ChainList()->Count(), 1);
  auto again = DismissBox(end);
  QTest::mouseClick(form->PlayBtn, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return again->Done(); }, 30s));
  form->CloseSetUp();
  ASSERT_TRUE(WaitUntil([&] { return alive.isNull(); }));
  EXPECT_TRUE(program.Main().ClientArea->subWindowList().isEmpty());

  const TWaveContents wave = ReadWave(out);
  EXPECT_EQ(wave.Rate, Rate);
  EXPECT_EQ(wave.Channels, 2);
  EXPECT_EQ(wave.Bits, 16);
  const int64_t length = static_cast<int64_t>(samples.size() / 2);
  ASSERT_EQ(static_cast<int64_t>(wave.Frames()), 2 * length); // the file twice, nothing lost at the seam
  for (int c = 0; c < 2; ++c) {
    const std::vector<double> x = Channel(wave, c);
    // Past the kernel's delay, whole periods of both tones.
    const int64_t from = 8192;
    const int64_t to = from + 44100;
    const double low = GoertzelAmplitude(x, from, to, 200, Rate);
    const double high = GoertzelAmplitude(x, from, to, 5000, Rate);
    EXPECT_NEAR(Db(low / Amplitude), 0, 0.5) << c;
    EXPECT_LT(Db(high / Amplitude), -40) << c;
    // The second run from the file's first frame: the same filtered sound once the kernel has filled.
    double largest = 0;
    for (int64_t n = 1024; n < length; ++n) {
      largest = std::max(largest, std::fabs(x[static_cast<size_t>(length + n)] - x[static_cast<size_t>(n)]));
    }
    EXPECT_LE(largest, 1.0) << c;
  }
}

// A full-scale square wave through the low-pass overshoots at every edge: the saturated samples are
// counted, and the status bar shows the count when the file ends.
TEST(EndToEnd, SamplesSaturatedByTheChainAreCountedInTheStatusBar) {
  const TTempDir dir("sonolab-e2e-clip");
  const std::string in = dir.File("in.wav");
  const std::string out = dir.File("out.wav");
  constexpr uint32_t Rate = 44100;
  std::vector<int16_t> samples;
  for (int n = 0; n < static_cast<int>(Rate); ++n) {
    samples.push_back(static_cast<int16_t>((n / 220) % 2 == 0 ? 32000 : -32000)); // 100 Hz
  }
  WriteWave(in, Rate, 1, samples);

  TProgram program;
  TDSPForm* form = FileToFileSetUp(program, in, out);
  ASSERT_NE(form, nullptr);
  const QPointer<TDSPForm> alive = form;
  AddFilterThroughDialogs(*form, 0);
  ASSERT_EQ(form->ChainList()->Count(), 1);

  QString counts, countsTip;
  bool stateWhole = false;
  auto box = TModalDriver::When<QMessageBox>([&](QMessageBox& b) {
    counts = form->CountsText();
    countsTip = form->CountsLabel->toolTip();
    // Beside the counts, at the window's default width, the state is still whole.
    stateWhole = form->StatusLabel->width() >= form->StatusLabel->sizeHint().width();
    b.accept();
  });
  QTest::mouseClick(form->PlayBtn, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return box->Done(); }, 30s));
  form->CloseSetUp();
  ASSERT_TRUE(WaitUntil([&] { return alive.isNull(); }));

  // Counted independently: samples at the ends of the 16-bit range in one channel of the output (the
  // mono chain is written to both). The low-passed square rings above 32767 after every edge, while
  // an unsaturated sample lands exactly on an end only by rare chance.
  const std::vector<double> x = Channel(ReadWave(out), 0);
  ASSERT_EQ(x.size(), samples.size());
  const auto saturated =
      std::count_if(x.begin(), x.end(), [](double v) { return v >= 32767 || v <= -32768; });
  ASSERT_GT(saturated, 100);
  EXPECT_TRUE(stateWhole);
  const QString prefix = QStringLiteral("перегрузок: "); // a file set-up drops nothing: no dropout shown
  ASSERT_TRUE(counts.startsWith(prefix)) << counts.toStdString();
  EXPECT_EQ(countsTip, "пропусков: 0 · " + counts);
  bool number = false;
  const long long shown = counts.mid(prefix.size()).toLongLong(&number);
  ASSERT_TRUE(number) << counts.toStdString();
  EXPECT_NEAR(static_cast<double>(shown), static_cast<double>(saturated), 0.02 * saturated + 2);
}

// A second null sink for the program's playback, so that what it plays does not go back into what it
// captures.
class TExtraSink {
public:
  explicit TExtraSink(const std::string& name) {
    const std::string command = "pactl load-module module-null-sink sink_name=" + name +
                                " sink_properties=device.description=" + name + " 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe != nullptr) {
      char line[64] = {};
      if (std::fgets(line, sizeof line, pipe) != nullptr) {
        module = std::atoi(line);
      }
      ::pclose(pipe);
    }
  }
  ~TExtraSink() {
    if (module > 0) {
      const std::string command = "pactl unload-module " + std::to_string(module);
      [[maybe_unused]] const int ignored = std::system(command.c_str());
    }
  }
  bool Loaded() const { return module > 0; }

private:
  int module = -1;
};

TEST(EndToEndSound, CapturedToneGoesToASinkAndAFileAtItsLevelAndNoBlockArrivesDuringAPause) {
  SONOTEST_REQUIRE_PULSE_SERVER();
  auto services = std::make_shared<TPulseSoundServices>();
  TExtraSink sink("sonolab_gui_out");
  ASSERT_TRUE(sink.Loaded());
  const TTempDir dir("sonolab-e2e-sound");
  const std::string tone = dir.File("tone.wav");
  const std::string out = dir.File("out.wav");
  constexpr uint32_t Rate = 44100;
  constexpr double Amplitude = 12000;
  WriteWave(tone, Rate, 2, Sine16(1000, Rate, 2, 12 * Rate, Amplitude));
  TChild player({"/usr/bin/paplay", "--device=sonolab_null", tone}, TChildOptions{});
  ASSERT_TRUE(player.Started());

  TProgram program(services);
  const QString monitor = QStringLiteral("Monitor of Null Output (PulseAudio)");
  TDSPForm* form = program.BeginSetUp([&](TSelectDevicesDlg& d) {
    const int input = RowOf(*d.InputDevsList, monitor);
    ASSERT_GE(input, 0);
    ClickRow(*d.InputDevsList, input);
    ASSERT_TRUE(EditDevice(*d.InputDevsList, input, [](TDevParamDlg& p) { ClickRow(*p.FormatsList, 31); }));
    const int ring = RowOf(*d.OutputDevsList, QStringLiteral("sonolab_gui_out (PulseAudio)"));
    const int file = LastRowOf(*d.OutputDevsList, QString::fromUtf8(WaveFileItemText));
    ASSERT_GE(ring, 0);
    CheckOutputs(d, {ring, file});
    ASSERT_TRUE(EditDevice(*d.OutputDevsList, ring, [](TDevParamDlg& p) { ClickRow(*p.FormatsList, 31); }));
    ASSERT_TRUE(SetFileThroughDialog(*d.OutputDevsList, file, QString::fromStdString(out), 31));
  });
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(form->Outputs()->Count(), 2);
  // Open the signal display too, so that blocks are shown while the sound runs.
  emit form->DSPGraphView->itemDoubleClicked(form->DSPGraphView->topLevelItem(0)->child(0), 0);

  QTest::mouseClick(form->PlayBtn, Qt::LeftButton);
  EXPECT_EQ(form->StatusText(), "Состояние: обработка сигнала");
  // The server takes its time to start the streams; then about ten blocks a second.
  ASSERT_TRUE(WaitUntil([&] { return form->BlocksServed() >= 15; }, 20s));
  const uint64_t beforePause = form->BlocksServed();
  QTest::mouseClick(form->PauseBtn, Qt::LeftButton);
  EXPECT_EQ(form->StatusText(), "Состояние: обработка сигнала приостановлена");
  EXPECT_TRUE(form->PlayBtn->isEnabled());
  EXPECT_FALSE(form->PauseBtn->isEnabled());
  Pump(100ms); // the pass under way may still end
  // At the window's default width the state stays whole beside the block and the indicator.
  EXPECT_EQ(form->parentWidget()->width(), TDSPForm::FormWidth) << "the window in its frame";
  EXPECT_EQ(form->BlockLabel->text(), "92,9 мс");
  EXPECT_EQ(form->RealtimeLabel->text(), "РВ");
  EXPECT_GE(form->StatusLabel->width(), form->StatusLabel->sizeHint().width());
  const uint64_t paused = form->BlocksServed();
  EXPECT_LE(paused, beforePause + 1);
  Pump(500ms);
  EXPECT_EQ(form->BlocksServed(), paused) << "a block arrived during the pause";
  QTest::mouseClick(form->PlayBtn, Qt::LeftButton);
  EXPECT_TRUE(WaitUntil([&] { return form->BlocksServed() >= paused + 15; }, 20s));
  const QPointer<TDSPForm> alive = form;
  form->CloseSetUp();
  ASSERT_TRUE(WaitUntil([&] { return alive.isNull(); }));

  const TWaveContents wave = ReadWave(out);
  ASSERT_EQ(wave.Rate, Rate);
  ASSERT_GT(static_cast<int64_t>(wave.Frames()), int64_t{Rate} * 2);
  const std::vector<double> x = Channel(wave, 0);
  // The capture starts before the tone has reached the monitor at full level in every block; the
  // median of 4096-frame windows is the tone's level.
  EXPECT_NEAR(Db(MedianAmplitude(x, 4096, 4096, 1000, Rate) / Amplitude), 0, 0.5);
}

// A 44.1 kHz stereo FLAC to the null sink and to a WAVE file, no format touched: both run in the
// file's own format, and the file holds the input's samples unchanged.
TEST(EndToEndSound, OutputsWithoutAChosenFormatTakeTheInputFilesOwnFormat) {
  SONOTEST_REQUIRE_PULSE_SERVER();
  auto services = std::make_shared<TPulseSoundServices>();
  const TTempDir dir("sonolab-e2e-follow");
  const std::string in = dir.File("tone.flac");
  const std::string out = dir.File("out.wav");
  constexpr uint32_t Rate = 44100;
  const std::vector<int16_t> tone = Sine16(440, Rate, 2, Rate / 2, 9000);
  EncodeSoundFile(in, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, Rate, 2, tone);

  TProgram program(services);
  TDSPForm* form = program.BeginSetUp([&](TSelectDevicesDlg& d) {
    const int input = LastRowOf(*d.InputDevsList, QString::fromUtf8(WaveFileItemText));
    ClickRow(*d.InputDevsList, input);
    ASSERT_TRUE(SetFileThroughDialog(*d.InputDevsList, input, QString::fromStdString(in)));
    const int file = LastRowOf(*d.OutputDevsList, QString::fromUtf8(WaveFileItemText));
    CheckOutputs(d, {RowOf(*d.OutputDevsList, QStringLiteral("Null Output (PulseAudio)")), file});
    ASSERT_TRUE(SetFileThroughDialog(*d.OutputDevsList, file, QString::fromStdString(out)));
  });
  ASSERT_NE(form, nullptr);
  ASSERT_EQ(form->Outputs()->Count(), 2);
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(form->Outputs()->Item(i)->Buffer().Format() == MakePCMFormat(Rate, 2, 16)) << i;
  }
  const QPointer<TDSPForm> alive = form;
  TBoxSeen end;
  auto box = DismissBox(end);
  QTest::mouseClick(form->PlayBtn, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return box->Done(); }, 30s));
  form->CloseSetUp();
  ASSERT_TRUE(WaitUntil([&] { return alive.isNull(); }));
  const TWaveContents wave = ReadWave(out);
  EXPECT_EQ(wave.Rate, Rate);
  EXPECT_EQ(wave.Channels, 2);
  EXPECT_EQ(wave.Bits, 16);
  EXPECT_EQ(wave.Samples, tone);
}

TEST(ProcessingWindowSound, UncheckingAFilterWhileProcessingPassesItByAndRecheckingRestartsItCleared) {
  SONOTEST_REQUIRE_PULSE_SERVER();
  auto services = std::make_shared<TPulseSoundServices>();
  const TTempDir dir("sonolab-uncheck");
  const std::string in = dir.File("in.wav");
  const std::string out = dir.File("out.wav");
  // 8000 Hz mono: a 3000 Hz tone that a 1000 Hz low-pass removes. The null sink paces the worker.
  constexpr uint32_t Rate = 8000;
  WriteWave(in, Rate, 1, Sine16(3000, Rate, 1, 6 * Rate, 10000));
  TProgram program(services);
  TDSPForm* form = program.BeginSetUp([&](TSelectDevicesDlg& d) {
    const int input = LastRowOf(*d.InputDevsList, QString::fromUtf8(WaveFileItemText));
    ClickRow(*d.InputDevsList, input);
    ASSERT_TRUE(SetFileThroughDialog(*d.InputDevsList, input, QString::fromStdString(in)));
    const int file = LastRowOf(*d.OutputDevsList, QString::fromUtf8(WaveFileItemText));
    CheckOutputs(d, {0, file}); // the null sink (default format: 8000 Hz, 8 bits, mono) and the file
    ASSERT_TRUE(SetFileThroughDialog(*d.OutputDevsList, file, QString::fromStdString(out), 2));
  });
  ASSERT_NE(form, nullptr);
  AddFilterThroughDialogs(*form, 0);
  QTest::mouseClick(form->PlayBtn, Qt::LeftButton);
  // Each phase lasts some blocks (64 ms each), however long the server takes to start.
  auto blocks = [&](uint64_t n) {
    const uint64_t from = form->BlocksServed();
    return WaitUntil([&] { return form->BlocksServed() >= from + n; }, 20s);
  };
  ASSERT_TRUE(blocks(10));
  ClickCheckBox(*form->FilterListBox, 0);
  EXPECT_FALSE(form->ChainList()->IsEnabled(0));
  const float* state = form->ChainList()->Item(0)->ChannelState(0);
  const int32_t length = form->ChainList()->Item(0)->StateLength();
  EXPECT_TRUE(std::all_of(state, state + length, [](float v) { return v == 0; })) << "switched off, cleared";
  ASSERT_TRUE(blocks(10));
  ClickCheckBox(*form->FilterListBox, 0);
  EXPECT_TRUE(form->ChainList()->IsEnabled(0));
  ASSERT_TRUE(blocks(10));
  const QPointer<TDSPForm> alive = form;
  form->CloseSetUp();
  ASSERT_TRUE(WaitUntil([&] { return alive.isNull(); }));

  // Block by block: removed (filtered), then the input as it is (passed by), then removed again.
  const TWaveContents wave = ReadWave(out);
  const std::vector<double> x = Channel(wave, 0);
  const int64_t block = 512;
  std::string pattern;
  for (int64_t b = 1; (b + 1) * block <= static_cast<int64_t>(wave.Frames()); ++b) {
    const double a = GoertzelAmplitude(x, b * block, (b + 1) * block, 3000, Rate);
    const char kind = a < 1000 ? 'F' : (a > 9000 ? 'P' : '?');
    if (pattern.empty() || pattern.back() != kind) {
      pattern += kind;
    }
  }
  // A block straddling a switch may read between the two.
  pattern.erase(std::remove(pattern.begin(), pattern.end(), '?'), pattern.end());
  EXPECT_EQ(pattern, "FPF");
}

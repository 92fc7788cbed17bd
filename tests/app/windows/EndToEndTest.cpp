// The program end to end, driven as a user drives it: on files (a low-pass between two WAVE files,
// the end-of-file box, the window closing by itself) and on sound (capture from the test server's
// null sink while a tone plays into it, playback to a second sink and a file at once, a pause).

#include "devices/SignalTools.h"
#include "support/ProgramTestTools.h"
#include "tools/ChildProcess.h"
#include "tools/TestWave.h"

#include "devices/DeviceCatalogue.h"
#include "devices/platform/PulseSoundServices.h"
#include "filters/dialogs/LHPassFilterDlg.h"

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

fs::path TestDir(const char* name) {
  const fs::path dir = fs::temp_directory_path() / (std::string(name) + "-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  return dir;
}

// The median amplitude of a tone over windows of `span` frames from `from` on.
double MedianAmplitude(const std::vector<double>& x, int64_t from, int64_t span, double hz, double rate) {
  std::vector<double> a;
  for (int64_t at = from; at + span <= static_cast<int64_t>(x.size()); at += span) {
    a.push_back(testing_signals::GoertzelAmplitude(x, at, at + span, hz, rate));
  }
  if (a.empty()) {
    return 0;
  }
  std::nth_element(a.begin(), a.begin() + static_cast<long>(a.size() / 2), a.end());
  return a[a.size() / 2];
}

} // namespace

TEST(EndToEnd, ALowPassBetweenTwoFilesKeeps200HzRemoves5kHzAndTheWindowClosesAfterTheEndOfFileBox) {
  const fs::path dir = TestDir("sonolab-e2e-files");
  const std::string in = (dir / "in.wav").string();
  const std::string out = (dir / "out.wav").string();
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
  TDSPForm* form = program.BeginSetUp([&](TSelectDevicesDlg& d) {
    const int input = LastRowOf(*d.InputDevsList, QString::fromUtf8(WaveFileItemText));
    ClickRow(*d.InputDevsList, input);
    ASSERT_TRUE(SetFileThroughDialog(*d.InputDevsList, input, QString::fromStdString(in)));
    const int output = LastRowOf(*d.OutputDevsList, QString::fromUtf8(WaveFileItemText));
    CheckOutputs(d, {output});
    ASSERT_TRUE(SetFileThroughDialog(*d.OutputDevsList, output, QString::fromStdString(out), 31));
  });
  ASSERT_NE(form, nullptr);
  const QPointer<TDSPForm> alive = form;
  EXPECT_EQ(form->windowTitle(), "Обработка сигнала - Файл формата WAVE");

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
  ASSERT_TRUE(WaitUntil([&] { return alive.isNull(); }));
  EXPECT_TRUE(program.Main().ClientArea->subWindowList().isEmpty());

  const TWave wave = ReadWave(out);
  EXPECT_EQ(wave.Format.nSamplesPerSec, Rate);
  EXPECT_EQ(wave.Format.nChannels, 2);
  EXPECT_EQ(wave.Format.wBitsPerSample, 16);
  ASSERT_GT(wave.Frames(), Rate * 2);
  for (int c = 0; c < 2; ++c) {
    const std::vector<double> x = testing_signals::Channel(wave.Format, wave.Data.data(), wave.Frames(), c);
    // Past the kernel's delay, whole periods of both tones.
    const int64_t from = 8192;
    const int64_t to = from + 44100;
    const double low = testing_signals::GoertzelAmplitude(x, from, to, 200, Rate);
    const double high = testing_signals::GoertzelAmplitude(x, from, to, 5000, Rate);
    EXPECT_NEAR(Db(low / Amplitude), 0, 0.5) << c;
    EXPECT_LT(Db(high / Amplitude), -40) << c;
  }
  fs::remove_all(dir);
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
  auto services = std::make_shared<TPulseSoundServices>();
  if (!services->ServerReachable()) {
    GTEST_SKIP() << "no sound server";
  }
  TExtraSink sink("sonolab_gui_out");
  ASSERT_TRUE(sink.Loaded());
  const fs::path dir = TestDir("sonolab-e2e-sound");
  const std::string tone = (dir / "tone.wav").string();
  const std::string out = (dir / "out.wav").string();
  constexpr uint32_t Rate = 44100;
  constexpr double Amplitude = 12000;
  std::vector<int16_t> samples;
  for (int n = 0; n < 12 * static_cast<int>(Rate); ++n) {
    const auto v =
        static_cast<int16_t>(std::lround(Amplitude * std::sin(2 * std::numbers::pi * 1000 * n / Rate)));
    samples.push_back(v);
    samples.push_back(v);
  }
  WriteWave(tone, Rate, 2, samples);
  child_process::TChild player({"/usr/bin/paplay", "--device=sonolab_null", tone}, child_process::TOptions{});
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
  EXPECT_EQ(form->OutputDevices->Count(), 2);
  // Open the signal display too, so that blocks are shown while the sound runs.
  emit form->DSPGraphView->itemDoubleClicked(form->DSPGraphView->topLevelItem(0)->child(0), 0);

  QTest::mouseClick(form->PlayBtn, Qt::LeftButton);
  EXPECT_EQ(form->StatusText(), "Состояние: обработка сигнала");
  Pump(1500ms);
  const uint64_t beforePause = form->BlocksServed();
  EXPECT_GE(beforePause, 10u);
  QTest::mouseClick(form->PauseBtn, Qt::LeftButton);
  EXPECT_EQ(form->StatusText(), "Состояние: обработка сигнала приостановлена");
  EXPECT_TRUE(form->PlayBtn->isEnabled());
  EXPECT_FALSE(form->PauseBtn->isEnabled());
  Pump(100ms); // the pass under way may still end
  const uint64_t paused = form->BlocksServed();
  EXPECT_LE(paused, beforePause + 1);
  Pump(500ms);
  EXPECT_EQ(form->BlocksServed(), paused) << "a block arrived during the pause";
  QTest::mouseClick(form->PlayBtn, Qt::LeftButton);
  Pump(1500ms);
  EXPECT_GE(form->BlocksServed(), paused + 10);
  const QPointer<TDSPForm> alive = form;
  form->CloseSetUp();
  ASSERT_TRUE(WaitUntil([&] { return alive.isNull(); }));

  const TWave wave = ReadWave(out);
  ASSERT_EQ(wave.Format.nSamplesPerSec, Rate);
  ASSERT_GT(wave.Frames(), Rate * 2);
  const std::vector<double> x = testing_signals::Channel(wave.Format, wave.Data.data(), wave.Frames(), 0);
  // The capture starts before the tone has reached the monitor at full level in every block; the
  // median of 4096-frame windows is the tone's level.
  EXPECT_NEAR(Db(MedianAmplitude(x, 4096, 4096, 1000, Rate) / Amplitude), 0, 0.5);
  fs::remove_all(dir);
}

TEST(ProcessingWindowSound, UncheckingAFilterWhileProcessingPassesItByAndRecheckingRestartsItCleared) {
  auto services = std::make_shared<TPulseSoundServices>();
  if (!services->ServerReachable()) {
    GTEST_SKIP() << "no sound server";
  }
  const fs::path dir = TestDir("sonolab-uncheck");
  const std::string in = (dir / "in.wav").string();
  const std::string out = (dir / "out.wav").string();
  // 8000 Hz mono: a 3000 Hz tone that a 1000 Hz low-pass removes. The null sink paces the worker.
  constexpr uint32_t Rate = 8000;
  std::vector<int16_t> samples;
  for (int n = 0; n < 6 * static_cast<int>(Rate); ++n) {
    samples.push_back(
        static_cast<int16_t>(std::lround(10000 * std::sin(2 * std::numbers::pi * 3000 * n / Rate))));
  }
  WriteWave(in, Rate, 1, samples);
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
  Pump(1000ms);
  ClickCheckBox(*form->FilterListBox, 0);
  EXPECT_FALSE(form->ChainList()->IsEnabled(0));
  const float* state = form->ChainList()->Item(0)->ChannelState(0);
  const int32_t length = form->ChainList()->Item(0)->StateLength();
  EXPECT_TRUE(std::all_of(state, state + length, [](float v) { return v == 0; })) << "switched off, cleared";
  Pump(1000ms);
  ClickCheckBox(*form->FilterListBox, 0);
  EXPECT_TRUE(form->ChainList()->IsEnabled(0));
  Pump(1000ms);
  const QPointer<TDSPForm> alive = form;
  form->CloseSetUp();
  ASSERT_TRUE(WaitUntil([&] { return alive.isNull(); }));

  // Block by block: removed (filtered), then the input as it is (passed by), then removed again.
  const TWave wave = ReadWave(out);
  const std::vector<double> x = testing_signals::Channel(wave.Format, wave.Data.data(), wave.Frames(), 0);
  const int64_t block = 512;
  std::string pattern;
  for (int64_t b = 1; (b + 1) * block <= wave.Frames(); ++b) {
    const double a = testing_signals::GoertzelAmplitude(x, b * block, (b + 1) * block, 3000, Rate);
    const char kind = a < 1000 ? 'F' : (a > 9000 ? 'P' : '?');
    if (pattern.empty() || pattern.back() != kind) {
      pattern += kind;
    }
  }
  // A block straddling a switch may read between the two.
  pattern.erase(std::remove(pattern.begin(), pattern.end(), '?'), pattern.end());
  EXPECT_EQ(pattern, "FPF");
  fs::remove_all(dir);
}

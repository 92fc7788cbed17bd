// SPDX-License-Identifier: GPL-3.0-or-later
// The worker against its window. WorkerBox: the error and end-of-file boxes never deadlock and never
// touch a destroyed window or filter, whatever the window is doing when the worker ends (each case
// under a watchdog; the sanitizer runs catch a destroyed object being touched). WorkerThreads: the
// notification handler serving displays and gauges while the worker runs, for ThreadSanitizer, and
// paced for small blocks.

#include "support/PcmSignals.h"
#include "support/PrivatePulseServer.h"
#include "support/ProgramDriver.h"
#include "support/QtDialogs.h"
#include "support/TestFiles.h"

#include "devices/DeviceCatalogue.h"
#include "devices/WaveFile.h"
#include "devices/platform/PulseSoundServices.h"
#include "filters/Transforms.h"
#include "ui/dialogs/LHPassFilterDlg.h"
#include "ui/displays/DSPGraphFrm.h"
#include "ui/displays/DSPPerfForm.h"

#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <numbers>
#include <sys/resource.h>
#include <thread>
#include <utility>

using namespace sonotest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class WorkerFixture : public ::testing::Test {
protected:
  void SetUp() override { ProgramApp(); }
  std::string Path(const std::string& name) const { return dir.File(name); }

  std::string Wave(const std::string& name, double seconds, uint32_t rate = 8000) {
    std::vector<int16_t> samples;
    for (int n = 0; n < static_cast<int>(seconds * rate); ++n) {
      samples.push_back(static_cast<int16_t>(9000 * std::sin(2 * std::numbers::pi * 440 * n / rate)));
    }
    WriteWave(Path(name), rate, 1, samples);
    return Path(name);
  }

  // A file input, and a file output when `output` is given.
  TDSPForm* FileSetUp(TProgram& program, const std::string& input, const std::string& output = {}) {
    return program.BeginSetUp([&](TSelectDevicesDlg& d) {
      const int in = LastRowOf(*d.InputDevsList, QString::fromUtf8(WaveFileItemText));
      ClickRow(*d.InputDevsList, in);
      EXPECT_TRUE(SetFileThroughDialog(*d.InputDevsList, in, QString::fromStdString(input)));
      const int out = LastRowOf(*d.OutputDevsList, QString::fromUtf8(WaveFileItemText));
      if (output.empty()) {
        CheckOutputs(d, {});
      } else {
        CheckOutputs(d, {out});
        EXPECT_TRUE(SetFileThroughDialog(*d.OutputDevsList, out, QString::fromStdString(output)));
      }
    });
  }

  // A set-up on the test server's null sink monitor (a real clock), with a file output, and with
  // `play` also playing to the null sink.
  TDSPForm* MonitorSetUp(TProgram& program, const std::string& output, bool play = false) {
    return program.BeginSetUp([&](TSelectDevicesDlg& d) {
      const int in = RowOf(*d.InputDevsList, QStringLiteral("Monitor of Null Output (PulseAudio)"));
      ASSERT_GE(in, 0);
      ClickRow(*d.InputDevsList, in);
      const int sink = RowOf(*d.OutputDevsList, QStringLiteral("Null Output (PulseAudio)"));
      const int out = LastRowOf(*d.OutputDevsList, QString::fromUtf8(WaveFileItemText));
      CheckOutputs(d, play ? std::vector<int>{sink, out} : std::vector<int>{out});
      EXPECT_TRUE(SetFileThroughDialog(*d.OutputDevsList, out, QString::fromStdString(output)));
    });
  }

  // A WAVE file whose header tells exactly the samples it holds.
  static ::testing::AssertionResult TrueHeader(const std::string& path) {
    const std::vector<uint8_t> bytes = ReadBytes(path);
    if (bytes.size() >= 44 && U32At(bytes, 40) == bytes.size() - 44 && U32At(bytes, 4) == bytes.size() - 8) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << path << ": " << bytes.size() << " bytes, header differs";
  }

  // Left as made, run, or run and paused.
  enum class TState { NeverStarted, Running, Paused };
  static void Reach(TDSPForm& form, TState state) {
    if (state != TState::NeverStarted) {
      QTest::mouseClick(form.PlayBtn, Qt::LeftButton);
      ASSERT_TRUE(WaitUntil([&] { return form.BlocksServed() > 2; }));
    }
    if (state == TState::Paused) {
      QTest::mouseClick(form.PauseBtn, Qt::LeftButton);
    }
  }

  // Set-ups in every state, closed by their own close boxes or with the main window; none hangs and
  // every file keeps a true header. File set-ups repeat their file, so as to run until stopped; one
  // more stands at its end-of-file notice. Sound set-ups capture the null sink's monitor and play to
  // the sink (a paused one waited for a ring slot that a stopped ring never gives); the main window
  // closes while a paused one's filter dialog is open.
  void CloseEveryState(bool sound) {
    for (const bool mainWindow : {false, true}) {
      auto program = std::make_unique<TProgram>(sound ? std::make_shared<TPulseSoundServices>() : nullptr);
      std::vector<std::pair<QPointer<TDSPForm>, std::string>> setUps;
      const auto add = [&](TState state, const std::string& input) {
        const std::string output =
            Path("out" + std::to_string(mainWindow) + std::to_string(setUps.size()) + ".wav");
        TDSPForm* form = sound ? MonitorSetUp(*program, output, true) : FileSetUp(*program, input, output);
        ASSERT_NE(form, nullptr);
        if (!sound && input != Path("short.wav")) {
          QTest::mouseClick(form->RepeatBtn, Qt::LeftButton);
        }
        Reach(*form, state);
        setUps.emplace_back(form, output);
      };
      add(TState::NeverStarted, Wave("in.wav", 1));
      add(TState::Paused, Path("in.wav"));
      if (!sound) {
        add(TState::NeverStarted, Wave("short.wav", 0.2)); // played, it ends at once: its notice stays up
        QTest::mouseClick(setUps.back().first->PlayBtn, Qt::LeftButton);
        ASSERT_TRUE(WaitUntil([&] { return OpenBoxes(*program).size() == 1; }));
      }
      add(TState::Running, Path("in.wav")); // last: a file one runs as fast as the disk takes it
      if (mainWindow) {
        const TQuestionYes recording(QStringLiteral("Идёт запись")); // the set-ups record: the close asks
        TDSPForm& paused = *setUps[1].first;
        std::shared_ptr<TModalDriver> driver;
        if (sound) {
          AddFilterThroughDialogs(paused, 0);
          driver = TModalDriver::When<TLHPassFilterDlg>([&](TLHPassFilterDlg&) { program->Main().close(); });
          ClickRow(*paused.FilterListBox, 0);
          QTest::mouseDClick(paused.FilterListBox->viewport(), Qt::LeftButton, Qt::NoModifier,
                             RowCentre(*paused.FilterListBox, 0));
          ASSERT_TRUE(driver->Done());
        } else {
          program->Main().close();
        }
        ASSERT_TRUE(WaitUntil([&] { return !program->Main().isVisible(); }));
        EXPECT_EQ(recording.Asked(), 1);
        program.reset();
      }
      for (auto& [form, output] : setUps) {
        if (!mainWindow) {
          form->CloseSetUp();
        }
        ASSERT_TRUE(WaitUntil([&] { return form.isNull(); })) << output;
        EXPECT_TRUE(TrueHeader(output));
      }
    }
  }

  static std::vector<QMessageBox*> OpenBoxes(TProgram& program) {
    std::vector<QMessageBox*> boxes;
    for (QMessageBox* box : program.Main().findChildren<QMessageBox*>()) {
      if (box->isVisible()) {
        boxes.push_back(box);
      }
    }
    return boxes;
  }

  TTempDir dir{"sonolab-worker"};
};

class WorkerBox : public WorkerFixture {};
class WorkerThreads : public WorkerFixture {};
class WorkerTeardown : public WorkerFixture {};

// A file-size limit that makes the next write of a file fail (EFBIG), restored at the end of scope.
class TFileSizeLimit {
public:
  explicit TFileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved);
    previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~TFileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
  }
  TFileSizeLimit(const TFileSizeLimit&) = delete;
  TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

private:
  rlimit saved{};
  void (*previousHandler)(int) = SIG_DFL;
};

// An input of small blocks (64 or 256 frames, 48000 Hz mono) at no clock: sample n is n modulo
// 1000, but sample SpikeAt is 30000; after Total frames it waits for Stop, as an idle capture does.
class TSmallBlockInput final : public TRecordingDevice {
public:
  static constexpr int64_t Total = 3 * 48000;
  static constexpr int64_t SpikeAt = Total / 2 + 5;

  explicit TSmallBlockInput(int32_t frames) : TRecordingDevice(dkWaveFileRecording), frames(frames) {
    buffer.Format() = MakePCMFormat(48000, 1, 16);
  }
  static int16_t At(int64_t n) { return n == SpikeAt ? 30000 : static_cast<int16_t>(n % 1000); }
  void Open() override { buffer.SetFrames(frames); }
  void Close() override {}
  void Start() override { stopped.store(false); }
  void Stop() override { stopped.store(true); }
  void Read() override {
    for (; next >= Total && !stopped.load(); exhausted.store(true)) {
      std::this_thread::sleep_for(1ms);
    }
    buffer.SetLength(stopped.load() ? 0 : static_cast<int32_t>(std::min<int64_t>(frames, Total - next)));
    for (int32_t i = 0; i < buffer.Frames(); ++i) {
      reinterpret_cast<int16_t*>(buffer.Data())[i] = At(next++);
    }
  }
  std::atomic<bool> exhausted{false};

private:
  const int32_t frames;
  int64_t next = 0; // worker only
  std::atomic<bool> stopped{false};
};

// Counts the events the worker posts to a window, served or not.
struct TNotifyCounter final : QObject {
  bool eventFilter(QObject*, QEvent* e) override {
    Count += e->type() == DSPNotifyEventType ? 1 : 0;
    return false;
  }
  int64_t Count = 0;
};

} // namespace

// Small blocks while the user-interface thread is busy: the worker publishes one update per default
// block's length of input (4096 frames, about 12 a second of input) without posting an event for it,
// never waits for the window, and every block reaches the output in order. The window then shows the newest
// 4096 frames with the default block's axes, and the gauge the peak of a block inside an update it never
// took.
TEST_F(WorkerThreads, SmallBlocksArePacedForABusyWindowAndEveryBlockReachesTheOutput) {
  TWatchdog watchdog(120s, "small blocks against a busy window");
  TProgram program;
  for (const int32_t frames : {64, 256}) {
    SCOPED_TRACE(frames);
    auto input = std::make_unique<TSmallBlockInput>(frames);
    const TSmallBlockInput& source = *input;
    auto output = std::make_unique<TWAVEFilePlaybackDevice>();
    output->Buffer().Format() = MakePCMFormat(48000, 1, 16);
    const std::string path = Path("small" + std::to_string(frames) + ".wav");
    output->SetFileName(path);
    auto outputs = std::make_unique<TPlaybackDevsList>();
    outputs->Add(std::move(output));
    auto* form = new TDSPForm(program.Main().SetUpHost(), std::move(outputs), std::move(input));
    const QPointer<TDSPForm> alive = form;
    program.Main().ClientArea->addSubWindow(form)->show();
    QTreeWidgetItem* root = form->DSPGraphView->topLevelItem(0);
    emit form->DSPGraphView->itemDoubleClicked(root->child(0), 0);
    emit form->DSPGraphView->itemDoubleClicked(root->child(2), 0);
    auto* graph = qobject_cast<TDSPGraphFrm*>(form->DisplayWindows()[0]->widget());
    auto* perf = qobject_cast<TDSPPerfForm*>(form->DisplayWindows()[1]->widget());
    ASSERT_TRUE(graph && perf);
    EXPECT_EQ(graph->Frames, 4096u);
    EXPECT_EQ(graph->BlockMs, 85);
    EXPECT_EQ(perf->UpdateMs, 85);
    EXPECT_DOUBLE_EQ(perf->LimitMs, frames / 48.0);
    TNotifyCounter counter;
    form->installEventFilter(&counter);

    form->PlayBtnClick();
    // Busy: no event is served until the worker has been through the whole input.
    for (int i = 0; i < 60000 && !source.exhausted.load(); ++i) {
      std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(source.exhausted.load());
    const int64_t expected = TSmallBlockInput::Total / 4096;
    EXPECT_TRUE(WaitUntil([&] { return form->UpdatesPublished() >= expected && form->BlocksServed() > 0; }));
    QApplication::processEvents();
    EXPECT_EQ(form->UpdatesPublished(), expected); // 11.7 a second of input
    EXPECT_EQ(counter.Count, 0);
    EXPECT_EQ(form->BlocksServed(), 1u); // the newest update once, whatever piled up
    EXPECT_DOUBLE_EQ(form->Gauges[0]->Level, AmplitudeToDb(30000.0 / 32768));

    form->CloseSetUp();
    ASSERT_TRUE(WaitUntil([&] { return alive.isNull(); }));
    std::vector<int16_t> sent(TSmallBlockInput::Total);
    for (int64_t n = 0; n < TSmallBlockInput::Total; ++n) {
      sent[static_cast<size_t>(n)] = TSmallBlockInput::At(n);
    }
    EXPECT_TRUE(ReadWave(path).Samples == sent);
  }
}

TEST_F(WorkerBox, AWriteErrorIsShownAsTheErrorBoxAndTheWindowClosesAfterIt) {
  TWatchdog watchdog(60s, "the write error box");
  TProgram program;
  TDSPForm* form = FileSetUp(program, Wave("in.wav", 2), Path("out.wav"));
  ASSERT_NE(form, nullptr);
  const QPointer<TDSPForm> alive = form;
  TBoxSeen seen;
  auto box = DismissBox(seen);
  {
    TFileSizeLimit limit(44 + 512 * 2); // the header and one block
    QTest::mouseClick(form->PlayBtn, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return box->Done(); }));
  }
  EXPECT_EQ(seen.Caption, "Ошибка");
  EXPECT_EQ(seen.Icon, QMessageBox::Critical);
  EXPECT_NE(seen.Text.indexOf("Код ошибки: 0x0000001B"), -1) << seen.Text.toStdString(); // EFBIG
  EXPECT_TRUE(seen.Text.endsWith("Функция: WriteFile")) << seen.Text.toStdString();
  EXPECT_TRUE(WaitUntil([&] { return alive.isNull(); }));
}

TEST_F(WorkerBox, AWorkerThatEndsWhileItsWindowTearsDownNeitherHangsNorTouchesTheWindow) {
  TWatchdog watchdog(120s, "teardown against an ending worker");
  TProgram program;
  const std::string input = Wave("short.wav", 0.3);
  for (int round = 0; round < 12; ++round) {
    TDSPForm* form = FileSetUp(program, input, Path("out.wav"));
    ASSERT_NE(form, nullptr);
    const QPointer<TDSPForm> alive = form;
    QTest::mouseClick(form->PlayBtn, Qt::LeftButton);
    if (round % 2 == 1) {
      std::this_thread::sleep_for(std::chrono::milliseconds(round)); // the end of the file meanwhile
    }
    form->CloseSetUp(); // the teardown waits for the worker, which ends at the file's end
    ASSERT_TRUE(WaitUntil([&] { return alive.isNull(); })) << round;
    Pump(20ms); // whatever the worker posted is gone with the window
    EXPECT_TRUE(OpenBoxes(program).empty()) << round;
  }
}

TEST_F(WorkerBox, ClosingTheMainWindowEndsEveryRunningWorkerWithinASecond) {
  TWatchdog watchdog(60s, "closing the main window");
  SONOTEST_REQUIRE_PULSE_SERVER();
  auto services = std::make_shared<TPulseSoundServices>();
  auto program = std::make_unique<TProgram>(services);
  std::vector<QPointer<TDSPForm>> forms;
  for (const char* name : {"a.wav", "b.wav"}) {
    TDSPForm* form = MonitorSetUp(*program, Path(name));
    ASSERT_NE(form, nullptr);
    QTest::mouseClick(form->PlayBtn, Qt::LeftButton);
    forms.emplace_back(form);
  }
  ASSERT_TRUE(WaitUntil([&] { return forms[0]->BlocksServed() > 2 && forms[1]->BlocksServed() > 2; }));
  const TQuestionYes recording(QStringLiteral("Идёт запись")); // both record: the close asks first
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(program->Main().close());
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(recording.Asked(), 1);
  EXPECT_LT(took, 1s);
  EXPECT_TRUE(program->Main().SetUps().empty());
  program.reset();
  for (const char* name : {"a.wav", "b.wav"}) {
    EXPECT_GT(ReadWave(Path(name)).Frames(), 0u) << name; // each was written to its end
  }
}

TEST_F(WorkerBox, TwoWindowsThatEndAtOnceShowTwoBoxesAndBothStayStoppedAtTheirEnds) {
  TWatchdog watchdog(60s, "two boxes at once");
  TProgram program;
  TDSPForm* a = FileSetUp(program, Wave("a.wav", 0.5));
  TDSPForm* b = FileSetUp(program, Wave("b.wav", 0.5));
  ASSERT_TRUE(a && b);
  const QPointer<TDSPForm> aliveA = a;
  const QPointer<TDSPForm> aliveB = b;
  QTest::mouseClick(a->PlayBtn, Qt::LeftButton);
  QTest::mouseClick(b->PlayBtn, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return OpenBoxes(program).size() == 2; }));
  EXPECT_FALSE(aliveA.isNull());
  EXPECT_FALSE(aliveB.isNull());
  for (QMessageBox* box : OpenBoxes(program)) {
    EXPECT_EQ(box->text(), "Достигнут конец файла");
    box->accept();
    Pump(10ms);
  }
  Pump(50ms);
  ASSERT_FALSE(aliveA.isNull() || aliveB.isNull());
  EXPECT_EQ(a->State(), TDSPState::Ended);
  EXPECT_EQ(b->State(), TDSPState::Ended);
}

TEST_F(WorkerBox, TheUserClosingTheWindowUnderItsBoxLeavesTheBoxHarmless) {
  TWatchdog watchdog(60s, "a window closed under its box");
  TProgram program;
  TDSPForm* form = FileSetUp(program, Wave("in.wav", 0.5));
  ASSERT_NE(form, nullptr);
  const QPointer<TDSPForm> alive = form;
  QTest::mouseClick(form->PlayBtn, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return OpenBoxes(program).size() == 1; }));
  form->CloseSetUp();
  ASSERT_TRUE(WaitUntil([&] { return alive.isNull(); }));
  const std::vector<QMessageBox*> boxes = OpenBoxes(program);
  ASSERT_EQ(boxes.size(), 1u);
  boxes[0]->accept(); // its window is gone: nothing is closed twice
  Pump(50ms);
  EXPECT_TRUE(OpenBoxes(program).empty());
  EXPECT_TRUE(program.Main().isVisible());
}

// A write error arrives while one of the window's own dialogs is open: the box shows over it; once
// dismissed, the dialog is ended and the window closes after it, never under it.
TEST_F(WorkerBox, AnErrorWhileTheWindowsOwnDialogIsOpenClosesTheWindowOnlyAfterTheDialog) {
  TWatchdog watchdog(120s, "an error under an open dialog");
  TProgram program;
  const std::string input = Wave("in.wav", 0.5);
  enum class TDialog { FilterParameters, FilterSelection, SettingsFile };
  for (TDialog which : {TDialog::FilterParameters, TDialog::FilterSelection, TDialog::SettingsFile}) {
    TDSPForm* form = FileSetUp(program, input, Path("out.wav"));
    ASSERT_NE(form, nullptr);
    const QPointer<TDSPForm> alive = form;
    AddFilterThroughDialogs(*form, 0);
    bool boxSeen = false;
    bool aliveUnderDialog = false;
    auto during = [&](QDialog& dialog) {
      // Inside the dialog (which blocks the window's buttons, hence the handler): the worker starts and
      // fails to write its second block; its box comes over the dialog.
      {
        TFileSizeLimit limit(44 + 512 * 2);
        form->PlayBtnClick();
        ASSERT_TRUE(WaitUntil([&] { return OpenBoxes(program).size() == 1; }));
      }
      boxSeen = true;
      OpenBoxes(program)[0]->accept();
      Pump(50ms);
      aliveUnderDialog = !alive.isNull();
      EXPECT_FALSE(dialog.isVisible()) << "the window's close ends its dialog";
    };
    std::shared_ptr<TModalDriver> driver;
    switch (which) {
    case TDialog::FilterParameters:
      driver = TModalDriver::When<TLHPassFilterDlg>([&](TLHPassFilterDlg& d) { during(d); });
      ClickRow(*form->FilterListBox, 0);
      QTest::mouseDClick(form->FilterListBox->viewport(), Qt::LeftButton, Qt::NoModifier,
                         RowCentre(*form->FilterListBox, 0));
      break;
    case TDialog::FilterSelection:
      driver = TModalDriver::When<TSelectFilterDialog>([&](TSelectFilterDialog& d) { during(d); });
      form->AddBtnClick();
      EXPECT_EQ(form->ChainList() ? form->ChainList()->Count() : 1, 1); // nothing added on the way out
      break;
    case TDialog::SettingsFile:
      driver = TModalDriver::When<QFileDialog>([&](QFileDialog& d) { during(d); });
      form->SaveAllBtnClick();
      break;
    }
    EXPECT_TRUE(driver->Done());
    EXPECT_TRUE(boxSeen);
    EXPECT_TRUE(aliveUnderDialog);
    EXPECT_TRUE(WaitUntil([&] { return alive.isNull(); }));
  }
}

// The same error while the main window's device dialog is open (over another set-up).
TEST_F(WorkerBox, AnErrorWhileTheDeviceDialogIsOpenClosesTheWindowAndLeavesTheDialogWorking) {
  TWatchdog watchdog(60s, "an error under the device dialog");
  TProgram program;
  const std::string input = Wave("in.wav", 0.5);
  TDSPForm* form = FileSetUp(program, input, Path("out.wav"));
  ASSERT_NE(form, nullptr);
  const QPointer<TDSPForm> alive = form;
  TDSPForm* second = program.BeginSetUp([&](TSelectDevicesDlg& d) {
    {
      TFileSizeLimit limit(44 + 512 * 2);
      form->PlayBtnClick();
      ASSERT_TRUE(WaitUntil([&] { return OpenBoxes(program).size() == 1; }));
    }
    OpenBoxes(program)[0]->accept();
    ASSERT_TRUE(WaitUntil([&] { return alive.isNull(); }));
    // The dialog goes on: a file input for a new set-up.
    const int in = LastRowOf(*d.InputDevsList, QString::fromUtf8(WaveFileItemText));
    ClickRow(*d.InputDevsList, in);
    EXPECT_TRUE(SetFileThroughDialog(*d.InputDevsList, in, QString::fromStdString(input)));
    CheckOutputs(d, {});
  });
  EXPECT_NE(second, nullptr);
}

TEST_F(WorkerBox, TheMainWindowClosingUnderAWindowsFilterDialogEndsTheDialogFirst) {
  TWatchdog watchdog(60s, "closing under a filter dialog");
  auto program = std::make_unique<TProgram>();
  TDSPForm* form = FileSetUp(*program, Wave("in.wav", 0.5));
  ASSERT_NE(form, nullptr);
  const QPointer<TDSPForm> alive = form;
  AddFilterThroughDialogs(*form, 0);
  bool closedAtOnce = true;
  auto driver = TModalDriver::When<TLHPassFilterDlg>([&](TLHPassFilterDlg&) {
    closedAtOnce = program->Main().close(); // e.g. the session ends
    EXPECT_FALSE(alive.isNull()) << "destroyed under its dialog";
  });
  ClickRow(*form->FilterListBox, 0);
  QTest::mouseDClick(form->FilterListBox->viewport(), Qt::LeftButton, Qt::NoModifier,
                     RowCentre(*form->FilterListBox, 0));
  ASSERT_TRUE(driver->Done());
  EXPECT_FALSE(closedAtOnce);
  EXPECT_TRUE(WaitUntil([&] { return alive.isNull() && !program->Main().isVisible(); }));
}

// ThreadSanitizer: the handler serves two signal windows, a performance window and the gauges from
// the published blocks while the worker runs on a real clock (and a file set-up as fast as it goes).
TEST_F(WorkerThreads, TheHandlerServesDisplaysAndGaugesWhileTheWorkerRuns) {
  TWatchdog watchdog(120s, "displays against a running worker");
  auto services = std::make_shared<TPulseSoundServices>();
  TProgram program(services);
  std::vector<TDSPForm*> forms;
  if (services->ServerReachable()) {
    forms.push_back(MonitorSetUp(program, Path("monitor.wav")));
  }
  forms.push_back(FileSetUp(program, Wave("in.wav", 20, 44100), Path("file.wav")));
  for (TDSPForm* form : forms) {
    ASSERT_NE(form, nullptr);
    AddFilterThroughDialogs(*form, 9);
    QTreeWidgetItem* root = form->DSPGraphView->topLevelItem(0);
    for (int i : {0, 1, 2}) {
      emit form->DSPGraphView->itemDoubleClicked(root->child(i), 0);
    }
  }
  for (TDSPForm* form : forms) {
    QTest::mouseClick(form->PlayBtn, Qt::LeftButton);
  }
  std::vector<QPointer<TDSPForm>> alive(forms.begin(), forms.end());
  // The file set-up reaches its end with its box and stops; the monitor one runs until it is closed.
  auto box = TModalDriver::When<QMessageBox>([](QMessageBox& b) { b.accept(); }, 60s);
  ASSERT_TRUE(WaitUntil([&] { return box->Done(); }, 60s));
  if (alive.size() > 1) {
    ASSERT_TRUE(WaitUntil([&] { return alive[0]->BlocksServed() >= 20; }, 20s));
  }
  for (QPointer<TDSPForm>& form : alive) {
    form->CloseSetUp();
    ASSERT_TRUE(WaitUntil([&] { return form.isNull(); }));
  }
  EXPECT_EQ(ReadWave(Path("file.wav")).Frames(), 44100u * 20); // the output in the input's format
}

TEST_F(WorkerTeardown, EveryStateOfAFileSetUpClosesAndItsFileKeepsATrueHeader) {
  TWatchdog watchdog(120s, "closing file set-ups in every state");
  CloseEveryState(false);
}

TEST_F(WorkerTeardown, EveryStateOfASoundSetUpClosesAndItsFileKeepsATrueHeader) {
  TWatchdog watchdog(120s, "closing sound set-ups in every state");
  SONOTEST_REQUIRE_PULSE_SERVER();
  CloseEveryState(true);
}

// The server goes away under a running and a paused set-up: the running one shows its error and
// closes; the paused one closes when asked.
TEST_F(WorkerTeardown, SetUpsOnAServerThatHasGoneStillClose) {
  TWatchdog watchdog(120s, "closing set-ups after the server has gone");
  if (!PulseaudioInstalled()) {
    GTEST_SKIP() << "no pulseaudio program";
  }
  TPrivatePulseServer server("gone_null");
  TProgram program(std::make_shared<TPulseSoundServices>(server.Address()));
  std::vector<QPointer<TDSPForm>> forms;
  for (const TState state : {TState::Running, TState::Paused}) {
    forms.emplace_back(MonitorSetUp(program, Path("gone" + std::to_string(forms.size()) + ".wav"), true));
    ASSERT_FALSE(forms.back().isNull());
    Reach(*forms.back(), state);
  }
  TBoxCatcher boxes; // the running set-up's error
  server.Kill();
  ASSERT_TRUE(WaitUntil([&] { return forms[0].isNull(); }, 30s));
  EXPECT_EQ(boxes.Shown().size(), 1u);
  forms[1]->CloseSetUp();
  ASSERT_TRUE(WaitUntil([&] { return forms[1].isNull(); }));
  EXPECT_TRUE(TrueHeader(Path("gone0.wav")));
  EXPECT_TRUE(TrueHeader(Path("gone1.wav")));
}

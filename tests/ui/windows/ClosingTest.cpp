// SPDX-License-Identifier: GPL-3.0-or-later
// How the desktop program ends its set-ups and guards its files: a signal closes every set-up as the
// main window's close does and the files come out whole; that close asks first while a set-up records;
// a file that cannot be completed is shown and its window marked; and a settings save never replaces
// a file a set-up uses, and asks before it replaces a file of another kind.

#include "support/ProgramDriver.h"
#include "support/SoundFiles.h"
#include "support/TestFiles.h"

#include "devices/DeviceCatalogue.h"
#include "ui/windows/CloseSignals.h"

#include <QMdiArea>
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <filesystem>

using namespace sonotest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

struct TAnswered {
  QString Text;
  QString Default; // the default button's text
};

// Answers every message box while it lives: the file dialog's own question with "Yes", every other box
// with its default button; keeps what each said.
class TBoxAnswers {
public:
  TBoxAnswers() {
    QObject::connect(&timer, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || !box->isVisible()) {
        return;
      }
      if (qobject_cast<QFileDialog*>(box->parentWidget()) != nullptr) {
        box->button(QMessageBox::Yes)->click();
        return;
      }
      QPushButton* answer = box->defaultButton();
      Seen.push_back({box->text(), answer != nullptr ? answer->text() : QString()});
      answer != nullptr ? answer->click() : box->accept();
    });
    timer.start(5);
  }
  std::vector<TAnswered> Seen;

private:
  QTimer timer;
};

class ClosingSetUps : public ::testing::Test {
protected:
  void SetUp() override { ProgramApp(); }
  std::string Path(const std::string& name) const { return dir.File(name); }

  // A set-up from a WAVE file of `frames` frames (44100 Hz, stereo) to the file `out`, repeating its
  // input when `repeat`, and playing when `play`. The input is written once: a set-up already made may
  // be reading it.
  TDSPForm* Recording(TProgram& program, int frames, const std::string& out, bool repeat, bool play = true) {
    if (!fs::exists(Path("in.wav"))) {
      WriteWave(Path("in.wav"), 44100, 2, std::vector<int16_t>(2 * static_cast<size_t>(frames), 3000));
    }
    TDSPForm* form = program.BeginSetUp([&](TSelectDevicesDlg& d) {
      const int input = LastRowOf(*d.InputDevsList, QString::fromUtf8(WaveFileItemText));
      ClickRow(*d.InputDevsList, input);
      ASSERT_TRUE(SetFileThroughDialog(*d.InputDevsList, input, QString::fromStdString(Path("in.wav"))));
      const int output = LastRowOf(*d.OutputDevsList, QString::fromUtf8(WaveFileItemText));
      CheckOutputs(d, {output});
      ASSERT_TRUE(SetFileThroughDialog(*d.OutputDevsList, output, QString::fromStdString(out), 31));
    });
    if (form != nullptr && play) {
      if (repeat) {
        form->RepeatBtn->click();
      }
      form->PlayBtn->click();
    }
    return form;
  }

  TTempDir dir{"sonolab-closing"};
};

} // namespace

TEST_F(ClosingSetUps, TheCloseAsksWhileASetUpRecordsAndASignalClosesEverySetUpWithWholeFiles) {
  const TWatchdog watchdog(120s, "closing recording set-ups on a signal");
  TProgram program;
  const TCloseSignals closeSignals([&](int signal) { program.Main().CloseOnSignal(signal); });
  ASSERT_NE(Recording(program, 44100, Path("a.wav"), true), nullptr);
  ASSERT_NE(Recording(program, 44100, Path("b.flac"), true), nullptr);
  ASSERT_TRUE(
      WaitUntil([&] { return FileSize(Path("a.wav")) > 44100 * 4 && FileSize(Path("b.flac")) > 8192; }));
  for (TDSPForm* form : program.Main().SetUps()) {
    form->PauseBtn->click(); // a paused set-up still records, its files growing no more
  }
  {
    TBoxAnswers answers;
    program.Main().close();
    ASSERT_TRUE(WaitUntil([&] { return !answers.Seen.empty(); }));
    EXPECT_EQ(answers.Seen[0].Text,
              QString::fromStdString("Идёт запись в файлы:\n" + Path("a.wav") + "\n" + Path("b.flac") +
                                     "\n\nЗавершить работу программы? Запись будет "
                                     "остановлена, записанное сохранится."));
    EXPECT_EQ(answers.Seen[0].Default, "Нет");
  }
  EXPECT_TRUE(program.Main().isVisible());
  EXPECT_EQ(program.Main().SetUps().size(), 2u);

  // A kill asks nothing: every set-up ends and completes its file.
  std::raise(SIGTERM);
  ASSERT_TRUE(WaitUntil([&] { return !program.Main().isVisible() && program.Main().SetUps().empty(); }));
  EXPECT_EQ(program.Main().ExitStatus(), 128 + SIGTERM);
  const std::string wave = ReadText(Path("a.wav"));
  EXPECT_GT(wave.size(), 44u + 44100 * 4);
  EXPECT_EQ(U32At(wave, 40), wave.size() - 44);
  EXPECT_EQ(U32At(wave, 4), wave.size() - 8);
  // FLAC's header counts every frame the file holds.
  const std::string flac = ReadText(Path("b.flac"));
  uint64_t counted = static_cast<uint8_t>(flac[21]) & 0x0F; // 36 bits, big-endian, in STREAMINFO
  for (size_t i = 22; i < 26; ++i) {
    counted = counted << 8 | static_cast<uint8_t>(flac[i]);
  }
  EXPECT_GT(counted, 44100u);
  EXPECT_EQ(counted, DecodeSoundFile(Path("b.flac")).Frames());
}

TEST_F(ClosingSetUps, AFileThatCannotBeCompletedIsShownWhileItsWindowStaysMarkedFailed) {
  TProgram program;
  const std::string out = Path("out.flac");
  // The end of the input comes with frames still in the encoder, written when the file is closed:
  // the file may then grow no more, as on a full disk.
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit {};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  const struct rlimit unlimited = limit;
  TBoxSeen end;
  TBoxSeen failure;
  TDSPState stateShown = TDSPState::Ready;
  std::shared_ptr<TModalDriver> second;
  auto first = TModalDriver::When<QMessageBox>([&](QMessageBox& box) {
    end = {box.windowTitle(), box.text(), box.icon()};
    limit.rlim_cur = FileSize(out);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    second = TModalDriver::When<QMessageBox>([&](QMessageBox& box) {
      failure = {box.windowTitle(), box.text(), box.icon()};
      stateShown = program.Main().SetUps().empty() ? TDSPState::Ready : program.Main().SetUps()[0]->State();
      box.accept();
    });
    box.accept();
  });
  const QPointer<TDSPForm> form = Recording(program, 4096 + 2148, out, false);
  // The end keeps the window, stopped at the end; the file is completed when the window closes.
  ASSERT_TRUE(WaitUntil([&] { return first->Done() && form && form->State() == TDSPState::Ended; }, 30s));
  form->parentWidget()->close();
  ASSERT_TRUE(WaitUntil([&] { return second && second->Done() && form.isNull(); }, 30s));
  ::setrlimit(RLIMIT_FSIZE, &unlimited);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(end.Text, "Достигнут конец файла");
  EXPECT_EQ(failure.Caption, "Ошибка");
  EXPECT_EQ(failure.Icon, QMessageBox::Critical);
  EXPECT_EQ(failure.Text.section('\n', 0, 1),
            QString::fromStdString("Описание ошибки: Файл \"" + out +
                                   "\": File too large\nКод ошибки: 0x0000001B"));
  EXPECT_EQ(failure.Text.section('\n', 3), "Функция: WriteFile");
  EXPECT_EQ(stateShown, TDSPState::Failed);
  EXPECT_EQ(program.Main().ExitStatus(), 1);
}

TEST_F(ClosingSetUps, ASettingsSaveNeverReplacesAFileASetUpUsesAndAsksBeforeReplacingAnotherKind) {
  TProgram program;
  TDSPForm* form = Recording(program, 44100, Path("out.wav"), false, false);
  ASSERT_NE(form, nullptr);
  AddFilterThroughDialogs(*form, 9);
  WriteBytes(Path("notes.lst"), std::vector<uint8_t>{'n', 'o', 't', 'e', 's'});
  const std::string input = ReadText(Path("in.wav"));
  TBoxAnswers answers;
  for (const char* name : {"in.wav", "out.wav", "notes.lst"}) {
    auto pick = AnswerFileDialog(Path(name));
    form->SaveAllBtnClick();
    ASSERT_TRUE(WaitUntil([&] { return pick->Done(); }));
  }
  ASSERT_EQ(answers.Seen.size(), 3u);
  EXPECT_EQ(answers.Seen[0].Text,
            QString::fromStdString("Файл параметров " + Path("in.wav") + " - это входной файл " +
                                   Path("in.wav") + ": он не будет перезаписан"));
  EXPECT_EQ(answers.Seen[1].Text,
            QString::fromStdString("Файл параметров " + Path("out.wav") + " - это выходной файл " +
                                   Path("out.wav") + ": он не будет перезаписан"));
  EXPECT_EQ(answers.Seen[2].Text,
            QString::fromStdString("Файл " + Path("notes.lst") +
                                   " существует и не является файлом параметров фильтров (.lst).\nЗаменить "
                                   "его? Прежнее содержимое файла будет потеряно."));
  EXPECT_EQ(answers.Seen[2].Default, "Нет");
  EXPECT_EQ(ReadText(Path("in.wav")), input);
  EXPECT_EQ(ReadText(Path("notes.lst")), "notes");
  EXPECT_TRUE(ParseWave(ReadText(Path("out.wav"))).Valid);
}

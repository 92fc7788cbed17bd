// SPDX-License-Identifier: GPL-3.0-or-later
// The main window and the start-up: the menu, the child windows' arrangement and list, set-ups started
// and refused, exceptions that escape a handler, and the program without a display.

#include "support/ChildProcess.h"
#include "support/PrivatePulseServer.h"
#include "support/ProgramDriver.h"
#include "support/TestFiles.h"

#include "devices/DeviceCatalogue.h"
#include "devices/platform/PulseSoundServices.h"
#include "ui/dialogs/EchoDlg.h"
#include "ui/dialogs/LHPassFilterDlg.h"
#include "ui/dialogs/MultiBandFilterDlg.h"
#include "ui/dialogs/ReverbDlg.h"
#include "ui/dialogs/SelectFilterDialog.h"

#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QStatusBar>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

using namespace sonotest;
using namespace std::chrono_literals;

namespace {

// Input: the WAVE file item with the given file; no outputs.
std::function<void(TSelectDevicesDlg&)> FileInput(const std::string& path) {
  return [path](TSelectDevicesDlg& d) {
    const int row = LastRowOf(*d.InputDevsList, QString::fromUtf8(WaveFileItemText));
    ClickRow(*d.InputDevsList, row);
    SetFileThroughDialog(*d.InputDevsList, row, QString::fromStdString(path));
    CheckOutputs(d, {});
  };
}

} // namespace

TEST(MainWindow, HasTheTitleSizeMenuShortcutsAndHintsAndShowsTheHintUnderTheMouse) {
  TProgram program;
  TMainForm& main = program.Main();
  EXPECT_EQ(main.windowTitle(), QString::fromUtf8(ApplicationTitle));
  EXPECT_EQ(main.size(), QSize(640, 480));
  EXPECT_EQ(main.iFile->title(), "&Файл");
  EXPECT_EQ(main.iWindows->title(), "&Окна");
  const std::vector<std::tuple<QAction*, QString, QString>> items = {
      {main.iBeginDSP, "&Начать обработку сигнала", "Выбор устройств и начало обработки сигнала"},
      {main.iExit, "В&ыход", "Завершение работы с программой"},
      {main.iCascade, "&Каскадом", "Упорядочивание окон одно поверх другого"},
      {main.iTileHoriz, "Упорядочить по &горизонтали", "Распределение окон равномерно по горизонтали"},
      {main.iTileVert, "Упорядочить по &вертикали", "Распределение окон равномерно по вертикали"},
      {main.iTileGrid, "Упорядочить с&еткой", "Распределение окон равномерно по строкам и столбцам"},
      {main.iAddFromFile, "Добавить фильтр из файла…\tCtrl+Shift+O",
       "Добавление в систему фильтров активного окна фильтра из файла"},
      {main.iNext, "&Следующее", "Переход на следующее окно"},
      {main.iPrevious, "&Предыдущее", "Переход на предыдущее окно"}};
  for (const auto& [item, caption, hint] : items) {
    EXPECT_EQ(item->text(), caption);
    EXPECT_EQ(item->statusTip(), hint);
  }
  EXPECT_TRUE(main.iSeparator->isSeparator());
  EXPECT_EQ(main.iBeginDSP->shortcut(), QKeySequence(QStringLiteral("Ctrl+O")));
  EXPECT_EQ(main.iExit->shortcut(), QKeySequence(QStringLiteral("Alt+F4")));

  // The item under the mouse (or the keyboard's highlight) in the open menu puts its hint in the
  // status bar.
  QTest::mouseClick(main.menuBar(), Qt::LeftButton, Qt::NoModifier,
                    main.menuBar()->actionGeometry(main.iFile->menuAction()).center());
  ASSERT_TRUE(WaitUntil([&] { return main.iFile->isVisible(); }));
  QTest::mouseMove(main.iFile, main.iFile->actionGeometry(main.iExit).center());
  if (main.statusBar()->currentMessage().isEmpty()) {
    QTest::keyClick(main.iFile, Qt::Key_Up); // offscreen has no pointer: the highlight wraps to the last
  }
  EXPECT_TRUE(
      WaitUntil([&] { return main.statusBar()->currentMessage() == "Завершение работы с программой"; }, 3s))
      << main.statusBar()->currentMessage().toStdString();
  main.iFile->hide();
}

TEST(MainWindow, TheStartUpMakesEachFormOnceInItsOrder) {
  TProgram program;
  std::vector<std::string> order;
  for (QObject* child : program.Main().children()) {
    if (qobject_cast<QDialog*>(child) != nullptr) {
      order.push_back(child->metaObject()->className());
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{"TSelectDevicesDlg", "TSelectFilterDialog", "TLHPassFilterDlg",
                                             "TEchoDlg", "TReverbDlg", "TMultiBandFilterDlg",
                                             "TDescribedFilterDlg", "TDevParamDlg"}));
}

TEST(MainWindow, CancellingTheDeviceDialogCreatesNoWindow) {
  TProgram program;
  EXPECT_EQ(program.BeginSetUp([](TSelectDevicesDlg&) {}, false), nullptr);
  EXPECT_TRUE(program.Main().ClientArea->subWindowList().isEmpty());
}

// The device dialog refuses a file input without a name itself, staying open; Cancel then leaves no window.
TEST(MainWindow, AFileInputWithoutANameIsRefusedByTheDeviceDialogAndCancelLeavesNoWindow) {
  TProgram program;
  TBoxSeen seen;
  std::shared_ptr<TModalDriver> box;
  auto driver = TModalDriver::When<TSelectDevicesDlg>([&](TSelectDevicesDlg& d) {
    ClickRow(*d.InputDevsList, LastRowOf(*d.InputDevsList, QString::fromUtf8(WaveFileItemText)));
    CheckOutputs(d, {});
    box = DismissBox(seen);
    QTest::mouseClick(d.OKBtn, Qt::LeftButton);
    EXPECT_TRUE(d.isVisible());
    QTest::mouseClick(d.CancelBtn, Qt::LeftButton);
  });
  program.Main().iBeginDSP->trigger();
  ASSERT_TRUE(driver->Done());
  ASSERT_TRUE(box->Done());
  EXPECT_EQ(seen.Caption, "Ошибка");
  EXPECT_EQ(seen.Text, "Вход «Файл формата WAVE»: не выбран файл. Дважды щёлкните его и укажите файл.");
  EXPECT_TRUE(program.Main().ClientArea->subWindowList().isEmpty());
}

// Two set-ups: one on the monitor of the test server's null sink, one on a file.
TEST(MainWindow, TwoSetUpsAreCaptionedListedTiledAndActivatedAsTheMenuSays) {
  SONOTEST_REQUIRE_PULSE_SERVER();
  auto services = std::make_shared<TPulseSoundServices>();
  TProgram program(services);
  TMainForm& main = program.Main();
  const TTempDir dir("sonolab-main-two");
  const std::string file = dir.File("in.wav");
  WriteWave(file, 8000, 1, std::vector<int16_t>(16000, 1000));
  const QString monitor = QStringLiteral("Monitor of Null Output (PulseAudio)");
  TDSPForm* first = program.BeginSetUp([&](TSelectDevicesDlg& d) {
    const int row = RowOf(*d.InputDevsList, monitor);
    ASSERT_GE(row, 0);
    ClickRow(*d.InputDevsList, row);
    CheckOutputs(d, {});
  });
  ASSERT_NE(first, nullptr);
  TDSPForm* second = program.BeginSetUp(FileInput(file));
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(first->windowTitle(), "Обработка сигнала - " + monitor);
  EXPECT_EQ(second->windowTitle(), "Обработка сигнала - in.wav (Файл формата WAVE)");
  // Opens active, with the keyboard focus in its filter list (once the main window is active again).
  EXPECT_TRUE(WaitUntil(
      [&] {
        return main.ClientArea->activeSubWindow() != nullptr &&
               main.ClientArea->activeSubWindow()->widget() == second;
      },
      3s))
      << (main.ClientArea->activeSubWindow() ? main.ClientArea->activeSubWindow()->windowTitle().toStdString()
                                             : "none");
  // (Offscreen, nothing activates the main window again: then its focus widget is the one it gets.)
  EXPECT_TRUE(WaitUntil(
      [&] {
        return QApplication::focusWidget() == second->FilterListBox ||
               (!main.isActiveWindow() && main.focusWidget() == second->FilterListBox);
      },
      3s))
      << (QApplication::focusWidget() ? QApplication::focusWidget()->metaObject()->className() : "none");

  // "&Окна" ends with both, the active one checked; choosing the other activates it.
  emit main.iWindows->aboutToShow();
  QList<QAction*> items = main.iWindows->actions();
  ASSERT_GE(items.size(), 8);
  QAction* firstItem = items[items.size() - 2];
  QAction* secondItem = items.back();
  EXPECT_TRUE(firstItem->text().endsWith(first->windowTitle()));
  EXPECT_TRUE(secondItem->text().endsWith(second->windowTitle()));
  EXPECT_FALSE(firstItem->isChecked());
  EXPECT_TRUE(secondItem->isChecked());
  firstItem->trigger();
  EXPECT_EQ(main.ClientArea->activeSubWindow()->widget(), first);

  main.resize(1000, 800); // room for two rows above the windows' minimum height
  Pump(50ms);
  const QRect area = main.ClientArea->viewport()->rect();
  main.iTileHoriz->trigger();
  const QRect a = first->parentWidget()->geometry();
  const QRect b = second->parentWidget()->geometry();
  EXPECT_EQ(a.height(), area.height());
  EXPECT_EQ(b.height(), area.height());
  EXPECT_EQ(a.top(), 0);
  EXPECT_EQ(b.top(), 0);
  EXPECT_EQ(a.left(), 0);
  EXPECT_EQ(a.right() + 1, b.left()); // side by side
  EXPECT_EQ(b.right() + 1, area.width());

  main.iTileVert->trigger();
  const QRect c = first->parentWidget()->geometry();
  const QRect d = second->parentWidget()->geometry();
  EXPECT_EQ(c.width(), area.width());
  EXPECT_EQ(d.width(), area.width());
  EXPECT_EQ(c.bottom() + 1, d.top()); // one above the other
  EXPECT_EQ(d.bottom() + 1, area.height());

  // Two windows in a grid: side by side. Beyond four, every arrangement is the grid.
  main.iTileGrid->trigger();
  EXPECT_EQ(first->parentWidget()->geometry(), a);
  EXPECT_EQ(second->parentWidget()->geometry(), b);
  for (int i = 0; i < 3; ++i) {
    emit first->DSPGraphView->itemDoubleClicked(first->DSPGraphView->topLevelItem(0)->child(i), 0);
  }
  ASSERT_EQ(main.ClientArea->subWindowList().size(), 5); // 3 columns, 2 rows, in creation order
  for (QAction* arrange : {main.iTileHoriz, main.iTileVert, main.iTileGrid}) {
    arrange->trigger();
    const QList<QMdiSubWindow*> windows = main.ClientArea->subWindowList(QMdiArea::CreationOrder);
    for (int i = 0; i < windows.size(); ++i) {
      const int col = i % 3;
      const int row = i / 3;
      EXPECT_EQ(windows[i]->geometry(),
                QRect(QPoint(area.width() * col / 3, area.height() * row / 2),
                      QPoint(area.width() * (col + 1) / 3 - 1, area.height() * (row + 1) / 2 - 1)))
          << arrange->text().toStdString() << " " << i;
    }
  }
  for (QMdiSubWindow* display : first->DisplayWindows()) {
    display->close();
  }

  main.iCascade->trigger();
  EXPECT_NE(first->parentWidget()->pos(), second->parentWidget()->pos());
  QMdiSubWindow* before = main.ClientArea->activeSubWindow();
  main.iNext->trigger();
  EXPECT_NE(main.ClientArea->activeSubWindow(), before);
  main.iPrevious->trigger();
  EXPECT_EQ(main.ClientArea->activeSubWindow(), before);
}

// The device dialog's OK keeps every file whole. It refuses, in a box naming the file, an output that is
// this set-up's input by another name, another set-up's input, or a file another set-up writes; it
// asks before replacing an existing file typed as the output. The dialog stays open meanwhile.
TEST(MainWindow, TheDeviceDialogRefusesOutputsThatWouldDestroyAFileAndAsksBeforeReplacingOne) {
  TProgram program;
  const TTempDir dir("sonolab-main-files");
  const std::string a = dir.File("a.wav");
  const std::string b = dir.File("b.wav");
  const std::string link = dir.File("link.wav");
  const std::string written = dir.File("w.wav");
  const std::string notes = dir.File("notes.txt");
  WriteWave(a, 8000, 1, std::vector<int16_t>(8000, 100));
  WriteWave(b, 8000, 1, std::vector<int16_t>(8000, 200));
  std::filesystem::create_symlink(b, link);
  std::ofstream(notes) << "not sound\n";
  const std::string originalA = ReadText(a);
  const std::string originalB = ReadText(b);
  const auto fileSetUp = [&](TSelectDevicesDlg& d, const std::string& input) {
    const int in = LastRowOf(*d.InputDevsList, QString::fromUtf8(WaveFileItemText));
    ClickRow(*d.InputDevsList, in);
    SetFileThroughDialog(*d.InputDevsList, in, QString::fromStdString(input));
    const int out = LastRowOf(*d.OutputDevsList, QString::fromUtf8(WaveFileItemText));
    CheckOutputs(d, {out});
    return out;
  };
  TDSPForm* first = program.BeginSetUp([&](TSelectDevicesDlg& d) {
    SetFileThroughDialog(*d.OutputDevsList, fileSetUp(d, a), QString::fromStdString(written));
  });
  ASSERT_NE(first, nullptr);

  TBoxSeen question;
  TDSPForm* second = program.BeginSetUp([&](TSelectDevicesDlg& d) {
    const int out = fileSetUp(d, b);
    const std::vector<std::pair<std::string, std::string>> refused = {
        {link, "Выходной файл " + link + " - это входной файл " + b + ": он не будет перезаписан"},
        {a, "Выходной файл " + a + " - это входной файл " + a + " другой обработки: он не будет перезаписан"},
        {written, "Выходной файл " + written + " уже записывается другой обработкой (тот же файл, что и " +
                      written + ")"}};
    for (const auto& [output, text] : refused) {
      SetFileThroughDialog(*d.OutputDevsList, out, QString::fromStdString(output));
      TBoxSeen seen;
      auto box = DismissBox(seen);
      QTest::mouseClick(d.OKBtn, Qt::LeftButton);
      ASSERT_TRUE(box->Done()) << output;
      EXPECT_EQ(seen.Caption + "|" + seen.Text, QString::fromStdString("Ошибка|" + text));
      EXPECT_TRUE(d.isVisible());
    }
    SetFileThroughDialog(*d.OutputDevsList, out, QString::fromStdString(notes));
    auto no = TModalDriver::When<QMessageBox>([&](QMessageBox& box) {
      question = {box.windowTitle(), box.text(), box.icon()};
      box.button(QMessageBox::No)->click();
    });
    QTest::mouseClick(d.OKBtn, Qt::LeftButton);
    ASSERT_TRUE(no->Done());
    EXPECT_TRUE(d.isVisible());
    EXPECT_EQ(ReadText(notes), "not sound\n");
  }); // the driver's own OK follows, its question answered with a yes
  EXPECT_EQ(question.Text.toStdString(), notes + " уже существует и не является файлом WAVE.\nЗаменить его?");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(ReadText(a), originalA);
  EXPECT_EQ(ReadText(b), originalB);
  const QPointer<TDSPForm> alive = second;
  second->CloseSetUp();
  ASSERT_TRUE(WaitUntil([&] { return alive.isNull(); }));
  EXPECT_TRUE(ReadWave(notes).Valid); // replaced, as the user agreed
}

namespace {

class TThrowingObject : public QObject {
public:
  bool event(QEvent* e) override {
    if (e->type() == QEvent::User) {
      throw std::runtime_error("сбой обработчика");
    }
    return QObject::event(e);
  }
};

} // namespace

TEST(MainWindow, AnExceptionEscapingAHandlerIsShownInABoxAndTheLoopGoesOn) {
  TProgram program;
  TThrowingObject object;
  QString caption;
  QString text;
  auto box = TModalDriver::When<QMessageBox>([&](QMessageBox& b) {
    caption = b.windowTitle();
    text = b.text();
    b.accept();
  });
  QCoreApplication::postEvent(&object, new QEvent(QEvent::User));
  ASSERT_TRUE(WaitUntil([&] { return box->Done(); }));
  EXPECT_EQ(caption, QString::fromUtf8(ApplicationTitle));
  EXPECT_EQ(text, "сбой обработчика");
  // The loop still delivers events.
  bool delivered = false;
  QTimer::singleShot(0, &object, [&] { delivered = true; });
  EXPECT_TRUE(WaitUntil([&] { return delivered; }));
}

TEST(DesktopProgram, WithoutADisplayItSaysSoInOneLineAndExitsWith1) {
  const std::string program = SONOLAB_TEST_BINARY_DIR "/sonolab";
  const TTempDir dir("sonolab-no-display");
  const std::string err = dir.File("stderr");
  for (const std::vector<std::string>& env :
       {std::vector<std::string>{"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="},
        std::vector<std::string>{"DISPLAY=:97531", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=xcb"}}) {
    TChildOptions options;
    options.Environment = env;
    options.StderrPath = err;
    TChild child({program}, options);
    const TChildExit end = child.Wait(30s);
    ASSERT_TRUE(end.Exited) << env[0];
    EXPECT_EQ(end.Status, 1) << env[0];
    const std::string text = ReadText(err);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_NE(text.find("графическ"), std::string::npos) << text; // "...графического дисплея..."
  }
}

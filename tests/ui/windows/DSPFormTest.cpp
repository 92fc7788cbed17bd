// SPDX-License-Identifier: GPL-3.0-or-later
// The processing window: its controls, the selection rule, the keys, the settings files and their
// messages, Play and Pause, the gauges and the display windows it owns.

#include "support/PcmSignals.h"
#include "support/ProgramDriver.h"
#include "support/TestFiles.h"

#include "devices/DeviceCatalogue.h"
#include "devices/platform/PulseSoundServices.h"
#include "dsp/CRCStreams.h"
#include "filters/Echo.h"
#include "filters/FilterCatalogue.h"
#include "ui/dialogs/EchoDlg.h"
#include "ui/displays/DSPGraphFrm.h"
#include "ui/displays/DSPPerfForm.h"
#include "ui/displays/FilterSpectrumForm.h"
#include "ui/windows/GaugePaintBox.h"

#include <QMdiArea>
#include <QMdiSubWindow>
#include <QSet>
#include <QStatusBar>
#include <QToolButton>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <numbers>

using namespace sonotest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class ProcessingWindow : public ::testing::Test {
protected:
  void SetUp() override { ProgramApp(); }

  std::string Path(const std::string& name) const { return dir.File(name); }

  // A WAVE input: `seconds` of a sine on the right channel (and the left, unless silent).
  std::string Wave(const std::string& name, uint32_t rate, uint16_t channels, double seconds,
                   bool silentLeft = false) {
    std::vector<int16_t> samples;
    const auto frames = static_cast<size_t>(seconds * rate);
    for (size_t n = 0; n < frames; ++n) {
      const auto v = static_cast<int16_t>(12000 * std::sin(2 * std::numbers::pi * 440 * n / rate));
      for (uint16_t c = 0; c < channels; ++c) {
        samples.push_back(silentLeft && c == 0 ? 0 : v);
      }
    }
    WriteWave(Path(name), rate, channels, samples);
    return Path(name);
  }

  // A set-up on a file input without outputs.
  TDSPForm* FileSetUp(TProgram& program, const std::string& file) {
    return program.BeginSetUp([&](TSelectDevicesDlg& d) {
      const int row = LastRowOf(*d.InputDevsList, QString::fromUtf8(WaveFileItemText));
      ClickRow(*d.InputDevsList, row);
      EXPECT_TRUE(SetFileThroughDialog(*d.InputDevsList, row, QString::fromStdString(file)));
      CheckOutputs(d, {});
    });
  }

  TTempDir dir{"sonolab-window"};
};

std::vector<QString> ListTexts(const QListWidget& list) {
  std::vector<QString> texts;
  for (int i = 0; i < list.count(); ++i) {
    texts.push_back(list.item(i)->text());
  }
  return texts;
}

// DelBtn, UpBtn, DownBtn, SaveBtn, LoadBtn, BuildGraphBtn, SaveAllBtn, BuildGraphAllBtn enabled.
std::vector<bool> ChainButtons(const TDSPForm& f) {
  return {f.DelBtn->isEnabled(),     f.UpBtn->isEnabled(),           f.DownBtn->isEnabled(),
          f.SaveBtn->isEnabled(),    f.LoadBtn->isEnabled(),         f.BuildGraphBtn->isEnabled(),
          f.SaveAllBtn->isEnabled(), f.BuildGraphAllBtn->isEnabled()};
}

const QString LowPass = QString::fromUtf8(FilterCatalogue[0]->Name);
const QString HighPass = QString::fromUtf8(FilterCatalogue[1]->Name);
const QString EchoName = QString::fromUtf8(FilterCatalogue[9]->Name);

} // namespace

TEST_F(ProcessingWindow, OpensWithItsControlsPicturesTreeGaugesAndSizes) {
  TProgram program;
  TDSPForm* form = FileSetUp(program, Wave("stereo.wav", 44100, 2, 0.5));
  ASSERT_NE(form, nullptr);
  QWidget* window = form->parentWidget();
  EXPECT_EQ(window->size(), QSize(412, 366));
  EXPECT_EQ(window->minimumSize(), QSize(256, 256));
  EXPECT_EQ(form->StatusText(), "");
  EXPECT_EQ(form->CountsText(), ""); // nothing to count yet

  const std::vector<QToolButton*> buttons = {
      form->PlayBtn, form->PauseBtn,   form->RepeatBtn,     form->AddBtn,           form->DelBtn,
      form->UpBtn,   form->DownBtn,    form->BuildGraphBtn, form->BuildGraphAllBtn, form->SaveBtn,
      form->LoadBtn, form->SaveAllBtn, form->LoadAllBtn};
  const std::vector<bool> enabled = {true,  false, true,  true,  false, false, false,
                                     false, false, false, false, false, true};
  // The repeat switch right after Pause, off.
  EXPECT_EQ(form->PlayBar->widgetForAction(form->PlayBar->actions().value(2)), form->RepeatBtn);
  EXPECT_TRUE(form->RepeatBtn->isCheckable() && !form->RepeatBtn->isChecked());
  QStringList tips;
  for (size_t i = 0; i < buttons.size(); ++i) {
    EXPECT_EQ(buttons[i]->size(), QSize(26, 25)) << i;
    EXPECT_EQ(buttons[i]->iconSize(), QSize(19, 19)) << i;
    EXPECT_TRUE(buttons[i]->autoRaise()) << i;
    // A tool tip on every button, the same words as its status-bar hint, no two alike.
    EXPECT_TRUE(buttons[i]->text().isEmpty()) << i;
    EXPECT_FALSE(buttons[i]->toolTip().isEmpty()) << i;
    EXPECT_EQ(buttons[i]->toolTip(), buttons[i]->statusTip()) << i;
    EXPECT_FALSE(tips.contains(buttons[i]->toolTip())) << i;
    tips << buttons[i]->toolTip();
    // Every picture is there, from the theme or from our own resources.
    EXPECT_FALSE(buttons[i]->icon().pixmap(19, 19).isNull()) << i;
    EXPECT_EQ(buttons[i]->isEnabled(), enabled[i]) << i;
  }
  // At the default width every button shows: none is pushed behind the bar's overflow arrow.
  for (QToolBar* bar : {form->PlayBar, form->ChainBar}) {
    for (QAction* action : bar->actions()) {
      QWidget* button = bar->widgetForAction(action);
      EXPECT_TRUE(action->isSeparator() || (button != nullptr && button->isVisible()))
          << action->toolTip().toStdString();
    }
  }

  QTreeWidgetItem* root = form->DSPGraphView->topLevelItem(0);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->text(0), "Графики");
  const std::vector<QString> children = {"Входной сигнал", "Выходной сигнал", "График производительности",
                                         "АЧХ фильтра", "АЧХ системы фильтров"};
  ASSERT_EQ(root->childCount(), 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(root->child(i)->text(0), children[static_cast<size_t>(i)]);
    EXPECT_FALSE(root->child(i)->icon(0).pixmap(16, 16).isNull());
  }
  EXPECT_EQ(form->DSPGraphView->indentation(), 20);
  EXPECT_GE(form->DSPGraphView->height(), TDSPForm::GraphViewHeight);
  // Every row shows, the last one too.
  EXPECT_TRUE(
      form->DSPGraphView->viewport()->rect().contains(form->DSPGraphView->visualItemRect(root->child(4))));

  // One 48-pixel gauge per channel, floor -96.33 dB for 16 bits.
  ASSERT_TRUE(form->Gauges[0] && form->Gauges[1]);
  EXPECT_NEAR(form->Gauges[0]->Floor, -96.33, 0.01);
  EXPECT_EQ(form->PaintBox->width(), 96);
  EXPECT_EQ(form->Gauges[1]->Bounds.left, 48);
  EXPECT_EQ(form->Gauges[1]->Bounds.bottom, form->PaintBox->height());
}

TEST_F(ProcessingWindow, ButtonsFollowTheSelectionAfterUpDownAndDeleteAndTheListMirrorsTheChain) {
  TProgram program;
  TDSPForm* form = FileSetUp(program, Wave("in.wav", 8000, 1, 0.5));
  ASSERT_NE(form, nullptr);
  AddFilterThroughDialogs(*form, 0);
  AddFilterThroughDialogs(*form, 1);
  AddFilterThroughDialogs(*form, 9, false); // cancelling the parameters still adds the filter
  ASSERT_EQ(form->ChainList()->Count(), 3);
  EXPECT_EQ(ListTexts(*form->FilterListBox), (std::vector<QString>{LowPass, HighPass, EchoName}));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(form->FilterListBox->item(i)->checkState(), Qt::Checked);
  }
  EXPECT_EQ(form->SelectedIndex(), -1);
  EXPECT_EQ(ChainButtons(*form), (std::vector<bool>{false, false, false, false, false, false, true, true}));

  // The last one up: it goes to the middle, stays selected, and both moves are possible.
  ClickRow(*form->FilterListBox, 2);
  EXPECT_EQ(ChainButtons(*form), (std::vector<bool>{true, true, false, true, true, true, true, true}));
  ClickCheckBox(*form->FilterListBox, 2); // the echo off, so that its mark travels with it
  EXPECT_FALSE(form->ChainList()->IsEnabled(2));
  QTest::mouseClick(form->UpBtn, Qt::LeftButton);
  EXPECT_EQ(form->SelectedIndex(), 1);
  EXPECT_EQ(ListTexts(*form->FilterListBox), (std::vector<QString>{LowPass, EchoName, HighPass}));
  EXPECT_EQ(form->ChainList()->Item(1)->Type(), 9);
  EXPECT_FALSE(form->ChainList()->IsEnabled(1));
  EXPECT_EQ(form->FilterListBox->item(1)->checkState(), Qt::Unchecked);
  EXPECT_EQ(form->FilterListBox->item(2)->checkState(), Qt::Checked);
  EXPECT_TRUE(form->UpBtn->isEnabled());
  EXPECT_TRUE(form->DownBtn->isEnabled());

  QTest::mouseClick(form->UpBtn, Qt::LeftButton);
  EXPECT_EQ(form->SelectedIndex(), 0);
  EXPECT_FALSE(form->UpBtn->isEnabled());
  QTest::mouseClick(form->DownBtn, Qt::LeftButton);
  QTest::mouseClick(form->DownBtn, Qt::LeftButton);
  EXPECT_EQ(form->SelectedIndex(), 2);
  EXPECT_FALSE(form->DownBtn->isEnabled());
  EXPECT_EQ(ListTexts(*form->FilterListBox), (std::vector<QString>{LowPass, HighPass, EchoName}));

  // Delete: nothing selected afterwards; the last one also disables the chain buttons.
  QTest::mouseClick(form->DelBtn, Qt::LeftButton);
  EXPECT_EQ(form->SelectedIndex(), -1);
  EXPECT_EQ(ChainButtons(*form), (std::vector<bool>{false, false, false, false, false, false, true, true}));
  ClickRow(*form->FilterListBox, 0);
  QTest::mouseClick(form->DelBtn, Qt::LeftButton);
  ClickRow(*form->FilterListBox, 0);
  QTest::mouseClick(form->DelBtn, Qt::LeftButton);
  EXPECT_EQ(form->ChainList()->Count(), 0);
  EXPECT_EQ(form->FilterListBox->count(), 0);
  EXPECT_EQ(ChainButtons(*form), std::vector<bool>(8, false));
}

TEST_F(ProcessingWindow,
       InsertAddsAFilterDeleteWithoutASelectionDoesNothingAndEveryCatalogueEntryAddsItsFilter) {
  TProgram program;
  TDSPForm* form = FileSetUp(program, Wave("in.wav", 8000, 1, 0.5));
  ASSERT_NE(form, nullptr);
  // Insert in the list box adds, as AddBtn does.
  auto select = TModalDriver::When<TSelectFilterDialog>([](TSelectFilterDialog& d) {
    ClickRow(*d.FilterListBox, 9);
    d.accept();
  });
  auto parameters = TModalDriver::When<TEchoDlg>([](TEchoDlg& d) { d.accept(); });
  QTest::keyClick(form->FilterListBox, Qt::Key_Insert);
  ASSERT_TRUE(select->Done());
  EXPECT_TRUE(parameters->Done());
  ASSERT_EQ(form->ChainList()->Count(), 1);

  QTest::keyClick(form->FilterListBox, Qt::Key_Delete); // nothing selected
  EXPECT_EQ(form->ChainList()->Count(), 1);
  ClickRow(*form->FilterListBox, 0);
  QTest::keyClick(form->FilterListBox, Qt::Key_Delete);
  EXPECT_EQ(form->ChainList()->Count(), 0);

  // The selection offers nothing that does nothing: each entry adds its filter, through its dialog.
  std::vector<QString> names;
  for (int type = 0; type < FilterTypeCount; ++type) {
    AddFilterThroughDialogs(*form, type);
    names.push_back(QString::fromUtf8(FilterCatalogue[static_cast<size_t>(type)]->Name));
  }
  ASSERT_EQ(form->ChainList()->Count(), FilterTypeCount);
  for (int i = 0; i < FilterTypeCount; ++i) {
    EXPECT_EQ(form->ChainList()->Item(i)->Type(), i);
  }
  EXPECT_EQ(ListTexts(*form->FilterListBox), names);
  EXPECT_FALSE(QApplication::activeModalWidget());
}

TEST_F(ProcessingWindow, SettingsFilesShowTheirMessagesAndEveryChainLoadRebuildsTheList) {
  TProgram program;
  TDSPForm* form = FileSetUp(program, Wave("in.wav", 8000, 1, 0.5));
  ASSERT_NE(form, nullptr);
  // The four dialogs: filters, default extensions, modes.
  for (QFileDialog* d : {form->SaveFilterDialog, form->OpenFilterDialog}) {
    EXPECT_EQ(d->nameFilters(),
              (QStringList{"Файлы параметров фильтра (*.flt) (*.flt)", "Все файлы (*.*) (*)"}));
    EXPECT_EQ(d->defaultSuffix(), "flt");
  }
  for (QFileDialog* d : {form->SaveChainDialog, form->OpenChainDialog}) {
    EXPECT_EQ(d->nameFilters(),
              (QStringList{"Файлы параметров фильтров (*.lst) (*.lst)", "Все файлы (*.*) (*)"}));
    EXPECT_EQ(d->defaultSuffix(), "lst");
  }
  for (QFileDialog* d : {form->SaveFilterDialog, form->SaveChainDialog}) {
    EXPECT_EQ(d->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_FALSE(d->testOption(QFileDialog::DontConfirmOverwrite));
  }
  for (QFileDialog* d : {form->OpenFilterDialog, form->OpenChainDialog}) {
    EXPECT_EQ(d->fileMode(), QFileDialog::ExistingFile);
  }

  AddFilterThroughDialogs(*form, 0);
  AddFilterThroughDialogs(*form, 9);
  form->ChainList()->SetEnabled(1, false);
  form->FilterListBox->item(1)->setCheckState(Qt::Unchecked);

  // Saved and loaded back: the list is rebuilt from the file, nothing selected.
  const std::string chain = Path("chain.lst");
  auto save = AnswerFileDialog(chain);
  form->SaveAllBtnClick();
  ASSERT_TRUE(save->Done());
  ASSERT_TRUE(fs::exists(chain));
  ClickRow(*form->FilterListBox, 0);
  QTest::mouseClick(form->DelBtn, Qt::LeftButton);
  auto load = AnswerFileDialog(chain);
  form->LoadAllBtnClick();
  ASSERT_TRUE(load->Done());
  EXPECT_EQ(ListTexts(*form->FilterListBox), (std::vector<QString>{LowPass, EchoName}));
  EXPECT_EQ(form->FilterListBox->item(1)->checkState(), Qt::Unchecked);
  EXPECT_FALSE(form->ChainList()->IsEnabled(1));
  EXPECT_EQ(form->SelectedIndex(), -1);

  struct TCase {
    std::vector<uint8_t> bytes;
    const char* message;
    std::vector<QString> list; // after the load
  };
  // A chain whose second filter has type 16 (outside the catalogue), with a valid checksum.
  std::vector<uint8_t> unknown = {2,   0, 0, 0, 9,    0, 0, 0, 9,  0, 0, 0,
                                  100, 0, 0, 0, 0xE8, 3, 0, 0, 16, 0, 0, 0};
  unknown.resize(unknown.size() + 16, 1);
  uint16_t sum = 0;
  for (uint8_t b : unknown) {
    sum = static_cast<uint16_t>(sum + b);
  }
  unknown.push_back(static_cast<uint8_t>(sum & 0xFF));
  unknown.push_back(static_cast<uint8_t>(sum >> 8));
  std::vector<uint8_t> corrupt = ReadBytes(chain);
  corrupt[5] ^= 1;
  // A one-filter file (the default low-pass) given as a chain.
  const std::vector<uint8_t> lowPassFlt = {0, 0, 0, 0, 0xE8, 3, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0xED, 0};
  // Whatever is refused, the chain and its list stay as they were.
  const std::vector<TCase> cases = {
      {corrupt, "Ошибка контрольной суммы!", {LowPass, EchoName}},
      {{7}, "Ошибка контрольной суммы!", {LowPass, EchoName}},
      {unknown, "Неверный формат файла!", {LowPass, EchoName}},
      {lowPassFlt, "Неверный формат файла!", {LowPass, EchoName}},
  };
  for (const TCase& c : cases) {
    WriteBytes(Path("bad.lst"), c.bytes);
    ClickRow(*form->FilterListBox, 0);
    TBoxSeen seen;
    auto box = DismissBox(seen);
    auto pick = AnswerFileDialog(Path("bad.lst"));
    form->LoadAllBtnClick();
    ASSERT_TRUE(box->Done()) << c.message;
    EXPECT_EQ(seen.Caption, "Ошибка");
    EXPECT_EQ(seen.Icon, QMessageBox::Critical);
    EXPECT_EQ(seen.Text, c.message);
    EXPECT_EQ(ListTexts(*form->FilterListBox), c.list) << c.message;
    EXPECT_EQ(form->SelectedIndex(), -1);
    EXPECT_EQ(form->SaveAllBtn->isEnabled(), !c.list.empty());
  }

  // One filter: a low-pass record into a high-pass, and a file that cannot be created.
  AddFilterThroughDialogs(*form, 0);
  AddFilterThroughDialogs(*form, 1);
  ClickRow(*form->FilterListBox, 0);
  auto saveOne = AnswerFileDialog(Path("low.flt"));
  form->SaveBtnClick();
  ASSERT_TRUE(saveOne->Done());
  EXPECT_EQ(fs::file_size(Path("low.flt")), 18u);
  ClickRow(*form->FilterListBox, 1);
  TBoxSeen wrongType;
  auto box = DismissBox(wrongType);
  auto loadOne = AnswerFileDialog(Path("low.flt"));
  form->LoadBtnClick();
  ASSERT_TRUE(box->Done());
  EXPECT_EQ(wrongType.Text,
            "В файле - параметры фильтра «" + LowPass + "», а выбранный фильтр - «" + EchoName +
                "». Добавить фильтр из файла в систему можно командой «Добавить фильтр из файла…».");
  EXPECT_EQ(form->ChainList()->Item(1)->Type(), 9);
  // The command adds it as a new filter, from the window's button and from the main menu's key alike.
  auto addOne = AnswerFileDialog(Path("low.flt"));
  QTest::mouseClick(form->AddFromFileBtn, Qt::LeftButton);
  ASSERT_TRUE(addOne->Done());
  EXPECT_TRUE(program.Main().iAddFromFile->isEnabled());
  auto addAgain = AnswerFileDialog(Path("low.flt"));
  QApplication::setActiveWindow(&program.Main()); // as the file dialog leaves it on a desktop
  QTest::keyClick(form->FilterListBox, Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier);
  ASSERT_TRUE(addAgain->Done());
  EXPECT_EQ(ListTexts(*form->FilterListBox),
            (std::vector<QString>{LowPass, EchoName, LowPass, HighPass, LowPass, LowPass}));
  EXPECT_EQ(form->SelectedIndex(), 5);
  EXPECT_EQ(form->ChainList()->Item(5)->Type(), 0);
  TBoxSeen cannotCreate;
  auto box2 = DismissBox(cannotCreate);
  // A name that leads nowhere: a link into a folder that does not exist.
  fs::create_symlink(Path("no-such-folder/x.flt"), Path("nowhere.flt"));
  auto saveNowhere = AnswerFileDialog(Path("nowhere.flt"));
  form->SaveBtnClick();
  ASSERT_TRUE(box2->Done());
  EXPECT_EQ(cannotCreate.Text, "Невозможно создать файл!");
}

TEST_F(ProcessingWindow, DisplayWindowsOpenInTheChildAreaOwnedByTheirWindowAndCloseWithIt) {
  TProgram program;
  TDSPForm* form = FileSetUp(program, Wave("in.wav", 44100, 1, 0.5));
  ASSERT_NE(form, nullptr);
  QTreeWidgetItem* root = form->DSPGraphView->topLevelItem(0);
  emit form->DSPGraphView->itemDoubleClicked(root, 0);           // the root opens nothing
  emit form->DSPGraphView->itemDoubleClicked(root->child(3), 0); // no filter selected: nothing
  emit form->DSPGraphView->itemDoubleClicked(root->child(4), 0); // an empty chain: nothing
  EXPECT_TRUE(form->DisplayWindows().empty());

  for (int i : {0, 1, 2, 1}) {
    emit form->DSPGraphView->itemDoubleClicked(root->child(i), 0);
  }
  AddFilterThroughDialogs(*form, 0);
  ClickRow(*form->FilterListBox, 0);
  emit form->DSPGraphView->itemDoubleClicked(root->child(3), 0);
  emit form->DSPGraphView->itemDoubleClicked(root->child(4), 0);
  const std::vector<QMdiSubWindow*> displays = form->DisplayWindows();
  ASSERT_EQ(displays.size(), 6u);
  std::vector<QString> titles;
  for (QMdiSubWindow* w : displays) {
    EXPECT_EQ(w->mdiArea(), program.Main().ClientArea);
    titles.push_back(w->widget()->windowTitle());
  }
  EXPECT_EQ(titles,
            (std::vector<QString>{"Входной сигнал - Значения выборок", "Выходной сигнал - Значения выборок",
                                  "График производительности", "Выходной сигнал - Значения выборок",
                                  "Амплитудно-частотная характеристика фильтра - 1. Фильтр нижних частот",
                                  "Амплитудно-частотная характеристика системы фильтров"}));
  auto* input = qobject_cast<TDSPGraphFrm*>(displays[0]->widget());
  auto* output = qobject_cast<TDSPGraphFrm*>(displays[1]->widget());
  auto* perf = qobject_cast<TDSPPerfForm*>(displays[2]->widget());
  ASSERT_TRUE(input && output && perf);

  // Each says whose it is, also once its own caption changes, and lies inside the visible area;
  // "Окна" lists every child window once, the two alike told apart.
  EXPECT_EQ(form->windowTitle(), "Обработка сигнала - in.wav (Файл формата WAVE)");
  const QRect visible = program.Main().ClientArea->viewport()->rect();
  for (QMdiSubWindow* w : displays) {
    EXPECT_EQ(w->windowTitle(), w->widget()->windowTitle() + " [in.wav]");
    EXPECT_TRUE(visible.contains(w->geometry())) << w->windowTitle().toStdString();
  }
  input->GraphTypeClick(input->iSpectrogram);
  EXPECT_EQ(displays[0]->windowTitle(), "Входной сигнал - Звуковая спектрограмма [in.wav]");
  emit program.Main().iWindows->aboutToShow();
  QSet<QString> entries;
  for (QAction* item : program.Main().iWindows->actions()) {
    entries << (item->isCheckable() ? item->text() : QString());
  }
  EXPECT_EQ(entries.size(), 7 + 1); // seven child windows, and the arranging items under ""

  EXPECT_EQ(input->Signal, 0u);
  EXPECT_EQ(output->Signal, 1u);
  EXPECT_EQ(input->OwnerForm, form);
  EXPECT_EQ(input->Frames, 4096u);
  EXPECT_EQ(perf->BlockMs, 92);
  EXPECT_EQ(perf->OwnerForm, form);

  // Closing one display leaves the others; closing the window closes the rest.
  displays[3]->close();
  EXPECT_TRUE(WaitUntil([&] { return form->DisplayWindows().size() == 5; }));
  std::vector<QPointer<QMdiSubWindow>> left(displays.begin(), displays.end());
  form->CloseSetUp();
  EXPECT_TRUE(WaitUntil([&] {
    return std::all_of(left.begin(), left.end(), [](const QPointer<QMdiSubWindow>& w) { return w.isNull(); });
  }));
  EXPECT_TRUE(program.Main().ClientArea->subWindowList().isEmpty());
}

TEST_F(ProcessingWindow, EachPerformanceWindowPlotsOnlyItsOwnWindowsTimesAndGaugesShowTheInput) {
  TProgram program;
  // A: stereo with a silent left channel, played; B: never played.
  TDSPForm* a = FileSetUp(program, Wave("a.wav", 8000, 2, 4.0, true));
  TDSPForm* b = FileSetUp(program, Wave("b.wav", 8000, 1, 1.0));
  ASSERT_TRUE(a && b);
  const QPointer<TDSPForm> alive = a;
  QTreeWidgetItem* perfItemA = a->DSPGraphView->topLevelItem(0)->child(2);
  QTreeWidgetItem* perfItemB = b->DSPGraphView->topLevelItem(0)->child(2);
  emit a->DSPGraphView->itemDoubleClicked(perfItemA, 0);
  emit b->DSPGraphView->itemDoubleClicked(perfItemB, 0);
  auto* perfA = qobject_cast<TDSPPerfForm*>(a->DisplayWindows().back()->widget());
  auto* perfB = qobject_cast<TDSPPerfForm*>(b->DisplayWindows().back()->widget());
  ASSERT_TRUE(perfA && perfB);
  const QPointer<TDSPPerfForm> perfBAlive = perfB;
  // Each block's time as 1 ms or more, so that a plotted block is seen in the history.
  perfA->TicksPer100ms = 100;
  perfB->TicksPer100ms = 100;

  TBoxSeen end;
  auto box = DismissBox(end);
  QTest::mouseClick(a->PlayBtn, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return box->Done(); }));
  EXPECT_EQ(end.Text, "Достигнут конец файла");
  EXPECT_EQ(end.Caption, "Сообщение");
  // The box is dismissed: A stays, stopped at its end, with its times plotted; B and its display stay,
  // with nothing plotted.
  Pump(50ms);
  ASSERT_FALSE(alive.isNull());
  EXPECT_EQ(a->State(), TDSPState::Ended);
  EXPECT_TRUE(std::any_of(perfA->History.begin(), perfA->History.end(), [](double ms) { return ms > 0; }));
  ASSERT_FALSE(perfBAlive.isNull());
  EXPECT_TRUE(std::all_of(perfB->History.begin(), perfB->History.end(), [](double ms) { return ms == 0; }));
  EXPECT_EQ(b->BlocksServed(), 0u);
}

TEST_F(ProcessingWindow, TheGaugesShowEachInputChannelAndTheStatusBarTheState) {
  TProgram program;
  TDSPForm* form = FileSetUp(program, Wave("silent-left.wav", 8000, 2, 0.7, true));
  ASSERT_NE(form, nullptr);
  const QPointer<TDSPForm> alive = form;
  const auto green = [&](int c) {
    int rows = 0;
    const QImage& surface = form->PaintBox->Surface();
    const TRect bar = form->Gauges[static_cast<size_t>(c)]->BarRect;
    for (int y = bar.top; y < bar.bottom; ++y) {
      rows += (surface.pixel((bar.left + bar.right) / 2, y) & 0xFFFFFF) == 0x00FF00 ? 1 : 0;
    }
    return rows;
  };
  QString status;
  auto box = TModalDriver::When<QMessageBox>([&](QMessageBox& b) {
    status = form->StatusText();
    b.accept();
  });
  QTest::mouseClick(form->PlayBtn, Qt::LeftButton);
  EXPECT_FALSE(form->PlayBtn->isEnabled());
  EXPECT_TRUE(form->PauseBtn->isEnabled());
  EXPECT_EQ(form->StatusText(), "Состояние: обработка сигнала");
  // Read while the file plays (a file without outputs plays at its own pace).
  ASSERT_TRUE(WaitUntil([&] { return form->BlocksServed() >= 2; }));
  EXPECT_EQ(form->BlockLabel->text(), "64,0 мс");
  EXPECT_EQ(form->BlockLabel->toolTip(), "Размер блока: 512 отсчётов (64,0 мс)");
  EXPECT_NEAR(form->Gauges[0]->Level, -96.33, 0.01); // silence sits on the floor
  EXPECT_NEAR(form->Gauges[1]->Level, 20 * std::log10(12000.0 / 32768), 0.05);
  EXPECT_GT(green(1), 0);
  // A pause lets the gauges fall to silence instead of keeping the last level.
  QTest::mouseClick(form->PauseBtn, Qt::LeftButton);
  EXPECT_EQ(form->Gauges[1]->Level, form->Gauges[1]->Floor);
  QTest::mouseClick(form->PlayBtn, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return box->Done(); }));
  EXPECT_EQ(status, "Состояние: достигнут конец файла, обработка остановлена");
  EXPECT_FALSE(alive.isNull());
}

// F5 and F6 press Play and Pause, in the window and in its display windows; the space bar still
// switches the selected filter. (A repeated file runs until it is paused.)
TEST_F(ProcessingWindow, F5AndF6PressPlayAndPauseAndTheSpaceBarStillSwitchesAFilter) {
  TProgram program;
  TDSPForm* form = FileSetUp(program, Wave("in.wav", 8000, 1, 0.5));
  ASSERT_NE(form, nullptr);
  AddFilterThroughDialogs(*form, 9);
  QTest::mouseClick(form->RepeatBtn, Qt::LeftButton);
  ClickRow(*form->FilterListBox, 0);
  QApplication::setActiveWindow(&program.Main()); // offscreen, no window manager gives it back
  QTest::keyClick(form->FilterListBox, Qt::Key_F5);
  EXPECT_EQ(form->State(), TDSPState::Processing);
  QTest::keyClick(form->FilterListBox, Qt::Key_Space);
  EXPECT_FALSE(form->ChainList()->IsEnabled(0));
  QTest::keyClick(form->FilterListBox, Qt::Key_F6);
  EXPECT_EQ(form->State(), TDSPState::Paused);
  // The same keys in one of the set-up's display windows.
  emit form->DSPGraphView->itemDoubleClicked(form->DSPGraphView->topLevelItem(0)->child(0), 0);
  ASSERT_EQ(form->DisplayWindows().size(), 1u);
  QWidget* display = form->DisplayWindows().front()->widget();
  QTest::keyClick(display, Qt::Key_F5);
  EXPECT_EQ(form->State(), TDSPState::Processing);
  QTest::keyClick(display, Qt::Key_F6);
  EXPECT_EQ(form->State(), TDSPState::Paused);
}

// Return and F2 in the filter list open the selected filter's dialog; Return and Space in the tree open
// the display under the cursor.
TEST_F(ProcessingWindow, TheKeyboardOpensTheSelectedFiltersDialogAndTheDisplays) {
  TProgram program;
  TDSPForm* form = FileSetUp(program, Wave("in.wav", 8000, 1, 0.5));
  ASSERT_NE(form, nullptr);
  AddFilterThroughDialogs(*form, 9);
  ClickRow(*form->FilterListBox, 0);
  for (const Qt::Key key : {Qt::Key_Return, Qt::Key_F2, Qt::Key_Enter}) {
    QString caption;
    auto dialog = TModalDriver::When<QDialog>([&caption](QDialog& d) {
      caption = d.windowTitle();
      d.reject();
    });
    QTest::keyClick(form->FilterListBox, key);
    EXPECT_TRUE(dialog->Done()) << key;
    EXPECT_EQ(caption, QString::fromUtf8(FilterCatalogue[9]->Caption));
  }
  QTreeWidget& tree = *form->DSPGraphView;
  tree.setFocus();
  tree.setCurrentItem(tree.topLevelItem(0)->child(0));
  QTest::keyClick(&tree, Qt::Key_Return);
  tree.setCurrentItem(tree.topLevelItem(0)->child(1));
  QTest::keyClick(&tree, Qt::Key_Space);
  EXPECT_EQ(form->DisplayWindows().size(), 2u);
}

TEST_F(ProcessingWindow, AFullChainSaysSoBeforeAnyDialogAndAddsNothing) {
  TProgram program;
  TDSPForm* form = FileSetUp(program, Wave("in.wav", 8000, 1, 0.5));
  ASSERT_NE(form, nullptr);
  for (int i = 0; i < TFilterList::MaxFilters; ++i) {
    AddFilterThroughDialogs(*form, 9);
  }
  ASSERT_EQ(form->ChainList()->Count(), TFilterList::MaxFilters);
  TBoxSeen seen;
  auto box = DismissBox(seen);
  auto select = TModalDriver::When<TSelectFilterDialog>([](TSelectFilterDialog& d) { d.reject(); }, 2s);
  form->AddBtnClick();
  EXPECT_TRUE(box->Done());
  EXPECT_EQ(seen.Caption, "Ошибка");
  EXPECT_EQ(seen.Text, "Цепочка уже содержит максимальное число фильтров (16)!");
  EXPECT_FALSE(select->Done()) << "the selection dialog was shown for a full chain";
  EXPECT_EQ(form->FilterListBox->count(), TFilterList::MaxFilters);
}

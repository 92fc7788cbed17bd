// SPDX-License-Identifier: GPL-3.0-or-later
// The device dialogs: the lists and their rules, OK's results, the parameter dialog's pages by kind,
// Apply and Cancel, the file dialogs, the refused long name and the refused output format.

#include "support/PrivatePulseServer.h"
#include "support/ProgramDriver.h"
#include "support/TestFiles.h"

#include "devices/AudioFormats.h"
#include "devices/DeviceCatalogue.h"
#include "devices/DirectSoundDevices.h"
#include "devices/FileChecks.h"
#include "devices/WaveAudioDevices.h"
#include "devices/WaveFile.h"
#include "devices/platform/PulseSoundServices.h"
#include "ui/dialogs/FileDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileSystemModel>
#include <QTabWidget>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace sonotest;
using namespace std::chrono_literals;

namespace {

std::vector<QString> Texts(const QListWidget& list) {
  std::vector<QString> texts;
  for (int i = 0; i < list.count(); ++i) {
    texts.push_back(list.item(i)->text());
  }
  return texts;
}

std::vector<int> CheckedRows(const QListWidget& list) {
  std::vector<int> rows;
  for (int i = 0; i < list.count(); ++i) {
    if (list.item(i)->checkState() == Qt::Checked) {
      rows.push_back(i);
    }
  }
  return rows;
}

// Shows the device dialog, runs `inside` on it and ends it with OK or Cancel; a refusal of OK fails.
bool RunDeviceDialog(TSelectDevicesDlg& dialog, const std::function<void(TSelectDevicesDlg&)>& inside,
                     bool ok) {
  std::shared_ptr<TModalDriver> refusal;
  auto driver = TModalDriver::When<TSelectDevicesDlg>([&](TSelectDevicesDlg& d) {
    inside(d);
    refusal = TModalDriver::When<QMessageBox>([&d](QMessageBox& box) {
      ADD_FAILURE() << "OK refused: " << box.text().toStdString();
      box.accept();
      d.reject();
    });
    QTest::mouseClick(ok ? d.OKBtn : d.CancelBtn, Qt::LeftButton);
  });
  const int result = dialog.exec();
  EXPECT_TRUE(driver->Done());
  return result == QDialog::Accepted;
}

// The parameter dialog shown on a device; `inside` sees it, then Cancel unless it closed it.
void RunParameterDialog(TDevParamDlg& dialog, TAudioDevice& device,
                        const std::function<void(TDevParamDlg&)>& inside) {
  dialog.SetDevice(&device);
  auto driver = TModalDriver::When<TDevParamDlg>([&](TDevParamDlg& d) {
    inside(d);
    if (d.isVisible()) {
      QTest::mouseClick(d.CancelBtn, Qt::LeftButton);
    }
  });
  dialog.exec();
  EXPECT_TRUE(driver->Done());
}

} // namespace

// ---- TSelectDevicesDlg --------------------------------------------------------------------------

TEST(SelectDevicesDialog, ListsTheApplicationsThenRingThenWaveAudioThenTheFileWithTheFirstDeviceChosen) {
  SONOTEST_REQUIRE_PULSE_SERVER();
  auto services = std::make_shared<TPulseSoundServices>();
  TProgram program(services);
  TSelectDevicesDlg& dialog = program.Devices();
  dialog.SetWaveAudioNames([] { return std::vector<std::string>{"Карта A"}; },
                           [] {
                             return std::vector<std::string>{"Карта B", "Карта C"};
                           });
  RunDeviceDialog(
      dialog,
      [](TSelectDevicesDlg& d) {
        EXPECT_EQ(d.windowTitle(), "Выбор устройств оцифровки/воспроизведения");
        EXPECT_EQ(d.size(), QSize(396, 297)); // extended downward for the block size and the default
        EXPECT_EQ(d.AppsDefaultBox->geometry(), QRect(96, 272, 288, 17));
        EXPECT_EQ(d.AppsDefaultBox->text(), "Сделать устройством по умолчанию");
        EXPECT_TRUE(d.AppsDefaultBox->isChecked());
        EXPECT_FALSE(d.AppsDefaultBox->isEnabled()); // another input is chosen
        EXPECT_EQ(d.Bevel1->geometry(), QRect(8, 8, 289, 225));
        EXPECT_EQ(d.BlockSizeBox->geometry(), QRect(96, 244, 288, 21));
        EXPECT_EQ(d.BlockSizeLabel->text(), "Размер блока:");
        EXPECT_EQ(d.InputDevsList->geometry(), QRect(24, 32, 257, 82));
        EXPECT_EQ(d.OutputDevsList->geometry(), QRect(24, 136, 257, 82));
        EXPECT_EQ(d.OKBtn->geometry(), QRect(309, 8, 75, 25));
        EXPECT_EQ(d.CancelBtn->geometry(), QRect(309, 40, 75, 25));
        EXPECT_EQ(d.CancelBtn->text(), "Отмена");
        EXPECT_TRUE(d.OKBtn->isDefault());
        EXPECT_EQ(d.focusWidget(), d.InputDevsList);
        const std::vector<QString> inputs = Texts(*d.InputDevsList);
        const std::vector<QString> outputs = Texts(*d.OutputDevsList);
        ASSERT_GE(inputs.size(), 4u);
        ASSERT_GE(outputs.size(), 4u);
        // The applications, the server's sources, then the wave-audio inputs, then the file; the same
        // for outputs, without the applications.
        EXPECT_EQ(inputs[0], "Звук приложений");
        EXPECT_EQ(inputs[1], "Monitor of Null Output (PulseAudio)");
        EXPECT_EQ(inputs[inputs.size() - 2], "Карта A (ALSA)");
        EXPECT_EQ(inputs.back(), "Файл формата WAVE");
        EXPECT_EQ(outputs[0], "Null Output (PulseAudio)");
        EXPECT_EQ(outputs[outputs.size() - 3], "Карта B (ALSA)");
        EXPECT_EQ(outputs[outputs.size() - 2], "Карта C (ALSA)");
        EXPECT_EQ(outputs.back(), "Файл формата WAVE");
        // The first device, not the applications, which would take the desktop's default.
        EXPECT_EQ(d.InputDevsList->currentRow(), 1);
        EXPECT_EQ(CheckedRows(*d.InputDevsList), std::vector<int>{1});
        EXPECT_EQ(d.OutputDevsList->currentRow(), 0);
        EXPECT_EQ(CheckedRows(*d.OutputDevsList), std::vector<int>{0});
        EXPECT_EQ(d.InputItemDevice(1)->Kind(), dkDirectSoundRecording);
        EXPECT_EQ(d.InputItemDevice(static_cast<int>(inputs.size()) - 2)->Kind(), dkWaveAudioRecording);
        EXPECT_EQ(d.OutputItemDevice(static_cast<int>(outputs.size()) - 1)->Kind(), dkWaveFilePlayback);
      },
      false);
}

TEST(SelectDevicesDialog, TheApplicationsInputTakesItsDefaultBoxToItsDeviceAndTheNextShowing) {
  SONOTEST_REQUIRE_PULSE_SERVER();
  TProgram program(std::make_shared<TPulseSoundServices>());
  TSelectDevicesDlg& dialog = program.Devices();
  ASSERT_TRUE(RunDeviceDialog(
      dialog,
      [](TSelectDevicesDlg& d) {
        ClickRow(*d.InputDevsList, 0);
        ASSERT_TRUE(d.AppsDefaultBox->isEnabled());
        QTest::mouseClick(d.AppsDefaultBox, Qt::LeftButton);
      },
      true));
  EXPECT_EQ(dialog.InputName, "Звук приложений");
  const std::unique_ptr<TRecordingDevice> input = dialog.TakeInputDevice();
  const auto* apps = dynamic_cast<const TAppsRecordingDevice*>(input.get());
  ASSERT_NE(apps, nullptr);
  EXPECT_FALSE(apps->MakeDefault());
  EXPECT_EQ(FindFormat(input->Buffer().Format()), 31); // the sink at 44100 Hz, 16 bits, stereo
  RunDeviceDialog(
      dialog, [](TSelectDevicesDlg& d) { EXPECT_FALSE(d.AppsDefaultBox->isChecked()); }, false);
}

TEST(SelectDevicesDialog, TheInputListKeepsExactlyOneCheckedItemTheOneOKTakes) {
  TProgram program;
  TSelectDevicesDlg& dialog = program.Devices();
  dialog.SetWaveAudioNames(
      [] {
        return std::vector<std::string>{"A", "B"};
      },
      [] { return std::vector<std::string>{}; });
  ASSERT_TRUE(RunDeviceDialog(
      dialog,
      [](TSelectDevicesDlg& d) {
        QListWidget& list = *d.InputDevsList;
        ASSERT_EQ(list.count(), 3);
        ClickCheckBox(list, 2); // checking another unchecks the first
        EXPECT_EQ(CheckedRows(list), std::vector<int>{2});
        EXPECT_EQ(list.currentRow(), 2);
        ClickCheckBox(list, 2); // the checked one cannot be unchecked
        EXPECT_EQ(CheckedRows(list), std::vector<int>{2});
        ClickRow(list, 1); // selecting by the text moves the mark with it
        EXPECT_EQ(CheckedRows(list), std::vector<int>{1});
        QTest::keyClick(&list, Qt::Key_Down);
        EXPECT_EQ(CheckedRows(list), std::vector<int>{2});
        // The block sizes at the input's rate (8000 Hz by default); a file's rate is not known yet.
        QComboBox& block = *d.BlockSizeBox;
        ASSERT_EQ(block.count(), 7);
        EXPECT_EQ(block.itemText(0), "По умолчанию (от 50 до 100 мс)");
        EXPECT_EQ(block.itemText(1), "64 отсчёта");
        ClickRow(list, 1);
        EXPECT_EQ(block.currentIndex(), 0);
        EXPECT_EQ(block.itemText(0), "По умолчанию (512 отсчётов, 64,0 мс)");
        EXPECT_EQ(block.itemText(1), "64 отсчёта (8,0 мс)");
        EXPECT_EQ(block.itemText(6), "2048 отсчётов (256,0 мс)");
        block.setCurrentIndex(3);
        CheckOutputs(d, {}); // the only output is a file without a name
      },
      true));
  EXPECT_EQ(dialog.InputName, "B (ALSA)");
  const std::unique_ptr<TRecordingDevice> input = dialog.TakeInputDevice();
  ASSERT_TRUE(input);
  EXPECT_EQ(input->Kind(), dkWaveAudioRecording);
  EXPECT_EQ(input->BlockChoice(), 256); // the set-up's block, kept for the next showing
  EXPECT_EQ(dialog.BlockSizeBox->currentIndex(), 3);
}

TEST(SelectDevicesDialog, OKTakesTheCheckedOutputsInOrderOrNoneAndAReshowingKeepsTheChoicesButNotTheNames) {
  TProgram program;
  TSelectDevicesDlg& dialog = program.Devices();
  dialog.SetWaveAudioNames([] { return std::vector<std::string>{"In"}; },
                           [] {
                             return std::vector<std::string>{"A", "B"};
                           });
  ASSERT_TRUE(RunDeviceDialog(
      dialog,
      [](TSelectDevicesDlg& d) {
        CheckOutputs(d, {0, 2});
        ASSERT_TRUE(SetFileThroughDialog(*d.OutputDevsList, 2, QStringLiteral("/tmp/x.wav"), 5));
      },
      true));
  std::unique_ptr<TPlaybackDevsList> outputs = dialog.TakeOutputDevices();
  ASSERT_EQ(outputs->Count(), 2);
  EXPECT_EQ(outputs->Item(0)->Kind(), dkWaveAudioPlayback);
  EXPECT_EQ(outputs->Item(1)->Kind(), dkWaveFilePlayback);
  EXPECT_EQ(static_cast<TWAVEFilePlaybackDevice*>(outputs->Item(1))->FileName(), "/tmp/x.wav");
  EXPECT_EQ(FindFormat(outputs->Item(1)->Buffer().Format()), 5);
  EXPECT_EQ(dialog.InputName, "In (ALSA)");

  // The next showing has fresh objects with the choices of the last OK, but no file name: the outputs
  // checked and the format chosen.
  ASSERT_TRUE(RunDeviceDialog(
      dialog,
      [](TSelectDevicesDlg& d) {
        EXPECT_EQ(CheckedRows(*d.OutputDevsList), (std::vector<int>{0, 2}));
        EXPECT_TRUE(d.OutputItemDevice(2)->FormatChosen());
        EXPECT_EQ(FindFormat(d.OutputItemDevice(2)->Buffer().Format()), 5);
        EXPECT_FALSE(d.OutputItemDevice(0)->FormatChosen());
        EXPECT_EQ(static_cast<TWAVEFilePlaybackDevice*>(d.OutputItemDevice(2))->FileName(), "");
        CheckOutputs(d, {});
      },
      true));
  EXPECT_EQ(dialog.TakeOutputDevices()->Count(), 0);
  // No output is a choice too.
  ASSERT_TRUE(RunDeviceDialog(
      dialog, [](TSelectDevicesDlg& d) { EXPECT_EQ(CheckedRows(*d.OutputDevsList), std::vector<int>{}); },
      true));
}

// The last OK's choices come back at the next showing and in the next run: the input, the outputs, the
// formats chosen, the block and the file dialogs' folder; never a file's name.
TEST(SelectDevicesDialog, TheLastOKsChoicesComeBackAtTheNextShowingAndInTheNextRun) {
  TProgram program;
  const TTempDir dir("sonolab-choices");
  const auto names = [] { return std::vector<std::string>{"A", "B"}; };
  TSelectDevicesDlg& dialog = program.Devices();
  dialog.SetWaveAudioNames(names, names);
  ASSERT_TRUE(RunDeviceDialog(
      dialog,
      [&](TSelectDevicesDlg& d) {
        ClickRow(*d.InputDevsList, 1);
        ASSERT_TRUE(EditDevice(*d.InputDevsList, 1, [](TDevParamDlg& p) { ClickRow(*p.FormatsList, 33); }));
        CheckOutputs(d, {1, 2});
        ASSERT_TRUE(EditDevice(*d.OutputDevsList, 1, [](TDevParamDlg& p) { ClickRow(*p.FormatsList, 13); }));
        ASSERT_TRUE(SetFileThroughDialog(*d.OutputDevsList, 2, QString::fromStdString(dir.File("out.wav"))));
        d.BlockSizeBox->setCurrentIndex(2);
      },
      true));
  const auto expectKept = [&](TSelectDevicesDlg& d, TDevParamDlg& parameters) {
    EXPECT_EQ(d.InputDevsList->currentRow(), 1);
    EXPECT_EQ(CheckedRows(*d.InputDevsList), std::vector<int>{1});
    EXPECT_EQ(CheckedRows(*d.OutputDevsList), (std::vector<int>{1, 2}));
    EXPECT_EQ(FindFormat(d.InputItemDevice(1)->Buffer().Format()), 33);
    EXPECT_TRUE(d.OutputItemDevice(1)->FormatChosen());
    EXPECT_EQ(FindFormat(d.OutputItemDevice(1)->Buffer().Format()), 13);
    EXPECT_FALSE(d.OutputItemDevice(2)->FormatChosen()); // the file follows its input
    EXPECT_EQ(DeviceFileName(*d.OutputItemDevice(2)), "");
    EXPECT_EQ(d.ChosenBlockFrames(), 128);
    EXPECT_EQ(parameters.SaveDialog->directory().absolutePath().toStdString(), dir.Path().string());
  };
  RunDeviceDialog(
      dialog, [&](TSelectDevicesDlg& d) { expectKept(d, program.forms.DevParamDlg()); }, false);
  // A new run: the dialogs made afresh read the same settings.
  TSelectDevicesDlg next(nullptr);
  TDevParamDlg nextParameters;
  next.SetDevParamDlg(&nextParameters);
  next.SetWaveAudioNames(names, names);
  RunDeviceDialog(
      next, [&](TSelectDevicesDlg& d) { expectKept(d, nextParameters); }, false);
}

TEST(SelectDevicesDialog, ADoubleClickOpensTheParameterDialogOfThatItemCaptionedByIt) {
  TProgram program;
  program.Devices().SetWaveAudioNames([] { return std::vector<std::string>{"A"}; },
                                      [] { return std::vector<std::string>{"B"}; });
  RunDeviceDialog(
      program.Devices(),
      [](TSelectDevicesDlg& d) {
        EXPECT_TRUE(EditDevice(*d.InputDevsList, 1, [](TDevParamDlg& p) {
          EXPECT_EQ(p.windowTitle(), "Файл формата WAVE: свойства");
          EXPECT_FALSE(p.PageControl->isTabVisible(p.PageControl->indexOf(p.DataFormatSheet)));
          EXPECT_TRUE(p.PageControl->isTabVisible(p.PageControl->indexOf(p.FileNameSheet)));
          EXPECT_EQ(p.PageControl->currentWidget(), p.FileNameSheet);
          EXPECT_EQ(p.focusWidget(), p.FileName); // the name can be typed at once
        }));
        EXPECT_TRUE(EditDevice(*d.OutputDevsList, 1, [](TDevParamDlg& p) {
          EXPECT_EQ(p.windowTitle(), "Файл формата WAVE: свойства");
          EXPECT_TRUE(p.PageControl->isTabVisible(p.PageControl->indexOf(p.DataFormatSheet)));
          EXPECT_TRUE(p.PageControl->isTabVisible(p.PageControl->indexOf(p.FileNameSheet)));
          EXPECT_EQ(p.PageControl->currentWidget(), p.DataFormatSheet);
        }));
        EXPECT_TRUE(EditDevice(*d.OutputDevsList, 0, [](TDevParamDlg& p) {
          EXPECT_EQ(p.windowTitle(), "B (ALSA): свойства");
          EXPECT_FALSE(p.PageControl->isTabVisible(p.PageControl->indexOf(p.FileNameSheet)));
          // An output follows its input until a format is chosen.
          EXPECT_TRUE(p.InputFormatBox->isChecked());
          EXPECT_EQ(p.FormatsList->currentRow(), -1);
        }));
        EXPECT_TRUE(EditDevice(*d.InputDevsList, 0, [](TDevParamDlg& p) {
          EXPECT_TRUE(p.InputFormatBox->isHidden());
          EXPECT_EQ(p.FormatsList->currentItem()->text(), "8,000 КГц, 8 бит, моно (7 Кб/с)");
        }));
        // Return and F2 on an item open it as well; Return in a list is not OK.
        for (const Qt::Key key : {Qt::Key_Return, Qt::Key_F2}) {
          ClickRow(*d.OutputDevsList, 0);
          QString caption;
          auto parameters = TModalDriver::When<TDevParamDlg>([&caption](TDevParamDlg& p) {
            caption = p.windowTitle();
            p.reject();
          });
          QTest::keyClick(d.OutputDevsList, key);
          EXPECT_TRUE(parameters->Done()) << key;
          EXPECT_EQ(caption, "B (ALSA): свойства");
          EXPECT_TRUE(d.isVisible());
        }
      },
      false);
}

// OK refuses each file it cannot use in a box that names the item and the problem; the dialog stays
// open with every choice as it was, the file items showing their names.
TEST(SelectDevicesDialog, OKRefusesAFileItCannotUseNamingTheItemAndKeepsEveryChoice) {
  TProgram program;
  const TTempDir dir("sonolab-refused");
  std::ofstream(dir.File("tone.wav")) << "RIFF";
  TSelectDevicesDlg& dialog = program.Devices();
  dialog.SetWaveAudioNames([] { return std::vector<std::string>{}; },
                           [] { return std::vector<std::string>{"A"}; });
  const QString file = QStringLiteral("Файл формата WAVE");
  const std::vector<std::pair<std::function<void(TSelectDevicesDlg&)>, QString>> cases = {
      {[](TSelectDevicesDlg&) {}, "Вход «" + file + "»: не выбран файл. Дважды щёлкните его и укажите файл."},
      {[&](TSelectDevicesDlg& d) {
         SetFileThroughDialog(*d.InputDevsList, 0, QString::fromStdString(dir.File("no.wav")));
       },
       QString::fromStdString("Вход «Файл формата WAVE»: файл «" + dir.File("no.wav") + "» не существует.")},
      {[&](TSelectDevicesDlg& d) {
         SetFileThroughDialog(*d.InputDevsList, 0, QString::fromStdString(dir.File("tone.wav")));
         CheckOutputs(d, {0, 1});
       },
       "Выход «" + file + "»: не задано имя файла. Дважды щёлкните его и укажите файл."},
      {[&](TSelectDevicesDlg& d) {
         SetFileThroughDialog(*d.OutputDevsList, 1, QString::fromStdString(dir.File("gone/out.wav")));
       },
       QString::fromStdString("Выход «Файл формата WAVE»: папка «" + dir.File("gone") + "» не существует.")},
      {[&](TSelectDevicesDlg& d) {
         SetFileThroughDialog(*d.OutputDevsList, 1, QString::fromStdString(dir.Path().string()));
       },
       QString::fromStdString("Выход «Файл формата WAVE»: «" + dir.Path().string() +
                              "» - это папка, а не файл.")}};
  auto driver = TModalDriver::When<TSelectDevicesDlg>([&](TSelectDevicesDlg& d) {
    d.BlockSizeBox->setCurrentIndex(2);
    for (const auto& [edit, text] : cases) {
      edit(d);
      TBoxSeen seen;
      auto box = DismissBox(seen);
      QTest::mouseClick(d.OKBtn, Qt::LeftButton);
      EXPECT_TRUE(box->Done());
      EXPECT_EQ(seen.Text, text);
      EXPECT_TRUE(d.isVisible());
      EXPECT_EQ(d.BlockSizeBox->currentIndex(), 2);
    }
    EXPECT_EQ(CheckedRows(*d.OutputDevsList), (std::vector<int>{0, 1}));
    EXPECT_EQ(d.InputDevsList->item(0)->text(), file + " - tone.wav");
    EXPECT_EQ(d.OutputDevsList->item(1)->text(),
              file + " - " + QString::fromStdString(dir.Path().filename().string()));
    CheckOutputs(d, {0});
    // A name given to an output file in its dialog ticks it; then OK takes it.
    ASSERT_TRUE(SetFileThroughDialog(*d.OutputDevsList, 1, QString::fromStdString(dir.File("out.wav"))));
    EXPECT_EQ(CheckedRows(*d.OutputDevsList), (std::vector<int>{0, 1}));
    QTest::mouseClick(d.OKBtn, Qt::LeftButton);
  });
  EXPECT_EQ(dialog.exec(), QDialog::Accepted);
  EXPECT_TRUE(driver->Done());
  EXPECT_EQ(dialog.TakeOutputDevices()->Count(), 2);
  EXPECT_EQ(DeviceFileName(*dialog.TakeInputDevice()), dir.File("tone.wav"));
}

// ---- TDevParamDlg -------------------------------------------------------------------------------

TEST(DeviceParameterDialog, ListsThe36FormatsAndShowsThePagesByKind) {
  TProgram program;
  TDevParamDlg& dialog = program.forms.DevParamDlg();
  EXPECT_EQ(dialog.size(), QSize(305, 305));
  EXPECT_EQ(dialog.PageControl->geometry(), QRect(8, 8, 289, 249));
  EXPECT_EQ(dialog.FormatsList->geometry(), QRect(8, 24, 265, 186));
  EXPECT_EQ(dialog.FileName->geometry(), QRect(8, 24, 205, 21));
  EXPECT_EQ(dialog.BrowseBtn->geometry(), QRect(216, 24, 59, 21));
  EXPECT_EQ(dialog.OKBtn->geometry(), QRect(63, 268, 75, 25));
  EXPECT_EQ(dialog.CancelBtn->text(), "&Отмена");
  EXPECT_EQ(dialog.ApplyBtn->text(), "&Применить");
  ASSERT_EQ(dialog.FormatsList->count(), FormatCount);
  for (int i = 0; i < FormatCount; ++i) {
    EXPECT_EQ(dialog.FormatsList->item(i)->text().toStdString(), FormatName(i));
  }

  TDirectSoundPlaybackDevice ringOut(nullptr, std::nullopt);
  TWAVEAudioPlaybackDevice waveOut(0);
  TWAVEFilePlaybackDevice writer;
  TDirectSoundRecordingDevice ringIn(nullptr, std::nullopt);
  TWAVEAudioRecordingDevice waveIn(0);
  TWAVEFileRecordingDevice reader;
  struct TPages {
    TAudioDevice* device;
    bool format;
    bool file;
  };
  for (const TPages& c : std::vector<TPages>{{&ringOut, true, false},
                                             {&waveOut, true, false},
                                             {&writer, true, true},
                                             {&ringIn, true, false},
                                             {&waveIn, true, false},
                                             {&reader, false, true}}) {
    c.device->SetFormat(FormatTable[13]);
    RunParameterDialog(dialog, *c.device, [&](TDevParamDlg& p) {
      EXPECT_FALSE(p.InputFormatBox->isChecked());
      EXPECT_EQ(p.PageControl->isTabVisible(0), c.format) << c.device->Kind();
      EXPECT_EQ(p.PageControl->isTabVisible(1), c.file) << c.device->Kind();
      EXPECT_EQ(p.PageControl->currentWidget(), c.format ? p.DataFormatSheet : p.FileNameSheet);
      EXPECT_EQ(p.FormatsList->currentRow(), 13);
      EXPECT_FALSE(p.ApplyBtn->isEnabled());
    });
  }
}

TEST(DeviceParameterDialog, CancelChangesNothingAndApplyThenCancelKeepsTheAppliedFormatAndName) {
  TProgram program;
  TDevParamDlg& dialog = program.forms.DevParamDlg();
  TWAVEFilePlaybackDevice writer;
  RunParameterDialog(dialog, writer, [](TDevParamDlg& p) {
    ClickRow(*p.FormatsList, 31);
    EXPECT_FALSE(p.InputFormatBox->isChecked()); // a format chosen: the input's no longer
    EXPECT_TRUE(p.ApplyBtn->isEnabled());
  });
  EXPECT_FALSE(writer.FormatChosen());

  RunParameterDialog(dialog, writer, [](TDevParamDlg& p) {
    ClickRow(*p.FormatsList, 31);
    p.PageControl->setCurrentWidget(p.FileNameSheet);
    QTest::keyClicks(p.FileName, "a.wav");
    QTest::mouseClick(p.ApplyBtn, Qt::LeftButton);
    EXPECT_FALSE(p.ApplyBtn->isEnabled());
    ClickRow(*p.FormatsList, 2); // not applied: Cancel follows
  });
  EXPECT_EQ(FindFormat(writer.Buffer().Format()), 31);
  EXPECT_TRUE(writer.FormatChosen());
  EXPECT_EQ(writer.FileName(), "a.wav");

  // Back to the input's format: the list keeps no choice.
  RunParameterDialog(dialog, writer, [](TDevParamDlg& p) {
    EXPECT_EQ(p.FormatsList->currentRow(), 31);
    p.InputFormatBox->click();
    EXPECT_EQ(p.FormatsList->currentRow(), -1);
    QTest::mouseClick(p.OKBtn, Qt::LeftButton);
  });
  EXPECT_FALSE(writer.FormatChosen());
}

TEST(DeviceParameterDialog, ANameLongerThanAFileDeviceHoldsIsRefusedInABoxAndNothingIsWritten) {
  TProgram program;
  TDevParamDlg& dialog = program.forms.DevParamDlg();
  TWAVEFileRecordingDevice reader;
  reader.SetFileName("old.wav");
  const QString tooLong = QString(260, QChar(0x0416)); // 260 letters "Ж"
  TBoxSeen seen;
  bool stillOpen = false;
  RunParameterDialog(dialog, reader, [&](TDevParamDlg& p) {
    p.FileName->setText(tooLong);
    auto box = DismissBox(seen);
    QTest::mouseClick(p.OKBtn, Qt::LeftButton);
    EXPECT_TRUE(box->Done());
    stillOpen = p.isVisible();
  });
  EXPECT_EQ(seen.Caption, "Ошибка");
  EXPECT_EQ(seen.Icon, QMessageBox::Critical);
  EXPECT_EQ(seen.Text, "Имя файла слишком длинное: 260 символов, допускается не более 259.");
  EXPECT_TRUE(stillOpen);
  EXPECT_EQ(reader.FileName(), "old.wav");

  RunParameterDialog(dialog, reader, [&](TDevParamDlg& p) {
    p.FileName->setText(tooLong.left(259));
    QTest::mouseClick(p.OKBtn, Qt::LeftButton);
  });
  EXPECT_EQ(QString::fromStdString(reader.FileName()), tooLong.left(259));

  // An output whose container cannot hold the format chosen: the same box, and the device unchanged.
  TWAVEFilePlaybackDevice writer;
  RunParameterDialog(dialog, writer, [&](TDevParamDlg& p) {
    ClickRow(*p.FormatsList, 31);
    p.FileName->setText(QStringLiteral("song.opus"));
    auto box = DismissBox(seen);
    QTest::mouseClick(p.OKBtn, Qt::LeftButton);
    EXPECT_TRUE(box->Done());
    stillOpen = p.isVisible();
  });
  EXPECT_EQ(seen.Text,
            "Файл \"song.opus\": формат Opus не принимает частоту 44,100 КГц (допустимы 8, 12, 16, 24 и 48 "
            "КГц)");
  EXPECT_TRUE(stillOpen);
  EXPECT_EQ(writer.FileName(), "");
  EXPECT_EQ(FindFormat(writer.Buffer().Format()), 0);
}

TEST(DeviceParameterDialog, BrowseUsesTheSoundFileDialogsAndTheDeviceChangesOnlyOnApply) {
  TProgram program;
  TDevParamDlg& dialog = program.forms.DevParamDlg();
  // Opening offers every sound file first; saving, one entry per kind written.
  const QStringList filters = {"Файлы формата WAVE (*.wav) (*.wav)", "Все файлы (*.*) (*)"};
  const QStringList openFilters = dialog.OpenDialog->nameFilters();
  ASSERT_EQ(openFilters.size(), 3);
  for (const char* pattern :
       {"*.wav", "*.flac", "*.ogg", "*.opus", "*.mp3", "*.aiff", "*.au", "*.caf", "*.w64", "*.rf64"}) {
    EXPECT_TRUE(openFilters[0].startsWith("Звуковые файлы (") && openFilters[0].contains(pattern)) << pattern;
  }
  EXPECT_EQ(openFilters.mid(1), filters);
  EXPECT_EQ(dialog.SaveDialog->nameFilters(),
            (QStringList{filters[0], "Файлы формата FLAC (*.flac) (*.flac)",
                         "Файлы формата Ogg Vorbis (*.ogg) (*.ogg)", "Файлы формата Opus (*.opus) (*.opus)",
                         filters[1]}));
  for (QFileDialog* d : {dialog.OpenDialog, dialog.SaveDialog}) {
    EXPECT_EQ(d->windowTitle(), "Выбор имени файла");
    EXPECT_TRUE(d->testOption(QFileDialog::HideNameFilterDetails));
    EXPECT_EQ(d->defaultSuffix(), "wav");
  }
  // A name typed without an extension takes the chosen kind's.
  auto* kinds = dialog.SaveDialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
  ASSERT_NE(kinds, nullptr);
  QTest::keyClick(kinds, Qt::Key_Down);
  EXPECT_EQ(dialog.SaveDialog->defaultSuffix(), "flac");
  QTest::keyClick(kinds, Qt::Key_End);
  EXPECT_EQ(dialog.SaveDialog->defaultSuffix(), "wav");
  QTest::keyClick(kinds, Qt::Key_Home);
  EXPECT_EQ(dialog.OpenDialog->fileMode(), QFileDialog::ExistingFile);
  EXPECT_EQ(dialog.SaveDialog->acceptMode(), QFileDialog::AcceptSave);
  EXPECT_FALSE(dialog.SaveDialog->testOption(QFileDialog::DontConfirmOverwrite));

  const TTempDir dir("sonolab-browse");
  const std::string path = dir.File("input"); // no extension: "Все файлы (*.*)" offers it all the same
  WriteBytes(path, "x", 1);
  TWAVEFileRecordingDevice reader;
  RunParameterDialog(dialog, reader, [&](TDevParamDlg& p) {
    auto driver = TModalDriver::When<QFileDialog>([&](QFileDialog& d) {
      EXPECT_EQ(&d, p.OpenDialog);
      d.selectNameFilter(openFilters[2]);
      const QFileInfo file(QString::fromStdString(path));
      d.setDirectory(file.absolutePath());
      d.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(file.fileName());
      static_cast<QDialog&>(d).accept();
    });
    QTest::mouseClick(p.BrowseBtn, Qt::LeftButton);
    EXPECT_TRUE(driver->Done());
    EXPECT_EQ(p.FileName->text().toStdString(), path);
    EXPECT_TRUE(p.ApplyBtn->isEnabled());
    EXPECT_EQ(reader.FileName(), "");
    QTest::mouseClick(p.ApplyBtn, Qt::LeftButton);
    EXPECT_EQ(reader.FileName(), path);
  });
  // "*.*" means every file, names without a dot included.
  EXPECT_EQ(NameFiltersFromPairs(QStringLiteral("A (*.a;*.b)|*.a;*.b|B|*.*")),
            (QStringList{"A (*.a;*.b) (*.a *.b)", "B (*)"}));
}

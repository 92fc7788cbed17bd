// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/dialogs/DevParamDlg.h"

#include "devices/AudioFormats.h"
#include "devices/FileChecks.h"
#include "devices/SoundFile.h"
#include "devices/VirtDevs.h"
#include "devices/WaveFile.h"
#include "ui/dialogs/DialogLayout.h"
#include "ui/dialogs/FileDialog.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTabWidget>

namespace {

constexpr const char* WaveFileFilter = "Файлы формата WAVE (*.wav)|*.wav";
constexpr const char* AllFilesFilter = "Все файлы (*.*)|*.*";

// Every file an input reads, then WAVE files, then every file.
QString OpenFilter() {
  QStringList patterns;
  for (const std::string& p : ReadableFilePatterns()) {
    patterns << QString::fromStdString(p);
  }
  return QStringLiteral("Звуковые файлы|") + patterns.join(QLatin1Char(';')) + QLatin1Char('|') +
         QString::fromUtf8(WaveFileFilter) + QLatin1Char('|') + QString::fromUtf8(AllFilesFilter);
}

// One entry per kind an output writes (WAVE first), then every file.
QString SaveFilter() {
  QString pairs;
  for (const TFileKindInfo& kind : FileKinds()) {
    const QString pattern = QStringLiteral("*.") + QString::fromUtf8(kind.Extension);
    pairs += QStringLiteral("Файлы формата %1 (%2)|%2|").arg(QString::fromUtf8(kind.Name), pattern);
  }
  return pairs + QString::fromUtf8(AllFilesFilter);
}

void SetDeviceFileName(TAudioDevice& device, const std::string& name) {
  if (auto* reader = dynamic_cast<TWAVEFileRecordingDevice*>(&device)) {
    reader->SetFileName(name);
  } else if (auto* writer = dynamic_cast<TWAVEFilePlaybackDevice*>(&device)) {
    writer->SetFileName(name);
  }
}

bool IsFileKind(const TAudioDevice& device) {
  return device.Kind() == dkWaveFilePlayback || device.Kind() == dkWaveFileRecording;
}

} // namespace

TDevParamDlg::TDevParamDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Параметры устройства"));
  setFont(DialogFont());
  setFixedSize(305, 305);

  PageControl = new QTabWidget(this);
  PageControl->setGeometry(8, 8, 289, 249);
  DataFormatSheet = new QWidget;
  FileNameSheet = new QWidget;
  PageControl->addTab(DataFormatSheet, QStringLiteral("Общие"));
  PageControl->addTab(FileNameSheet, QStringLiteral("Файл"));

  Label1 = PlaceLabel(DataFormatSheet, QStringLiteral("Формат данных:"), 8, 8);
  InputFormatBox = new QCheckBox(QStringLiteral("Как у входа"), DataFormatSheet);
  InputFormatBox->setToolTip(QStringLiteral("Выход получает формат входа: файла или устройства оцифровки"));
  InputFormatBox->adjustSize();
  InputFormatBox->move(273 - InputFormatBox->width(), 4);
  FormatsList = new QListWidget(DataFormatSheet);
  FormatsList->setGeometry(8, 24, 265, 186);
  for (int i = 0; i < FormatCount; ++i) {
    auto* item = new QListWidgetItem(QString::fromStdString(FormatName(i)), FormatsList);
    item->setSizeHint(QSize(0, DialogItemHeight));
  }
  FormatsList->setUniformItemSizes(true);

  Label2 = PlaceLabel(FileNameSheet, QStringLiteral("Имя файла:"), 8, 8);
  FileName = new QLineEdit(FileNameSheet);
  FileName->setGeometry(8, 24, 205, 21);
  BrowseBtn = new QPushButton(QStringLiteral("Обзор..."), FileNameSheet);
  BrowseBtn->setGeometry(216, 24, 59, 21);
  BrowseBtn->setAutoDefault(false);

  OKBtn = new QPushButton(QStringLiteral("OK"), this);
  OKBtn->setGeometry(63, 268, 75, 25);
  OKBtn->setDefault(true);
  CancelBtn = new QPushButton(QStringLiteral("&Отмена"), this);
  CancelBtn->setGeometry(143, 268, 75, 25);
  CancelBtn->setAutoDefault(false);
  ApplyBtn = new QPushButton(QStringLiteral("&Применить"), this);
  ApplyBtn->setGeometry(223, 268, 75, 25);
  ApplyBtn->setAutoDefault(false);
  ApplyBtn->setEnabled(false);

  const QString title = QStringLiteral("Выбор имени файла");
  OpenDialog = NewFileDialog(this, TFileDialogKind::Open, OpenFilter(), QStringLiteral("wav"), title);
  SaveDialog = NewFileDialog(this, TFileDialogKind::Save, SaveFilter(), QStringLiteral("wav"), title);

  connect(FormatsList, &QListWidget::currentRowChanged, this, &TDevParamDlg::FormatsListClick);
  // Following the input and a format of the list exclude each other: choosing either drops the other.
  connect(InputFormatBox, &QCheckBox::toggled, this, [this](bool followInput) {
    if (showing) {
      return;
    }
    const QSignalBlocker quiet(FormatsList);
    if (followInput) {
      FormatsList->setCurrentRow(-1);
    } else if (FormatsList->currentRow() < 0 && Device != nullptr) {
      FormatsList->setCurrentRow(FindFormat(Device->Buffer().Format()));
    }
    ApplyBtn->setEnabled(true);
  });
  connect(FileName, &QLineEdit::textChanged, this, &TDevParamDlg::FileNameChange);
  connect(BrowseBtn, &QPushButton::clicked, this, &TDevParamDlg::BrowseBtnClick);
  connect(OKBtn, &QPushButton::clicked, this, &TDevParamDlg::OKBtnClick);
  connect(CancelBtn, &QPushButton::clicked, this, &TDevParamDlg::reject);
  connect(ApplyBtn, &QPushButton::clicked, this, &TDevParamDlg::ApplyBtnClick);
}

void TDevParamDlg::SetFolder(const QString& folder) {
  if (!folder.isEmpty() && QFileInfo(folder).isDir()) {
    OpenDialog->setDirectory(folder);
    SaveDialog->setDirectory(folder);
  }
}

void TDevParamDlg::showEvent(QShowEvent* event) {
  FormShow();
  CentreOnScreen(*this);
  QDialog::showEvent(event);
}

void TDevParamDlg::FormShow() {
  replaceConfirmed.clear();
  if (Device == nullptr) {
    return;
  }
  showing = true;
  FormatsList->setCurrentRow(FindFormat(Device->Buffer().Format()));
  const TDeviceKind kind = Device->Kind();
  const bool output =
      kind == dkDirectSoundPlayback || kind == dkWaveAudioPlayback || kind == dkWaveFilePlayback;
  InputFormatBox->setVisible(output);
  InputFormatBox->setChecked(output && !Device->FormatChosen());
  if (InputFormatBox->isChecked()) {
    FormatsList->setCurrentRow(-1);
  }
  const bool formatPage = kind != dkWaveFileRecording;
  const bool filePage = IsFileKind(*Device);
  FileName->setText(filePage ? QString::fromStdString(DeviceFileName(*Device)) : QString());
  PageControl->setTabVisible(PageControl->indexOf(DataFormatSheet), formatPage);
  PageControl->setTabVisible(PageControl->indexOf(FileNameSheet), filePage);
  ApplyBtn->setEnabled(false);
  PageControl->setCurrentWidget(formatPage ? DataFormatSheet : FileNameSheet);
  // The keyboard starts where the page is edited: the name can be typed at once, a format chosen. An
  // output that follows its input starts on the pages' tabs: a list given the focus would choose its
  // first row.
  if (!formatPage) {
    FileName->setFocus();
  } else if (InputFormatBox->isChecked()) {
    PageControl->setFocus();
  } else {
    FormatsList->setFocus();
  }
  showing = false;
}

void TDevParamDlg::FormatsListClick() {
  if (!showing) {
    if (FormatsList->currentRow() >= 0) {
      const QSignalBlocker quiet(InputFormatBox);
      InputFormatBox->setChecked(false);
    }
    ApplyBtn->setEnabled(true);
  }
}

void TDevParamDlg::FileNameChange() {
  if (!showing) {
    ApplyBtn->setEnabled(true);
  }
}

bool TDevParamDlg::Apply() {
  if (Device == nullptr) {
    return true;
  }
  const bool file = IsFileKind(*Device);
  const auto length = FileName->text().toUcs4().size();
  if (file && length > MaxFileNameLength) {
    errorBox =
        new QMessageBox(QMessageBox::Critical, QStringLiteral("Ошибка"),
                        QStringLiteral("Имя файла слишком длинное: %1 символов, допускается не более %2.")
                            .arg(length)
                            .arg(MaxFileNameLength),
                        QMessageBox::Ok, this);
    errorBox->exec();
    delete errorBox.data();
    return false;
  }
  const int row = FormatsList->currentRow();
  const TWaveFormat& format = FormatTable[static_cast<size_t>(row >= 0 && row < FormatCount ? row : 0)];
  const bool followInput = !InputFormatBox->isHidden() && InputFormatBox->isChecked();
  // The input's format is known once the set-up opens it: the writer's Open checks the container then.
  if (Device->Kind() == dkWaveFilePlayback && !followInput) {
    // A container that cannot hold the format (Opus and 44,100 КГц) is refused before anything starts.
    const std::string name = FileName->text().toStdString();
    const std::string problem = FileOutputProblem(name, FileKindOfName(name), format);
    if (!problem.empty()) {
      errorBox =
          new QMessageBox(QMessageBox::Critical, QStringLiteral("Ошибка"),
                          QString::fromStdString("Файл \"" + name + "\": " + problem), QMessageBox::Ok, this);
      errorBox->exec();
      delete errorBox.data();
      return false;
    }
  }
  if (followInput) {
    Device->ForgetFormat();
  } else {
    Device->SetFormat(format);
  }
  if (file) {
    SetDeviceFileName(*Device, FileName->text().toStdString());
  }
  return true;
}

void TDevParamDlg::ApplyBtnClick() {
  if (Apply()) {
    ApplyBtn->setEnabled(false);
  }
}

void TDevParamDlg::OKBtnClick() {
  if (Apply()) {
    accept();
  }
}

void TDevParamDlg::BrowseBtnClick() {
  if (Device == nullptr) {
    return;
  }
  QFileDialog* dialog = nullptr;
  if (Device->Kind() == dkWaveFileRecording) {
    dialog = OpenDialog;
  } else if (Device->Kind() == dkWaveFilePlayback) {
    dialog = SaveDialog;
  } else {
    return;
  }
  if (ExecFileDialog(*dialog) == QDialog::Accepted && isVisible()) {
    const QString chosen = ChosenFile(*dialog);
    if (dialog == SaveDialog && QFileInfo::exists(chosen)) {
      replaceConfirmed = chosen.toStdString(); // the dialog asked, and the answer was yes
    }
    FileName->setText(chosen); // enables Apply; the device changes on Apply
  }
}

void TDevParamDlg::reject() {
  for (QDialog* dialog : {static_cast<QDialog*>(OpenDialog), static_cast<QDialog*>(SaveDialog),
                          static_cast<QDialog*>(errorBox.data())}) {
    if (dialog != nullptr && dialog->isVisible()) {
      dialog->reject();
    }
  }
  QDialog::reject();
}

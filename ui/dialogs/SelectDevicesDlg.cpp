// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/dialogs/SelectDevicesDlg.h"

#include "devices/AudioFormats.h"
#include "devices/DeviceCatalogue.h"
#include "devices/DirectSoundDevices.h"
#include "devices/WaveAudioDevices.h"
#include "ui/dialogs/DevParamDlg.h"
#include "ui/dialogs/DeviceChoices.h"
#include "ui/dialogs/DialogLayout.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>

#include <unistd.h>

TSelectDevicesDlg::TSelectDevicesDlg(std::shared_ptr<TSoundServices> services, QWidget* parent)
    : QDialog(parent), services(std::move(services)), waveInNames(WaveInDeviceNames),
      waveOutNames(WaveOutDeviceNames) {
  setWindowTitle(QStringLiteral("Выбор устройств оцифровки/воспроизведения"));
  setFont(DialogFont());
  setFixedSize(396, 297);

  Bevel1 = new QFrame(this);
  Bevel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  Bevel1->setGeometry(8, 8, 289, 225);
  Label1 = PlaceLabel(this, QStringLiteral("Устройство оцифровки:"), 24, 16);
  InputDevsList = new QListWidget(this);
  InputDevsList->setGeometry(24, 32, 257, 82);
  Label2 = PlaceLabel(this, QStringLiteral("Устройство воспроизведения:"), 24, 120);
  OutputDevsList = new QListWidget(this);
  OutputDevsList->setGeometry(24, 136, 257, 82);
  for (QListWidget* list : {InputDevsList, OutputDevsList}) {
    list->setUniformItemSizes(true);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
  }

  OKBtn = new QPushButton(QStringLiteral("OK"), this);
  OKBtn->setGeometry(309, 8, 75, 25);
  OKBtn->setDefault(true);
  CancelBtn = new QPushButton(QStringLiteral("Отмена"), this);
  CancelBtn->setGeometry(309, 40, 75, 25);
  CancelBtn->setAutoDefault(false);

  // The block size, below everything else.
  BlockSizeLabel = PlaceLabel(this, QStringLiteral("Размер блока:"), 8, 248);
  BlockSizeBox = new QComboBox(this);
  BlockSizeBox->setGeometry(96, 244, 288, 21);
  BlockSizeBox->addItem(QString(), 0);
  for (const int32_t frames : BlockFramesChoices) {
    BlockSizeBox->addItem(QString(), frames);
  }
  BlockSizeLabel->setBuddy(BlockSizeBox);
  AppsDefaultBox = new QCheckBox(QStringLiteral("Сделать устройством по умолчанию"), this);
  AppsDefaultBox->setGeometry(96, 272, 288, 17);
  AppsDefaultBox->setChecked(true);
  ShowBlockSizes();

  connect(InputDevsList, &QListWidget::itemChanged, this, &TSelectDevicesDlg::InputDevsListClickCheck);
  // The input is the selected item: selecting one checks it too, so that the mark shows what OK takes.
  connect(InputDevsList, &QListWidget::currentRowChanged, this, [this](int row) {
    CheckOnly(InputDevsList, row);
    ShowBlockSizes();
  });
  connect(InputDevsList, &QListWidget::itemDoubleClicked, this, [this] { DevsListDblClick(InputDevsList); });
  connect(OutputDevsList, &QListWidget::itemDoubleClicked, this,
          [this] { DevsListDblClick(OutputDevsList); });
  for (QListWidget* list : {InputDevsList, OutputDevsList}) {
    OnKeys(*list, {Qt::Key_Return, Qt::Key_F2}, [this, list] { DevsListDblClick(list); });
  }
  connect(OKBtn, &QPushButton::clicked, this, [this] {
    if (FilesAllowed() && isVisible()) {
      OKBtnClick();
      accept();
    }
  });
  connect(CancelBtn, &QPushButton::clicked, this, &TSelectDevicesDlg::reject);
}

TSelectDevicesDlg::~TSelectDevicesDlg() = default;

void TSelectDevicesDlg::SetWaveAudioNames(std::function<std::vector<std::string>()> inputs,
                                          std::function<std::vector<std::string>()> outputs) {
  waveInNames = std::move(inputs);
  waveOutNames = std::move(outputs);
}

void TSelectDevicesDlg::showEvent(QShowEvent* event) {
  FormShow();
  CentreOnScreen(*this);
  InputDevsList->setFocus(); // Return or F2 there opens the item's properties; Tab leads to OK
  QDialog::showEvent(event);
}

void TSelectDevicesDlg::AddItem(QListWidget* list, const std::string& text) {
  auto* item = new QListWidgetItem(QString::fromStdString(text));
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
  item->setCheckState(Qt::Unchecked);
  item->setSizeHint(QSize(0, DialogItemHeight));
  list->addItem(item);
}

void TSelectDevicesDlg::FormShow() {
  checking = true;
  InputDevsList->clear();
  OutputDevsList->clear();
  // What the last showing made and no set-up took goes now.
  inputDevices.clear();
  outputDevices.clear();
  confirmedReplace.clear();
  inputTexts.clear();
  outputTexts.clear();
  for (const TInputDeviceItem& item : InputDeviceItems(services, waveInNames(), graph)) {
    AddItem(InputDevsList, item.Text);
    inputTexts << QString::fromStdString(item.Text);
    inputDevices.push_back(item.Factory());
  }
  for (const TOutputDeviceItem& item : OutputDeviceItems(services, waveOutNames(), graph)) {
    AddItem(OutputDevsList, item.Text);
    outputTexts << QString::fromStdString(item.Text);
    outputDevices.push_back(item.Factory());
  }
  confirmedReplace.resize(outputDevices.size());
  RestoreChoices();
  ShowBlockSizes();
  checking = false;
}

void TSelectDevicesDlg::RestoreChoices() {
  const TDeviceChoices kept = LoadDeviceChoices();
  const auto restoreFormats = [](const QStringList& texts, const std::map<QString, int>& formats,
                                 auto& devices) {
    for (int row = 0; row < texts.size(); ++row) {
      const auto chosen = formats.find(texts[row]);
      if (chosen != formats.end() && devices[static_cast<size_t>(row)]) {
        devices[static_cast<size_t>(row)]->SetFormat(FormatTable[static_cast<size_t>(chosen->second)]);
      }
    }
  };
  restoreFormats(inputTexts, kept.InputFormats, inputDevices);
  restoreFormats(outputTexts, kept.OutputFormats, outputDevices);
  BlockSizeBox->setCurrentIndex(std::max(0, BlockSizeBox->findData(kept.BlockFrames)));
  AppsDefaultBox->setChecked(kept.AppsMakeDefault);
  lastFolder = kept.Folder;
  if (devParamDlg != nullptr) {
    devParamDlg->SetFolder(lastFolder);
  }
  if (InputDevsList->count() > 0) {
    // The applications' input changes the desktop: only a choice made before selects it.
    const int first = InputDevsList->count() > 1 && inputTexts.value(0) == AppsItemText ? 1 : 0;
    const int keptRow = kept.Input ? static_cast<int>(inputTexts.indexOf(*kept.Input)) : -1;
    const int row = keptRow >= 0 ? keptRow : first;
    InputDevsList->setCurrentRow(row);
    InputDevsList->item(row)->setCheckState(Qt::Checked);
  }
  if (OutputDevsList->count() > 0) {
    // Outputs of which none is listed now (a device unplugged) give way to the default one.
    std::vector<int> rows;
    for (int row = 0; kept.Outputs && row < outputTexts.size(); ++row) {
      if (kept.Outputs->contains(outputTexts[row])) {
        rows.push_back(row);
      }
    }
    if (!kept.Outputs || (rows.empty() && !kept.Outputs->isEmpty())) {
      rows = {0};
    }
    OutputDevsList->setCurrentRow(rows.empty() ? 0 : rows.front());
    for (const int row : rows) {
      OutputDevsList->item(row)->setCheckState(Qt::Checked);
    }
  }
}

void TSelectDevicesDlg::KeepChoices() {
  TDeviceChoices kept = LoadDeviceChoices(); // the formats of items not listed now stay
  const int input = InputDevsList->currentRow();
  if (input >= 0 && input < inputTexts.size()) {
    kept.Input = inputTexts[input];
  }
  kept.Outputs = QStringList();
  for (int row = 0; row < OutputDevsList->count() && row < outputTexts.size(); ++row) {
    if (OutputDevsList->item(row)->checkState() == Qt::Checked) {
      kept.Outputs->append(outputTexts[row]);
    }
  }
  const auto keepFormats = [](const QStringList& texts, std::map<QString, int>& formats,
                              const auto& devices) {
    for (int row = 0; row < texts.size(); ++row) {
      if (const auto& device = devices[static_cast<size_t>(row)]) {
        if (device->FormatChosen()) {
          formats[texts[row]] = FindFormat(device->Buffer().Format());
        } else {
          formats.erase(texts[row]);
        }
      }
    }
  };
  keepFormats(inputTexts, kept.InputFormats, inputDevices);
  keepFormats(outputTexts, kept.OutputFormats, outputDevices);
  kept.BlockFrames = ChosenBlockFrames();
  kept.AppsMakeDefault = AppsDefaultBox->isChecked();
  kept.Folder = lastFolder;
  SaveDeviceChoices(kept);
}

int32_t TSelectDevicesDlg::ChosenBlockFrames() const {
  return BlockSizeBox->currentData().toInt();
}

void TSelectDevicesDlg::ShowBlockSizes() {
  // A file's rate is known only once it is opened: its choices go without milliseconds.
  const TRecordingDevice* input = InputItemDevice(InputDevsList->currentRow());
  const uint32_t rate =
      input != nullptr && input->Kind() != dkWaveFileRecording ? input->Buffer().Format().nSamplesPerSec : 0;
  for (int i = 0; i < BlockSizeBox->count(); ++i) {
    BlockSizeBox->setItemText(
        i, QString::fromStdString(BlockChoiceText(BlockSizeBox->itemData(i).toInt(), rate)));
  }
  AppsDefaultBox->setEnabled(dynamic_cast<const TAppsRecordingDevice*>(input) != nullptr);
}

void TSelectDevicesDlg::CheckOnly(QListWidget* list, int row) {
  if (checking || row < 0) {
    return;
  }
  checking = true;
  for (int i = 0; i < list->count(); ++i) {
    list->item(i)->setCheckState(i == row ? Qt::Checked : Qt::Unchecked);
  }
  checking = false;
}

void TSelectDevicesDlg::InputDevsListClickCheck(QListWidgetItem* item) {
  if (checking) {
    return;
  }
  // A click on a check box selects its item, which becomes the only one checked; the checked
  // item cannot be unchecked.
  const int row = InputDevsList->row(item);
  if (InputDevsList->currentRow() != row) {
    InputDevsList->setCurrentRow(row); // checks it through the selection
  }
  CheckOnly(InputDevsList, row);
}

void TSelectDevicesDlg::OKBtnClick() {
  KeepChoices();
  auto outputs = std::make_unique<TPlaybackDevsList>();
  for (int i = 0; i < OutputDevsList->count(); ++i) {
    if (OutputDevsList->item(i)->checkState() == Qt::Checked && outputDevices[static_cast<size_t>(i)]) {
      outputs->Add(std::move(outputDevices[static_cast<size_t>(i)]));
    }
  }
  OutputDevices = std::move(outputs);
  const int row = InputDevsList->currentRow();
  if (row >= 0 && row < InputDevsList->count()) {
    InputName = inputTexts.value(row);
    InputDevice = std::move(inputDevices[static_cast<size_t>(row)]);
    if (InputDevice) {
      InputDevice->SetBlockFrames(ChosenBlockFrames());
    }
    if (auto* apps = dynamic_cast<TAppsRecordingDevice*>(InputDevice.get())) {
      apps->SetMakeDefault(AppsDefaultBox->isChecked());
    }
  } else {
    InputName.clear();
    InputDevice.reset();
  }
}

void TSelectDevicesDlg::DevsListDblClick(QListWidget* list) {
  const int row = list->currentRow();
  if (devParamDlg == nullptr || row < 0) {
    return;
  }
  TAudioDevice* device = list == InputDevsList ? static_cast<TAudioDevice*>(InputItemDevice(row))
                                               : static_cast<TAudioDevice*>(OutputItemDevice(row));
  if (device == nullptr) {
    return;
  }
  devParamDlg->SetDevice(device);
  const QStringList& texts = list == InputDevsList ? inputTexts : outputTexts;
  devParamDlg->setWindowTitle(texts.value(row) + QStringLiteral(": свойства"));
  const int result = devParamDlg->exec();
  ShowBlockSizes(); // the input's rate may have changed
  ShowItemText(list, row);
  // A name the save dialog asked about is not asked about again at OK.
  const std::string name = DeviceFileName(*device);
  if (list == OutputDevsList && result == QDialog::Accepted && !name.empty()) {
    list->item(row)->setCheckState(Qt::Checked); // named, it is meant to be written
  }
  if (!name.empty() && name != "-") {
    lastFolder = QFileInfo(QString::fromStdString(name)).absolutePath();
    devParamDlg->SetFolder(lastFolder);
  }
  if (list == OutputDevsList && !name.empty() && devParamDlg->ReplaceConfirmed() == name &&
      static_cast<size_t>(row) < confirmedReplace.size()) {
    confirmedReplace[static_cast<size_t>(row)] = name;
  }
}

void TSelectDevicesDlg::ShowItemText(QListWidget* list, int row) {
  const bool input = list == InputDevsList;
  const TAudioDevice* device = input ? static_cast<const TAudioDevice*>(InputItemDevice(row))
                                     : static_cast<const TAudioDevice*>(OutputItemDevice(row));
  QString text = (input ? inputTexts : outputTexts).value(row);
  const std::string name = device != nullptr ? DeviceFileName(*device) : std::string();
  if (!name.empty()) {
    text += QStringLiteral(" - ") + (name == "-" ? QString::fromStdString(ShownFileName(name, !input))
                                                 : QFileInfo(QString::fromStdString(name)).fileName());
  }
  list->item(row)->setText(text);
}

bool TSelectDevicesDlg::FilesAllowed() {
  const auto show = [this](QMessageBox::Icon icon, const QString& title, const QString& text,
                           QMessageBox::StandardButtons buttons) {
    fileBox = new QMessageBox(icon, title, text, buttons, this);
    fileBox->setTextFormat(Qt::PlainText);
    if (buttons & QMessageBox::No) {
      fileBox->setDefaultButton(QMessageBox::No);
    }
    const int answer = fileBox->exec();
    delete fileBox.data();
    return answer;
  };
  const auto refuse = [&show](const QString& text) {
    show(QMessageBox::Critical, QStringLiteral("Ошибка"), text, QMessageBox::Ok);
    return false;
  };
  // What cannot be opened is said here, naming the item, while every choice is still on the screen.
  const auto problemText = [](const QString& side, const QString& item, const std::string& problem,
                              bool unnamed) {
    return QStringLiteral("%1 «%2»: %3.%4")
        .arg(side, item, QString::fromStdString(problem),
             unnamed ? QStringLiteral(" Дважды щёлкните его и укажите файл.") : QString());
  };
  const int inputRow = InputDevsList->currentRow();
  if (const TRecordingDevice* input = InputItemDevice(inputRow);
      input && input->Kind() == dkWaveFileRecording) {
    const std::string name = DeviceFileName(*input);
    if (const std::string problem = InputFileProblem(name); !problem.empty()) {
      return refuse(problemText(QStringLiteral("Вход"), inputTexts.value(inputRow), problem, name.empty()));
    }
  }
  for (int row = 0; row < OutputDevsList->count(); ++row) {
    const TPlaybackDevice* device = OutputItemDevice(row);
    if (device == nullptr || device->Kind() != dkWaveFilePlayback ||
        OutputDevsList->item(row)->checkState() != Qt::Checked) {
      continue;
    }
    const std::string name = DeviceFileName(*device);
    if (const std::string problem = OutputFileProblem(name); !problem.empty()) {
      return refuse(problemText(QStringLiteral("Выход"), outputTexts.value(row), problem, name.empty()));
    }
  }
  TFileUses uses = filesInUse ? filesInUse() : TFileUses();
  if (const TRecordingDevice* input = InputItemDevice(InputDevsList->currentRow())) {
    const std::string name = DeviceFileName(*input);
    if (!name.empty()) {
      uses.AddInput(FileKeyOf(name, STDIN_FILENO));
    }
  }
  for (int row = 0; row < OutputDevsList->count(); ++row) {
    const TPlaybackDevice* device = OutputItemDevice(row);
    if (device == nullptr || OutputDevsList->item(row)->checkState() != Qt::Checked) {
      continue;
    }
    const std::string name = DeviceFileName(*device);
    if (name.empty()) {
      continue; // a sound device
    }
    const TFileKey key = FileKeyOf(name, STDOUT_FILENO);
    if (const std::optional<std::string> refusal = uses.RefuseOutput(key)) {
      return refuse(QString::fromStdString(*refusal));
    }
    if (key.Exists && key.Regular && name != "-" && confirmedReplace[static_cast<size_t>(row)] != name) {
      const TFileKind kind = FileKindOfName(name);
      const QString question =
          key.HoldsOtherThan(kind)
              ? QStringLiteral("%1 уже существует и не является файлом %2.\nЗаменить его?")
                    .arg(QString::fromStdString(name), QString::fromUtf8(FileKindInfo(kind).Holder))
              : QStringLiteral("%1 уже существует.\nЗаменить его?").arg(QString::fromStdString(name));
      if (show(QMessageBox::Warning, windowTitle(), question, QMessageBox::Yes | QMessageBox::No) !=
          QMessageBox::Yes) {
        return false;
      }
    }
    uses.AddOutput(key);
  }
  return true;
}

TRecordingDevice* TSelectDevicesDlg::InputItemDevice(int row) const {
  return row >= 0 && static_cast<size_t>(row) < inputDevices.size()
             ? inputDevices[static_cast<size_t>(row)].get()
             : nullptr;
}

TPlaybackDevice* TSelectDevicesDlg::OutputItemDevice(int row) const {
  return row >= 0 && static_cast<size_t>(row) < outputDevices.size()
             ? outputDevices[static_cast<size_t>(row)].get()
             : nullptr;
}

void TSelectDevicesDlg::reject() {
  if (devParamDlg != nullptr && devParamDlg->isVisible()) {
    devParamDlg->reject();
  }
  if (fileBox != nullptr && fileBox->isVisible()) {
    fileBox->done(QMessageBox::No);
  }
  QDialog::reject();
}

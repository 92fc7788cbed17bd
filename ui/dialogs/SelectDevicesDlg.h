// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TSelectDevicesDlg: "Выбор устройств оцифровки/воспроизведения". Each showing lists every input
// and output afresh (ring devices " (PulseAudio)", the PipeWire graph's nodes " (PipeWire)" when a
// graph is given and its daemon answers, wave-audio devices " (ALSA)", then "Файл формата WAVE"), each
// item with a new device object, and puts back what the last OK chose (TDeviceChoices): the input, the
// outputs, the formats chosen for the items, the block size and the file dialogs' folder; on the first
// use item 0 of each list is selected and checked, every device in the default format (an output: its
// input's). The input list keeps exactly one checked item, the selected one. OK hands over the selected
// input and a new output list of the checked outputs in list order; a double click opens TDevParamDlg
// on the item's device. Objects that no set-up took are released at the next showing and with the
// dialog. One instance lives for the whole run.
//
// OK refuses, in a box that names the item and says what is wrong, a file input without a name or
// whose file cannot be read (none, a folder), and a checked output file without a name or whose folder
// does not exist or cannot be written into. It keeps files whole: it refuses, in a box naming the file,
// an output file that is an input (this one's or another set-up's) or that is written twice (by two
// outputs or two set-ups), and asks before replacing an existing file whose name was typed rather
// than confirmed in the save dialog. The dialog stays open, every choice as it was, after a refusal
// or a "no". A file item shows its file's name after its own text ("Файл формата WAVE - tone.flac");
// an output file item given a name in its parameter dialog is checked.
//
// "Звук приложений", first in the input list where the sound server can make the desktop's virtual
// sink, is never selected by itself on the first use (it changes the desktop): item 1 is. Below
// everything, "Сделать устройством по умолчанию" (checked by default, kept with the choices, enabled
// while that input is selected) tells the input OK hands over whether the sink becomes the default.
//
// Below the lists, "Размер блока:" chooses the set-up's block: the rule's (the default) or one of
// BlockFramesChoices, each shown in frames and milliseconds at the selected input's rate. OK gives it
// to the input it hands over.
//
// Threads: user-interface thread only.

#include "devices/FileChecks.h"
#include "devices/PlaybackDevsList.h"
#include "devices/VirtDevs.h"
#include "devices/platform/PipeWireGraph.h"
#include "devices/platform/SoundServices.h"

#include <QDialog>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QMessageBox;
class QPushButton;
class TDevParamDlg;

class TSelectDevicesDlg : public QDialog {
  Q_OBJECT

public:
  // services: the sound server of the ring devices, made once by the start-up (none lists none).
  explicit TSelectDevicesDlg(std::shared_ptr<TSoundServices> services, QWidget* parent = nullptr);
  ~TSelectDevicesDlg() override;

  void SetDevParamDlg(TDevParamDlg* dialog) { devParamDlg = dialog; }
  // The PipeWire graph whose nodes are listed too (none: none are).
  void SetGraph(std::shared_ptr<const TPipeWireGraph> pipeWire) { graph = std::move(pipeWire); }
  // The wave-audio product names in device-number order; by default ALSA is asked at each showing.
  void SetWaveAudioNames(std::function<std::vector<std::string>()> inputs,
                         std::function<std::vector<std::string>()> outputs);
  // The files the open set-ups read and write (marked as another set-up's), asked at each OK.
  void SetFilesInUse(std::function<TFileUses()> filesInUse) { this->filesInUse = std::move(filesInUse); }

  void FormShow();
  void InputDevsListClickCheck(QListWidgetItem* item);
  // The checks of OK, with their boxes; true when the set-up may open its files.
  bool FilesAllowed();
  void OKBtnClick();
  void DevsListDblClick(QListWidget* list);

  // The results of the last OK, until taken.
  std::unique_ptr<TRecordingDevice> TakeInputDevice() { return std::move(InputDevice); }
  std::unique_ptr<TPlaybackDevsList> TakeOutputDevices() { return std::move(OutputDevices); }
  QString InputName;

  // The device object of an item of the lists now shown (none once OK handed it over).
  TRecordingDevice* InputItemDevice(int row) const;
  TPlaybackDevice* OutputItemDevice(int row) const;

  QFrame* Bevel1 = nullptr;
  QLabel* Label1 = nullptr;
  QListWidget* InputDevsList = nullptr;
  QLabel* Label2 = nullptr;
  QListWidget* OutputDevsList = nullptr;
  QPushButton* OKBtn = nullptr;
  QPushButton* CancelBtn = nullptr;
  QLabel* BlockSizeLabel = nullptr;
  QComboBox* BlockSizeBox = nullptr;
  QCheckBox* AppsDefaultBox = nullptr;

  // The block chosen now: 0 for the rule, else one of BlockFramesChoices.
  int32_t ChosenBlockFrames() const;

public slots:
  // Ends an open parameter dialog first, so that a dialog ended from outside returns at once.
  void reject() override;

protected:
  void showEvent(QShowEvent* event) override;

private:
  void AddItem(QListWidget* list, const std::string& text);
  // A row's text: the item's own, and its file's name after it when it has one.
  void ShowItemText(QListWidget* list, int row);
  // The choices the last OK kept, put back into the lists just made.
  void RestoreChoices();
  // This OK's choices, kept for the next showing and the next run.
  void KeepChoices();
  void CheckOnly(QListWidget* list, int row);
  // The block sizes' texts at the selected input's rate, the choice kept; the default box enabled
  // with the applications' input.
  void ShowBlockSizes();

  std::shared_ptr<TSoundServices> services;
  std::shared_ptr<const TPipeWireGraph> graph;
  TDevParamDlg* devParamDlg = nullptr;
  std::function<std::vector<std::string>()> waveInNames;
  std::function<std::vector<std::string>()> waveOutNames;
  std::function<TFileUses()> filesInUse;
  std::vector<std::string> confirmedReplace; // by output row: a name the save dialog asked about
  QStringList inputTexts;                    // the items' own texts, by row
  QStringList outputTexts;
  QString lastFolder;            // of the last file name an item was given
  QPointer<QMessageBox> fileBox; // a refusal or question of OK, while it is shown
  std::vector<std::unique_ptr<TRecordingDevice>> inputDevices; // by row of InputDevsList
  std::vector<std::unique_ptr<TPlaybackDevice>> outputDevices; // by row of OutputDevsList
  std::unique_ptr<TRecordingDevice> InputDevice;
  std::unique_ptr<TPlaybackDevsList> OutputDevices;
  bool checking = false; // the input list rule is setting check marks
};

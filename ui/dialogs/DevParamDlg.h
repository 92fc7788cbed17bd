// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TDevParamDlg: "Параметры устройства", the format of one device from the 36 table entries and, for
// the two WAVE file kinds, the file name. Pages by Kind: a writer shows both, a reader only "Файл",
// every other kind only "Общие". An output offers "Как у входа" above the list, ticked while its format
// was never chosen: it then takes the format of its set-up's input. Apply (the button or OK) writes the
// chosen entry into the device's format (or lets it follow the input) and, for a file, the name; Cancel
// keeps what was applied before. A name longer than a file device holds is refused in a box and
// nothing is written. One instance lives for the whole run.
//
// Threads: user-interface thread only; the device is edited before it is opened.

#include <QDialog>
#include <QMessageBox>
#include <QPointer>

#include <string>

class QCheckBox;
class QFileDialog;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTabWidget;
class TAudioDevice;

class TDevParamDlg : public QDialog {
  Q_OBJECT

public:
  // The longest file name a file device holds, in characters.
  static constexpr int MaxFileNameLength = 259;

  explicit TDevParamDlg(QWidget* parent = nullptr);

  // The device the next showing edits; it must outlive the showing.
  void SetDevice(TAudioDevice* device) { Device = device; }
  // The folder the file dialogs open in (none: they keep their own).
  void SetFolder(const QString& folder);
  // For a writer: the existing file that the save dialog of this showing asked about and the user
  // chose to replace; empty when there is none.
  const std::string& ReplaceConfirmed() const { return replaceConfirmed; }

  void FormShow();
  void FormatsListClick();
  void FileNameChange();
  // Writes the chosen format and file name into the device; false (and nothing written) when the
  // name is refused.
  bool Apply();
  void ApplyBtnClick();
  void OKBtnClick();
  void BrowseBtnClick();

  TAudioDevice* Device = nullptr;
  QTabWidget* PageControl = nullptr;
  QWidget* DataFormatSheet = nullptr;
  QWidget* FileNameSheet = nullptr;
  QLabel* Label1 = nullptr;
  QCheckBox* InputFormatBox = nullptr; // "Как у входа", outputs only
  QListWidget* FormatsList = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* FileName = nullptr;
  QPushButton* BrowseBtn = nullptr;
  QPushButton* OKBtn = nullptr;
  QPushButton* CancelBtn = nullptr;
  QPushButton* ApplyBtn = nullptr;
  QFileDialog* OpenDialog = nullptr;
  QFileDialog* SaveDialog = nullptr;

public slots:
  // Ends an open file dialog first, so that a dialog ended from outside returns at once.
  void reject() override;

protected:
  void showEvent(QShowEvent* event) override;

private:
  bool showing = false;           // FormShow is filling the controls
  QPointer<QMessageBox> errorBox; // the refusal of a name, while it is shown
  std::string replaceConfirmed;
};

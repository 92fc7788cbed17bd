// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TMainForm: the program's frame, a multiple-document window whose child area holds the processing
// windows and the display windows they open. "&Файл" starts a processing set-up or ends the program;
// "&Окна" arranges the child windows and lists them at its end. The hint of the menu item under the
// mouse shows in the status bar. Closing it closes every processing window, each ending its worker;
// the workers are all told to end first, so that they end together. While a set-up records to a file
// the close asks first ("Нет" the default). A close on a signal asks nothing and shows nothing: what a
// set-up could not complete goes to standard error. It is the host of every processing window it opens.
//
// Threads: user-interface thread only.

#include "ui/dialogs/EditFilter.h"
#include "ui/windows/DSPForm.h"
#include "ui/windows/ModalActions.h"
#include "ui/windows/SetUpHost.h"

#include <QMainWindow>

#include <vector>

class QAction;
class QMdiArea;
class QMenu;
class QMdiSubWindow;
class TSelectDevicesDlg;
class TSelectFilterDialog;

inline constexpr const char* ApplicationTitle =
    "Программа цифровой обработки звуковых сигналов в режиме реального времени";

class TMainForm : public QMainWindow {
  Q_OBJECT

public:
  static constexpr int FormWidth = 640;
  static constexpr int FormHeight = 480;

  explicit TMainForm(QWidget* parent = nullptr);
  ~TMainForm() override;

  // The start-up's dialogs, given once after they are made.
  void SetDialogs(TSelectDevicesDlg* selectDevices, TSelectFilterDialog* selectFilter,
                  const TFilterDialogs& filterDialogs);

  void iBeginDSPClick();
  void iExitClick();
  void iCascadeClick();
  void iTileHorizClick();
  void iTileVertClick();
  void iTileGridClick();
  void iNextClick();
  void iPreviousClick();

  // The open processing windows, in the order they were made.
  std::vector<TDSPForm*> SetUps() const;
  // What a new processing window is given of this window.
  TSetUpHost SetUpHost();

  // The close that SIGTERM, SIGINT or SIGHUP asks for: every set-up closed as a close of this window
  // closes it, without a question or a box.
  void CloseOnSignal(int signal);
  // The program's exit status: 0, 128 + the signal that closed it, or 1 when a set-up could not
  // complete a file.
  int ExitStatus() const { return exitStatus; }

  QMdiArea* ClientArea = nullptr;
  QMenu* iFile = nullptr;
  QAction* iBeginDSP = nullptr;
  QAction* iAddFromFile = nullptr; // the active set-up's AddFromFileCaption, enabled with one
  QAction* iSeparator = nullptr;
  QAction* iExit = nullptr;
  QMenu* iWindows = nullptr;
  QAction* iCascade = nullptr;
  QAction* iTileHoriz = nullptr;
  QAction* iTileVert = nullptr;
  QAction* iTileGrid = nullptr;
  QAction* iNext = nullptr;
  QAction* iPrevious = nullptr;

protected:
  void closeEvent(QCloseEvent* e) override;

private:
  QAction* AddItem(QMenu* menu, const char* caption, const char* hint, void (TMainForm::*click)());
  void RebuildWindowList();
  // The set-up of the active window (a processing window, or one of its display windows).
  TDSPForm* ActiveSetUp() const;
  // Columns of full height (side by side), rows of full width, or a grid; beyond MaxStrips windows
  // always a grid.
  enum class TTiling { Columns, Rows, Grid };
  static constexpr int MaxStrips = 4;
  void Tile(TTiling tiling);

  // After a processing window's close event: a close that waited for it is tried again.
  void SetUpClosed(bool filesFailed);
  // What the open set-ups read and write; `asking`'s own as its own, every other as another set-up's.
  TFileUses FilesInUse(const QWidget* asking) const;
  // Whether the user lets the program end while set-ups record to files.
  bool MayCloseWhileRecording();

  TSelectDevicesDlg* selectDevicesDlg = nullptr;
  TSelectFilterDialog* selectFilterDialog = nullptr;
  TFilterDialogs filterDialogs;
  TModalActions modal;
  bool closePending = false; // closing waits for a processing window's open dialog
  bool unattended = false;   // closing on a signal
  int exitStatus = 0;
  std::vector<QAction*> windowItems;
};

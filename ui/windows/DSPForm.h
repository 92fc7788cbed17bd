// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TDSPForm: the window of one processing set-up, a child window of its host's child area. It owns its
// set-up (the input device, the output list, the chain and the worker, wired by TProcessingSetUp),
// one level gauge per input channel, and the units that do the window's work: the filter list that
// edits the chain (TChainEditor), the settings files (TSettingsFiles) and the display windows opened
// from the tree "Графики" (TDisplayWindows). The window itself holds the tool bars and their states,
// the status bar, and the worker's notifications. Every tool button has a tool tip and a status-bar
// hint; F5 and F6 press Play and Pause. The repeat switch, for an input that can rewind, starts a
// file over at its end instead of ending the set-up.
//
// The worker's block notification (paced to about 10 to 20 a second whatever the block size) is a count
// the window looks at every DisplayPollMs; a new one takes the newest published update (the newest
// frames, the peaks and the longest block since the last update) and hands it to this window's own
// signal and performance windows and gauges, so the worker neither allocates nor waits for Qt's event
// queue in a pass. Notification 1 (a TDSPNotifyEvent, type 32868) shows
// the record that ended the worker in a box over the host's window and closes this window when the box
// is dismissed. Notification 2, the end of a file input, shows its notice and leaves the window open
// and stopped at the end, its chain as it was; Play then starts the file again from its beginning. A
// file input without outputs runs at its own pace, for its displays. A close asked for while one of
// this window's own dialogs is open (filter selection, filter parameters, settings files, their
// message boxes) ends that dialog and is carried out after it, so that nothing runs on a destroyed
// window or filter. Closing never waits for a drain: the worker is aborted, its devices stopped, and
// the set-up torn down within one pass of the worker. A file output that could not be completed then
// (its last writes, header, sync or close failed) keeps the window open, marked as failed, while its
// error box says so, and the window closes after the box; a close that nobody watches (the program
// ending on a signal) writes the error to standard error.
//
// Threads: user-interface thread only; the worker reaches it only through TDSPWindowNotify. Chain
// edits take the chain's lock and so wait at most for the block being processed.

#include "devices/PlaybackDevsList.h"
#include "devices/VirtDevs.h"
#include "dsp/FilterList.h"
#include "engine/ProcessingSetUp.h"
#include "ui/displays/LevelGauge.h"
#include "ui/windows/DSPNotify.h"
#include "ui/windows/ModalActions.h"
#include "ui/windows/SetUpHost.h"

#include <QElapsedTimer>
#include <QMainWindow>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QFileDialog;
class QFrame;
class QLabel;
class QListWidget;
class QMdiSubWindow;
class QSplitter;
class QTimer;
class QToolBar;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;
class TChainEditor;
class TDisplayWindows;
class TGaugePaintBox;
class TSettingsFiles;

enum class TDSPState { Ready, Processing, Paused, Ended, Failed };

// How a close reports a file output it could not complete: in a box, or on standard error.
enum class TCloseReport { Box, StandardError };

class TDSPForm : public QMainWindow {
  Q_OBJECT

public:
  static constexpr int FormWidth = 412;
  static constexpr int FormHeight = 366;
  static constexpr int MinFormSize = 256;
  static constexpr int GaugeWidth = 48;
  static constexpr int GraphViewHeight = 105; // at least; more where the rows need it
  // How often the window looks for an update the worker published.
  static constexpr int DisplayPollMs = 20;

  // Takes the devices and opens the input, then every output. A TDSPException while opening
  // releases both and goes on to the caller; then no window exists.
  TDSPForm(TSetUpHost setUpHost, std::unique_ptr<TPlaybackDevsList> outputs,
           std::unique_ptr<TRecordingDevice> input);
  ~TDSPForm() override;

  // The end of the worker without waiting for it (its devices stopped, no play-out), so that several
  // windows closing together end their workers at the same time; the close that follows waits and
  // reports as `report` says.
  void BeginEnd(TCloseReport report = TCloseReport::Box);
  // Closes the window (its child window in the area), or after its open dialog if one is.
  void CloseSetUp();

  TDSPState State() const { return state; }
  // The files the set-up's outputs write while it records (processing or paused); none in the Ready
  // state, before a block was written.
  std::vector<std::string> FilesRecorded() const;
  // Block notifications served since the window opened, and the updates the worker published.
  uint64_t BlocksServed() const { return blocksServed; }
  uint64_t UpdatesPublished() const { return notify.UpdatesPublished(); }
  // The text of the state panel and of the counts panel of the status bar.
  QString StatusText() const;
  QString CountsText() const;
  TFilterList* ChainList() const { return SetUp ? SetUp->Chain() : nullptr; }
  TProcessingThread* WorkerThread() const { return SetUp ? SetUp->Worker() : nullptr; }
  TRecordingDevice* Input() const { return SetUp ? SetUp->Input() : nullptr; }
  TPlaybackDevsList* Outputs() const { return SetUp ? SetUp->Outputs() : nullptr; }
  // The name the display windows opened from this window carry; set by the main window.
  const QString& SetUpName() const;
  void SetSetUpName(const QString& name);
  // The display windows opened from this window that are still open.
  std::vector<QMdiSubWindow*> DisplayWindows() const;

  // The Part's handlers, public so that a driver can press what a user presses.
  void PlayBtnClick();
  void PauseBtnClick();
  void RepeatBtnClick();
  void AddBtnClick();
  // AddFromFileCaption: a filter file picked, its filter added at the end of the chain.
  void AddFromFileBtnClick();
  void DelBtnClick();
  void UpBtnClick();
  void DownBtnClick();
  void BuildGraphBtnClick();
  void BuildGraphAllBtnClick();
  void SaveBtnClick();
  void LoadBtnClick();
  void SaveAllBtnClick();
  void LoadAllBtnClick();
  void DSPGraphViewDblClick(QTreeWidgetItem* item);

  // The index of the selected filter, -1 when none is.
  int SelectedIndex() const;

  std::array<std::unique_ptr<TLevelGauge>, 2> Gauges;

  QToolBar* PlayBar = nullptr;
  QToolBar* ChainBar = nullptr;
  QToolButton* PlayBtn = nullptr;
  QToolButton* PauseBtn = nullptr;
  QToolButton* RepeatBtn = nullptr;
  QToolButton* AddBtn = nullptr;
  QToolButton* AddFromFileBtn = nullptr;
  QToolButton* DelBtn = nullptr;
  QToolButton* UpBtn = nullptr;
  QToolButton* DownBtn = nullptr;
  QToolButton* BuildGraphBtn = nullptr;
  QToolButton* BuildGraphAllBtn = nullptr;
  QToolButton* SaveBtn = nullptr;
  QToolButton* LoadBtn = nullptr;
  QToolButton* SaveAllBtn = nullptr;
  QToolButton* LoadAllBtn = nullptr;
  QListWidget* FilterListBox = nullptr;
  QSplitter* Splitter = nullptr;
  QTreeWidget* DSPGraphView = nullptr;
  QFrame* LevelGaugePanel = nullptr;
  TGaugePaintBox* PaintBox = nullptr;
  QLabel* StatusLabel = nullptr;
  QLabel* CountsLabel = nullptr;
  QLabel* RealtimeLabel = nullptr; // how the worker's threads are scheduled, once it has started
  QLabel* BlockLabel = nullptr;    // the set-up's block, in frames and milliseconds
  // The settings files' dialogs.
  QFileDialog* SaveFilterDialog = nullptr;
  QFileDialog* OpenFilterDialog = nullptr;
  QFileDialog* SaveChainDialog = nullptr;
  QFileDialog* OpenChainDialog = nullptr;

protected:
  bool event(QEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

private:
  void BuildToolBars();
  void BuildClient();
  void BuildStatusBar();
  QToolButton* AddButton(QToolBar* bar, const char* themeName, const char* resource, const char* hint,
                         bool enabled, void (TDSPForm::*click)());
  // The chain buttons as the selection and the chain's length allow.
  void SelectionRule();
  void SetState(TDSPState s);
  void ServeBlock();
  void UpdateCounts();
  // The worker ended (notification 1), or Play or Pause failed: the box, then the close.
  void WorkerEnded(const std::optional<TDSPException>& report);
  // Nothing is heard (a pause, the end): the gauges fall to the floor rather than keep the last level.
  void SilenceGauges();
  // The file input ended (notification 2): the notice, and the window stays, stopped.
  void InputEnded(const std::optional<TDSPException>& notice);
  // Ends the worker at once and releases the display windows, then the set-up (worker, input,
  // outputs, chain) and the gauges, keeping the errors of the files it could not complete; idempotent.
  void Teardown();
  // The boxes of the files not completed, one after the other; the window closes after the last.
  void ShowCloseFailure(size_t index);

  const TSetUpHost host;
  TDSPWindowNotify notify;
  std::unique_ptr<TProcessingSetUp> SetUp; // after notify, which its worker reports to
  TModalActions modal;
  std::unique_ptr<TChainEditor> chainEditor;
  std::unique_ptr<TSettingsFiles> files;
  std::unique_ptr<TDisplayWindows> displays;
  TDSPState state = TDSPState::Ready;
  bool tornDown = false;
  bool ending = false; // the worker ended or failed to start; a close follows
  TCloseReport closeReport = TCloseReport::Box;
  std::vector<TDSPException> closeFailures; // the files the teardown could not complete
  uint64_t blocksServed = 0;
  QTimer* displayPoll = nullptr;
  QElapsedTimer countsClock;
  QList<QAction*> keyActions; // F5, F6 and Ctrl+Shift+O, this window's; its display windows take them too
};

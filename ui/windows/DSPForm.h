// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TDSPForm: the window of one processing set-up, a child window of the main window's child area. It
// owns its set-up (the input device, the output list, the chain and the worker, wired by
// TProcessingSetUp), one level gauge per input channel, and the display windows opened from it
// (children of the same area, captioned with the set-up's name, closed with it). The filter list
// mirrors the chain at all times; the tree "Графики" opens the displays. Every tool button has a
// tool tip and a status-bar hint; F5 and F6 press Play and Pause. The repeat switch, for an input
// that can rewind, starts a file over at its end instead of ending the set-up.
//
// The worker's block notification (paced to about 10 to 20 a second whatever the block size) is a count
// the window looks at every DisplayPollMs; a new one takes the newest published update (the newest
// frames, the peaks and the longest block since the last update) and hands it to this window's own
// signal and performance windows and gauges, so the worker neither allocates nor waits for Qt's event
// queue in a pass. Notification 1 (a TDSPNotifyEvent, type 32868) shows
// the record that ended the worker in a box over the main window and closes this window when the box
// is dismissed. A close asked for while one of this window's own dialogs is open (filter selection,
// filter parameters, settings files, their message boxes) ends that dialog and is carried out after
// it, so that nothing runs on a destroyed window or filter. Closing never waits for a drain: the
// worker is aborted, its devices stopped, and the set-up torn down within one pass of the worker.
//
// Threads: user-interface thread only; the worker reaches it only through TDSPWindowNotify. Chain
// edits take the chain's lock and so wait at most for the block being processed.

#include "devices/VirtDevs.h"
#include "dsp/FilterList.h"
#include "engine/ProcessingSetUp.h"
#include "ui/dialogs/EditFilter.h"
#include "ui/displays/LevelGauge.h"
#include "ui/windows/DSPNotify.h"
#include "ui/windows/ModalActions.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QPointer>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class QFileDialog;
class QFrame;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QMdiArea;
class QMdiSubWindow;
class QSplitter;
class QTimer;
class QToolBar;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;
class TDSPGraphFrm;
class TDSPPerfForm;
class TFilterSpectrumForm;
class TGaugePaintBox;
class TSelectFilterDialog;

// What a processing window uses of the main window and the start-up's dialogs.
struct TDSPFormContext {
  QMdiArea* Area = nullptr;    // where its display windows open
  QWidget* BoxOwner = nullptr; // the main window: owner of the worker's box
  TSelectFilterDialog* SelectFilter = nullptr;
  TFilterDialogs FilterDialogs;
};

enum class TDSPState { Ready, Processing, Paused };

class TDSPForm : public QMainWindow {
  Q_OBJECT

public:
  static constexpr int FormWidth = 412;
  static constexpr int FormHeight = 366;
  static constexpr int MinFormSize = 256;
  static constexpr int GaugeWidth = 48;
  static constexpr int GraphViewHeight = 105;
  // How often the window looks for an update the worker published.
  static constexpr int DisplayPollMs = 20;

  // Takes the devices and opens the input, then every output. A TDSPException while opening
  // releases both and goes on to the caller; then no window exists.
  TDSPForm(const TDSPFormContext& context, std::unique_ptr<TPlaybackDevsList> outputs,
           std::unique_ptr<TRecordingDevice> input);
  ~TDSPForm() override;

  // The end of the worker without waiting for it (its devices stopped, no play-out), so that several
  // windows closing together end their workers at the same time; the close that follows waits.
  void BeginEnd();
  // Closes the window (its child window in the area), or after its open dialog if one is.
  void CloseSetUp();

  TDSPState State() const { return state; }
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
  const QString& SetUpName() const { return setUpName; }
  void SetSetUpName(const QString& name) { setUpName = name; }
  // The display windows opened from this window that are still open.
  std::vector<QMdiSubWindow*> DisplayWindows() const;

  // The Part's handlers, public so that a driver can press what a user presses.
  void PlayBtnClick();
  void PauseBtnClick();
  void RepeatBtnClick();
  void AddBtnClick();
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
  QFileDialog* SaveFilterDialog = nullptr;
  QFileDialog* OpenFilterDialog = nullptr;
  QFileDialog* SaveChainDialog = nullptr;
  QFileDialog* OpenChainDialog = nullptr;

signals:
  // The window has been closed and its set-up torn down.
  void SetUpEnded();

protected:
  bool event(QEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

private:
  void BuildControls();
  QToolButton* AddButton(QToolBar* bar, const char* themeName, const char* resource, const char* hint,
                         bool enabled, void (TDSPForm::*click)());
  void SelectionRule();
  void RebuildFilterList();
  void AppendFilterItem(const TFilter& filter, bool checked);
  void MoveSelected(int by);
  void FilterListBoxClickCheck(QListWidgetItem* item);
  void FilterListBoxDblClick();
  void SetState(TDSPState s);
  void ServeBlock();
  void UpdateCounts();
  // The worker ended (notification 1), or Play or Pause failed: the box, then the close.
  void WorkerEnded(const std::optional<TDSPException>& report);
  // Ends the worker at once and releases the display windows, then the set-up (worker, input,
  // outputs, chain) and the gauges; idempotent.
  void Teardown();
  void OpenDisplay(QWidget* display);
  void OpenResponse(TFilterSpectrumForm* response);
  void PruneDisplays();
  void ShowFileError(const QString& text);
  // A file picked in one of the settings dialogs, or nothing when cancelled or closing.
  std::optional<std::string> PickFile(QFileDialog* dialog);

  TDSPFormContext context;
  TDSPWindowNotify notify;
  std::unique_ptr<TProcessingSetUp> SetUp; // after notify, which its worker reports to
  TModalActions modal;
  QString setUpName;
  TDSPState state = TDSPState::Ready;
  bool updatingList = false;
  bool tornDown = false;
  bool ending = false; // the worker ended or failed to start; a close follows
  uint64_t blocksServed = 0;
  QTimer* displayPoll = nullptr;
  QElapsedTimer countsClock;
  QList<QAction*> keyActions; // F5 and F6, this window's; its display windows take them too
  std::vector<QPointer<QMdiSubWindow>> displays;
  std::vector<QPointer<TDSPGraphFrm>> graphs;
  std::vector<QPointer<TDSPPerfForm>> perfs;
};

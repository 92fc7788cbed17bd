// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/windows/DSPForm.h"

#include "dsp/CRCStreams.h"
#include "dsp/FilterCatalogue.h"
#include "dsp/FilterError.h"
#include "filters/Transforms.h"
#include "ui/dialogs/DescribedFilterDlg.h"
#include "ui/dialogs/EchoDlg.h"
#include "ui/dialogs/FileDialog.h"
#include "ui/dialogs/LHPassFilterDlg.h"
#include "ui/dialogs/MultiBandFilterDlg.h"
#include "ui/dialogs/ReverbDlg.h"
#include "ui/dialogs/SelectFilterDialog.h"
#include "ui/displays/DSPGraphFrm.h"
#include "ui/displays/DSPPerfForm.h"
#include "ui/displays/FilterSpectrumForm.h"
#include "ui/windows/ChildWindows.h"
#include "ui/windows/DSPMessageBox.h"
#include "ui/windows/GaugePaintBox.h"
#include "ui/windows/Icons.h"

#include <QAction>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

constexpr const char* FilterFileFilter = "Файлы параметров фильтра (*.flt)|*.flt|Все файлы (*.*)|*.*";
constexpr const char* ChainFileFilter = "Файлы параметров фильтров (*.lst)|*.lst|Все файлы (*.*)|*.*";
constexpr int CountsPeriodMs = 250;
constexpr Qt::Key PlayKey = Qt::Key_F5;
constexpr Qt::Key PauseKey = Qt::Key_F6;
constexpr const char* PlayHint = "Запуск обработки сигнала (F5)";
constexpr const char* PauseHint = "Приостановка обработки сигнала (F6)";
constexpr const char* RepeatHint = "Повтор файла: по достижении конца файл начинается сначала";

const char* const GraphNames[] = {"Входной сигнал", "Выходной сигнал", "График производительности",
                                  "АЧХ фильтра", "АЧХ системы фильтров"};

} // namespace

TDSPForm::TDSPForm(const TDSPFormContext& context, std::unique_ptr<TPlaybackDevsList> outputs,
                   std::unique_ptr<TRecordingDevice> input)
    : context(context), notify(*this), modal(*this, [this] { CloseSetUp(); }) {
  setWindowTitle(QStringLiteral("Обработка сигнала"));
  // A throw leaves the constructor: the set-up releases the devices, which closes them.
  SetUp = std::make_unique<TProcessingSetUp>(std::move(input));
  SetUp->OpenOutputs(std::move(outputs), notify);

  const TWaveFormat& format = SetUp->Input()->Buffer().Format();
  const double floorDb = AmplitudeToDb(1.0 / std::pow(2.0, format.wBitsPerSample));
  for (int c = 0; c < std::min<int>(format.nChannels, 2); ++c) {
    Gauges[static_cast<size_t>(c)] = std::make_unique<TLevelGauge>(TRect{0, 0, 0, 0}, floorDb);
  }
  BuildControls();
  SetState(TDSPState::Ready);
  UpdateCounts();
  countsClock.start();
  displayPoll = new QTimer(this);
  connect(displayPoll, &QTimer::timeout, this, [this] {
    if (!tornDown && notify.TakeUpdate()) {
      ServeBlock();
    }
  });
  displayPoll->start(DisplayPollMs);
}

TDSPForm::~TDSPForm() {
  Teardown();
}

// ---- Controls ----------------------------------------------------------------------------------

QToolButton* TDSPForm::AddButton(QToolBar* bar, const char* themeName, const char* resource, const char* hint,
                                 bool enabled, void (TDSPForm::*click)()) {
  auto* button = new QToolButton(bar);
  button->setIcon(SonolabIcon(themeName, resource));
  // The same words under the mouse and in the status bar.
  button->setToolTip(QString::fromUtf8(hint));
  button->setStatusTip(QString::fromUtf8(hint));
  button->setIconSize(QSize(19, 19));
  button->setFixedSize(26, 25);
  button->setAutoRaise(true);
  button->setFocusPolicy(Qt::NoFocus);
  button->setEnabled(enabled);
  button->setObjectName(QString::fromLatin1(resource));
  bar->addWidget(button);
  connect(button, &QToolButton::clicked, this, click);
  return button;
}

void TDSPForm::BuildControls() {
  setContextMenuPolicy(Qt::PreventContextMenu); // no menu to hide the tool bars
  setWindowIcon(ProgramIcon());

  PlayBar = addToolBar(QStringLiteral("PlayBar"));
  ChainBar = addToolBar(QStringLiteral("ChainBar"));
  for (QToolBar* bar : {PlayBar, ChainBar}) {
    bar->setMovable(false);
    bar->setFloatable(false);
    bar->setIconSize(QSize(19, 19));
  }
  PlayBtn = AddButton(PlayBar, "media-playback-start", "play", PlayHint, true, &TDSPForm::PlayBtnClick);
  PauseBtn = AddButton(PlayBar, "media-playback-pause", "pause", PauseHint, false, &TDSPForm::PauseBtnClick);
  RepeatBtn = AddButton(PlayBar, "media-playlist-repeat", "repeat", RepeatHint, SetUp->Input()->CanRewind(),
                        &TDSPForm::RepeatBtnClick);
  RepeatBtn->setCheckable(true);
  AddBtn = AddButton(ChainBar, "list-add", "add", "Добавление фильтра в систему фильтров (Insert)", true,
                     &TDSPForm::AddBtnClick);
  DelBtn = AddButton(ChainBar, "list-remove", "delete", "Удаление выбранного фильтра (Delete)", false,
                     &TDSPForm::DelBtnClick);
  UpBtn = AddButton(ChainBar, "go-up", "up", "Перемещение выбранного фильтра вверх по списку", false,
                    &TDSPForm::UpBtnClick);
  DownBtn = AddButton(ChainBar, "go-down", "down", "Перемещение выбранного фильтра вниз по списку", false,
                      &TDSPForm::DownBtnClick);
  ChainBar->addSeparator();
  BuildGraphBtn = AddButton(ChainBar, nullptr, "response-filter", "АЧХ выбранного фильтра", false,
                            &TDSPForm::BuildGraphBtnClick);
  BuildGraphAllBtn = AddButton(ChainBar, nullptr, "response-chain", "АЧХ системы фильтров", false,
                               &TDSPForm::BuildGraphAllBtnClick);
  ChainBar->addSeparator();
  SaveBtn = AddButton(ChainBar, "document-save", "save", "Сохранение параметров выбранного фильтра в файл",
                      false, &TDSPForm::SaveBtnClick);
  LoadBtn = AddButton(ChainBar, "document-open", "load", "Загрузка параметров выбранного фильтра из файла",
                      false, &TDSPForm::LoadBtnClick);
  SaveAllBtn = AddButton(ChainBar, nullptr, "save-all", "Сохранение системы фильтров в файл", false,
                         &TDSPForm::SaveAllBtnClick);
  LoadAllBtn = AddButton(ChainBar, nullptr, "load-all", "Загрузка системы фильтров из файла", true,
                         &TDSPForm::LoadAllBtnClick);
  // The keys of Play and Pause, for this window and its display windows while one of them (or a
  // control in it) has the focus; the space bar stays the filter list's, for the check boxes.
  for (const auto& [key, click] :
       {std::pair{PlayKey, &TDSPForm::PlayBtnClick}, std::pair{PauseKey, &TDSPForm::PauseBtnClick}}) {
    auto* action = new QAction(this);
    action->setShortcut(QKeySequence(key));
    action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(action, &QAction::triggered, this, click);
    addAction(action);
    keyActions.push_back(action);
  }

  auto* client = new QWidget(this);
  auto* row = new QHBoxLayout(client);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(0);

  Splitter = new QSplitter(Qt::Vertical, client);
  FilterListBox = new QListWidget(Splitter);
  FilterListBox->setSelectionMode(QAbstractItemView::SingleSelection);
  FilterListBox->installEventFilter(this);
  DSPGraphView = new QTreeWidget(Splitter);
  DSPGraphView->setHeaderHidden(true);
  DSPGraphView->setIndentation(20);
  DSPGraphView->setEditTriggers(QAbstractItemView::NoEditTriggers);
  DSPGraphView->setMinimumHeight(0);
  const QIcon node = SonolabIcon(nullptr, "graph-node");
  auto* root = new QTreeWidgetItem(DSPGraphView, QStringList(QStringLiteral("Графики")));
  root->setIcon(0, node);
  for (const char* name : GraphNames) {
    auto* child = new QTreeWidgetItem(root, QStringList(QString::fromUtf8(name)));
    child->setIcon(0, node);
  }
  root->setExpanded(true);
  Splitter->addWidget(FilterListBox);
  Splitter->addWidget(DSPGraphView);
  Splitter->setStretchFactor(0, 1);
  Splitter->setStretchFactor(1, 0);
  Splitter->setChildrenCollapsible(false);
  Splitter->setSizes({FormHeight, GraphViewHeight});
  row->addWidget(Splitter, 1);

  LevelGaugePanel = new QFrame(client);
  LevelGaugePanel->setFrameStyle(QFrame::Box | QFrame::Plain);
  LevelGaugePanel->setLineWidth(1);
  LevelGaugePanel->setBackgroundRole(QPalette::Base);
  LevelGaugePanel->setAutoFillBackground(true);
  auto* panelLayout = new QHBoxLayout(LevelGaugePanel);
  panelLayout->setContentsMargins(0, 0, 0, 0);
  PaintBox = new TGaugePaintBox(Gauges, LevelGaugePanel);
  panelLayout->addWidget(PaintBox);
  const int channels = static_cast<int>(
      std::count_if(Gauges.begin(), Gauges.end(), [](const auto& g) { return g != nullptr; }));
  LevelGaugePanel->setFixedWidth(channels * GaugeWidth + 2);
  row->addWidget(LevelGaugePanel);
  setCentralWidget(client);

  StatusLabel = new QLabel(statusBar());
  CountsLabel = new QLabel(statusBar());
  RealtimeLabel = new QLabel(statusBar());
  BlockLabel = new QLabel(statusBar());
  // Beside the state, whole in a window of its default width: the block's duration (its frames in the
  // tool tip), the counts once there is something to count, and "РВ", greyed while the sound threads
  // do not run in real time, as a keyboard indicator is.
  const TAudioBuffer& block = SetUp->Input()->Buffer();
  const uint32_t rate = block.Format().nSamplesPerSec;
  BlockLabel->setText(QString::fromStdString(MillisecondsText(block.CapacityFrames(), rate)));
  BlockLabel->setToolTip(QStringLiteral("Размер блока: %1")
                             .arg(QString::fromStdString(BlockLengthText(block.CapacityFrames(), rate))));
  CountsLabel->hide();
  CountsLabel->setMinimumWidth(1);
  BlockLabel->setMinimumWidth(1);
  statusBar()->addWidget(StatusLabel, 1);
  statusBar()->addPermanentWidget(CountsLabel);
  statusBar()->addPermanentWidget(BlockLabel);
  statusBar()->addPermanentWidget(RealtimeLabel);
  statusBar()->setSizeGripEnabled(false);

  SaveFilterDialog =
      NewFileDialog(this, TFileDialogKind::Save, QString::fromUtf8(FilterFileFilter), QStringLiteral("flt"));
  OpenFilterDialog =
      NewFileDialog(this, TFileDialogKind::Open, QString::fromUtf8(FilterFileFilter), QStringLiteral("flt"));
  SaveChainDialog =
      NewFileDialog(this, TFileDialogKind::Save, QString::fromUtf8(ChainFileFilter), QStringLiteral("lst"));
  OpenChainDialog =
      NewFileDialog(this, TFileDialogKind::Open, QString::fromUtf8(ChainFileFilter), QStringLiteral("lst"));

  connect(FilterListBox, &QListWidget::itemSelectionChanged, this, &TDSPForm::SelectionRule);
  connect(FilterListBox, &QListWidget::itemClicked, this, &TDSPForm::SelectionRule);
  connect(FilterListBox, &QListWidget::itemChanged, this, &TDSPForm::FilterListBoxClickCheck);
  connect(FilterListBox, &QListWidget::itemDoubleClicked, this, &TDSPForm::FilterListBoxDblClick);
  connect(DSPGraphView, &QTreeWidget::itemDoubleClicked, this, &TDSPForm::DSPGraphViewDblClick);

  resize(FormWidth, FormHeight);
  setMinimumSize(MinFormSize / 2, MinFormSize / 2); // the child window enforces the Part's minimum
}

// ---- State -------------------------------------------------------------------------------------

void TDSPForm::SetState(TDSPState s) {
  state = s;
  PlayBtn->setEnabled(s != TDSPState::Processing && !ending);
  PauseBtn->setEnabled(s == TDSPState::Processing && !ending);
  StatusLabel->setText(StatusText());
  // The state stays whole; the labels beside it give way when the window is too narrow for all.
  StatusLabel->setMinimumWidth(StatusLabel->sizeHint().width());
}

QString TDSPForm::StatusText() const {
  switch (state) {
  case TDSPState::Processing:
    return QStringLiteral("Состояние: обработка сигнала");
  case TDSPState::Paused:
    return QStringLiteral("Состояние: обработка сигнала приостановлена");
  case TDSPState::Ready:
    break;
  }
  return QString();
}

QString TDSPForm::CountsText() const {
  return CountsLabel->text();
}

void TDSPForm::UpdateCounts() {
  const uint64_t dropouts = WorkerThread() ? WorkerThread()->Dropouts() : 0;
  const uint64_t clipped = WorkerThread() ? WorkerThread()->ClippedSamples() : 0;
  const std::optional<TRealtimeOutcome> realtime = WorkerThread() ? WorkerThread()->Realtime() : std::nullopt;
  if (realtime && RealtimeLabel->text().isEmpty() && WorkerThread()->Live()) {
    RealtimeLabel->setText(QStringLiteral("РВ"));
    RealtimeLabel->setEnabled(realtime->Way != TRealtimeWay::Normal);
    RealtimeLabel->setToolTip(
        QStringLiteral("Приоритет реального времени потоков звука: %1%2")
            .arg(QString::fromStdString(DescribeRealtimeWay(*realtime)),
                 QString::fromStdString(realtime->Why.empty() ? "" : " (" + realtime->Why + ")")));
  }
  // Only what is not zero, so that it fits beside the state; both counts in the tool tip.
  QStringList shown;
  if (dropouts > 0) {
    shown << QStringLiteral("пропусков: %1").arg(dropouts);
  }
  if (clipped > 0) {
    shown << QStringLiteral("перегрузок: %1").arg(clipped);
  }
  CountsLabel->setText(shown.join(QStringLiteral(" · ")));
  CountsLabel->setVisible(!shown.isEmpty());
  QString tip = QStringLiteral("пропусков: %1 · перегрузок: %2").arg(dropouts).arg(clipped);
  if (const uint32_t grown = WorkerThread() ? WorkerThread()->ServerBufferGrowthMs() : 0; grown > 0) {
    tip += QStringLiteral("\nБуфер сервера звука после пропусков увеличен на %1 мс").arg(grown);
  }
  CountsLabel->setToolTip(tip);
}

void TDSPForm::PlayBtnClick() {
  if (!WorkerThread() || ending || state == TDSPState::Processing) {
    return;
  }
  try {
    WorkerThread()->ResumeProcessing();
  } catch (const TDSPException& e) {
    // The devices would not start: nothing can run in this set-up. Stop what did start.
    try {
      WorkerThread()->PauseProcessing();
    } catch (const TDSPException&) {
    }
    WorkerEnded(e);
    return;
  }
  SetState(TDSPState::Processing);
}

void TDSPForm::RepeatBtnClick() {
  if (TProcessingThread* worker = WorkerThread()) {
    worker->SetRepeat(RepeatBtn->isChecked());
  }
}

void TDSPForm::PauseBtnClick() {
  if (!WorkerThread() || ending || state != TDSPState::Processing) {
    return;
  }
  try {
    WorkerThread()->PauseProcessing();
  } catch (const TDSPException& e) {
    WorkerEnded(e);
    return;
  }
  SetState(TDSPState::Paused);
  UpdateCounts();
}

// ---- The filter list ---------------------------------------------------------------------------

int TDSPForm::SelectedIndex() const {
  const QList<QListWidgetItem*> selected = FilterListBox->selectedItems();
  return selected.isEmpty() ? -1 : FilterListBox->row(selected.first());
}

void TDSPForm::SelectionRule() {
  FilterListBox->setFocus();
  const int i = SelectedIndex();
  const int count = ChainList() ? ChainList()->Count() : 0;
  const bool selected = i >= 0 && i < count;
  for (QToolButton* b : {DelBtn, LoadBtn, SaveBtn, BuildGraphBtn}) {
    b->setEnabled(selected);
  }
  UpBtn->setEnabled(selected && i > 0);
  DownBtn->setEnabled(selected && i < count - 1);
}

void TDSPForm::AppendFilterItem(const TFilter& filter, bool checked) {
  auto* item = new QListWidgetItem(QString::fromUtf8(FilterCatalogue[static_cast<size_t>(filter.Type())]));
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
  item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
  FilterListBox->addItem(item);
}

void TDSPForm::RebuildFilterList() {
  updatingList = true;
  FilterListBox->clear();
  for (int i = 0; i < ChainList()->Count(); ++i) {
    AppendFilterItem(*ChainList()->Item(i), ChainList()->IsEnabled(i));
  }
  updatingList = false;
  FilterListBox->clearSelection();
  FilterListBox->setCurrentRow(-1);
  SaveAllBtn->setEnabled(ChainList()->Count() > 0);
  BuildGraphAllBtn->setEnabled(ChainList()->Count() > 0);
  SelectionRule();
}

void TDSPForm::FilterListBoxClickCheck(QListWidgetItem* item) {
  if (updatingList || !ChainList()) {
    return;
  }
  const int i = FilterListBox->row(item);
  if (i < 0 || i >= ChainList()->Count()) {
    return;
  }
  const bool on = item->checkState() == Qt::Checked;
  if (on != ChainList()->IsEnabled(i)) {
    ChainList()->SetEnabled(i, on); // switching off clears the filter's state
  }
}

void TDSPForm::FilterListBoxDblClick() {
  const int i = SelectedIndex();
  if (!ChainList() || i < 0 || i >= ChainList()->Count()) {
    return;
  }
  const TFilterDialogs& d = context.FilterDialogs;
  TModalActions::TScope scope(modal, {d.LHPass, d.Echo, d.Reverb, d.MultiBand, d.Described});
  EditFilter(d, *ChainList()->Item(i));
}

bool TDSPForm::eventFilter(QObject* watched, QEvent* e) {
  if (watched == FilterListBox && e->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(e);
    if (key->key() == Qt::Key_Insert && key->modifiers() == Qt::NoModifier) {
      AddBtnClick();
      return true;
    }
    if (key->key() == Qt::Key_Delete && key->modifiers() == Qt::NoModifier) {
      if (SelectedIndex() >= 0) {
        DelBtnClick();
      }
      return true;
    }
  }
  return QMainWindow::eventFilter(watched, e);
}

void TDSPForm::AddBtnClick() {
  if (!ChainList() || ending) {
    return;
  }
  if (ChainList()->Count() >= TFilterList::MaxFilters) {
    // Said before the dialogs, so that no filter is set up only to be dropped.
    TModalActions::TScope scope(modal, {});
    ShowFileError(QString::fromUtf8(MsgChainFull));
    return;
  }
  int type = -1;
  {
    TModalActions::TScope scope(modal, {context.SelectFilter});
    if (context.SelectFilter->exec() != QDialog::Accepted || modal.ClosePending()) {
      return;
    }
    type = context.SelectFilter->SelectedIndex();
  }
  std::unique_ptr<TFilter> filter = CreateFilter(type, ChainList()->SampleRate());
  if (!filter) {
    return; // a type without a class
  }
  {
    const TFilterDialogs& d = context.FilterDialogs;
    TModalActions::TScope scope(modal, {d.LHPass, d.Echo, d.Reverb, d.MultiBand, d.Described});
    EditFilter(d, *filter);
    if (modal.ClosePending()) {
      return;
    }
  }
  const TFilter& added = *filter;
  ChainList()->Add(std::move(filter)); // whatever the dialog's result
  AppendFilterItem(added, true);
  SelectionRule();
  SaveAllBtn->setEnabled(true);
  BuildGraphAllBtn->setEnabled(true);
}

void TDSPForm::DelBtnClick() {
  const int i = SelectedIndex();
  if (!ChainList() || i < 0 || i >= ChainList()->Count()) {
    return;
  }
  ChainList()->Delete(i);
  updatingList = true;
  delete FilterListBox->takeItem(i);
  updatingList = false;
  FilterListBox->clearSelection();
  FilterListBox->setCurrentRow(-1);
  SelectionRule();
  SaveAllBtn->setEnabled(ChainList()->Count() > 0);
  BuildGraphAllBtn->setEnabled(ChainList()->Count() > 0);
}

void TDSPForm::MoveSelected(int by) {
  const int i = SelectedIndex();
  const int j = i + by;
  if (!ChainList() || i < 0 || j < 0 || j >= ChainList()->Count()) {
    return;
  }
  ChainList()->Swap(i, j);
  updatingList = true;
  QListWidgetItem* a = FilterListBox->item(i);
  QListWidgetItem* b = FilterListBox->item(j);
  const QString text = a->text();
  const Qt::CheckState check = a->checkState();
  a->setText(b->text());
  a->setCheckState(b->checkState());
  b->setText(text);
  b->setCheckState(check);
  updatingList = false;
  FilterListBox->setCurrentRow(j, QItemSelectionModel::ClearAndSelect);
  SelectionRule();
}

void TDSPForm::UpBtnClick() {
  MoveSelected(-1);
}

void TDSPForm::DownBtnClick() {
  MoveSelected(+1);
}

// ---- Settings files ----------------------------------------------------------------------------

void TDSPForm::ShowFileError(const QString& text) {
  ShowErrorBox(this, text);
}

std::optional<std::string> TDSPForm::PickFile(QFileDialog* dialog) {
  TModalActions::TScope scope(modal, {dialog});
  if (ExecFileDialog(*dialog) != QDialog::Accepted || modal.ClosePending()) {
    return std::nullopt;
  }
  return ChosenFile(*dialog).toStdString();
}

void TDSPForm::SaveBtnClick() {
  const int i = SelectedIndex();
  if (!ChainList() || i < 0 || i >= ChainList()->Count()) {
    return;
  }
  const std::optional<std::string> name = PickFile(SaveFilterDialog);
  if (!name) {
    return;
  }
  TModalActions::TScope scope(modal, {});
  try {
    SaveFilterFile(*ChainList()->Item(i), *name);
  } catch (const TFilterError& e) {
    ShowFileError(QString::fromUtf8(e.what()));
  }
}

void TDSPForm::LoadBtnClick() {
  const int i = SelectedIndex();
  if (!ChainList() || i < 0 || i >= ChainList()->Count()) {
    return;
  }
  const std::optional<std::string> name = PickFile(OpenFilterDialog);
  if (!name) {
    return;
  }
  TModalActions::TScope scope(modal, {});
  try {
    LoadFilterFile(*ChainList()->Item(i), *name);
  } catch (const TFilterError& e) {
    ShowFileError(QString::fromUtf8(e.what()));
  }
}

void TDSPForm::SaveAllBtnClick() {
  if (!ChainList()) {
    return;
  }
  const std::optional<std::string> name = PickFile(SaveChainDialog);
  if (!name) {
    return;
  }
  TModalActions::TScope scope(modal, {});
  try {
    SaveChainFile(*ChainList(), *name);
  } catch (const TFilterError& e) {
    ShowFileError(QString::fromUtf8(e.what()));
  }
}

void TDSPForm::LoadAllBtnClick() {
  if (!ChainList()) {
    return;
  }
  const std::optional<std::string> name = PickFile(OpenChainDialog);
  if (!name) {
    return;
  }
  TModalActions::TScope scope(modal, {});
  try {
    LoadChainFile(*ChainList(), *name);
  } catch (const TFilterError& e) {
    // The list shows what the chain holds, whatever the load left in it.
    RebuildFilterList();
    ShowFileError(QString::fromUtf8(e.what()));
    return;
  }
  RebuildFilterList();
}

// ---- Displays ----------------------------------------------------------------------------------

void TDSPForm::PruneDisplays() {
  std::erase_if(displays, [](const QPointer<QMdiSubWindow>& w) { return w.isNull(); });
  std::erase_if(graphs, [](const QPointer<TDSPGraphFrm>& w) { return w.isNull(); });
  std::erase_if(perfs, [](const QPointer<TDSPPerfForm>& w) { return w.isNull(); });
}

void TDSPForm::OpenDisplay(QWidget* display) {
  PruneDisplays();
  const QSize design = display->size(); // the display's own design size
  QMdiSubWindow* window = context.Area->addSubWindow(display);
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->setWindowIcon(SonolabIcon(nullptr, "graph-node"));
  window->addActions(keyActions);
  displays.emplace_back(window);
  // The child window's caption names this set-up after the display's own, whenever that changes (the
  // child window has just taken the display's when the signal comes).
  const auto caption = [window, display, this] {
    window->setWindowTitle(DisplayCaption(display->windowTitle(), setUpName));
  };
  connect(display, &QWidget::windowTitleChanged, window, caption);
  caption();
  window->show();
  window->resize(window->size() - display->size() + design);
  KeepInside(*context.Area, *window);
  context.Area->setActiveSubWindow(window);
}

std::vector<QMdiSubWindow*> TDSPForm::DisplayWindows() const {
  std::vector<QMdiSubWindow*> open;
  for (const QPointer<QMdiSubWindow>& w : displays) {
    if (w) {
      open.push_back(w);
    }
  }
  return open;
}

void TDSPForm::BuildGraphBtnClick() {
  const int i = SelectedIndex();
  if (!ChainList() || i < 0 || i >= ChainList()->Count()) {
    return;
  }
  OpenResponse(new TFilterSpectrumForm(nullptr, false, ChainList()->Item(i), ChainList()));
}

void TDSPForm::BuildGraphAllBtnClick() {
  if (!ChainList()) {
    return;
  }
  OpenResponse(new TFilterSpectrumForm(nullptr, true, nullptr, ChainList()));
}

void TDSPForm::OpenResponse(TFilterSpectrumForm* response) {
  // Every change of the chain shows in the filter list at once: the window follows it from there,
  // before a deleted filter's place could be taken by another.
  QAbstractItemModel* model = FilterListBox->model();
  const auto follow = [response] { response->FollowChain(); };
  connect(model, &QAbstractItemModel::rowsRemoved, response, follow);
  connect(model, &QAbstractItemModel::rowsInserted, response, follow);
  connect(model, &QAbstractItemModel::modelReset, response, follow);
  connect(model, &QAbstractItemModel::dataChanged, response, follow);
  OpenDisplay(response);
}

void TDSPForm::DSPGraphViewDblClick(QTreeWidgetItem* item) {
  if (item == nullptr || item->parent() == nullptr || !Input()) {
    return; // the root, or nothing
  }
  const int index = item->parent()->indexOfChild(item);
  // The block size Open gave the input: the block now in its buffer may be short (the end of a file)
  // or empty (a stopped capture). The signal views show what an update holds: the block, or the
  // default block's length of the newest frames when blocks are shorter; one update comes per that
  // length of input, which the time axes follow.
  const TAudioBuffer& block = Input()->Buffer();
  const uint32_t rate = block.Format().nSamplesPerSec;
  const int32_t shown = WorkerThread() ? WorkerThread()->DisplayFrames() : block.CapacityFrames();
  switch (index) {
  case 0:
  case 1: {
    auto* graph = new TDSPGraphFrm(nullptr, item->text(0));
    graph->Signal = static_cast<uint32_t>(index);
    graph->OwnerForm = this;
    graph->SetFormat(block.Format(), static_cast<uint32_t>(shown));
    OpenDisplay(graph);
    graphs.emplace_back(graph);
    break;
  }
  case 2: {
    auto* perf = new TDSPPerfForm(nullptr, block.CapacityFrames(), shown, rate);
    perf->OwnerForm = this;
    OpenDisplay(perf);
    perfs.emplace_back(perf);
    break;
  }
  case 3:
    if (BuildGraphBtn->isEnabled()) {
      BuildGraphBtnClick();
    }
    break;
  case 4:
    if (BuildGraphAllBtn->isEnabled()) {
      BuildGraphAllBtnClick();
    }
    break;
  default:
    break;
  }
}

// ---- The worker's notifications ----------------------------------------------------------------

bool TDSPForm::event(QEvent* e) {
  // Before the event is read at all: it may be one that the worker made.
  notify.Received();
  if (e->type() == DSPNotifyEventType) {
    if (tornDown) {
      return true; // closed: what the worker posted meanwhile has nobody to show it to
    }
    // The update published before the end is shown before the end is.
    if (notify.TakeUpdate()) {
      ServeBlock();
    }
    WorkerEnded(static_cast<const TDSPNotifyEvent*>(e)->Report);
    return true;
  }
  return QMainWindow::event(e);
}

void TDSPForm::ServeBlock() {
  if (!WorkerThread()) {
    return;
  }
  const TPublishedBlock* block = WorkerThread()->TakeNewestBlock();
  if (block == nullptr) {
    return; // a later notification's block was taken already
  }
  ++blocksServed;
  for (auto it = graphs.rbegin(); it != graphs.rend(); ++it) {
    TDSPGraphFrm* graph = *it;
    if (graph != nullptr && graph->OwnerForm == this) {
      graph->ShowBlock(graph->Signal == 0 ? block->Input : block->Output);
    }
  }
  for (auto it = perfs.rbegin(); it != perfs.rend(); ++it) {
    TDSPPerfForm* perf = *it;
    if (perf != nullptr && perf->OwnerForm == this) {
      perf->AddTime(block->Elapsed);
    }
  }
  // The gauges show the peak of every pass since the last update, not only of the newest block.
  for (size_t c = 0; c < Gauges.size(); ++c) {
    if (Gauges[c]) {
      Gauges[c]->SetLevel(
          PeakLevel(block->Figures.Peaks[c], block->Input.Format().wBitsPerSample, Gauges[c]->Floor));
    }
  }
  PaintBox->DrawBars();
  if (countsClock.elapsed() >= CountsPeriodMs) {
    countsClock.restart();
    UpdateCounts();
  }
}

void TDSPForm::WorkerEnded(const std::optional<TDSPException>& report) {
  if (ending) {
    return;
  }
  ending = true;
  SetState(state);
  UpdateCounts();
  if (report && !modal.ClosePending()) {
    QMessageBox* box = NewDSPExceptionBox(context.BoxOwner, *report);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // The window closes once the box is dismissed; a window already gone is not touched.
    connect(box, &QDialog::finished, this, &TDSPForm::CloseSetUp);
    box->open();
    return;
  }
  CloseSetUp();
}

// ---- Closing -----------------------------------------------------------------------------------

void TDSPForm::BeginEnd() {
  if (SetUp) {
    SetUp->Abort();
  }
}

void TDSPForm::CloseSetUp() {
  if (auto* window = qobject_cast<QMdiSubWindow*>(parentWidget())) {
    window->close();
  } else {
    close();
  }
}

void TDSPForm::closeEvent(QCloseEvent* e) {
  if (modal.DeferClose()) {
    e->ignore();
    return;
  }
  modal.ClearClose();
  Teardown();
  e->accept();
  emit SetUpEnded();
}

void TDSPForm::Teardown() {
  if (tornDown) {
    return;
  }
  tornDown = true;
  if (displayPoll) {
    displayPoll->stop();
  }
  if (SetUp) {
    SetUp->Abort(); // the worker ends while the displays go
  }
  for (const QPointer<QMdiSubWindow>& window : displays) {
    delete window.data();
  }
  displays.clear();
  graphs.clear();
  perfs.clear();
  // The worker, the input, the outputs and the chain, in that order; then the gauges.
  if (SetUp) {
    SetUp->Teardown();
  }
  SetUp.reset();
  for (std::unique_ptr<TLevelGauge>& gauge : Gauges) {
    gauge.reset();
  }
}

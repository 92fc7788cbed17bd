// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/windows/DSPForm.h"

#include "devices/FileChecks.h"
#include "filters/Transforms.h"
#include "ui/dialogs/DialogLayout.h"
#include "ui/windows/ChainEditor.h"
#include "ui/windows/DSPMessageBox.h"
#include "ui/windows/DisplayWindows.h"
#include "ui/windows/GaugePaintBox.h"
#include "ui/windows/Icons.h"
#include "ui/windows/SettingsFiles.h"

#include <QAction>
#include <QCloseEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
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
#include <cstdio>
#include <utility>

namespace {

constexpr int CountsPeriodMs = 250;
constexpr Qt::Key PlayKey = Qt::Key_F5;
constexpr Qt::Key PauseKey = Qt::Key_F6;
constexpr const char* PlayHint = "Запуск обработки сигнала (F5)";
constexpr const char* PauseHint = "Приостановка обработки сигнала (F6)";
constexpr const char* RepeatHint = "Повтор файла: по достижении конца файл начинается сначала";

const char* const GraphNames[] = {"Входной сигнал", "Выходной сигнал", "График производительности",
                                  "АЧХ фильтра", "АЧХ системы фильтров"};

} // namespace

TDSPForm::TDSPForm(TSetUpHost setUpHost, std::unique_ptr<TPlaybackDevsList> outputs,
                   std::unique_ptr<TRecordingDevice> input)
    : host(std::move(setUpHost)), notify(*this), modal(*this, [this] { CloseSetUp(); }) {
  setWindowTitle(QStringLiteral("Обработка сигнала"));
  // A throw leaves the constructor: the set-up releases the devices, which closes them.
  SetUp = std::make_unique<TProcessingSetUp>(std::move(input));
  SetUp->OpenOutputs(std::move(outputs), notify);
  SetUp->Worker()->HoldAtEnd(true);          // the end of a file leaves the set-up to be played again
  SetUp->Worker()->PaceWithoutOutputs(true); // a file shown without outputs is shown at its own pace

  const TWaveFormat& format = SetUp->Input()->Buffer().Format();
  const double floorDb = AmplitudeToDb(1.0 / std::pow(2.0, format.wBitsPerSample));
  for (int c = 0; c < std::min<int>(format.nChannels, 2); ++c) {
    Gauges[static_cast<size_t>(c)] = std::make_unique<TLevelGauge>(TRect{0, 0, 0, 0}, floorDb);
  }
  setContextMenuPolicy(Qt::PreventContextMenu); // no menu to hide the tool bars
  setWindowIcon(ProgramIcon());
  BuildToolBars();
  BuildClient();
  BuildStatusBar();
  chainEditor = std::make_unique<TChainEditor>(*FilterListBox, *this, modal, host.FilterSelection,
                                               host.FilterDialogs, [this] { return ChainList(); });
  connect(chainEditor.get(), &TChainEditor::Changed, this, &TDSPForm::SelectionRule);
  files = std::make_unique<TSettingsFiles>(
      *this, modal, host.Plugins, [this] { return host.FilesInUse ? host.FilesInUse(this) : TFileUses(); });
  SaveFilterDialog = files->SaveFilterDialog;
  OpenFilterDialog = files->OpenFilterDialog;
  SaveChainDialog = files->SaveChainDialog;
  OpenChainDialog = files->OpenChainDialog;
  displays = std::make_unique<TDisplayWindows>(*this, *host.ChildArea, keyActions);
  connect(DSPGraphView, &QTreeWidget::itemDoubleClicked, this, &TDSPForm::DSPGraphViewDblClick);
  OnKeys(*DSPGraphView, {Qt::Key_Return, Qt::Key_Space},
         [this] { DSPGraphViewDblClick(DSPGraphView->currentItem()); });
  resize(FormWidth, FormHeight);
  setMinimumSize(MinFormSize / 2, MinFormSize / 2); // the child window enforces the Part's minimum
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

void TDSPForm::BuildToolBars() {
  PlayBar = addToolBar(QStringLiteral("PlayBar"));
  ChainBar = addToolBar(QStringLiteral("ChainBar"));
  for (QToolBar* bar : {PlayBar, ChainBar}) {
    bar->setMovable(false);
    bar->setFloatable(false);
    bar->setIconSize(QSize(19, 19));
    // Buttons side by side as a classic tool bar packs them: all of them fit the window's default width.
    bar->layout()->setSpacing(0);
    bar->setContentsMargins(0, 0, 0, 0);
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
  AddFromFileBtn = AddButton(ChainBar, "document-import", "add-file",
                             "Добавление в систему фильтра из файла его параметров (Ctrl+Shift+O)", true,
                             &TDSPForm::AddFromFileBtnClick);
  // The keys of Play, Pause and adding from a file, for this window and its display windows while one of them
  // (or a control in it) has the focus; the space bar stays the filter list's, for the check boxes.
  for (const auto& [key, click] : {std::pair{QKeyCombination(PlayKey), &TDSPForm::PlayBtnClick},
                                   std::pair{QKeyCombination(PauseKey), &TDSPForm::PauseBtnClick},
                                   std::pair{AddFromFileKey, &TDSPForm::AddFromFileBtnClick}}) {
    auto* action = new QAction(this);
    action->setShortcut(QKeySequence(key));
    action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(action, &QAction::triggered, this, click);
    addAction(action);
    keyActions.push_back(action);
  }
}

// The filter list and the tree of displays one above the other, the gauges beside them.
void TDSPForm::BuildClient() {
  auto* client = new QWidget(this);
  auto* row = new QHBoxLayout(client);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(0);

  Splitter = new QSplitter(Qt::Vertical, client);
  FilterListBox = new QListWidget(Splitter);
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
  // Tall enough for every row of the tree, the last one too, at the font and scale in use.
  const int rows = 1 + static_cast<int>(std::size(GraphNames));
  const int treeHeight = rows * DSPGraphView->sizeHintForRow(0) + 2 * DSPGraphView->frameWidth();
  Splitter->setSizes({FormHeight, std::max(GraphViewHeight, treeHeight)});
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
}

void TDSPForm::BuildStatusBar() {
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
  case TDSPState::Ended:
    return QStringLiteral("Состояние: достигнут конец файла, обработка остановлена");
  case TDSPState::Failed:
    return QStringLiteral("Состояние: ошибка при завершении файла");
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
  SilenceGauges();
  UpdateCounts();
}

void TDSPForm::SilenceGauges() {
  for (const std::unique_ptr<TLevelGauge>& gauge : Gauges) {
    if (gauge) {
      gauge->SetLevel(gauge->Floor);
    }
  }
  PaintBox->DrawBars();
}

// ---- The chain and its files --------------------------------------------------------------------

int TDSPForm::SelectedIndex() const {
  return chainEditor->SelectedIndex();
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
  SaveAllBtn->setEnabled(count > 0);
  BuildGraphAllBtn->setEnabled(count > 0);
}

void TDSPForm::AddBtnClick() {
  chainEditor->Add();
}

void TDSPForm::AddFromFileBtnClick() {
  if (ChainList() == nullptr || !chainEditor->RoomForOne()) {
    return;
  }
  if (std::unique_ptr<TFilter> filter = files->NewFilter(ChainList()->SampleRate())) {
    chainEditor->Append(std::move(filter));
  }
}

void TDSPForm::DelBtnClick() {
  chainEditor->DeleteSelected();
}

void TDSPForm::UpBtnClick() {
  chainEditor->MoveSelected(-1);
}

void TDSPForm::DownBtnClick() {
  chainEditor->MoveSelected(+1);
}

void TDSPForm::SaveBtnClick() {
  if (const std::optional<int> i = chainEditor->Selected()) {
    files->SaveFilter(*ChainList(), *i);
  }
}

void TDSPForm::LoadBtnClick() {
  if (const std::optional<int> i = chainEditor->Selected()) {
    files->LoadFilter(*ChainList(), *i);
  }
}

void TDSPForm::SaveAllBtnClick() {
  if (ChainList()) {
    files->SaveChain(*ChainList());
  }
}

void TDSPForm::LoadAllBtnClick() {
  if (ChainList()) {
    files->LoadChain(*ChainList(), [this] { chainEditor->Rebuild(); });
  }
}

// ---- Displays ----------------------------------------------------------------------------------

const QString& TDSPForm::SetUpName() const {
  return displays->SetUpName();
}

void TDSPForm::SetSetUpName(const QString& name) {
  displays->SetSetUpName(name);
}

std::vector<QMdiSubWindow*> TDSPForm::DisplayWindows() const {
  return displays->Windows();
}

void TDSPForm::BuildGraphBtnClick() {
  if (const std::optional<int> i = chainEditor->Selected()) {
    displays->OpenResponse(ChainList()->Item(*i), *ChainList(), *FilterListBox->model());
  }
}

void TDSPForm::BuildGraphAllBtnClick() {
  if (ChainList()) {
    displays->OpenResponse(nullptr, *ChainList(), *FilterListBox->model());
  }
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
  case 1:
    displays->OpenSignal(static_cast<uint32_t>(index), item->text(0), block.Format(),
                         static_cast<uint32_t>(shown));
    break;
  case 2:
    displays->OpenPerformance(block.CapacityFrames(), shown, rate);
    break;
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
    const auto* n = static_cast<const TDSPNotifyEvent*>(e);
    if (n->WParam == 2) {
      InputEnded(n->Report);
    } else {
      WorkerEnded(n->Report);
    }
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
  displays->ShowBlock(*block);
  // The gauges show the peak of every pass since the last update, not only of the newest block; a
  // block that arrives after a pause or the end raises them no more.
  for (size_t c = 0; c < Gauges.size() && state == TDSPState::Processing; ++c) {
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
  chainEditor->StopAdding();
  SetState(state);
  UpdateCounts();
  if (report && !modal.ClosePending()) {
    QMessageBox* box = NewDSPExceptionBox(host.BoxOwner, *report);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // The window closes once the box is dismissed; a window already gone is not touched.
    connect(box, &QDialog::finished, this, &TDSPForm::CloseSetUp);
    box->open();
    return;
  }
  CloseSetUp();
}

void TDSPForm::InputEnded(const std::optional<TDSPException>& notice) {
  if (ending) {
    return;
  }
  SetState(TDSPState::Ended);
  SilenceGauges();
  UpdateCounts();
  if (notice && !modal.ClosePending()) {
    QMessageBox* box = NewDSPExceptionBox(host.BoxOwner, *notice);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
  }
}

// ---- Closing -----------------------------------------------------------------------------------

void TDSPForm::BeginEnd(TCloseReport report) {
  closeReport = report;
  if (SetUp) {
    SetUp->Abort();
  }
}

std::vector<std::string> TDSPForm::FilesRecorded() const {
  std::vector<std::string> files;
  const TPlaybackDevsList* outputs = Outputs();
  if (outputs == nullptr || (state != TDSPState::Processing && state != TDSPState::Paused)) {
    return files;
  }
  for (int i = 0; i < outputs->Count(); ++i) {
    if (const TPlaybackDevice* output = outputs->Item(i)) {
      if (std::string name = DeviceFileName(*output); !name.empty()) {
        files.push_back(ShownFileName(name, true));
      }
    }
  }
  return files;
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
  if (!tornDown) {
    Teardown();
    if (!closeFailures.empty() && closeReport == TCloseReport::Box) {
      // The window stays, marked as failed, until the boxes have said which files are not whole.
      e->ignore();
      ending = true;
      chainEditor->StopAdding();
      SetState(TDSPState::Failed);
      ShowCloseFailure(0);
      return;
    }
    for (const TDSPException& failure : closeFailures) {
      std::fprintf(stderr, "%s\n", ComposeDSPMessage(failure).Text.c_str());
    }
  }
  e->accept();
  if (host.Closed) {
    host.Closed(!closeFailures.empty());
  }
}

void TDSPForm::ShowCloseFailure(size_t index) {
  if (index >= closeFailures.size()) {
    CloseSetUp();
    return;
  }
  QMessageBox* box = NewDSPExceptionBox(host.BoxOwner, closeFailures[index]);
  box->setAttribute(Qt::WA_DeleteOnClose);
  connect(box, &QDialog::finished, this, [this, index] { ShowCloseFailure(index + 1); });
  box->open();
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
  displays->CloseAll();
  // The worker, the input, the outputs and the chain, in that order; then the gauges.
  if (SetUp) {
    closeFailures = SetUp->Teardown();
  }
  SetUp.reset();
  for (std::unique_ptr<TLevelGauge>& gauge : Gauges) {
    gauge.reset();
  }
}

#include "app/windows/DSPForm.h"

#include "app/windows/DSPMessageBox.h"
#include "app/windows/GaugePaintBox.h"
#include "app/windows/Icons.h"
#include "devices/dialogs/FileDialog.h"
#include "displays/DSPGraphFrm.h"
#include "displays/DSPPerfForm.h"
#include "displays/FilterSpectrumForm.h"
#include "dsp/CRCStreams.h"
#include "dsp/FilterCatalogue.h"
#include "dsp/FilterError.h"
#include "filters/Transforms.h"
#include "filters/dialogs/EchoDlg.h"
#include "filters/dialogs/LHPassFilterDlg.h"
#include "filters/dialogs/MultiBandFilterDlg.h"
#include "filters/dialogs/ReverbDlg.h"
#include "filters/dialogs/SelectFilterDialog.h"

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
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>

#include <algorithm>
#include <cmath>

namespace {

constexpr const char* FilterFileFilter = "Файлы параметров фильтра (*.flt)|*.flt|Все файлы (*.*)|*.*";
constexpr const char* ChainFileFilter = "Файлы параметров фильтров (*.lst)|*.lst|Все файлы (*.*)|*.*";
constexpr int CountsPeriodMs = 250;

const char* const GraphNames[] = {"Входной сигнал", "Выходной сигнал", "График производительности",
                                  "АЧХ фильтра", "АЧХ системы фильтров"};

} // namespace

TDSPForm::TDSPForm(const TDSPFormContext& context, std::unique_ptr<TPlaybackDevsList> outputs,
                   std::unique_ptr<TRecordingDevice> input)
    : InputDevice(std::move(input)), OutputDevices(std::move(outputs)), context(context), notify(*this),
      modal(*this, [this] { CloseSetUp(); }) {
  setWindowTitle(QStringLiteral("Обработка сигнала"));
  if (!OutputDevices) {
    OutputDevices = std::make_unique<TPlaybackDevsList>();
  }
  // A throw leaves the constructor: the members release the devices, which closes them.
  InputDevice->Open();
  OutputDevices->OpenAll();

  const TWaveFormat& format = InputDevice->Buffer().Format();
  Chain = std::make_unique<TFilterList>(static_cast<int32_t>(format.nSamplesPerSec));
  Worker = std::make_unique<TProcessingThread>(*Chain, *OutputDevices, *InputDevice, notify);
  const double floorDb = AmplitudeToDb(1.0 / std::pow(2.0, format.wBitsPerSample));
  for (int c = 0; c < std::min<int>(format.nChannels, 2); ++c) {
    Gauges[static_cast<size_t>(c)] = std::make_unique<TLevelGauge>(TRect{0, 0, 0, 0}, floorDb);
  }
  BuildControls();
  SetState(TDSPState::Ready);
  UpdateCounts();
  countsClock.start();
}

TDSPForm::~TDSPForm() {
  Teardown();
}

// ---- Controls ----------------------------------------------------------------------------------

QToolButton* TDSPForm::AddButton(QToolBar* bar, const char* themeName, const char* resource, bool enabled,
                                 void (TDSPForm::*click)()) {
  auto* button = new QToolButton(bar);
  button->setIcon(SonolabIcon(themeName, resource));
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
  PlayBtn = AddButton(PlayBar, "media-playback-start", "play", true, &TDSPForm::PlayBtnClick);
  PauseBtn = AddButton(PlayBar, "media-playback-pause", "pause", false, &TDSPForm::PauseBtnClick);
  AddBtn = AddButton(ChainBar, "list-add", "add", true, &TDSPForm::AddBtnClick);
  DelBtn = AddButton(ChainBar, "list-remove", "delete", false, &TDSPForm::DelBtnClick);
  UpBtn = AddButton(ChainBar, "go-up", "up", false, &TDSPForm::UpBtnClick);
  DownBtn = AddButton(ChainBar, "go-down", "down", false, &TDSPForm::DownBtnClick);
  ChainBar->addSeparator();
  BuildGraphBtn = AddButton(ChainBar, nullptr, "response-filter", false, &TDSPForm::BuildGraphBtnClick);
  BuildGraphAllBtn = AddButton(ChainBar, nullptr, "response-chain", false, &TDSPForm::BuildGraphAllBtnClick);
  ChainBar->addSeparator();
  SaveBtn = AddButton(ChainBar, "document-save", "save", false, &TDSPForm::SaveBtnClick);
  LoadBtn = AddButton(ChainBar, "document-open", "load", false, &TDSPForm::LoadBtnClick);
  SaveAllBtn = AddButton(ChainBar, nullptr, "save-all", false, &TDSPForm::SaveAllBtnClick);
  LoadAllBtn = AddButton(ChainBar, nullptr, "load-all", true, &TDSPForm::LoadAllBtnClick);

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
  statusBar()->addWidget(StatusLabel, 1);
  statusBar()->addPermanentWidget(CountsLabel);
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
  const uint64_t dropouts = Worker ? Worker->Dropouts() : 0;
  const uint64_t clipped = Worker ? Worker->ClippedSamples() : 0;
  CountsLabel->setText(QStringLiteral("пропусков: %1 · перегрузок: %2").arg(dropouts).arg(clipped));
  const std::optional<TRealtimeOutcome> realtime = Worker ? Worker->Realtime() : std::nullopt;
  if (realtime && RealtimeLabel->text().isEmpty()) {
    RealtimeLabel->setText(
        QStringLiteral("· РВ: %1").arg(QString::fromStdString(DescribeRealtimeWay(*realtime))));
    RealtimeLabel->setToolTip(
        QStringLiteral("Приоритет реального времени потоков звука: %1%2")
            .arg(QString::fromStdString(DescribeRealtimeWay(*realtime)),
                 QString::fromStdString(realtime->Why.empty() ? "" : " (" + realtime->Why + ")")));
  }
  if (const uint32_t grown = Worker ? Worker->ServerBufferGrowthMs() : 0; grown > 0) {
    CountsLabel->setToolTip(
        QStringLiteral("Буфер сервера звука после пропусков увеличен на %1 мс").arg(grown));
  }
}

void TDSPForm::PlayBtnClick() {
  if (!Worker || ending || state == TDSPState::Processing) {
    return;
  }
  try {
    Worker->ResumeProcessing();
  } catch (const TDSPException& e) {
    // The devices would not start: nothing can run in this set-up. Stop what did start.
    try {
      Worker->PauseProcessing();
    } catch (const TDSPException&) {
    }
    WorkerEnded(e);
    return;
  }
  SetState(TDSPState::Processing);
}

void TDSPForm::PauseBtnClick() {
  if (!Worker || ending || state != TDSPState::Processing) {
    return;
  }
  try {
    Worker->PauseProcessing();
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
  const int count = Chain ? Chain->Count() : 0;
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
  for (int i = 0; i < Chain->Count(); ++i) {
    AppendFilterItem(*Chain->Item(i), Chain->IsEnabled(i));
  }
  updatingList = false;
  FilterListBox->clearSelection();
  FilterListBox->setCurrentRow(-1);
  SaveAllBtn->setEnabled(Chain->Count() > 0);
  BuildGraphAllBtn->setEnabled(Chain->Count() > 0);
  SelectionRule();
}

void TDSPForm::FilterListBoxClickCheck(QListWidgetItem* item) {
  if (updatingList || !Chain) {
    return;
  }
  const int i = FilterListBox->row(item);
  if (i < 0 || i >= Chain->Count()) {
    return;
  }
  const bool on = item->checkState() == Qt::Checked;
  if (on != Chain->IsEnabled(i)) {
    Chain->SetEnabled(i, on); // switching off clears the filter's state
  }
}

void TDSPForm::FilterListBoxDblClick() {
  const int i = SelectedIndex();
  if (!Chain || i < 0 || i >= Chain->Count()) {
    return;
  }
  const TFilterDialogs& d = context.FilterDialogs;
  TModalActions::TScope scope(modal, {d.LHPass, d.Echo, d.Reverb, d.MultiBand});
  EditFilter(d, *Chain->Item(i));
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
  if (!Chain || ending) {
    return;
  }
  if (Chain->Count() >= TFilterList::MaxFilters) {
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
  std::unique_ptr<TFilter> filter = CreateFilter(type, Chain->SampleRate());
  if (!filter) {
    return; // a type without a class
  }
  {
    const TFilterDialogs& d = context.FilterDialogs;
    TModalActions::TScope scope(modal, {d.LHPass, d.Echo, d.Reverb, d.MultiBand});
    EditFilter(d, *filter);
    if (modal.ClosePending()) {
      return;
    }
  }
  const TFilter& added = *filter;
  Chain->Add(std::move(filter)); // whatever the dialog's result
  AppendFilterItem(added, true);
  SelectionRule();
  SaveAllBtn->setEnabled(true);
  BuildGraphAllBtn->setEnabled(true);
}

void TDSPForm::DelBtnClick() {
  const int i = SelectedIndex();
  if (!Chain || i < 0 || i >= Chain->Count()) {
    return;
  }
  Chain->Delete(i);
  updatingList = true;
  delete FilterListBox->takeItem(i);
  updatingList = false;
  FilterListBox->clearSelection();
  FilterListBox->setCurrentRow(-1);
  SelectionRule();
  SaveAllBtn->setEnabled(Chain->Count() > 0);
  BuildGraphAllBtn->setEnabled(Chain->Count() > 0);
}

void TDSPForm::MoveSelected(int by) {
  const int i = SelectedIndex();
  const int j = i + by;
  if (!Chain || i < 0 || j < 0 || j >= Chain->Count()) {
    return;
  }
  Chain->Swap(i, j);
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
  if (!Chain || i < 0 || i >= Chain->Count()) {
    return;
  }
  const std::optional<std::string> name = PickFile(SaveFilterDialog);
  if (!name) {
    return;
  }
  TModalActions::TScope scope(modal, {});
  try {
    SaveFilterFile(*Chain->Item(i), *name);
  } catch (const TFilterError& e) {
    ShowFileError(QString::fromUtf8(e.what()));
  }
}

void TDSPForm::LoadBtnClick() {
  const int i = SelectedIndex();
  if (!Chain || i < 0 || i >= Chain->Count()) {
    return;
  }
  const std::optional<std::string> name = PickFile(OpenFilterDialog);
  if (!name) {
    return;
  }
  TModalActions::TScope scope(modal, {});
  try {
    LoadFilterFile(*Chain->Item(i), *name);
  } catch (const TFilterError& e) {
    ShowFileError(QString::fromUtf8(e.what()));
  }
}

void TDSPForm::SaveAllBtnClick() {
  if (!Chain) {
    return;
  }
  const std::optional<std::string> name = PickFile(SaveChainDialog);
  if (!name) {
    return;
  }
  TModalActions::TScope scope(modal, {});
  try {
    SaveChainFile(*Chain, *name);
  } catch (const TFilterError& e) {
    ShowFileError(QString::fromUtf8(e.what()));
  }
}

void TDSPForm::LoadAllBtnClick() {
  if (!Chain) {
    return;
  }
  const std::optional<std::string> name = PickFile(OpenChainDialog);
  if (!name) {
    return;
  }
  TModalActions::TScope scope(modal, {});
  try {
    LoadChainFile(*Chain, *name);
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
  displays.emplace_back(window);
  window->show();
  window->resize(window->size() - display->size() + design);
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
  if (!Chain || i < 0 || i >= Chain->Count()) {
    return;
  }
  OpenDisplay(new TFilterSpectrumForm(nullptr, false, Chain->Item(i), nullptr));
}

void TDSPForm::BuildGraphAllBtnClick() {
  if (!Chain) {
    return;
  }
  OpenDisplay(new TFilterSpectrumForm(nullptr, true, nullptr, Chain.get()));
}

void TDSPForm::DSPGraphViewDblClick(QTreeWidgetItem* item) {
  if (item == nullptr || item->parent() == nullptr || !InputDevice) {
    return; // the root, or nothing
  }
  const int index = item->parent()->indexOfChild(item);
  const TAudioBuffer& block = InputDevice->Buffer();
  const uint32_t rate = block.Format().nSamplesPerSec;
  switch (index) {
  case 0:
  case 1: {
    auto* graph = new TDSPGraphFrm(nullptr, item->text(0));
    graph->Signal = static_cast<uint32_t>(index);
    graph->OwnerForm = this;
    graph->SetFormat(block.Format(), static_cast<uint32_t>(block.Frames()));
    OpenDisplay(graph);
    graphs.emplace_back(graph);
    break;
  }
  case 2: {
    const auto blockMs =
        static_cast<int32_t>(rate == 0 ? 0 : uint64_t{static_cast<uint32_t>(block.Frames())} * 1000 / rate);
    auto* perf = new TDSPPerfForm(nullptr, blockMs);
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
    const auto* n = static_cast<const TDSPNotifyEvent*>(e);
    if (n->WParam == 0) {
      ServeBlock();
    } else {
      WorkerEnded(n->Report);
    }
    return true;
  }
  return QMainWindow::event(e);
}

void TDSPForm::ServeBlock() {
  if (!Worker) {
    return;
  }
  const TPublishedBlock* block = Worker->TakeNewestBlock();
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
  for (size_t c = 0; c < Gauges.size(); ++c) {
    if (Gauges[c]) {
      Gauges[c]->SetLevel(BlockChannelLevel(block->Input, static_cast<int>(c), Gauges[c]->Floor));
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
  if (Worker) {
    Worker->Terminate();
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
  if (Worker) {
    Worker->Terminate();
    Worker->WaitFor();
  }
  // The Part's order: the worker, the input, the outputs, the chain and the gauges, then the displays.
  Worker.reset();
  InputDevice.reset();
  OutputDevices.reset();
  Chain.reset();
  for (std::unique_ptr<TLevelGauge>& gauge : Gauges) {
    gauge.reset();
  }
  for (const QPointer<QMdiSubWindow>& window : displays) {
    delete window.data();
  }
  displays.clear();
  graphs.clear();
  perfs.clear();
}

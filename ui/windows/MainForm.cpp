// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/windows/MainForm.h"

#include "devices/FileChecks.h"
#include "ui/dialogs/DialogLayout.h"
#include "ui/dialogs/SelectDevicesDlg.h"
#include "ui/dialogs/SelectFilterDialog.h"
#include "ui/windows/ChildWindows.h"
#include "ui/windows/DSPMessageBox.h"
#include "ui/windows/Icons.h"
#include "ui/windows/SettingsFiles.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QListWidget>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QStatusBar>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <cmath>

TMainForm::TMainForm(QWidget* parent) : QMainWindow(parent), modal(*this, [this] { close(); }) {
  setWindowTitle(QString::fromUtf8(ApplicationTitle));
  setWindowIcon(ProgramIcon());
  resize(FormWidth, FormHeight);

  ClientArea = new QMdiArea(this);
  ClientArea->setBackground(palette().color(QPalette::Dark));
  ClientArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  ClientArea->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  ClientArea->setActivationOrder(QMdiArea::CreationOrder);
  setCentralWidget(ClientArea);
  statusBar()->setSizeGripEnabled(true);

  iFile = menuBar()->addMenu(QStringLiteral("&Файл"));
  iBeginDSP = AddItem(iFile, "&Начать обработку сигнала", "Выбор устройств и начало обработки сигнала",
                      &TMainForm::iBeginDSPClick);
  iBeginDSP->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  // The key is the processing windows' own (as F5 and F6 are), only shown here.
  iAddFromFile = iFile->addAction(QString::fromUtf8(AddFromFileCaption) + QLatin1Char('\t') +
                                  QKeySequence(AddFromFileKey).toString(QKeySequence::NativeText));
  iAddFromFile->setStatusTip(QStringLiteral("Добавление в систему фильтров активного окна фильтра из файла"));
  iAddFromFile->setEnabled(false);
  connect(iAddFromFile, &QAction::triggered, this, [this] {
    if (TDSPForm* form = ActiveSetUp()) {
      form->AddFromFileBtnClick();
    }
  });
  iSeparator = iFile->addSeparator();
  iExit = AddItem(iFile, "В&ыход", "Завершение работы с программой", &TMainForm::iExitClick);
  iExit->setShortcut(QKeySequence(Qt::ALT | Qt::Key_F4));

  iWindows = menuBar()->addMenu(QStringLiteral("&Окна"));
  iCascade =
      AddItem(iWindows, "&Каскадом", "Упорядочивание окон одно поверх другого", &TMainForm::iCascadeClick);
  iTileHoriz = AddItem(iWindows, "Упорядочить по &горизонтали",
                       "Распределение окон равномерно по горизонтали", &TMainForm::iTileHorizClick);
  iTileVert = AddItem(iWindows, "Упорядочить по &вертикали", "Распределение окон равномерно по вертикали",
                      &TMainForm::iTileVertClick);
  iTileGrid = AddItem(iWindows, "Упорядочить с&еткой", "Распределение окон равномерно по строкам и столбцам",
                      &TMainForm::iTileGridClick);
  iNext = AddItem(iWindows, "&Следующее", "Переход на следующее окно", &TMainForm::iNextClick);
  iPrevious = AddItem(iWindows, "&Предыдущее", "Переход на предыдущее окно", &TMainForm::iPreviousClick);
  connect(iWindows, &QMenu::aboutToShow, this, &TMainForm::RebuildWindowList);
  connect(ClientArea, &QMdiArea::subWindowActivated, this, &TMainForm::RebuildWindowList);
}

TMainForm::~TMainForm() {
  // Every set-up ends (its worker, then its devices) before the child area goes.
  const std::vector<TDSPForm*> setUps = SetUps();
  for (TDSPForm* form : setUps) {
    form->BeginEnd();
  }
  for (TDSPForm* form : setUps) {
    delete form->parentWidget();
  }
}

void TMainForm::SetDialogs(TSelectDevicesDlg* selectDevices, TSelectFilterDialog* selectFilter,
                           const TFilterDialogs& dialogs) {
  selectDevicesDlg = selectDevices;
  selectFilterDialog = selectFilter;
  filterDialogs = dialogs;
  // What the open set-ups read and write: a new set-up may neither overwrite nor share any of it.
  selectDevicesDlg->SetFilesInUse([this] { return FilesInUse(nullptr); });
}

TFileUses TMainForm::FilesInUse(const QWidget* asking) const {
  TFileUses uses;
  for (const TDSPForm* form : SetUps()) {
    const bool elsewhere = form != asking;
    if (const TRecordingDevice* input = form->Input()) {
      const std::string name = DeviceFileName(*input);
      if (!name.empty()) {
        uses.AddInput(FileKeyOf(name, STDIN_FILENO), elsewhere);
      }
    }
    const TPlaybackDevsList* outputs = form->Outputs();
    for (int i = 0; outputs != nullptr && i < outputs->Count(); ++i) {
      const std::string name = outputs->Item(i) ? DeviceFileName(*outputs->Item(i)) : std::string();
      if (!name.empty()) {
        uses.AddOutput(FileKeyOf(name, STDOUT_FILENO), elsewhere);
      }
    }
  }
  return uses;
}

QAction* TMainForm::AddItem(QMenu* menu, const char* caption, const char* hint, void (TMainForm::*click)()) {
  QAction* item = menu->addAction(QString::fromUtf8(caption));
  item->setStatusTip(QString::fromUtf8(hint));
  connect(item, &QAction::triggered, this, click);
  return item;
}

std::vector<TDSPForm*> TMainForm::SetUps() const {
  std::vector<TDSPForm*> forms;
  for (QMdiSubWindow* window : ClientArea->subWindowList(QMdiArea::CreationOrder)) {
    if (auto* form = qobject_cast<TDSPForm*>(window->widget())) {
      forms.push_back(form);
    }
  }
  return forms;
}

// ---- A processing set-up -------------------------------------------------------------------------

void TMainForm::iBeginDSPClick() {
  if (selectDevicesDlg == nullptr || closePending) {
    return;
  }
  TModalActions::TScope scope(modal, {selectDevicesDlg});
  if (selectDevicesDlg->exec() != QDialog::Accepted || modal.ClosePending()) {
    return;
  }
  std::unique_ptr<TRecordingDevice> input = selectDevicesDlg->TakeInputDevice();
  std::unique_ptr<TPlaybackDevsList> outputs = selectDevicesDlg->TakeOutputDevices();
  if (!input) {
    return;
  }
  // A file set-up is known by its file, any other by its input; a second one of the same name is
  // numbered.
  const std::string file = DeviceFileName(*input);
  const QString base = file.empty()  ? selectDevicesDlg->InputName
                       : file == "-" ? QString::fromStdString(ShownFileName(file, false))
                                     : QFileInfo(QString::fromStdString(file)).fileName();
  const QString name = DistinctName(base, [this](const QString& n) {
    const std::vector<TDSPForm*> open = SetUps();
    return std::any_of(open.begin(), open.end(), [&](const TDSPForm* f) { return f->SetUpName() == n; });
  });
  std::unique_ptr<TDSPForm> form;
  try {
    form = std::make_unique<TDSPForm>(SetUpHost(), std::move(outputs), std::move(input));
  } catch (const TDSPException& e) {
    // Opening a device failed: the devices are released and no window remains.
    const QPointer<QMessageBox> box = NewDSPExceptionBox(this, e);
    TModalActions::TScope boxScope(modal, {box.data()});
    box->exec();
    delete box.data();
    return;
  }
  form->SetSetUpName(name);
  form->setWindowTitle(SetUpCaption(selectDevicesDlg->InputName, name, !file.empty()));
  TDSPForm* shown = form.get();
  QMdiSubWindow* window = ClientArea->addSubWindow(form.release());
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->setMinimumSize(TDSPForm::MinFormSize, TDSPForm::MinFormSize);
  window->resize(TDSPForm::FormWidth, TDSPForm::FormHeight);
  window->show();
  KeepInside(*ClientArea, *window);
  ClientArea->setActiveSubWindow(window);
  shown->FilterListBox->setFocus();
}

TSetUpHost TMainForm::SetUpHost() {
  return {.ChildArea = ClientArea,
          .BoxOwner = this,
          .FilterSelection = selectFilterDialog,
          .FilterDialogs = filterDialogs,
          .Plugins = selectFilterDialog != nullptr ? selectFilterDialog->Plugins() : nullptr,
          .FilesInUse = [this](const QWidget* asking) { return FilesInUse(asking); },
          .Closed = [this](bool filesFailed) { SetUpClosed(filesFailed); }};
}

void TMainForm::SetUpClosed(bool filesFailed) {
  if (filesFailed) {
    exitStatus = 1;
  }
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (closePending) {
          close();
        }
      },
      Qt::QueuedConnection);
}

// ---- Closing -----------------------------------------------------------------------------------

void TMainForm::iExitClick() {
  close();
}

void TMainForm::CloseOnSignal(int signal) {
  unattended = true;
  exitStatus = exitStatus != 0 ? exitStatus : 128 + signal;
  close();
}

bool TMainForm::MayCloseWhileRecording() {
  QStringList files;
  for (const TDSPForm* form : SetUps()) {
    for (const std::string& file : form->FilesRecorded()) {
      files << QString::fromStdString(file);
    }
  }
  if (files.isEmpty()) {
    return true;
  }
  const QPointer<QMessageBox> box =
      NewQuestionBox(this, QStringLiteral("Идёт запись в %1:\n%2\n\nЗавершить работу программы? Запись будет "
                                          "остановлена, записанное сохранится.")
                               .arg(files.size() == 1 ? QStringLiteral("файл") : QStringLiteral("файлы"),
                                    files.join(QLatin1Char('\n'))));
  TModalActions::TScope scope(modal, {box.data()});
  const bool yes = box->exec() == QMessageBox::Yes;
  delete box.data();
  // A close asked for meanwhile (a signal) goes on after the question, without it.
  return yes && !modal.ClosePending();
}

void TMainForm::closeEvent(QCloseEvent* e) {
  if (modal.DeferClose()) {
    e->ignore();
    return;
  }
  if (!unattended && !closePending && !MayCloseWhileRecording()) {
    e->ignore();
    return;
  }
  const std::vector<TDSPForm*> setUps = SetUps();
  for (TDSPForm* form : setUps) {
    form->BeginEnd(unattended ? TCloseReport::StandardError : TCloseReport::Box);
  }
  bool allClosed = true;
  for (TDSPForm* form : setUps) {
    // A window whose own dialog is open ends that dialog and closes after it.
    allClosed = form->parentWidget()->close() && allClosed;
  }
  if (!allClosed) {
    closePending = true;
    e->ignore();
    return;
  }
  closePending = false;
  modal.ClearClose();
  ClientArea->closeAllSubWindows();
  e->accept();
}

// ---- Arranging the child windows -----------------------------------------------------------------

void TMainForm::iCascadeClick() {
  ClientArea->cascadeSubWindows();
}

void TMainForm::iTileHorizClick() {
  Tile(TTiling::Columns);
}

void TMainForm::iTileVertClick() {
  Tile(TTiling::Rows);
}

void TMainForm::iTileGridClick() {
  Tile(TTiling::Grid);
}

void TMainForm::iNextClick() {
  ClientArea->activateNextSubWindow();
}

void TMainForm::iPreviousClick() {
  ClientArea->activatePreviousSubWindow();
}

void TMainForm::Tile(TTiling tiling) {
  std::vector<QMdiSubWindow*> windows;
  for (QMdiSubWindow* window : ClientArea->subWindowList(QMdiArea::CreationOrder)) {
    if (window->isVisible() && !window->isMinimized()) {
      windows.push_back(window);
    }
  }
  if (windows.empty()) {
    return;
  }
  const QRect area = ClientArea->viewport()->rect();
  const int n = static_cast<int>(windows.size());
  // Beyond four windows, columns or rows would be too narrow to use: a grid, as square as it goes.
  int cols = 1;
  if (tiling == TTiling::Grid || n > MaxStrips) {
    cols = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(n))));
  } else if (tiling == TTiling::Columns) {
    cols = n;
  }
  const int rows = (n + cols - 1) / cols;
  for (int i = 0; i < n; ++i) {
    QMdiSubWindow* window = windows[static_cast<size_t>(i)];
    if (window->isMaximized()) {
      window->showNormal();
    }
    const int col = i % cols;
    const int row = i / cols;
    const int left = area.width() * col / cols;
    const int right = area.width() * (col + 1) / cols;
    const int top = area.height() * row / rows;
    const int bottom = area.height() * (row + 1) / rows;
    window->setGeometry(left, top, right - left, bottom - top);
  }
}

TDSPForm* TMainForm::ActiveSetUp() const {
  QMdiSubWindow* const active = ClientArea->activeSubWindow();
  if (active == nullptr) {
    return nullptr;
  }
  for (TDSPForm* form : SetUps()) {
    const std::vector<QMdiSubWindow*> displays = form->DisplayWindows();
    if (form->parentWidget() == active ||
        std::find(displays.begin(), displays.end(), active) != displays.end()) {
      return form;
    }
  }
  return nullptr;
}

void TMainForm::RebuildWindowList() {
  iAddFromFile->setEnabled(ActiveSetUp() != nullptr);
  for (QAction* item : windowItems) {
    iWindows->removeAction(item);
    delete item;
  }
  windowItems.clear();
  const QList<QMdiSubWindow*> windows = ClientArea->subWindowList(QMdiArea::CreationOrder);
  if (windows.isEmpty()) {
    return;
  }
  windowItems.push_back(iWindows->addSeparator());
  QMdiSubWindow* active = ClientArea->activeSubWindow();
  int number = 0;
  std::vector<QString> listed;
  for (QMdiSubWindow* window : windows) {
    ++number;
    // Two windows of one caption (two displays of one kind from one set-up) are told apart.
    QString caption = DistinctName(window->windowTitle(), [&](const QString& c) {
      return std::find(listed.begin(), listed.end(), c) != listed.end();
    });
    listed.push_back(caption);
    caption.replace(QLatin1Char('&'), QStringLiteral("&&"));
    QAction* item = iWindows->addAction(number < 10 ? QStringLiteral("&%1 %2").arg(number).arg(caption)
                                                    : QStringLiteral("%1 %2").arg(number).arg(caption));
    item->setCheckable(true);
    item->setChecked(window == active);
    const QPointer<QMdiSubWindow> target = window;
    connect(item, &QAction::triggered, this, [this, target] {
      if (target) {
        ClientArea->setActiveSubWindow(target);
      }
    });
    windowItems.push_back(item);
  }
}

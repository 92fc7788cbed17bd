// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/windows/DisplayWindows.h"

#include "engine/BlockPublisher.h"
#include "ui/displays/DSPGraphFrm.h"
#include "ui/displays/DSPPerfForm.h"
#include "ui/displays/FilterSpectrumForm.h"
#include "ui/windows/ChildWindows.h"
#include "ui/windows/Icons.h"

#include <QAbstractItemModel>
#include <QMdiArea>
#include <QMdiSubWindow>

#include <utility>

TDisplayWindows::TDisplayWindows(QObject& owner, QMdiArea& area, QList<QAction*> keys)
    : owner(owner), area(area), keys(std::move(keys)) {}

void TDisplayWindows::Prune() {
  std::erase_if(windows, [](const QPointer<QMdiSubWindow>& w) { return w.isNull(); });
  std::erase_if(graphs, [](const QPointer<TDSPGraphFrm>& w) { return w.isNull(); });
  std::erase_if(perfs, [](const QPointer<TDSPPerfForm>& w) { return w.isNull(); });
}

void TDisplayWindows::Open(QWidget* display) {
  Prune();
  const QSize design = display->size(); // the display's own design size
  QMdiSubWindow* window = area.addSubWindow(display);
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->setWindowIcon(SonolabIcon(nullptr, "graph-node"));
  window->addActions(keys);
  windows.emplace_back(window);
  // The child window's caption names this set-up after the display's own, whenever that changes (the
  // child window has just taken the display's when the signal comes).
  const auto caption = [window, display, this] {
    window->setWindowTitle(DisplayCaption(display->windowTitle(), setUpName));
  };
  QObject::connect(display, &QWidget::windowTitleChanged, window, caption);
  caption();
  window->show();
  window->resize(window->size() - display->size() + design);
  KeepInside(area, *window);
  area.setActiveSubWindow(window);
}

void TDisplayWindows::OpenSignal(uint32_t signal, const QString& caption, const TWaveFormat& format,
                                 uint32_t frames) {
  auto* graph = new TDSPGraphFrm(nullptr, caption);
  graph->Signal = signal;
  graph->OwnerForm = &owner;
  graph->SetFormat(format, frames);
  Open(graph);
  graphs.emplace_back(graph);
}

void TDisplayWindows::OpenPerformance(int32_t blockFrames, int32_t updateFrames, uint32_t rate) {
  auto* perf = new TDSPPerfForm(nullptr, blockFrames, updateFrames, rate);
  perf->OwnerForm = &owner;
  Open(perf);
  perfs.emplace_back(perf);
}

void TDisplayWindows::OpenResponse(const TFilter* filter, const TFilterList& chain,
                                   const QAbstractItemModel& shown) {
  auto* response = new TFilterSpectrumForm(nullptr, filter == nullptr, filter, &chain);
  // Every change of the chain shows in its list at once: the window follows it from there, before a
  // deleted filter's place could be taken by another.
  const auto follow = [response] { response->FollowChain(); };
  QObject::connect(&shown, &QAbstractItemModel::rowsRemoved, response, follow);
  QObject::connect(&shown, &QAbstractItemModel::rowsInserted, response, follow);
  QObject::connect(&shown, &QAbstractItemModel::modelReset, response, follow);
  QObject::connect(&shown, &QAbstractItemModel::dataChanged, response, follow);
  Open(response);
}

void TDisplayWindows::ShowBlock(const TPublishedBlock& block) {
  for (auto it = graphs.rbegin(); it != graphs.rend(); ++it) {
    TDSPGraphFrm* graph = *it;
    if (graph != nullptr && graph->OwnerForm == &owner) {
      graph->ShowBlock(graph->Signal == 0 ? block.Input : block.Output);
    }
  }
  for (auto it = perfs.rbegin(); it != perfs.rend(); ++it) {
    TDSPPerfForm* perf = *it;
    if (perf != nullptr && perf->OwnerForm == &owner) {
      perf->AddTime(block.Elapsed);
    }
  }
}

std::vector<QMdiSubWindow*> TDisplayWindows::Windows() const {
  std::vector<QMdiSubWindow*> open;
  for (const QPointer<QMdiSubWindow>& w : windows) {
    if (w) {
      open.push_back(w);
    }
  }
  return open;
}

void TDisplayWindows::CloseAll() {
  for (const QPointer<QMdiSubWindow>& window : windows) {
    delete window.data();
  }
  windows.clear();
  graphs.clear();
  perfs.clear();
}

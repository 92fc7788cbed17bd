// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/windows/ChainEditor.h"

#include "dsp/FilterError.h"
#include "dsp/FilterList.h"
#include "filters/FilterCatalogue.h"
#include "filters/lv2/PluginSlot.h"
#include "ui/dialogs/DescribedFilterDlg.h"
#include "ui/dialogs/DialogLayout.h"
#include "ui/dialogs/EchoDlg.h"
#include "ui/dialogs/EditFilter.h"
#include "ui/dialogs/LHPassFilterDlg.h"
#include "ui/dialogs/MultiBandFilterDlg.h"
#include "ui/dialogs/ReverbDlg.h"
#include "ui/dialogs/SelectFilterDialog.h"
#include "ui/windows/DSPMessageBox.h"
#include "ui/windows/ModalActions.h"

#include <QKeyEvent>
#include <QListWidget>

#include <memory>
#include <utility>

TChainEditor::TChainEditor(QListWidget& list, QWidget& window, TModalActions& modal,
                           TSelectFilterDialog* select, const TFilterDialogs& dialogs,
                           std::function<TFilterList*()> chain)
    : list(list), window(window), modal(modal), select(select), dialogs(dialogs), chain(std::move(chain)) {
  list.setSelectionMode(QAbstractItemView::SingleSelection);
  list.installEventFilter(this);
  OnKeys(list, {Qt::Key_Return, Qt::Key_F2}, [this] { EditSelected(); });
  connect(&list, &QListWidget::itemSelectionChanged, this, &TChainEditor::Changed);
  connect(&list, &QListWidget::itemClicked, this, &TChainEditor::Changed);
  connect(&list, &QListWidget::itemChanged, this, &TChainEditor::CheckClicked);
  connect(&list, &QListWidget::itemDoubleClicked, this, &TChainEditor::EditSelected);
}

int TChainEditor::SelectedIndex() const {
  const QList<QListWidgetItem*> selected = list.selectedItems();
  return selected.isEmpty() ? -1 : list.row(selected.first());
}

std::optional<int> TChainEditor::Selected() const {
  const int i = SelectedIndex();
  if (chain() == nullptr || i < 0 || i >= chain()->Count()) {
    return std::nullopt;
  }
  return i;
}

void TChainEditor::AppendItem(const TFilter& filter, bool checked) {
  auto* item = new QListWidgetItem(QString::fromUtf8(filter.Descriptor()->Name));
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
  item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
  list.addItem(item);
}

void TChainEditor::ClearSelection() {
  list.clearSelection();
  list.setCurrentRow(-1);
  emit Changed();
}

void TChainEditor::Rebuild() {
  updating = true;
  list.clear();
  for (int i = 0; i < chain()->Count(); ++i) {
    AppendItem(*chain()->Item(i), chain()->IsEnabled(i));
  }
  updating = false;
  ClearSelection();
}

void TChainEditor::CheckClicked(QListWidgetItem* item) {
  if (updating || !chain()) {
    return;
  }
  const int i = list.row(item);
  if (i < 0 || i >= chain()->Count()) {
    return;
  }
  const bool on = item->checkState() == Qt::Checked;
  if (on != chain()->IsEnabled(i)) {
    chain()->SetEnabled(i, on); // switching off clears the filter's state
  }
}

void TChainEditor::Edit(TFilter& filter) {
  const TFilterDialogs& d = dialogs;
  TModalActions::TScope scope(modal, {d.LHPass, d.Echo, d.Reverb, d.MultiBand, d.Described});
  EditFilter(d, filter);
}

void TChainEditor::EditSelected() {
  if (const std::optional<int> i = Selected()) {
    Edit(*chain()->Item(*i));
  }
}

bool TChainEditor::eventFilter(QObject* watched, QEvent* e) {
  if (watched == &list && e->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(e);
    if (key->key() == Qt::Key_Insert && key->modifiers() == Qt::NoModifier) {
      Add();
      return true;
    }
    if (key->key() == Qt::Key_Delete && key->modifiers() == Qt::NoModifier) {
      if (SelectedIndex() >= 0) {
        DeleteSelected();
      }
      return true;
    }
  }
  return QObject::eventFilter(watched, e);
}

void TChainEditor::Add() {
  TFilterList* const filters = chain();
  if (!filters || !adding) {
    return;
  }
  if (!RoomForOne()) {
    return; // said before the dialogs, so that no filter is set up only to be dropped
  }
  int type = -1;
  std::shared_ptr<const TPluginInfo> plugin;
  {
    TModalActions::TScope scope(modal, {select});
    if (select->exec() != QDialog::Accepted || modal.ClosePending()) {
      return;
    }
    type = select->SelectedIndex();
    plugin = select->SelectedPlugin();
  }
  std::unique_ptr<TFilter> filter;
  if (plugin) {
    // Instantiated and activated here, before the slot enters the chain.
    try {
      filter = std::make_unique<TPluginSlot>(select->Plugins(), plugin, filters->SampleRate());
    } catch (const TFilterError& e) {
      TModalActions::TScope scope(modal, {});
      ShowErrorBox(&window, QString::fromUtf8(e.what()));
      return;
    }
  } else {
    filter = CreateFilter(type, filters->SampleRate());
  }
  if (!filter) {
    return; // a type without a class, or no plug-in chosen
  }
  Edit(*filter);
  if (modal.ClosePending()) {
    return;
  }
  const TFilter& added = *filter;
  filters->Add(std::move(filter)); // whatever the dialog's result
  AppendItem(added, true);
  emit Changed();
}

bool TChainEditor::RoomForOne() {
  const TFilterList* const filters = chain();
  if (filters == nullptr || !adding) {
    return false;
  }
  if (filters->Count() >= TFilterList::MaxFilters) {
    TModalActions::TScope scope(modal, {});
    ShowErrorBox(&window, QString::fromUtf8(MsgChainFull));
    return false;
  }
  return true;
}

void TChainEditor::Append(std::unique_ptr<TFilter> filter) {
  TFilterList* const filters = chain();
  if (filters == nullptr || !adding || !filter || filters->Count() >= TFilterList::MaxFilters) {
    return;
  }
  const TFilter& added = *filter;
  filters->Add(std::move(filter));
  AppendItem(added, true);
  list.setCurrentRow(list.count() - 1);
  emit Changed();
}

void TChainEditor::DeleteSelected() {
  const std::optional<int> i = Selected();
  if (!i) {
    return;
  }
  chain()->Delete(*i);
  updating = true;
  delete list.takeItem(*i);
  updating = false;
  ClearSelection();
}

void TChainEditor::MoveSelected(int by) {
  const int i = SelectedIndex();
  const int j = i + by;
  if (!chain() || i < 0 || j < 0 || j >= chain()->Count()) {
    return;
  }
  chain()->Swap(i, j);
  updating = true;
  QListWidgetItem* a = list.item(i);
  QListWidgetItem* b = list.item(j);
  const QString text = a->text();
  const Qt::CheckState check = a->checkState();
  a->setText(b->text());
  a->setCheckState(b->checkState());
  b->setText(text);
  b->setCheckState(check);
  updating = false;
  list.setCurrentRow(j, QItemSelectionModel::ClearAndSelect);
  emit Changed();
}

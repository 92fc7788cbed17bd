// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TChainEditor: a processing window's filter list and the edits of its chain. The list mirrors the
// chain at all times, one row per filter captioned with its catalogue name, its check box the
// filter's switch. Adding shows the selection dialog and then the new filter's parameter dialog (the
// filter joins the chain whatever that dialog's result); a double click shows the selected filter's
// dialog; Insert adds and Delete deletes the selected filter. Changed follows every edit and every
// change of the selection, so that the window can set its buttons.
//
// Threads: user-interface thread only. Edits take the chain's lock and so wait at most for the
// block being processed.

#include <QObject>

#include <functional>
#include <memory>
#include <optional>

class QListWidget;
class QListWidgetItem;
class QWidget;
class TFilter;
class TFilterList;
class TModalActions;
class TSelectFilterDialog;
struct TFilterDialogs;

class TChainEditor : public QObject {
  Q_OBJECT

public:
  // `chain` gives the set-up's chain, or null once the set-up is gone; `window` owns the error box.
  // The dialogs are the start-up's, which outlive the window.
  TChainEditor(QListWidget& list, QWidget& window, TModalActions& modal, TSelectFilterDialog* select,
               const TFilterDialogs& dialogs, std::function<TFilterList*()> chain);

  // The index of the selected filter, -1 when none is.
  int SelectedIndex() const;
  // The selected filter's index, when a filter of the chain is selected.
  std::optional<int> Selected() const;

  void Add();
  // Whether a filter may be added; the box that says the chain is full if not.
  bool RoomForOne();
  // Adds a filter made elsewhere (from a file) at the end, checked and selected.
  void Append(std::unique_ptr<TFilter> filter);
  void DeleteSelected();
  void MoveSelected(int by);
  // The list anew from the chain, nothing selected: after the whole chain was replaced.
  void Rebuild();
  // The worker has ended: nothing more is added.
  void StopAdding() { adding = false; }

signals:
  void Changed();

protected:
  bool eventFilter(QObject* watched, QEvent* e) override;

private:
  void AppendItem(const TFilter& filter, bool checked);
  void CheckClicked(QListWidgetItem* item);
  void EditSelected();
  // The parameter dialog of a filter, as one modal action of the window.
  void Edit(TFilter& filter);
  void ClearSelection();

  QListWidget& list;
  QWidget& window;
  TModalActions& modal;
  TSelectFilterDialog* const select;
  const TFilterDialogs& dialogs;
  const std::function<TFilterList*()> chain;
  bool updating = false; // the list is being changed to match the chain
  bool adding = true;
};

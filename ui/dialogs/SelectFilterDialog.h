// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TSelectFilterDialog: "Выбор фильтра или эффекта". The first page holds the 16 catalogue names in
// catalogue order with item 0 selected at creation; the second, "Модули LV2", the installed plug-ins
// that can run in the chain, by name with their class, and a search field that keeps those whose
// name, class or URI hold its text (letter case ignored). The plug-ins are looked for when the page is
// first shown. A double click on a name ends the dialog with OK. One instance lives for the whole run
// and keeps the previous choice (and page) between showings.
//
// Threads: user-interface thread only.

#include "filters/lv2/PluginHost.h"

#include <QDialog>

#include <memory>
#include <vector>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTabWidget;
class QTreeWidget;

class TSelectFilterDialog : public QDialog {
  Q_OBJECT

public:
  // Without a host the dialog has no plug-in page.
  explicit TSelectFilterDialog(QWidget* parent = nullptr, std::shared_ptr<TPluginHost> plugins = nullptr);

  // The chosen catalogue index (the list box's item index); -1 when a plug-in is chosen.
  int SelectedIndex() const;
  // The chosen plug-in; null when a catalogue type is chosen (or no plug-in is selected).
  std::shared_ptr<const TPluginInfo> SelectedPlugin() const;
  // The plug-ins the dialog offers, and where chains find theirs.
  const std::shared_ptr<TPluginHost>& Plugins() const { return plugins; }

  // Fills the plug-in page (once) and shows the plug-ins that match the search field.
  void ShowPlugins();

  QTabWidget* Pages = nullptr;
  QLabel* Label1 = nullptr;
  QListWidget* FilterListBox = nullptr;
  QLineEdit* SearchEdit = nullptr;
  QTreeWidget* PluginList = nullptr; // columns: name, class; the URI in each item's tool tip
  QLabel* NoPluginsLabel = nullptr;
  QPushButton* OKBtn = nullptr;
  QPushButton* CancelBtn = nullptr;

protected:
  // Each showing starts in the page's list (or the plug-ins' search field): the arrow keys choose at once.
  void showEvent(QShowEvent* event) override;

private:
  void FocusPage();

  std::shared_ptr<TPluginHost> plugins;
  std::vector<std::shared_ptr<const TPluginInfo>> listed; // in the order of PluginList's items
};

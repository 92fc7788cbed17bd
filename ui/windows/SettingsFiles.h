// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TSettingsFiles: a processing window's settings files, one filter's parameters (.flt) and the whole
// chain (.lst), saved and loaded through the window's own four file dialogs. An error of a file is
// shown in a box over the window and leaves the chain as the load left it. The dialog and the box are
// each one modal action of the window, so that a close asked for meanwhile ends them first.
//
// Threads: user-interface thread only.

#include <functional>
#include <memory>
#include <optional>
#include <string>

class QFileDialog;
class QString;
class QWidget;
class TFilterList;
class TModalActions;
class TPluginHost;

class TSettingsFiles {
public:
  // The dialogs are made as children of `window`, which also owns the error boxes. A chain file's
  // plug-in slots are made from `plugins` (none without it).
  TSettingsFiles(QWidget& window, TModalActions& modal, std::shared_ptr<TPluginHost> plugins);

  // Filter `index` of the chain.
  void SaveFilter(TFilterList& chain, int index);
  void LoadFilter(TFilterList& chain, int index);
  void SaveChain(TFilterList& chain);
  // `replaced` runs once the chain has been loaded into, before an error is shown.
  void LoadChain(TFilterList& chain, const std::function<void()>& replaced);

  QFileDialog* const SaveFilterDialog;
  QFileDialog* const OpenFilterDialog;
  QFileDialog* const SaveChainDialog;
  QFileDialog* const OpenChainDialog;

private:
  // A file picked in one of the dialogs, or nothing when cancelled or closing.
  std::optional<std::string> PickFile(QFileDialog* dialog);
  // Runs a file operation as one modal action and shows its error; false when it failed.
  bool Run(const std::function<void()>& operation, const std::function<void()>& onFailure = nullptr);

  QWidget& window;
  TModalActions& modal;
  const std::shared_ptr<TPluginHost> plugins;
};

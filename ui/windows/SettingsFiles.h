// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TSettingsFiles: a processing window's settings files, one filter's parameters (.flt) and the whole
// chain (.lst), saved and loaded through the window's own four file dialogs. An error of a file is
// shown in a box over the window and leaves the chain as the load left it. A save never replaces a
// file that a set-up reads or writes, and asks before it replaces a file that is not a settings file
// of its kind. The dialog and the boxes are each one modal action of the window, so that a close asked
// for meanwhile ends them first.
//
// Threads: user-interface thread only.

#include "devices/FileChecks.h"
#include "dsp/CRCStreams.h"

#include <QKeyCombination>

#include <functional>
#include <memory>
#include <optional>
#include <string>

class QFileDialog;
class QString;
class QWidget;
class TFilter;
class TFilterList;
class TModalActions;
class TPluginHost;

// The command that adds a filter from its file, as the window and the menu call it.
inline constexpr const char* AddFromFileCaption = "Добавить фильтр из файла…";
inline constexpr QKeyCombination AddFromFileKey = Qt::CTRL | Qt::SHIFT | Qt::Key_O;

class TSettingsFiles {
public:
  // The dialogs are made as children of `window`, which also owns the error boxes. A chain file's
  // plug-in slots are made from `plugins` (none without it). `filesInUse` tells what the open
  // set-ups (this window's among them) read and write.
  TSettingsFiles(QWidget& window, TModalActions& modal, std::shared_ptr<TPluginHost> plugins,
                 std::function<TFileUses()> filesInUse);

  // Filter `index` of the chain.
  void SaveFilter(TFilterList& chain, int index);
  // Refused, naming both types, when the file holds another type than the filter's.
  void LoadFilter(TFilterList& chain, int index);
  // A new filter of the type and with the parameters of a filter file picked in OpenFilterDialog;
  // nothing when cancelled or after the error's box.
  std::unique_ptr<TFilter> NewFilter(int32_t sampleRate);
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
  // Whether settings of `kind` may go to `name`: refused (with a box) over a file a set-up uses, and
  // asked over any other file that is not of the kind.
  bool MaySave(const std::string& name, TSettingsKind kind);
  // Runs a file operation as one modal action and shows its error; false when it failed.
  bool Run(const std::function<void()>& operation, const std::function<void()>& onFailure = nullptr);

  QWidget& window;
  TModalActions& modal;
  const std::shared_ptr<TPluginHost> plugins;
  std::function<TFileUses()> filesInUse;
};

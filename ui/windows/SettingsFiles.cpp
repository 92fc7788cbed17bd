// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/windows/SettingsFiles.h"

#include "dsp/CRCStreams.h"
#include "dsp/FilterError.h"
#include "dsp/FilterList.h"
#include "filters/FilterCatalogue.h"
#include "filters/lv2/PluginSlot.h"
#include "ui/dialogs/FileDialog.h"
#include "ui/windows/DSPMessageBox.h"
#include "ui/windows/ModalActions.h"

#include <utility>

namespace {

constexpr const char* FilterFileFilter = "Файлы параметров фильтра (*.flt)|*.flt|Все файлы (*.*)|*.*";
constexpr const char* ChainFileFilter = "Файлы параметров фильтров (*.lst)|*.lst|Все файлы (*.*)|*.*";

QFileDialog* NewSettingsDialog(QWidget& window, TFileDialogKind kind, const char* filter, const char* ext) {
  return NewFileDialog(&window, kind, QString::fromUtf8(filter), QString::fromLatin1(ext));
}

} // namespace

TSettingsFiles::TSettingsFiles(QWidget& window, TModalActions& modal, std::shared_ptr<TPluginHost> plugins)
    : SaveFilterDialog(NewSettingsDialog(window, TFileDialogKind::Save, FilterFileFilter, "flt")),
      OpenFilterDialog(NewSettingsDialog(window, TFileDialogKind::Open, FilterFileFilter, "flt")),
      SaveChainDialog(NewSettingsDialog(window, TFileDialogKind::Save, ChainFileFilter, "lst")),
      OpenChainDialog(NewSettingsDialog(window, TFileDialogKind::Open, ChainFileFilter, "lst")),
      window(window), modal(modal), plugins(std::move(plugins)) {}

std::optional<std::string> TSettingsFiles::PickFile(QFileDialog* dialog) {
  TModalActions::TScope scope(modal, {dialog});
  if (ExecFileDialog(*dialog) != QDialog::Accepted || modal.ClosePending()) {
    return std::nullopt;
  }
  return ChosenFile(*dialog).toStdString();
}

bool TSettingsFiles::Run(const std::function<void()>& operation, const std::function<void()>& onFailure) {
  TModalActions::TScope scope(modal, {});
  try {
    operation();
  } catch (const TFilterError& e) {
    if (onFailure) {
      onFailure();
    }
    ShowErrorBox(&window, QString::fromUtf8(e.what()));
    return false;
  }
  return true;
}

void TSettingsFiles::SaveFilter(TFilterList& chain, int index) {
  if (const std::optional<std::string> name = PickFile(SaveFilterDialog)) {
    Run([&] { SaveFilterFile(*chain.Item(index), *name); });
  }
}

void TSettingsFiles::LoadFilter(TFilterList& chain, int index) {
  if (const std::optional<std::string> name = PickFile(OpenFilterDialog)) {
    Run([&] { LoadFilterFile(*chain.Item(index), *name); });
  }
}

void TSettingsFiles::SaveChain(TFilterList& chain) {
  if (const std::optional<std::string> name = PickFile(SaveChainDialog)) {
    Run([&] { SaveChainFile(chain, *name); });
  }
}

void TSettingsFiles::LoadChain(TFilterList& chain, const std::function<void()>& replaced) {
  if (const std::optional<std::string> name = PickFile(OpenChainDialog)) {
    // The list shows what the chain holds, whatever the load left in it.
    if (Run([&] { LoadChainFile(chain, *name, PluginAwareFactory(plugins)); }, replaced)) {
      replaced();
    }
  }
}

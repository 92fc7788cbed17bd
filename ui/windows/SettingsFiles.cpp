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

#include <QMessageBox>
#include <QPointer>

#include <unistd.h>

#include <cstring>
#include <string_view>
#include <utility>

namespace {

constexpr const char* FilterFileFilter = "Файлы параметров фильтра (*.flt)|*.flt|Все файлы (*.*)|*.*";
constexpr const char* ChainFileFilter = "Файлы параметров фильтров (*.lst)|*.lst|Все файлы (*.*)|*.*";

QFileDialog* NewSettingsDialog(QWidget& window, TFileDialogKind kind, const char* filter, const char* ext) {
  return NewFileDialog(&window, kind, QString::fromUtf8(filter), QString::fromLatin1(ext));
}

// A filter file's type, named as the catalogue names it.
std::string TypeName(int32_t type) {
  if (type == PluginSlotType) {
    return "подключаемого модуля";
  }
  const TFilterDescriptor* d = FindFilterType(type);
  return d != nullptr ? "«" + std::string(d->Name) + "»" : "неизвестного типа (" + std::to_string(type) + ")";
}

} // namespace

TSettingsFiles::TSettingsFiles(QWidget& window, TModalActions& modal, std::shared_ptr<TPluginHost> plugins,
                               std::function<TFileUses()> filesInUse)
    : SaveFilterDialog(NewSettingsDialog(window, TFileDialogKind::Save, FilterFileFilter, "flt")),
      OpenFilterDialog(NewSettingsDialog(window, TFileDialogKind::Open, FilterFileFilter, "flt")),
      SaveChainDialog(NewSettingsDialog(window, TFileDialogKind::Save, ChainFileFilter, "lst")),
      OpenChainDialog(NewSettingsDialog(window, TFileDialogKind::Open, ChainFileFilter, "lst")),
      window(window), modal(modal), plugins(std::move(plugins)), filesInUse(std::move(filesInUse)) {}

std::optional<std::string> TSettingsFiles::PickFile(QFileDialog* dialog) {
  TModalActions::TScope scope(modal, {dialog});
  if (ExecFileDialog(*dialog) != QDialog::Accepted || modal.ClosePending()) {
    return std::nullopt;
  }
  return ChosenFile(*dialog).toStdString();
}

bool TSettingsFiles::MaySave(const std::string& name, TSettingsKind kind) {
  const TFileKey key = FileKeyOf(name, STDOUT_FILENO);
  if (const std::optional<std::string> refusal = filesInUse().RefuseSave(key)) {
    TModalActions::TScope scope(modal, {});
    ShowErrorBox(&window, QString::fromStdString(*refusal));
    return false;
  }
  if (!key.HoldsOtherThanSettings(kind)) {
    return true;
  }
  const QPointer<QMessageBox> box = NewQuestionBox(
      &window, QString::fromStdString(NotSettingsFileText(key, kind)) +
                   QStringLiteral(".\nЗаменить его? Прежнее содержимое файла будет потеряно."));
  TModalActions::TScope scope(modal, {box.data()});
  const bool yes = box->exec() == QMessageBox::Yes && !modal.ClosePending();
  delete box.data();
  return yes;
}

bool TSettingsFiles::Run(const std::function<void()>& operation, const std::function<void()>& onFailure) {
  TModalActions::TScope scope(modal, {});
  try {
    operation();
  } catch (const TFilterError& e) {
    if (onFailure) {
      onFailure();
    }
    // A save that failed after its file was made says why; the old file is as it was.
    QString text = QString::fromUtf8(e.what());
    if (e.SystemError() != 0 && std::string_view(e.what()) == MsgWriteFileError) {
      text += QStringLiteral("\n") + QString::fromUtf8(::strerrordesc_np(e.SystemError()));
    }
    ShowErrorBox(&window, text);
    return false;
  }
  return true;
}

void TSettingsFiles::SaveFilter(TFilterList& chain, int index) {
  if (const std::optional<std::string> name = PickFile(SaveFilterDialog);
      name && MaySave(*name, TSettingsKind::Filter)) {
    Run([&] { SaveFilterFile(*chain.Item(index), *name); });
  }
}

void TSettingsFiles::LoadFilter(TFilterList& chain, int index) {
  if (const std::optional<std::string> name = PickFile(OpenFilterDialog)) {
    TFilter& filter = *chain.Item(index);
    Run([&] {
      // A record of another type would only be refused: say which it is, and what takes it.
      if (const int32_t type = FilterFileType(*name); type != filter.Type()) {
        throw TFilterError("В файле - параметры фильтра " + TypeName(type) + ", а выбранный фильтр - " +
                           TypeName(filter.Type()) + ". Добавить фильтр из файла в систему можно командой «" +
                           AddFromFileCaption + "».");
      }
      LoadFilterFile(filter, *name);
    });
  }
}

std::unique_ptr<TFilter> TSettingsFiles::NewFilter(int32_t sampleRate) {
  std::unique_ptr<TFilter> filter;
  if (const std::optional<std::string> name = PickFile(OpenFilterDialog)) {
    Run([&] { filter = NewFilterFromFile(*name, PluginAwareFactory(plugins), sampleRate); });
  }
  return filter;
}

void TSettingsFiles::SaveChain(TFilterList& chain) {
  if (const std::optional<std::string> name = PickFile(SaveChainDialog);
      name && MaySave(*name, TSettingsKind::Chain)) {
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

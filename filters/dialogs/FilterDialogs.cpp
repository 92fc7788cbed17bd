// The filter dialogs before their controls: the type list and EditFilter's choice of dialog.

#include "dsp/Filter.h"
#include "dsp/FilterCatalogue.h"
#include "filters/dialogs/EchoDlg.h"
#include "filters/dialogs/EditFilter.h"
#include "filters/dialogs/LHPassFilterDlg.h"
#include "filters/dialogs/MultiBandFilterDlg.h"
#include "filters/dialogs/ReverbDlg.h"
#include "filters/dialogs/SelectFilterDialog.h"

#include <QListWidget>
#include <QVBoxLayout>

TSelectFilterDialog::TSelectFilterDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Выбор фильтра или эффекта"));
  FilterListBox = new QListWidget(this);
  for (const char* name : FilterCatalogue) {
    FilterListBox->addItem(QString::fromUtf8(name));
  }
  FilterListBox->setCurrentRow(0);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(FilterListBox);
  connect(FilterListBox, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
}

int TSelectFilterDialog::SelectedIndex() const {
  return FilterListBox->currentRow();
}

TLHPassFilterDlg::TLHPassFilterDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Параметры фильтра"));
}
TEchoDlg::TEchoDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Параметры эффекта \"Эхо\""));
}
TReverbDlg::TReverbDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Параметры эффекта \"Реверберация\""));
}
TMultiBandFilterDlg::TMultiBandFilterDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Параметры многополосового фильтра"));
}

void EditFilter(const TFilterDialogs& dialogs, TFilter& filter) {
  QDialog* dialog = nullptr;
  switch (filter.Type()) {
  case 0:
  case 1:
    dialogs.LHPass->SetFilter(&filter);
    dialog = dialogs.LHPass;
    break;
  case 4:
    dialogs.MultiBand->SetFilter(&filter);
    dialog = dialogs.MultiBand;
    break;
  case 9:
    dialogs.Echo->SetFilter(&filter);
    dialog = dialogs.Echo;
    break;
  case 11:
    dialogs.Reverb->SetFilter(&filter);
    dialog = dialogs.Reverb;
    break;
  default:
    return;
  }
  if (dialog->exec() == QDialog::Accepted) {
    filter.Apply();
  }
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/dialogs/SelectFilterDialog.h"

#include "filters/FilterCatalogue.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

TSelectFilterDialog::TSelectFilterDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Выбор фильтра или эффекта"));
  Label1 = new QLabel(QStringLiteral("Выберите фильтр или эффект:"), this);
  FilterListBox = new QListWidget(this);
  FilterListBox->setSelectionMode(QAbstractItemView::SingleSelection);
  for (const TFilterDescriptor* type : FilterCatalogue) {
    FilterListBox->addItem(QString::fromUtf8(type->Name));
  }
  FilterListBox->setCurrentRow(0);
  Label1->setBuddy(FilterListBox);
  // Every name in view: as wide as the longest and as tall as all sixteen.
  FilterListBox->setMinimumWidth(FilterListBox->sizeHintForColumn(0) + 2 * FilterListBox->frameWidth() + 8);
  FilterListBox->setMinimumHeight(FilterListBox->sizeHintForRow(0) * FilterTypeCount +
                                  2 * FilterListBox->frameWidth());
  OKBtn = new QPushButton(QStringLiteral("OK"), this);
  OKBtn->setDefault(true);
  CancelBtn = new QPushButton(QStringLiteral("Отмена"), this);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(OKBtn);
  buttons->addWidget(CancelBtn);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Label1);
  layout->addWidget(FilterListBox);
  layout->addLayout(buttons);

  connect(FilterListBox, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
  connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
  connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

int TSelectFilterDialog::SelectedIndex() const {
  return FilterListBox->currentRow();
}

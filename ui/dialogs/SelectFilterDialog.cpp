// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/dialogs/SelectFilterDialog.h"

#include "filters/FilterCatalogue.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

TSelectFilterDialog::TSelectFilterDialog(QWidget* parent, std::shared_ptr<TPluginHost> plugins)
    : QDialog(parent), plugins(std::move(plugins)) {
  setWindowTitle(QStringLiteral("Выбор фильтра или эффекта"));
  Pages = new QTabWidget(this);
  auto* builtIn = new QWidget;
  Label1 = new QLabel(QStringLiteral("Выберите фильтр или эффект:"), builtIn);
  FilterListBox = new QListWidget(builtIn);
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
  auto* builtInLayout = new QVBoxLayout(builtIn);
  builtInLayout->addWidget(Label1);
  builtInLayout->addWidget(FilterListBox);
  Pages->addTab(builtIn, QStringLiteral("Фильтры и эффекты"));

  if (this->plugins) {
    auto* page = new QWidget;
    auto* search = new QLabel(QStringLiteral("Поиск:"), page);
    SearchEdit = new QLineEdit(page);
    SearchEdit->setClearButtonEnabled(true);
    search->setBuddy(SearchEdit);
    PluginList = new QTreeWidget(page);
    PluginList->setColumnCount(2);
    PluginList->setHeaderLabels({QStringLiteral("Модуль"), QStringLiteral("Класс")});
    PluginList->setRootIsDecorated(false);
    PluginList->setSelectionMode(QAbstractItemView::SingleSelection);
    PluginList->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    // Room for the longer names ("Triple band parametric with shelves") beside their class.
    PluginList->setMinimumWidth(PluginList->fontMetrics().horizontalAdvance(QString(60, QLatin1Char('x'))));
    NoPluginsLabel = new QLabel(QStringLiteral("Подходящих модулей LV2 не найдено"), page);
    NoPluginsLabel->hide();
    auto* searchRow = new QHBoxLayout;
    searchRow->addWidget(search);
    searchRow->addWidget(SearchEdit);
    auto* pageLayout = new QVBoxLayout(page);
    pageLayout->addLayout(searchRow);
    pageLayout->addWidget(PluginList);
    pageLayout->addWidget(NoPluginsLabel);
    Pages->addTab(page, QStringLiteral("Модули LV2"));
    connect(SearchEdit, &QLineEdit::textChanged, this, &TSelectFilterDialog::ShowPlugins);
    connect(PluginList, &QTreeWidget::itemDoubleClicked, this, &QDialog::accept);
    connect(Pages, &QTabWidget::currentChanged, this, [this](int page) {
      if (page == 1) {
        ShowPlugins();
      }
      FocusPage();
    });
  }

  OKBtn = new QPushButton(QStringLiteral("OK"), this);
  OKBtn->setDefault(true);
  CancelBtn = new QPushButton(QStringLiteral("Отмена"), this);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(OKBtn);
  buttons->addWidget(CancelBtn);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Pages);
  layout->addLayout(buttons);

  connect(FilterListBox, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
  connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
  connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

void TSelectFilterDialog::FocusPage() {
  if (Pages->currentIndex() == 1 && SearchEdit != nullptr) {
    SearchEdit->setFocus();
  } else {
    FilterListBox->setFocus();
  }
}

void TSelectFilterDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  FocusPage();
}

void TSelectFilterDialog::ShowPlugins() {
  if (!plugins) {
    return;
  }
  const QString wanted = SearchEdit->text().trimmed();
  const std::shared_ptr<const TPluginInfo> chosen = SelectedPlugin();
  PluginList->clear();
  listed.clear();
  for (const std::shared_ptr<const TPluginInfo>& p : plugins->Plugins()) {
    const QString name = QString::fromStdString(p->Name);
    const QString kind = QString::fromStdString(p->ClassName);
    const QString uri = QString::fromStdString(p->Uri);
    if (!p->Offered() ||
        !(name.contains(wanted, Qt::CaseInsensitive) || kind.contains(wanted, Qt::CaseInsensitive) ||
          uri.contains(wanted, Qt::CaseInsensitive))) {
      continue;
    }
    auto* item = new QTreeWidgetItem(PluginList, {name, kind});
    item->setToolTip(0, uri);
    listed.push_back(p);
    if (p == chosen) {
      PluginList->setCurrentItem(item);
    }
  }
  if (PluginList->currentItem() == nullptr && PluginList->topLevelItemCount() > 0) {
    PluginList->setCurrentItem(PluginList->topLevelItem(0));
  }
  PluginList->resizeColumnToContents(1);
  NoPluginsLabel->setVisible(listed.empty());
}

int TSelectFilterDialog::SelectedIndex() const {
  return Pages->currentIndex() == 0 ? FilterListBox->currentRow() : -1;
}

std::shared_ptr<const TPluginInfo> TSelectFilterDialog::SelectedPlugin() const {
  if (PluginList == nullptr || Pages->currentIndex() != 1) {
    return nullptr;
  }
  const int row = PluginList->indexOfTopLevelItem(PluginList->currentItem());
  return row >= 0 && row < static_cast<int>(listed.size()) ? listed[static_cast<size_t>(row)] : nullptr;
}

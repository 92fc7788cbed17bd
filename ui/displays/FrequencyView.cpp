// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/displays/FrequencyView.h"

#include "ui/displays/Graph.h"

#include <QAction>
#include <QActionGroup>
#include <QMenu>

#include <cmath>

namespace {

QString Decibels(double v) {
  return (v > 0 ? QStringLiteral("+") : QString()) + TGraph::NumberText(v);
}

} // namespace

TFrequencyView::TFrequencyView(QMenu* menu, std::vector<TLevelRange> levelRanges,
                               std::function<void()> changed)
    : QObject(menu), ranges(std::move(levelRanges)) {
  menu->addSeparator();
  iLogFrequency = menu->addAction(QStringLiteral("&Логарифмическая шкала частот"));
  iLogFrequency->setCheckable(true);
  connect(iLogFrequency, &QAction::triggered, this, [changed] { changed(); });
  menu->addSeparator();
  auto* group = new QActionGroup(this);
  group->setExclusive(true);
  for (const TLevelRange& range : ranges) {
    QAction* item = menu->addAction(RangeText(range));
    item->setCheckable(true);
    group->addAction(item);
    connect(item, &QAction::triggered, this, [changed] { changed(); });
    iRanges.push_back(item);
  }
  if (!iRanges.empty()) {
    iRanges.front()->setChecked(true);
  }
}

QString TFrequencyView::RangeText(const TLevelRange& range) {
  if (std::isnan(range.Bottom)) {
    return QStringLiteral("Уровни на всю разрядность");
  }
  return QStringLiteral("Уровни от %1 до %2 дБ").arg(Decibels(range.Bottom), Decibels(range.Top));
}

bool TFrequencyView::LogFrequency() const {
  return iLogFrequency->isChecked();
}

int TFrequencyView::RangeIndex() const {
  for (size_t i = 0; i < iRanges.size(); ++i) {
    if (iRanges[i]->isChecked()) {
      return static_cast<int>(i);
    }
  }
  return 0;
}

void TFrequencyView::ApplyTo(TGraph& graph) const {
  graph.LogX = LogFrequency();
  if (ranges.empty()) {
    return;
  }
  const TLevelRange& range = ranges[static_cast<size_t>(RangeIndex())];
  if (!std::isnan(range.Bottom)) {
    graph.YMin = range.Bottom;
    graph.YMax = range.Top;
    graph.YBaseStep = range.BaseStep;
  }
}

void TFrequencyView::SetEnabled(bool enabled) {
  iLogFrequency->setEnabled(enabled);
  for (QAction* item : iRanges) {
    item->setEnabled(enabled);
  }
}

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TFrequencyView: the view choices of a chart over frequency, as items of its window's menu: a
// logarithmic frequency axis, and the range of levels shown. The first range is the window's own
// axis and is chosen at the start, as is the linear axis.
//
// Threads: user-interface thread only.

#include <QObject>
#include <QString>

#include <functional>
#include <vector>

class QAction;
class QMenu;
class TGraph;

struct TLevelRange {
  double Bottom = 0; // dB; not a number: the window's own floor
  double Top = 0;    // dB
  double BaseStep = 1;
};

class TFrequencyView : public QObject {
  Q_OBJECT

public:
  // Adds the items to `menu`; `changed` runs after every choice.
  TFrequencyView(QMenu* menu, std::vector<TLevelRange> ranges, std::function<void()> changed);

  // "Уровни от -60 до +10 дБ"; the window's own floor reads "Уровни на всю разрядность".
  static QString RangeText(const TLevelRange& range);
  bool LogFrequency() const;
  int RangeIndex() const;
  // Sets the chart's axis kind and, unless the window's own floor is chosen, its level range.
  void ApplyTo(TGraph& graph) const;
  void SetEnabled(bool enabled);

  QAction* iLogFrequency = nullptr;
  std::vector<QAction*> iRanges;

private:
  std::vector<TLevelRange> ranges;
};

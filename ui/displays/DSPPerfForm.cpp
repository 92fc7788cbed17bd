// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/displays/DSPPerfForm.h"

#include <QAction>
#include <QActionGroup>
#include <QContextMenuEvent>
#include <QMenu>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

int32_t WholeMs(int64_t frames, uint32_t rate) {
  return rate == 0 ? 0 : static_cast<int32_t>(frames * 1000 / rate);
}

} // namespace

TDSPPerfForm::TDSPPerfForm(QWidget* owner, int32_t blockMs)
    : TDSPPerfForm(owner, blockMs, blockMs, blockMs, false) {}

TDSPPerfForm::TDSPPerfForm(QWidget* owner, int32_t blockFrames, int32_t updateFrames, uint32_t rate)
    : TDSPPerfForm(owner, WholeMs(blockFrames, rate), WholeMs(std::max(blockFrames, updateFrames), rate),
                   rate == 0 ? 0.0 : blockFrames * 1000.0 / rate, blockFrames < updateFrames) {}

TDSPPerfForm::TDSPPerfForm(QWidget* owner, int32_t blockMs, int32_t updateMs, double limitMs,
                           bool microseconds)
    : QWidget(owner), BlockMs(blockMs), UpdateMs(updateMs), LimitMs(microseconds ? limitMs : blockMs),
      Microseconds(microseconds) {
  setWindowTitle(QStringLiteral("График производительности"));
  setMinimumSize(256, 192);
  setAttribute(Qt::WA_DeleteOnClose);
  setAttribute(Qt::WA_OpaquePaintEvent);
  resize(696, 480);
  double yMax = 0;
  double yStep = 1;
  if (!Microseconds) {
    const int32_t m = BlockMs * 3 / 2;
    // A block under 7 ms would round the scale down to 0 ms; it keeps at least 10 ms.
    yMax = std::max(m - m % 10, 10);
  } else {
    // One and a half blocks, down to 10 ms, or to a tenth of one under 10 ms.
    const double m = LimitMs * 3 / 2 + 1e-9; // 1.5 x 4/3 ms is 2 ms, whatever the rounding
    if (m >= 10) {
      yMax = std::floor(m / 10) * 10;
    } else {
      yMax = std::max(std::floor(m * 10) / 10, 0.1);
      yStep = 0.1;
    }
  }
  blockScaleTop = yMax;
  blockScaleStep = yStep;
  Graph = std::make_unique<TGraph>(TRect{0, 0, width(), height()}, QStringLiteral("Время, с"),
                                   static_cast<int64_t>(UpdateMs) * width() / 1000,
                                   QStringLiteral("Время обработки, мс"), yMax, 0, 1, 0, yStep, QString(),
                                   false, 50, 30);
  PopupMenu = new QMenu(this);
  auto* group = new QActionGroup(this);
  group->setExclusive(true);
  iBlockScale = PopupMenu->addAction(QStringLiteral("Шкала по &длительности блока"));
  iTimesScale = PopupMenu->addAction(QStringLiteral("Шкала по &времени обработки"));
  for (QAction* item : {iBlockScale, iTimesScale}) {
    item->setCheckable(true);
    group->addAction(item);
    connect(item, &QAction::triggered, this, [this, item] { ChooseScale(item == iTimesScale); });
  }
  iBlockScale->setChecked(true);
  FormResize();
}

double TDSPPerfForm::TimesScaleTop(double largestMs) {
  const double wanted = std::max(largestMs * 1.25, 0.01);
  const double decade = std::pow(10.0, std::floor(std::log10(wanted)));
  for (const double m : {1.0, 2.0, 5.0, 10.0}) {
    if (m * decade >= wanted * (1 - 1e-12)) {
      return m * decade;
    }
  }
  return 10 * decade;
}

void TDSPPerfForm::ChooseScale(bool toTimes) {
  if (toTimes == ScaleToTimes) {
    return;
  }
  ScaleToTimes = toTimes;
  if (!toTimes) {
    Graph->YMax = blockScaleTop;
    Graph->YBaseStep = blockScaleStep;
  }
  // The history starts again at the resolution of the new scale.
  std::fill(History.begin(), History.end(), 0.0);
  FormResize();
}

TDSPPerfForm::~TDSPPerfForm() = default;

void TDSPPerfForm::FormResize() {
  if (ScaleToTimes) {
    const double largest = History.empty() ? 0.0 : *std::max_element(History.begin(), History.end());
    Graph->YMax = TimesScaleTop(largest);
    Graph->YBaseStep = Graph->YMax / 10;
  }
  Image = Gdi::Surface(width(), height(), devicePixelRatioF());
  Graph->SetBounds(TRect{0, 0, width(), height()});
  const int32_t length = std::max(Graph->InnerRect().Width(), 0);
  Graph->XMax = static_cast<double>(static_cast<int64_t>(UpdateMs) * length / 1000);
  Graph->SetBounds(TRect{0, 0, width(), height()});
  {
    QPainter painter(&Image);
    Graph->Paint(painter);
  }
  // The newest times survive; the oldest are dropped, or zeros are added at the old end.
  History.resize(static_cast<size_t>(length), 0);
  HistoryLength = length;
  update();
}

int TDSPPerfForm::LimitPixel() const {
  const TRect inner = Graph->InnerRect();
  const double y = inner.bottom - (inner.bottom - inner.top) * LimitMs / Graph->YMax;
  return static_cast<int>(std::trunc(std::clamp(y, -1.0e9, 1.0e9)));
}

void TDSPPerfForm::AddTime(uint64_t ticks) {
  if (HistoryLength > 0) {
    std::copy_backward(History.begin(), History.end() - 1, History.end());
    // Whole milliseconds or microseconds, truncated; a time beyond the int range is held at its
    // largest value.
    const uint64_t per100ms = TicksPer100ms > 0 ? static_cast<uint64_t>(TicksPer100ms) : 1;
    const bool fine = Microseconds || ScaleToTimes;
    const uint64_t parts = fine ? 100000 : 100;
    const uint64_t units = ticks / per100ms * parts + ticks % per100ms * parts / per100ms;
    const auto whole = static_cast<double>(std::min<uint64_t>(units, std::numeric_limits<int32_t>::max()));
    History[0] = fine ? whole / 1000 : whole;
    if (ScaleToTimes && TimesScaleTop(*std::max_element(History.begin(), History.end())) != Graph->YMax) {
      FormResize(); // the scale follows the largest time shown, labels and all
    }
  }
  QPainter painter(&Image);
  Graph->PlotSeries(painter, History.data(), HistoryLength, false);
  // On the times' scale the block's duration may lie far above the top.
  if (Graph->CanDraw() && LimitMs <= Graph->YMax) {
    const TRect inner = Graph->InnerRect();
    const int limit = LimitPixel();
    Gdi::PreparePainter(painter);
    Gdi::Line(painter, QPoint(inner.left - 1, limit), QPoint(inner.right - 2, limit), QColor(255, 0, 0), 2);
  }
  update();
}

void TDSPPerfForm::paintEvent(QPaintEvent* event) {
  if (Image.devicePixelRatio() != devicePixelRatioF()) {
    FormResize(); // moved to a screen of another scale: the history starts again at its resolution
  }
  QPainter painter(this);
  painter.fillRect(event->rect(), palette().color(QPalette::Window));
  painter.drawImage(QPoint(0, 0), Image);
}

void TDSPPerfForm::contextMenuEvent(QContextMenuEvent* event) {
  PopupMenu->exec(event->globalPos());
}

void TDSPPerfForm::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  FormResize();
}

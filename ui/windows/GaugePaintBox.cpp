// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/windows/GaugePaintBox.h"

#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>

TGaugePaintBox::TGaugePaintBox(std::array<std::unique_ptr<TLevelGauge>, 2>& gauges, QWidget* parent)
    : QWidget(parent), gauges(gauges), font(Gdi::ArialFont(11, 400)) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void TGaugePaintBox::Prepare(QPainter& p) const {
  p.setFont(font);
  p.setPen(palette().color(QPalette::Text));
  p.setBackground(palette().color(QPalette::Base));
}

void TGaugePaintBox::PaintAll() {
  surface = QImage(std::max(width(), 1), std::max(height(), 1), QImage::Format_RGB32);
  surface.fill(palette().color(QPalette::Base));
  QPainter p(&surface);
  Prepare(p);
  for (size_t c = 0; c < gauges.size(); ++c) {
    if (gauges[c]) {
      const int left = GaugeWidth * static_cast<int>(c);
      gauges[c]->SetBounds(TRect{left, 0, left + GaugeWidth, height()});
      gauges[c]->Paint(p);
    }
  }
}

void TGaugePaintBox::DrawBars() {
  if (surface.size() != size()) {
    PaintAll();
  }
  QPainter p(&surface);
  Prepare(p);
  QRect changed;
  for (const std::unique_ptr<TLevelGauge>& gauge : gauges) {
    if (gauge) {
      gauge->DrawBar(p);
      // The bar and the peak text above it.
      const TRect& b = gauge->Bounds;
      changed |= QRect(QPoint(b.left, b.top), QPoint(b.right - 1, gauge->BarRect.bottom));
    }
  }
  p.end();
  update(changed);
}

void TGaugePaintBox::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  PaintAll();
}

void TGaugePaintBox::paintEvent(QPaintEvent* event) {
  if (surface.size() != size()) {
    PaintAll();
  }
  QPainter p(this);
  p.drawImage(event->rect(), surface, event->rect());
}

#include "displays/DSPPerfForm.h"

#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>

#include <algorithm>
#include <cmath>
#include <limits>

TDSPPerfForm::TDSPPerfForm(QWidget* owner, int32_t blockMs) : QWidget(owner), BlockMs(blockMs) {
  setWindowTitle(QStringLiteral("График производительности"));
  setMinimumSize(256, 192);
  setAttribute(Qt::WA_DeleteOnClose);
  setAttribute(Qt::WA_OpaquePaintEvent);
  resize(696, 480);
  const int32_t m = BlockMs * 3 / 2;
  // A block under 7 ms would round the scale down to 0 ms; it keeps at least 10 ms.
  const int32_t yMax = std::max(m - m % 10, 10);
  Graph = std::make_unique<TGraph>(TRect{0, 0, width(), height()}, QStringLiteral("Время, с"),
                                   static_cast<int64_t>(BlockMs) * width() / 1000,
                                   QStringLiteral("Время обработки, мс"), yMax, 0, 1, 0, 1, QString(), false,
                                   50, 30);
  FormResize();
}

TDSPPerfForm::~TDSPPerfForm() = default;

void TDSPPerfForm::FormResize() {
  Image = Gdi::Surface(width(), height(), devicePixelRatioF());
  Graph->SetBounds(TRect{0, 0, width(), height()});
  const int32_t length = std::max(Graph->InnerRect().Width(), 0);
  Graph->XMax = static_cast<double>(static_cast<int64_t>(BlockMs) * length / 1000);
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
  const double y =
      inner.bottom -
      static_cast<double>(static_cast<int64_t>(inner.bottom - inner.top) * BlockMs) / Graph->YMax;
  return static_cast<int>(std::trunc(std::clamp(y, -1.0e9, 1.0e9)));
}

void TDSPPerfForm::AddTime(uint64_t ticks) {
  if (HistoryLength > 0) {
    std::copy_backward(History.begin(), History.end() - 1, History.end());
    // Whole milliseconds, truncated; a time beyond the int range is held at its largest value.
    const uint64_t per100ms = TicksPer100ms > 0 ? static_cast<uint64_t>(TicksPer100ms) : 1;
    const uint64_t ms = ticks / per100ms * 100 + ticks % per100ms * 100 / per100ms;
    History[0] = static_cast<int32_t>(std::min<uint64_t>(ms, std::numeric_limits<int32_t>::max()));
  }
  QPainter painter(&Image);
  Graph->PlotSeries(painter, History.data(), HistoryLength, false);
  if (Graph->CanDraw()) {
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

void TDSPPerfForm::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  FormResize();
}

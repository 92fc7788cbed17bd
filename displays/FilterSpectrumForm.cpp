#include "displays/FilterSpectrumForm.h"

#include "dsp/Filter.h"
#include "dsp/FilterList.h"

#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>

#include <algorithm>

TFilterSpectrumForm::TFilterSpectrumForm(QWidget* owner, bool wholeChain, const TFilter* filter,
                                         const TFilterList* list)
    : QWidget(owner) {
  setAttribute(Qt::WA_DeleteOnClose);
  setAttribute(Qt::WA_OpaquePaintEvent);
  resize(512, 384);
  int32_t sampleRate = 0;
  if (wholeChain) {
    setWindowTitle(QStringLiteral("Амплитудно-частотная характеристика системы фильтров"));
    if (list != nullptr) {
      sampleRate = list->SampleRate();
      Response = MeasureFrequencyResponse(*list);
    }
  } else {
    setWindowTitle(QStringLiteral("Амплитудно-частотная характеристика фильтра"));
    if (filter != nullptr) {
      sampleRate = filter->SampleRate();
      Response = MeasureFrequencyResponse(*filter);
    }
  }
  Graph = std::make_unique<TGraph>(ChartRect(), QStringLiteral("Частота, Гц"), sampleRate / 2,
                                   QStringLiteral("Амплитуда, дБ"), 30, 0, 500, -120, 5, QString(), false, 50,
                                   30);
  Graph->PenWidth = 2;
  FormResize();
}

TFilterSpectrumForm::~TFilterSpectrumForm() = default;

TRect TFilterSpectrumForm::ChartRect() const {
  return TRect{0, 0, std::max(width(), MinChartWidth), std::max(height(), MinChartHeight)};
}

void TFilterSpectrumForm::FormResize() {
  const TRect chart = ChartRect();
  Image = QImage(chart.Width(), chart.Height(), QImage::Format_RGB32);
  Image.fill(Qt::white);
  Graph->SetBounds(chart);
  QPainter painter(&Image);
  Graph->Paint(painter);
  Graph->PlotSeries(painter, Response.data(), static_cast<int>(Response.size()), false);
  update();
}

void TFilterSpectrumForm::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  painter.fillRect(event->rect(), palette().color(QPalette::Window));
  painter.drawImage(QPoint(0, 0), Image);
}

void TFilterSpectrumForm::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  FormResize();
}

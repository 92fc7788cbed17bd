// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/displays/FilterSpectrumForm.h"

#include "dsp/Filter.h"
#include "dsp/FilterList.h"
#include "filters/FilterCatalogue.h"

#include <QContextMenuEvent>
#include <QMdiSubWindow>
#include <QMenu>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QTimer>

#include <algorithm>
#include <cstring>

namespace {

void Append(std::vector<uint8_t>& bytes, const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  bytes.insert(bytes.end(), p, p + size);
}

// The filter's type, rate and parameter bytes. Only the user-interface thread writes parameters, so
// they are read as CopyParameters reads them, without the lock.
void AppendFilter(std::vector<uint8_t>& bytes, const TFilter& filter) {
  const int32_t type = filter.Type();
  const int32_t rate = filter.SampleRate();
  Append(bytes, &type, sizeof type);
  Append(bytes, &rate, sizeof rate);
  for (int i = 0; i < filter.ParameterCount(); ++i) {
    const TFilter::TParameter& parameter = filter.Parameter(i);
    Append(bytes, parameter.Storage, static_cast<size_t>(parameter.Size));
  }
}

} // namespace

TFilterSpectrumForm::TFilterSpectrumForm(QWidget* owner, bool wholeChain, const TFilter* filter,
                                         const TFilterList* list)
    : QWidget(owner), WholeChain(wholeChain), Filter(wholeChain ? nullptr : filter), List(list) {
  setAttribute(Qt::WA_DeleteOnClose);
  setAttribute(Qt::WA_OpaquePaintEvent);
  resize(512, 384);
  Measure();
  const int32_t sampleRate = Response.SampleRate;
  Graph = std::make_unique<TGraph>(ChartRect(), QStringLiteral("Частота, Гц"), sampleRate / 2,
                                   QStringLiteral("Амплитуда, дБ"), 30, 0, 500, -120, 5, QString(), false, 50,
                                   30);
  Graph->PenWidth = 2;
  PopupMenu = new QMenu(this);
  View = new TFrequencyView(PopupMenu, {{-120, 30, 5}, {-60, 10, 5}, {-24, 6, 1}, {-3, 3, 0.5}},
                            [this] { FormResize(); });
  FormResize();
  followTimer = new QTimer(this);
  connect(followTimer, &QTimer::timeout, this, &TFilterSpectrumForm::FollowChain);
  followTimer->start(FollowIntervalMs);
}

TFilterSpectrumForm::~TFilterSpectrumForm() = default;

int TFilterSpectrumForm::FilterIndex() const {
  if (List == nullptr || Filter == nullptr) {
    return -1;
  }
  for (int i = 0; i < List->Count(); ++i) {
    if (List->Item(i) == Filter) {
      return i;
    }
  }
  return -1;
}

QString TFilterSpectrumForm::Caption() const {
  if (WholeChain) {
    return QStringLiteral("Амплитудно-частотная характеристика системы фильтров");
  }
  QString caption = QStringLiteral("Амплитудно-частотная характеристика фильтра");
  const TFilterDescriptor* type = Filter != nullptr ? Filter->Descriptor() : nullptr;
  if (type != nullptr) {
    const int index = FilterIndex();
    caption += QStringLiteral(" - ");
    if (index >= 0) {
      caption += QString::number(index + 1) + QStringLiteral(". ");
    }
    caption += QString::fromUtf8(type->Name);
  }
  return caption;
}

std::vector<uint8_t> TFilterSpectrumForm::Fingerprint() const {
  std::vector<uint8_t> bytes;
  if (WholeChain) {
    if (List == nullptr) {
      return bytes;
    }
    const int32_t rate = List->SampleRate();
    Append(bytes, &rate, sizeof rate);
    for (int i = 0; i < List->Count(); ++i) {
      const TFilter* f = List->Item(i);
      const uint8_t on = List->IsEnabled(i) ? 1 : 0;
      Append(bytes, &f, sizeof f);
      Append(bytes, &on, 1);
      if (f != nullptr) {
        AppendFilter(bytes, *f);
      }
    }
  } else if (Filter != nullptr) {
    const int32_t index = FilterIndex();
    Append(bytes, &index, sizeof index);
    AppendFilter(bytes, *Filter);
  }
  return bytes;
}

void TFilterSpectrumForm::Measure() {
  measured = Fingerprint();
  if (WholeChain && List != nullptr) {
    Response = MeasureResponseCurve(*List);
  } else if (!WholeChain && Filter != nullptr) {
    Response = MeasureResponseCurve(*Filter);
  } else {
    Response = TResponseCurve{};
    Response.Db.assign(ResponseBins, 0.0);
  }
  setWindowTitle(Caption());
}

void TFilterSpectrumForm::FollowChain() {
  if (leaving) {
    return;
  }
  if (!WholeChain && List != nullptr && FilterIndex() < 0) {
    // The filter is gone: so is its response. The window may be what its child window frame shows.
    leaving = true;
    followTimer->stop();
    Filter = nullptr;
    auto* frame = qobject_cast<QMdiSubWindow*>(parentWidget());
    if (frame != nullptr) {
      frame->close();
    } else {
      close();
    }
    return;
  }
  if (Fingerprint() != measured) {
    Measure();
    FormResize();
  }
}

TRect TFilterSpectrumForm::ChartRect() const {
  return TRect{0, 0, std::max(width(), MinChartWidth), std::max(height(), MinChartHeight)};
}

void TFilterSpectrumForm::FormResize() {
  const TRect chart = ChartRect();
  Image = Gdi::Surface(chart.Width(), chart.Height(), devicePixelRatioF());
  View->ApplyTo(*Graph);
  Graph->SetBounds(chart);
  QPainter painter(&Image);
  Graph->Paint(painter);
  Graph->PlotSeries(painter, Response.Db.data(), static_cast<int>(Response.Db.size()), false);
  update();
}

void TFilterSpectrumForm::paintEvent(QPaintEvent* event) {
  if (Image.devicePixelRatio() != devicePixelRatioF()) {
    FormResize(); // moved to a screen of another scale
  }
  QPainter painter(this);
  painter.fillRect(event->rect(), palette().color(QPalette::Window));
  painter.drawImage(QPoint(0, 0), Image);
}

void TFilterSpectrumForm::contextMenuEvent(QContextMenuEvent* event) {
  PopupMenu->exec(event->globalPos());
}

void TFilterSpectrumForm::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  FormResize();
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/displays/DSPGraphFrm.h"

#include "devices/VirtDevs.h"
#include "filters/Kernels.h"
#include "filters/Transforms.h"

#include <QAction>
#include <QActionGroup>
#include <QContextMenuEvent>
#include <QMenu>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QScrollBar>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

// The largest power of two not above n (0 for n < 1).
int PowerOfTwoBelow(int n) {
  int p = 1;
  if (n < 1) {
    return 0;
  }
  while (p <= n / 2) {
    p *= 2;
  }
  return p;
}

} // namespace

TDSPGraphFrm::TDSPGraphFrm(QWidget* owner, const QString& signalName) : QAbstractScrollArea(owner) {
  SignalName = signalName;
  setMinimumSize(100, 100);
  setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setAttribute(Qt::WA_DeleteOnClose);
  viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
  viewport()->setBackgroundRole(QPalette::Base);

  PopupMenu = new QMenu(this);
  auto* group = new QActionGroup(this);
  group->setExclusive(true);
  iSamples = PopupMenu->addAction(QStringLiteral("Значения &выборок"));
  iHistogram = PopupMenu->addAction(QStringLiteral("&Гистограмма частот"));
  iSpectrogram = PopupMenu->addAction(QStringLiteral("Звуковая &спектрограмма"));
  for (QAction* item : {iSamples, iHistogram, iSpectrogram}) {
    item->setCheckable(true);
    group->addAction(item);
    connect(item, &QAction::triggered, this, [this, item] { GraphTypeClick(item); });
  }
  iSamples->setChecked(true);
  constexpr double OwnFloor = std::numeric_limits<double>::quiet_NaN();
  SpectrumView =
      new TFrequencyView(PopupMenu, {{OwnFloor, 0, 1}, {-60, 0, 1}, {-30, 0, 1}}, [this] { Rebuild(); });
  SpectrumView->SetEnabled(false);

  resize(392 + 2 * frameWidth(), 266 + 2 * frameWidth());
  GraphWidth = viewport()->width();
  GraphHeight = viewport()->height();
  GraphType = gtSamples;
  FormResize();
}

TDSPGraphFrm::~TDSPGraphFrm() = default;

int TDSPGraphFrm::ShownChannels() const {
  return std::clamp<int>(Format.nChannels, 0, 2);
}

void TDSPGraphFrm::SetFormat(const TWaveFormat& format, uint32_t frames) {
  Frames = frames;
  Format = format;
  BlockMs =
      format.nSamplesPerSec == 0 ? 0 : static_cast<int32_t>(uint64_t{frames} * 1000u / format.nSamplesPerSec);
  Rebuild();
}

void TDSPGraphFrm::Rebuild() {
  const int channels = ShownChannels();
  const int bits = Format.wBitsPerSample;
  const double full = std::ldexp(1.0, bits);
  const TRect bounds{0, 0, GraphWidth, GraphHeight};
  for (int p = 0; p < 2; ++p) {
    Graphs[p].reset();
    if (p >= channels) {
      continue;
    }
    QString title;
    if (channels > 1) {
      title = QString(p == 0 ? QStringLiteral("Левый") : QStringLiteral("Правый")) + QStringLiteral(" канал");
    }
    const bool titleBar = channels > 1;
    if (GraphType == gtSamples) {
      Graphs[p] = std::make_unique<TGraph>(bounds, QStringLiteral("Время, мс"), BlockMs,
                                           QStringLiteral("Амплитуда, дБ"), full / 2, 0, 1, -full / 2,
                                           full / 16, title, titleBar, 50, 30);
      Graphs[p]->DecibelLabels = true;
      Graphs[p]->SymmetricY = true;
    } else if (GraphType == gtHistogram) {
      Graphs[p] = std::make_unique<TGraph>(bounds, QStringLiteral("Частота, Гц"), Format.nSamplesPerSec / 2,
                                           QStringLiteral("Амплитуда, дБ"), 0, 0, 500,
                                           std::ceil(AmplitudeToDb(1 / full)), 1, title, titleBar, 50, 30);
      SpectrumView->ApplyTo(*Graphs[p]);
      Graphs[p]->SetBounds(bounds);
    } else {
      const double seconds = (GraphWidth / 4) * BlockMs / 1000;
      Graphs[p] =
          std::make_unique<TGraph>(bounds, QStringLiteral("Время, с"), seconds, QStringLiteral("Частота, Гц"),
                                   Format.nSamplesPerSec / 2, 0, 1, 0, 100, title, titleBar, 50, 30);
      Graphs[p]->ShowGrid = false;
      SpectrogramX = 0;
    }
    Images[p] = Gdi::Surface(GraphWidth, GraphHeight, devicePixelRatioF());
    QPainter painter(&Images[p]);
    Graphs[p]->Paint(painter);
  }
  UpdateCaption();
  horzRange = channels * (GraphWidth + ChartGap) - ChartGap;
  UpdateScrollBars();
  viewport()->update();
}

void TDSPGraphFrm::UpdateCaption() {
  QString view;
  if (GraphType == gtSamples) {
    view = QStringLiteral("Значения выборок");
  } else if (GraphType == gtHistogram) {
    view = QStringLiteral("Гистограмма частот");
  } else {
    view = QStringLiteral("Звуковая спектрограмма");
  }
  setWindowTitle(SignalName + QStringLiteral(" - ") + view);
}

void TDSPGraphFrm::GraphTypeClick(QObject* sender) {
  int32_t type;
  if (sender != nullptr && sender == iSamples) {
    type = gtSamples;
  } else if (sender != nullptr && sender == iHistogram) {
    type = gtHistogram;
  } else if (sender != nullptr && sender == iSpectrogram) {
    type = gtSpectrogram;
  } else {
    return;
  }
  if (type == GraphType) {
    iSamples->setChecked(GraphType == gtSamples);
    iHistogram->setChecked(GraphType == gtHistogram);
    iSpectrogram->setChecked(GraphType == gtSpectrogram);
    return;
  }
  GraphType = type;
  SpectrumView->SetEnabled(type == gtHistogram);
  iSamples->setChecked(type == gtSamples);
  iHistogram->setChecked(type == gtHistogram);
  iSpectrogram->setChecked(type == gtSpectrogram);
  Rebuild();
}

void TDSPGraphFrm::FormResize() {
  GraphWidth = std::max(viewport()->width(), MinGraphWidth);
  GraphHeight = std::max(viewport()->height(), MinGraphHeight);
  for (int p = 0; p < 2; ++p) {
    Images[p] = Gdi::Surface(GraphWidth, GraphHeight, devicePixelRatioF());
    if (Graphs[p]) {
      if (GraphType == gtSpectrogram) {
        Graphs[p]->XMax = (GraphWidth / 4) * BlockMs / 1000;
        SpectrogramX = 0;
      }
      Graphs[p]->SetBounds(TRect{0, 0, GraphWidth, GraphHeight});
      QPainter painter(&Images[p]);
      Graphs[p]->Paint(painter);
    }
  }
  if (Graphs[0]) {
    horzRange = ShownChannels() * (GraphWidth + ChartGap) - ChartGap;
  }
  vertRange = GraphHeight;
  UpdateScrollBars();
  horizontalScrollBar()->setValue(0);
  verticalScrollBar()->setValue(0);
  viewport()->update();
}

void TDSPGraphFrm::UpdateScrollBars() {
  const QSize view = viewport()->size();
  horizontalScrollBar()->setPageStep(std::max(view.width(), 1));
  horizontalScrollBar()->setSingleStep(16);
  horizontalScrollBar()->setRange(0, std::max(horzRange - view.width(), 0));
  verticalScrollBar()->setPageStep(std::max(view.height(), 1));
  verticalScrollBar()->setSingleStep(16);
  verticalScrollBar()->setRange(0, std::max(vertRange - viewport()->height(), 0));
}

void TDSPGraphFrm::ShowBlock(const TAudioBuffer& buffer) {
  ShowBlock(buffer.Data(), buffer.Frames(), buffer.Bytes());
}

void TDSPGraphFrm::ShowBlock(const uint8_t* data, int32_t frames, int32_t bytes) {
  const int channels = Format.nChannels;
  const int bits = Format.wBitsPerSample;
  if (data == nullptr || channels < 1 || (bits != 8 && bits != 16) || frames <= 0 || bytes <= 0) {
    return;
  }
  const int frameBytes = channels * bits / 8;
  const int n = std::min(frames, bytes / frameBytes);
  if (n <= 0) {
    return;
  }
  // One block's samples, even while the worker fills the next one into the same buffer.
  block.resize(static_cast<size_t>(n) * frameBytes);
  std::memcpy(block.data(), data, block.size());

  int lastWidth = 0;
  for (int p = 0; p < ShownChannels(); ++p) {
    if (!Graphs[p]) {
      continue;
    }
    if (GraphType == gtSamples) {
      ShowSamples(p, n);
    } else if (GraphType == gtHistogram) {
      ShowHistogram(p, n);
    } else {
      ShowSpectrogram(p, n);
    }
    lastWidth = Graphs[p]->InnerRect().Width();
  }
  if (lastWidth > 0) {
    SpectrogramX = (SpectrogramX + StripWidth) % lastWidth;
  }
  viewport()->update();
}

void TDSPGraphFrm::ShowSamples(int channel, int n) {
  const int channels = Format.nChannels;
  QPainter painter(&Images[channel]);
  if (Format.wBitsPerSample == 8) {
    samples8.resize(static_cast<size_t>(n));
    for (int j = 0; j < n; ++j) {
      samples8[j] = static_cast<int8_t>(block[j * channels + channel] - 128);
    }
    Graphs[channel]->PlotSeries(painter, samples8.data(), n, false);
  } else {
    samples16.resize(static_cast<size_t>(n));
    for (int j = 0; j < n; ++j) {
      const uint8_t* s = &block[2 * (j * channels + channel)];
      samples16[j] = static_cast<int16_t>(static_cast<uint16_t>(s[0] | (s[1] << 8)));
    }
    Graphs[channel]->PlotSeries(painter, samples16.data(), n, false);
  }
}

namespace {

// Sample j of a channel as a signed value: 8-bit bytes less 128, 16-bit little-endian as is.
inline int SampleAt(const uint8_t* block, int bits, int channels, int channel, int j) {
  if (bits == 8) {
    return block[j * channels + channel] - 128;
  }
  const uint8_t* s = block + 2 * (j * channels + channel);
  return static_cast<int16_t>(static_cast<uint16_t>(s[0] | (s[1] << 8)));
}

} // namespace

void TDSPGraphFrm::ShowHistogram(int channel, int n) {
  const int size = PowerOfTwoBelow(n);
  if (size < 4) {
    return;
  }
  const int bits = Format.wBitsPerSample;
  if (windowSize != size) {
    window.resize(static_cast<size_t>(size));
    for (int i = 0; i < size; ++i) {
      window[i] = BlackmanWindow(size, i);
    }
    windowSize = size;
  }
  re.resize(static_cast<size_t>(size));
  im.resize(static_cast<size_t>(size));
  levels.resize(static_cast<size_t>(size / 2));
  for (int i = 0; i < size; ++i) {
    re[i] = static_cast<float>(SampleAt(block.data(), bits, Format.nChannels, channel, i) * window[i]);
  }
  RealFFT(size, re.data(), im.data());
  const double scale = 4.0 / (std::ldexp(1.0, bits - 1) * size);
  for (int k = 0; k < size / 2; ++k) {
    const double level = AmplitudeToDb(std::sqrt(double{re[k]} * re[k] + double{im[k]} * im[k]) * scale);
    levels[k] = static_cast<float>(level < -100 ? -100 : level);
  }
  QPainter painter(&Images[channel]);
  Graphs[channel]->PlotSeries(painter, levels.data(), size / 2, true);
}

void TDSPGraphFrm::ShowSpectrogram(int channel, int n) {
  const int q = PowerOfTwoBelow(n / 4);
  const TRect inner = Graphs[channel]->InnerRect();
  const int width = inner.Width();
  const int height = inner.Height();
  if (q < 4 || width <= 0 || height <= 0) {
    return;
  }
  const int bits = Format.wBitsPerSample;
  const double k = 4.0 / (std::ldexp(1.0, bits - 1) * n);
  const double range = -AmplitudeToDb(n * k * 0.5);
  if (!(range > 0)) {
    return;
  }
  if (windowSize != q) {
    window.resize(static_cast<size_t>(q));
    for (int i = 0; i < q; ++i) {
      window[i] = BlackmanWindow(q, i);
    }
    windowSize = q;
  }
  if (strip.height() != height) {
    strip = QImage(StripWidth, height, QImage::Format_Indexed8);
    QList<QRgb> greys(256);
    for (int i = 0; i < 256; ++i) {
      greys[i] = qRgb(i, i, i);
    }
    strip.setColorTable(greys);
  }
  re.resize(static_cast<size_t>(q));
  im.resize(static_cast<size_t>(q));
  const double binsPerRow = q * 0.5 / height;
  for (int c = 0; c < StripWidth; ++c) {
    for (int i = 0; i < q; ++i) {
      re[i] =
          static_cast<float>(SampleAt(block.data(), bits, Format.nChannels, channel, c * q + i) * window[i]);
    }
    RealFFT(q, re.data(), im.data());
    double position = 0;
    for (int r = 0; r < height; ++r) {
      const int bin = std::min(static_cast<int>(position), q / 2 - 1);
      position += binsPerRow;
      double a = -AmplitudeToDb(std::sqrt(double{re[bin]} * re[bin] + double{im[bin]} * im[bin]) * k);
      if (a > range) {
        a = range;
      }
      // Levels above full scale would give negative greys: they stay black.
      const int grey = std::clamp(static_cast<int>(a * 255 / range), 0, 255);
      // Row 0 of the strip is its bottom row.
      strip.scanLine(height - 1 - r)[c] = static_cast<uchar>(grey);
    }
  }

  QPainter painter(&Images[channel]);
  Gdi::PreparePainter(painter);
  int x = inner.left + SpectrogramX;
  const int left = inner.right - 2 - x;
  if (left >= StripWidth) {
    painter.drawImage(QPoint(x, inner.top), strip);
  } else {
    const int before = std::max(left, 0);
    if (before > 0) {
      painter.drawImage(QPoint(x, inner.top), strip, QRect(0, 0, before, height));
    }
    painter.drawImage(QPoint(inner.left, inner.top), strip, QRect(before, 0, StripWidth - before, height));
    x = inner.left + StripWidth - before;
  }
  Gdi::Line(painter, QPoint(x + StripWidth, inner.bottom), QPoint(x + StripWidth, inner.top - 1), Qt::black);
}

void TDSPGraphFrm::paintEvent(QPaintEvent* event) {
  if (Images[0].devicePixelRatio() != devicePixelRatioF()) {
    FormResize(); // moved to a screen of another scale: the charts start again at its resolution
  }
  QPainter painter(viewport());
  painter.fillRect(event->rect(), palette().color(QPalette::Window));
  const int dx = horizontalScrollBar()->value();
  const int dy = verticalScrollBar()->value();
  for (int p = 0; p < 2; ++p) {
    if (Graphs[p] && !Images[p].isNull()) {
      painter.drawImage(QPoint((GraphWidth + ChartGap) * p - dx, -dy), Images[p]);
    }
  }
}

void TDSPGraphFrm::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  FormResize();
}

void TDSPGraphFrm::contextMenuEvent(QContextMenuEvent* event) {
  PopupMenu->exec(event->globalPos());
}

void TDSPGraphFrm::scrollContentsBy(int, int) {
  viewport()->update();
}

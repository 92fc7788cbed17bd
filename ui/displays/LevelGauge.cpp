// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/displays/LevelGauge.h"

#include "devices/PcmSamples.h"
#include "devices/VirtDevs.h"
#include "filters/Transforms.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

int FloorHalf(int v) {
  return v >= 0 ? v / 2 : -((-v + 1) / 2);
}

} // namespace

double BlockChannelLevel(const uint8_t* data, int32_t frames, int32_t bytes, const TWaveFormat& format,
                         int channel, double floorDb) {
  const int channels = format.nChannels;
  const int bits = format.wBitsPerSample;
  const int sampleBytes = bits == 16 ? 2 : 1;
  if (data == nullptr || channels < 1 || channel < 0 || channel >= channels || frames <= 0 || bytes <= 0 ||
      (bits != 8 && bits != 16)) {
    return floorDb;
  }
  const int32_t frameBytes = channels * sampleBytes;
  const int32_t n = std::min(frames, bytes / frameBytes);
  return PeakLevel(ChannelPeak(data, n, channels, bits, channel), bits, floorDb);
}

double PeakLevel(int32_t peak, int bits, double floorDb) {
  if (bits != 8 && bits != 16) {
    return floorDb;
  }
  const double level = AmplitudeToDb(peak / (std::ldexp(1.0, bits) / 2));
  return floorDb <= level ? level : floorDb;
}

double BlockChannelLevel(const TAudioBuffer& block, int channel, double floorDb) {
  return BlockChannelLevel(block.Data(), block.Frames(), block.Bytes(), block.Format(), channel, floorDb);
}

TGaugeScale GaugeScale(int barHeight, int textHeight, double floorDb) {
  TGaugeScale s;
  if (textHeight <= 0 || barHeight <= 0) {
    return s;
  }
  s.Divisions = barHeight / (2 * textHeight);
  // Zero divisions, or a floor so close to 0 dB that the step rounds to 0, draw no labels.
  if (s.Divisions > 0 && std::isfinite(floorDb)) {
    s.StepDb = static_cast<int>(std::trunc(floorDb / s.Divisions));
  }
  return s;
}

TLevelGauge::TLevelGauge(TRect bounds, double floorDb)
    : Peak(MinusInfinityDb), Floor(floorDb), Level(floorDb) {
  SetBounds(bounds);
}

void TLevelGauge::SetBounds(TRect r) {
  Bounds = r;
  BarRect = TRect{r.left + 24, r.top + 16, r.right - 8, r.bottom - 8};
}

int TLevelGauge::LevelPixel(double level) const {
  if (!(level > Floor) || !(Floor < 0)) {
    return BarRect.bottom - 2;
  }
  const double y = BarRect.top + BarRect.Height() * level / Floor;
  return static_cast<int>(std::trunc(std::clamp(y, static_cast<double>(BarRect.top), 1.0e9)));
}

QString TLevelGauge::PeakText() const {
  if (!(Peak > Floor)) {
    return QStringLiteral("-Inf.");
  }
  char text[64];
  std::snprintf(text, sizeof text, "  %.1f  ", Peak);
  return QString::fromLatin1(text);
}

void TLevelGauge::DrawPeakText(QPainter& p) {
  const QString text = PeakText();
  const int h = QFontMetrics(p.font()).height();
  p.save();
  Gdi::PreparePainter(p);
  const QColor colour = p.pen().color();
  Gdi::Text(p, FloorHalf(BarRect.left + BarRect.right), FloorHalf(Bounds.top + 16 - h), TTextAlign::Centre,
            text, colour, p.background().color());
  p.restore();
}

void TLevelGauge::Paint(QPainter& p) {
  if (BarRect.Width() <= 0 || BarRect.Height() <= 0) {
    return;
  }
  const int h = QFontMetrics(p.font()).height();
  const TGaugeScale scale = GaugeScale(BarRect.Height(), h, Floor);
  const QColor textColour = p.pen().color();
  const QColor background = p.background().color();

  p.save();
  Gdi::PreparePainter(p);
  Gdi::Rectangle(p, BarRect, Qt::black, Qt::white);
  p.restore();
  DrawPeakText(p);

  p.save();
  Gdi::PreparePainter(p);
  if (scale.StepDb < 0 && Floor < 0) {
    // Ticks linear in dB from the top (0 dB, unlabelled) down to the floor.
    int v = 0;
    int y = BarRect.top;
    while (y < BarRect.bottom) {
      if (y != BarRect.top) {
        Gdi::Line(p, QPoint(BarRect.left, y), QPoint(BarRect.left - 2, y), textColour);
        Gdi::Text(p, BarRect.left - 4, y - h / 2, TTextAlign::Right, QString::number(v), textColour,
                  background);
      }
      v += scale.StepDb;
      y = static_cast<int>(std::trunc(BarRect.top + (static_cast<double>(v) * BarRect.Height()) / Floor));
    }
  }
  p.restore();
  DrawBar(p);
}

void TLevelGauge::DrawBar(QPainter& p) {
  if (BarRect.Width() <= 0 || BarRect.Height() <= 0) {
    return;
  }
  p.save();
  Gdi::PreparePainter(p);
  Gdi::Rectangle(p, BarRect, Qt::black, Qt::white);
  Gdi::FillRect(p, TRect{BarRect.left + 1, LevelPixel(Level), BarRect.right - 1, BarRect.bottom - 1},
                QColor(0, 255, 0));
  p.restore();
  if (Level > Peak) {
    Peak = Level;
    DrawPeakText(p);
  }
  p.save();
  Gdi::PreparePainter(p);
  const int y = LevelPixel(Peak);
  Gdi::Line(p, QPoint(BarRect.left + 1, y), QPoint(BarRect.right - 1, y), QColor(255, 0, 0));
  p.restore();
}

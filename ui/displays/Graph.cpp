// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/displays/Graph.h"

#include "filters/Transforms.h"
#include "ui/Fonts.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

// A double pixel coordinate truncated toward zero, kept inside the int range.
int TruncPixel(double v) {
  if (std::isnan(v)) {
    return 0;
  }
  return static_cast<int>(std::clamp(std::trunc(v), -1.0e9, 1.0e9));
}

// A value that stays inside the chart's 127-character text fields.
QString Clip(const QString& s) {
  return s.left(TGraph::MaxTextLength);
}

} // namespace

// ---- Drawing primitives ------------------------------------------------------------------------

namespace Gdi {

QFont ArialFont(int pixelHeight, int weight) {
  QFont f(ArialFace());
  f.setPixelSize(pixelHeight);
  f.setWeight(static_cast<QFont::Weight>(weight));
  f.setItalic(false);
  f.setUnderline(false);
  f.setStrikeOut(false);
  f.setStyleHint(QFont::SansSerif);
  f.setStyleStrategy(QFont::NoAntialias);
  // Unhinted advances at these small sizes let a minus touch the next glyph ("-Inf." read as "Inf.").
  f.setHintingPreference(QFont::PreferFullHinting);
  return f;
}

void PreparePainter(QPainter& p) {
  p.setRenderHint(QPainter::Antialiasing, false);
  p.setRenderHint(QPainter::TextAntialiasing, false);
  p.setRenderHint(QPainter::SmoothPixmapTransform, false);
}

void Line(QPainter& p, QPoint a, QPoint b, const QColor& colour, int width) {
  const int dx = b.x() - a.x();
  const int dy = b.y() - a.y();
  const int steps = std::max(std::abs(dx), std::abs(dy));
  if (steps == 0) {
    return;
  }
  const int w = std::max(width, 1);
  const int half = w / 2;
  const bool steep = std::abs(dy) > std::abs(dx);
  const int major = steep ? dy : dx;
  const int minor = steep ? dx : dy;
  const int majorSign = major > 0 ? 1 : -1;
  const int minorSign = minor > 0 ? 1 : (minor < 0 ? -1 : 0);
  const long long minorAbs = std::abs(minor);

  // Pixels k = 0 .. steps-1 (the end point is left out), merged into runs along the major axis.
  auto minorAt = [&](int k) {
    return static_cast<int>((2LL * k * minorAbs + steps) / (2LL * steps)) * minorSign;
  };
  auto fillRun = [&](int runStart, int runEnd, int minorOffset) {
    const int lo = std::min(runStart, runEnd);
    const int len = std::abs(runEnd - runStart) + 1;
    if (steep) {
      p.fillRect(QRect(a.x() + minorOffset - half, a.y() + lo - half, w, len + w - 1), colour);
    } else {
      p.fillRect(QRect(a.x() + lo - half, a.y() + minorOffset - half, len + w - 1, w), colour);
    }
  };
  int runStart = 0;
  int runMinor = minorAt(0);
  for (int k = 1; k < steps; ++k) {
    const int m = minorAt(k);
    if (m != runMinor) {
      fillRun(runStart * majorSign, (k - 1) * majorSign, runMinor);
      runStart = k;
      runMinor = m;
    }
  }
  fillRun(runStart * majorSign, (steps - 1) * majorSign, runMinor);
}

void Rectangle(QPainter& p, const TRect& r, const QColor& pen, const QColor& brush, int penWidth) {
  if (r.right <= r.left || r.bottom <= r.top) {
    return;
  }
  FillRect(p, r, brush);
  const QPoint tl(r.left, r.top);
  const QPoint tr(r.right - 1, r.top);
  const QPoint br(r.right - 1, r.bottom - 1);
  const QPoint bl(r.left, r.bottom - 1);
  if (tl == br) {
    Line(p, tl, tl + QPoint(1, 0), pen, penWidth);
    return;
  }
  Line(p, tl, tr, pen, penWidth);
  Line(p, tr, br, pen, penWidth);
  Line(p, br, bl, pen, penWidth);
  Line(p, bl, tl, pen, penWidth);
  // A one-pixel-wide or -high rectangle has a degenerate side; its corner pixel closes it.
  if (tl.x() == tr.x() || tl.y() == bl.y()) {
    Line(p, br, br + QPoint(1, 0), pen, penWidth);
  }
}

void FillRect(QPainter& p, const TRect& r, const QColor& colour) {
  if (r.right <= r.left || r.bottom <= r.top) {
    return;
  }
  p.fillRect(QRect(r.left, r.top, r.right - r.left, r.bottom - r.top), colour);
}

QImage Surface(int width, int height, qreal devicePixelRatio) {
  const qreal ratio = devicePixelRatio > 0 ? devicePixelRatio : 1.0;
  QImage image(static_cast<int>(std::ceil(std::max(width, 1) * ratio)),
               static_cast<int>(std::ceil(std::max(height, 1) * ratio)), QImage::Format_RGB32);
  image.setDevicePixelRatio(ratio);
  image.fill(Qt::white);
  return image;
}

QPoint TextExtent(const QFont& font, const QString& text) {
  const QFontMetrics m(font);
  return QPoint(m.horizontalAdvance(text), m.height());
}

void Text(QPainter& p, int x, int y, TTextAlign align, const QString& text, const QColor& colour,
          const QColor& background) {
  const QFontMetrics m(p.font());
  const int w = m.horizontalAdvance(text);
  int left = x;
  if (align == TTextAlign::Centre) {
    left = x - w / 2;
  } else if (align == TTextAlign::Right) {
    left = x - w;
  }
  p.fillRect(QRect(left, y, w, m.height()), background);
  p.setPen(colour);
  p.drawText(left, y + m.ascent(), text);
}

} // namespace Gdi

// ---- TGraph ------------------------------------------------------------------------------------

TGraph::TGraph(TRect bounds, const QString& xTitle, double xMax, const QString& yTitle, double yMax,
               double xMin, double xBaseStep, double yMin, double yBaseStep, const QString& title,
               bool hasTitleBar, int32_t xLabelSpacing, int32_t yLabelSpacing)
    : Title(Clip(title)), XTitle(Clip(xTitle)), YTitle(Clip(yTitle)), XLabelSpacing(xLabelSpacing),
      YLabelSpacing(yLabelSpacing), XBaseStep(xBaseStep), YBaseStep(yBaseStep), HasTitleBar(hasTitleBar),
      XMin(xMin), XMax(xMax), YMin(yMin), YMax(yMax) {
  SetBounds(bounds);
  TitleFont = Gdi::ArialFont(16, 700);
  XTitleFont = Gdi::ArialFont(14, 700);
  YTitleFont = Gdi::ArialFont(14, 700);
  LabelFont = Gdi::ArialFont(14, 400);
}

double TGraph::RoundStepUp(double v, double base) {
  if (v < base) {
    return base;
  }
  const double r = std::fmod(v, base);
  return r == 0 ? v : v - r + base;
}

QString TGraph::NumberText(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.10g", v);
  return QString::fromLatin1(text);
}

QString TGraph::FormatYLabel(double v) const {
  if (!DecibelLabels) {
    return NumberText(v);
  }
  if (v == 0) {
    return QStringLiteral("-Inf.");
  }
  if (v == YMax) {
    return QStringLiteral("0");
  }
  const double d = AmplitudeToDb(std::fabs(v / YMax));
  const double r = std::fmod(d, 0.1);
  double rounded = d - r;
  if (std::fabs(r) >= 0.05) {
    rounded += d >= 0 ? 0.1 : -0.1;
  }
  return NumberText(rounded);
}

void TGraph::SetBounds(TRect r) {
  Bounds = r;
  PlotRect = TRect{r.left + 72, HasTitleBar ? r.top + 40 : r.top + 16, r.right - 32, r.bottom - 52};
  XStep = RoundStepUp((XMax - XMin) * XLabelSpacing / (PlotRect.right - PlotRect.left), XBaseStep);
  YStep = RoundStepUp((YMax - YMin) * YLabelSpacing / (PlotRect.bottom - PlotRect.top), YBaseStep);
}

TRect TGraph::InnerRect() const {
  return TRect{PlotRect.left + 1, PlotRect.top + 1, PlotRect.right, PlotRect.bottom - 2};
}

bool TGraph::CanDraw() const {
  return PlotRect.right - PlotRect.left > 1 && PlotRect.bottom - PlotRect.top > 2 && XMax > XMin &&
         YMax > YMin && std::isfinite(XMax - XMin) && std::isfinite(YMax - YMin) &&
         (!LogX || (LogXFrom > 0 && XMax > LogXFrom && std::isfinite(XMax / LogXFrom)));
}

double TGraph::XLeft() const {
  return LogX ? LogXFrom : XMin;
}

int TGraph::XPixel(double v) const {
  const double width = PlotRect.right - PlotRect.left;
  if (LogX) {
    return TruncPixel(PlotRect.left + width * std::log(v / LogXFrom) / std::log(XMax / LogXFrom));
  }
  return TruncPixel(PlotRect.left + (v - XMin) * width / (XMax - XMin));
}

int TGraph::YPixel(double v) const {
  const double sy = (PlotRect.bottom - PlotRect.top) / (YMax - YMin);
  return TruncPixel(PlotRect.bottom - (v - YMin) * sy);
}

void TGraph::Paint(QPainter& p) {
  if (HasTitleBar) {
    DrawTitleBar(p);
  }
  if (ShowAxisTitles) {
    DrawAxisTitles(p);
  }
  if (ShowFrame || ShowXLabels || ShowYLabels) {
    DrawAxes(p);
  }
}

void TGraph::DrawTitleBar(QPainter& p) {
  p.save();
  Gdi::PreparePainter(p);
  const QPoint size = Gdi::TextExtent(TitleFont, Title);
  Gdi::Rectangle(p, Bounds, Qt::black, Qt::white);
  Gdi::FillRect(p, TRect{Bounds.left + 1, Bounds.top + 1, Bounds.right - 1, Bounds.top + size.y() + 8},
                TitleBarColour);
  p.setFont(TitleFont);
  const int x = static_cast<int>(std::floor((Bounds.left + Bounds.right - size.x()) / 2.0));
  Gdi::Text(p, x, Bounds.top + 4, TTextAlign::Left, Title, Qt::white, TitleBarColour);
  p.restore();
}

void TGraph::DrawAxisTitles(QPainter& p) {
  p.save();
  Gdi::PreparePainter(p);
  const QPoint xSize = Gdi::TextExtent(XTitleFont, XTitle);
  p.setFont(XTitleFont);
  Gdi::Text(p, (PlotRect.left + PlotRect.right) / 2, Bounds.bottom - xSize.y() - 8, TTextAlign::Centre,
            XTitle, Qt::black, Qt::white);

  // The y title reads from bottom to top: the top of its cell faces left, at Bounds.left + 8.
  p.setFont(YTitleFont);
  p.translate(Bounds.left + 8, (PlotRect.top + PlotRect.bottom) / 2);
  p.rotate(-90);
  Gdi::Text(p, 0, 0, TTextAlign::Centre, YTitle, Qt::black, Qt::white);
  p.restore();
}

void TGraph::DrawAxes(QPainter& p) {
  if (!CanDraw()) {
    return;
  }
  p.save();
  Gdi::PreparePainter(p);
  const QPoint maxSize = Gdi::TextExtent(LabelFont, NumberText(XMax));
  const int w = maxSize.x();
  const int h = maxSize.y();

  if (ShowFrame) {
    Gdi::Rectangle(p, PlotRect, Qt::black, Qt::white, 2);
  }
  p.setFont(LabelFont);
  const QColor black(Qt::black);
  const QColor white(Qt::white);

  // X axis. The inner ticks stop w/2 + 8 pixels short of the right edge, where the XMax label stands.
  if (ShowXLabels) {
    Gdi::Text(p, PlotRect.right, PlotRect.bottom + 4, TTextAlign::Centre, NumberText(XMax), black, white);
    Gdi::Text(p, PlotRect.left, PlotRect.bottom + 4, TTextAlign::Centre, NumberText(XLeft()), black, white);
  }
  const int xLimit = PlotRect.right - w / 2 - 8;
  if (LogX) {
    DrawLogXAxis(p, w);
  }
  // Every tick lies on its own pixel column or further right, so the plot width bounds the count.
  int ticksLeft = LogX ? 0 : PlotRect.right - PlotRect.left + 1;
  for (double v = XMin + XStep; ticksLeft-- > 0; v += XStep) {
    const int x = XPixel(v);
    if (!(x < xLimit)) {
      break;
    }
    if (ShowTicks) {
      Gdi::Line(p, QPoint(x, PlotRect.bottom + 2), QPoint(x, PlotRect.bottom - 5), black);
    }
    if (ShowGrid) {
      Gdi::Line(p, QPoint(x, PlotRect.bottom - 5), QPoint(x, PlotRect.top), GridColour);
    }
    if (ShowXLabels) {
      Gdi::Text(p, x, PlotRect.bottom + 4, TTextAlign::Centre, NumberText(v), black, white);
    }
  }

  // Y axis.
  if (ShowYLabels) {
    Gdi::Text(p, PlotRect.left - 6, PlotRect.top - h / 2, TTextAlign::Right, FormatYLabel(YMax), black,
              white);
    Gdi::Text(p, PlotRect.left - 6, PlotRect.bottom - h / 2, TTextAlign::Right, FormatYLabel(YMin), black,
              white);
  }
  auto yTick = [&](int y, double v) {
    if (ShowTicks) {
      Gdi::Line(p, QPoint(PlotRect.left - 3, y), QPoint(PlotRect.left + 4, y), black);
    }
    if (ShowGrid) {
      Gdi::Line(p, QPoint(PlotRect.left + 4, y), QPoint(PlotRect.right - 2, y), GridColour);
    }
    if (ShowYLabels) {
      Gdi::Text(p, PlotRect.left - 6, y - h / 2, TTextAlign::Right, FormatYLabel(v), black, white);
    }
  };
  // A start far outside the range could take many steps to reach the area; the count is bounded.
  const int maxYTicks = PlotRect.bottom - PlotRect.top + 2;
  int ticksUp = maxYTicks;
  for (double v = SymmetricY ? 0.0 : YMin + YStep; ticksUp-- > 0; v += YStep) {
    const int y = YPixel(v);
    if (!(y > PlotRect.top + h / 2 + 4)) {
      break;
    }
    yTick(y, v);
  }
  if (SymmetricY) {
    int ticksDown = maxYTicks;
    for (double v = -YStep; ticksDown-- > 0; v -= YStep) {
      const int y = YPixel(v);
      if (!(y < PlotRect.bottom - h / 2 - 4)) {
        break;
      }
      yTick(y, v);
    }
  }
  p.restore();
}

void TGraph::DrawLogXAxis(QPainter& p, int labelWidth) {
  const QColor black(Qt::black);
  const QColor white(Qt::white);
  const int xLimit = PlotRect.right - labelWidth / 2 - 8;
  // Ticks and grid at 1, 2 and 5 of each decade; labels on the decades first, then on the 2s and 5s
  // where they keep the linear axis' spacing from every other label, the end labels included.
  std::vector<int> labelled{PlotRect.left, PlotRect.right};
  const int spacing = std::max(XLabelSpacing, labelWidth + 8);
  for (const bool decades : {true, false}) {
    for (double decade = std::pow(10.0, std::floor(std::log10(LogXFrom))); decade < XMax; decade *= 10) {
      for (const double m : {1.0, 2.0, 5.0}) {
        const double v = m * decade;
        const int x = XPixel(v);
        if (!(v > LogXFrom) || !(x < xLimit) || decades != (m == 1.0)) {
          continue;
        }
        if (ShowTicks) {
          Gdi::Line(p, QPoint(x, PlotRect.bottom + 2), QPoint(x, PlotRect.bottom - 5), black);
        }
        if (ShowGrid) {
          Gdi::Line(p, QPoint(x, PlotRect.bottom - 5), QPoint(x, PlotRect.top), GridColour);
        }
        const bool room = std::all_of(labelled.begin(), labelled.end(),
                                      [&](int other) { return std::abs(x - other) >= spacing; });
        if (ShowXLabels && room) {
          Gdi::Text(p, x, PlotRect.bottom + 4, TTextAlign::Centre, NumberText(v), black, white);
          labelled.push_back(x);
        }
      }
    }
  }
}

template <class T> void TGraph::ReduceLog(const T* values, int n, int columns, TColumnSpan* out) const {
  // Column c, at x = PlotRect.left + 1 + c, covers what XPixel puts there: the axis from f(c + 1) to
  // f(c + 2), f(k) = LogXFrom * (XMax / LogXFrom)^(k / width). Value i stands at
  // XMin + i * (XMax - XMin) / (n - 1).
  const double ratio = std::log(XMax / LogXFrom) / (PlotRect.right - PlotRect.left);
  const double perValue = (n - 1) / (XMax - XMin);
  const auto position = [&](int c) { return (LogXFrom * std::exp(ratio * (c + 1)) - XMin) * perValue; };
  const auto at = [&](double u) {
    const int i = std::clamp(static_cast<int>(u), 0, n - 2);
    const double f = std::clamp(u - i, 0.0, 1.0);
    return values[i] * (1 - f) + values[i + 1] * f;
  };
  double from = position(0);
  for (int c = 0; c < columns; ++c) {
    const double to = position(c + 1);
    TColumnSpan span;
    span.First = at(from);
    span.Last = at(to);
    span.Low = std::min(span.First, span.Last);
    span.High = std::max(span.First, span.Last);
    // Every value inside the stretch, so that no peak between the ends is skipped.
    const int last = std::min(static_cast<int>(std::floor(to)), n - 1);
    for (int i = std::max(static_cast<int>(std::ceil(from)), 0); i <= last; ++i) {
      const double v = values[i];
      span.Low = v < span.Low || std::isnan(span.Low) ? v : span.Low;
      span.High = v > span.High || std::isnan(span.High) ? v : span.High;
    }
    out[c] = span;
    from = to;
  }
}

template <class T> void TGraph::Resample(const T* values, int n, int columns, bool truncate, double* out) {
  if (n < 2 || columns < 1) {
    return;
  }
  const int step = n / columns;
  const double frac = std::fmod(static_cast<double>(n) / columns, 1.0);
  int i = 0;
  double u = 0;
  for (int c = 0; c < columns; ++c) {
    if (u >= 1) {
      u -= 1;
      ++i;
    }
    double v;
    if (i >= n - 1) {
      // Past the last value: continue the last pair (accumulated rounding never reads beyond it).
      v = values[n - 1] + u * (static_cast<double>(values[n - 1]) - values[n - 2]);
    } else {
      v = values[i] * (1 - u) + values[i + 1] * u;
    }
    out[c] = truncate ? std::trunc(v) : v;
    i += step;
    u += frac;
  }
}

template <class T> void TGraph::Reduce(const T* values, int n, int columns, TColumnSpan* out) {
  if (columns < 1 || n <= columns) {
    return;
  }
  int64_t first = 0;
  for (int c = 0; c < columns; ++c) {
    // Column c holds the values i with c <= i * columns / n < c + 1.
    const int64_t end = ((static_cast<int64_t>(c) + 1) * n + columns - 1) / columns;
    TColumnSpan span;
    span.First = values[first];
    span.Last = values[end - 1];
    span.Low = span.First;
    span.High = span.First;
    for (int64_t i = first + 1; i < end; ++i) {
      const double v = values[i];
      // A not-a-number stays out of the extremes unless the column holds nothing else.
      span.Low = v < span.Low || std::isnan(span.Low) ? v : span.Low;
      span.High = v > span.High || std::isnan(span.High) ? v : span.High;
    }
    out[c] = span;
    first = end;
  }
}

template <class T> void TGraph::Plot(QPainter& p, const T* values, int n, bool bars, bool truncate) {
  if (ShowFrame || ShowXLabels || ShowYLabels) {
    DrawAxes(p);
  }
  if (!CanDraw() || n < 2 || values == nullptr) {
    return;
  }
  const int columns = PlotRect.right - PlotRect.left - 1;
  const bool reduce = n > columns || LogX;
  if (reduce) {
    if (columnSpans.size() < static_cast<size_t>(columns)) {
      columnSpans.resize(static_cast<size_t>(columns));
    }
    if (LogX) {
      ReduceLog(values, n, columns, columnSpans.data());
    } else {
      Reduce(values, n, columns, columnSpans.data());
    }
  } else {
    if (columnValues.size() < static_cast<size_t>(columns)) {
      columnValues.resize(static_cast<size_t>(columns));
    }
    Resample(values, n, columns, truncate, columnValues.data());
  }

  p.save();
  Gdi::PreparePainter(p);
  const double sy = (PlotRect.bottom - PlotRect.top) / (YMax - YMin);
  const int top = PlotRect.top;
  const int lowest = PlotRect.bottom - 2;
  const auto row = [&](double v) {
    const double yd = PlotRect.bottom - (v - YMin) * sy;
    if (yd < top) {
      return top;
    }
    if (yd > lowest || std::isnan(yd)) {
      return lowest;
    }
    return TruncPixel(yd);
  };
  QPoint previous;
  for (int c = 0; c < columns; ++c) {
    const int x = PlotRect.left + 1 + c;
    if (!reduce) {
      const QPoint point(x, row(columnValues[c]));
      if (bars) {
        Gdi::Line(p, QPoint(x, PlotRect.bottom - 1), point, SeriesColour, PenWidth);
      } else if (c > 0) {
        Gdi::Line(p, previous, point, SeriesColour, PenWidth);
      }
      previous = point;
      continue;
    }
    const TColumnSpan& span = columnSpans[c];
    if (bars) {
      Gdi::Line(p, QPoint(x, PlotRect.bottom - 1), QPoint(x, row(span.High)), SeriesColour, PenWidth);
      continue;
    }
    // On from the previous column to this column's first value, then its stroke from the largest
    // value (upper row) to the smallest (lower row), both rows covered.
    const QPoint first(x, row(span.First));
    if (c > 0) {
      Gdi::Line(p, previous, first, SeriesColour, PenWidth);
    }
    const int upper = row(span.High);
    const int lower = row(span.Low);
    Gdi::Line(p, QPoint(x, upper), QPoint(x, lower + 1), SeriesColour, PenWidth);
    previous = QPoint(x, row(span.Last));
  }
  p.restore();
}

void TGraph::PlotSeries(QPainter& p, const int8_t* values, int n, bool bars) {
  Plot(p, values, n, bars, true);
}
void TGraph::PlotSeries(QPainter& p, const int16_t* values, int n, bool bars) {
  Plot(p, values, n, bars, true);
}
void TGraph::PlotSeries(QPainter& p, const int32_t* values, int n, bool bars) {
  Plot(p, values, n, bars, true);
}
void TGraph::PlotSeries(QPainter& p, const float* values, int n, bool bars) {
  Plot(p, values, n, bars, false);
}
void TGraph::PlotSeries(QPainter& p, const double* values, int n, bool bars) {
  Plot(p, values, n, bars, false);
}

template void TGraph::Resample<int8_t>(const int8_t*, int, int, bool, double*);
template void TGraph::Resample<int16_t>(const int16_t*, int, int, bool, double*);
template void TGraph::Resample<int32_t>(const int32_t*, int, int, bool, double*);
template void TGraph::Resample<float>(const float*, int, int, bool, double*);
template void TGraph::Resample<double>(const double*, int, int, bool, double*);
template void TGraph::Reduce<int8_t>(const int8_t*, int, int, TColumnSpan*);
template void TGraph::Reduce<int16_t>(const int16_t*, int, int, TColumnSpan*);
template void TGraph::Reduce<int32_t>(const int32_t*, int, int, TColumnSpan*);
template void TGraph::Reduce<float>(const float*, int, int, TColumnSpan*);
template void TGraph::Reduce<double>(const double*, int, int, TColumnSpan*);

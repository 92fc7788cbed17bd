// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TGraph: one two-dimensional chart drawn into a surface its owner supplies: an optional title bar,
// the axis titles, a framed plot area with ticks, grid and labels, and one series of values
// resampled to one value per pixel column. The chart holds no data; PlotSeries redraws the frame
// (clearing the plot area) and then the series.
//
// Pixel conventions (device pixels, y down): a line from A to B covers A and stops before B; an
// outlined rectangle (l, t, r, b) covers x l..r-1 and y t..b-1, border in the pen, inside in the
// brush; a pen w pixels wide stamps a w x w square from (x - w/2, y - w/2) on every pixel of the
// thin line; text stands with the top of its cell at the reference point, left, centre or right
// of it, on a cell filled with the background colour. No antialiasing.
//
// Threads: user-interface thread only.

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPoint>
#include <QString>

#include <cstdint>
#include <vector>

class QPainter;

// A rectangle by its edges; right and bottom lie just outside it.
struct TRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;

  int32_t Width() const { return right - left; }
  int32_t Height() const { return bottom - top; }
  friend bool operator==(const TRect&, const TRect&) = default;
};

enum class TTextAlign { Left, Centre, Right };

// The drawing primitives every display uses, on any QPainter, with the conventions above.
namespace Gdi {
// A font of the face that stands for "Arial", of the given character height in pixels and weight (400
// normal, 700 bold).
QFont ArialFont(int pixelHeight, int weight);
// Switches antialiasing of shapes and text off.
void PreparePainter(QPainter& p);
void Line(QPainter& p, QPoint a, QPoint b, const QColor& colour, int width = 1);
// Border in the pen colour and width, inside in the brush colour.
void Rectangle(QPainter& p, const TRect& r, const QColor& pen, const QColor& brush, int penWidth = 1);
void FillRect(QPainter& p, const TRect& r, const QColor& colour);
// Opaque text with the painter's font: pen colour on the given background.
void Text(QPainter& p, int x, int y, TTextAlign align, const QString& text, const QColor& colour,
          const QColor& background);
// Width and height of a text in a font (height: ascent plus descent).
QPoint TextExtent(const QFont& font, const QString& text);
// A white off-screen surface of a size in logical pixels, drawn at the screen's device pixel ratio:
// painters on it work in logical pixels, and text and edges come out at the screen's resolution.
QImage Surface(int width, int height, qreal devicePixelRatio);
} // namespace Gdi

class TGraph {
public:
  static constexpr int MaxTextLength = 127;

  TGraph(TRect bounds, const QString& xTitle, double xMax, const QString& yTitle, double yMax, double xMin,
         double xBaseStep, double yMin, double yBaseStep, const QString& title, bool hasTitleBar,
         int32_t xLabelSpacing, int32_t yLabelSpacing);
  TGraph(const TGraph&) = delete;
  TGraph& operator=(const TGraph&) = delete;

  // Places the chart and derives PlotRect, XStep and YStep.
  void SetBounds(TRect r);
  // Title bar, axis titles, frame, ticks, grid and labels; not the series.
  void Paint(QPainter& p);
  void DrawTitleBar(QPainter& p);
  void DrawAxisTitles(QPainter& p);
  void DrawAxes(QPainter& p);
  // Inside of the frame: (left + 1, top + 1, right, bottom - 2) of PlotRect.
  TRect InnerRect() const;

  // Draws n values across the plot area; as bars from the bottom edge or as a line. With more values
  // than pixel columns every value falls into one column (value i into column i * columns / n):
  // a bar shows the largest of its column, a line strokes each column from its smallest to its
  // largest value, so no peak is skipped. With fewer values the series is resampled to one
  // interpolated value per column. Values outside the y range are drawn at the frame's edges.
  void PlotSeries(QPainter& p, const int8_t* values, int n, bool bars);
  void PlotSeries(QPainter& p, const int16_t* values, int n, bool bars);
  void PlotSeries(QPainter& p, const int32_t* values, int n, bool bars);
  void PlotSeries(QPainter& p, const float* values, int n, bool bars);
  void PlotSeries(QPainter& p, const double* values, int n, bool bars);

  // The step: base when v < base, else v raised to a whole multiple of base.
  static double RoundStepUp(double v, double base);
  // A tick value as C's %.10g writes it.
  static QString NumberText(double v);
  // The y label: the number, or with DecibelLabels the level relative to YMax in dB to 0.1.
  QString FormatYLabel(double v) const;
  // Whether the ranges and the plot area allow drawing: a positive plot area and ranges.
  bool CanDraw() const;

  // The values drawn in `columns` pixel columns: n / columns values per column, interpolated
  // between neighbours, the last pair continued past the end; truncated toward zero when
  // `truncate` is set. Writes `columns` values to out; nothing when n < 2 or columns < 1.
  template <class T> static void Resample(const T* values, int n, int columns, bool truncate, double* out);

  // What falls into one pixel column of a series with more values than columns.
  struct TColumnSpan {
    double First = 0; // the column's first value
    double Last = 0;  // its last value
    double Low = 0;   // its smallest value
    double High = 0;  // its largest value
  };
  // The spans of `columns` columns over n > columns values: value i falls into column
  // floor(i * columns / n), so every column holds at least one value and every value one column.
  template <class T> static void Reduce(const T* values, int n, int columns, TColumnSpan* out);

  QString Title;
  QString XTitle;
  QString YTitle;
  int32_t XLabelSpacing;
  int32_t YLabelSpacing;
  double XBaseStep;
  double YBaseStep;
  bool HasTitleBar;
  TRect Bounds;
  TRect PlotRect;
  QFont TitleFont;
  QFont XTitleFont;
  QFont YTitleFont;
  QFont LabelFont;
  double XMin;
  double XMax;
  double YMin;
  double YMax;
  double XStep = 0;
  double YStep = 0;
  int32_t PenWidth = 1;
  bool DecibelLabels = false;
  // A logarithmic x axis from LogXFrom to XMax, ticked at 1, 2 and 5 of each decade. The series still
  // spans XMin..XMax in equal steps; a column shows the values of its stretch of the axis.
  bool LogX = false;
  double LogXFrom = 20;
  bool SymmetricY = false;
  bool ShowTicks = true;
  bool ShowGrid = true;
  bool ShowXLabels = true;
  bool ShowYLabels = true;
  bool ShowAxisTitles = true;
  bool ShowFrame = true;
  QColor TitleBarColour{0, 0, 255};
  QColor SeriesColour{0, 0, 128};
  QColor GridColour{192, 192, 192};

private:
  template <class T> void Plot(QPainter& p, const T* values, int n, bool bars, bool truncate);
  int XPixel(double v) const;
  // The x axis' left end: XMin, or LogXFrom on a logarithmic axis.
  double XLeft() const;
  void DrawLogXAxis(QPainter& p, int labelWidth);
  // The spans of the pixel columns of a logarithmic axis over n values from XMin to XMax.
  template <class T> void ReduceLog(const T* values, int n, int columns, TColumnSpan* out) const;
  int YPixel(double v) const;

  std::vector<double> columnValues;     // reused per PlotSeries
  std::vector<TColumnSpan> columnSpans; // reused per PlotSeries
};

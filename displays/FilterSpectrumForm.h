#pragma once
// TFilterSpectrumForm: the amplitude-frequency response of one filter, or of every enabled filter
// of a chain in series, measured once when the window opens (a unit impulse through fresh copies,
// 1024-point transform) and drawn in dB from 0 to fs/2, -120 to 30 dB, with a 2-pixel pen.
//
// Threads: user-interface thread only. The real filters are only read (their parameters).

#include "app/FrequencyResponse.h"
#include "displays/Graph.h"

#include <QImage>
#include <QWidget>

#include <memory>

class TFilter;
class TFilterList;

class TFilterSpectrumForm : public QWidget {
  Q_OBJECT

public:
  // The chart is never laid out smaller than this, so that its plot area stays positive; a smaller
  // window shows its top left part.
  static constexpr int MinChartWidth = 160;
  static constexpr int MinChartHeight = 120;

  // One filter (wholeChain false, filter given) or the whole chain (wholeChain true, list given).
  TFilterSpectrumForm(QWidget* owner, bool wholeChain, const TFilter* filter, const TFilterList* list);
  ~TFilterSpectrumForm() override;

  void FormResize();

  QImage Image;
  std::unique_ptr<TGraph> Graph;
  TResponse Response{};

protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

private:
  TRect ChartRect() const;
};

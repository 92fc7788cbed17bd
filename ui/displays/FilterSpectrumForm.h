// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TFilterSpectrumForm: the amplitude-frequency response of one filter, or of every enabled filter
// of a chain in series, measured over the whole impulse response (fresh copies, see
// FrequencyResponse.h) and drawn in dB from 0 to fs/2, -120 to 30 dB, with a 2-pixel pen; with more
// bins than pixel columns each column strokes from its lowest to its highest bin. Its context menu
// offers a logarithmic frequency axis and narrower level ranges, down to the tenths of a dB of a
// pass band's ripple.
//
// The window follows what it shows: when its filter's parameters, or the chain's filters, flags or
// order, differ from what was measured, it measures again and redraws; when its filter has left the
// chain it closes. The owner calls FollowChain after every change of the chain; a timer calls it in
// between, so that edits in the filter dialogs show while they are made. The caption names the
// filter shown.
//
// Threads: user-interface thread only. The real filters are only read (their parameters); the
// chain and its filters must outlive the window or leave it through FollowChain.

#include "filters/FrequencyResponse.h"
#include "ui/displays/FrequencyView.h"
#include "ui/displays/Graph.h"

#include <QImage>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <vector>

class QMenu;
class QTimer;
class TFilter;
class TFilterList;

class TFilterSpectrumForm : public QWidget {
  Q_OBJECT

public:
  // The chart is never laid out smaller than this, so that its plot area stays positive; a smaller
  // window shows its top left part.
  static constexpr int MinChartWidth = 160;
  static constexpr int MinChartHeight = 120;
  // How often the window looks whether its filter or chain has changed.
  static constexpr int FollowIntervalMs = 250;

  // One filter (wholeChain false, filter given; with the list it is in, the window follows it there)
  // or the whole chain (wholeChain true, list given).
  TFilterSpectrumForm(QWidget* owner, bool wholeChain, const TFilter* filter, const TFilterList* list);
  ~TFilterSpectrumForm() override;

  void FormResize();
  // Closes the window when its filter is no longer in the list; otherwise measures again and redraws
  // when what it shows has changed, and renames it.
  void FollowChain();
  // "Амплитудно-частотная характеристика фильтра - 2. Фильтр нижних частот" for the second filter
  // of the chain, the chain's caption for the whole chain.
  QString Caption() const;
  // The filter's place in the list, -1 when it is not there (or there is no list).
  int FilterIndex() const;

  QImage Image;
  std::unique_ptr<TGraph> Graph;
  TResponseCurve Response;
  bool WholeChain = false;
  const TFilter* Filter = nullptr;
  const TFilterList* List = nullptr;
  QMenu* PopupMenu = nullptr; // owned by the window
  TFrequencyView* View = nullptr;

protected:
  void contextMenuEvent(QContextMenuEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

private:
  TRect ChartRect() const;
  // The bytes that decide the response: the filters shown, their order, flags and parameters.
  std::vector<uint8_t> Fingerprint() const;
  void Measure();

  std::vector<uint8_t> measured; // the fingerprint of what Response shows
  QTimer* followTimer = nullptr;
  bool leaving = false;
};

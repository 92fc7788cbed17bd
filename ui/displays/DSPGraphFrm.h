// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TDSPGraphFrm: the signal of a running processing window, update by update, in one of three views:
// the sample values against time, the magnitude spectrum as bars, or a scrolling grey-scale
// spectrogram (4 pixels per update, loud frequencies dark, wrapping at the right margin); the spectrum
// may be shown over a logarithmic frequency axis and a narrower level range. An update
// shows the newest Frames frames (a block, or the default block's length of small blocks), and one
// comes per that length of input, which the time axes follow. One chart
// per channel (at most two), side by side in a scrollable window; charts are never smaller than
// 320 x 224 pixels.
//
// Threads: user-interface thread only. ShowBlock copies the block's bytes first, so the worker may
// fill the next block into the same buffer meanwhile.

#include "dsp/WaveFormat.h"
#include "ui/displays/FrequencyView.h"
#include "ui/displays/Graph.h"

#include <QAbstractScrollArea>
#include <QImage>
#include <QString>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

class QAction;
class QMenu;
class TAudioBuffer;

class TDSPGraphFrm : public QAbstractScrollArea {
  Q_OBJECT

public:
  static constexpr int32_t gtSamples = 0;
  static constexpr int32_t gtHistogram = 1;
  static constexpr int32_t gtSpectrogram = 2;
  static constexpr int MinGraphWidth = 320;
  static constexpr int MinGraphHeight = 224;
  static constexpr int ChartGap = 16;
  static constexpr int StripWidth = 4;

  TDSPGraphFrm(QWidget* owner, const QString& signalName);
  ~TDSPGraphFrm() override;

  void SetFormat(const TWaveFormat& format, uint32_t frames);
  void Rebuild();
  void UpdateCaption();
  void ShowBlock(const TAudioBuffer& buffer);
  // The same for raw interleaved bytes in Format; frames beyond `bytes` are not read.
  void ShowBlock(const uint8_t* data, int32_t frames, int32_t bytes);
  // iSamples, iHistogram or iSpectrogram select their view; any other sender does nothing.
  void GraphTypeClick(QObject* sender);
  void FormResize();

  // The scroll extents: the width of the charts side by side and the chart height.
  int HorzRange() const { return horzRange; }
  int VertRange() const { return vertRange; }

  std::array<QImage, 2> Images;
  int32_t GraphType = gtSamples;
  int32_t GraphWidth = 0;
  int32_t GraphHeight = 0;
  int32_t BlockMs = 0;
  int32_t SpectrogramX = 0;
  QString SignalName;
  std::array<std::unique_ptr<TGraph>, 2> Graphs;
  TWaveFormat Format;
  uint32_t Frames = 0;
  QObject* OwnerForm = nullptr;
  uint32_t Signal = 0;

  QMenu* PopupMenu = nullptr; // owned by the window
  QAction* iSamples = nullptr;
  QAction* iHistogram = nullptr;
  QAction* iSpectrogram = nullptr;
  // The spectrum's frequency axis and level range.
  TFrequencyView* SpectrumView = nullptr;

protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;

private:
  int ShownChannels() const;
  void UpdateScrollBars();
  void ShowSamples(int channel, int n);
  void ShowHistogram(int channel, int n);
  void ShowSpectrogram(int channel, int n);

  int horzRange = 0;
  int vertRange = 0;

  // Reused per block: the block's bytes, one channel's samples, transform arrays, the strip.
  std::vector<uint8_t> block;
  std::vector<int8_t> samples8;
  std::vector<int16_t> samples16;
  std::vector<float> re;
  std::vector<float> im;
  std::vector<float> levels;
  std::vector<double> window; // Blackman window of windowSize points
  int windowSize = 0;
  QImage strip;
};

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TLevelGauge: one channel's level meter. A bar whose green part rises with the peak level since the
// last update in dB relative to full scale (0 dB at the top of the bar, Floor at its bottom), a
// red mark at the highest level seen so far, that level as text above the bar and a dB scale left
// of it. The bar occupies (left + 24, top + 16, right - 8, bottom - 8) of the gauge's rectangle.
//
// Drawing uses the painter's current font and its pen and background colours for the text.
// Threads: user-interface thread only.

#include "dsp/WaveFormat.h"
#include "ui/displays/Graph.h"

#include <cstdint>

class QPainter;
class TAudioBuffer;

// The level of one channel of a block of interleaved PCM: the largest sample magnitude in dB
// relative to full scale (128 for 8-bit, 32768 for 16-bit), never below floorDb (silence gives
// floorDb). Frames beyond the given byte count are not read.
double BlockChannelLevel(const uint8_t* data, int32_t frames, int32_t bytes, const TWaveFormat& format,
                         int channel, double floorDb);
double BlockChannelLevel(const TAudioBuffer& block, int channel, double floorDb);
// The same level from a largest sample magnitude (ChannelPeak's) of samples of `bits` bits.
double PeakLevel(int32_t peak, int bits, double floorDb);

// The scale's labelled ticks for a bar of the given height and text height: how many, the step in
// whole dB, and the label value and pixel offset (from the bar's top) of tick k = 1 .. Count.
struct TGaugeScale {
  int Divisions = 0; // bar height / (2 * text height)
  int StepDb = 0;    // trunc (floor / divisions); 0 draws no labels
};
TGaugeScale GaugeScale(int barHeight, int textHeight, double floorDb);

class TLevelGauge {
public:
  TLevelGauge(TRect bounds, double floorDb);

  void SetBounds(TRect r);
  void SetLevel(double level) { Level = level; }
  // The whole gauge: bar frame, peak text, scale, bar.
  void Paint(QPainter& p);
  // The bar, the peak mark and, when the peak rose, the peak text.
  void DrawBar(QPainter& p);
  void DrawPeakText(QPainter& p);
  // The text shown above the bar: "-Inf." until a level above the floor was seen.
  QString PeakText() const;
  // The pixel row of a level on the bar: the top for 0 dB, bottom - 2 at or below the floor.
  int LevelPixel(double level) const;

  double Peak;
  double Floor;
  double Level;
  TRect Bounds;
  TRect BarRect;
};

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TMultiBandFilterDlg: the parameter dialog of the 20-band equaliser ("Gain", 20 linear gains),
// captioned as its descriptor says. One instance lives for the whole run; EditFilter points it at
// a filter before each showing.
//
// Bar i (TrackBar1 ... TrackBar20, two rows of ten, 50 Hz ... 16 kHz) at position p (-30..90) stands
// for a gain of -p dB on band i, so the top is +30 dB; every movement redesigns the running filter.
// "Сброс" puts every band back to 0 dB with one Apply. No Apply button: every movement is applied;
// "Отмена" (and Esc) puts back the gains the dialog was shown with.
//
// Threads: user-interface thread only; see TParameterDialog for the filter's lock.

#include "ui/dialogs/ParameterDialog.h"

#include <array>

class QLabel;

class TMultiBandFilterDlg : public TParameterDialog {
  Q_OBJECT

public:
  static constexpr int BandCount = 20;

  explicit TMultiBandFilterDlg(QWidget* parent = nullptr);

  // In band order: TrackBars[0] is TrackBar1, the 50 Hz band.
  std::array<QSlider*, BandCount> TrackBars{};
  std::array<QLabel*, BandCount> FrequencyLabels{};
  QPushButton* OKBtn = nullptr;
  QPushButton* CancelBtn = nullptr;
  QPushButton* iReset = nullptr;

protected:
  void LookUpParameters() override;
  void ShowFilter() override;
  bool WriteMovedBars() override;

private:
  void TrackBarChange(int band);
  // The band's gain in its bar's tool tip: "-6 дБ".
  void ShowGain(int band);
  void iResetClick();

  double* gain = nullptr;
  std::array<bool, BandCount> moved{};
};

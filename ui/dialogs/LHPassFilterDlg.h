// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TLHPassFilterDlg: the parameter dialog of the low-pass and the high-pass filter ("fc", "WindowType",
// "KernelSize"), captioned as the descriptor of the type shown says. One instance lives for the whole run;
// EditFilter points it at a filter before each showing.
//
// The cut-off bar runs over 0..100 on an exponential scale, 0 Hz at position 0 and fs/2 at 100:
//   position = trunc(20 ln(1 + E 2 fc / fs)),  fc = trunc(fs / 2 (e^(p / 20) - 1) / E),  E = e^5 - 1.
// The bar acts at once on fc; the edit, the window and the kernel size act on OK or Apply.
//
// Threads: user-interface thread only; see TParameterDialog for the filter's lock.

#include "ui/dialogs/ParameterDialog.h"

#include <cstdint>

class QLabel;
class QListWidget;
class QRadioButton;

class TLHPassFilterDlg : public TParameterDialog {
  Q_OBJECT

public:
  explicit TLHPassFilterDlg(QWidget* parent = nullptr);

  // The scale of FreqTrackBar at sample rate fs; positions outside 0..100 are clamped.
  static int PositionFromFrequency(int32_t fc, int32_t fs);
  static int32_t FrequencyFromPosition(int position, int32_t fs);

  QSlider* FreqTrackBar = nullptr;
  QLabel* Label1 = nullptr;
  QLineEdit* FreqEdit = nullptr;
  QRadioButton* IsHammingBtn = nullptr;
  QRadioButton* IsBlackmanBtn = nullptr;
  QLabel* Label2 = nullptr;
  QListWidget* KernelSizeList = nullptr;
  QPushButton* OKBtn = nullptr;
  QPushButton* CancelBtn = nullptr;
  QPushButton* ApplyBtn = nullptr;

protected:
  void LookUpParameters() override;
  void ShowFilter() override;
  bool WriteMovedBars() override;

private:
  void FreqTrackBarChange();
  // Validates the typed values and writes them with Apply; false (after the error box) if refused.
  bool ApplyTyped();
  void OKBtnClick();

  const TParameterDescription& cutoffDescription;
  const TParameterDescription& windowDescription;
  const TParameterDescription& sizeDescription;
  int32_t* fc = nullptr;
  int32_t* windowType = nullptr;
  int32_t* kernelSize = nullptr;
  bool freqMoved = false;
};

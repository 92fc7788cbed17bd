// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TEchoDlg: the parameter dialog of the echo ("Delay" and "DecayTime", in the ranges of their
// descriptions), captioned as the echo's descriptor says. One instance lives for the whole run; EditFilter
// points it at a filter before each showing. The bars act at once; the edits act on OK or Apply.
//
// Threads: user-interface thread only; see TParameterDialog for the filter's lock.

#include "ui/dialogs/ParameterDialog.h"

#include <cstdint>

class QLabel;

class TEchoDlg : public TParameterDialog {
  Q_OBJECT

public:
  explicit TEchoDlg(QWidget* parent = nullptr);

  QSlider* DecayTrackBar = nullptr;
  QLabel* Label1 = nullptr;
  QLineEdit* DecayEdit = nullptr;
  QSlider* DelayTrackBar = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* DelayEdit = nullptr;
  QPushButton* OKBtn = nullptr;
  QPushButton* CancelBtn = nullptr;
  QPushButton* ApplyBtn = nullptr;

protected:
  void LookUpParameters() override;
  void ShowFilter() override;
  bool WriteMovedBars() override;

private:
  void DelayTrackBarChange();
  void DecayTrackBarChange();
  // Validates the typed values and writes them with Apply; false (after the error box) if refused.
  bool ApplyTyped();
  void OKBtnClick();

  const TParameterDescription& delayDescription;
  const TParameterDescription& decayDescription;
  int32_t* delay = nullptr;
  int32_t* decayTime = nullptr;
  bool delayMoved = false;
  bool decayMoved = false;
};

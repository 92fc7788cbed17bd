// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TReverbDlg: the parameter dialog of the reverberation ("DryLevel", "EarlyLevel", "ReverbLevel",
// "ReverbTime", "DelayLines"), captioned as its descriptor says. One instance lives for the
// whole run; EditFilter points it at a filter before each showing.
//
// A level bar at position p (0..80) stands for -p dB, so the top is the loudest; the three level
// bars and the time bar act at once, the time edit and the delay-line count on OK or Apply.
//
// Threads: user-interface thread only; see TParameterDialog for the filter's lock.

#include "ui/dialogs/ParameterDialog.h"

#include <QSpinBox>

#include <array>
#include <cstdint>

class QLabel;

// An up-down button with the edit it is bound to.
class TUpDown : public QSpinBox {
public:
  explicit TUpDown(QWidget* parent = nullptr);
  QLineEdit* Edit() const { return lineEdit(); }
};

class TReverbDlg : public TParameterDialog {
  Q_OBJECT

public:
  explicit TReverbDlg(QWidget* parent = nullptr);

  QLabel* Label1 = nullptr;
  QSlider* TrackBar1 = nullptr;
  QLabel* Level1 = nullptr;
  QLabel* Label2 = nullptr;
  QSlider* TrackBar2 = nullptr;
  QLabel* Level2 = nullptr;
  QLabel* Label3 = nullptr;
  QSlider* TrackBar3 = nullptr;
  QLabel* Level3 = nullptr;
  QSlider* TrackBar4 = nullptr;
  QLabel* TimeHeading = nullptr; // over the time bar, as the levels' headings are over theirs
  QLabel* TimeValue = nullptr;   // under it: the time it shows
  QLabel* ReverbTimeLabel = nullptr;
  QLineEdit* ReverbTimeEdit = nullptr;
  QLabel* DelayLinesLabel = nullptr;
  QLineEdit* DelayLinesEdit = nullptr; // the edit of UpDown1
  TUpDown* UpDown1 = nullptr;
  QPushButton* OKBtn = nullptr;
  QPushButton* CancelBtn = nullptr;
  QPushButton* ApplyBtn = nullptr;

protected:
  void LookUpParameters() override;
  void ShowFilter() override;
  bool WriteMovedBars() override;

private:
  static constexpr int LevelCount = 3;

  void LevelBarChange(int level);
  void TrackBar4Change();
  void ShowTime();
  // Validates the typed values and writes them with Apply; false (after the error box) if refused.
  bool ApplyTyped();

  const TParameterDescription& timeDescription;
  const TParameterDescription& linesDescription;
  void OKBtnClick();

  std::array<QSlider*, LevelCount> levelBars{};
  std::array<QLabel*, LevelCount> levelLabels{};
  std::array<double*, LevelCount> levels{}; // DryLevel, EarlyLevel, ReverbLevel
  int32_t* reverbTime = nullptr;
  int32_t* delayLines = nullptr;
  std::array<bool, LevelCount> levelMoved{};
  bool timeMoved = false;
};

// SPDX-License-Identifier: GPL-3.0-or-later
// The reverberation and equaliser dialogs on real filters: what a showing reads, the level bars in
// whole decibels, the delay-line count that waits for Apply, "Сброс", and the scales.

#include "DialogFixtures.h"
#include "filters/MultiBandFilter.h"
#include "filters/Reverberation.h"
#include "filters/Transforms.h"
#include "support/FloatSignals.h"
#include "support/QtDialogs.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

using namespace dialogtest;
using sonotest::TBoxCatcher;

namespace {

// Clicks Apply; the texts of the boxes it brought up.
QStringList BoxesAfterApply(TReverbDlg& d) {
  TBoxCatcher boxes;
  QTest::mouseClick(d.ApplyBtn, Qt::LeftButton);
  QStringList texts;
  for (const auto& box : boxes.Shown()) {
    EXPECT_EQ(box.Title, "Ошибка");
    EXPECT_EQ(box.Icon, QMessageBox::Warning);
    texts << box.Text;
  }
  return texts;
}

// The amplitude of a sine of `hz` through the filter, measured on the third of three blocks.
double AmplitudeThrough(TFilter& filter, double hz, int32_t rate) {
  constexpr size_t Frames = 4096;
  std::vector<float> x = sonotest::Sine(3 * Frames, hz, rate, 10000.0);
  sonotest::ProcessInBlocks(filter, x, {static_cast<int32_t>(Frames)});
  return sonotest::SineAmplitude(x, 2 * Frames, 3 * Frames) / 10000.0;
}

// The labels of the dialog whose text is `text`, top to bottom.
std::vector<QLabel*> LabelsWithText(QWidget& dialog, const QString& text) {
  std::vector<QLabel*> found;
  for (QLabel* label : dialog.findChildren<QLabel*>()) {
    if (label->text() == text) {
      found.push_back(label);
    }
  }
  std::sort(found.begin(), found.end(), [&](QLabel* a, QLabel* b) {
    return a->mapTo(&dialog, QPoint()).y() < b->mapTo(&dialog, QPoint()).y();
  });
  return found;
}

int MiddleY(QWidget& dialog, QWidget& w) {
  return w.mapTo(&dialog, QPoint(0, w.height() / 2)).y();
}

} // namespace

TEST(ReverbDialog, ANewEffectShowsItsLevelsTimeAndLinesAndNothingIsApplied) {
  TReverbDlg& d = Dialogs().Reverb;
  TCounting<TReverberation> filter(44100);
  ShowOn(d, filter);
  EXPECT_EQ(d.windowTitle(), "Параметры эффекта \"Реверберация\"");
  EXPECT_EQ(d.Label1->text(), "Амплитуда исходного сигнала:");
  EXPECT_EQ(d.Label2->text(), "Амплитуда ранних отражений:");
  EXPECT_EQ(d.Label3->text(), "Амплитуда хвоста реверберации:");
  EXPECT_EQ(d.ReverbTimeLabel->text(), "Время реверберации (мс):");
  EXPECT_EQ(d.DelayLinesLabel->text(), "Количество линий задержки:");
  EXPECT_EQ(d.TrackBar1->value(), 0);
  EXPECT_EQ(d.TrackBar2->value(), 0);
  EXPECT_EQ(d.TrackBar3->value(), 20);
  EXPECT_EQ(d.Level1->text(), "0 дБ");
  EXPECT_EQ(d.Level2->text(), "0 дБ");
  EXPECT_EQ(d.Level3->text(), "-20 дБ");
  EXPECT_EQ(d.ReverbTimeEdit->text(), "500");
  EXPECT_EQ(d.TrackBar4->value(), 500);
  EXPECT_EQ(d.UpDown1->value(), 12);
  EXPECT_EQ(d.DelayLinesEdit->text(), "12");
  EXPECT_TRUE(d.DelayLinesEdit->isReadOnly());
  EXPECT_EQ(d.DelayLinesEdit->maxLength(), 2);
  EXPECT_FALSE(d.ApplyBtn->isEnabled());
  EXPECT_EQ(filter.Updates, 0);
  Close(d);

  // Levels between whole decibels, silence and gain above 0 dB: the bars show the nearest they can,
  // and the showing alone leaves every level as it was.
  filter.DryLevel = 0.5;
  filter.EarlyLevel = 0.0;
  filter.ReverbLevel = 3.0;
  ShowOn(d, filter);
  EXPECT_EQ(d.TrackBar1->value(), 6);
  EXPECT_EQ(d.TrackBar2->value(), 80);
  EXPECT_EQ(d.TrackBar3->value(), 0);
  EXPECT_EQ(d.Level1->text(), "-6 дБ");
  EXPECT_EQ(d.Level2->text(), "-80 дБ");
  EXPECT_EQ(filter.DryLevel, 0.5);
  EXPECT_EQ(filter.EarlyLevel, 0.0);
  EXPECT_EQ(filter.ReverbLevel, 3.0);
  EXPECT_EQ(filter.Updates, 0);
  Close(d);
}

TEST(ReverbDialog, ALevelBarAt80SetsTheLevelTo00001AtOnceAndTheTimeBarSetsTheTime) {
  TReverbDlg& d = Dialogs().Reverb;
  TCounting<TReverberation> filter(44100);
  ShowOn(d, filter);
  sonotest::DragBar(*d.TrackBar1, 80, 8);
  ASSERT_TRUE(WaitForMovements(d));
  EXPECT_EQ(d.TrackBar1->value(), 80);
  EXPECT_DOUBLE_EQ(filter.DryLevel, DbToAmplitude(-80));
  EXPECT_NEAR(filter.DryLevel, 0.0001, 1e-12);
  EXPECT_EQ(d.Level1->text(), "-80 дБ");
  EXPECT_GE(filter.Updates, 1);

  // A touch of a bar whose level is already its whole decibels changes nothing.
  const int updates = filter.Updates;
  sonotest::TouchBar(*d.TrackBar3);
  EXPECT_EQ(filter.Updates, updates);

  sonotest::DragBar(*d.TrackBar4, 10000, 10);
  ASSERT_TRUE(WaitForMovements(d));
  EXPECT_EQ(filter.ReverbTime, 10000);
  EXPECT_EQ(d.ReverbTimeEdit->text(), "10000");
  EXPECT_TRUE(d.ApplyBtn->isEnabled());
  // 60 dB in 10 s: the 500-sample line loses 10^(-3 * 500 / 44100 / 10) per round.
  EXPECT_NEAR(filter.LineGain(0), std::pow(10.0, -3.0 * 500 / 44100 / 10.0), 1e-6);
  Close(d);
}

TEST(ReverbDialog, TheDelayLineCountWaitsForApplyAndCancelLeavesIt) {
  TReverbDlg& d = Dialogs().Reverb;
  TCounting<TReverberation> filter(44100);
  const auto totalLength = [&filter](int lines) {
    int32_t total = 0;
    for (int k = 0; k < lines; ++k) {
      total += filter.LineLength(k);
    }
    return total;
  };
  const int32_t defaultTotal = totalLength(12);
  ShowOn(d, filter);
  QTest::keyClick(d.UpDown1, Qt::Key_Up);
  EXPECT_EQ(d.UpDown1->value(), 13);
  EXPECT_TRUE(d.ApplyBtn->isEnabled());
  EXPECT_EQ(filter.DelayLines, 12);
  QTest::mouseClick(d.CancelBtn, Qt::LeftButton);
  EXPECT_FALSE(d.isVisible());
  EXPECT_EQ(filter.DelayLines, 12);
  EXPECT_EQ(totalLength(12), defaultTotal);
  EXPECT_EQ(filter.Updates, 0);
  d.SetFilter(nullptr);

  ShowOn(d, filter);
  EXPECT_EQ(d.UpDown1->value(), 12);
  QTest::keyClick(d.UpDown1, Qt::Key_Up);
  EXPECT_EQ(BoxesAfterApply(d), QStringList());
  EXPECT_EQ(filter.DelayLines, 13);
  EXPECT_NE(totalLength(13), defaultTotal); // thirteen lines now
  EXPECT_EQ(filter.Updates, 1);
  EXPECT_FALSE(d.ApplyBtn->isEnabled());

  // The count stops at 1 and 32 and cannot be typed.
  for (int i = 0; i < 40; ++i) {
    QTest::keyClick(d.UpDown1, Qt::Key_Up);
  }
  EXPECT_EQ(d.UpDown1->value(), 32);
  for (int i = 0; i < 40; ++i) {
    QTest::keyClick(d.UpDown1, Qt::Key_Down);
  }
  EXPECT_EQ(d.UpDown1->value(), 1);
  QTest::keyClicks(d.DelayLinesEdit, "7");
  EXPECT_EQ(d.UpDown1->value(), 1);
  Close(d);
}

TEST(ReverbDialog, ReverbTimesOf9And10001AreRefusedAnd10And10000AreTaken) {
  TReverbDlg& d = Dialogs().Reverb;
  TCounting<TReverberation> filter(44100);
  ShowOn(d, filter);
  // The time bar runs as the level bars do, more at the top, under its heading and over its value.
  EXPECT_EQ(d.TimeHeading->text(), "Время");
  EXPECT_EQ(d.TimeValue->text(), "500 мс");
  EXPECT_LT(d.TrackBar4->geometry().bottom(), d.TimeValue->geometry().top());
  EXPECT_TRUE(d.TrackBar1->invertedAppearance());  // a level bar: 0 dB, the most, at the top
  EXPECT_FALSE(d.TrackBar4->invertedAppearance()); // the longest time at the top
  EXPECT_FALSE(d.TrackBar4->invertedControls());
  const QString range = "Время реверберации должно быть в пределах от 10 до 10000 мс.";
  // A value outside the range gets the range; a text that is not a whole number says so first.
  for (const auto& [text, problem] :
       std::vector<std::pair<QString, QString>>{{"9", ""},
                                                {"10001", ""},
                                                {"0", ""},
                                                {"500.5", "«500.5» - не целое число, а нужно целое. "},
                                                {"5OO", "«5OO» - не число. "}}) {
    d.ReverbTimeEdit->setText(text);
    EXPECT_EQ(BoxesAfterApply(d), QStringList{problem + range}) << text.toStdString();
  }
  d.ReverbTimeEdit->clear();
  EXPECT_EQ(BoxesAfterApply(d), QStringList{"Введите время реверберации"});
  EXPECT_TRUE(d.isVisible());
  EXPECT_EQ(filter.ReverbTime, 500);
  EXPECT_EQ(filter.Updates, 0);

  for (const auto& [text, ms] : {std::pair{"10", 10}, {"1e4", 10000}}) {
    d.ReverbTimeEdit->setText(text);
    EXPECT_EQ(BoxesAfterApply(d), QStringList());
    EXPECT_EQ(filter.ReverbTime, ms);
    EXPECT_EQ(d.TrackBar4->value(), ms); // the bar follows, and applies nothing more
    EXPECT_EQ(d.TimeValue->text(), QString::number(ms) + " мс");
    EXPECT_FALSE(d.ApplyBtn->isEnabled());
  }
  EXPECT_EQ(filter.Updates, 2);
  // Apply takes the levels from the bars, in whole decibels.
  EXPECT_DOUBLE_EQ(filter.ReverbLevel, DbToAmplitude(-20));
  Close(d);
}

TEST(MultiBandDialog, The1kHzBarAt90CutsBand9AtOnceAndTheFilterWithIt) {
  TMultiBandFilterDlg& d = Dialogs().MultiBand;
  TCounting<TMultiBandFilter> filter(44100);
  ShowOn(d, filter);
  EXPECT_EQ(d.windowTitle(), "Параметры многополосового фильтра");
  const QStringList frequencies = {"50 Гц",  "100 Гц", "200 Гц", "300 Гц", "400 Гц", "500 Гц", "600 Гц",
                                   "700 Гц", "800 Гц", "1 КГц",  "2 КГц",  "3 КГц",  "4 КГц",  "5 КГц",
                                   "6 КГц",  "8 КГц",  "10 КГц", "12 КГц", "14 КГц", "16 КГц"};
  for (int band = 0; band < 20; ++band) {
    EXPECT_EQ(d.FrequencyLabels[band]->text(), frequencies[band]);
    EXPECT_EQ(d.TrackBars[band]->value(), 0);
    EXPECT_EQ(d.TrackBars[band]->minimum(), -30);
    EXPECT_EQ(d.TrackBars[band]->maximum(), 90);
  }
  EXPECT_EQ(d.iReset->text(), "Сброс");
  EXPECT_EQ(filter.Updates, 0);
  const double before = AmplitudeThrough(filter, 1000, 44100);
  EXPECT_NEAR(before, 1.0, 0.02);

  sonotest::DragBar(*d.TrackBars[9], 90, 12);
  ASSERT_TRUE(WaitForMovements(d));
  EXPECT_EQ(d.TrackBars[9]->value(), 90);
  EXPECT_DOUBLE_EQ(filter.Gain[9], DbToAmplitude(-90));
  for (int band = 0; band < 20; ++band) {
    if (band != 9) {
      EXPECT_EQ(filter.Gain[band], 1.0) << band;
    }
  }
  // The band from 900 to 1500 Hz is gone from the running filter; 5 kHz passes as before.
  EXPECT_LT(AmplitudeThrough(filter, 1200, 44100), 0.03);
  EXPECT_NEAR(AmplitudeThrough(filter, 5000, 44100), 1.0, 0.02);
  Close(d);
}

TEST(MultiBandDialog, ResetReturnsEveryBarAndGainWithOneApply) {
  TMultiBandFilterDlg& d = Dialogs().MultiBand;
  TCounting<TMultiBandFilter> filter(44100);
  ShowOn(d, filter);
  d.TrackBars[0]->setValue(-30);
  d.TrackBars[13]->setValue(45);
  d.TrackBars[19]->setValue(90);
  ASSERT_TRUE(WaitForMovements(d));
  EXPECT_DOUBLE_EQ(filter.Gain[13], DbToAmplitude(-45));
  const int updates = filter.Updates;
  QTest::mouseClick(d.iReset, Qt::LeftButton);
  EXPECT_EQ(filter.Updates, updates + 1);
  for (int band = 0; band < 20; ++band) {
    EXPECT_EQ(d.TrackBars[band]->value(), 0) << band;
    EXPECT_EQ(filter.Gain[band], 1.0) << band;
  }
  QTest::qWait(20);
  EXPECT_EQ(filter.Updates, updates + 1); // nothing followed
  EXPECT_NEAR(AmplitudeThrough(filter, 1000, 44100), 1.0, 0.02);
  QTest::mouseClick(d.OKBtn, Qt::LeftButton);
  EXPECT_FALSE(d.isVisible());
  EXPECT_EQ(d.result(), QDialog::Accepted);
  d.SetFilter(nullptr);
}

TEST(MultiBandDialog, StoredGainsShowAsWholeDecibelsWithinTheBarsRangeAndShowingChangesNothing) {
  TMultiBandFilterDlg& d = Dialogs().MultiBand;
  TCounting<TMultiBandFilter> filter(44100);
  filter.Gain[0] = 2.0;                 // +6.02 dB
  filter.Gain[1] = 0.0;                 // silence
  filter.Gain[2] = 100.0;               // +40 dB, above the bar
  filter.Gain[3] = DbToAmplitude(-7.4); // to the nearest whole decibel
  filter.Gain[4] = DbToAmplitude(-12.6);
  ShowOn(d, filter);
  EXPECT_EQ(d.TrackBars[0]->value(), -6);
  EXPECT_EQ(d.TrackBars[1]->value(), 90);
  EXPECT_EQ(d.TrackBars[2]->value(), -30);
  EXPECT_EQ(d.TrackBars[3]->value(), 7);
  EXPECT_EQ(d.TrackBars[4]->value(), 13);
  EXPECT_EQ(filter.Gain[0], 2.0);
  EXPECT_EQ(filter.Updates, 0);
  // Each bar's gain as a number; at 44100 Hz every band is heard.
  EXPECT_EQ(d.TrackBars[0]->toolTip(), "6 дБ");
  EXPECT_EQ(d.TrackBars[4]->toolTip(), "-13 дБ");
  for (QSlider* bar : d.TrackBars) {
    EXPECT_TRUE(bar->isEnabled());
  }
  d.TrackBars[5]->setValue(20);
  EXPECT_EQ(d.TrackBars[5]->toolTip(), "-20 дБ");
  Close(d);
  // At 16000 Hz the bands from 8 kHz up have nothing to act on: greyed out.
  TMultiBandFilter narrow(16000);
  ShowOn(d, narrow);
  for (size_t band = 0; band < TMultiBandFilter::BandCount; ++band) {
    EXPECT_EQ(d.TrackBars[band]->isEnabled(), TMultiBandFilter::BandCentres[band] < 8000) << band;
    EXPECT_EQ(d.FrequencyLabels[band]->isEnabled(), d.TrackBars[band]->isEnabled());
  }
  Close(d);
}

TEST(MultiBandDialog, TheScaleMarksLevelWithTheHandleAtTheirPositionsAndTheFrequenciesSitAboveTheirBars) {
  TMultiBandFilterDlg& d = Dialogs().MultiBand;
  TMultiBandFilter filter(44100);
  ShowOn(d, filter);
  const struct {
    QString Text;
    int Position;
  } marks[] = {{"+30 дБ", -30}, {"0 дБ", 0}, {"-90 дБ", 90}};
  for (const auto& mark : marks) {
    const std::vector<QLabel*> labels = LabelsWithText(d, mark.Text);
    ASSERT_EQ(labels.size(), 2u) << mark.Text.toStdString();
    for (int row = 0; row < 2; ++row) {
      QSlider& bar = *d.TrackBars[row * 10];
      const int handleY = bar.mapTo(&d, sonotest::HandlePointFor(bar, mark.Position)).y();
      EXPECT_NEAR(MiddleY(d, *labels[row]), handleY, 2) << mark.Text.toStdString() << " row " << row;
      EXPECT_LT(labels[row]->mapTo(&d, QPoint(labels[row]->width(), 0)).x(), bar.mapTo(&d, QPoint()).x());
    }
  }
  for (int band = 0; band < 20; ++band) {
    QSlider& bar = *d.TrackBars[band];
    QLabel& label = *d.FrequencyLabels[band];
    EXPECT_NEAR(label.mapTo(&d, label.rect().center()).x(), bar.mapTo(&d, bar.rect().center()).x(), 3)
        << band;
    EXPECT_LE(label.mapTo(&d, QPoint(0, label.height())).y(), bar.mapTo(&d, QPoint()).y()) << band;
  }
  // The bottom row lies below the top row.
  EXPECT_GT(d.TrackBars[10]->mapTo(&d, QPoint()).y(),
            d.TrackBars[0]->mapTo(&d, QPoint(0, d.TrackBars[0]->height())).y());
  Close(d);
}

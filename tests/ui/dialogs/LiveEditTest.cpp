// SPDX-License-Identifier: GPL-3.0-or-later
// Track bars on the live filter: Cancel and Esc put back what the dialog was shown with, a value
// reaches the filter only together with its Apply under the filter's lock, and movements that come
// faster than a redesign are gathered without losing the last.

#include "DialogFixtures.h"
#include "filters/Echo.h"
#include "filters/IIRFilter.h"
#include "filters/LowPassFilter.h"
#include "filters/MultiBandFilter.h"
#include "filters/Reverberation.h"
#include "filters/Transforms.h"
#include "support/QtDialogs.h"

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace dialogtest;
using namespace std::chrono_literals;

TEST(LiveEdits, CancelAndEscPutBackEveryValueTheDialogOpenedWithAndApplyItInEveryDialogKind) {
  TDialogs& d = Dialogs();
  // Each filter is edited away from where a fresh one of its type stands, by the bars (heard at once)
  // and by Apply; after Cancel or Esc it designs exactly what the fresh one does.
  TLowPassFilter lowPass(44100), freshLowPass(44100);
  TEcho echo(44100);
  TReverberation reverb(44100), freshReverb(44100);
  TMultiBandFilter equaliser(44100), freshEqualiser(44100);
  TIIRFilter iir(44100), freshIir(44100);

  ShowOn(d.LHPass, lowPass);
  d.LHPass.FreqTrackBar->setValue(61);
  d.LHPass.KernelSizeList->setCurrentRow(2);
  QTest::mouseClick(d.LHPass.ApplyBtn, Qt::LeftButton);
  EXPECT_EQ(lowPass.KernelSize(), 32);
  EXPECT_EQ(lowPass.fc, TLHPassFilterDlg::FrequencyFromPosition(61, 44100));
  QTest::keyClick(&d.LHPass, Qt::Key_Escape);
  EXPECT_EQ(lowPass.fc, 1000);
  EXPECT_EQ(lowPass.Taps(), freshLowPass.Taps());

  ShowOn(d.Echo, echo);
  d.Echo.DelayTrackBar->setValue(300);
  d.Echo.DecayTrackBar->setValue(4000);
  EXPECT_EQ(echo.DelayLength(), 13230); // heard while the dialog is open
  QTest::mouseClick(d.Echo.CancelBtn, Qt::LeftButton);
  EXPECT_EQ(echo.Delay, 100);
  EXPECT_EQ(echo.DecayTime, 1000);
  EXPECT_EQ(echo.DelayLength(), 4410); // the delay line went back with it

  ShowOn(d.Reverb, reverb);
  d.Reverb.TrackBar2->setValue(30);
  d.Reverb.UpDown1->setValue(20);
  QTest::mouseClick(d.Reverb.ApplyBtn, Qt::LeftButton);
  EXPECT_EQ(reverb.DelayLines, 20);
  QTest::mouseClick(d.Reverb.CancelBtn, Qt::LeftButton);
  EXPECT_EQ(reverb.EarlyLevel, freshReverb.EarlyLevel);
  EXPECT_EQ(reverb.DelayLines, 12);
  for (int k = 0; k < 12; ++k) {
    EXPECT_EQ(reverb.LineLength(k), freshReverb.LineLength(k)) << k;
  }

  // The equaliser has a Cancel of its own now; "Сброс" is undone by it too.
  ShowOn(d.MultiBand, equaliser);
  EXPECT_EQ(d.MultiBand.CancelBtn->text(), "Отмена");
  d.MultiBand.TrackBars[4]->setValue(20);
  ASSERT_TRUE(WaitForMovements(d.MultiBand));
  QTest::mouseClick(d.MultiBand.CancelBtn, Qt::LeftButton);
  EXPECT_EQ(equaliser.Gain[4], 1.0);
  EXPECT_EQ(equaliser.Taps(), freshEqualiser.Taps());

  // The reproduction: the frequency of an IIR section moved by its bar, then Cancel, then reopened.
  iir.Freq = freshIir.Freq = 1322;
  iir.Apply();
  freshIir.Apply();
  ShowOn(d.Described, iir);
  d.Described.Field("Freq")->Bar->setValue(d.Described.Field("Freq")->Bar->value() + 200);
  ASSERT_TRUE(WaitForMovements(d.Described));
  EXPECT_GT(iir.Freq, 3600.0);
  QTest::mouseClick(d.Described.CancelBtn, Qt::LeftButton);
  EXPECT_EQ(iir.Freq, 1322);
  EXPECT_EQ(std::memcmp(&iir.Section(), &freshIir.Section(), sizeof(TBiquad)), 0);
  ShowOn(d.Described, iir);
  EXPECT_EQ(d.Described.Field("Freq")->Edit->text(), "1322");

  for (TParameterDialog* dialog :
       std::initializer_list<TParameterDialog*>{&d.LHPass, &d.Echo, &d.Reverb, &d.MultiBand, &d.Described}) {
    if (dialog->isVisible()) {
      QTest::keyClick(dialog, Qt::Key_Escape);
    }
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    dialog->SetFilter(nullptr);
  }
}

TEST(LiveEdits, ABarValueReachesTheFilterOnlyTogetherWithItsApplyUnderTheFiltersLock) {
  sonotest::App();
  TEchoDlg dialog; // fresh, so that no earlier movement paces this one
  TEcho echo(44100);
  ShowOn(dialog, echo);

  std::mutex m;
  std::condition_variable changed;
  bool held = false;
  int32_t delaySeenUnderLock = -1;
  int32_t lengthSeenUnderLock = -1;
  // Another thread, as the worker does around Process, holds the filter's lock for a while.
  std::thread holder([&] {
    const std::lock_guard filterLock(echo.Lock());
    {
      const std::lock_guard guard(m);
      held = true;
    }
    changed.notify_all();
    std::this_thread::sleep_for(150ms); // meanwhile the bar moves on the user-interface thread
    delaySeenUnderLock = echo.Delay;
    lengthSeenUnderLock = echo.DelayLength();
  });
  {
    std::unique_lock guard(m);
    changed.wait(guard, [&] { return held; });
  }
  const auto start = std::chrono::steady_clock::now();
  dialog.DelayTrackBar->setValue(500);
  const auto waited = std::chrono::steady_clock::now() - start;
  holder.join();
  // While the lock was held elsewhere the filter kept its old delay with its old line.
  EXPECT_EQ(delaySeenUnderLock, 100);
  EXPECT_EQ(lengthSeenUnderLock, 4410);
  // The movement waited for the lock, then wrote and applied in one step.
  EXPECT_GE(waited, 100ms);
  EXPECT_EQ(echo.Delay, 500);
  EXPECT_EQ(echo.DelayLength(), 22050);
  Close(dialog);
}

TEST(LiveEdits, MovementsFasterThanARedesignAreGatheredIntoOneApplyThatTakesTheNewest) {
  sonotest::App();
  TMultiBandFilterDlg dialog;
  TCounting<TMultiBandFilter> equaliser(48000);
  ShowOn(dialog, equaliser);

  // A whole sweep of one bar, with no event handled between the movements: the first is applied at
  // once, the rest wait for the lock's pause after that redesign and then go in one Apply.
  for (int p = -30; p <= 90; ++p) {
    dialog.TrackBars[9]->setValue(p);
  }
  EXPECT_EQ(equaliser.Updates, 1);
  EXPECT_DOUBLE_EQ(equaliser.Gain[9], DbToAmplitude(30));
  EXPECT_TRUE(dialog.MovementWaiting());
  ASSERT_TRUE(WaitForMovements(dialog));
  EXPECT_EQ(equaliser.Updates, 2);
  EXPECT_DOUBLE_EQ(equaliser.Gain[9], DbToAmplitude(-90));

  // Two bars moved within one pause both reach the filter.
  dialog.TrackBars[2]->setValue(10);
  dialog.TrackBars[17]->setValue(-20);
  dialog.TrackBars[2]->setValue(12);
  ASSERT_TRUE(WaitForMovements(dialog));
  EXPECT_DOUBLE_EQ(equaliser.Gain[2], DbToAmplitude(-12));
  EXPECT_DOUBLE_EQ(equaliser.Gain[17], DbToAmplitude(20));
  EXPECT_LE(equaliser.Updates, 4);

  // Pointing the dialog at another filter applies what waits to the one it was for.
  TMultiBandFilter other(48000);
  dialog.TrackBars[0]->setValue(1);
  dialog.TrackBars[0]->setValue(2);
  dialog.SetFilter(&other);
  EXPECT_FALSE(dialog.MovementWaiting());
  EXPECT_DOUBLE_EQ(equaliser.Gain[0], DbToAmplitude(-2));
  EXPECT_EQ(other.Gain[0], 1.0);
  Close(dialog);
}

TEST(LiveEdits, ApplyIsEnabledByEveryChangeOfAValueThatWaitsForItAndEachShowingDisablesIt) {
  TDialogs& d = Dialogs();
  TLowPassFilter lowPass(44100);
  TEcho echo(44100);
  TReverberation reverb(44100);
  const auto reshown = [](TParameterDialog& dialog, TFilter& filter, QPushButton* apply) {
    Close(dialog);
    ShowOn(dialog, filter);
    return !apply->isEnabled();
  };

  ShowOn(d.LHPass, lowPass);
  EXPECT_FALSE(d.LHPass.ApplyBtn->isEnabled());
  QTest::mouseClick(d.LHPass.IsBlackmanBtn, Qt::LeftButton);
  EXPECT_TRUE(d.LHPass.ApplyBtn->isEnabled());
  EXPECT_TRUE(reshown(d.LHPass, lowPass, d.LHPass.ApplyBtn));
  EXPECT_TRUE(d.LHPass.IsHammingBtn->isChecked()); // the click was not applied
  QTest::mouseClick(d.LHPass.KernelSizeList->viewport(), Qt::LeftButton, {},
                    d.LHPass.KernelSizeList->visualItemRect(d.LHPass.KernelSizeList->item(2)).center());
  EXPECT_TRUE(d.LHPass.ApplyBtn->isEnabled());
  EXPECT_TRUE(reshown(d.LHPass, lowPass, d.LHPass.ApplyBtn));
  QTest::keyClick(d.LHPass.FreqEdit, Qt::Key_Backspace);
  EXPECT_TRUE(d.LHPass.ApplyBtn->isEnabled());
  Close(d.LHPass);

  ShowOn(d.Echo, echo);
  EXPECT_FALSE(d.Echo.ApplyBtn->isEnabled());
  QTest::keyClicks(d.Echo.DelayEdit, "5");
  EXPECT_TRUE(d.Echo.ApplyBtn->isEnabled());
  EXPECT_TRUE(reshown(d.Echo, echo, d.Echo.ApplyBtn));
  QTest::keyClicks(d.Echo.DecayEdit, "5");
  EXPECT_TRUE(d.Echo.ApplyBtn->isEnabled());
  Close(d.Echo);
  EXPECT_EQ(echo.Delay, 100);

  ShowOn(d.Reverb, reverb);
  EXPECT_FALSE(d.Reverb.ApplyBtn->isEnabled());
  QTest::keyClick(d.Reverb.ReverbTimeEdit, Qt::Key_Backspace);
  EXPECT_TRUE(d.Reverb.ApplyBtn->isEnabled());
  EXPECT_TRUE(reshown(d.Reverb, reverb, d.Reverb.ApplyBtn));
  EXPECT_EQ(d.Reverb.ReverbTimeEdit->text(), "500");
  Close(d.Reverb);
}

TEST(LiveEdits, EndingTheDialogWhileItsErrorBoxIsUpClosesTheBoxAndWritesNothing) {
  // As the processing window does when it must close while a dialog is up.
  TLHPassFilterDlg& d = Dialogs().LHPass;
  TLowPassFilter filter(44100);
  ShowOn(d, filter);
  d.FreqEdit->setText("30000");
  bool boxWasUp = false;
  const auto driver = sonotest::WhenModal<QMessageBox>([&](QMessageBox&) {
    boxWasUp = true;
    d.reject();
  });
  QTest::mouseClick(d.ApplyBtn, Qt::LeftButton); // returns once the box has gone
  EXPECT_TRUE(boxWasUp);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_FALSE(d.isVisible());
  EXPECT_EQ(d.result(), QDialog::Rejected);
  EXPECT_EQ(filter.fc, 1000);
  d.SetFilter(nullptr);
}

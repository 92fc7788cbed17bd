// SPDX-License-Identifier: GPL-3.0-or-later
// The low/high-pass and echo dialogs on real filters: what a showing reads, what the bars write at
// once, and every refusal of a typed value with its message.

#include "DialogFixtures.h"
#include "filters/Echo.h"
#include "filters/LowPassFilter.h"
#include "support/QtDialogs.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>

#include <gtest/gtest.h>

#include <cmath>
#include <string>

using namespace dialogtest;
using sonotest::TBoxCatcher;
using sonotest::TShownBox;

namespace {

constexpr double E = 147.4131591025766; // e^5 - 1

// Presses a button and tells the one box it brought up, if any (more than one fails the test).
std::optional<TShownBox> BoxAfterClick(QPushButton* button) {
  TBoxCatcher boxes;
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_LE(boxes.Shown().size(), 1u);
  if (boxes.Shown().empty()) {
    return std::nullopt;
  }
  return boxes.Shown().front();
}

void ExpectRefused(QPushButton* button, const QString& text) {
  const std::optional<TShownBox> box = BoxAfterClick(button);
  ASSERT_TRUE(box) << "no box for " << text.toStdString();
  EXPECT_EQ(box->Title, "Ошибка");
  EXPECT_EQ(box->Text, text);
  EXPECT_EQ(box->Icon, QMessageBox::Warning);
  EXPECT_TRUE(button->window()->isVisible()); // the dialog stays open
}

} // namespace

TEST(LHPassFilterDialog, ANewFilterAt44100ShowsItsDefaultsAndATouchOfTheBarAt40Sets955Hz) {
  TLHPassFilterDlg& d = Dialogs().LHPass;
  TCounting<TLowPassFilter> filter(44100);
  ShowOn(d, filter);
  EXPECT_EQ(d.windowTitle(), "Параметры фильтра");
  EXPECT_EQ(d.Label1->text(), "Частота среза (Гц):");
  EXPECT_EQ(d.Label2->text(), "Размер ядра:");
  EXPECT_EQ(d.FreqEdit->text(), "1000");
  EXPECT_EQ(d.FreqTrackBar->value(), 40);
  EXPECT_TRUE(d.IsHammingBtn->isChecked());
  EXPECT_FALSE(d.IsBlackmanBtn->isChecked());
  ASSERT_NE(d.KernelSizeList->currentItem(), nullptr);
  EXPECT_EQ(d.KernelSizeList->currentItem()->text(), "512");
  EXPECT_FALSE(d.ApplyBtn->isEnabled());
  EXPECT_EQ(filter.Updates, 0); // showing changes nothing

  sonotest::TouchBar(*d.FreqTrackBar);
  EXPECT_EQ(filter.fc, 955); // at once: no event loop has run
  EXPECT_EQ(filter.Updates, 1);
  EXPECT_EQ(d.FreqEdit->text(), "955");
  EXPECT_TRUE(d.ApplyBtn->isEnabled());
  EXPECT_EQ(filter.WindowType, 0);
  EXPECT_EQ(filter.KernelSize(), 512);

  // The edit holds what is typed, every character of it (the check is the one of OK and Apply).
  d.FreqEdit->clear();
  QTest::keyClicks(d.FreqEdit, "1500.5");
  EXPECT_EQ(d.FreqEdit->text(), "1500.5");
  QTest::keyClicks(d.FreqEdit, "x123456");
  EXPECT_EQ(d.FreqEdit->text(), "1500.5x123456");
  Close(d);
}

TEST(LHPassFilterDialog, ACutOffAboveHalfTheRateIsRefusedWithTheHalfInTheMessageAndHalfTheRateIsTaken) {
  TLHPassFilterDlg& d = Dialogs().LHPass;
  TCounting<TLowPassFilter> filter(44100);
  ShowOn(d, filter);

  d.FreqEdit->setText("22051");
  ExpectRefused(d.ApplyBtn, "Значение частоты среза должно быть в пределах от 0 до 22050 Гц");
  d.FreqEdit->clear();
  ExpectRefused(d.ApplyBtn, "Введите значение частоты среза");
  // Not a whole number, or not a number: refused saying which, then the range; never read as another
  // number. A number beyond the range gets the range alone.
  const QString range = QStringLiteral("Значение частоты среза должно быть в пределах от 0 до 22050 Гц");
  for (const auto& [typed, problem] :
       std::vector<std::pair<QString, QString>>{{"1500.5", "не целое число, а нужно целое. "},
                                                {"1500,5", "не целое число, а нужно целое. "},
                                                {"12x", "не число. "},
                                                {"-", "не число. "},
                                                {"abc", "не число. "},
                                                {"99999999999", ""}}) {
    d.FreqEdit->setText(typed);
    ExpectRefused(d.ApplyBtn, problem.isEmpty() ? range : "«" + typed + "» - " + problem + range);
  }
  // The bar follows a value typed, once it is a valid one; only Apply writes it.
  d.FreqEdit->selectAll();
  QTest::keyClicks(d.FreqEdit, "11025");
  EXPECT_EQ(d.FreqTrackBar->value(), TLHPassFilterDlg::PositionFromFrequency(11025, 44100));
  QTest::keyClicks(d.FreqEdit, "0");
  EXPECT_EQ(d.FreqTrackBar->value(), TLHPassFilterDlg::PositionFromFrequency(11025, 44100));
  EXPECT_EQ(filter.fc, 1000);
  d.FreqEdit->setText("1e3"); // an exponent is a number too
  EXPECT_FALSE(BoxAfterClick(d.ApplyBtn));
  EXPECT_EQ(filter.fc, 1000);
  filter.Updates = 0;
  d.FreqEdit->setText("22051");
  ExpectRefused(d.OKBtn, "Значение частоты среза должно быть в пределах от 0 до 22050 Гц");
  EXPECT_EQ(filter.fc, 1000);
  EXPECT_EQ(filter.Updates, 0);
  EXPECT_TRUE(d.ApplyBtn->isEnabled());

  d.FreqEdit->setText("22050");
  QTest::mouseClick(d.IsBlackmanBtn, Qt::LeftButton);
  QTest::mouseClick(d.KernelSizeList->viewport(), Qt::LeftButton, {},
                    d.KernelSizeList->visualItemRect(d.KernelSizeList->item(7)).center());
  EXPECT_FALSE(BoxAfterClick(d.ApplyBtn));
  EXPECT_EQ(filter.fc, 22050);
  EXPECT_EQ(filter.WindowType, 1);
  EXPECT_EQ(filter.KernelSize(), 1024);
  EXPECT_EQ(filter.ResponseRe().size(), 2048u);
  EXPECT_EQ(filter.Updates, 1);
  EXPECT_FALSE(d.ApplyBtn->isEnabled());
  EXPECT_TRUE(d.isVisible());

  d.FreqEdit->setText("0");
  EXPECT_FALSE(BoxAfterClick(d.OKBtn));
  EXPECT_FALSE(d.isVisible());
  EXPECT_EQ(d.result(), QDialog::Accepted);
  EXPECT_EQ(filter.fc, 0);
  d.SetFilter(nullptr);
}

TEST(LHPassFilterDialog, TheBarFollowsTheExponentialScaleAt8000And22050And48000Hz) {
  TLHPassFilterDlg& d = Dialogs().LHPass;
  for (int32_t fs : {8000, 22050, 48000}) {
    SCOPED_TRACE(fs);
    TLowPassFilter filter(fs);
    ShowOn(d, filter);
    for (int p = 0; p <= 100; ++p) {
      d.FreqTrackBar->setValue(p);
      ASSERT_TRUE(WaitForMovements(d));
      const auto expected = static_cast<int32_t>(std::trunc(fs * 0.5 * (std::exp(0.05 * p) - 1.0) / E));
      ASSERT_EQ(filter.fc, expected) << "position " << p;
      ASSERT_EQ(d.FreqEdit->text().toInt(), expected);
    }
    EXPECT_EQ(filter.fc, fs / 2); // the top of the bar is half the rate
    d.FreqTrackBar->setValue(0);
    ASSERT_TRUE(WaitForMovements(d));
    EXPECT_EQ(filter.fc, 0);
    Close(d);

    for (int32_t fc : {0, 1, 100, 1000, fs / 8, fs / 4, fs / 2}) {
      filter.fc = fc;
      ShowOn(d, filter);
      EXPECT_EQ(d.FreqTrackBar->value(),
                static_cast<int>(std::trunc(20.0 * std::log(1.0 + E * 2.0 * fc / fs))))
          << "cut-off " << fc;
      EXPECT_EQ(filter.fc, fc);
      Close(d);
    }
  }
}

TEST(EchoDialog, DelaysOf0And1001AndADecayOf9AreRefusedAndEmptyEditsGiveOnlyTheDelayMessage) {
  TEchoDlg& d = Dialogs().Echo;
  TCounting<TEcho> filter(44100);
  ShowOn(d, filter);
  EXPECT_EQ(d.windowTitle(), "Параметры эффекта \"Эхо\"");
  EXPECT_EQ(d.Label1->text(), "Время затухания (мс):");
  EXPECT_EQ(d.Label2->text(), "Задержка между эхосигналами (мс):");
  EXPECT_EQ(d.DelayEdit->text(), "100");
  EXPECT_EQ(d.DecayEdit->text(), "1000");
  EXPECT_EQ(d.DelayTrackBar->value(), 100);
  EXPECT_EQ(d.DecayTrackBar->value(), 1000);
  EXPECT_FALSE(d.ApplyBtn->isEnabled());

  const QString delayRange = "Задержка между эхосигналами должна быть в пределах от 1 до 1000 мс.";
  const QString decayRange = "Время затухания должно быть в пределах от 10 до 10000 мс.";
  const struct {
    const char* Delay;
    const char* Decay;
    QString Message;
  } refused[] = {
      {"0", "1000", delayRange},
      {"1001", "1000", delayRange},
      {"100", "9", decayRange},
      {"100", "10001", decayRange},
      {"1001", "9", delayRange}, // the delay is checked first
      {"", "", "Введите время задержки в миллисекундах"},
      {"100", "", "Введите время затухания в миллисекундах"},
      {"1x", "1000", "«1x» - не число. " + delayRange},
      {"100", "1000.5", "«1000.5» - не целое число, а нужно целое. " + decayRange},
      {"10000", "1000", delayRange}, // a fifth digit is kept, not dropped
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(std::string(r.Delay) + " / " + r.Decay);
    d.DelayEdit->setText(r.Delay);
    d.DecayEdit->setText(r.Decay);
    ExpectRefused(d.ApplyBtn, r.Message);
    EXPECT_EQ(filter.Delay, 100);
    EXPECT_EQ(filter.DecayTime, 1000);
  }
  EXPECT_EQ(filter.Updates, 0);

  d.DelayEdit->setText("250");
  d.DecayEdit->setText("2000");
  EXPECT_FALSE(BoxAfterClick(d.ApplyBtn));
  EXPECT_EQ(filter.Delay, 250);
  EXPECT_EQ(filter.DecayTime, 2000);
  EXPECT_EQ(filter.DelayLength(), 11025); // the delay line follows in the same step
  EXPECT_EQ(filter.Updates, 1);
  EXPECT_FALSE(d.ApplyBtn->isEnabled());
  EXPECT_EQ(d.DelayTrackBar->value(), 100); // typed values do not move the bars
  EXPECT_EQ(d.DecayTrackBar->value(), 1000);

  d.DelayEdit->setText("1");
  d.DecayEdit->setText("10");
  EXPECT_FALSE(BoxAfterClick(d.OKBtn));
  EXPECT_EQ(d.result(), QDialog::Accepted);
  EXPECT_EQ(filter.Delay, 1);
  EXPECT_EQ(filter.DecayTime, 10);
  d.SetFilter(nullptr);
}

TEST(EchoDialog, EachBarWritesItsValueAndResizesTheDelayLineAtOnce) {
  TEchoDlg& d = Dialogs().Echo;
  TEcho filter(48000);
  ShowOn(d, filter);
  sonotest::DragBar(*d.DelayTrackBar, 1000, 10);
  ASSERT_TRUE(WaitForMovements(d));
  EXPECT_EQ(d.DelayTrackBar->value(), 1000);
  EXPECT_EQ(filter.Delay, 1000);
  EXPECT_EQ(filter.StateLength(), 48000);
  EXPECT_EQ(d.DelayEdit->text(), "1000");
  sonotest::DragBar(*d.DecayTrackBar, 10, 10);
  ASSERT_TRUE(WaitForMovements(d));
  EXPECT_EQ(filter.DecayTime, 10);
  EXPECT_EQ(d.DecayEdit->text(), "10");
  EXPECT_EQ(filter.EchoGain(), 0.0f); // 10^(-300)
  EXPECT_TRUE(d.ApplyBtn->isEnabled());
  Close(d);
}

// SPDX-License-Identifier: GPL-3.0-or-later
// The dialog built from the parameter descriptions, on real filters of every type it serves: what a
// showing reads, what typed values it takes and refuses (with the field's message, as typed), and the
// bars that act at once.

#include "DialogFixtures.h"
#include "filters/BandPassFilter.h"
#include "filters/FilterCatalogue.h"
#include "filters/IIRFilter.h"
#include "filters/MovingAverage.h"
#include "support/QtDialogs.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>

#include <gtest/gtest.h>

using namespace dialogtest;
using sonotest::TBoxCatcher;

namespace {

constexpr int32_t DescribedTypes[] = {2, 3, 5, 6, 7, 8, 10, 12, 13, 14, 15};

// Presses Apply and tells the texts of the boxes it brought up.
QStringList BoxesAfterApply(TDescribedFilterDlg& d) {
  TBoxCatcher boxes;
  QTest::mouseClick(d.ApplyBtn, Qt::LeftButton);
  QStringList texts;
  for (const auto& box : boxes.Shown()) {
    texts << box.Text;
  }
  return texts;
}

QLineEdit& Edit(TDescribedFilterDlg& d, const char* name) {
  return *d.Field(name)->Edit;
}

} // namespace

TEST(DescribedFilterDialog, EachTypeGetsItsCaptionAndAControlPerParameterShowingTheFiltersValues) {
  TDescribedFilterDlg& d = Dialogs().Described;
  for (const int32_t type : DescribedTypes) {
    SCOPED_TRACE(type);
    auto filter = CreateFilter(type, 44100);
    ShowOn(d, *filter);
    EXPECT_EQ(d.windowTitle(), TDescribedFilterDlg::Caption(type));
    EXPECT_FALSE(d.windowTitle().isEmpty());
    ASSERT_EQ(static_cast<int>(d.Fields().size()), filter->ParameterCount());
    for (int i = 0; i < filter->ParameterCount(); ++i) {
      const TDescribedFilterDlg::TField& f = d.Fields()[static_cast<size_t>(i)];
      const TParameterDescription& desc = *filter->Parameter(i).Description;
      EXPECT_EQ(f.Description, &desc);
      EXPECT_EQ(f.Label->text(), QString::fromUtf8(desc.Caption));
      const double value = ValueAt(desc, filter->Parameter(i).Storage);
      if (desc.Set == TValueSet::Choice) {
        ASSERT_EQ(static_cast<int>(f.Choices.size()), ChoiceCount(desc));
        EXPECT_TRUE(f.Choices[static_cast<size_t>(value)]->isChecked());
      } else if (desc.Set == TValueSet::PowerOfTwo) {
        EXPECT_EQ(f.List->currentItem()->text().toDouble(), value);
      } else {
        EXPECT_EQ(f.Edit->text(), TParameterDialog::ValueText(desc, value));
        EXPECT_EQ(f.Bar != nullptr, desc.Bar != TTrackScale::None);
      }
    }
    EXPECT_FALSE(d.ApplyBtn->isEnabled());
    Close(d);
  }
  // Decimals show with a comma, choices with a capital letter.
  TIIRFilter iir(44100);
  ShowOn(d, iir);
  EXPECT_EQ(Edit(d, "Q").text(), "0,707");
  EXPECT_EQ(Edit(d, "GainDb").text(), "6");
  EXPECT_EQ(d.Field("Kind")->Choices[3]->text(), "Режекторный");
  // The gain has an effect on the peaking filter and the shelves only: greyed out for the other kinds.
  for (size_t kind = 0; kind < 7; ++kind) {
    d.Field("Kind")->Choices[kind]->click();
    EXPECT_EQ(Edit(d, "GainDb").isEnabled(), kind >= 4) << kind;
    EXPECT_EQ(d.Field("GainDb")->Bar->isEnabled(), kind >= 4) << kind;
  }
  EXPECT_TRUE(Edit(d, "Q").isEnabled());
  Close(d);
}

TEST(DescribedFilterDialog, DecimalsTakeACommaOrAPointWholeNumbersRefuseDecimalsAndNothingTypedIsDropped) {
  TDescribedFilterDlg& d = Dialogs().Described;
  TCounting<TIIRFilter> iir(44100);
  iir.Q = 0.70710678;
  ShowOn(d, iir);
  // OK on what was shown keeps the values as they are, though the field rounds them for showing.
  EXPECT_TRUE(BoxesAfterApply(d).isEmpty());
  EXPECT_EQ(iir.Q, 0.70710678);
  for (const auto& [typed, q] :
       {std::pair{"1,5", 1.5}, {"2.25", 2.25}, {" 30 ", 30.0}, {"1e1", 10.0}, {",5", 0.5}}) {
    Edit(d, "Q").setText(typed);
    EXPECT_TRUE(BoxesAfterApply(d).isEmpty()) << typed;
    EXPECT_EQ(iir.Q, q) << typed;
  }
  const QString qRange = "Добротность должна быть в пределах от 0,1 до 30";
  for (const auto& [typed, problem] :
       std::vector<std::pair<QString, QString>>{{"0,05", ""},
                                                {"30,01", ""},
                                                {"", ""},
                                                {"1,5,0", "«1,5,0» - не число. "},
                                                {"abc", "«abc» - не число. "}}) {
    Edit(d, "Q").setText(typed);
    EXPECT_EQ(BoxesAfterApply(d), QStringList{problem + qRange}) << typed.toStdString();
    EXPECT_EQ(iir.Q, 0.5);
  }
  Edit(d, "Q").setText("0,5");
  Edit(d, "Freq").setText("19845,1");
  EXPECT_EQ(BoxesAfterApply(d), QStringList{"Частота должна быть в пределах от 10 до 19845 Гц"});
  Close(d);

  TCounting<TMovingAverage> average(44100);
  ShowOn(d, average);
  QLineEdit& length = Edit(d, "Length");
  length.clear();
  QTest::keyClicks(&length, "1500.5");
  EXPECT_EQ(length.text(), "1500.5");
  const QString lengthRange = "Длина должна быть в пределах от 1 до 4096 отсчётов";
  EXPECT_EQ(BoxesAfterApply(d), QStringList{"«1500.5» - не целое число, а нужно целое. " + lengthRange});
  QTest::keyClicks(&length, "x");
  EXPECT_EQ(length.text(), "1500.5x");
  EXPECT_EQ(BoxesAfterApply(d), QStringList{"«1500.5x» - не число. " + lengthRange});
  EXPECT_EQ(average.Length, 16);
  EXPECT_EQ(average.Updates, 0);
  length.setText("1500");
  QTest::mouseClick(d.OKBtn, Qt::LeftButton);
  EXPECT_EQ(average.Length, 1500);
  EXPECT_EQ(d.result(), QDialog::Accepted);
  d.SetFilter(nullptr);
}

TEST(DescribedFilterDialog, BarsActAtOnceAndTheUpperEdgeOfABandStopsAtTheLower) {
  TDescribedFilterDlg& d = Dialogs().Described;
  TCounting<TBandPassFilter> band(44100);
  ShowOn(d, band);
  QSlider& upper = *d.Field("UpperFreq")->Bar;
  sonotest::DragBar(upper, upper.minimum(), 10);
  ASSERT_TRUE(WaitForMovements(d));
  EXPECT_EQ(band.UpperFreq, 300);
  EXPECT_EQ(Edit(d, "UpperFreq").text(), "300");
  EXPECT_TRUE(band.Validate());
  sonotest::DragBar(upper, upper.maximum(), 10);
  ASSERT_TRUE(WaitForMovements(d));
  EXPECT_EQ(band.UpperFreq, 22050);
  // Typed, the upper edge below the lower is refused with the range that is left.
  Edit(d, "UpperFreq").setText("200");
  EXPECT_EQ(BoxesAfterApply(d),
            QStringList{"Верхняя частота среза должна быть в пределах от 300 до 22050 Гц"});
  Edit(d, "UpperFreq").setText("5000");
  Edit(d, "LowerFreq").setText("4000");
  d.Field("KernelSize")->List->setCurrentRow(7);
  const int before = band.Updates;
  EXPECT_TRUE(BoxesAfterApply(d).isEmpty());
  EXPECT_EQ(band.Updates, before + 1);
  EXPECT_EQ(band.LowerFreq, 4000);
  EXPECT_EQ(band.UpperFreq, 5000);
  EXPECT_EQ(band.KernelSize(), 1024);
  // The bars stand where a new showing of the applied values puts them.
  const int lowerAt = d.Field("LowerFreq")->Bar->value(), upperAt = d.Field("UpperFreq")->Bar->value();
  d.accept(); // Cancel would put the values the showing began with back
  d.SetFilter(nullptr);
  ShowOn(d, band);
  EXPECT_EQ(d.Field("LowerFreq")->Bar->value(), lowerAt);
  EXPECT_EQ(d.Field("UpperFreq")->Bar->value(), upperAt);
  EXPECT_NE(lowerAt, upperAt);
  Close(d);

  TCounting<TIIRFilter> iir(48000);
  ShowOn(d, iir);
  sonotest::DragBar(*d.Field("Freq")->Bar, TDescribedFilterDlg::BarSteps, 10);
  ASSERT_TRUE(WaitForMovements(d));
  EXPECT_EQ(iir.Freq, 21600.0); // 0.45 of the rate
  EXPECT_EQ(Edit(d, "Freq").text(), "21600");
  Close(d);
}

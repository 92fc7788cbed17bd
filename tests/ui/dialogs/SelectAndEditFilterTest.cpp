// SPDX-License-Identifier: GPL-3.0-or-later
// The type list and EditFilter's choice of dialog, on the real dialogs and real filters.

#include "DialogFixtures.h"
#include "filters/AmplitudeModulation.h"
#include "filters/BandPassFilter.h"
#include "filters/ChebyshevFilter.h"
#include "filters/Chorus.h"
#include "filters/DCRemoval.h"
#include "filters/Echo.h"
#include "filters/IIRFilter.h"
#include "filters/LowPassFilter.h"
#include "filters/MovingAverage.h"
#include "filters/MultiBandFilter.h"
#include "filters/Noise.h"
#include "filters/PitchShift.h"
#include "filters/Reverberation.h"
#include "filters/Synthesis.h"
#include "support/QtDialogs.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace dialogtest;
using sonotest::WhenModal;

namespace {

const QStringList CatalogueNames = {"Фильтр нижних частот",
                                    "Фильтр верхних частот",
                                    "Полосовой пропускающий фильтр",
                                    "Полосовой вырезающий фильтр",
                                    "Многополосовой фильтр",
                                    "БИХ-фильтр",
                                    "Фильтр Чебышева",
                                    "Фильтр \"Движущееся среднее\"",
                                    "Вырезание постоянной составляющей",
                                    "Эффект \"Эхо\"",
                                    "Эффект \"Хор\"",
                                    "Эффект \"Реверберация\"",
                                    "Эффект \"Шум\"",
                                    "Эффект \"Амплитудная модуляция\"",
                                    "Эффект \"Синтез\"",
                                    "Эффект \"Сдвиг высоты тона\""};

void DoubleClickRow(QListWidget& list, int row) {
  const QPoint at = list.visualItemRect(list.item(row)).center();
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, at);
  QTest::mouseDClick(list.viewport(), Qt::LeftButton, {}, at);
}

// Runs EditFilter with `action` done on whatever dialog comes up; the dialog it was, or null.
QDialog* EditWith(TFilter& filter, const std::function<void(QDialog&)>& action) {
  QDialog* shown = nullptr;
  const auto driver = WhenModal<QDialog>([&](QDialog& d) {
    shown = &d;
    action(d);
  });
  EditFilter(Dialogs().Set(), filter);
  return shown;
}

} // namespace

TEST(SelectFilterDialog, ListsTheSixteenNamesWithTheFirstSelectedAndKeepsTheLastChoiceBetweenShowings) {
  sonotest::App();
  TSelectFilterDialog select;
  EXPECT_EQ(select.windowTitle(), "Выбор фильтра или эффекта");
  EXPECT_EQ(select.Label1->text(), "Выберите фильтр или эффект:");
  ASSERT_EQ(select.FilterListBox->count(), 16);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(select.FilterListBox->item(i)->text(), CatalogueNames[i]) << i;
  }
  EXPECT_EQ(select.SelectedIndex(), 0);
  EXPECT_TRUE(select.FilterListBox->item(0)->isSelected());

  {
    const auto driver =
        WhenModal<TSelectFilterDialog>([](TSelectFilterDialog& d) { DoubleClickRow(*d.FilterListBox, 9); });
    EXPECT_EQ(select.exec(), QDialog::Accepted); // the double click alone ends it with OK
  }
  EXPECT_EQ(select.SelectedIndex(), 9);

  int shownAt = -1;
  {
    const auto driver = WhenModal<TSelectFilterDialog>([&](TSelectFilterDialog& d) {
      shownAt = d.SelectedIndex();
      QTest::mouseClick(d.CancelBtn, Qt::LeftButton);
    });
    EXPECT_EQ(select.exec(), QDialog::Rejected);
  }
  EXPECT_EQ(shownAt, 9);
  EXPECT_EQ(select.SelectedIndex(), 9);

  {
    const auto driver = WhenModal<TSelectFilterDialog>([](TSelectFilterDialog& d) {
      QTest::mouseClick(d.FilterListBox->viewport(), Qt::LeftButton, {},
                        d.FilterListBox->visualItemRect(d.FilterListBox->item(4)).center());
      QTest::mouseClick(d.OKBtn, Qt::LeftButton);
    });
    EXPECT_EQ(select.exec(), QDialog::Accepted);
  }
  EXPECT_EQ(select.SelectedIndex(), 4);

  { // The keyboard alone: the list has the focus, two rows down and Return.
    const auto driver = WhenModal<TSelectFilterDialog>([](TSelectFilterDialog& d) {
      QWidget* focus = QApplication::focusWidget();
      EXPECT_EQ(focus, d.FilterListBox);
      QTest::keyClick(focus, Qt::Key_Down);
      QTest::keyClick(focus, Qt::Key_Down);
      QTest::keyClick(focus, Qt::Key_Return);
    });
    EXPECT_EQ(select.exec(), QDialog::Accepted);
  }
  EXPECT_EQ(select.SelectedIndex(), 6);
}

TEST(EditFilter, EachTypeGetsItsDialogOnTheFilterAndOKAppliesOnceMoreWhileCancelAppliesNothing) {
  TDialogs& d = Dialogs();
  struct TCase {
    std::unique_ptr<TFilter> Filter;
    std::function<int()> Updates;
    QDialog* Expected;
    QPushButton* OK;
    int UpdatesOnOK; // the dialog's own Apply for its typed values, then EditFilter's
  };
  auto lowPass = std::make_unique<TCounting<TLowPassFilter>>(44100);
  auto highPass = std::make_unique<TCounting<THighPassFilter>>(44100);
  auto equaliser = std::make_unique<TCounting<TMultiBandFilter>>(44100);
  auto echo = std::make_unique<TCounting<TEcho>>(44100);
  auto reverb = std::make_unique<TCounting<TReverberation>>(44100);
  std::vector<TCase> cases;
  const auto counter = [](auto* f) { return std::function<int()>([f] { return f->Updates.load(); }); };
  cases.push_back({nullptr, counter(lowPass.get()), &d.LHPass, d.LHPass.OKBtn, 2});
  cases.back().Filter = std::move(lowPass);
  cases.push_back({nullptr, counter(highPass.get()), &d.LHPass, d.LHPass.OKBtn, 2});
  cases.back().Filter = std::move(highPass);
  cases.push_back({nullptr, counter(equaliser.get()), &d.MultiBand, d.MultiBand.OKBtn, 1});
  cases.back().Filter = std::move(equaliser);
  cases.push_back({nullptr, counter(echo.get()), &d.Echo, d.Echo.OKBtn, 2});
  cases.back().Filter = std::move(echo);
  cases.push_back({nullptr, counter(reverb.get()), &d.Reverb, d.Reverb.OKBtn, 2});
  cases.back().Filter = std::move(reverb);
  const auto described = [&](auto filter) {
    cases.push_back({nullptr, counter(filter.get()), &d.Described, d.Described.OKBtn, 2});
    cases.back().Filter = std::move(filter);
  };
  described(std::make_unique<TCounting<TBandPassFilter>>(44100));
  described(std::make_unique<TCounting<TBandStopFilter>>(44100));
  described(std::make_unique<TCounting<TIIRFilter>>(44100));
  described(std::make_unique<TCounting<TChebyshevFilter>>(44100));
  described(std::make_unique<TCounting<TMovingAverage>>(44100));
  described(std::make_unique<TCounting<TDCRemoval>>(44100));
  described(std::make_unique<TCounting<TChorus>>(44100));
  described(std::make_unique<TCounting<TNoise>>(44100));
  described(std::make_unique<TCounting<TAmplitudeModulation>>(44100));
  described(std::make_unique<TCounting<TSynthesis>>(44100));
  described(std::make_unique<TCounting<TPitchShift>>(44100));

  for (TCase& c : cases) {
    SCOPED_TRACE(c.Filter->Type());
    const TFilter* pointedAt = nullptr;
    QDialog* shown = EditWith(*c.Filter, [&](QDialog& dialog) {
      pointedAt = static_cast<TParameterDialog&>(dialog).EditedFilter();
      QTest::mouseClick(c.OK, Qt::LeftButton);
    });
    EXPECT_EQ(shown, c.Expected);
    EXPECT_EQ(pointedAt, c.Filter.get());
    EXPECT_EQ(c.Updates(), c.UpdatesOnOK);
    EXPECT_EQ(static_cast<TParameterDialog*>(c.Expected)->EditedFilter(), nullptr);

    shown = EditWith(*c.Filter, [](QDialog& dialog) { dialog.reject(); });
    EXPECT_EQ(shown, c.Expected);
    EXPECT_EQ(c.Updates(), c.UpdatesOnOK);
  }
  // The high-pass filter is edited in the same dialog, from its own values.
  *static_cast<int32_t*>(cases[1].Filter->FindParameter("fc")) = 3000;
  QString shownCutOff;
  EditWith(*cases[1].Filter, [&](QDialog& dialog) {
    shownCutOff = static_cast<TLHPassFilterDlg&>(dialog).FreqEdit->text();
    dialog.reject();
  });
  EXPECT_EQ(shownCutOff, "3000");
}

TEST(EditFilter, ATypeOutsideTheCatalogueShowsNothingAndIsNotApplied) {
  Dialogs();
  for (int32_t type : {-1, 16}) {
    TNoDialogFilter filter(44100);
    filter.SetType(type);
    EXPECT_EQ(EditWith(filter, [](QDialog& dialog) { dialog.reject(); }), nullptr) << type;
    EXPECT_EQ(filter.Updates, 0) << type;
  }
}

// SPDX-License-Identifier: GPL-3.0-or-later
// LV2 plug-ins in the dialogs: the selection's page of installed plug-ins with its search, and a slot
// edited live in the dialog built from its ports (choices by value, the port's range message, the
// latency the plug-in reports).

#include "DialogFixtures.h"
#include "filters/lv2/PluginSlot.h"
#include "support/Plugins.h"
#include "support/QtDialogs.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>
#include <QTreeWidget>

#include <gtest/gtest.h>

using namespace dialogtest;
using namespace sonotest;

namespace {

QStringList Rows(const QTreeWidget& list, int column) {
  QStringList rows;
  for (int i = 0; i < list.topLevelItemCount(); ++i) {
    rows << list.topLevelItem(i)->text(column);
  }
  return rows;
}

double Value(const TFilter& filter, int parameter) {
  return ValueAt(*filter.Parameter(parameter).Description, filter.Parameter(parameter).Storage);
}

QStringList BoxesAfterApply(TDescribedFilterDlg& d) {
  TBoxCatcher boxes;
  QTest::mouseClick(d.ApplyBtn, Qt::LeftButton);
  QStringList texts;
  for (const auto& box : boxes.Shown()) {
    texts << box.Text;
  }
  return texts;
}

} // namespace

TEST(PluginDialogs, TheSelectionListsTheOfferedPluginsByNameAndClassAndItsSearchKeepsThoseThatMatch) {
  App();
  const auto host = TestPlugins();
  TSelectFilterDialog select(nullptr, host);
  select.show();
  select.Pages->setCurrentIndex(1);
  QStringList offered;
  for (const auto& p : host->Plugins()) {
    if (p->Offered()) {
      offered << QString::fromStdString(p->Name);
    }
  }
  EXPECT_EQ(Rows(*select.PluginList, 0), offered);
  const int amp = static_cast<int>(offered.indexOf("Simple amplifier"));
  ASSERT_GE(amp, 0);
  EXPECT_EQ(select.PluginList->topLevelItem(amp)->text(1), "Усилитель");
  EXPECT_FALSE(offered.contains("Inverter"));
  EXPECT_FALSE(offered.contains("Gain that needs a worker"));

  QTest::keyClicks(select.SearchEdit, "LIMITER");
  const QStringList limiters = Rows(*select.PluginList, 0);
  EXPECT_TRUE(limiters.contains("MDA Limiter"));
  EXPECT_LT(limiters.size(), offered.size());
  for (int i = 0; i < select.PluginList->topLevelItemCount(); ++i) {
    const QTreeWidgetItem& item = *select.PluginList->topLevelItem(i);
    EXPECT_TRUE((item.text(0) + item.text(1) + item.toolTip(0)).contains("limiter", Qt::CaseInsensitive));
  }
  select.PluginList->setCurrentItem(
      select.PluginList->topLevelItem(static_cast<int>(limiters.indexOf("MDA Limiter"))));
  ASSERT_NE(select.SelectedPlugin(), nullptr);
  EXPECT_EQ(select.SelectedPlugin()->Uri, LimiterUri);
  EXPECT_EQ(select.SelectedIndex(), -1);
  select.SearchEdit->setText("no such plug-in");
  EXPECT_EQ(select.PluginList->topLevelItemCount(), 0);
  EXPECT_TRUE(select.NoPluginsLabel->isVisible());
  select.Pages->setCurrentIndex(0);
  EXPECT_EQ(select.SelectedPlugin(), nullptr);
  EXPECT_EQ(select.SelectedIndex(), 0);
}

TEST(PluginDialogs, ASlotIsEditedLiveInTheDialogBuiltFromItsPorts) {
  TDescribedFilterDlg& d = Dialogs().Described;
  const auto host = TestPlugins();
  const auto limiter = CreatePluginSlot(host, LimiterUri, 44100);
  ShowOn(d, *limiter);
  EXPECT_EQ(d.windowTitle(), "Параметры модуля «MDA Limiter»");
  ASSERT_EQ(d.Fields().size(), 5u);
  EXPECT_EQ(d.Field("thresh")->Label->text(), "Thresh:");
  EXPECT_EQ(d.Field("thresh")->Edit->text(), "0,6");
  const auto& knee = d.Field("knee")->Choices;
  ASSERT_EQ(knee.size(), 2u);
  EXPECT_EQ(knee[0]->text(), "Hard");
  EXPECT_TRUE(knee[0]->isChecked());
  EXPECT_FALSE(d.LatencyLabel->isVisible());
  QTest::mouseClick(knee[1], Qt::LeftButton, {}, QPoint(6, knee[1]->height() / 2)); // on its circle
  EXPECT_TRUE(BoxesAfterApply(d).isEmpty());
  EXPECT_EQ(Value(*limiter, 4), 1.0);
  d.Field("thresh")->Edit->setText("1,5");
  EXPECT_EQ(BoxesAfterApply(d), QStringList{"Значение «Thresh» должно быть в пределах от 0 до 1."});
  EXPECT_EQ(Value(*limiter, 0), 0.6);
  d.Field("thresh")->Bar->setValue(250); // acts at once
  ASSERT_TRUE(WaitForMovements(d));
  EXPECT_EQ(Value(*limiter, 0), 0.25);
  Close(d);

  const auto latency = CreatePluginSlot(host, LatencyUri, 44100);
  ShowOn(d, *latency);
  ASSERT_EQ(d.Fields().size(), 1u);
  EXPECT_TRUE(d.LatencyLabel->isVisible());
  EXPECT_EQ(d.LatencyLabel->text(), "Задержка модуля: 110250 отсчётов (2500,0 мс)");
  d.Field("delay")->Edit->setText("10");
  EXPECT_TRUE(BoxesAfterApply(d).isEmpty());
  EXPECT_EQ(d.LatencyLabel->text(), "Задержка модуля: 441 отсчётов (10,0 мс)");
  Close(d);
}

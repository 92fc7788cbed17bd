// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The desktop program under test: every form as the start-up makes it, set-ups started through the
// device dialog as a user starts them (the dialog and the parameter dialog driven from a timer), list
// clicks where a user clicks, settings-file dialogs answered and message boxes read.
//
// Threads: the test thread (Qt's GUI thread) only.

#include "support/QtTestApp.h"

#include "devices/AudioFormats.h"
#include "devices/platform/SoundServices.h"
#include "ui/dialogs/DevParamDlg.h"
#include "ui/dialogs/DeviceChoices.h"
#include "ui/dialogs/SelectDevicesDlg.h"
#include "ui/dialogs/SelectFilterDialog.h"
#include "ui/windows/Application.h"
#include "ui/windows/DSPForm.h"
#include "ui/windows/MainForm.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sonotest {

// The test program's application, of the program's own class.
inline TSonolabApplication& ProgramApp() {
  return App<TSonolabApplication>();
}

// The device dialog's memory of earlier OKs cleared: the program starts as on its first use.
inline int ForgetDeviceChoices() {
  QSettings(QString::fromLatin1(SettingsOrganisation), QString::fromLatin1(SettingsApplication)).clear();
  return 0;
}

class TProgram {
public:
  // services: the ring devices' server (none lists none); the wave-audio lists are left empty unless
  // ALSA is to be asked.
  explicit TProgram(std::shared_ptr<TSoundServices> services = nullptr, bool askAlsa = false)
      : forms((ProgramApp(), ForgetDeviceChoices(), std::move(services))) {
    if (!askAlsa) {
      forms.SelectDevicesDlg().SetWaveAudioNames([] { return std::vector<std::string>(); },
                                                 [] { return std::vector<std::string>(); });
    }
    Main().show();
    Main().activateWindow();
    QApplication::setActiveWindow(&Main());
    WaitUntil([this] { return Main().isActiveWindow(); }, std::chrono::seconds(5));
  }

  TMainForm& Main() { return forms.MainForm(); }
  TSelectDevicesDlg& Devices() { return forms.SelectDevicesDlg(); }

  // "&Начать обработку сигнала" with the device dialog driven by `choose`, then OK (or Cancel when
  // `ok` is false); OK's question before replacing an existing output file is answered "Да", and any
  // refusal of OK fails the test and cancels. The new processing window, or nullptr when none was made.
  TDSPForm* BeginSetUp(const std::function<void(TSelectDevicesDlg&)>& choose, bool ok = true) {
    // Held as guarded pointers: a window that closes meanwhile must not pass for a new one made at
    // its address.
    std::vector<QPointer<TDSPForm>> before;
    for (TDSPForm* form : Main().SetUps()) {
      before.emplace_back(form);
    }
    std::shared_ptr<TModalDriver> replace;
    auto driver = TModalDriver::When<TSelectDevicesDlg>([&](TSelectDevicesDlg& dialog) {
      choose(dialog);
      replace = TModalDriver::When<QMessageBox>([&dialog](QMessageBox& box) {
        if (QAbstractButton* yes = box.button(QMessageBox::Yes)) {
          yes->click();
          return;
        }
        ADD_FAILURE() << "the device dialog refused OK: " << box.text().toStdString();
        box.accept();
        dialog.reject();
      });
      QTest::mouseClick(ok ? dialog.OKBtn : dialog.CancelBtn, Qt::LeftButton);
      replace.reset(); // OK has been answered: later boxes are the test's
    });
    Main().iBeginDSP->trigger();
    EXPECT_TRUE(driver->Done()) << "the device dialog was not shown";
    for (TDSPForm* form : Main().SetUps()) {
      if (std::none_of(before.begin(), before.end(),
                       [form](const QPointer<TDSPForm>& f) { return f == form; })) {
        return form;
      }
    }
    return nullptr;
  }

  TApplicationForms forms;
};

inline int RowOf(const QListWidget& list, const QString& text) {
  for (int i = 0; i < list.count(); ++i) {
    if (list.item(i)->text() == text) {
      return i;
    }
  }
  return -1;
}

// The last row of a list whose text is the given one (the WAVE file item ends each device list).
inline int LastRowOf(const QListWidget& list, const QString& text) {
  for (int i = list.count() - 1; i >= 0; --i) {
    if (list.item(i)->text() == text) {
      return i;
    }
  }
  return -1;
}

inline QPoint RowCentre(QListWidget& list, int row) {
  return list.visualItemRect(list.item(row)).center();
}

inline void ClickRow(QListWidget& list, int row) {
  QTest::mouseClick(list.viewport(), Qt::LeftButton, Qt::NoModifier, RowCentre(list, row));
}

inline void DoubleClickRow(QListWidget& list, int row) {
  const QPoint at = RowCentre(list, row);
  QTest::mouseClick(list.viewport(), Qt::LeftButton, Qt::NoModifier, at);
  QTest::mouseDClick(list.viewport(), Qt::LeftButton, Qt::NoModifier, at);
}

// A click on the check box of a row, where the style draws it.
inline void ClickCheckBox(QListWidget& list, int row) {
  QStyleOptionViewItem option;
  option.initFrom(&list);
  option.rect = list.visualItemRect(list.item(row));
  option.features |= QStyleOptionViewItem::HasCheckIndicator;
  option.text = list.item(row)->text();
  const QRect box = list.style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, &list);
  QTest::mouseClick(list.viewport(), Qt::LeftButton, Qt::NoModifier, box.center());
}

// Opens the parameter dialog of a row by a double click and runs `edit` in it; OK follows unless
// `edit` closed the dialog itself.
inline bool EditDevice(QListWidget& list, int row, const std::function<void(TDevParamDlg&)>& edit) {
  auto driver = TModalDriver::When<TDevParamDlg>([&](TDevParamDlg& dialog) {
    edit(dialog);
    if (dialog.isVisible()) {
      QTest::mouseClick(dialog.OKBtn, Qt::LeftButton);
    }
  });
  DoubleClickRow(list, row);
  return driver->Done();
}

// A file device's name (and, when given, its format entry) typed in the parameter dialog.
inline bool SetFileThroughDialog(QListWidget& list, int row, const QString& name, int format = -1) {
  return EditDevice(list, row, [&](TDevParamDlg& dialog) {
    if (format >= 0) {
      dialog.PageControl->setCurrentWidget(dialog.DataFormatSheet);
      ClickRow(*dialog.FormatsList, format);
    }
    dialog.PageControl->setCurrentWidget(dialog.FileNameSheet);
    dialog.FileName->setFocus();
    dialog.FileName->selectAll();
    QTest::keyClicks(dialog.FileName, name);
  });
}

// Checks exactly the given output rows (by clicks on the check boxes).
inline void CheckOutputs(TSelectDevicesDlg& dialog, const std::vector<int>& rows) {
  QListWidget& list = *dialog.OutputDevsList;
  for (int i = 0; i < list.count(); ++i) {
    const bool want = std::find(rows.begin(), rows.end(), i) != rows.end();
    if ((list.item(i)->checkState() == Qt::Checked) != want) {
      ClickCheckBox(list, i);
    }
  }
}

// AddBtn as a user presses it: the type chosen in the selection dialog, then the parameter dialog of
// the new filter (if its type has one) ended with OK, or with Cancel when `ok` is false.
inline void AddFilterThroughDialogs(TDSPForm& form, int type, bool ok = true) {
  std::shared_ptr<TModalDriver> parameters;
  auto select = TModalDriver::When<TSelectFilterDialog>([&](TSelectFilterDialog& dialog) {
    ClickRow(*dialog.FilterListBox, type);
    parameters = TModalDriver::When<QDialog>([ok, &dialog](QDialog& d) {
      if (&d != &dialog) {
        ok ? d.accept() : d.reject();
      }
    });
    dialog.accept();
  });
  form.AddBtnClick();
  EXPECT_TRUE(select->Done());
}

// A settings or WAVE file dialog answered with the given file.
inline std::shared_ptr<TModalDriver> AnswerFileDialog(const std::string& path) {
  return TModalDriver::When<QFileDialog>([path](QFileDialog& dialog) {
    // As a user does: to the folder, then the name typed.
    const QFileInfo file(QString::fromStdString(path));
    dialog.setDirectory(file.absolutePath());
    // A file selected in the list at an earlier showing would win over the name typed.
    if (auto* view = dialog.findChild<QAbstractItemView*>(QStringLiteral("listView"))) {
      view->clearSelection();
    }
    dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(file.fileName());
    static_cast<QDialog&>(dialog).accept(); // as the dialog's own button does
  });
}

// The text of the next message box, which is dismissed.
struct TBoxSeen {
  QString Caption;
  QString Text;
  QMessageBox::Icon Icon = QMessageBox::NoIcon;
};
inline std::shared_ptr<TModalDriver> DismissBox(TBoxSeen& seen) {
  return TModalDriver::When<QMessageBox>([&seen](QMessageBox& box) {
    seen = {box.windowTitle(), box.text(), box.icon()};
    box.accept();
  });
}

} // namespace sonotest

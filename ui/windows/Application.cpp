// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/windows/Application.h"

#include "devices/platform/PulseSoundServices.h"
#include "ui/dialogs/DescribedFilterDlg.h"
#include "ui/dialogs/DevParamDlg.h"
#include "ui/dialogs/DialogLayout.h"
#include "ui/dialogs/EchoDlg.h"
#include "ui/dialogs/LHPassFilterDlg.h"
#include "ui/dialogs/MultiBandFilterDlg.h"
#include "ui/dialogs/ReverbDlg.h"
#include "ui/dialogs/SelectDevicesDlg.h"
#include "ui/dialogs/SelectFilterDialog.h"
#include "ui/windows/CloseSignals.h"
#include "ui/windows/Icons.h"
#include "ui/windows/MainForm.h"

#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QTranslator>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

TSonolabApplication::TSonolabApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TSonolabApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    ShowApplicationException(e.what());
  } catch (const TDSPException& e) {
    ShowApplicationException(ComposeDSPMessage(e).Text.c_str());
  } catch (...) {
    ShowApplicationException(nullptr);
  }
  return false;
}

void ShowApplicationException(const char* what) {
  const QString text =
      what != nullptr && *what != '\0' ? QString::fromUtf8(what) : QStringLiteral("Неизвестная ошибка.");
  QMessageBox box(QMessageBox::Critical, QString::fromUtf8(ApplicationTitle), text, QMessageBox::Ok);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

TApplicationForms::TApplicationForms(std::shared_ptr<TSoundServices> services,
                                     std::shared_ptr<const TPipeWireGraph> graph) {
  mainForm = std::make_unique<TMainForm>();
  QWidget* owner = mainForm.get();
  selectDevicesDlg = std::make_unique<TSelectDevicesDlg>(std::move(services), owner);
  selectDevicesDlg->SetGraph(std::move(graph));
  selectFilterDialog = std::make_unique<TSelectFilterDialog>(owner, std::make_shared<TPluginHost>());
  lhPassFilterDlg = std::make_unique<TLHPassFilterDlg>(owner);
  echoDlg = std::make_unique<TEchoDlg>(owner);
  reverbDlg = std::make_unique<TReverbDlg>(owner);
  multiBandFilterDlg = std::make_unique<TMultiBandFilterDlg>(owner);
  describedFilterDlg = std::make_unique<TDescribedFilterDlg>(owner);
  devParamDlg = std::make_unique<TDevParamDlg>(owner);
  selectDevicesDlg->SetDevParamDlg(devParamDlg.get());
  mainForm->SetDialogs(selectDevicesDlg.get(), selectFilterDialog.get(),
                       TFilterDialogs{lhPassFilterDlg.get(), echoDlg.get(), reverbDlg.get(),
                                      multiBandFilterDlg.get(), describedFilterDlg.get()});
}

// The processing windows go with the main window, before the dialogs they use; the dialogs, children of
// the main window, go before it.
TApplicationForms::~TApplicationForms() {
  devParamDlg.reset();
  selectDevicesDlg.reset();
  describedFilterDlg.reset();
  multiBandFilterDlg.reset();
  reverbDlg.reset();
  echoDlg.reset();
  lhPassFilterDlg.reset();
  selectFilterDialog.reset();
  mainForm.reset();
}

std::string MissingDisplayReason() {
  const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
  const bool x11 = qEnvironmentVariableIsSet("DISPLAY") && !qEnvironmentVariableIsEmpty("DISPLAY");
  const bool wayland =
      qEnvironmentVariableIsSet("WAYLAND_DISPLAY") && !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
  if (platform.isEmpty()) {
    if (x11 || wayland) {
      return {};
    }
  } else if (platform.startsWith("xcb")) {
    if (x11) {
      return {};
    }
  } else if (platform.startsWith("wayland")) {
    if (wayland) {
      return {};
    }
  } else {
    return {}; // offscreen, vnc and the like need no display
  }
  return "sonolab: нет графического дисплея (не заданы DISPLAY и WAYLAND_DISPLAY); запустите программу на "
         "рабочем столе X11 или Wayland";
}

namespace {

// While the application object is made, Qt's messages are held back: a display that cannot be
// reached ends the program with one line of ours instead of Qt's report and an abort.
void StartupMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtFatalMsg) {
    const QByteArray display = qgetenv("DISPLAY");
    std::fprintf(stderr, "sonolab: не удалось открыть графический дисплей%s%s\n",
                 display.isEmpty() ? "" : " ", display.isEmpty() ? "" : display.constData());
    (void)message;
    std::_Exit(1);
  }
}

void InstallTranslations(QApplication& app) {
  auto* translator = new QTranslator(&app);
  if (translator->load(QLocale(QLocale::Russian, QLocale::Russia), QStringLiteral("qtbase"),
                       QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    QApplication::installTranslator(translator);
  }
}

} // namespace

int RunSonolab(int argc, char** argv) {
  const std::string missing = MissingDisplayReason();
  if (!missing.empty()) {
    std::fprintf(stderr, "%s\n", missing.c_str());
    return 1;
  }
  const QtMessageHandler previous = qInstallMessageHandler(StartupMessages);
  TSonolabApplication app(argc, argv);
  qInstallMessageHandler(previous);
  try {
    QApplication::setApplicationName(QStringLiteral("sonolab"));
    QGuiApplication::setDesktopFileName(QStringLiteral("sonolab"));
    QApplication::setWindowIcon(ProgramIcon());
    InstallTranslations(app);
    TApplicationForms forms(std::make_shared<TPulseSoundServices>(), std::make_shared<TPipeWireGraph>());
    TMainForm& main = forms.MainForm();
    // A kill, Ctrl+C or the end of the session closes the set-ups as the main window's close does.
    const TCloseSignals closeSignals([&main](int signal) { main.CloseOnSignal(signal); });
    CentreOnScreen(main);
    main.show();
    CentreOnScreen(main);
    const int status = QApplication::exec();
    return status != 0 ? status : main.ExitStatus();
  } catch (const std::exception& e) {
    ShowApplicationException(e.what());
  } catch (const TDSPException& e) {
    ShowApplicationException(ComposeDSPMessage(e).Text.c_str());
  } catch (...) {
    ShowApplicationException(nullptr);
  }
  return 1;
}

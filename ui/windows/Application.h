// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The desktop program: the application object that shows an exception escaping an event handler in
// a box instead of ending the program, the forms that live for the whole run (made once, in order:
// the main window, the device dialog, the filter selection, the four filter parameter dialogs, the
// device parameter dialog, all owned here), and the start-up that refuses to run without a display.
//
// Threads: user-interface thread only.

#include "devices/platform/PipeWireGraph.h"
#include "devices/platform/SoundServices.h"

#include <QApplication>

#include <memory>
#include <string>

class TMainForm;
class TSelectDevicesDlg;
class TSelectFilterDialog;
class TLHPassFilterDlg;
class TEchoDlg;
class TReverbDlg;
class TMultiBandFilterDlg;
class TDescribedFilterDlg;
class TDevParamDlg;

class TSonolabApplication : public QApplication {
public:
  TSonolabApplication(int& argc, char** argv);
  // Delivers the event; an exception that escapes its handler is shown, and the loop goes on.
  bool notify(QObject* receiver, QEvent* event) override;
};

// The standard box of an exception that nothing else caught: the application title as caption.
void ShowApplicationException(const char* what);

class TApplicationForms {
public:
  // graph: the PipeWire daemon whose nodes the device dialog offers too (none: no PipeWire devices).
  explicit TApplicationForms(std::shared_ptr<TSoundServices> services,
                             std::shared_ptr<const TPipeWireGraph> graph = nullptr);
  ~TApplicationForms();
  TApplicationForms(const TApplicationForms&) = delete;
  TApplicationForms& operator=(const TApplicationForms&) = delete;

  TMainForm& MainForm() { return *mainForm; }
  TSelectDevicesDlg& SelectDevicesDlg() { return *selectDevicesDlg; }
  TSelectFilterDialog& SelectFilterDialog() { return *selectFilterDialog; }
  TDevParamDlg& DevParamDlg() { return *devParamDlg; }

private:
  std::unique_ptr<TMainForm> mainForm;
  std::unique_ptr<TSelectDevicesDlg> selectDevicesDlg;
  std::unique_ptr<TSelectFilterDialog> selectFilterDialog;
  std::unique_ptr<TLHPassFilterDlg> lhPassFilterDlg;
  std::unique_ptr<TEchoDlg> echoDlg;
  std::unique_ptr<TReverbDlg> reverbDlg;
  std::unique_ptr<TMultiBandFilterDlg> multiBandFilterDlg;
  std::unique_ptr<TDescribedFilterDlg> describedFilterDlg;
  std::unique_ptr<TDevParamDlg> devParamDlg;
};

// Why the program cannot open a window here, as one line, or empty when a display may be reached:
// the platform Qt would use needs DISPLAY (X11) or WAYLAND_DISPLAY and neither is set.
std::string MissingDisplayReason();

// main(): the checks, the application, the forms, the signals that close the main window, the message
// loop. Returns the exit code: the main window's (0; 128 + a closing signal; 1 when a set-up could not
// complete a file).
int RunSonolab(int argc, char** argv);

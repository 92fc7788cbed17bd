#pragma once
// One QApplication for a whole test program, offscreen unless a platform was chosen. It must go
// before the program's exit handlers run, so the program's test environment releases it.
//
// Threads: the test thread (Qt's GUI thread) only.

#include <QApplication>

#include <memory>

namespace sonotest {

inline std::unique_ptr<QApplication>& AppHolder() {
  static std::unique_ptr<QApplication> app;
  return app;
}

inline QApplication& App() {
  std::unique_ptr<QApplication>& app = AppHolder();
  if (!app) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
      qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    static int argc = 1;
    static char name[] = "sonolab_ui_tests";
    static char* argv[] = {name, nullptr};
    app = std::make_unique<QApplication>(argc, argv);
  }
  return *app;
}

inline void ReleaseApp() {
  AppHolder().reset();
}

} // namespace sonotest

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One QApplication for a whole test program, offscreen unless a platform was chosen; the tests of the
// program's windows make it of the program's own class. It goes before the program's exit handlers
// run: the test environment below releases it. With it, what tests of real windows need: waits that
// keep the event loop running, a driver for modal dialogs that finds the active modal widget from a
// timer, and a watchdog that ends a test program which hangs.
//
// Threads: the test thread (Qt's GUI thread) only; the watchdog's own thread only waits.

#include "support/Watchdog.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>

#include "support/Watchdog.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

namespace sonotest {

inline std::unique_ptr<QApplication>& AppHolder() {
  static std::unique_ptr<QApplication> app;
  return app;
}

// The application, made on first use as a TApp; every later call must ask for the same class.
template <class TApp = QApplication> TApp& App() {
  std::unique_ptr<QApplication>& app = AppHolder();
  if (!app) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
      qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // What Qt keeps between runs (the file dialogs' last folder) goes to a folder of the test
    // program's own, never into the user's settings.
    static std::string config =
        (std::filesystem::temp_directory_path() / "sonolab-test-config-XXXXXX").string();
    if (::mkdtemp(config.data()) != nullptr) {
      qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config));
    }
    static int argc = 1;
    static char name[] = "sonolab_tests";
    static char* argv[] = {name, nullptr};
    app = std::make_unique<TApp>(argc, argv);
  }
  auto* typed = dynamic_cast<TApp*>(app.get());
  if (typed == nullptr) {
    throw std::logic_error("the test program made its application of another class");
  }
  return *typed;
}

inline void ReleaseApp() {
  AppHolder().reset();
}

class TQtAppEnvironment : public ::testing::Environment {
public:
  void TearDown() override {
    ReleaseApp();
    const QByteArray config = qgetenv("XDG_CONFIG_HOME");
    if (config.contains("sonolab-test-config-")) {
      std::error_code ignored;
      std::filesystem::remove_all(config.toStdString(), ignored);
    }
  }
};
inline const ::testing::Environment* const QtAppEnvironment =
    ::testing::AddGlobalTestEnvironment(new TQtAppEnvironment);

// Runs the event loop until the condition holds; false if it did not within the time.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  QElapsedTimer clock;
  clock.start();
  while (!condition()) {
    if (clock.elapsed() > limit.count()) {
      return false;
    }
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); // closed windows go
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Runs the event loop for a while.
inline void Pump(std::chrono::milliseconds span) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < span.count()) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// Once a modal widget of class T is on top (found by a timer, from inside whatever exec is running),
// runs `action` on it once. The driver gives up after `limit` without one; Done tells whether the
// action ran. It must outlive the exec it drives.
class TModalDriver {
public:
  template <typename T>
  static std::shared_ptr<TModalDriver> When(std::function<void(T&)> action,
                                            std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto driver = std::shared_ptr<TModalDriver>(new TModalDriver);
    driver->clock.start();
    std::weak_ptr<TModalDriver> weak = driver;
    QObject::connect(&driver->timer, &QTimer::timeout, [weak, action, limit] {
      const std::shared_ptr<TModalDriver> self = weak.lock();
      if (!self || self->done) {
        return;
      }
      if (auto* widget = qobject_cast<T*>(QApplication::activeModalWidget());
          widget != nullptr && widget->isVisible()) {
        self->done = true;
        self->timer.stop();
        action(*widget);
        return;
      }
      if (self->clock.elapsed() > limit.count()) {
        self->timer.stop();
      }
    });
    driver->timer.start(20);
    return driver;
  }
  TModalDriver(const TModalDriver&) = delete;
  TModalDriver& operator=(const TModalDriver&) = delete;

  bool Done() const { return done; }

private:
  TModalDriver() = default;
  QTimer timer;
  QElapsedTimer clock;
  bool done = false;
};

} // namespace sonotest

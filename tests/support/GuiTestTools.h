#pragma once
// Helpers for tests of real windows: the program's application object (offscreen unless a platform
// is chosen), waits that keep the event loop running, a driver for modal dialogs that finds the
// active modal widget from a timer, and a watchdog that ends a test which hangs.

#include "app/windows/Application.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace sonotest {

// One application object for the whole test program; the test environment releases it before the
// program's exit handlers run.
inline std::unique_ptr<TSonolabApplication>& GuiAppHolder() {
  static std::unique_ptr<TSonolabApplication> app;
  return app;
}

inline TSonolabApplication& GuiApp() {
  std::unique_ptr<TSonolabApplication>& app = GuiAppHolder();
  if (!app) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
      qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // Settings that Qt keeps (the file dialogs' last folder) go to a folder of the test's own, never
    // to the user's.
    static std::string config = (std::filesystem::temp_directory_path() / "sonolab-test-config-XXXXXX").string();
    if (::mkdtemp(config.data()) != nullptr) {
      qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config));
    }
    static int argc = 1;
    static char name[] = "sonolab_windows_tests";
    static char* argv[] = {name, nullptr};
    app = std::make_unique<TSonolabApplication>(argc, argv);
  }
  return *app;
}

class TGuiAppEnvironment : public ::testing::Environment {
public:
  void TearDown() override {
    GuiAppHolder().reset();
    const QByteArray config = qgetenv("XDG_CONFIG_HOME");
    if (config.contains("sonolab-test-config-")) {
      std::error_code ignored;
      std::filesystem::remove_all(config.toStdString(), ignored);
    }
  }
};
inline const ::testing::Environment* const GuiAppEnvironment =
    ::testing::AddGlobalTestEnvironment(new TGuiAppEnvironment);

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

// The modal widget on top: window-modal boxes included.
inline QWidget* ActiveModal() {
  return QApplication::activeModalWidget();
}

// Once a modal widget of class T is on top (found by a timer, from inside whatever exec is running),
// runs `action` on it once. The driver ends itself after `limit` without one; Done tells whether the
// action ran.
class TModalDriver {
public:
  template <typename T>
  static std::shared_ptr<TModalDriver> When(std::function<void(T&)> action,
                                            std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto driver = std::shared_ptr<TModalDriver>(new TModalDriver);
    driver->timer = new QTimer;
    driver->clock.start();
    std::weak_ptr<TModalDriver> weak = driver;
    QObject::connect(driver->timer, &QTimer::timeout, [weak, action, limit] {
      const std::shared_ptr<TModalDriver> self = weak.lock();
      if (!self || self->done) {
        return;
      }
      if (auto* widget = qobject_cast<T*>(ActiveModal()); widget != nullptr && widget->isVisible()) {
        self->done = true;
        self->timer->stop();
        action(*widget);
        return;
      }
      if (self->clock.elapsed() > limit.count()) {
        self->timer->stop();
      }
    });
    driver->timer->start(20);
    return driver;
  }
  ~TModalDriver() { delete timer; }
  TModalDriver(const TModalDriver&) = delete;
  TModalDriver& operator=(const TModalDriver&) = delete;

  bool Done() const { return done; }

private:
  TModalDriver() = default;
  QTimer* timer = nullptr;
  QElapsedTimer clock;
  bool done = false;
};

// Ends the test program with a message when the test has not finished within the time: a deadlock
// fails loudly instead of hanging until the test runner's timeout.
class TWatchdog {
public:
  TWatchdog(std::chrono::seconds limit, std::string what) : what(std::move(what)) {
    thread = std::thread([this, limit] {
      std::unique_lock guard(mutex);
      if (!changed.wait_for(guard, limit, [this] { return finished; })) {
        std::fprintf(stderr, "watchdog: %s did not finish within %lld s (a deadlock?)\n", this->what.c_str(),
                     static_cast<long long>(limit.count()));
        std::fflush(stderr);
        std::abort();
      }
    });
  }
  ~TWatchdog() {
    {
      std::lock_guard guard(mutex);
      finished = true;
    }
    changed.notify_all();
    thread.join();
  }
  TWatchdog(const TWatchdog&) = delete;
  TWatchdog& operator=(const TWatchdog&) = delete;

private:
  std::string what;
  std::mutex mutex;
  std::condition_variable changed;
  bool finished = false;
  std::thread thread;
};

} // namespace sonotest

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A watchdog for a scope that must end: a deadlock fails the test program instead of hanging.
//
// Threads: made and destroyed on the test thread; its own thread only waits.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace sonotest {

// Ends the test program with a message when the scope has not ended within the time: a deadlock
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

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The PipeWire daemon of the native devices' tests: the one the run gives (scripts/pipewire-server.sh,
// with SONOLAB_REQUIRE_PIPEWIRE=1 a test fails without it), or a private one a test starts with the
// same script in a folder of its own, to kill, stop or rob of its null sink under a running device.
//
// Threads: the test thread that made it.

#include "devices/platform/PipeWireGraph.h"
#include "support/TestFiles.h"

#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace sonotest {

inline bool PipeWireRequired() {
  const char* require = std::getenv("SONOLAB_REQUIRE_PIPEWIRE");
  return require != nullptr && std::string(require) == "1";
}

// In a test body: skips without a daemon, or fails when the run asks for one.
#define SONOTEST_REQUIRE_PIPEWIRE()                                                                          \
  do {                                                                                                       \
    if (TPipeWireGraph().Check().Failed()) {                                                                 \
      if (::sonotest::PipeWireRequired()) {                                                                  \
        FAIL() << "SONOLAB_REQUIRE_PIPEWIRE=1 but no PipeWire daemon answers (scripts/pipewire-server.sh)";  \
      }                                                                                                      \
      GTEST_SKIP() << "no PipeWire daemon";                                                                  \
    }                                                                                                        \
  } while (false)

class TPrivatePipeWire {
public:
  TPrivatePipeWire() {
    const std::string env = dir.File("server.env");
    const std::string command = "TMPDIR=" + dir.Path().string() + " SONOLAB_PIPEWIRE_STATE=" + State() +
                                " SONOLAB_PIPEWIRE_QUANTUM= bash " SONOLAB_SOURCE_DIR
                                "/scripts/pipewire-server.sh start " +
                                env + " >" + dir.File("start.log") + " 2>&1";
    if (std::system(command.c_str()) != 0) {
      return;
    }
    // "export XDG_RUNTIME_DIR=/tmp/.../sonolab-pipewire.XXXX", then the pulse server's address.
    std::ifstream lines(env);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("export XDG_RUNTIME_DIR=", 0) == 0) {
        runtimeDir = line.substr(std::string("export XDG_RUNTIME_DIR=").size());
      }
    }
    // The state file: the runtime folder, then the ids of the bus, pipewire, wireplumber and the pulse
    // server.
    std::ifstream state(State());
    for (std::string line; std::getline(state, line);) {
      pids.push_back(std::atoi(line.c_str()));
    }
  }
  ~TPrivatePipeWire() {
    Signal(SIGCONT);
    const std::string command = "SONOLAB_PIPEWIRE_STATE=" + State() +
                                " bash " SONOLAB_SOURCE_DIR
                                "/scripts/pipewire-server.sh stop >/dev/null 2>&1";
    [[maybe_unused]] const int status = std::system(command.c_str());
  }
  TPrivatePipeWire(const TPrivatePipeWire&) = delete;
  TPrivatePipeWire& operator=(const TPrivatePipeWire&) = delete;

  bool Running() const { return !runtimeDir.empty() && pids.size() >= 5; }
  // XDG_RUNTIME_DIR=... for a child that is to find this daemon (and its pulse server).
  std::vector<std::string> Environment() const {
    return {"XDG_RUNTIME_DIR=" + runtimeDir, "PULSE_SERVER=unix:" + runtimeDir + "/pulse/native",
            "PIPEWIRE_REMOTE="};
  }
  // The daemon itself, never a pid of 0 or -1: SIGKILL ends it, SIGSTOP holds its graph.
  void Signal(int signal) const {
    if (pids.size() >= 3 && pids[2] > 0) {
      ::kill(pids[2], signal);
    }
  }
  // A command of the pulse server (pactl) against this daemon.
  int Pactl(const std::string& args) const {
    return std::system(
        ("PULSE_SERVER=unix:" + runtimeDir + "/pulse/native pactl " + args + " >/dev/null 2>&1").c_str());
  }

private:
  std::string State() const { return dir.File("server.state"); }

  TTempDir dir{"sonolab-pw"};
  std::string runtimeDir;
  std::vector<int> pids; // pids[0] is the folder's line, read as 0
};

} // namespace sonotest

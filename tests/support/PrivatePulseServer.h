// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A private PulseAudio server with a null sink, for tests that kill, stop or withhold the server
// under a running device: in a folder the test gives, or in a temporary folder of its own that goes
// with it. It lives until Kill or destruction.
//
// Threads: the test thread that made it.

#include "devices/platform/PulseSoundServices.h"
#include "support/TestFiles.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace sonotest {

// Whether the run asks for real sound (SONOLAB_REQUIRE_PULSE=1): then a missing server or a missing
// pulseaudio program fails a sound test instead of skipping it.
inline bool PulseRequired() {
  const char* require = std::getenv("SONOLAB_REQUIRE_PULSE");
  return require != nullptr && std::string(require) == "1";
}

// In a test body: skips the test when no server answers, or fails it when the run asks for real sound.
#define SONOTEST_REQUIRE_PULSE_SERVER()                                                                      \
  do {                                                                                                       \
    if (!TPulseSoundServices().ServerReachable()) {                                                          \
      if (::sonotest::PulseRequired()) {                                                                     \
        FAIL()                                                                                               \
            << "SONOLAB_REQUIRE_PULSE=1 but no PulseAudio server answers (scripts/pulse-server.sh start)";   \
      }                                                                                                      \
      GTEST_SKIP() << "no PulseAudio server";                                                                \
    }                                                                                                        \
  } while (false)

// The longest stretch of silence the server itself may put into a stream, in frames at 44100 Hz: a
// PipeWire graph that changes its quantum or misses a cycle leaves a hole of one cycle in paplay's sound
// as in ours (256 frames at 48 kHz, or the quantum the graph was fixed at, SONOLAB_PIPEWIRE_QUANTUM);
// PulseAudio leaves none.
inline size_t ServerGlitchFrames() {
  static const size_t frames = [] {
    if (std::system("pactl info 2>/dev/null | grep -q 'on PipeWire'") != 0) {
      return size_t{0};
    }
    const char* fixed = std::getenv("SONOLAB_PIPEWIRE_QUANTUM");
    const int given = fixed != nullptr ? std::atoi(fixed) : 0;
    const size_t quantum = given > 0 ? static_cast<size_t>(given) : 256;
    return std::max<size_t>(300, quantum * 44100 / 48000 + 50);
  }();
  return frames;
}

inline bool PulseaudioInstalled() {
  return std::system("command -v pulseaudio >/dev/null 2>&1") == 0;
}

class TPrivatePulseServer {
public:
  // In a temporary folder of its own.
  explicit TPrivatePulseServer(const std::string& sinkName)
      : ownDir(std::make_unique<TTempDir>("sonolab-pulse")) {
    Start(ownDir->Path(), sinkName);
  }
  TPrivatePulseServer(const std::filesystem::path& dir, const std::string& sinkName) { Start(dir, sinkName); }
  ~TPrivatePulseServer() { Kill(); }
  TPrivatePulseServer(const TPrivatePulseServer&) = delete;
  TPrivatePulseServer& operator=(const TPrivatePulseServer&) = delete;

  void Kill() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      pid = -1;
    }
  }
  // A stopped server accepts connections but answers nothing until it is continued.
  // Only the server is signalled: never a pid of -1, which would reach every process of the user.
  void Stop() const { Signal(SIGSTOP); }
  void Continue() const { Signal(SIGCONT); }
  bool Running() const { return pid > 0 && TPulseSoundServices(address).ServerReachable(); }
  const std::string& Address() const { return address; }

private:
  void Signal(int signal) const {
    if (pid > 0) {
      ::kill(pid, signal);
    }
  }
  void Start(const std::filesystem::path& dir, const std::string& sinkName) {
    const std::string socket = (dir / "native").string();
    std::vector<std::string> args = {"pulseaudio",
                                     "-n",
                                     "--daemonize=no",
                                     "--exit-idle-time=-1",
                                     "--disallow-exit",
                                     "--realtime=no", // see scripts/pulse-server.sh
                                     "--disable-shm=yes",
                                     "--load=module-null-sink sink_name=" + sinkName,
                                     "--load=module-native-protocol-unix socket=" + socket,
                                     "--log-target=file:" + (dir / "server.log").string()};
    std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + dir.string(), "HOME=" + dir.string(),
                                    "PATH=/usr/bin:/bin"};
    std::vector<char*> argv, envp;
    for (std::string& a : args) {
      argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    for (std::string& e : env) {
      envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    if (posix_spawnp(&pid, "pulseaudio", nullptr, nullptr, argv.data(), envp.data()) != 0) {
      pid = -1;
      return;
    }
    address = "unix:" + socket;
    for (int i = 0; i < 200 && !TPulseSoundServices(address).ServerReachable(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  std::unique_ptr<TTempDir> ownDir; // removed after the server is killed
  std::string address;
  pid_t pid = -1;
};

} // namespace sonotest

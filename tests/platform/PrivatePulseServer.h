#pragma once
// A private PulseAudio server in a folder of the test's own, with a null sink, for tests that kill
// the server under a running device. It lives until Kill or destruction.

#include "devices/platform/PulseSoundServices.h"

#include <chrono>
#include <filesystem>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

class TPrivatePulseServer {
public:
  TPrivatePulseServer(const std::filesystem::path& dir, const std::string& sinkName) {
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
  void Stop() const { ::kill(pid, SIGSTOP); }
  void Continue() const { ::kill(pid, SIGCONT); }
  bool Running() const { return pid > 0 && TPulseSoundServices(address).ServerReachable(); }
  const std::string& Address() const { return address; }

private:
  std::string address;
  pid_t pid = -1;
};

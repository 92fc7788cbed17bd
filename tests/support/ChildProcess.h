// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A program run as a child process with its own environment additions, optional file-size limit,
// optionally as another user, stdin read from a file and stdout/stderr captured to files; signals and
// waiting with a guard against a hang.
//
// Threads: a TChild belongs to the test thread that started it.

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace sonotest {

struct TChildOptions {
  std::vector<std::string> Environment; // NAME=VALUE added to (or replacing in) the parent's
  std::optional<rlim_t> FileSizeLimit;  // RLIMIT_FSIZE; SIGXFSZ keeps its default action
  std::string StdinPath = "/dev/null";
  std::string StdoutPath = "/dev/null";
  std::string StderrPath = "/dev/null";
  std::optional<uid_t> User; // run as this user (and its own group); only a root parent can
};

struct TChildExit {
  bool Exited = false; // ended by exit(); otherwise by a signal (or not at all, see Hung)
  int Status = -1;     // exit status or signal number
  bool Hung = false;   // still running at the guard's end; it was killed
};

class TChild {
public:
  TChild(const std::vector<std::string>& args, const TChildOptions& options) {
    // Everything the child needs is prepared before fork: after it only system calls run.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      bool replaced = false;
      for (const std::string& add : options.Environment) {
        if (entry.substr(0, entry.find('=') + 1) == add.substr(0, add.find('=') + 1)) {
          replaced = true;
        }
      }
      if (!replaced) {
        env.push_back(entry);
      }
    }
    env.insert(env.end(), options.Environment.begin(), options.Environment.end());
    std::vector<std::string> argStore = args;
    std::vector<char*> argv, envp;
    for (std::string& a : argStore) {
      argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    for (std::string& e : env) {
      envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    // A terminal given as a path never becomes this process's controlling terminal.
    const int in = ::open(options.StdinPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    const int out =
        ::open(options.StdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644);
    const int err =
        ::open(options.StderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644);

    pid = ::fork();
    if (pid == 0) {
      ::dup2(in, 0);
      ::dup2(out, 1);
      ::dup2(err, 2);
      if (options.User && (::setgid(*options.User) != 0 || ::setuid(*options.User) != 0)) {
        ::_exit(126);
      }
      if (options.FileSizeLimit) {
        const struct rlimit limit = {*options.FileSizeLimit, *options.FileSizeLimit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
      }
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(in);
    ::close(out);
    ::close(err);
  }
  ~TChild() {
    if (pid > 0 && !reaped) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;

  bool Started() const { return pid > 0; }
  pid_t Pid() const { return pid; }
  void Signal(int signal) const { ::kill(pid, signal); }

  // True while the child has not ended (it is not reaped).
  bool Running() {
    if (reaped) {
      return false;
    }
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      Record(status);
      return false;
    }
    return true;
  }

  // Waits for the end, at most `guard`; a child still running then is killed and marked Hung.
  TChildExit Wait(std::chrono::milliseconds guard) {
    const auto until = std::chrono::steady_clock::now() + guard;
    while (Running()) {
      if (std::chrono::steady_clock::now() > until) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        reaped = true;
        result.Hung = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return result;
  }

private:
  void Record(int status) {
    reaped = true;
    result.Exited = WIFEXITED(status);
    result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status);
  }

  pid_t pid = -1;
  bool reaped = false;
  TChildExit result;
};

// The sonolab-render a test runs: the build's, or the copy SONOLAB_RENDER names (the test command runs
// some tests so from a folder only its owner may enter, as a checkout under /root is).
inline std::string RenderProgram() {
  const char* copy = std::getenv("SONOLAB_RENDER");
  return copy != nullptr && *copy != '\0' ? copy : SONOLAB_RENDER_PATH;
}

// The dropouts counted by a sonolab-render summary line in `text` (0 when it has none).
inline unsigned long SummaryDropouts(const std::string& text) {
  const size_t at = text.find(" dropouts=");
  return at == std::string::npos ? 0 : std::stoul(text.substr(at + 10));
}

} // namespace sonotest

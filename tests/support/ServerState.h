// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the test sound server holds, as pactl tells it (the server of PULSE_SERVER): the default sink,
// the sinks and the streams on them; and a wait for a state the server reaches on its own time.
//
// Threads: the test thread.

#include <chrono>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace sonotest {

// The standard output of a shell line.
inline std::string ShellOutput(const std::string& line) {
  std::string out;
  if (FILE* pipe = ::popen(line.c_str(), "r")) {
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
      out.append(chunk, n);
    }
    ::pclose(pipe);
  }
  return out;
}

inline std::string DefaultSink() {
  std::string name = ShellOutput("pactl get-default-sink 2>/dev/null");
  while (!name.empty() && (name.back() == '\n' || name.back() == ' ')) {
    name.pop_back();
  }
  return name;
}

// The index of the sink of that name, "" when there is none.
inline std::string SinkIndex(const std::string& name) {
  std::istringstream lines(ShellOutput("pactl list short sinks 2>/dev/null"));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string index, sinkName;
    if (fields >> index >> sinkName && sinkName == name) {
      return index;
    }
  }
  return "";
}

// The indexes of the streams playing to the sink of that name.
inline std::vector<std::string> StreamsOn(const std::string& sinkName) {
  const std::string sink = SinkIndex(sinkName);
  std::vector<std::string> streams;
  std::istringstream lines(ShellOutput("pactl list short sink-inputs 2>/dev/null"));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string index, on;
    if (fields >> index >> on && !sink.empty() && on == sink) {
      streams.push_back(index);
    }
  }
  return streams;
}

// Waits until `reached` holds, at most a minute (a guard against a hang, not a judgement of speed).
inline bool Eventually(const std::function<bool()>& reached) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!reached()) {
    if (std::chrono::steady_clock::now() > until) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

} // namespace sonotest

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// sonolab-render run as a user runs it: a real process, its exit status and what it printed, kept in
// files of a test folder. A run that outlasts the guard is killed and reads as not exited.
//
// Threads: the test thread only.

#include "support/ChildProcess.h"
#include "support/TestFiles.h"

#include <chrono>
#include <string>
#include <vector>

namespace sonotest {

struct TRenderRun {
  bool Exited = false; // ended by exit() within the guard
  int Status = -1;     // its exit status; -1 when it did not exit
  std::string Out;
  std::string Err;
};

inline constexpr std::chrono::seconds RenderGuard{120};

// The program (sonolab-render unless told) with the arguments.
inline TRenderRun RunRender(const TTempDir& dir, std::vector<std::string> args, TChildOptions options = {},
                            const std::string& program = SONOLAB_RENDER_PATH) {
  args.insert(args.begin(), program);
  options.StdoutPath = dir.File("render.out");
  options.StderrPath = dir.File("render.err");
  TChild render(args, options);
  const TChildExit end = render.Wait(RenderGuard);
  const bool exited = end.Exited && !end.Hung;
  return {exited, exited ? end.Status : -1, ReadText(dir.File("render.out")),
          ReadText(dir.File("render.err"))};
}

// The same with the arguments as a shell reads them (quotes, redirections), after `environment`
// (NAME=VALUE ...).
inline TRenderRun RunRenderShell(const TTempDir& dir, const std::string& arguments,
                                 const std::string& environment = "") {
  const std::string command = environment + " " + SONOLAB_RENDER_PATH + " " + arguments;
  return RunRender(dir, {"-c", command}, {}, "/bin/sh");
}

} // namespace sonotest

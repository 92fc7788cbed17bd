// SPDX-License-Identifier: GPL-3.0-or-later
// sonolab-render: the processing engine from the command line.

#include "tools/Render.h"
#include "tools/RenderOptions.h"

#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    const TRenderCommand command = ParseRenderArguments(args);
    TRenderConsole console;
    console.StdoutIsTerminal = ::isatty(STDOUT_FILENO) == 1;
    console.StderrIsTerminal = ::isatty(STDERR_FILENO) == 1;
    return RunRenderCommand(command, std::cout, std::cerr, console);
  } catch (const TUsageError& e) {
    PrintUsageError(e, std::cerr);
    return 2;
  }
}

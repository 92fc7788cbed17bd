// sonolab-render: the processing engine from the command line.

#include "tools/Render.h"
#include "tools/RenderOptions.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    const TRenderCommand command = ParseRenderArguments(args);
    return RunRenderCommand(command, std::cout, std::cerr);
  } catch (const TUsageError& e) {
    std::cerr << e.what() << "\n\n" << RenderUsage;
    return 2;
  }
}

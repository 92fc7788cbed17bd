#pragma once
// Runs a parsed sonolab-render command: the chain actions in order, then, with an input, the real
// processing thread from the input to the outputs until the end of the input, --seconds, or SIGINT
// or SIGTERM. Returns the exit status: 0, 1 for an error of the program (its text on err), 2 for a
// usage error.

#include "tools/RenderOptions.h"

#include <ostream>

int RunRenderCommand(const TRenderCommand& command, std::ostream& out, std::ostream& err);

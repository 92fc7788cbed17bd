// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Runs a parsed sonolab-render command: the chain actions in order, then, with an input, the real
// processing thread from the input to the outputs until the end of the input (and its tail),
// --seconds, or SIGINT, SIGTERM or SIGHUP. Before anything is opened for writing it refuses a command line
// that would overwrite an input, write one file twice, or replace an existing file it must not.
// Returns the exit status: 0 done, 1 for an error of the program (its text on err), 2 for a usage
// error, 128 + the signal for a render that SIGINT, SIGTERM or SIGHUP cut short (its files complete). A
// file output that could not be completed (its last writes, its header, its sync or its close failed)
// makes the status 1 whatever else happened.
//
// Threads: the calling thread runs the command and watches the worker; the worker calls the
// window's notifications.

#include "tools/RenderConsole.h"
#include "tools/RenderOptions.h"

#include <ostream>

int RunRenderCommand(const TRenderCommand& command, std::ostream& out, std::ostream& err,
                     const TRenderConsole& console = {});

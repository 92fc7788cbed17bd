// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the program's standard streams are, for the decisions of a render that depend on them.

struct TRenderConsole {
  bool StdoutIsTerminal = false; // sound is never written to a terminal
  bool StderrIsTerminal = false; // progress is shown only on a terminal
};

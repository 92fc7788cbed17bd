// SPDX-License-Identifier: GPL-3.0-or-later
// sonolab: the desktop program.

#include "ui/windows/Application.h"

int main(int argc, char** argv) {
  return RunSonolab(argc, argv);
}

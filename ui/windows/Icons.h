// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's pictures: the desktop theme's icon of a standard name where the theme has one, else
// the SVG picture of our own in the program's resources, so that a bare machine shows the same.
//
// Threads: user-interface thread only.

#include <QIcon>

// Registers the program's resources; any number of calls.
void InitSonolabResources();

// The theme's icon `themeName` (none: always ours), falling back to ":/icons/<resource>.svg".
QIcon SonolabIcon(const char* themeName, const char* resource);

// The program icon, scalable.
QIcon ProgramIcon();

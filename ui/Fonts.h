// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The fonts the user interface names: the windows, dialogs and displays were laid out for "Arial" /
// "Arial Cyr", which Linux desktops stand in for with a metric-compatible face.
//
// Threads: user-interface thread only.

#include <QString>

// The installed face that stands for "Arial" / "Arial Cyr": Arial itself, else Liberation Sans or
// Arimo, else the desktop's default face.
QString ArialFace();

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the main window's child windows are called and where they open, so that each says whose it
// is: a processing window by its input (and its file), a display window by its own caption followed
// by the name of the set-up it belongs to. A new child window opens wholly inside the visible part of
// the child area.
//
// Threads: user-interface thread only.

#include <QString>

class QMdiArea;
class QMdiSubWindow;

// "Обработка сигнала - " and the set-up's name; for a file input (whose set-up is named by its file)
// the input item's text follows in brackets.
QString SetUpCaption(const QString& inputItem, const QString& setUpName, bool fileInput);

// A display window's caption: its own words, then the set-up's name in brackets.
QString DisplayCaption(const QString& own, const QString& setUpName);

// `base`, or `base` with " (2)", " (3)", ... when `taken` says the plainer one is in use.
template <typename Taken> QString DistinctName(const QString& base, Taken taken) {
  QString name = base;
  for (int n = 2; taken(name); ++n) {
    name = base + QStringLiteral(" (%1)").arg(n);
  }
  return name;
}

// Moves the window into the area's visible part, and shrinks it (never below its minimum) where it
// is larger.
void KeepInside(QMdiArea& area, QMdiSubWindow& window);

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the device dialogs share: the dialog font (8-point "Arial"), 13-pixel list items, labels
// placed at a point, and centring on the screen.
//
// Threads: user-interface thread only.

#include <QFont>
#include <QString>

#include <functional>
#include <initializer_list>

class QLabel;
class QWidget;

inline constexpr int DialogItemHeight = 13;

QFont DialogFont();
QLabel* PlaceLabel(QWidget* parent, const QString& text, int x, int y);
// Centres a window on its screen's available area, made smaller first where it would not fit.
void CentreOnScreen(QWidget& window);
// Runs `action` for each of `keys` pressed without a modifier (Enter on the keypad as Return) in
// `widget`, instead of the widget's own handling: the keyboard's way to what a double click does.
void OnKeys(QWidget& widget, std::initializer_list<int> keys, std::function<void()> action);

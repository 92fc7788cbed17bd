// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/dialogs/DialogLayout.h"

#include "ui/Fonts.h"

#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QWidget>

QFont DialogFont() {
  QFont font(ArialFace());
  font.setPointSize(8);
  return font;
}

QLabel* PlaceLabel(QWidget* parent, const QString& text, int x, int y) {
  auto* label = new QLabel(text, parent);
  label->move(x, y);
  label->adjustSize();
  return label;
}

void CentreOnScreen(QWidget& window) {
  const QScreen* screen = window.screen() != nullptr ? window.screen() : QGuiApplication::primaryScreen();
  if (screen == nullptr) {
    return;
  }
  QRect frame = window.frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  window.move(frame.topLeft());
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/windows/ChildWindows.h"

#include <QMdiArea>
#include <QMdiSubWindow>

#include <algorithm>

QString SetUpCaption(const QString& inputItem, const QString& setUpName, bool fileInput) {
  // The file's name first: a narrow title bar cuts the end of a caption.
  return QStringLiteral("Обработка сигнала - ") +
         (fileInput ? setUpName + QStringLiteral(" (") + inputItem + QLatin1Char(')') : setUpName);
}

QString DisplayCaption(const QString& own, const QString& setUpName) {
  return setUpName.isEmpty() ? own : own + QStringLiteral(" [") + setUpName + QLatin1Char(']');
}

void KeepInside(QMdiArea& area, QMdiSubWindow& window) {
  const QRect visible = area.viewport()->rect();
  QRect g = window.geometry();
  g.setWidth(std::max(std::min(g.width(), visible.width()), window.minimumWidth()));
  g.setHeight(std::max(std::min(g.height(), visible.height()), window.minimumHeight()));
  g.moveLeft(std::max(0, std::min(g.left(), visible.width() - g.width())));
  g.moveTop(std::max(0, std::min(g.top(), visible.height() - g.height())));
  if (g != window.geometry()) {
    window.setGeometry(g);
  }
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/dialogs/DialogLayout.h"

#include "ui/Fonts.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>
#include <QStyle>
#include <QWidget>

#include <algorithm>
#include <vector>

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
  // A window larger than the screen (a high scale factor) is made smaller first, its frame counted:
  // the one the window manager gave it, or before it has one, the style's title bar and borders.
  const QRect available = screen->availableGeometry();
  QSize decorations = window.frameGeometry().size() - window.size();
  if (decorations.isNull() && window.isWindow() && !window.windowFlags().testFlag(Qt::FramelessWindowHint)) {
    const int border = window.style()->pixelMetric(QStyle::PM_MdiSubWindowFrameWidth, nullptr, &window);
    decorations = QSize(2 * border, window.style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, &window) +
                                        2 * border);
  }
  const QSize room = available.size() - decorations;
  if (window.width() > room.width() || window.height() > room.height()) {
    window.resize(window.size().boundedTo(room));
  }
  QRect frame(window.pos(), window.size() + decorations);
  frame.moveCenter(available.center());
  frame.moveTopLeft(QPoint(std::max(frame.left(), available.left()), std::max(frame.top(), available.top())));
  window.move(frame.topLeft());
}

namespace {

class TKeyAction final : public QObject {
public:
  TKeyAction(QWidget& widget, std::initializer_list<int> keys, std::function<void()> action)
      : QObject(&widget), keys(keys), action(std::move(action)) {}

protected:
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (e->type() == QEvent::KeyPress) {
      const auto* key = static_cast<QKeyEvent*>(e);
      const int code = key->key() == Qt::Key_Enter ? Qt::Key_Return : key->key();
      if ((key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier &&
          std::find(keys.begin(), keys.end(), code) != keys.end()) {
        action();
        return true;
      }
    }
    return QObject::eventFilter(watched, e);
  }

private:
  const std::vector<int> keys;
  const std::function<void()> action;
};

} // namespace

void OnKeys(QWidget& widget, std::initializer_list<int> keys, std::function<void()> action) {
  widget.installEventFilter(new TKeyAction(widget, keys, std::move(action)));
}

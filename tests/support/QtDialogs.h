// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Driving real dialogs with the mouse as a user does: track bars touched and dragged by their
// handle, message boxes caught and answered from inside the exec that shows them, and modal dialogs
// acted on once they are up.
//
// Threads: the test thread (Qt's GUI thread) only.

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPointingDevice>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace sonotest {

// The style's view of a slider: its groove and handle, in the slider's coordinates.
struct TSliderGeometry {
  QRect Groove;
  QRect Handle;
  bool UpsideDown = false;
};

inline TSliderGeometry SliderGeometry(const QSlider& bar) {
  QStyleOptionSlider option;
  option.initFrom(&bar);
  option.orientation = bar.orientation();
  option.minimum = bar.minimum();
  option.maximum = bar.maximum();
  option.sliderPosition = bar.sliderPosition();
  option.sliderValue = bar.value();
  option.tickPosition = bar.tickPosition();
  option.tickInterval = bar.tickInterval();
  option.upsideDown =
      bar.orientation() == Qt::Horizontal ? bar.invertedAppearance() : !bar.invertedAppearance();
  option.subControls = QStyle::SC_SliderGroove | QStyle::SC_SliderHandle;
  TSliderGeometry g;
  g.Groove = bar.style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, &bar);
  g.Handle = bar.style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, &bar);
  g.UpsideDown = option.upsideDown;
  return g;
}

// Where the middle of the handle is when the bar stands at `value`, in the slider's coordinates.
inline QPoint HandlePointFor(const QSlider& bar, int value) {
  const TSliderGeometry g = SliderGeometry(bar);
  if (bar.orientation() == Qt::Horizontal) {
    const int span = g.Groove.width() - g.Handle.width();
    const int x = QStyle::sliderPositionFromValue(bar.minimum(), bar.maximum(), value, span, g.UpsideDown);
    return {g.Groove.x() + x + g.Handle.width() / 2, g.Handle.center().y()};
  }
  const int span = g.Groove.height() - g.Handle.height();
  const int y = QStyle::sliderPositionFromValue(bar.minimum(), bar.maximum(), value, span, g.UpsideDown);
  return {g.Handle.center().x(), g.Groove.y() + y + g.Handle.height() / 2};
}

inline void SendMouse(QWidget& widget, QEvent::Type type, QPoint at, Qt::MouseButton button,
                      Qt::MouseButtons buttons) {
  QMouseEvent event(type, QPointF(at), QPointF(widget.mapToGlobal(at)), button, buttons, Qt::NoModifier,
                    QPointingDevice::primaryPointingDevice());
  QApplication::sendEvent(&widget, &event);
}

// A press and a release on the handle, without moving it.
inline void TouchBar(QSlider& bar) {
  const QPoint at = HandlePointFor(bar, bar.value());
  SendMouse(bar, QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton);
  SendMouse(bar, QEvent::MouseButtonRelease, at, Qt::LeftButton, Qt::NoButton);
}

// Takes the handle and pulls it to `to` in `moves` mouse moves, events processed (and `pause`
// waited) after each, then lets go. The last move goes a little past the end of the groove when
// `to` is an end, so that the bar lands on the end whatever a pixel stands for.
inline void DragBar(QSlider& bar, int to, int moves,
                    std::chrono::milliseconds pause = std::chrono::milliseconds(0)) {
  const QPoint from = HandlePointFor(bar, bar.value());
  QPoint target = HandlePointFor(bar, to);
  if (to == bar.minimum() || to == bar.maximum()) {
    const QPoint step = target - from;
    const int beyond = 8;
    if (bar.orientation() == Qt::Horizontal) {
      target.rx() += step.x() > 0 ? beyond : -beyond;
    } else {
      target.ry() += step.y() > 0 ? beyond : -beyond;
    }
  }
  SendMouse(bar, QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
  for (int i = 1; i <= moves; ++i) {
    const QPoint at = from + (target - from) * i / moves;
    SendMouse(bar, QEvent::MouseMove, at, Qt::NoButton, Qt::LeftButton);
    QCoreApplication::processEvents();
    if (pause.count() > 0) {
      QTest::qWait(static_cast<int>(pause.count()));
    }
  }
  SendMouse(bar, QEvent::MouseButtonRelease, target, Qt::LeftButton, Qt::NoButton);
  QCoreApplication::processEvents();
}

// While it lives, answers "Да" to every question box whose text starts with `start` (the close's
// question while set-ups record), from inside its exec; counts them.
class TQuestionYes {
public:
  explicit TQuestionYes(QString start) : start(std::move(start)) {
    QObject::connect(&timer, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box != nullptr && box->isVisible() && box->text().startsWith(this->start)) {
        ++asked;
        box->button(QMessageBox::Yes)->click();
      }
    });
    timer.start(5);
  }
  TQuestionYes(const TQuestionYes&) = delete;
  TQuestionYes& operator=(const TQuestionYes&) = delete;

  int Asked() const { return asked; }

private:
  const QString start;
  QTimer timer;
  int asked = 0;
};

// A message box as it was shown.
struct TShownBox {
  QString Title;
  QString Text;
  QMessageBox::Icon Icon = QMessageBox::NoIcon;
};

// While it lives, answers every message box that comes up (with its default button) and keeps what
// it showed. It works from inside the exec of the box, so the code under test runs on unchanged.
class TBoxCatcher {
public:
  TBoxCatcher() {
    QObject::connect(&timer, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || !box->isVisible()) {
        return;
      }
      shown.push_back({box->windowTitle(), box->text(), box->icon()});
      box->done(QMessageBox::Ok);
    });
    timer.start(5);
  }
  TBoxCatcher(const TBoxCatcher&) = delete;
  TBoxCatcher& operator=(const TBoxCatcher&) = delete;

  const std::vector<TShownBox>& Shown() const { return shown; }
  void Clear() { shown.clear(); }

private:
  QTimer timer;
  std::vector<TShownBox> shown;
};

// Runs `action` once on the first visible modal widget of class T that comes up, from inside the
// exec that shows it. Keep the returned object until that exec has returned.
template <class T> std::unique_ptr<QTimer> WhenModal(std::function<void(T&)> action) {
  auto timer = std::make_unique<QTimer>();
  QTimer* raw = timer.get();
  QObject::connect(raw, &QTimer::timeout, [raw, action] {
    auto* widget = qobject_cast<T*>(QApplication::activeModalWidget());
    if (widget != nullptr && widget->isVisible()) {
      raw->stop();
      action(*widget);
    }
  });
  timer->start(5);
  return timer;
}

} // namespace sonotest

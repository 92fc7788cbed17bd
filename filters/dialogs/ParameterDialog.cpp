#include "filters/dialogs/ParameterDialog.h"

#include "dsp/Filter.h"
#include "filters/Transforms.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QRegularExpressionValidator>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QSlider>
#include <QTimer>
#include <QVariant>

#include <algorithm>
#include <cmath>
#include <mutex>

namespace {

// For a text that is not a whole number in the int range (pasted past the digits-only filter, or
// set by a program): %1 is the text.
constexpr const char* MsgNotAnInteger = "\"%1\" не является целым числом";

} // namespace

TParameterDialog::TParameterDialog(QWidget* parent) : QDialog(parent) {
  movementTimer = new QTimer(this);
  movementTimer->setSingleShot(true);
  movementTimer->setTimerType(Qt::PreciseTimer);
  connect(movementTimer, &QTimer::timeout, this, &TParameterDialog::ApplyMovedBars);
}

TParameterDialog::~TParameterDialog() = default;

void TParameterDialog::SetFilter(TFilter* newFilter) {
  if (newFilter != filter) {
    ApplyMovedBars();
  }
  filter = newFilter;
  LookUpParameters();
}

bool TParameterDialog::MovementWaiting() const {
  return movementTimer->isActive();
}

void TParameterDialog::done(int result) {
  ApplyMovedBars();
  if (errorBox != nullptr) {
    errorBox->reject();
  }
  QDialog::done(result);
}

void TParameterDialog::BarMoved() {
  if (filter == nullptr) {
    return;
  }
  if (movementTimer->isActive()) {
    return; // the waiting Apply takes this movement too
  }
  const auto now = std::chrono::steady_clock::now();
  const auto readyAt = lastApplyEnd + lastApplyCost;
  if (now >= readyAt) {
    ApplyMovedBars();
    return;
  }
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(readyAt - now);
  movementTimer->start(static_cast<int>(wait.count()));
}

void TParameterDialog::ApplyMovedBars() {
  movementTimer->stop();
  if (filter == nullptr) {
    WriteMovedBars(); // without a filter the movements go nowhere, and are forgotten
    return;
  }
  const std::lock_guard guard(filter->Lock());
  const auto start = std::chrono::steady_clock::now();
  if (WriteMovedBars()) {
    filter->Apply();
    lastApplyEnd = std::chrono::steady_clock::now();
    lastApplyCost = lastApplyEnd - start;
  }
}

void TParameterDialog::ShowError(const QString& text) {
  QMessageBox box(QMessageBox::Warning, QStringLiteral("Ошибка"), text, QMessageBox::Ok, this);
  errorBox = &box;
  box.exec();
  errorBox = nullptr;
}

std::optional<int> TParameterDialog::TypedInteger(const QLineEdit& edit, const char* emptyMessage) {
  if (edit.text().isEmpty()) {
    ShowError(QString::fromUtf8(emptyMessage));
    return std::nullopt;
  }
  bool converted = false;
  const int value = edit.text().toInt(&converted, 10);
  if (!converted) {
    ShowError(QString::fromUtf8(MsgNotAnInteger).arg(edit.text()));
    return std::nullopt;
  }
  return value;
}

void TParameterDialog::WriteAndApply(const std::function<void()>& write) {
  const std::lock_guard guard(filter->Lock());
  write();
  filter->Apply();
}

QLineEdit* TParameterDialog::NewNumberEdit(int maxDigits) {
  auto* edit = new QLineEdit(this);
  edit->setMaxLength(maxDigits);
  const QRegularExpression digits(QStringLiteral("[0-9]{0,%1}").arg(maxDigits));
  edit->setValidator(new QRegularExpressionValidator(digits, edit));
  // Room for the digits and a little more, not the width of the dialog.
  const int width = edit->fontMetrics().horizontalAdvance(QString(maxDigits + 2, QLatin1Char('0')));
  edit->setMaximumWidth(width + 12);
  edit->setMinimumWidth(width + 12);
  return edit;
}

QSlider* TParameterDialog::NewTrackBar(Qt::Orientation orientation, int minimum, int maximum,
                                       int tickInterval) {
  auto* bar = new QSlider(orientation, this);
  bar->setRange(minimum, maximum);
  bar->setTickInterval(tickInterval);
  bar->setPageStep(tickInterval);
  if (orientation == Qt::Vertical) {
    bar->setInvertedAppearance(true);
    bar->setInvertedControls(true);
    bar->setTickPosition(QSlider::TicksRight);
  } else {
    bar->setTickPosition(QSlider::TicksBelow);
  }
  return bar;
}

void TParameterDialog::OnBarChange(QSlider* bar, const std::function<void()>& change) {
  static constexpr const char* PressedAt = "sonolabPressedAt";
  connect(bar, &QSlider::valueChanged, this, change);
  connect(bar, &QSlider::sliderPressed, this, [bar] { bar->setProperty(PressedAt, bar->value()); });
  connect(bar, &QSlider::sliderReleased, this, [bar, change] {
    if (bar->property(PressedAt).toInt() == bar->value()) {
      change();
    }
  });
}

void TParameterDialog::SetPositionQuietly(QSlider& bar, int position) {
  const QSignalBlocker quiet(bar);
  bar.setValue(position);
}

int TParameterDialog::LevelPosition(double amplitude, int minimum, int maximum) {
  const double position = -RoundHalfUp(AmplitudeToDb(amplitude));
  if (std::isnan(position)) {
    return maximum;
  }
  // Clamped before the conversion: silence is -3.4e38 dB, far outside any int.
  return static_cast<int>(std::trunc(std::clamp(position, double(minimum), double(maximum))));
}

void TParameterDialog::showEvent(QShowEvent* event) {
  if (!event->spontaneous() && filter != nullptr) {
    LookUpParameters();
    ShowFilter();
  }
  QDialog::showEvent(event);
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/dialogs/ParameterDialog.h"

#include "dsp/Filter.h"
#include "filters/FilterCatalogue.h"
#include "filters/Transforms.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QSlider>
#include <QTimer>
#include <QVariant>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

QString CapitalisedChoice(const TParameterDescription& d, int i) {
  QString text = QString::fromUtf8(d.Choices[static_cast<size_t>(i)]);
  if (!text.isEmpty()) {
    text[0] = text[0].toUpper();
  }
  return text;
}

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
    opened.clear();
  }
  filter = newFilter;
  if (const TFilterDescriptor* type = filter != nullptr ? filter->Descriptor() : nullptr) {
    setWindowTitle(QString::fromUtf8(type->Caption));
  }
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
  if (result != QDialog::Accepted) {
    RestoreOpened();
  }
  opened.clear();
  QDialog::done(result);
}

std::vector<uint8_t> TParameterDialog::ParameterBytes() const {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < filter->ParameterCount(); ++i) {
    const TFilter::TParameter& p = filter->Parameter(i);
    const auto* storage = static_cast<const uint8_t*>(p.Storage);
    bytes.insert(bytes.end(), storage, storage + p.Size);
  }
  return bytes;
}

void TParameterDialog::RestoreOpened() {
  if (filter == nullptr || opened.empty()) {
    return;
  }
  const std::lock_guard guard(filter->Lock());
  if (ParameterBytes() == opened) {
    return; // nothing was changed, or it was changed back: no redesign
  }
  size_t at = 0;
  for (int i = 0; i < filter->ParameterCount(); ++i) {
    const TFilter::TParameter& p = filter->Parameter(i);
    std::memcpy(p.Storage, opened.data() + at, static_cast<size_t>(p.Size));
    at += static_cast<size_t>(p.Size);
  }
  filter->Apply();
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
  bool applied = false;
  {
    const std::lock_guard guard(filter->Lock());
    const auto start = std::chrono::steady_clock::now();
    if (WriteMovedBars()) {
      filter->Apply();
      lastApplyEnd = std::chrono::steady_clock::now();
      lastApplyCost = lastApplyEnd - start;
      applied = true;
    }
  }
  if (applied) {
    Applied();
  }
}

void TParameterDialog::ShowError(const QString& text) {
  QMessageBox box(QMessageBox::Warning, QStringLiteral("Ошибка"), text, QMessageBox::Ok, this);
  errorBox = &box;
  box.exec();
  errorBox = nullptr;
}

bool TParameterDialog::FilledIn(const QLineEdit& edit, const TParameterDescription& d) {
  if (!edit.text().trimmed().isEmpty()) {
    return true;
  }
  ShowError(d.EmptyMessage != nullptr ? QString::fromUtf8(d.EmptyMessage)
                                      : RangeMessage(d, d.Minimum, UpperBound(d, filter->SampleRate())));
  return false;
}

std::optional<double> TParameterDialog::TypedValue(const QLineEdit& edit, const TParameterDescription& d,
                                                   double minimum, double maximum) {
  const QString text = edit.text().trimmed();
  const TTypedNumber typed = ReadTypedNumber(d, text.toStdString());
  if (typed.Problem != TTypedProblem::None) {
    ShowError(QString::fromStdString(TypedProblemText(typed.Problem, text.toStdString())) + QLatin1Char(' ') +
              RangeMessage(d, minimum, maximum));
    return std::nullopt;
  }
  return typed.Value;
}

void TParameterDialog::BarFollows(QLineEdit* edit, const TParameterDescription& d,
                                  const std::function<std::pair<double, double>()>& bounds,
                                  const std::function<void(double)>& place) {
  connect(edit, &QLineEdit::textEdited, this, [&d, bounds, place](const QString& text) {
    const TTypedNumber typed = ReadTypedNumber(d, text.toStdString());
    const auto [minimum, maximum] = bounds();
    if (typed.Problem == TTypedProblem::None && typed.Value >= minimum && typed.Value <= maximum) {
      place(typed.Value);
    }
  });
}

bool TParameterDialog::InRange(double value, const TParameterDescription& d, double minimum, double maximum) {
  bool inside = value >= minimum && value <= maximum;
  if (inside && d.Set == TValueSet::PowerOfTwo) {
    const auto n = static_cast<int64_t>(value);
    inside = n > 0 && (n & (n - 1)) == 0;
  }
  if (!inside) {
    ShowError(RangeMessage(d, minimum, maximum));
  }
  return inside;
}

QString TParameterDialog::RangeMessage(const TParameterDescription& d, double minimum, double maximum) {
  return QString::fromUtf8(d.RangeMessage).arg(ValueText(d, minimum), ValueText(d, maximum));
}

QString TParameterDialog::ValueText(const TParameterDescription& d, double value) {
  if (d.Storage == TStorage::Int32) {
    return QString::number(static_cast<qint64>(value));
  }
  // The fewest of the description's decimals that show the value: 0,5 rather than 0,50; 20 not 20,0.
  QString text = QString::number(value, 'f', d.Decimals);
  if (text.contains(QLatin1Char('.'))) {
    while (text.endsWith(QLatin1Char('0'))) {
      text.chop(1);
    }
    if (text.endsWith(QLatin1Char('.'))) {
      text.chop(1);
    }
  }
  return text.replace(QLatin1Char('.'), QLatin1Char(','));
}

void TParameterDialog::WriteAndApply(const std::function<void()>& write) {
  {
    const std::lock_guard guard(filter->Lock());
    write();
    filter->Apply();
  }
  Applied();
}

QLineEdit* TParameterDialog::NewNumberEdit(int digits) {
  auto* edit = new QLineEdit(this);
  // Room for the digits and a little more, not the width of the dialog.
  const int width = edit->fontMetrics().horizontalAdvance(QString(digits + 2, QLatin1Char('0')));
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
    opened = ParameterBytes();
    ShowFilter();
  }
  QDialog::showEvent(event);
}

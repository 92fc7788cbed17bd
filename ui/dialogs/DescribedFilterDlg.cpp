// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/dialogs/DescribedFilterDlg.h"

#include "dsp/Filter.h"
#include "filters/FilterCatalogue.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>

namespace {

constexpr double E = 147.4131591025766; // e^5 - 1, the scale of the cut-off bars

constexpr const char* MsgSeparator = "Дробную часть можно отделять запятой или точкой";

// A bar that counts whole values one by one, position = value.
bool CountsValues(const TParameterDescription& d) {
  return d.Storage == TStorage::Int32 && d.Bar == TTrackScale::Linear && d.RateFraction == 0.0 &&
         d.Maximum - d.Minimum <= TDescribedFilterDlg::BarSteps;
}

double Rounded(const TParameterDescription& d, double value) {
  const double scale = std::pow(10.0, d.Decimals);
  return std::round(value * scale) / scale;
}

} // namespace

QString TDescribedFilterDlg::Caption(int32_t type) { // a catalogue type's
  const TFilterDescriptor* descriptor = FindFilterType(type);
  return descriptor != nullptr && descriptor->Dialog == TDialogKind::Described
             ? QString::fromUtf8(descriptor->Caption)
             : QString();
}

TDescribedFilterDlg::TDescribedFilterDlg(QWidget* parent) : TParameterDialog(parent) {
  OKBtn = new QPushButton(QStringLiteral("OK"), this);
  OKBtn->setDefault(true);
  CancelBtn = new QPushButton(QStringLiteral("Отмена"), this);
  ApplyBtn = new QPushButton(QStringLiteral("Применить"), this);
  LatencyLabel = new QLabel(this);
  LatencyLabel->hide();
  scroll = new QScrollArea(this);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  body = new QWidget;
  scroll->setWidget(body);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(OKBtn);
  buttons->addWidget(CancelBtn);
  buttons->addWidget(ApplyBtn);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(scroll);
  layout->addWidget(LatencyLabel);
  layout->addSpacing(8);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  connect(OKBtn, &QPushButton::clicked, this, &TDescribedFilterDlg::OKBtnClick);
  connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
  connect(ApplyBtn, &QPushButton::clicked, this, &TDescribedFilterDlg::ApplyTyped);
}

const TDescribedFilterDlg::TField* TDescribedFilterDlg::Field(const char* name) const {
  for (const TField& f : fields) {
    if (std::strcmp(f.Description->Name, name) == 0) {
      return &f;
    }
  }
  return nullptr;
}

void TDescribedFilterDlg::Build(const TFilterDescriptor* descriptor) {
  body = new QWidget;
  fields.clear();
  built = descriptor;
  builtType = descriptor != nullptr ? descriptor->Type : -1;
  builtPlugin = descriptor != nullptr && descriptor->Source != nullptr;

  auto* grid = new QGridLayout(body);
  grid->setContentsMargins(0, 0, 0, 0);
  grid->setColumnStretch(0, 1);
  int row = 0;
  const auto enableApply = [this] { ApplyBtn->setEnabled(true); };
  for (const TParameterDescription* d :
       descriptor != nullptr ? descriptor->Parameters : std::span<const TParameterDescription* const>()) {
    TField f;
    f.Description = d;
    f.Label = new QLabel(QString::fromUtf8(d->Caption), body);
    f.Label->setWordWrap(true);
    if (row > 0) {
      grid->setRowMinimumHeight(row++, 8);
    }
    if (d->Set == TValueSet::Choice) {
      grid->addWidget(f.Label, row++, 0, 1, 2);
      for (int i = 0; i < ChoiceCount(*d); ++i) {
        auto* button = new QRadioButton(CapitalisedChoice(*d, i), body);
        grid->addWidget(button, row++, 0, 1, 2);
        connect(button, &QRadioButton::clicked, this, enableApply);
        connect(button, &QRadioButton::toggled, this, [this] { ShowUse(); });
        f.Choices.push_back(button);
      }
    } else if (d->Set == TValueSet::PowerOfTwo) {
      f.List = new QListWidget(body);
      for (auto size = static_cast<int64_t>(d->Minimum); size <= d->Maximum; size *= 2) {
        f.List->addItem(QString::number(size));
      }
      f.List->setFixedSize(f.List->fontMetrics().horizontalAdvance(QStringLiteral("00000")) + 24,
                           f.List->sizeHintForRow(0) * f.List->count() + 2 * f.List->frameWidth());
      f.List->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
      f.Label->setBuddy(f.List);
      grid->addWidget(f.Label, row, 0, Qt::AlignTop);
      grid->addWidget(f.List, row++, 1, Qt::AlignRight);
      connect(f.List, &QListWidget::currentRowChanged, this, enableApply);
      connect(f.List, &QListWidget::clicked, this, enableApply);
    } else {
      // Room for the widest bound, and for a value with all its decimals.
      const QString widest = ValueText(*d, d->RateFraction > 0.0 ? 500000.0 : d->Maximum);
      const QString fine = ValueText(*d, d->Minimum + 7.0 * std::pow(10.0, -d->Decimals));
      f.Edit = NewNumberEdit(
          std::max<int>({static_cast<int>(widest.size()), static_cast<int>(ValueText(*d, d->Minimum).size()),
                         d->Decimals > 0 ? static_cast<int>(fine.size()) : 0}));
      if (d->Storage == TStorage::Double) {
        f.Edit->setToolTip(QString::fromUtf8(MsgSeparator));
      }
      f.Label->setBuddy(f.Edit);
      grid->addWidget(f.Label, row, 0);
      grid->addWidget(f.Edit, row++, 1, Qt::AlignRight);
      connect(f.Edit, &QLineEdit::textChanged, this, enableApply);
      if (d->Bar != TTrackScale::None) {
        const bool counts = CountsValues(*d);
        const int lo = counts ? static_cast<int>(d->Minimum) : 0;
        const int hi = counts ? static_cast<int>(d->Maximum) : BarSteps;
        f.Bar = NewTrackBar(Qt::Horizontal, lo, hi, std::max(1, (hi - lo) / 20));
        f.Bar->setMinimumWidth(320);
        grid->addWidget(f.Bar, row++, 0, 1, 2);
      }
    }
    fields.push_back(f);
  }
  for (size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].Bar != nullptr) {
      OnBarChange(fields[i].Bar, [this, i] { BarChange(i); });
      BarFollows(
          fields[i].Edit, *fields[i].Description,
          [this, i] {
            return std::pair{Lowest(i), Highest(i)};
          },
          [this, i](double value) { SetPositionQuietly(*fields[i].Bar, BarPosition(fields[i], value)); });
    }
  }
  scroll->setWidget(body); // the controls built before go with the old widget
  const QSize size = body->sizeHint();
  const bool scrolls = size.height() > MaxBodyHeight;
  scroll->setFixedSize(size.width() + (scrolls ? scroll->verticalScrollBar()->sizeHint().width() : 0),
                       std::min(size.height(), MaxBodyHeight));
}

void TDescribedFilterDlg::LookUpParameters() {
  if (filter != nullptr && (filter->Descriptor() != built || builtPlugin)) {
    Build(filter->Descriptor());
  }
  for (size_t i = 0; i < fields.size(); ++i) {
    const bool same = filter != nullptr && static_cast<int>(i) < filter->ParameterCount() &&
                      filter->Parameter(static_cast<int>(i)).Description == fields[i].Description;
    fields[i].Storage = same ? filter->Parameter(static_cast<int>(i)).Storage : nullptr;
  }
}

double TDescribedFilterDlg::BarValue(const TField& f, int position) const {
  const TParameterDescription& d = *f.Description;
  if (CountsValues(d)) {
    return position;
  }
  const double lo = d.Minimum;
  const double hi = UpperBound(d, filter->SampleRate());
  const double share = static_cast<double>(position) / BarSteps;
  const double v = d.Bar == TTrackScale::Logarithmic ? lo + (hi - lo) * (std::exp(5.0 * share) - 1.0) / E
                                                     : lo + (hi - lo) * share;
  return std::clamp(Rounded(d, v), lo, hi);
}

int TDescribedFilterDlg::BarPosition(const TField& f, double value) const {
  const TParameterDescription& d = *f.Description;
  if (CountsValues(d)) {
    return static_cast<int>(value);
  }
  const double lo = d.Minimum;
  const double hi = UpperBound(d, filter->SampleRate());
  const double share = hi > lo ? (value - lo) / (hi - lo) : 0.0;
  const double position =
      d.Bar == TTrackScale::Logarithmic ? std::log(1.0 + E * std::max(share, 0.0)) / 5.0 : share;
  return static_cast<int>(std::clamp(std::round(position * BarSteps), 0.0, double(BarSteps)));
}

double TDescribedFilterDlg::Lowest(size_t field) const {
  const TParameterDescription& d = *fields[field].Description;
  double lowest = d.Minimum;
  for (const TField& other : fields) {
    if (d.AtLeast != nullptr && other.Storage != nullptr &&
        std::strcmp(other.Description->Name, d.AtLeast) == 0) {
      lowest = std::max(lowest, ValueAt(*other.Description, other.Storage));
    }
  }
  return lowest;
}

double TDescribedFilterDlg::Highest(size_t field) const {
  const TParameterDescription& d = *fields[field].Description;
  double highest = UpperBound(d, filter->SampleRate());
  for (const TField& other : fields) {
    const char* bound = other.Description->AtLeast;
    if (bound != nullptr && other.Storage != nullptr && std::strcmp(bound, d.Name) == 0) {
      highest = std::min(highest, ValueAt(*other.Description, other.Storage));
    }
  }
  return highest;
}

void TDescribedFilterDlg::ShowFilter() {
  for (TField& f : fields) {
    if (f.Storage == nullptr) {
      return;
    }
  }
  for (TField& f : fields) {
    const TParameterDescription& d = *f.Description;
    const double value = ValueAt(d, f.Storage);
    f.Moved = false;
    if (f.Edit != nullptr) {
      f.Shown = ValueText(d, value);
      f.Edit->setText(f.Shown);
    }
    if (f.Bar != nullptr) {
      SetPositionQuietly(*f.Bar, BarPosition(f, value));
    }
    if (!f.Choices.empty()) {
      f.Choices[static_cast<size_t>(ChoiceOf(d, value))]->setChecked(true);
    }
    if (f.List != nullptr) {
      int row = 0;
      while (row < f.List->count() - 1 && f.List->item(row)->text().toDouble() < value) {
        ++row;
      }
      f.List->setCurrentRow(row);
    }
  }
  ShowLatency();
  ShowUse();
  ApplyBtn->setEnabled(false);
}

void TDescribedFilterDlg::ShowLatency() {
  const std::optional<int32_t> latency = filter != nullptr ? filter->ReportedLatency() : std::nullopt;
  LatencyLabel->setVisible(latency.has_value());
  if (latency) {
    LatencyLabel->setText(QStringLiteral("Задержка модуля: %1 отсчётов (%2 мс)")
                              .arg(*latency)
                              .arg(QString::number(1000.0 * *latency / filter->SampleRate(), 'f', 1)
                                       .replace(QLatin1Char('.'), QLatin1Char(','))));
  }
}

void TDescribedFilterDlg::Applied() {
  ShowLatency();
}

void TDescribedFilterDlg::ShowUse() {
  for (const TField& f : fields) {
    const TParameterDescription& d = *f.Description;
    const TField* choice = d.UsedWhen != nullptr ? Field(d.UsedWhen) : nullptr;
    if (choice == nullptr || choice->Choices.empty()) {
      continue;
    }
    bool used = false;
    for (size_t i = 0; i < choice->Choices.size(); ++i) {
      const double value = ChoiceValue(*choice->Description, static_cast<int>(i));
      used = used ||
             (choice->Choices[i]->isChecked() &&
              std::find(d.UsedWhenValues.begin(), d.UsedWhenValues.end(), value) != d.UsedWhenValues.end());
    }
    for (QWidget* control : std::initializer_list<QWidget*>{f.Label, f.Edit, f.Bar, f.List}) {
      if (control != nullptr) {
        control->setEnabled(used);
      }
    }
  }
}

void TDescribedFilterDlg::BarChange(size_t field) {
  TField& f = fields[field];
  if (filter == nullptr || f.Storage == nullptr) {
    return;
  }
  const double value = BarValue(f, f.Bar->value());
  const double held = std::clamp(value, Lowest(field), std::max(Lowest(field), Highest(field)));
  if (held != value) {
    SetPositionQuietly(*f.Bar, BarPosition(f, held)); // it stops at the other parameter's value
  }
  f.Edit->setText(ValueText(*f.Description, held));
  f.Moved = true;
  BarMoved();
}

bool TDescribedFilterDlg::WriteMovedBars() {
  bool changed = false;
  for (size_t i = 0; i < fields.size(); ++i) {
    TField& f = fields[i];
    if (!f.Moved) {
      continue;
    }
    f.Moved = false;
    if (f.Storage == nullptr || filter == nullptr) {
      continue;
    }
    const double value = std::clamp(BarValue(f, f.Bar->value()), Lowest(i), std::max(Lowest(i), Highest(i)));
    if (ValueAt(*f.Description, f.Storage) != value) {
      SetValueAt(*f.Description, f.Storage, value);
      changed = true;
    }
  }
  return changed;
}

bool TDescribedFilterDlg::ApplyTyped() {
  if (filter == nullptr || fields.empty() || fields.front().Storage == nullptr) {
    return false;
  }
  ApplyMovedBars();
  const int32_t fs = filter->SampleRate();
  for (const TField& f : fields) {
    if (f.Edit != nullptr && !FilledIn(*f.Edit, *f.Description)) {
      return false;
    }
  }
  // Each field's number: what it showed stays the value it showed (a text rounded for showing does
  // not round the parameter), anything else is read as typed.
  std::vector<double> typed(fields.size(), 0.0);
  for (size_t i = 0; i < fields.size(); ++i) {
    const TField& f = fields[i];
    if (f.Edit == nullptr) {
      continue;
    }
    const TParameterDescription& d = *f.Description;
    if (f.Edit->text() == f.Shown) {
      typed[i] = ValueAt(d, f.Storage);
      continue;
    }
    const std::optional<double> value = TypedValue(*f.Edit, d, d.Minimum, UpperBound(d, fs));
    if (!value) {
      return false;
    }
    typed[i] = *value;
  }
  for (size_t i = 0; i < fields.size(); ++i) {
    const TParameterDescription& d = *fields[i].Description;
    if (fields[i].Edit == nullptr) {
      continue;
    }
    double lowest = d.Minimum;
    for (size_t j = 0; j < fields.size(); ++j) {
      if (d.AtLeast != nullptr && std::strcmp(fields[j].Description->Name, d.AtLeast) == 0) {
        lowest = std::max(lowest, typed[j]);
      }
    }
    if (!InRange(typed[i], d, lowest, UpperBound(d, fs))) {
      return false;
    }
  }
  WriteAndApply([&] {
    for (size_t i = 0; i < fields.size(); ++i) {
      const TField& f = fields[i];
      if (f.Edit != nullptr) {
        SetValueAt(*f.Description, f.Storage, typed[i]);
      }
      for (size_t c = 0; c < f.Choices.size(); ++c) {
        if (f.Choices[c]->isChecked()) {
          SetValueAt(*f.Description, f.Storage, ChoiceValue(*f.Description, static_cast<int>(c)));
        }
      }
      if (f.List != nullptr && f.List->currentItem() != nullptr) {
        SetValueAt(*f.Description, f.Storage, f.List->currentItem()->text().toDouble());
      }
    }
  });
  for (size_t i = 0; i < fields.size(); ++i) {
    TField& f = fields[i];
    if (f.Edit != nullptr) {
      f.Shown = f.Edit->text();
    }
    if (f.Bar != nullptr) {
      SetPositionQuietly(*f.Bar, BarPosition(f, typed[i])); // the bars show what was applied
    }
  }
  ApplyBtn->setEnabled(false);
  return true;
}

void TDescribedFilterDlg::OKBtnClick() {
  if (ApplyTyped()) {
    accept();
  }
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/dialogs/EchoDlg.h"

#include "dsp/Filter.h"
#include "filters/Echo.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>

TEchoDlg::TEchoDlg(QWidget* parent)
    : TParameterDialog(parent), delayDescription(EchoDelayDescription),
      decayDescription(EchoDecayTimeDescription) {
  DecayTrackBar = NewTrackBar(Qt::Horizontal, static_cast<int>(decayDescription.Minimum),
                              static_cast<int>(decayDescription.Maximum), 200);
  Label1 = new QLabel(QString::fromUtf8(decayDescription.Caption), this);
  DecayEdit = NewNumberEdit(5);
  Label1->setBuddy(DecayEdit);
  DelayTrackBar = NewTrackBar(Qt::Horizontal, static_cast<int>(delayDescription.Minimum),
                              static_cast<int>(delayDescription.Maximum), 20);
  Label2 = new QLabel(QString::fromUtf8(delayDescription.Caption), this);
  Label2->setWordWrap(true);
  DelayEdit = NewNumberEdit(4);
  Label2->setBuddy(DelayEdit);
  OKBtn = new QPushButton(QStringLiteral("OK"), this);
  OKBtn->setDefault(true);
  CancelBtn = new QPushButton(QStringLiteral("Отмена"), this);
  ApplyBtn = new QPushButton(QStringLiteral("Применить"), this);
  DecayTrackBar->setMinimumWidth(320);
  DelayTrackBar->setMinimumWidth(320);

  // Each value: its label and edit on one line, its bar under them.
  auto* grid = new QGridLayout;
  grid->addWidget(Label1, 0, 0);
  grid->addWidget(DecayEdit, 0, 1, Qt::AlignRight);
  grid->addWidget(DecayTrackBar, 1, 0, 1, 2);
  grid->setRowMinimumHeight(2, 8);
  grid->addWidget(Label2, 3, 0);
  grid->addWidget(DelayEdit, 3, 1, Qt::AlignRight);
  grid->addWidget(DelayTrackBar, 4, 0, 1, 2);
  grid->setColumnStretch(0, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(OKBtn);
  buttons->addWidget(CancelBtn);
  buttons->addWidget(ApplyBtn);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addSpacing(8);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  const auto enableApply = [this] { ApplyBtn->setEnabled(true); };
  connect(DelayEdit, &QLineEdit::textChanged, this, enableApply);
  connect(DecayEdit, &QLineEdit::textChanged, this, enableApply);
  OnBarChange(DelayTrackBar, [this] { DelayTrackBarChange(); });
  OnBarChange(DecayTrackBar, [this] { DecayTrackBarChange(); });
  for (const auto& [edit, bar, d] : {std::tuple{DelayEdit, DelayTrackBar, &delayDescription},
                                     std::tuple{DecayEdit, DecayTrackBar, &decayDescription}}) {
    BarFollows(
        edit, *d,
        [d] {
          return std::pair{d->Minimum, d->Maximum};
        },
        [bar](double value) { SetPositionQuietly(*bar, static_cast<int>(value)); });
  }
  connect(OKBtn, &QPushButton::clicked, this, &TEchoDlg::OKBtnClick);
  connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
  connect(ApplyBtn, &QPushButton::clicked, this, &TEchoDlg::ApplyTyped);
}

void TEchoDlg::LookUpParameters() {
  delay = decayTime = nullptr;
  if (filter != nullptr) {
    delay = static_cast<int32_t*>(filter->FindParameter("Delay"));
    decayTime = static_cast<int32_t*>(filter->FindParameter("DecayTime"));
  }
}

void TEchoDlg::ShowFilter() {
  if (delay == nullptr || decayTime == nullptr) {
    return;
  }
  DelayEdit->setText(QString::number(*delay));
  DecayEdit->setText(QString::number(*decayTime));
  SetPositionQuietly(*DelayTrackBar, *delay);
  SetPositionQuietly(*DecayTrackBar, *decayTime);
  ApplyBtn->setEnabled(false);
}

void TEchoDlg::DelayTrackBarChange() {
  DelayEdit->setText(QString::number(DelayTrackBar->value()));
  delayMoved = true;
  BarMoved();
}

void TEchoDlg::DecayTrackBarChange() {
  DecayEdit->setText(QString::number(DecayTrackBar->value()));
  decayMoved = true;
  BarMoved();
}

bool TEchoDlg::WriteMovedBars() {
  const bool delayChanged = delayMoved && delay != nullptr;
  const bool decayChanged = decayMoved && decayTime != nullptr;
  delayMoved = decayMoved = false;
  if (delayChanged) {
    *delay = DelayTrackBar->value();
  }
  if (decayChanged) {
    *decayTime = DecayTrackBar->value();
  }
  return delayChanged || decayChanged;
}

bool TEchoDlg::ApplyTyped() {
  if (delay == nullptr || decayTime == nullptr) {
    return false;
  }
  ApplyMovedBars();
  const TParameterDescription& de = delayDescription;
  const TParameterDescription& dc = decayDescription;
  if (!FilledIn(*DelayEdit, de) || !FilledIn(*DecayEdit, dc)) {
    return false;
  }
  const std::optional<double> delayMs = TypedValue(*DelayEdit, de, de.Minimum, de.Maximum);
  if (!delayMs) {
    return false;
  }
  const std::optional<double> decayMs = TypedValue(*DecayEdit, dc, dc.Minimum, dc.Maximum);
  if (!decayMs || !InRange(*delayMs, de, de.Minimum, de.Maximum) ||
      !InRange(*decayMs, dc, dc.Minimum, dc.Maximum)) {
    return false;
  }
  WriteAndApply([&] {
    *delay = static_cast<int32_t>(*delayMs);
    *decayTime = static_cast<int32_t>(*decayMs);
  });
  ApplyBtn->setEnabled(false);
  return true;
}

void TEchoDlg::OKBtnClick() {
  if (ApplyTyped()) {
    accept();
  }
}

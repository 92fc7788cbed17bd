// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/dialogs/LHPassFilterDlg.h"

#include "dsp/Filter.h"
#include "filters/LowPassFilter.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

constexpr double E = 147.4131591025766; // e^5 - 1
constexpr int MaxFreqDigits = 5;

} // namespace

int TLHPassFilterDlg::PositionFromFrequency(int32_t fc, int32_t fs) {
  const double ratio = std::max(0.0, E * 2.0 * fc / fs);
  return static_cast<int>(std::clamp(std::trunc(20.0 * std::log(1.0 + ratio)), 0.0, 100.0));
}

int32_t TLHPassFilterDlg::FrequencyFromPosition(int position, int32_t fs) {
  return static_cast<int32_t>(std::trunc(fs * 0.5 * (std::exp(0.05 * position) - 1.0) / E));
}

TLHPassFilterDlg::TLHPassFilterDlg(QWidget* parent)
    : TParameterDialog(parent), cutoffDescription(LowPassCutoffDescription),
      windowDescription(WindowTypeDescription), sizeDescription(KernelSizeDescription) {
  FreqTrackBar = NewTrackBar(Qt::Horizontal, 0, 100, 5);
  FreqTrackBar->setTickPosition(QSlider::TicksBothSides);
  FreqTrackBar->setMinimumWidth(300);
  Label1 = new QLabel(QString::fromUtf8(cutoffDescription.Caption), this);
  FreqEdit = NewNumberEdit(MaxFreqDigits);
  Label1->setBuddy(FreqEdit);
  IsHammingBtn = new QRadioButton(CapitalisedChoice(windowDescription, 0), this);
  IsBlackmanBtn = new QRadioButton(CapitalisedChoice(windowDescription, 1), this);
  IsHammingBtn->setChecked(true);
  Label2 = new QLabel(QString::fromUtf8(sizeDescription.Caption), this);
  KernelSizeList = new QListWidget(this);
  for (auto size = static_cast<int32_t>(sizeDescription.Minimum); size <= sizeDescription.Maximum;
       size *= 2) {
    KernelSizeList->addItem(QString::number(size));
  }
  const int KernelSizeCount = KernelSizeList->count();
  Label2->setBuddy(KernelSizeList);
  // All eight sizes in view, no wider than the numbers.
  KernelSizeList->setFixedSize(KernelSizeList->fontMetrics().horizontalAdvance(QStringLiteral("00000")) + 24,
                               KernelSizeList->sizeHintForRow(0) * KernelSizeCount +
                                   2 * KernelSizeList->frameWidth());
  KernelSizeList->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  OKBtn = new QPushButton(QStringLiteral("OK"), this);
  OKBtn->setDefault(true);
  CancelBtn = new QPushButton(QStringLiteral("Отмена"), this);
  ApplyBtn = new QPushButton(QStringLiteral("Применить"), this);

  auto* frequency = new QHBoxLayout;
  frequency->addWidget(Label1);
  frequency->addWidget(FreqEdit);
  frequency->addStretch();
  auto* windows = new QVBoxLayout;
  windows->addWidget(IsHammingBtn);
  windows->addWidget(IsBlackmanBtn);
  windows->addStretch();
  auto* kernel = new QVBoxLayout;
  kernel->addWidget(Label2);
  kernel->addWidget(KernelSizeList);
  auto* options = new QHBoxLayout;
  options->addLayout(windows);
  options->addStretch();
  options->addLayout(kernel);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(OKBtn);
  buttons->addWidget(CancelBtn);
  buttons->addWidget(ApplyBtn);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(frequency);
  layout->addWidget(FreqTrackBar);
  layout->addSpacing(8);
  layout->addLayout(options);
  layout->addSpacing(8);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  const auto enableApply = [this] { ApplyBtn->setEnabled(true); };
  connect(FreqEdit, &QLineEdit::textChanged, this, enableApply);
  connect(IsHammingBtn, &QRadioButton::clicked, this, enableApply);
  connect(IsBlackmanBtn, &QRadioButton::clicked, this, enableApply);
  connect(KernelSizeList, &QListWidget::currentRowChanged, this, enableApply);
  connect(KernelSizeList, &QListWidget::clicked, this, enableApply);
  OnBarChange(FreqTrackBar, [this] { FreqTrackBarChange(); });
  BarFollows(
      FreqEdit, cutoffDescription,
      [this] {
        return filter != nullptr
                   ? std::pair{cutoffDescription.Minimum, UpperBound(cutoffDescription, filter->SampleRate())}
                   : std::pair{0.0, -1.0};
      },
      [this](double value) {
        SetPositionQuietly(*FreqTrackBar,
                           PositionFromFrequency(static_cast<int32_t>(value), filter->SampleRate()));
      });
  connect(OKBtn, &QPushButton::clicked, this, &TLHPassFilterDlg::OKBtnClick);
  connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
  connect(ApplyBtn, &QPushButton::clicked, this, &TLHPassFilterDlg::ApplyTyped);
}

void TLHPassFilterDlg::LookUpParameters() {
  fc = windowType = kernelSize = nullptr;
  if (filter != nullptr) {
    fc = static_cast<int32_t*>(filter->FindParameter("fc"));
    windowType = static_cast<int32_t*>(filter->FindParameter("WindowType"));
    kernelSize = static_cast<int32_t*>(filter->FindParameter("KernelSize"));
  }
}

void TLHPassFilterDlg::ShowFilter() {
  if (fc == nullptr || windowType == nullptr || kernelSize == nullptr) {
    return;
  }
  (*windowType == 0 ? IsHammingBtn : IsBlackmanBtn)->setChecked(true);
  SetPositionQuietly(*FreqTrackBar, PositionFromFrequency(*fc, filter->SampleRate()));
  FreqEdit->setText(QString::number(*fc));
  // The smallest offered size not below the filter's.
  int row = 0;
  while (row < KernelSizeList->count() - 1 && KernelSizeList->item(row)->text().toInt() < *kernelSize) {
    ++row;
  }
  KernelSizeList->setCurrentRow(row);
  ApplyBtn->setEnabled(false);
}

void TLHPassFilterDlg::FreqTrackBarChange() {
  if (filter == nullptr) {
    return;
  }
  FreqEdit->setText(QString::number(FrequencyFromPosition(FreqTrackBar->value(), filter->SampleRate())));
  freqMoved = true;
  BarMoved();
}

bool TLHPassFilterDlg::WriteMovedBars() {
  const bool moved = freqMoved;
  freqMoved = false;
  if (!moved || fc == nullptr) {
    return false;
  }
  *fc = FrequencyFromPosition(FreqTrackBar->value(), filter->SampleRate());
  return true;
}

bool TLHPassFilterDlg::ApplyTyped() {
  if (filter == nullptr || fc == nullptr || windowType == nullptr || kernelSize == nullptr) {
    return false;
  }
  ApplyMovedBars();
  const double lowest = cutoffDescription.Minimum;
  const double highest = UpperBound(cutoffDescription, filter->SampleRate());
  if (!FilledIn(*FreqEdit, cutoffDescription)) {
    return false;
  }
  const std::optional<double> value = TypedValue(*FreqEdit, cutoffDescription, lowest, highest);
  if (!value || !InRange(*value, cutoffDescription, lowest, highest)) {
    return false;
  }
  const int row = std::clamp(KernelSizeList->currentRow(), 0, KernelSizeList->count() - 1);
  WriteAndApply([&] {
    *windowType = IsHammingBtn->isChecked() ? 0 : 1;
    *fc = static_cast<int32_t>(*value);
    *kernelSize = KernelSizeList->item(row)->text().toInt();
  });
  ApplyBtn->setEnabled(false);
  return true;
}

void TLHPassFilterDlg::OKBtnClick() {
  if (ApplyTyped()) {
    accept();
  }
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/dialogs/ReverbDlg.h"

#include "dsp/Filter.h"
#include "filters/Reverberation.h"
#include "filters/Transforms.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>

namespace {

constexpr int MaxLevelPosition = 80; // -80 dB

QString LevelText(int position) {
  return QString::number(-position) + QStringLiteral(" дБ");
}

} // namespace

TUpDown::TUpDown(QWidget* parent) : QSpinBox(parent) {}

TReverbDlg::TReverbDlg(QWidget* parent)
    : TParameterDialog(parent), timeDescription(ReverbTimeDescription),
      linesDescription(DelayLinesDescription) {
  Label1 = new QLabel(QString::fromUtf8(DryLevelDescription.Caption), this);
  Label2 = new QLabel(QString::fromUtf8(EarlyLevelDescription.Caption), this);
  Label3 = new QLabel(QString::fromUtf8(ReverbLevelDescription.Caption), this);
  const int MinTimeMs = static_cast<int>(timeDescription.Minimum);
  const int MaxTimeMs = static_cast<int>(timeDescription.Maximum);
  const int MinLines = static_cast<int>(linesDescription.Minimum);
  const int MaxLines = static_cast<int>(linesDescription.Maximum);
  TrackBar1 = NewTrackBar(Qt::Vertical, 0, MaxLevelPosition, 2);
  TrackBar2 = NewTrackBar(Qt::Vertical, 0, MaxLevelPosition, 2);
  TrackBar3 = NewTrackBar(Qt::Vertical, 0, MaxLevelPosition, 2);
  Level1 = new QLabel(LevelText(0), this);
  Level2 = new QLabel(LevelText(0), this);
  Level3 = new QLabel(LevelText(0), this);
  TrackBar4 = NewTrackBar(Qt::Vertical, MinTimeMs, MaxTimeMs, 200);
  // As its neighbours run: more at the top, the heading above and the value below.
  TrackBar4->setInvertedAppearance(false);
  TrackBar4->setInvertedControls(false);
  TimeHeading = new QLabel(QStringLiteral("Время"), this);
  TimeValue = new QLabel(this);
  ReverbTimeLabel = new QLabel(QString::fromUtf8(timeDescription.Caption), this);
  ReverbTimeEdit = NewNumberEdit(5);
  ReverbTimeLabel->setBuddy(ReverbTimeEdit);
  DelayLinesLabel = new QLabel(QString::fromUtf8(linesDescription.Caption), this);
  UpDown1 = new TUpDown(this);
  UpDown1->setRange(MinLines, MaxLines);
  UpDown1->setWrapping(false);
  UpDown1->setValue(MinLines);
  DelayLinesEdit = UpDown1->Edit();
  DelayLinesEdit->setReadOnly(true);
  DelayLinesEdit->setMaxLength(2);
  DelayLinesLabel->setBuddy(UpDown1);
  UpDown1->setFixedWidth(UpDown1->sizeHint().width());
  OKBtn = new QPushButton(QStringLiteral("OK"), this);
  OKBtn->setDefault(true);
  CancelBtn = new QPushButton(QStringLiteral("Отмена"), this);
  ApplyBtn = new QPushButton(QStringLiteral("Применить"), this);

  levelBars = {TrackBar1, TrackBar2, TrackBar3};
  levelLabels = {Level1, Level2, Level3};

  // The three level bars side by side, each under its heading and over its level; then the time bar.
  auto* grid = new QGridLayout;
  const std::array<QLabel*, LevelCount> headings = {Label1, Label2, Label3};
  for (int i = 0; i < LevelCount; ++i) {
    headings[i]->setWordWrap(true);
    headings[i]->setAlignment(Qt::AlignHCenter | Qt::AlignBottom);
    headings[i]->setFixedWidth(110);
    levelBars[i]->setMinimumHeight(200);
    levelLabels[i]->setAlignment(Qt::AlignHCenter);
    grid->addWidget(headings[i], 0, i);
    grid->addWidget(levelBars[i], 1, i, Qt::AlignHCenter);
    grid->addWidget(levelLabels[i], 2, i);
  }
  grid->setColumnMinimumWidth(LevelCount, 16);
  grid->addWidget(TimeHeading, 0, LevelCount + 1, Qt::AlignHCenter | Qt::AlignBottom);
  grid->addWidget(TrackBar4, 1, LevelCount + 1, Qt::AlignHCenter);
  grid->addWidget(TimeValue, 2, LevelCount + 1, Qt::AlignHCenter);
  auto* time = new QVBoxLayout;
  time->addWidget(ReverbTimeLabel);
  time->addWidget(ReverbTimeEdit);
  time->addSpacing(16);
  time->addWidget(DelayLinesLabel);
  time->addWidget(UpDown1);
  time->addStretch();
  grid->addLayout(time, 1, LevelCount + 2);
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
  connect(ReverbTimeEdit, &QLineEdit::textChanged, this, enableApply);
  connect(UpDown1, &QSpinBox::valueChanged, this, enableApply);
  for (int i = 0; i < LevelCount; ++i) {
    OnBarChange(levelBars[i], [this, i] { LevelBarChange(i); });
  }
  OnBarChange(TrackBar4, [this] { TrackBar4Change(); });
  BarFollows(
      ReverbTimeEdit, timeDescription,
      [this] {
        return std::pair{timeDescription.Minimum, timeDescription.Maximum};
      },
      [this](double value) {
        SetPositionQuietly(*TrackBar4, static_cast<int>(value));
        ShowTime();
      });
  connect(OKBtn, &QPushButton::clicked, this, &TReverbDlg::OKBtnClick);
  connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
  connect(ApplyBtn, &QPushButton::clicked, this, &TReverbDlg::ApplyTyped);
}

void TReverbDlg::LookUpParameters() {
  levels = {};
  reverbTime = delayLines = nullptr;
  if (filter != nullptr) {
    levels = {static_cast<double*>(filter->FindParameter("DryLevel")),
              static_cast<double*>(filter->FindParameter("EarlyLevel")),
              static_cast<double*>(filter->FindParameter("ReverbLevel"))};
    reverbTime = static_cast<int32_t*>(filter->FindParameter("ReverbTime"));
    delayLines = static_cast<int32_t*>(filter->FindParameter("DelayLines"));
  }
}

void TReverbDlg::ShowFilter() {
  if (levels[0] == nullptr || levels[1] == nullptr || levels[2] == nullptr || reverbTime == nullptr ||
      delayLines == nullptr) {
    return;
  }
  ReverbTimeEdit->setText(QString::number(*reverbTime));
  // Quietly: a level between two whole decibels stays as it is until a bar moves or Apply.
  for (int i = 0; i < LevelCount; ++i) {
    SetPositionQuietly(*levelBars[i], LevelPosition(*levels[i], 0, MaxLevelPosition));
    levelLabels[i]->setText(LevelText(levelBars[i]->value()));
  }
  SetPositionQuietly(*TrackBar4, *reverbTime);
  ShowTime();
  UpDown1->setValue(*delayLines);
  ApplyBtn->setEnabled(false);
}

void TReverbDlg::LevelBarChange(int level) {
  levelLabels[level]->setText(LevelText(levelBars[level]->value()));
  levelMoved[level] = true;
  BarMoved();
}

void TReverbDlg::ShowTime() {
  TimeValue->setText(QStringLiteral("%1 мс").arg(TrackBar4->value()));
}

void TReverbDlg::TrackBar4Change() {
  ShowTime();
  if (reverbTime == nullptr || (!timeMoved && *reverbTime == TrackBar4->value())) {
    return;
  }
  ReverbTimeEdit->setText(QString::number(TrackBar4->value()));
  timeMoved = true;
  BarMoved();
}

bool TReverbDlg::WriteMovedBars() {
  bool changed = false;
  for (int i = 0; i < LevelCount; ++i) {
    if (levelMoved[i] && levels[i] != nullptr) {
      const double level = DbToAmplitude(-levelBars[i]->value());
      if (*levels[i] != level) {
        *levels[i] = level;
        changed = true;
      }
    }
    levelMoved[i] = false;
  }
  if (timeMoved && reverbTime != nullptr && *reverbTime != TrackBar4->value()) {
    *reverbTime = TrackBar4->value();
    changed = true;
  }
  timeMoved = false;
  return changed;
}

bool TReverbDlg::ApplyTyped() {
  if (levels[0] == nullptr || levels[1] == nullptr || levels[2] == nullptr || reverbTime == nullptr ||
      delayLines == nullptr) {
    return false;
  }
  ApplyMovedBars();
  const TParameterDescription& d = timeDescription;
  if (!FilledIn(*ReverbTimeEdit, d)) {
    return false;
  }
  const std::optional<double> timeMs = TypedValue(*ReverbTimeEdit, d, d.Minimum, d.Maximum);
  if (!timeMs || !InRange(*timeMs, d, d.Minimum, d.Maximum)) {
    return false;
  }
  WriteAndApply([&] {
    for (int i = 0; i < LevelCount; ++i) {
      *levels[i] = DbToAmplitude(-levelBars[i]->value());
    }
    *reverbTime = static_cast<int32_t>(*timeMs);
    *delayLines = UpDown1->value();
  });
  TrackBar4->setValue(static_cast<int>(*timeMs)); // finds ReverbTime equal: nothing more is applied
  ShowTime();
  ApplyBtn->setEnabled(false);
  return true;
}

void TReverbDlg::OKBtnClick() {
  if (ApplyTyped()) {
    accept();
  }
}

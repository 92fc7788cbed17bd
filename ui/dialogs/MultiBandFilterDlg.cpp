// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/dialogs/MultiBandFilterDlg.h"

#include "dsp/Filter.h"
#include "filters/MultiBandFilter.h"
#include "filters/Transforms.h"

#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QVBoxLayout>

namespace {

constexpr int MinPosition = -30, MaxPosition = 90; // +30 dB ... -90 dB
constexpr int BandsPerRow = 10;

constexpr std::array<const char*, TMultiBandFilterDlg::BandCount> FrequencyTexts = {
    "50 Гц", "100 Гц", "200 Гц", "300 Гц", "400 Гц", "500 Гц", "600 Гц", "700 Гц", "800 Гц", "1 КГц",
    "2 КГц", "3 КГц",  "4 КГц",  "5 КГц",  "6 КГц",  "8 КГц",  "10 КГц", "12 КГц", "14 КГц", "16 КГц"};

// The scale beside a row of bars: "+30 дБ", "0 дБ" and "-90 дБ", each level with the middle of the
// handle of the row's first bar at that position, whatever the style makes of the bar.
class TBarScale : public QWidget {
public:
  TBarScale(QSlider* bar, QWidget* parent) : QWidget(parent), bar(bar) {
    marks = {{{MinPosition, new QLabel(QStringLiteral("+30 дБ"), this)},
              {0, new QLabel(QStringLiteral("0 дБ"), this)},
              {MaxPosition, new QLabel(QStringLiteral("-90 дБ"), this)}}};
    int width = 0;
    for (const auto& [position, label] : marks) {
      label->adjustSize();
      width = std::max(width, label->width());
    }
    setFixedWidth(width);
    bar->installEventFilter(this);
  }

protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == bar && (event->type() == QEvent::Resize || event->type() == QEvent::Move)) {
      PlaceMarks();
    }
    return QWidget::eventFilter(watched, event);
  }
  void resizeEvent(QResizeEvent* event) override {
    PlaceMarks();
    QWidget::resizeEvent(event);
  }

private:
  void PlaceMarks() {
    QStyleOptionSlider option;
    option.initFrom(bar);
    option.orientation = bar->orientation();
    option.minimum = bar->minimum();
    option.maximum = bar->maximum();
    option.sliderPosition = bar->sliderPosition();
    option.sliderValue = bar->value();
    option.tickPosition = bar->tickPosition();
    option.tickInterval = bar->tickInterval();
    option.upsideDown = !bar->invertedAppearance();
    option.subControls = QStyle::SC_SliderGroove | QStyle::SC_SliderHandle;
    const QRect groove =
        bar->style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, bar);
    const QRect handle =
        bar->style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, bar);
    const int span = groove.height() - handle.height();
    // From the bar's coordinates to this widget's: both lie in the same dialog.
    const int shift = bar->mapTo(window(), QPoint(0, 0)).y() - mapTo(window(), QPoint(0, 0)).y();
    for (const auto& [position, label] : marks) {
      const int top =
          QStyle::sliderPositionFromValue(bar->minimum(), bar->maximum(), position, span, option.upsideDown);
      const int middle = shift + groove.y() + top + handle.height() / 2;
      label->move(width() - label->width(), middle - label->height() / 2);
    }
  }

  QSlider* bar;
  std::array<std::pair<int, QLabel*>, 3> marks{};
};

} // namespace

TMultiBandFilterDlg::TMultiBandFilterDlg(QWidget* parent) : TParameterDialog(parent) {
  auto* layout = new QVBoxLayout(this);
  for (int row = 0; row < BandCount / BandsPerRow; ++row) {
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(4);
    for (int column = 0; column < BandsPerRow; ++column) {
      const int band = row * BandsPerRow + column;
      QSlider* bar = NewTrackBar(Qt::Vertical, MinPosition, MaxPosition, 5);
      bar->setValue(0);
      bar->setMinimumHeight(150);
      bar->setObjectName(QStringLiteral("TrackBar%1").arg(band + 1));
      auto* label = new QLabel(QString::fromUtf8(FrequencyTexts[band]), this);
      label->setAlignment(Qt::AlignHCenter);
      label->setMinimumWidth(label->fontMetrics().horizontalAdvance(QStringLiteral("12 КГц")) + 6);
      grid->addWidget(label, 0, column + 1);
      grid->addWidget(bar, 1, column + 1, Qt::AlignHCenter);
      TrackBars[band] = bar;
      FrequencyLabels[band] = label;
      OnBarChange(bar, [this, band] { TrackBarChange(band); });
    }
    grid->addWidget(new TBarScale(TrackBars[row * BandsPerRow], this), 1, 0);
    grid->setColumnMinimumWidth(BandsPerRow + 1, 4);
    if (row > 0) {
      layout->addSpacing(12);
    }
    layout->addLayout(grid);
  }
  iReset = new QPushButton(QStringLiteral("Сброс"), this);
  OKBtn = new QPushButton(QStringLiteral("OK"), this);
  OKBtn->setDefault(true);
  CancelBtn = new QPushButton(QStringLiteral("Отмена"), this);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(iReset);
  buttons->addStretch();
  buttons->addWidget(OKBtn);
  buttons->addWidget(CancelBtn);
  layout->addSpacing(8);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  connect(iReset, &QPushButton::clicked, this, &TMultiBandFilterDlg::iResetClick);
  connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
  connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

void TMultiBandFilterDlg::LookUpParameters() {
  gain = filter != nullptr ? static_cast<double*>(filter->FindParameter("Gain")) : nullptr;
}

void TMultiBandFilterDlg::ShowFilter() {
  if (gain == nullptr) {
    return;
  }
  // A band at or above half the rate has nothing to act on: greyed out, not drawn at another place.
  const int32_t half = filter->SampleRate() / 2;
  for (int band = 0; band < BandCount; ++band) {
    SetPositionQuietly(*TrackBars[band], LevelPosition(gain[band], MinPosition, MaxPosition));
    const bool heard = TMultiBandFilter::BandCentres[static_cast<size_t>(band)] < half;
    TrackBars[band]->setEnabled(heard);
    FrequencyLabels[band]->setEnabled(heard);
    ShowGain(band);
  }
}

void TMultiBandFilterDlg::ShowGain(int band) {
  TrackBars[band]->setToolTip(QStringLiteral("%1 дБ").arg(-TrackBars[band]->value()));
}

void TMultiBandFilterDlg::TrackBarChange(int band) {
  ShowGain(band);
  moved[band] = true;
  BarMoved();
}

bool TMultiBandFilterDlg::WriteMovedBars() {
  bool changed = false;
  for (int band = 0; band < BandCount; ++band) {
    if (moved[band] && gain != nullptr) {
      gain[band] = DbToAmplitude(-TrackBars[band]->value());
      changed = true;
    }
    moved[band] = false;
  }
  return changed;
}

void TMultiBandFilterDlg::iResetClick() {
  if (gain == nullptr) {
    return;
  }
  for (int band = 0; band < BandCount; ++band) {
    SetPositionQuietly(*TrackBars[band], 0);
    ShowGain(band);
  }
  WriteAndApply([&] {
    for (int band = 0; band < BandCount; ++band) {
      gain[band] = 1.0;
      moved[band] = false; // a movement still waiting is overtaken
    }
  });
}

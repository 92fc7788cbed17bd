// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/FilterCatalogue.h"

// filter classes
#include "filters/AmplitudeModulation.h"
#include "filters/BandPassFilter.h"
#include "filters/ChebyshevFilter.h"
#include "filters/Chorus.h"
#include "filters/DCRemoval.h"
#include "filters/Echo.h"
#include "filters/IIRFilter.h"
#include "filters/LowPassFilter.h"
#include "filters/MovingAverage.h"
#include "filters/MultiBandFilter.h"
#include "filters/Noise.h"
#include "filters/PitchShift.h"
#include "filters/Reverberation.h"
#include "filters/Synthesis.h"

const std::array<const char*, FilterTypeCount> FilterCatalogue = {
    "Фильтр нижних частот",
    "Фильтр верхних частот",
    "Полосовой пропускающий фильтр",
    "Полосовой вырезающий фильтр",
    "Многополосовой фильтр",
    "БИХ-фильтр",
    "Фильтр Чебышева",
    "Фильтр \"Движущееся среднее\"",
    "Вырезание постоянной составляющей",
    "Эффект \"Эхо\"",
    "Эффект \"Хор\"",
    "Эффект \"Реверберация\"",
    "Эффект \"Шум\"",
    "Эффект \"Амплитудная модуляция\"",
    "Эффект \"Синтез\"",
    "Эффект \"Сдвиг высоты тона\"",
};

std::unique_ptr<TFilter> CreateFilter(int32_t type, int32_t sampleRate) {
  switch (type) {
    // filter classes
  case 0:
    return std::make_unique<TLowPassFilter>(sampleRate);
  case 1:
    return std::make_unique<THighPassFilter>(sampleRate);
  case 2:
    return std::make_unique<TBandPassFilter>(sampleRate);
  case 3:
    return std::make_unique<TBandStopFilter>(sampleRate);
  case 4:
    return std::make_unique<TMultiBandFilter>(sampleRate);
  case 5:
    return std::make_unique<TIIRFilter>(sampleRate);
  case 6:
    return std::make_unique<TChebyshevFilter>(sampleRate);
  case 7:
    return std::make_unique<TMovingAverage>(sampleRate);
  case 8:
    return std::make_unique<TDCRemoval>(sampleRate);
  case 9:
    return std::make_unique<TEcho>(sampleRate);
  case 10:
    return std::make_unique<TChorus>(sampleRate);
  case 11:
    return std::make_unique<TReverberation>(sampleRate);
  case 12:
    return std::make_unique<TNoise>(sampleRate);
  case 13:
    return std::make_unique<TAmplitudeModulation>(sampleRate);
  case 14:
    return std::make_unique<TSynthesis>(sampleRate);
  case 15:
    return std::make_unique<TPitchShift>(sampleRate);
  default:
    return nullptr;
  }
}

std::vector<const TParameterDescription*> ParameterDescriptions(int32_t type) {
  std::vector<const TParameterDescription*> descriptions;
  if (const auto probe = CreateFilter(type, 48000)) {
    for (int i = 0; i < probe->ParameterCount(); ++i) {
      descriptions.push_back(probe->Parameter(i).Description);
    }
  }
  return descriptions;
}

const TParameterDescription* FindDescription(int32_t type, std::string_view name) {
  for (const TParameterDescription* d : ParameterDescriptions(type)) {
    if (name == d->Name) {
      return d;
    }
  }
  return nullptr;
}

#include "dsp/FilterCatalogue.h"

// filter classes
#include "filters/Echo.h"
#include "filters/LowPassFilter.h"
#include "filters/MultiBandFilter.h"
#include "filters/Reverberation.h"

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
  case 4:
    return std::make_unique<TMultiBandFilter>(sampleRate);
  case 9:
    return std::make_unique<TEcho>(sampleRate);
  case 11:
    return std::make_unique<TReverberation>(sampleRate);
  default:
    (void)sampleRate;
    return nullptr;
  }
}

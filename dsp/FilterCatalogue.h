#pragma once
// The 16 filter type names and the factory. A filter's Type is its index here.

#include "dsp/Filter.h"

#include <array>
#include <cstdint>
#include <memory>

inline constexpr int FilterTypeCount = 16;
extern const std::array<const char*, FilterTypeCount> FilterCatalogue;

// A new filter of the given type at the given rate, ready to process; nothing for a type without a
// class (every value other than 0, 1, 4, 9 and 11).
std::unique_ptr<TFilter> CreateFilter(int32_t type, int32_t sampleRate);

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The 16 filter type names and the factory. A filter's Type is its index here.

#include "dsp/Filter.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

inline constexpr int FilterTypeCount = 16;
extern const std::array<const char*, FilterTypeCount> FilterCatalogue;

// A new filter of the given type at the given rate, ready to process; nothing for a value outside
// 0..15.
std::unique_ptr<TFilter> CreateFilter(int32_t type, int32_t sampleRate);

// The descriptions of a type's parameters in registration order (none for a value outside 0..15), and
// the one of a given name (null if none); they are constants that last the whole run.
std::vector<const TParameterDescription*> ParameterDescriptions(int32_t type);
const TParameterDescription* FindDescription(int32_t type, std::string_view name);

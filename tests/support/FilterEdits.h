// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Parameter edits of any filter type as a dialog makes them, read from the parameters' descriptions:
// a value at a place along a parameter's range (as a bar dragged there gives it: logarithmic where the
// bar is, powers of two, choices), written with its Apply under the filter's lock. Shared by the tests
// of threads and by bench/edit_while_playing.
//
// Threads: the editing thread (the user interface's), one filter at a time.

#include "dsp/Filter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <random>

namespace sonotest {

// The value of parameter `index` at `place` (0 the lowest, 1 the highest the filter takes now).
inline double ValueAlong(const TFilter& filter, int index, double place) {
  const TParameterDescription& d = *filter.Parameter(index).Description;
  const double low = filter.LowerBound(index);
  // A value typed rather than dragged (a level, a band's gain, a seed) stays within a few times its
  // default.
  const double high = d.Bar == TTrackScale::None
                          ? std::min(UpperBound(d, filter.SampleRate()), std::max(4.0 * d.Default, 1.0))
                          : UpperBound(d, filter.SampleRate());
  double value = low + (high - low) * place;
  if (d.Set == TValueSet::PowerOfTwo) {
    value = std::exp2(std::round(std::log2(low) + (std::log2(high) - std::log2(low)) * place));
  } else if (d.Bar == TTrackScale::Logarithmic && low > 0) {
    value = low * std::pow(high / low, place);
  }
  value = std::clamp(value, low, high);
  return d.Storage == TStorage::Int32 ? std::round(value) : value;
}

// Writes element `element` of parameter `index` at `place` and applies it.
inline void EditAlong(TFilter& filter, int index, double place, int32_t element = 0) {
  const std::lock_guard guard(filter.Lock());
  SetValueAt(*filter.Parameter(index).Description, filter.Parameter(index).Storage,
             ValueAlong(filter, index, place), element);
  filter.Apply();
}

// One element of one parameter of the filter to a random place.
inline void EditAtRandom(TFilter& filter, std::mt19937& random) {
  if (filter.ParameterCount() == 0) {
    return;
  }
  const int index = std::uniform_int_distribution<int>(0, filter.ParameterCount() - 1)(random);
  const int32_t count = filter.Parameter(index).Description->Count;
  const int32_t element = std::uniform_int_distribution<int32_t>(0, count - 1)(random);
  EditAlong(filter, index, std::uniform_real_distribution<double>(0.0, 1.0)(random), element);
}

} // namespace sonotest

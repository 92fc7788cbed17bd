// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The catalogue: the table of filter types, one descriptor per type in type-number order (entry t
// describes type t), and what makes a filter of a type. Each descriptor stands beside its class; a new
// type is its class file and one line in the list in FilterCatalogue.cpp.
//
// Constant data and functions of it: any thread.

#include "dsp/Filter.h"
#include "dsp/FilterDescriptor.h"
#include "dsp/FilterList.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>

extern const std::span<const TFilterDescriptor* const> FilterCatalogue;
extern const int FilterTypeCount;

// The descriptor of a type; null outside 0..FilterTypeCount - 1.
const TFilterDescriptor* FindFilterType(int32_t type);

// A new filter of the given type at the given rate, ready to process; nothing for a type outside the
// catalogue. TFilterList::Load takes it as its factory.
std::unique_ptr<TFilter> CreateFilter(int32_t type, int32_t sampleRate);

// LoadChainFile with the filters of this catalogue.
void LoadChainFile(TFilterList& chain, const std::string& fileName);

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The chain and preset commands of sonolab-render, shared by its main and its tests. They work on the
// catalogue's types: its CreateFilter, and its LoadChainFile for --chain.

#include "dsp/FilterList.h"
#include "filters/FilterCatalogue.h"

#include <ostream>
#include <string>

// "TYPE[:NAME=VALUE[,NAME=VALUE...]]": a new enabled filter at the chain's rate. Raises TUsageError
// for a type outside the catalogue, an unknown name, or a value outside the parameter's description
// (the message gives the allowed values).
void AddFilterFromText(TFilterList& chain, const std::string& text);
// One line per slot: index, catalogue name, on/off, NAME=VALUE per parameter, tab-separated.
void PrintChain(const TFilterList& chain, std::ostream& out);
// The 512 gains of the enabled chain: bin, frequency (Hz), gain (dB or -inf), tab-separated.
void PrintResponse(const TFilterList& chain, std::ostream& out);

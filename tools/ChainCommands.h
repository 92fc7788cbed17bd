// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The chain and preset commands of sonolab-render, shared by its main and its tests. They work on the
// catalogue's types (its CreateFilter) and on the installed LV2 plug-ins.

#include "dsp/FilterList.h"
#include "filters/FilterCatalogue.h"
#include "filters/lv2/PluginHost.h"

#include <memory>
#include <ostream>
#include <string>

// "TYPE[:NAME=VALUE[,NAME=VALUE...]]": a new enabled filter at the chain's rate. Raises TUsageError
// for a type outside the catalogue, an unknown name, or a value outside the parameter's description
// (the message gives the allowed values).
void AddFilterFromText(TFilterList& chain, const std::string& text);
// "NAME=VALUE[,NAME=VALUE...]" into a filter (a plug-in slot's names are its controls' symbols), then
// Apply; a refused assignment raises TUsageError as --add does (the command line then stops).
void SetParametersFromText(TFilter& filter, const std::string& text);
// A new enabled slot of the installed plug-in of `uri`. A URI that is not installed, or a plug-in that
// cannot run in the chain, raises TUsageError with MissingPluginMessage or RefusedPluginMessage.
void AddPluginFromUri(TFilterList& chain, const std::shared_ptr<TPluginHost>& host, const std::string& uri);
// "URI<TAB>name" per plug-in offered; with `verbose` the class after the name, and the plug-ins left
// out too, each with "пропущен: REASON".
void PrintPlugins(TPluginHost& host, bool verbose, std::ostream& out);
// One line per slot: index, its type's name (a plug-in's followed by its URI in parentheses), on/off,
// the latency a plug-in reports ("задержка=N" in frames), NAME=VALUE per parameter, tab-separated.
void PrintChain(const TFilterList& chain, std::ostream& out);
// The 512 gains of the enabled chain: bin, frequency (Hz), gain (dB or -inf), tab-separated.
void PrintResponse(const TFilterList& chain, std::ostream& out);

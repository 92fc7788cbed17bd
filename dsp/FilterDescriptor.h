// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TFilterDescriptor: everything the program knows about one filter type, written once beside its class:
// its number (the first field of its settings record), its names as the lists, the command line's help
// and the README show them, the caption of its parameter dialog and which dialog that is, its parameters
// in registration order (the order of their bytes in a record), and how to make one. Whatever lists,
// creates, edits, prints or documents types reads it; the descriptions can be read without a filter.
//
// Plain constant data: one constant-initialised namespace-scope constant per built-in type, pointing at
// the constant parameter descriptions of its file. A plug-in slot's type is made at run time from its
// plug-in's data and owns its texts and descriptions (filters/lv2/PluginSlot.h); it has no Create and
// names its plug-in in Source. Any thread, from the start of the program (or the slot's making) on.

#include "dsp/ParameterDescription.h"

#include <cstdint>
#include <memory>
#include <span>

class TFilter;

// Which parameter dialog edits a type: one of its own, or the one built from its descriptions.
enum class TDialogKind : uint8_t { LowHighPass, MultiBand, Echo, Reverberation, Described };

struct TFilterDescriptor {
  int32_t Type = -1;
  const char* Name = "";        // the catalogue's name: "Эффект \"Эхо\""
  const char* ShortName = "";   // in the command line's help: "эхо"
  const char* EnglishName = ""; // in the README's table: "echo"
  const char* Caption = "";     // of its parameter dialog
  TDialogKind Dialog = TDialogKind::Described;
  std::span<const TParameterDescription* const> Parameters;         // in registration order
  std::unique_ptr<TFilter> (*Create)(int32_t sampleRate) = nullptr; // a new filter, ready to process
  const char* Source = nullptr; // a type made from an installed plug-in: the plug-in's URI
};

// Create for a filter class whose constructor takes the sample rate.
template <class TClass> std::unique_ptr<TFilter> MakeFilter(int32_t sampleRate) {
  return std::make_unique<TClass>(sampleRate);
}

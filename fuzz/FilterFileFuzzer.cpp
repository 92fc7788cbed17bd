// SPDX-License-Identifier: GPL-3.0-or-later
// The ".flt" loader on arbitrary bytes: TFilter::Load of each of the sixteen classes and of a plug-in
// slot (a fresh one, which takes the plug-in its record names, or one of the swh amplifier, which
// takes only that plug-in's records) from memory, then the file path through CRCifstream, once with
// the bytes as they come (the checksum decides) and once with the right checksum appended (the record
// decides). A refused record leaves the filter's parameters byte for byte as they were; an accepted
// one round-trips and processes sound.

#include "SettingsFuzzTools.h"

#include "dsp/CRCStreams.h"
#include "dsp/FilterError.h"
#include "filters/FilterCatalogue.h"

#include <array>
#include <memory>
#include <string>

namespace {

constexpr std::array<int32_t, 17> Types = {
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, PluginSlotType};
constexpr const char* KeptPlugin = "http://plugin.org.uk/swh-plugins/amp";
constexpr int32_t SampleRate = 44100;
constexpr int32_t BlockFrames = 1024;

bool KnownMessage(const std::string& text) {
  return text == MsgCannotOpenFile || text == MsgChecksumError || fuzzing::RefusalMessage(text);
}

// One load attempt; `load` throws TFilterError or returns after replacing the parameters.
template <typename Load> void Attempt(TFilter& filter, const uint8_t* data, size_t size, Load load) {
  const std::vector<uint8_t> before = fuzzing::Record(filter);
  try {
    load();
  } catch (const TFilterError& e) {
    FUZZ_CHECK(KnownMessage(e.what()));
    FUZZ_CHECK(fuzzing::Record(filter) == before);
    return;
  }
  FUZZ_CHECK(filter.Validate());
  FUZZ_CHECK(fuzzing::RoundTrips(filter, data, size));
  fuzzing::ProcessNoise(filter, BlockFrames);
}

// The record's leading type, when there are 4 bytes for it.
int32_t LeadingType(const uint8_t* data, size_t size) {
  if (size < 4) {
    return -1;
  }
  return static_cast<int32_t>(static_cast<uint32_t>(data[0]) | (static_cast<uint32_t>(data[1]) << 8) |
                              (static_cast<uint32_t>(data[2]) << 16) |
                              (static_cast<uint32_t>(data[3]) << 24));
}

// A fresh filter of the type the record names; for the other classes, filters made once, which only
// ever see records they must refuse (so they stay at their defaults, and the costly designs run once
// instead of per input).
class TFilters {
public:
  TFilter& For(int32_t type, int32_t leadingType) {
    if (type == leadingType) {
      fresh = PluginAwareFactory(fuzzing::Plugins())(type, SampleRate);
      return *fresh;
    }
    for (size_t i = 0; i < Types.size(); ++i) {
      if (Types[i] == type) {
        if (!kept[i]) {
          kept[i] = type == PluginSlotType ? CreatePluginSlot(fuzzing::Plugins(), KeptPlugin, SampleRate)
                                           : CreateFilter(type, SampleRate);
        }
        return *kept[i];
      }
    }
    __builtin_trap();
  }

private:
  std::unique_ptr<TFilter> fresh;
  std::array<std::unique_ptr<TFilter>, Types.size()> kept;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fuzzing::TScratchFile scratch(".flt");
  static TFilters filters;
  const int32_t leading = LeadingType(data, size);
  for (const int32_t type : Types) {
    TFilter& filter = filters.For(type, leading);
    Attempt(filter, data, size, [&] {
      TMemoryReader in(data, size);
      filter.Load(in);
    });
  }

  // The file as given: a wrong checksum (most inputs) must be caught before any record is read.
  const std::string& path = scratch.Write(data, size);
  const int32_t fileType = Types[size % Types.size()];
  if (size >= 2) {
    TFilter& filter = filters.For(fileType, LeadingType(data, size - 2));
    Attempt(filter, data, size - 2, [&] { LoadFilterFile(filter, path); });
  } else {
    TFilter& filter = filters.For(fileType, leading);
    const std::vector<uint8_t> before = fuzzing::Record(filter);
    try {
      LoadFilterFile(filter, path);
      FUZZ_CHECK(false); // a file too short for a checksum cannot load
    } catch (const TFilterError& e) {
      FUZZ_CHECK(std::string(e.what()) == MsgChecksumError);
    }
    FUZZ_CHECK(fuzzing::Record(filter) == before);
  }

  // The same bytes as the payload of a well-formed file.
  uint8_t sum[2];
  fuzzing::Checksum(data, size, sum);
  scratch.Write(data, size, sum, 2);
  for (const int32_t type : Types) {
    TFilter& filter = filters.For(type, leading);
    Attempt(filter, data, size, [&] { LoadFilterFile(filter, path); });
  }
  return 0;
}

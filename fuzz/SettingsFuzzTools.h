// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the settings fuzz targets check after a load: the filter record round-trips, every parameter
// is one the class accepts, and a block of noise through the loaded filters stays finite.

#include "FuzzTools.h"

#include "dsp/ByteStreams.h"
#include "dsp/Filter.h"
#include "dsp/FilterError.h"
#include "filters/lv2/PluginSlot.h"

#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace fuzzing {

// The installed plug-ins (swh-lv2 and mda-lv2 where install-deps.sh put them), looked for once.
inline const std::shared_ptr<TPluginHost>& Plugins() {
  static const auto host = std::make_shared<TPluginHost>();
  return host;
}

// The messages a refused settings record may give: a malformed one, or one naming a plug-in that is
// not installed, not offered or without the control named.
inline bool RefusalMessage(const std::string& text) {
  return text == MsgBadFileFormat || text.rfind("Модуль LV2 ", 0) == 0;
}

inline std::vector<uint8_t> Record(TFilter& filter) {
  TMemoryWriter out;
  filter.Save(out);
  return out.Bytes();
}

// Whether a record the filter accepted is the one it writes back: byte for byte for the built-in types
// (a record holds every parameter, in table order); for a plug-in slot, whose record may name its
// controls in any order and leave some out, what it writes back reads back to itself.
inline bool RoundTrips(TFilter& filter, const uint8_t* data, size_t size) {
  const std::vector<uint8_t> after = Record(filter);
  if (filter.Type() != PluginSlotType) {
    return after.size() <= size && std::equal(after.begin(), after.end(), data);
  }
  TMemoryReader again(after.data(), after.size());
  filter.Load(again);
  return Record(filter) == after;
}

// A deterministic full-scale noise plane.
inline void FillNoise(float* samples, int32_t frames, uint32_t seed) {
  for (int32_t i = 0; i < frames; ++i) {
    seed = seed * 1664525u + 1013904223u;
    samples[i] = static_cast<float>(static_cast<int32_t>(seed >> 16) - 32768);
  }
}

// Two channels of a short block through the filter; the output of a filter with accepted
// parameters never holds NaN (infinities from huge band gains or levels are the chain's to clip).
inline void ProcessNoise(TFilter& filter, int32_t frames) {
  std::vector<float> plane(static_cast<size_t>(frames));
  for (int channel = 0; channel < 2; ++channel) {
    FillNoise(plane.data(), frames, 12345u + static_cast<uint32_t>(channel));
    ChannelBlock block{{}, plane.data(), frames};
    std::lock_guard guard(filter.Lock());
    filter.Process(block, channel);
    for (const float v : plane) {
      FUZZ_CHECK(!std::isnan(v) || !filter.Validate());
    }
  }
}

} // namespace fuzzing

// SPDX-License-Identifier: GPL-3.0-or-later
// The ".lst" loader on arbitrary bytes, with plug-in slots among the records: TFilterList::Load from
// memory, and LoadChainFile from a file with the right checksum appended. An accepted chain holds at
// most 16 filters with accepted parameters, saves back to the very bytes it was read from (a chain
// with a plug-in slot, whose record may name its controls in any order: to bytes that read back to
// themselves), and processes a stereo block; a refused one leaves a chain that still processes.

#include "SettingsFuzzTools.h"

#include "dsp/CRCStreams.h"
#include "dsp/FilterError.h"
#include "dsp/FilterList.h"
#include "filters/FilterCatalogue.h"
#include "filters/lv2/PluginSlot.h"

#include <string>
#include <vector>

namespace {

constexpr int32_t SampleRate = 44100;
constexpr int32_t BlockFrames = 1024;

void CheckChain(TFilterList& chain) {
  FUZZ_CHECK(chain.Count() >= 0 && chain.Count() <= TFilterList::MaxFilters);
  for (int i = 0; i < chain.Count(); ++i) {
    FUZZ_CHECK(chain.Item(i) != nullptr);
    FUZZ_CHECK(chain.Item(i)->Validate());
  }
  // A stereo 16-bit block of noise through whatever the chain holds.
  const TWaveFormat format = MakePCMFormat(SampleRate, 2, 16);
  std::vector<float> noise(BlockFrames * 2);
  fuzzing::FillNoise(noise.data(), BlockFrames * 2, 777u);
  std::vector<uint8_t> block(BlockFrames * 4);
  for (size_t i = 0; i < noise.size(); ++i) {
    const auto v = static_cast<uint16_t>(static_cast<int16_t>(noise[i]));
    block[2 * i] = static_cast<uint8_t>(v);
    block[2 * i + 1] = static_cast<uint8_t>(v >> 8);
  }
  chain.ProcessBlock(block.data(), BlockFrames, format);
}

template <typename Load> void Attempt(const uint8_t* data, size_t size, Load load) {
  TFilterList chain(SampleRate);
  try {
    load(chain);
  } catch (const TFilterError& e) {
    FUZZ_CHECK(fuzzing::RefusalMessage(e.what()));
    CheckChain(chain);
    return;
  }
  CheckChain(chain);
  TMemoryWriter out;
  chain.Save(out);
  bool slots = false;
  for (int i = 0; i < chain.Count(); ++i) {
    slots = slots || chain.Item(i)->Type() == PluginSlotType;
  }
  if (!slots) {
    FUZZ_CHECK(out.Bytes().size() <= size);
    FUZZ_CHECK(std::equal(out.Bytes().begin(), out.Bytes().end(), data));
    return;
  }
  TFilterList again(SampleRate);
  TMemoryReader in(out.Bytes().data(), out.Bytes().size());
  again.Load(in, PluginAwareFactory(fuzzing::Plugins()));
  TMemoryWriter twice;
  again.Save(twice);
  FUZZ_CHECK(twice.Bytes() == out.Bytes());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fuzzing::TScratchFile scratch(".lst");
  Attempt(data, size, [&](TFilterList& chain) {
    TMemoryReader in(data, size);
    chain.Load(in, PluginAwareFactory(fuzzing::Plugins()));
  });
  uint8_t sum[2];
  fuzzing::Checksum(data, size, sum);
  const std::string& path = scratch.Write(data, size, sum, 2);
  Attempt(data, size,
          [&](TFilterList& chain) { LoadChainFile(chain, path, PluginAwareFactory(fuzzing::Plugins())); });
  return 0;
}

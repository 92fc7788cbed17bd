// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/FilterCatalogue.h"

#include "dsp/CRCStreams.h"
#include "filters/AmplitudeModulation.h"
#include "filters/BandPassFilter.h"
#include "filters/ChebyshevFilter.h"
#include "filters/Chorus.h"
#include "filters/DCRemoval.h"
#include "filters/Echo.h"
#include "filters/IIRFilter.h"
#include "filters/LowPassFilter.h"
#include "filters/MovingAverage.h"
#include "filters/MultiBandFilter.h"
#include "filters/Noise.h"
#include "filters/PitchShift.h"
#include "filters/Reverberation.h"
#include "filters/Synthesis.h"

#include <array>

namespace {

// The types there are, in type-number order: a new type is one more entry here.
constexpr std::array Types{
    &LowPassDescriptor,   &HighPassDescriptor,
    &BandPassDescriptor,  &BandStopDescriptor,
    &MultiBandDescriptor, &IIRDescriptor,
    &ChebyshevDescriptor, &MovingAverageDescriptor,
    &DCRemovalDescriptor, &EchoDescriptor,
    &ChorusDescriptor,    &ReverberationDescriptor,
    &NoiseDescriptor,     &AmplitudeModulationDescriptor,
    &SynthesisDescriptor, &PitchShiftDescriptor,
};

} // namespace

constinit const std::span<const TFilterDescriptor* const> FilterCatalogue = Types;
constinit const int FilterTypeCount = static_cast<int>(Types.size());

const TFilterDescriptor* FindFilterType(int32_t type) {
  return type >= 0 && type < FilterTypeCount ? FilterCatalogue[static_cast<size_t>(type)] : nullptr;
}

std::unique_ptr<TFilter> CreateFilter(int32_t type, int32_t sampleRate) {
  const TFilterDescriptor* d = FindFilterType(type);
  return d != nullptr ? d->Create(sampleRate) : nullptr;
}

void LoadChainFile(TFilterList& chain, const std::string& fileName) {
  LoadChainFile(chain, fileName, CreateFilter);
}

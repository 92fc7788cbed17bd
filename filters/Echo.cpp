#include "filters/Echo.h"

#include <cmath>
#include <mutex>

namespace {
constexpr double Ln10 = 2.302585092994046;
}

TEcho::TEcho(int32_t sampleRate) : TFilter(sampleRate) {
  type = 9;
  Delay = 100;
  DecayTime = 1000;
  Update();
  AddParameter(&Delay, sizeof Delay, "Delay");
  AddParameter(&DecayTime, sizeof DecayTime, "DecayTime");
}

int32_t TEcho::DelayLength() const {
  const auto length = static_cast<int32_t>(Delay * 0.001 * SampleRate());
  // A rate below 1000 Hz can make a 1 ms delay shorter than one sample; the line keeps one slot.
  return length < 1 ? 1 : length;
}

float TEcho::EchoGain() const {
  return static_cast<float>(std::exp(Ln10 * -3.0 * (Delay * 0.001) / (DecayTime * 0.001)));
}

void TEcho::Update() {
  SetStateLength(DelayLength());
  const std::lock_guard guard(Lock());
  position[0] = 0;
  position[1] = 0;
}

void TEcho::Process(ChannelBlock& block, int channel) {
  // The line length Update sized for the current Delay.
  const int32_t length = StateLength();
  if (length < 1) {
    return;
  }
  const double g = EchoGain();
  float* const line = ChannelState(channel);
  float* const x = block.Samples;
  int32_t p = position[channel];
  for (int32_t n = 0; n < block.Frames; ++n) {
    // Slot p + 1 was written L - 1 samples ago.
    const int32_t r = p + 1 == length ? 0 : p + 1;
    x[n] = static_cast<float>(x[n] + g * line[r]);
    line[p] = x[n];
    p = r;
  }
  position[channel] = p;
}

bool TEcho::ParametersValid() const {
  return Delay >= 1 && Delay <= 1000 && DecayTime >= 10 && DecayTime <= 10000;
}

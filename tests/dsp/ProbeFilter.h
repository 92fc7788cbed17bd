// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A small filter for testing the framework: out = in * Gain + Offset, with a running sum per channel
// kept in the channel state, and a log of (id, channel) visits. The two channels of a stereo block may
// visit at once, so the log is appended under a lock shared by all probes.

#include "dsp/Filter.h"

#include <cmath>
#include <mutex>
#include <utility>
#include <vector>

namespace sonotest {

class TProbeFilter : public TFilter {
public:
  TProbeFilter(int32_t sampleRate, int id = 0, std::vector<std::pair<int, int>>* log = nullptr)
      : TFilter(sampleRate), id(id), log(log) {
    type = 3;
    Update();
    static constexpr TParameterDescription GainDescription{.Name = "Gain",
                                                           .Storage = TStorage::Double,
                                                           .Minimum = -Unbounded,
                                                           .Maximum = Unbounded,
                                                           .Default = 1};
    static constexpr TParameterDescription LengthDescription{
        .Name = "Length", .Minimum = 1, .Maximum = 64, .Default = 4};
    AddParameter(&Gain, GainDescription);
    AddParameter(&Length, LengthDescription);
  }
  void Process(ChannelBlock& block, int channel) override {
    if (log != nullptr) {
      const std::lock_guard guard(LogLock());
      log->emplace_back(id, channel);
    }
    float* state = ChannelState(channel);
    for (int32_t i = 0; i < block.Frames; ++i) {
      block.Samples[i] = static_cast<float>(block.Samples[i] * Gain + Offset);
      if (StateLength() > 0) {
        state[0] += 1.0f;
      }
    }
  }
  bool JoinsChannels() const override { return Joins; }
  void Update() override {
    ++updates;
    SetStateLength(Length);
  }

  double Gain = 1.0;
  int32_t Length = 4;
  float Offset = 0.0f;
  bool Joins = false; // set before the probe joins a chain
  int updates = 0;

private:
  static std::mutex& LogLock() {
    static std::mutex lock;
    return lock;
  }

  int id;
  std::vector<std::pair<int, int>>* log;
};

} // namespace sonotest

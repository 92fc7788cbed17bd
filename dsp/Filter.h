// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TFilter: the base of every filter and effect of the chain.
//
// A filter exposes its settings as a table of named parameters (raw storage inside the concrete
// object), keeps two per-channel float state buffers of one length (delay lines, overlap tails),
// and owns a re-entrant lock. Its descriptor (FilterDescriptor.h) says what type it is: a constant of
// the catalogue, or one a plug-in slot makes from its plug-in.
//
// A filter processes the channels of a stereo block one by one, each on its own state, unless it
// joins them (JoinsChannels): then the chain hands it both at once (ProcessJoined), after every filter
// before it has done both.
//
// Threads: the worker calls Process, with the chain's lock and then this filter's lock held.
// The user-interface thread calls everything else. SetStateLength, ClearState, Apply, Load and Save
// take this filter's lock; a parameter written through FindParameter must be written under the lock
// and followed by Apply before the lock is released. Lock order: the chain's lock, then a filter's.

#include "dsp/ByteStreams.h"
#include "dsp/ParameterDescription.h"
#include "dsp/WaveFormat.h"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

struct TFilterDescriptor;

// One channel of one block, processed in place.
struct ChannelBlock {
  TWaveFormat Format;       // the input's format; no filter reads it
  float* Samples = nullptr; // Frames consecutive samples of one channel, on the integer scale
  int32_t Frames = 0;
};

class TFilter {
public:
  struct TParameter {
    void* Storage = nullptr;
    int32_t Size = 0;
    const char* Name = ""; // the description's
    const TParameterDescription* Description = nullptr;
  };

  explicit TFilter(int32_t sampleRate);
  virtual ~TFilter() = default;
  TFilter(const TFilter&) = delete;
  TFilter& operator=(const TFilter&) = delete;

  // Reallocates and zeroes both channel buffers, unless n equals the current length.
  virtual void SetStateLength(int32_t n);
  // Zeroes both channel buffers (nothing when the length is 0).
  virtual void ClearState();
  // Filters one channel (0 or 1) of a block in place.
  virtual void Process(ChannelBlock& block, int channel) = 0;
  // Whether the two channels of a stereo block must come together, to ProcessJoined. Fixed for the
  // filter's life.
  virtual bool JoinsChannels() const { return false; }
  // Filters both channels of a stereo block in place, in one call; by default one after the other.
  virtual void ProcessJoined(ChannelBlock& left, ChannelBlock& right);
  // Recomputes everything that follows from the parameters; called with the lock held.
  virtual void Update() = 0;

  // Lock, Update, unlock: makes a parameter change take effect.
  void Apply();

  // Appends a parameter: its storage inside the concrete object and its description (which gives the
  // name and the size, and must outlive the filter).
  void AddParameter(void* storage, const TParameterDescription& description);
  // The storage of the first parameter whose name matches, letter case ignored; null if none.
  void* FindParameter(std::string_view name) const;
  // Copies every parameter's bytes from a filter of the same class, then Apply.
  void CopyParameters(const TFilter& source);

  // The filter record: Type as int32, then every parameter's bytes in table order.
  virtual void Save(TByteWriter& out);
  // Reads a filter record. A different type, a short record or values the class refuses raise
  // TFilterError(MsgBadFileFormat) and leave every parameter as it was.
  virtual void Load(TByteReader& in);

  // A new filter of the same type at the same rate, with the default parameters; what the
  // frequency-response measurement copies. Null for a filter that cannot make one.
  virtual std::unique_ptr<TFilter> NewOfType() const;
  // The delay in samples that the filter reports of itself, where it reports one (a plug-in that
  // says so); the user-interface thread.
  virtual std::optional<int32_t> ReportedLatency() const { return std::nullopt; }

  int32_t Type() const { return type; }
  // What the program knows of the filter's type; null before Describe.
  const TFilterDescriptor* Descriptor() const { return descriptor; }
  int32_t SampleRate() const { return sampleRate; }
  // A filter that must be remade for a new rate does so here, off every lock the worker takes.
  virtual void SetSampleRate(int32_t rate) { sampleRate = rate; }
  int32_t StateLength() const { return stateLength; }
  int32_t ParameterCount() const { return parameterCount; }
  const TParameter& Parameter(int index) const { return parameters[index]; }
  // The lowest value parameter `index` may take now: its description's minimum, or the value of the
  // parameter it may not be below.
  double LowerBound(int index) const;
  // Bytes of all parameters together: the record size less the 4 bytes of the type.
  int32_t ParameterBytes() const;
  float* ChannelState(int channel) { return channelState[channel].data(); }
  const float* ChannelState(int channel) const { return channelState[channel].data(); }
  std::recursive_mutex& Lock() const { return lock; }
  // Whether the current parameter values are ones the filter accepts from a file or the command line.
  bool Validate() const { return ParametersValid(); }

protected:
  // Whether the values now in the parameter storage keep the filter sound; Load refuses others. Every
  // value within its description; a class adds what ties its parameters together.
  virtual bool ParametersValid() const;
  // What a catalogue class's constructor calls once: takes the descriptor and its type and registers
  // its parameters in the order of its table, parameter i stored at storage[i], in place of any
  // registered before. The descriptor must outlive the filter.
  void Describe(const TFilterDescriptor& descriptor, std::initializer_list<void*> storage);
  void Describe(const TFilterDescriptor& descriptor, std::span<void* const> storage);

  int32_t type = -1; // catalogue index (a plug-in slot: its record kind), set by Describe

private:
  const TFilterDescriptor* descriptor = nullptr;
  std::vector<TParameter> parameters;
  int32_t parameterCount = 0;
  int32_t stateLength = 0;
  int32_t sampleRate;
  mutable std::recursive_mutex lock;
  std::array<std::vector<float>, 2> channelState;
};

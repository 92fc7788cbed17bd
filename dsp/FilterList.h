#pragma once
// TFilterList: the chain of one processing set-up, up to 16 filters with enable flags.
//
// ProcessBlock converts interleaved 8- or 16-bit PCM to one float plane per channel (no scaling),
// lets every enabled filter process channel 0, then channel 1, and converts back with saturation
// and truncation toward zero.
//
// Threads: the worker calls ProcessBlock, which holds the list's lock for the whole block and each
// filter's lock around its Process. The user-interface thread calls every other operation; Add,
// Delete, Clear, Swap and Load take the list's lock. SetEnabled, IsEnabled, Count and Item take no
// list lock (the flags are atomic); SetEnabled takes the filter's lock through ClearState.

#include "dsp/ByteStreams.h"
#include "dsp/Filter.h"
#include "dsp/WaveFormat.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class TFilterList {
public:
  static constexpr int MaxFilters = 16;

  explicit TFilterList(int32_t sampleRate);
  ~TFilterList();
  TFilterList(const TFilterList&) = delete;
  TFilterList& operator=(const TFilterList&) = delete;

  // Appends an enabled filter and takes ownership. A full chain raises TFilterError(MsgChainFull)
  // and changes nothing.
  void Add(std::unique_ptr<TFilter> filter);
  void Delete(int index);
  void Clear();
  void Swap(int i, int j);
  // Switching a filter off clears its state, so that it restarts from silence.
  void SetEnabled(int index, bool on);
  bool IsEnabled(int index) const { return enabled[index].load(std::memory_order_relaxed) == 1; }
  int Count() const { return count.load(); }
  TFilter* Item(int index) const { return items[index].get(); }
  int32_t SampleRate() const { return sampleRate; }

  // The block operation, in place on interleaved PCM bytes.
  void ProcessBlock(uint8_t* data, int32_t frames, const TWaveFormat& format);

  // The chain record: Count, then per filter its Type and its filter record, then 16 enable bytes.
  void Save(TByteWriter& out) const;
  // Replaces the chain. On a format error (TFilterError(MsgBadFileFormat)) the list keeps what it
  // holds at that moment.
  void Load(TByteReader& in);

  std::recursive_mutex& Lock() const { return lock; }

private:
  int32_t sampleRate;
  std::atomic<int> count{0};
  std::array<std::unique_ptr<TFilter>, MaxFilters> items;
  std::array<std::atomic<uint8_t>, MaxFilters> enabled{};
  mutable std::recursive_mutex lock;
  std::vector<float> planes; // reused float planes, grown under the lock
};

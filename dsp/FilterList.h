// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TFilterList: the chain of one processing set-up, up to 16 filters with enable flags.
//
// ProcessBlock converts interleaved 8- or 16-bit PCM to one float plane per channel (no scaling),
// lets every enabled filter process each channel in list order, and converts back with saturation
// and truncation toward zero. The two channels of a stereo block are independent (every filter keeps
// its state and scratch per channel), so channel 1 runs on a helper thread of the list while the
// calling thread runs channel 0 (or on the calling thread after channel 0, if the helper has not
// started it by then); the result is the same as channel 0 first, then channel 1. A filter that joins
// the channels (a stereo plug-in) takes both on the calling thread once the filters before it are
// done with both; the channels part again after it.
//
// Threads: the worker calls ProcessBlock, which holds the list's lock for the whole block. A mono
// block takes each filter's lock around its Process; a stereo block takes the locks of all filters
// (in the order of their addresses) for the whole block, on the calling thread, while both channels
// run. The helper thread takes no lock of a filter: it only runs filters inside that window. The
// user-interface thread calls every other operation; Add, Delete, Clear and Swap take the list's
// lock, and Load takes it only to put the chain it has read and built in place. SetEnabled, IsEnabled, Count
// and Item take no list lock (the flags are atomic); SetEnabled takes the filter's lock through ClearState.
// Lock order: the list's lock, then filters' locks; a thread other than the worker holds at most one filter's
// lock at a time (holding one while taking another could meet the worker holding them in the opposite order).

#include "dsp/ByteStreams.h"
#include "dsp/Filter.h"
#include "dsp/WaveFormat.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Makes the filter of a settings record's type at a sample rate, or nothing for a type it does not
// know. The filter base knows no concrete filter: the layer above hands its catalogue in.
using TFilterFactory = std::function<std::unique_ptr<TFilter>(int32_t type, int32_t sampleRate)>;

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
  // Samples that ProcessBlock saturated when converting back, since construction. Any thread.
  uint64_t ClippedSamples() const { return clipped.load(std::memory_order_relaxed); }

  // The chain record: Count, then per filter its Type and its filter record, then 16 enable bytes.
  void Save(TByteWriter& out) const;
  // Replaces the chain with the one read, its filters made by `create`, in one step once it is read
  // whole and every filter in it is built; a format error or a type `create` does not know
  // (TFilterError(MsgBadFileFormat)) leaves the list as it was.
  void Load(TByteReader& in, const TFilterFactory& create);

  std::recursive_mutex& Lock() const { return lock; }

  // Runs first thing on the second channel's helper thread when it starts (the engine asks for
  // real-time scheduling there). Set before the first ProcessBlock.
  void SetHelperThreadStart(std::function<void()> start) { helperStart = std::move(start); }

private:
  // Runs the enabled filters of slots from..to-1 in list order over the plane of channel c. With
  // lockEach, each filter's lock is taken around its Process; otherwise the caller holds them all.
  void ProcessChannel(float* plane, int32_t frames, const TWaveFormat& format, int c, int from, int to,
                      bool lockEach);
  // Slots from..to-1 over both planes: channel 1 on the helper (when there is one) while this thread
  // does channel 0; returns when both are done.
  void ProcessBothChannels(float* left, float* right, int32_t frames, const TWaveFormat& format, int from,
                           int to, bool helper);
  // A stereo block: the channels apart, joined at each filter that joins them.
  void ProcessStereo(float* left, float* right, int32_t frames, const TWaveFormat& format);
  // Starts the helper thread on the first stereo block; false if it cannot be started.
  bool EnsureChannelThread();
  void ChannelThreadLoop();

  int32_t sampleRate;
  std::atomic<int> count{0};
  std::array<std::unique_ptr<TFilter>, MaxFilters> items;
  std::array<std::atomic<uint8_t>, MaxFilters> enabled{};
  mutable std::recursive_mutex lock;
  std::vector<float> planes; // reused float planes, grown under the lock
  std::atomic<uint64_t> clipped{0};

  // The helper thread for channel 1 and its handshake, all under channelMutex. Each stereo block
  // posts a job (a new generation, unclaimed); whichever thread comes first claims it: the helper
  // when it wakes, or the calling thread once channel 0 is done. So a helper that the system does
  // not schedule in time costs no waiting, and the calling thread waits only for a job the helper has
  // claimed (helperBusy).
  std::thread channelThread;
  std::mutex channelMutex;
  std::condition_variable channelWake;
  std::condition_variable channelIdle;
  uint64_t jobGeneration = 0;
  bool jobClaimed = true;
  bool helperBusy = false;
  bool channelQuit = false;
  float* jobPlane = nullptr;
  int32_t jobFrames = 0;
  int jobFrom = 0; // the slots the job runs
  int jobTo = 0;
  TWaveFormat jobFormat;
  std::exception_ptr channelError;
  std::function<void()> helperStart;
};

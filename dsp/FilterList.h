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
// Threads and locks: the worker calls ProcessBlock, which holds the list's lock for the whole block and
// each filter's StateLock() while it processes: around each Process (or ProcessJoined) for a mono block
// or a stereo one without the helper, for the whole block (all of them, in the order of their addresses)
// for a stereo one with the helper, on the calling thread, while the helper thread runs channel 1 inside
// that window without a lock of its own; a joining filter runs on the calling thread inside it too. The
// worker never takes a filter's Lock(). The user-interface thread calls every other operation; Add, Delete,
// Clear and Swap hold the list's lock only to move pointers (a filter taken out is destroyed after the lock
// is released), and Load takes it only to put the chain it has read and built in place. SetEnabled,
// IsEnabled, Count and Item take no list lock (the flags are atomic); SetEnabled takes the filter's
// StateLock() through ClearState, for an exchange of buffers. Both the list's lock and the state locks
// inherit priority (TRealtimeMutex), and no one but the worker holds them for more than an O(1) step;
// parameter edits take neither (their designs go through each filter's TDesignExchange), so the
// worker waits for the user interface only for a switch, a move in the list or a load, and then at most
// that step.
// Lock order: the list's lock, a filter's Lock(), filters' StateLock(); a thread other than the worker
// holds at most one StateLock() at a time (holding one while taking another could meet the worker holding
// them in the opposite order).
//
// Prepare, before the worker starts, sizes the planes for the set-up's blocks and starts the helper
// thread of a stereo set-up, so that ProcessBlock allocates nothing and starts nothing; without it the
// first blocks do both.

#include "dsp/ByteStreams.h"
#include "dsp/Filter.h"
#include "dsp/RealtimeMutex.h"
#include "dsp/WaveFormat.h"

#include <array>
#include <atomic>
#include <chrono>
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

  // Makes ready for blocks of up to `frames` frames of `channels` channels: the planes, and for two
  // channels the helper thread. User-interface thread, before the blocks.
  void Prepare(int32_t frames, int channels);
  // The block operation, in place on interleaved PCM bytes.
  void ProcessBlock(uint8_t* data, int32_t frames, const TWaveFormat& format);
  // The longest time ProcessBlock waited for a filter's StateLock() held by another thread, in
  // nanoseconds, since construction or the last reset. Any thread.
  int64_t LongestFilterWaitNs() const { return longestWaitNs.load(std::memory_order_relaxed); }
  void ResetLongestFilterWait() { longestWaitNs.store(0, std::memory_order_relaxed); }
  // Samples that ProcessBlock saturated when converting back, since construction. Any thread.
  uint64_t ClippedSamples() const { return clipped.load(std::memory_order_relaxed); }

  // The chain record: Count, then per filter its Type and its filter record, then 16 enable bytes.
  void Save(TByteWriter& out) const;
  // Replaces the chain with the one read, its filters made by `create`, in one step once it is read
  // whole and every filter in it is built; a format error or a type `create` does not know
  // (TFilterError(MsgBadFileFormat)) leaves the list as it was.
  void Load(TByteReader& in, const TFilterFactory& create);

  TRealtimeRecursiveMutex& Lock() const { return lock; }

  // Runs first thing on the second channel's helper thread when it starts (the engine asks for
  // real-time scheduling there). Set before the first ProcessBlock.
  void SetHelperThreadStart(std::function<void()> start) { helperStart = std::move(start); }

private:
  // Runs the enabled filters of slots from..to-1 in list order over the plane of channel c. With
  // lockEach, each filter's StateLock() is taken around its Process; otherwise the caller holds them all.
  void ProcessChannel(float* plane, int32_t frames, const TWaveFormat& format, int c, int from, int to,
                      bool lockEach);
  // Slots from..to-1 over both planes: channel 1 on the helper (when there is one) while this thread
  // does channel 0; returns when both are done.
  void ProcessBothChannels(float* left, float* right, int32_t frames, const TWaveFormat& format, int from,
                           int to, bool helper);
  // A stereo block: the channels apart, joined at each filter that joins them (under its StateLock()).
  void ProcessStereo(float* left, float* right, int32_t frames, const TWaveFormat& format);
  // Starts the helper thread (at Prepare, or on the first stereo block); false if it cannot be started.
  bool EnsureChannelThread();
  void ChannelThreadLoop();
  // Takes a filter's StateLock(), noting how long that took when another thread held it.
  void TakeStateLock(TRealtimeMutex& lock);

  int32_t sampleRate;
  std::atomic<int> count{0};
  std::array<std::unique_ptr<TFilter>, MaxFilters> items;
  std::array<std::atomic<uint8_t>, MaxFilters> enabled{};
  mutable TRealtimeRecursiveMutex lock;
  std::vector<float> planes; // reused float planes, grown under the lock (once, at Prepare)
  std::atomic<uint64_t> clipped{0};
  std::atomic<int64_t> longestWaitNs{0};

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

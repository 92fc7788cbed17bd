// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/FilterList.h"

#include "dsp/FilterError.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <system_error>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

TFilterList::TFilterList(int32_t sampleRate) : sampleRate(sampleRate) {}

TFilterList::~TFilterList() {
  Clear();
  if (channelThread.joinable()) {
    {
      const std::lock_guard guard(channelMutex);
      channelQuit = true;
    }
    channelWake.notify_one();
    channelThread.join();
  }
}

void TFilterList::Add(std::unique_ptr<TFilter> filter) {
  if (count >= MaxFilters) {
    throw TFilterError(MsgChainFull);
  }
  if (filter->SampleRate() != sampleRate) {
    filter->SetSampleRate(sampleRate); // off the lock: a plug-in is made anew for the rate
  }
  std::lock_guard guard(lock);
  if (count >= MaxFilters) {
    throw TFilterError(MsgChainFull);
  }
  enabled[count].store(1);
  items[count] = std::move(filter);
  ++count;
}

void TFilterList::Delete(int index) {
  std::lock_guard guard(lock);
  if (index < 0 || index >= count) {
    return;
  }
  items[index].reset();
  for (int i = index; i < MaxFilters - 1; ++i) {
    items[i] = std::move(items[i + 1]);
    enabled[i].store(enabled[i + 1].load());
  }
  items[MaxFilters - 1].reset();
  --count;
}

void TFilterList::Clear() {
  std::lock_guard guard(lock);
  for (auto& item : items) {
    item.reset();
  }
  count = 0;
}

void TFilterList::Swap(int i, int j) {
  std::lock_guard guard(lock);
  if (i < 0 || j < 0 || i >= count || j >= count) {
    return;
  }
  std::swap(items[i], items[j]);
  const uint8_t flag = enabled[i].load();
  enabled[i].store(enabled[j].load());
  enabled[j].store(flag);
}

void TFilterList::SetEnabled(int index, bool on) {
  if (index < 0 || index >= count) {
    return;
  }
  enabled[index].store(on ? 1 : 0);
  if (!on && items[index]) {
    items[index]->ClearState();
  }
}

namespace {

// Float back to PCM: clamp (NaN goes to the lower bound), then truncate toward zero.
inline int16_t SaturateTo16(float v) {
  if (!(v >= -32768.0f)) {
    return -32768;
  }
  if (v > 32767.0f) {
    return 32767;
  }
  return static_cast<int16_t>(v);
}

inline uint8_t SaturateTo8(float v) {
  if (!(v >= -128.0f)) {
    v = -128.0f;
  } else if (v > 127.0f) {
    v = 127.0f;
  }
  return static_cast<uint8_t>(v + 128.0f);
}

// Interleaved PCM to one plane per channel, on the integer scale.
void ToPlanes(const uint8_t* data, size_t n, int channels, bool eightBit, float* planes) {
  size_t j0 = 0;
#if defined(__SSE2__)
  if (!eightBit && channels == 2) {
    // Four stereo frames per step: the low halves of the 32-bit lanes are channel 0, the high halves
    // channel 1 (little-endian samples).
    for (; j0 + 3 < n; j0 += 4) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 4 * j0));
      _mm_storeu_ps(planes + j0, _mm_cvtepi32_ps(_mm_srai_epi32(_mm_slli_epi32(v, 16), 16)));
      _mm_storeu_ps(planes + n + j0, _mm_cvtepi32_ps(_mm_srai_epi32(v, 16)));
    }
  }
#endif
  for (int c = 0; c < channels; ++c) {
    float* plane = planes + static_cast<size_t>(c) * n;
    if (eightBit) {
      const uint8_t* s = data + c;
      for (size_t j = j0; j < n; ++j) {
        plane[j] = static_cast<float>(static_cast<int>(s[j * channels]) - 128);
      }
    } else {
      const uint8_t* s = data + 2 * c;
      for (size_t j = j0; j < n; ++j) {
        const uint8_t* p = s + 2 * j * channels;
        plane[j] = static_cast<float>(static_cast<int16_t>(p[0] | (p[1] << 8)));
      }
    }
  }
}

// The planes back to interleaved PCM with saturation; returns how many samples saturated, that is
// lay beyond what truncation toward zero keeps in range (not-a-number included).
uint64_t FromPlanes(const float* planes, size_t n, int channels, bool eightBit, uint8_t* data) {
  uint64_t saturated = 0;
  size_t j0 = 0;
#if defined(__SSE2__)
  if (!eightBit && channels == 2) {
    // max(v, lo) gives lo for NaN as SaturateTo16 does; the clamped values pack without change.
    const __m128 lo = _mm_set1_ps(-32768.0f);
    const __m128 hi = _mm_set1_ps(32767.0f);
    // In range: -32769 < v < 32768 (false for NaN). A lane in range is all ones, -1, so subtracting
    // the masks counts the samples in range.
    const __m128 below = _mm_set1_ps(-32769.0f);
    const __m128 above = _mm_set1_ps(32768.0f);
    __m128i inRangeLanes = _mm_setzero_si128();
    for (; j0 + 3 < n; j0 += 4) {
      const __m128 a = _mm_loadu_ps(planes + j0);
      const __m128 b = _mm_loadu_ps(planes + n + j0);
      const __m128 aIn = _mm_and_ps(_mm_cmpgt_ps(a, below), _mm_cmplt_ps(a, above));
      const __m128 bIn = _mm_and_ps(_mm_cmpgt_ps(b, below), _mm_cmplt_ps(b, above));
      inRangeLanes = _mm_sub_epi32(inRangeLanes, _mm_castps_si128(aIn));
      inRangeLanes = _mm_sub_epi32(inRangeLanes, _mm_castps_si128(bIn));
      const __m128i l = _mm_cvttps_epi32(_mm_min_ps(_mm_max_ps(a, lo), hi));
      const __m128i r = _mm_cvttps_epi32(_mm_min_ps(_mm_max_ps(b, lo), hi));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(data + 4 * j0),
                       _mm_packs_epi32(_mm_unpacklo_epi32(l, r), _mm_unpackhi_epi32(l, r)));
    }
    // The rest of the 2 * j0 samples saturated.
    alignas(16) int32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), inRangeLanes);
    const uint64_t inRange = static_cast<uint64_t>(static_cast<uint32_t>(lanes[0])) +
                             static_cast<uint32_t>(lanes[1]) + static_cast<uint32_t>(lanes[2]) +
                             static_cast<uint32_t>(lanes[3]);
    saturated += 2 * j0 - inRange;
  }
#endif
  for (int c = 0; c < channels; ++c) {
    const float* plane = planes + static_cast<size_t>(c) * n;
    if (eightBit) {
      uint8_t* d = data + c;
      for (size_t j = j0; j < n; ++j) {
        const float v = plane[j];
        saturated += !(v > -129.0f && v < 128.0f);
        d[j * channels] = SaturateTo8(v);
      }
    } else {
      uint8_t* d = data + 2 * c;
      for (size_t j = j0; j < n; ++j) {
        const float v = plane[j];
        saturated += !(v > -32769.0f && v < 32768.0f);
        const auto u = static_cast<uint16_t>(SaturateTo16(v));
        uint8_t* p = d + 2 * j * channels;
        p[0] = static_cast<uint8_t>(u);
        p[1] = static_cast<uint8_t>(u >> 8);
      }
    }
  }
  return saturated;
}

// The locks of a set of filters, taken in the order of their addresses and released in reverse. Slot
// order would change with every Swap, so two blocks could take the same two locks in opposite orders;
// the address order is one order for the life of the filters.
class TFilterLocks {
public:
  TFilterLocks() = default;
  TFilterLocks(const TFilterLocks&) = delete;
  TFilterLocks& operator=(const TFilterLocks&) = delete;
  ~TFilterLocks() {
    while (held > 0) {
      locks[static_cast<size_t>(--held)]->unlock();
    }
  }
  void Add(std::recursive_mutex& lock) { locks[static_cast<size_t>(count++)] = &lock; }
  void TakeAll() {
    std::sort(locks.begin(), locks.begin() + count, std::less<std::recursive_mutex*>());
    for (; held < count; ++held) {
      locks[static_cast<size_t>(held)]->lock();
    }
  }

private:
  std::array<std::recursive_mutex*, TFilterList::MaxFilters> locks{};
  int count = 0;
  int held = 0;
};

} // namespace

void TFilterList::ProcessChannel(float* plane, int32_t frames, const TWaveFormat& format, int c, int from,
                                 int to, bool lockEach) {
  for (int j = from; j < to; ++j) {
    TFilter* filter = items[j].get();
    // A flag switched during the block takes effect from the next visit on.
    if (filter == nullptr || enabled[j].load(std::memory_order_relaxed) != 1) {
      continue;
    }
    ChannelBlock block{format, plane, frames};
    if (lockEach) {
      std::lock_guard filterGuard(filter->Lock());
      filter->Process(block, c);
    } else {
      filter->Process(block, c);
    }
  }
}

bool TFilterList::EnsureChannelThread() {
  if (!channelThread.joinable()) {
    try {
      channelThread = std::thread(&TFilterList::ChannelThreadLoop, this);
    } catch (const std::system_error&) {
      return false; // no thread to be had: both channels run here
    }
  }
  return true;
}

void TFilterList::ChannelThreadLoop() {
  if (helperStart) {
    helperStart();
  }
  uint64_t seen = 0;
  std::unique_lock guard(channelMutex);
  for (;;) {
    channelWake.wait(guard, [&] { return channelQuit || jobGeneration != seen; });
    if (channelQuit) {
      return;
    }
    seen = jobGeneration;
    if (jobClaimed) {
      continue; // the calling thread got there first
    }
    jobClaimed = true;
    helperBusy = true;
    float* const plane = jobPlane;
    const int32_t frames = jobFrames;
    const TWaveFormat format = jobFormat;
    const int from = jobFrom;
    const int to = jobTo;
    guard.unlock();
    std::exception_ptr error;
    try {
      ProcessChannel(plane, frames, format, 1, from, to, false);
    } catch (...) {
      error = std::current_exception();
    }
    guard.lock();
    channelError = std::move(error);
    helperBusy = false;
    channelIdle.notify_one();
  }
}

void TFilterList::ProcessBothChannels(float* left, float* right, int32_t frames, const TWaveFormat& format,
                                      int from, int to, bool helper) {
  if (from >= to) {
    return;
  }
  if (!helper) {
    ProcessChannel(left, frames, format, 0, from, to, true);
    ProcessChannel(right, frames, format, 1, from, to, true);
    return;
  }
  {
    const std::lock_guard job(channelMutex);
    jobPlane = right;
    jobFrames = frames;
    jobFormat = format;
    jobFrom = from;
    jobTo = to;
    jobClaimed = false;
    ++jobGeneration;
  }
  channelWake.notify_one();
  std::exception_ptr error;
  try {
    ProcessChannel(left, frames, format, 0, from, to, false);
  } catch (...) {
    error = std::current_exception();
  }
  bool mine = false;
  {
    std::unique_lock job(channelMutex);
    mine = !jobClaimed;
    jobClaimed = true;
    if (!mine) {
      channelIdle.wait(job, [this] { return !helperBusy; }); // channel 1 is done with planes and filters
      std::exception_ptr helperError = std::exchange(channelError, nullptr);
      if (!error) {
        error = std::move(helperError);
      }
    }
  }
  if (mine && !error) {
    ProcessChannel(right, frames, format, 1, from, to, false);
  }
  if (error) {
    std::rethrow_exception(error);
  }
}

void TFilterList::ProcessStereo(float* left, float* right, int32_t frames, const TWaveFormat& format) {
  const bool helper = EnsureChannelThread();
  // With the helper: every filter's lock for the whole block, taken here after the list's lock: the
  // order of the framework. The user-interface thread never holds a filter's lock while it waits for
  // the list's lock or another filter's (SetEnabled, Apply, Load and Save of a filter take only that
  // filter's lock; the list's Load takes the list's lock first), so this cannot deadlock. Disabled
  // filters are locked too, so that one switched on during the block is guarded when it runs.
  TFilterLocks filterLocks;
  if (helper) {
    for (int j = 0; j < count; ++j) {
      if (items[j]) {
        filterLocks.Add(items[j]->Lock());
      }
    }
    filterLocks.TakeAll();
  }
  // The channels run apart up to a filter that joins them; it takes both once everything before it
  // has done both, and the channels part again after it.
  int from = 0;
  for (int j = 0; j < count; ++j) {
    TFilter* filter = items[j].get();
    if (filter == nullptr || !filter->JoinsChannels()) {
      continue;
    }
    ProcessBothChannels(left, right, frames, format, from, j, helper);
    from = j + 1;
    if (enabled[j].load(std::memory_order_relaxed) != 1) {
      continue;
    }
    ChannelBlock l{format, left, frames};
    ChannelBlock r{format, right, frames};
    if (helper) {
      filter->ProcessJoined(l, r);
    } else {
      const std::lock_guard filterGuard(filter->Lock());
      filter->ProcessJoined(l, r);
    }
  }
  ProcessBothChannels(left, right, frames, format, from, count, helper);
}

void TFilterList::ProcessBlock(uint8_t* data, int32_t frames, const TWaveFormat& format) {
  if (frames <= 0) {
    return;
  }
  // The count is read under the lock, which every edit of the list holds.
  std::lock_guard guard(lock);
  if (count == 0) {
    return; // an empty chain leaves every byte as it is
  }
  const int channels = format.nChannels;
  const bool eightBit = format.wBitsPerSample == 8;
  const size_t n = static_cast<size_t>(frames);
  planes.resize(n * static_cast<size_t>(channels));
  ToPlanes(data, n, channels, eightBit, planes.data());

  if (channels == 2) {
    ProcessStereo(planes.data(), planes.data() + n, frames, format);
  } else if (channels == 1) {
    ProcessChannel(planes.data(), frames, format, 0, 0, count, true);
  }

  const uint64_t saturated = FromPlanes(planes.data(), n, channels, eightBit, data);
  if (saturated != 0) {
    clipped.fetch_add(saturated, std::memory_order_relaxed);
  }
}

void TFilterList::Save(TByteWriter& out) const {
  WriteInt32(out, count);
  for (int i = 0; i < count; ++i) {
    WriteInt32(out, items[i]->Type());
    items[i]->Save(out);
  }
  uint8_t flags[MaxFilters];
  for (int i = 0; i < MaxFilters; ++i) {
    flags[i] = enabled[i].load();
  }
  out.Write(flags, MaxFilters);
}

void TFilterList::Load(TByteReader& in, const TFilterFactory& create) {
  // Read and built aside, off the lock (reading the file and designing the filters take long); only
  // a whole, valid chain replaces this one, in one step under the lock.
  int32_t n = 0;
  if (!ReadInt32(in, n) || n < 0 || n > MaxFilters) {
    throw TFilterError(MsgBadFileFormat);
  }
  std::array<std::unique_ptr<TFilter>, MaxFilters> loaded;
  for (int32_t i = 0; i < n; ++i) {
    int32_t type = 0;
    std::unique_ptr<TFilter> filter;
    if (ReadInt32(in, type)) {
      filter = create(type, sampleRate);
    }
    if (!filter) {
      throw TFilterError(MsgBadFileFormat);
    }
    filter->Load(in); // a mismatching or refused record ends the load
    if (filter->SampleRate() != sampleRate) {
      filter->SetSampleRate(sampleRate);
    }
    loaded[static_cast<size_t>(i)] = std::move(filter);
  }
  uint8_t flags[MaxFilters];
  if (in.Read(flags, MaxFilters) != MaxFilters) {
    throw TFilterError(MsgBadFileFormat);
  }
  {
    std::lock_guard guard(lock);
    items.swap(loaded);
    count = n;
    for (int i = 0; i < MaxFilters; ++i) {
      enabled[i].store(flags[i]);
    }
  }
  // The filters replaced go here, after the lock.
}

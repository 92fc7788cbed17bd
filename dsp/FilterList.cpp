#include "dsp/FilterList.h"

#include "dsp/FilterCatalogue.h"
#include "dsp/FilterError.h"

#include <algorithm>
#include <cstring>

TFilterList::TFilterList(int32_t sampleRate) : sampleRate(sampleRate) {}

TFilterList::~TFilterList() {
  Clear();
}

void TFilterList::Add(std::unique_ptr<TFilter> filter) {
  std::lock_guard guard(lock);
  if (count >= MaxFilters) {
    throw TFilterError(MsgChainFull);
  }
  filter->SetSampleRate(sampleRate);
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

} // namespace

void TFilterList::ProcessBlock(uint8_t* data, int32_t frames, const TWaveFormat& format) {
  if (count == 0 || frames <= 0) {
    return; // an empty chain leaves every byte as it is
  }
  std::lock_guard guard(lock);
  if (count == 0) {
    return;
  }
  const int channels = format.nChannels;
  const bool eightBit = format.wBitsPerSample == 8;
  const size_t n = static_cast<size_t>(frames);
  planes.resize(n * static_cast<size_t>(channels));

  // Interleaved PCM to one plane per channel, on the integer scale.
  for (int c = 0; c < channels; ++c) {
    float* plane = planes.data() + static_cast<size_t>(c) * n;
    if (eightBit) {
      const uint8_t* s = data + c;
      for (size_t j = 0; j < n; ++j) {
        plane[j] = static_cast<float>(static_cast<int>(s[j * channels]) - 128);
      }
    } else {
      const uint8_t* s = data + 2 * c;
      for (size_t j = 0; j < n; ++j) {
        const uint8_t* p = s + 2 * j * channels;
        plane[j] = static_cast<float>(static_cast<int16_t>(p[0] | (p[1] << 8)));
      }
    }
  }

  // Channel-major: every enabled filter on channel 0, then on channel 1. Filters keep state for two
  // channels only.
  for (int c = 0; c < std::min(channels, 2); ++c) {
    for (int j = 0; j < count; ++j) {
      TFilter* filter = items[j].get();
      if (filter == nullptr || enabled[j].load(std::memory_order_relaxed) != 1) {
        continue;
      }
      ChannelBlock block{format, planes.data() + static_cast<size_t>(c) * n, frames};
      std::lock_guard filterGuard(filter->Lock());
      filter->Process(block, c);
    }
  }

  for (int c = 0; c < channels; ++c) {
    const float* plane = planes.data() + static_cast<size_t>(c) * n;
    if (eightBit) {
      uint8_t* d = data + c;
      for (size_t j = 0; j < n; ++j) {
        d[j * channels] = SaturateTo8(plane[j]);
      }
    } else {
      uint8_t* d = data + 2 * c;
      for (size_t j = 0; j < n; ++j) {
        const auto v = static_cast<uint16_t>(SaturateTo16(plane[j]));
        uint8_t* p = d + 2 * j * channels;
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
      }
    }
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

void TFilterList::Load(TByteReader& in) {
  std::lock_guard guard(lock);
  Clear();
  int32_t n = 0;
  if (!ReadInt32(in, n) || n < 0 || n > MaxFilters) {
    throw TFilterError(MsgBadFileFormat);
  }
  for (int32_t i = 0; i < n; ++i) {
    int32_t type = 0;
    std::unique_ptr<TFilter> filter;
    if (ReadInt32(in, type)) {
      filter = CreateFilter(type, sampleRate);
    }
    if (!filter) {
      Clear();
      throw TFilterError(MsgBadFileFormat);
    }
    filter->Load(in); // a mismatching or refused record keeps the filters read so far
    Add(std::move(filter));
  }
  uint8_t flags[MaxFilters];
  if (in.Read(flags, MaxFilters) != MaxFilters) {
    throw TFilterError(MsgBadFileFormat);
  }
  for (int i = 0; i < MaxFilters; ++i) {
    enabled[i].store(flags[i]);
  }
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/Filter.h"

#include "dsp/FilterDescriptor.h"
#include "dsp/FilterError.h"

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cstring>

static bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

TFilter::TFilter(int32_t sampleRate) : sampleRate(sampleRate) {}

void TFilter::SetStateLength(int32_t n) {
  if (n == stateLength) {
    return;
  }
  std::lock_guard guard(lock);
  stateLength = n;
  for (auto& state : channelState) {
    state.assign(static_cast<size_t>(std::max(n, 0)), 0.0f);
  }
  ClearState();
}

void TFilter::ClearState() {
  if (stateLength == 0) {
    return;
  }
  std::lock_guard guard(lock);
  for (auto& state : channelState) {
    std::fill(state.begin(), state.end(), 0.0f);
  }
}

void TFilter::Apply() {
  std::lock_guard guard(lock);
  Update();
}

void TFilter::AddParameter(void* storage, const TParameterDescription& description) {
  parameters.push_back(TParameter{storage, StorageSize(description), description.Name, &description});
  ++parameterCount;
}

void TFilter::Describe(const TFilterDescriptor& descriptor, std::initializer_list<void*> storage) {
  Describe(descriptor, std::span<void* const>(storage.begin(), storage.size()));
}

void TFilter::Describe(const TFilterDescriptor& described, std::span<void* const> storage) {
  assert(storage.size() == described.Parameters.size());
  descriptor = &described;
  type = described.Type;
  parameters.clear();
  parameterCount = 0;
  const size_t n = std::min(storage.size(), described.Parameters.size());
  parameters.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    AddParameter(storage[i], *described.Parameters[i]);
  }
}

void TFilter::ProcessJoined(ChannelBlock& left, ChannelBlock& right) {
  Process(left, 0);
  Process(right, 1);
}

std::unique_ptr<TFilter> TFilter::NewOfType() const {
  return descriptor != nullptr && descriptor->Create != nullptr ? descriptor->Create(sampleRate) : nullptr;
}

double TFilter::LowerBound(int index) const {
  const TParameterDescription& d = *parameters[index].Description;
  if (d.AtLeast != nullptr) {
    for (int i = 0; i < parameterCount; ++i) {
      if (EqualIgnoringCase(parameters[i].Name, d.AtLeast)) {
        const TParameterDescription& other = *parameters[i].Description;
        return std::max(d.Minimum, ValueAt(other, parameters[i].Storage));
      }
    }
  }
  return d.Minimum;
}

bool TFilter::ParametersValid() const {
  for (int i = 0; i < parameterCount; ++i) {
    const TParameterDescription& d = *parameters[i].Description;
    for (int32_t k = 0; k < d.Count; ++k) {
      const double v = ValueAt(d, parameters[i].Storage, k);
      if (!Accepted(d, v, sampleRate) || (d.AtLeast != nullptr && v < LowerBound(i))) {
        return false;
      }
    }
  }
  return true;
}

void* TFilter::FindParameter(std::string_view name) const {
  for (int i = 0; i < parameterCount; ++i) {
    if (EqualIgnoringCase(parameters[i].Name, name)) {
      return parameters[i].Storage;
    }
  }
  return nullptr;
}

int32_t TFilter::ParameterBytes() const {
  int32_t total = 0;
  for (int i = 0; i < parameterCount; ++i) {
    total += parameters[i].Size;
  }
  return total;
}

void TFilter::CopyParameters(const TFilter& source) {
  for (int i = 0; i < parameterCount && i < source.parameterCount; ++i) {
    std::memcpy(parameters[i].Storage, source.parameters[i].Storage, static_cast<size_t>(parameters[i].Size));
  }
  Apply();
}

void TFilter::Save(TByteWriter& out) {
  std::lock_guard guard(lock);
  WriteInt32(out, type);
  for (int i = 0; i < parameterCount; ++i) {
    out.Write(parameters[i].Storage, static_cast<size_t>(parameters[i].Size));
  }
}

void TFilter::Load(TByteReader& in) {
  std::lock_guard guard(lock);
  int32_t fileType = 0;
  if (!ReadInt32(in, fileType) || fileType != type) {
    throw TFilterError(MsgBadFileFormat);
  }
  // Read into a scratch copy; the parameters change only once the whole record is in and valid.
  std::vector<uint8_t> incoming(static_cast<size_t>(ParameterBytes()));
  if (in.Read(incoming.data(), incoming.size()) != incoming.size()) {
    throw TFilterError(MsgBadFileFormat);
  }
  std::vector<uint8_t> previous(incoming.size());
  size_t offset = 0;
  for (int i = 0; i < parameterCount; ++i) {
    const auto size = static_cast<size_t>(parameters[i].Size);
    std::memcpy(previous.data() + offset, parameters[i].Storage, size);
    std::memcpy(parameters[i].Storage, incoming.data() + offset, size);
    offset += size;
  }
  if (!ParametersValid()) {
    offset = 0;
    for (int i = 0; i < parameterCount; ++i) {
      const auto size = static_cast<size_t>(parameters[i].Size);
      std::memcpy(parameters[i].Storage, previous.data() + offset, size);
      offset += size;
    }
    throw TFilterError(MsgBadFileFormat);
  }
  Update();
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/lv2/PluginSlot.h"

#include "dsp/FilterError.h"
#include "filters/FilterCatalogue.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <utility>

namespace {

// Bounds of the fields of a record, past which it is malformed.
constexpr int32_t MaxUriBytes = 4096;
constexpr int32_t MaxSymbolBytes = 1024;
// Frames of silence the latency is measured over.
constexpr uint32_t LatencyProbeFrames = 64;

constexpr const char* SwitchChoices[] = {"выключено", "включено"};

// A string field: its length (int32, 1..maxBytes), then its bytes.
bool ReadString(TByteReader& in, int32_t maxBytes, std::string& text) {
  int32_t length = 0;
  if (!ReadInt32(in, length) || length < 1 || length > maxBytes) {
    return false;
  }
  text.resize(static_cast<size_t>(length));
  return in.Read(text.data(), text.size()) == text.size();
}

void WriteString(TByteWriter& out, const std::string& text) {
  WriteInt32(out, static_cast<int32_t>(text.size()));
  out.Write(text.data(), text.size());
}

// The shortest decimal that reads back as the same float: what a port's 0.6f is shown, typed and saved
// as (0.6, not 0.6000000238418579); the plug-in gets the very same float from it.
double Decimal(float value) {
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value);
  double decimal = value;
  if (error == std::errc()) {
    std::from_chars(text, end, decimal);
  }
  return decimal;
}

// Digits after the separator that show a value of a range of this width to about four figures.
int32_t DecimalsFor(double width) {
  if (!(width > 0.0) || !std::isfinite(width)) {
    return 3;
  }
  return std::clamp(3 - static_cast<int32_t>(std::floor(std::log10(width))), 1, 4);
}

} // namespace

// The type of a slot: the descriptor and the descriptions made from the plug-in's data at one rate,
// with the texts they point at.
struct TPluginSlot::TSlotType {
  std::deque<std::string> texts;
  std::deque<std::vector<const char*>> choiceNames;
  std::deque<std::vector<double>> choiceValues;
  std::vector<TParameterDescription> descriptions;
  std::vector<const TParameterDescription*> table;
  TFilterDescriptor descriptor;

  const char* Keep(std::string text) { return texts.emplace_back(std::move(text)).c_str(); }
};

namespace {

TParameterDescription DescribeControl(const TControlPort& c, int32_t sampleRate,
                                      TPluginSlot::TSlotType& type) {
  constexpr double Infinite = std::numeric_limits<double>::infinity();
  const double scale = c.RateRelative ? sampleRate : 1.0;
  TParameterDescription d;
  d.Name = type.Keep(c.Symbol);
  d.Unit = c.Unit;
  const bool choice = !c.Toggled && c.Enumeration && !c.ScalePoints.empty();
  bool whole = c.Toggled || c.Integer;
  if (choice) {
    whole = std::all_of(c.ScalePoints.begin(), c.ScalePoints.end(), [&](const auto& p) {
      return Decimal(p.Value) * scale == std::trunc(Decimal(p.Value) * scale);
    });
  }
  d.Storage = whole ? TStorage::Int32 : TStorage::Double;
  double lo = c.HasMinimum ? Decimal(c.Minimum) * scale : -Infinite;
  double hi = c.HasMaximum ? Decimal(c.Maximum) * scale : Infinite;
  if (whole) {
    lo = std::ceil(lo);
    hi = std::floor(hi);
  }
  double def = c.HasDefault        ? Decimal(c.Default) * scale
               : std::isfinite(lo) ? lo
               : std::isfinite(hi) ? std::min(0.0, hi)
                                   : 0.0;
  def = std::clamp(whole ? std::round(def) : def, std::min(lo, hi), std::max(lo, hi));
  if (c.Toggled) {
    d.Set = TValueSet::Choice;
    d.Choices = SwitchChoices;
    lo = 0.0;
    hi = 1.0;
    def = def > 0.0 ? 1.0 : 0.0;
  } else if (choice) {
    std::vector<const char*>& names = type.choiceNames.emplace_back();
    std::vector<double>& values = type.choiceValues.emplace_back();
    for (const auto& p : c.ScalePoints) {
      names.push_back(type.Keep(p.Label));
      values.push_back(Decimal(p.Value) * scale);
    }
    d.Set = TValueSet::Choice;
    d.Choices = names;
    d.ChoiceValues = values;
    lo = values.front();
    hi = values.back();
    // The default is the choice nearest to the port's.
    def = *std::min_element(values.begin(), values.end(),
                            [&](double a, double b) { return std::abs(a - def) < std::abs(b - def); });
  }
  d.Minimum = lo;
  d.Maximum = hi;
  d.Default = def;
  d.Decimals = whole ? 0 : DecimalsFor(hi - lo);
  const bool bounded = std::isfinite(lo) && std::isfinite(hi);
  d.Bar = d.Set == TValueSet::Choice || !bounded || lo == hi ? TTrackScale::None
          : c.Logarithmic                                    ? TTrackScale::Logarithmic
                                                             : TTrackScale::Linear;
  const std::string unit = *UnitText(c.Unit) != '\0' ? std::string(" ") + UnitText(c.Unit) : std::string();
  d.Caption = type.Keep(c.Name + (unit.empty() ? "" : " (" + unit.substr(1) + ")") + ":");
  d.RangeMessage =
      type.Keep(bounded ? "Значение «" + c.Name + "» должно быть в пределах от %1 до %2" + unit + "."
                        : "Значение «" + c.Name + "» должно быть конечным числом.");
  d.Summary = "";
  return d;
}

std::shared_ptr<const TPluginSlot::TSlotType> MakeSlotType(const TPluginInfo& plugin, int32_t sampleRate) {
  auto type = std::make_shared<TPluginSlot::TSlotType>();
  type->descriptions.reserve(plugin.Controls.size()); // the table points into it
  for (const TControlPort& c : plugin.Controls) {
    type->descriptions.push_back(DescribeControl(c, sampleRate, *type));
  }
  for (const TParameterDescription& d : type->descriptions) {
    type->table.push_back(&d);
  }
  TFilterDescriptor& t = type->descriptor;
  t.Type = PluginSlotType;
  t.Name = type->Keep(plugin.Name);
  t.ShortName = t.Name;
  t.EnglishName = t.Name;
  t.Caption = type->Keep("Параметры модуля «" + plugin.Name + "»");
  t.Dialog = TDialogKind::Described;
  t.Parameters = type->table;
  t.Source = type->Keep(plugin.Uri);
  return type;
}

} // namespace

// One instance with the buffers its audio and control outputs are connected to.
struct TPluginSlot::TRunners {
  struct TRunner {
    std::unique_ptr<TPluginInstance> Instance;
    std::array<std::vector<float>, 2> In;
    std::array<std::vector<float>, 2> Out;
    std::vector<float> Outputs; // the control outputs, by port index
  };
  std::vector<TRunner> Runner;
};

TPluginSlot::TPluginSlot(std::shared_ptr<TPluginHost> host, std::shared_ptr<const TPluginInfo> chosen,
                         int32_t sampleRate)
    : TFilter(sampleRate), host(std::move(host)) {
  type = PluginSlotType;
  Bind(std::move(chosen));
}

TPluginSlot::TPluginSlot(std::shared_ptr<TPluginHost> host, int32_t sampleRate)
    : TFilter(sampleRate), host(std::move(host)) {
  type = PluginSlotType;
}

TPluginSlot::~TPluginSlot() = default;

std::unique_ptr<TPluginSlot::TRunners> TPluginSlot::MakeRunners(float* controls) const {
  auto made = std::make_unique<TRunners>();
  const size_t count = plugin->Mono() ? 2 : 1;
  for (size_t k = 0; k < count; ++k) {
    TRunners::TRunner r;
    r.Instance = host->Instantiate(*plugin, SampleRate());
    if (!r.Instance) {
      throw TFilterError("Модуль LV2 «" + plugin->Name + "» не удалось запустить (частота дискретизации " +
                         std::to_string(SampleRate()) +
                         " Гц): его библиотека не загрузилась или модуль отказал");
    }
    r.Outputs.assign(plugin->PortCount, 0.0f);
    for (const TControlPort& c : plugin->Controls) {
      r.Instance->ConnectPort(c.Index, controls + c.Index);
    }
    for (const uint32_t index : plugin->ControlOutputs) {
      r.Instance->ConnectPort(index, &r.Outputs[index]);
    }
    for (size_t i = 0; i < plugin->AudioInputs.size(); ++i) {
      r.In[i].assign(TPluginHost::MaxRunFrames, 0.0f);
      r.Instance->ConnectPort(plugin->AudioInputs[i], r.In[i].data());
    }
    for (size_t i = 0; i < plugin->AudioOutputs.size(); ++i) {
      r.Out[i].assign(TPluginHost::MaxRunFrames, 0.0f);
      r.Instance->ConnectPort(plugin->AudioOutputs[i], r.Out[i].data());
    }
    r.Instance->Activate();
    made->Runner.push_back(std::move(r));
  }
  return made;
}

void TPluginSlot::HandOver(std::unique_ptr<TRunners> fresh) {
  {
    const std::lock_guard guard(Lock()); // the lock the worker runs the instances under
    runners.swap(fresh);
  }
  // The instances replaced are deactivated and freed here, after the lock.
}

void TPluginSlot::Bind(std::shared_ptr<const TPluginInfo> chosen) {
  if (!chosen->Offered()) {
    throw TFilterError(RefusedPluginMessage(*chosen));
  }
  std::shared_ptr<const TSlotType> madeType = MakeSlotType(*chosen, SampleRate());
  std::vector<TCell> cells(chosen->Controls.size());
  std::vector<void*> storage;
  for (size_t i = 0; i < cells.size(); ++i) {
    SetValueAt(madeType->descriptions[i], cells[i].Bytes, madeType->descriptions[i].Default);
    storage.push_back(cells[i].Bytes);
  }
  // The control values are in place before the instances are activated; the buffer moves with the
  // vector below.
  std::vector<float> portValues(chosen->PortCount, 0.0f);
  for (size_t i = 0; i < cells.size(); ++i) {
    portValues[chosen->Controls[i].Index] = static_cast<float>(madeType->descriptions[i].Default);
  }
  const std::shared_ptr<const TPluginInfo> previous = std::exchange(plugin, chosen);
  std::unique_ptr<TRunners> fresh;
  try {
    fresh = MakeRunners(portValues.data());
  } catch (...) {
    plugin = previous;
    throw;
  }
  const std::lock_guard guard(Lock());
  slotType = std::move(madeType);
  values = std::move(cells);
  ports = std::move(portValues);
  Describe(slotType->descriptor, storage);
  Update();
  runners = std::move(fresh);
}

void TPluginSlot::Update() {
  const std::lock_guard guard(Lock());
  if (!plugin) {
    return;
  }
  for (size_t i = 0; i < values.size(); ++i) {
    ports[plugin->Controls[i].Index] =
        static_cast<float>(ValueAt(slotType->descriptions[i], values[i].Bytes));
  }
}

void TPluginSlot::ClearState() {
  if (plugin) {
    HandOver(MakeRunners(ports.data()));
  }
}

void TPluginSlot::SetSampleRate(int32_t rate) {
  if (rate == SampleRate()) {
    return;
  }
  TFilter::SetSampleRate(rate);
  if (!plugin) {
    return;
  }
  // The ranges of rate-relative controls move with the rate: each value is held within its new range.
  std::shared_ptr<const TSlotType> madeType = MakeSlotType(*plugin, rate);
  std::unique_ptr<TRunners> fresh = MakeRunners(ports.data());
  {
    const std::lock_guard guard(Lock());
    std::vector<void*> storage;
    for (size_t i = 0; i < values.size(); ++i) {
      const TParameterDescription& d = madeType->descriptions[i];
      const double v = ValueAt(d, values[i].Bytes);
      if (!Accepted(d, v, rate)) {
        SetValueAt(d, values[i].Bytes,
                   d.Set == TValueSet::Choice ? d.Default : std::clamp(v, d.Minimum, d.Maximum));
      }
      storage.push_back(values[i].Bytes);
    }
    slotType = std::move(madeType);
    Describe(slotType->descriptor, storage);
    Update();
    runners.swap(fresh);
  }
}

bool TPluginSlot::JoinsChannels() const {
  return plugin && !plugin->Mono();
}

void TPluginSlot::Run(size_t runner, float* left, float* right, int32_t frames, float scale) {
  TRunners::TRunner& r = runners->Runner[runner];
  const float down = 1.0f / scale; // a power of two: the scaling is exact
  const size_t inputs = plugin->AudioInputs.size();
  const size_t outputs = plugin->AudioOutputs.size();
  for (int32_t at = 0; at < frames;) {
    const int32_t n = std::min<int32_t>(frames - at, TPluginHost::MaxRunFrames);
    float* const l = left + at;
    float* const rr = right != nullptr ? right + at : nullptr;
    if (inputs == 2) {
      for (int32_t i = 0; i < n; ++i) {
        r.In[0][i] = l[i] * down;
        r.In[1][i] = (rr != nullptr ? rr[i] : l[i]) * down;
      }
    } else {
      for (int32_t i = 0; i < n; ++i) {
        r.In[0][i] = (rr != nullptr ? 0.5f * (l[i] + rr[i]) : l[i]) * down;
      }
    }
    r.Instance->Run(static_cast<uint32_t>(n));
    if (outputs == 2 && rr != nullptr) {
      for (int32_t i = 0; i < n; ++i) {
        l[i] = r.Out[0][i] * scale;
        rr[i] = r.Out[1][i] * scale;
      }
    } else if (outputs == 2) {
      for (int32_t i = 0; i < n; ++i) {
        l[i] = 0.5f * (r.Out[0][i] + r.Out[1][i]) * scale;
      }
    } else {
      for (int32_t i = 0; i < n; ++i) {
        l[i] = r.Out[0][i] * scale;
        if (rr != nullptr) {
          rr[i] = l[i];
        }
      }
    }
    at += n;
  }
}

void TPluginSlot::Process(ChannelBlock& block, int channel) {
  if (!runners || block.Frames <= 0) {
    return;
  }
  const float scale = block.Format.wBitsPerSample == 8 ? 128.0f : 32768.0f;
  Run(plugin->Mono() ? static_cast<size_t>(std::clamp(channel, 0, 1)) : 0, block.Samples, nullptr,
      block.Frames, scale);
}

void TPluginSlot::ProcessJoined(ChannelBlock& left, ChannelBlock& right) {
  if (!runners || left.Frames <= 0) {
    return;
  }
  if (plugin->Mono()) {
    TFilter::ProcessJoined(left, right);
    return;
  }
  const float scale = left.Format.wBitsPerSample == 8 ? 128.0f : 32768.0f;
  Run(0, left.Samples, right.Samples, std::min(left.Frames, right.Frames), scale);
}

void TPluginSlot::Save(TByteWriter& out) {
  const std::lock_guard guard(Lock());
  WriteInt32(out, PluginSlotType);
  if (!plugin) {
    WriteInt32(out, 0);
    WriteInt32(out, 0);
    return;
  }
  WriteString(out, plugin->Uri);
  WriteInt32(out, static_cast<int32_t>(values.size()));
  for (size_t i = 0; i < values.size(); ++i) {
    WriteString(out, plugin->Controls[i].Symbol);
    const double v = ValueAt(slotType->descriptions[i], values[i].Bytes);
    out.Write(&v, sizeof v);
  }
}

void TPluginSlot::Load(TByteReader& in) {
  // Read and checked whole before anything of the slot changes; a slot made for the record takes its
  // plug-in (instances made off the lock), a slot of a plug-in takes only the values.
  int32_t fileType = 0;
  std::string uri;
  if (!ReadInt32(in, fileType) || fileType != PluginSlotType || !ReadString(in, MaxUriBytes, uri)) {
    throw TFilterError(MsgBadFileFormat);
  }
  std::shared_ptr<const TPluginInfo> chosen = plugin;
  if (chosen && chosen->Uri != uri) {
    throw TFilterError(MsgBadFileFormat);
  }
  if (!chosen) {
    chosen = host->Find(uri);
    if (!chosen) {
      throw TFilterError(MissingPluginMessage(uri));
    }
    if (!chosen->Offered()) {
      throw TFilterError(RefusedPluginMessage(*chosen));
    }
  }
  const std::shared_ptr<const TSlotType> readType = slotType ? slotType : MakeSlotType(*chosen, SampleRate());
  const std::vector<TParameterDescription>& descriptions = readType->descriptions;
  int32_t n = 0;
  if (!ReadInt32(in, n) || n < 0 || n > static_cast<int32_t>(descriptions.size())) {
    throw TFilterError(MsgBadFileFormat);
  }
  std::vector<double> read(descriptions.size());
  std::vector<bool> given(descriptions.size(), false);
  for (size_t i = 0; i < descriptions.size(); ++i) {
    read[i] = descriptions[i].Default;
  }
  for (int32_t k = 0; k < n; ++k) {
    std::string symbol;
    double v = 0.0;
    if (!ReadString(in, MaxSymbolBytes, symbol) || in.Read(&v, sizeof v) != sizeof v) {
      throw TFilterError(MsgBadFileFormat);
    }
    const auto at = std::find_if(chosen->Controls.begin(), chosen->Controls.end(),
                                 [&](const TControlPort& c) { return c.Symbol == symbol; });
    if (at == chosen->Controls.end()) {
      throw TFilterError("Модуль LV2 «" + chosen->Name + "» не имеет параметра «" + symbol + "»");
    }
    const auto i = static_cast<size_t>(at - chosen->Controls.begin());
    if (given[i] || !Accepted(descriptions[i], v, SampleRate())) {
      throw TFilterError(MsgBadFileFormat);
    }
    given[i] = true;
    read[i] = v;
  }
  if (!plugin) {
    Bind(chosen);
  }
  const std::lock_guard guard(Lock());
  for (size_t i = 0; i < values.size(); ++i) {
    SetValueAt(slotType->descriptions[i], values[i].Bytes, read[i]);
  }
  Update();
}

std::unique_ptr<TFilter> TPluginSlot::NewOfType() const {
  if (!plugin) {
    return std::make_unique<TPluginSlot>(host, SampleRate());
  }
  return std::make_unique<TPluginSlot>(host, plugin, SampleRate());
}

std::optional<int32_t> TPluginSlot::ReportedLatency() const {
  if (!plugin || plugin->LatencyPort < 0) {
    return std::nullopt;
  }
  if (latencyAt != ports) {
    std::vector<float> controls = ports;
    const std::unique_ptr<TRunners> probe = MakeRunners(controls.data());
    probe->Runner.front().Instance->Run(LatencyProbeFrames);
    const float reported = probe->Runner.front().Outputs[static_cast<size_t>(plugin->LatencyPort)];
    latency = std::isfinite(reported) ? static_cast<int32_t>(std::lround(std::max(0.0f, reported))) : 0;
    latencyAt = std::move(controls);
  }
  return latency;
}

TFilterFactory PluginAwareFactory(std::shared_ptr<TPluginHost> host) {
  return [host = std::move(host)](int32_t type, int32_t sampleRate) -> std::unique_ptr<TFilter> {
    if (type == PluginSlotType) {
      return host ? std::make_unique<TPluginSlot>(host, sampleRate) : nullptr;
    }
    return CreateFilter(type, sampleRate);
  };
}

std::unique_ptr<TPluginSlot> CreatePluginSlot(const std::shared_ptr<TPluginHost>& host,
                                              const std::string& uri, int32_t sampleRate) {
  std::shared_ptr<const TPluginInfo> plugin = host->Find(uri);
  if (!plugin) {
    throw TFilterError(MissingPluginMessage(uri));
  }
  return std::make_unique<TPluginSlot>(host, std::move(plugin), sampleRate);
}

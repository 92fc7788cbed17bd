// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/ChainCommands.h"

#include "dsp/FilterDescriptor.h"
#include "dsp/FilterError.h"
#include "filters/FrequencyResponse.h"
#include "filters/lv2/PluginSlot.h"
#include "tools/RenderOptions.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) {
      return parts;
    }
    start = end + 1;
  }
}

template <typename T> bool ParseNumber(const std::string& text, T& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

// "fc, WindowType, KernelSize"
std::string ParameterNames(const TFilter& filter) {
  std::string names;
  for (int i = 0; i < filter.ParameterCount(); ++i) {
    names += (i > 0 ? ", " : "") + std::string(filter.Parameter(i).Name);
  }
  return names;
}

// The values the command line allows for parameter `index`, when one of its values now lies outside
// them; empty when they are allowed. A choice takes only its listed values, even where a file may hold
// others. With `bounded`, the parameter it may not be below counts too.
std::string RangeBroken(const TFilter& filter, int index, bool bounded) {
  const TFilter::TParameter& p = filter.Parameter(index);
  const TParameterDescription& d = *p.Description;
  const double lowest = bounded ? filter.LowerBound(index) : d.Minimum;
  for (int32_t k = 0; k < d.Count; ++k) {
    const double v = ValueAt(d, p.Storage, k);
    if (!Offered(d, v, filter.SampleRate()) || v < lowest) {
      return RangeText(d, filter.SampleRate(), lowest);
    }
  }
  return {};
}

// Writes one NAME=VALUE into the parameter's storage: an int32 or a double, or several separated by
// '/'. Returns the parameter's index.
int WriteParameter(TFilter& filter, const std::string& name, const std::string& text) {
  void* storage = filter.FindParameter(name);
  if (storage == nullptr) {
    throw TUsageError("Неизвестный параметр фильтра «" + std::string(filter.Descriptor()->Name) +
                      "»: " + name + "; его параметры: " + ParameterNames(filter));
  }
  int index = 0;
  for (int i = 0; i < filter.ParameterCount(); ++i) {
    if (filter.Parameter(i).Storage == storage) {
      index = i;
      break;
    }
  }
  const TFilter::TParameter& parameter = filter.Parameter(index);
  const TParameterDescription& d = *parameter.Description;
  const bool whole = d.Storage == TStorage::Int32;
  const std::string expected = d.Count > 1
                                   ? std::to_string(d.Count) + (whole ? " целых" : "") + " чисел через /"
                               : whole ? "целое число"
                                       : "число";
  const auto parts = Split(text, '/');
  std::vector<double> values(parts.size());
  bool parsed = parts.size() == static_cast<size_t>(d.Count);
  for (size_t i = 0; parsed && i < parts.size(); ++i) {
    int32_t v = 0;
    parsed = whole ? ParseNumber(parts[i], v) : ParseNumber(parts[i], values[i]);
    values[i] = whole ? v : values[i];
  }
  if (!parsed) {
    throw TUsageError("Неверное значение параметра " + std::string(parameter.Name) + ": " + text +
                      " (ожидается " + expected + ")");
  }
  for (int32_t k = 0; k < d.Count; ++k) {
    SetValueAt(d, storage, values[static_cast<size_t>(k)], k);
  }
  return index;
}

std::string FormatDouble(double v) {
  char text[64];
  const auto [end, error] = std::to_chars(text, text + sizeof text, v);
  return error == std::errc() ? std::string(text, end) : std::string("nan");
}

} // namespace

void SetParametersFromText(TFilter& filter, const std::string& text) {
  // Written under the lock and applied once, so that the worker of a live chain never sees a value
  // without its Update.
  std::lock_guard guard(filter.Lock());
  for (const std::string& assignment : Split(text, ',')) {
    const size_t equals = assignment.find('=');
    if (equals == std::string::npos) {
      throw TUsageError("Ожидается ИМЯ=ЗНАЧЕНИЕ: " + assignment);
    }
    const int index = WriteParameter(filter, assignment.substr(0, equals), assignment.substr(equals + 1));
    const std::string range = RangeBroken(filter, index, false);
    if (!range.empty()) {
      throw TUsageError("Значение вне допустимого диапазона: " + assignment + " (допустимо: " + range + ")");
    }
  }
  // Once all are in, the bounds between them ("UpperFreq" not below "LowerFreq"), said of the
  // bounded one.
  for (int i = 0; i < filter.ParameterCount(); ++i) {
    const std::string range = RangeBroken(filter, i, true);
    if (!range.empty()) {
      const TFilter::TParameter& p = filter.Parameter(i);
      throw TUsageError("Значение вне допустимого диапазона: " + std::string(p.Name) + "=" +
                        PlainNumber(ValueAt(*p.Description, p.Storage)) + " (допустимо: " + range + ")");
    }
  }
  filter.Apply();
}

void AddFilterFromText(TFilterList& chain, const std::string& text) {
  const size_t colon = text.find(':');
  const std::string typeText = text.substr(0, colon);
  int32_t type = 0;
  auto filter = ParseNumber(typeText, type) ? CreateFilter(type, chain.SampleRate()) : nullptr;
  if (!filter) {
    throw TUsageError("Тип фильтра для --add должен быть от 0 до " + std::to_string(FilterTypeCount - 1) +
                      ": " + typeText);
  }
  if (colon != std::string::npos) {
    SetParametersFromText(*filter, text.substr(colon + 1));
  }
  chain.Add(std::move(filter));
}

void AddPluginFromUri(TFilterList& chain, const std::shared_ptr<TPluginHost>& host, const std::string& uri) {
  const std::shared_ptr<const TPluginInfo> plugin = host->Find(uri);
  if (!plugin) {
    throw TUsageError(MissingPluginMessage(uri));
  }
  if (!plugin->Offered()) {
    throw TUsageError(RefusedPluginMessage(*plugin));
  }
  chain.Add(std::make_unique<TPluginSlot>(host, plugin, chain.SampleRate()));
}

void PrintPlugins(TPluginHost& host, bool verbose, std::ostream& out) {
  for (const std::shared_ptr<const TPluginInfo>& p : host.Plugins()) {
    if (p->Offered()) {
      out << p->Uri << '\t' << p->Name << (verbose ? "\t" + p->ClassName : std::string()) << '\n';
    } else if (verbose) {
      out << p->Uri << '\t' << p->Name << "\tпропущен: " << p->Refusal << '\n';
    }
  }
}

void PrintChain(const TFilterList& chain, std::ostream& out) {
  for (int i = 0; i < chain.Count(); ++i) {
    TFilter& f = *chain.Item(i);
    const TFilterDescriptor& type = *f.Descriptor();
    out << i << '\t' << type.Name << (type.Source != nullptr ? std::string(" (") + type.Source + ")" : "")
        << '\t' << (chain.IsEnabled(i) ? "on" : "off");
    if (const std::optional<int32_t> latency = f.ReportedLatency()) {
      out << "\tзадержка=" << *latency;
    }
    for (int p = 0; p < f.ParameterCount(); ++p) {
      const auto& parameter = f.Parameter(p);
      const TParameterDescription& d = *parameter.Description;
      out << '\t' << parameter.Name << '=';
      for (int32_t k = 0; k < d.Count; ++k) {
        const double v = ValueAt(d, parameter.Storage, k);
        out << (k > 0 ? "/" : "");
        if (d.Storage == TStorage::Int32) {
          out << static_cast<int32_t>(v);
        } else {
          out << FormatDouble(v);
        }
      }
    }
    out << '\n';
  }
}

void PrintResponse(const TFilterList& chain, std::ostream& out) {
  const TResponse response = MeasureFrequencyResponse(chain);
  char line[96];
  for (int k = 0; k < ResponseBins; ++k) {
    const double hz = static_cast<double>(k) * chain.SampleRate() / 1024.0;
    if (response[k] <= -3.0e38) {
      std::snprintf(line, sizeof line, "%d\t%.3f\t-inf\n", k, hz);
    } else {
      std::snprintf(line, sizeof line, "%d\t%.3f\t%.4f\n", k, hz, response[k]);
    }
    out << line;
  }
}

#include "tools/ChainCommands.h"

#include "app/FrequencyResponse.h"
#include "dsp/FilterCatalogue.h"
#include "dsp/FilterError.h"
#include "tools/RenderOptions.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
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

// Writes one NAME=VALUE into the parameter's storage: an int32, a double, or several doubles
// separated by '/'.
void WriteParameter(TFilter& filter, const std::string& name, const std::string& text) {
  void* storage = filter.FindParameter(name);
  if (storage == nullptr) {
    throw TUsageError("Неизвестный параметр фильтра: " + name);
  }
  int32_t size = 0;
  for (int i = 0; i < filter.ParameterCount(); ++i) {
    if (filter.Parameter(i).Storage == storage) {
      size = filter.Parameter(i).Size;
      break;
    }
  }
  const auto bad = [&] { return TUsageError("Неверное значение параметра " + name + ": " + text); };
  if (size == 4) {
    int32_t v = 0;
    if (!ParseNumber(text, v)) {
      throw bad();
    }
    std::memcpy(storage, &v, 4);
    return;
  }
  const auto parts = Split(text, '/');
  if (parts.size() != static_cast<size_t>(size / 8)) {
    throw bad();
  }
  std::vector<double> values(parts.size());
  for (size_t i = 0; i < parts.size(); ++i) {
    if (!ParseNumber(parts[i], values[i])) {
      throw bad();
    }
  }
  std::memcpy(storage, values.data(), values.size() * sizeof(double));
}

std::string FormatDouble(double v) {
  char text[64];
  const auto [end, error] = std::to_chars(text, text + sizeof text, v);
  return error == std::errc() ? std::string(text, end) : std::string("nan");
}

} // namespace

void AddFilterFromText(TFilterList& chain, const std::string& text) {
  const size_t colon = text.find(':');
  const std::string typeText = text.substr(0, colon);
  int32_t type = 0;
  if (!ParseNumber(typeText, type)) {
    throw TUsageError("Неверный тип фильтра: " + typeText);
  }
  auto filter = CreateFilter(type, chain.SampleRate());
  if (!filter) {
    throw TUsageError("Для типа фильтра " + typeText + " нет реализации");
  }
  if (colon != std::string::npos) {
    // The filter belongs to no chain yet; the lock still pairs each write with the Apply below.
    std::lock_guard guard(filter->Lock());
    for (const std::string& assignment : Split(text.substr(colon + 1), ',')) {
      const size_t equals = assignment.find('=');
      if (equals == std::string::npos) {
        throw TUsageError("Ожидается ИМЯ=ЗНАЧЕНИЕ: " + assignment);
      }
      WriteParameter(*filter, assignment.substr(0, equals), assignment.substr(equals + 1));
    }
    if (!filter->Validate()) {
      throw TUsageError("Недопустимые значения параметров фильтра: " + text);
    }
    filter->Apply();
  }
  chain.Add(std::move(filter));
}

void PrintChain(const TFilterList& chain, std::ostream& out) {
  for (int i = 0; i < chain.Count(); ++i) {
    TFilter& f = *chain.Item(i);
    out << i << '\t' << FilterCatalogue[f.Type()] << '\t' << (chain.IsEnabled(i) ? "on" : "off");
    for (int p = 0; p < f.ParameterCount(); ++p) {
      const auto& parameter = f.Parameter(p);
      out << '\t' << parameter.Name << '=';
      if (parameter.Size == 4) {
        int32_t v;
        std::memcpy(&v, parameter.Storage, 4);
        out << v;
      } else {
        for (int32_t k = 0; k < parameter.Size / 8; ++k) {
          double v;
          std::memcpy(&v, static_cast<const char*>(parameter.Storage) + 8 * k, 8);
          out << (k > 0 ? "/" : "") << FormatDouble(v);
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

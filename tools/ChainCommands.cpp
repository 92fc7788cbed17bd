#include "tools/ChainCommands.h"

#include "app/FrequencyResponse.h"
#include "dsp/FilterCatalogue.h"
#include "dsp/FilterError.h"
#include "filters/MultiBandFilter.h"
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

// "fc, WindowType, KernelSize"
std::string ParameterNames(const TFilter& filter) {
  std::string names;
  for (int i = 0; i < filter.ParameterCount(); ++i) {
    names += (i > 0 ? ", " : "") + std::string(filter.Parameter(i).Name);
  }
  return names;
}

int32_t IntAt(const void* storage) {
  int32_t v = 0;
  std::memcpy(&v, storage, 4);
  return v;
}

double DoubleAt(const void* storage, int k = 0) {
  double v = 0;
  std::memcpy(&v, static_cast<const char*>(storage) + 8 * k, 8);
  return v;
}

// The range the command line allows for parameter `index` of the filter, when its value now lies
// outside it; empty when the value is allowed. The ranges are the ones the filters themselves
// accept, except WindowType, which the filters read as "0, or any other value", and the command
// line takes as 0 or 1 only.
std::string RangeBroken(const TFilter& filter, int index) {
  const TFilter::TParameter& p = filter.Parameter(index);
  const std::string name = p.Name;
  const auto intIn = [&](int32_t lo, int32_t hi) {
    const int32_t v = IntAt(p.Storage);
    return v >= lo && v <= hi;
  };
  switch (filter.Type()) {
  case 0:
  case 1:
    if (name == "fc" && !intIn(0, filter.SampleRate() / 2)) {
      return "от 0 до " + std::to_string(filter.SampleRate() / 2) + " Гц (половина частоты дискретизации)";
    }
    if (name == "WindowType" && !intIn(0, 1)) {
      return "0 (окно Хэмминга) или 1 (окно Блэкмана)";
    }
    if (name == "KernelSize") {
      const int32_t n = IntAt(p.Storage);
      if (n < 8 || n > 1024 || (n & (n - 1)) != 0) {
        return "степень двойки от 8 до 1024";
      }
    }
    break;
  case 4:
    for (int k = 0; k < p.Size / 8; ++k) {
      const double g = DoubleAt(p.Storage, k);
      if (!(g >= 0.0 && g <= TMultiBandFilter::MaxGain)) {
        return "20 значений через /, каждое от 0 до 1000000";
      }
    }
    break;
  case 9:
    if (name == "Delay" && !intIn(1, 1000)) {
      return "от 1 до 1000 мс";
    }
    if (name == "DecayTime" && !intIn(10, 10000)) {
      return "от 10 до 10000 мс";
    }
    break;
  case 11:
    if (name == "ReverbTime" && !intIn(10, 10000)) {
      return "от 10 до 10000 мс";
    }
    if (name == "DelayLines" && !intIn(1, 32)) {
      return "от 1 до 32";
    }
    if (p.Size == 8) {
      const double v = DoubleAt(p.Storage);
      if (!(std::isfinite(v) && v >= 0.0)) {
        return "конечное число от 0";
      }
    }
    break;
  default:
    break;
  }
  return {};
}

// Writes one NAME=VALUE into the parameter's storage: an int32, a double, or several doubles
// separated by '/'. Returns the parameter's index.
int WriteParameter(TFilter& filter, const std::string& name, const std::string& text) {
  void* storage = filter.FindParameter(name);
  if (storage == nullptr) {
    throw TUsageError("Неизвестный параметр фильтра «" + std::string(FilterCatalogue[filter.Type()]) +
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
  const int32_t size = parameter.Size;
  const auto bad = [&](const char* expected) {
    return TUsageError("Неверное значение параметра " + std::string(parameter.Name) + ": " + text +
                       " (ожидается " + expected + ")");
  };
  if (size == 4) {
    int32_t v = 0;
    if (!ParseNumber(text, v)) {
      throw bad("целое число");
    }
    std::memcpy(storage, &v, 4);
    return index;
  }
  const auto parts = Split(text, '/');
  if (parts.size() != static_cast<size_t>(size / 8)) {
    throw bad(size == 8 ? "число" : "20 чисел через /");
  }
  std::vector<double> values(parts.size());
  for (size_t i = 0; i < parts.size(); ++i) {
    if (!ParseNumber(parts[i], values[i])) {
      throw bad(size == 8 ? "число" : "20 чисел через /");
    }
  }
  std::memcpy(storage, values.data(), values.size() * sizeof(double));
  return index;
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
    throw TUsageError("Тип фильтра для --add должен быть одним из 0, 1, 4, 9, 11: " + typeText);
  }
  auto filter = CreateFilter(type, chain.SampleRate());
  if (!filter) {
    throw TUsageError("Для типа фильтра " + typeText + " нет реализации; реализованы типы 0, 1, 4, 9, 11");
  }
  if (colon != std::string::npos) {
    // The filter belongs to no chain yet; the lock still pairs each write with the Apply below.
    std::lock_guard guard(filter->Lock());
    for (const std::string& assignment : Split(text.substr(colon + 1), ',')) {
      const size_t equals = assignment.find('=');
      if (equals == std::string::npos) {
        throw TUsageError("Ожидается ИМЯ=ЗНАЧЕНИЕ: " + assignment);
      }
      const int index = WriteParameter(*filter, assignment.substr(0, equals), assignment.substr(equals + 1));
      const std::string range = RangeBroken(*filter, index);
      if (!range.empty()) {
        throw TUsageError("Значение вне допустимого диапазона: " + assignment + " (допустимо: " + range +
                          ")");
      }
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

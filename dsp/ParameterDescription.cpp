// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/ParameterDescription.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>

int32_t StorageSize(const TParameterDescription& d) {
  return (d.Storage == TStorage::Int32 ? 4 : 8) * d.Count;
}

int ChoiceCount(const TParameterDescription& d) {
  return static_cast<int>(d.Choices.size());
}

double ChoiceValue(const TParameterDescription& d, int i) {
  return d.ChoiceValues.empty() ? i : d.ChoiceValues[static_cast<size_t>(i)];
}

int ChoiceOf(const TParameterDescription& d, double value) {
  const int n = ChoiceCount(d);
  for (int i = 0; i < n; ++i) {
    if (ChoiceValue(d, i) == value) {
      return i;
    }
  }
  return n - 1;
}

double UpperBound(const TParameterDescription& d, int32_t sampleRate) {
  if (d.Set == TValueSet::Choice) {
    return d.ChoiceValues.empty() ? ChoiceCount(d) - 1
                                  : *std::max_element(d.ChoiceValues.begin(), d.ChoiceValues.end());
  }
  if (d.RateFraction > 0.0) {
    return std::trunc(sampleRate * d.RateFraction);
  }
  return d.Maximum;
}

bool Offered(const TParameterDescription& d, double value, int32_t sampleRate) {
  if (!std::isfinite(value) || value < d.Minimum || value > UpperBound(d, sampleRate)) {
    return false;
  }
  if (d.Storage == TStorage::Int32 && value != std::trunc(value)) {
    return false;
  }
  if (d.Set == TValueSet::Choice) {
    return ChoiceValue(d, ChoiceOf(d, value)) == value;
  }
  if (d.Set == TValueSet::PowerOfTwo) {
    const auto n = static_cast<int64_t>(value);
    return n > 0 && (n & (n - 1)) == 0;
  }
  return true;
}

bool Accepted(const TParameterDescription& d, double value, int32_t sampleRate) {
  if (d.Set == TValueSet::Choice && d.OtherValuesMeanLast) {
    return std::isfinite(value) && value == std::trunc(value);
  }
  return Offered(d, value, sampleRate);
}

double ValueAt(const TParameterDescription& d, const void* storage, int32_t k) {
  const auto* bytes = static_cast<const char*>(storage);
  if (d.Storage == TStorage::Int32) {
    int32_t v = 0;
    std::memcpy(&v, bytes + 4 * static_cast<size_t>(k), 4);
    return v;
  }
  double v = 0.0;
  std::memcpy(&v, bytes + 8 * static_cast<size_t>(k), 8);
  return v;
}

void SetValueAt(const TParameterDescription& d, void* storage, double value, int32_t k) {
  auto* bytes = static_cast<char*>(storage);
  if (d.Storage == TStorage::Int32) {
    const auto v = static_cast<int32_t>(value);
    std::memcpy(bytes + 4 * static_cast<size_t>(k), &v, 4);
    return;
  }
  std::memcpy(bytes + 8 * static_cast<size_t>(k), &value, 8);
}

const char* UnitText(TUnit unit) {
  switch (unit) {
  case TUnit::Hertz:
    return "Гц";
  case TUnit::Kilohertz:
    return "кГц";
  case TUnit::Milliseconds:
    return "мс";
  case TUnit::Seconds:
    return "с";
  case TUnit::Decibels:
    return "дБ";
  case TUnit::Percent:
    return "%";
  case TUnit::Samples:
    return "отсчётов";
  case TUnit::Semitones:
    return "полутонов";
  case TUnit::Cents:
    return "центов";
  case TUnit::Octaves:
    return "октав";
  case TUnit::None:
    break;
  }
  return "";
}

std::string PlainNumber(double value) {
  char text[64];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
  return error == std::errc() ? std::string(text, end) : std::string("nan");
}

std::string RangeText(const TParameterDescription& d, int32_t sampleRate, double lowest) {
  const double minimum = std::max(d.Minimum, lowest);
  if (d.Set == TValueSet::Choice) {
    const int n = ChoiceCount(d);
    std::string text;
    for (int i = 0; i < n; ++i) {
      if (i > 0) {
        text += i == n - 1 ? " или " : ", ";
      }
      text += PlainNumber(ChoiceValue(d, i)) + " (" + d.Choices[static_cast<size_t>(i)] + ")";
    }
    return text;
  }
  const std::string unit = *UnitText(d.Unit) != '\0' ? std::string(" ") + UnitText(d.Unit) : std::string();
  std::string text;
  if (d.Set == TValueSet::PowerOfTwo) {
    text = "степень двойки от " + PlainNumber(minimum) + " до " + PlainNumber(UpperBound(d, sampleRate));
  } else if (std::isinf(UpperBound(d, sampleRate)) && std::isinf(minimum)) {
    text = "любое конечное число";
  } else if (std::isinf(UpperBound(d, sampleRate))) {
    text = "конечное число от " + PlainNumber(minimum);
  } else if (std::isinf(minimum)) {
    text = "конечное число до " + PlainNumber(UpperBound(d, sampleRate));
  } else {
    text = "от " + PlainNumber(minimum) + " до " + PlainNumber(UpperBound(d, sampleRate));
  }
  text += unit;
  if (d.RateFraction == 0.5) {
    text += " (половина частоты дискретизации)";
  } else if (d.RateFraction > 0.0) {
    std::string fraction = PlainNumber(d.RateFraction);
    for (char& c : fraction) {
      c = c == '.' ? ',' : c;
    }
    text += " (" + fraction + " частоты дискретизации)";
  }
  if (d.Count > 1) {
    text = std::to_string(d.Count) + " значений через /, каждое " + text;
  }
  return text;
}

TTypedNumber ReadTypedNumber(const TParameterDescription& d, std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  std::string plain(text.starts_with('+') ? text.substr(1) : text);
  std::replace(plain.begin(), plain.end(), ',', '.');
  std::transform(plain.begin(), plain.end(), plain.begin(),
                 [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
  double value = 0.0;
  const char* const end = plain.data() + plain.size();
  const auto [stop, error] = std::from_chars(plain.data(), end, value, std::chars_format::general);
  if (plain.empty() || stop != end || (error != std::errc() && error != std::errc::result_out_of_range) ||
      plain.find_first_of("in") != std::string::npos) { // "inf" and "nan" are not typed numbers
    return {0.0, TTypedProblem::NotANumber};
  }
  if (error == std::errc::result_out_of_range) {
    // Too large reads as an infinity of its sign; too small is 0.
    const bool large = plain.find("e-") == std::string::npos;
    value = large ? (plain.front() == '-' ? -Unbounded : Unbounded) : 0.0;
  }
  if (d.Storage == TStorage::Int32 && std::isfinite(value) && value != std::trunc(value)) {
    return {value, TTypedProblem::NotWhole};
  }
  return {value, TTypedProblem::None};
}

std::string TypedProblemText(TTypedProblem problem, std::string_view text) {
  switch (problem) {
  case TTypedProblem::NotANumber:
    return "«" + std::string(text) + "» - не число.";
  case TTypedProblem::NotWhole:
    return "«" + std::string(text) + "» - не целое число, а нужно целое.";
  case TTypedProblem::None:
    break;
  }
  return {};
}

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TParameterDescription: everything the program knows about one filter parameter, written once beside
// the filter that owns it: how it is stored, its unit, the values the filter accepts (fixed, or up to a
// fraction of the sample rate), its default, and its text forms (the dialog's caption and messages, the
// digits a dialog shows). The filter's validation, the dialogs, the command line and the README's table
// of ranges all read it.
//
// Plain constant data: every description of a built-in type is a namespace-scope constant of its
// filter's file, and a filter's parameter table points at them; a plug-in slot's are made from the
// plug-in's ports and live as long as its type (see filters/lv2/PluginSlot.h). Any thread.

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>

enum class TStorage : uint8_t { Int32, Double };
enum class TUnit : uint8_t {
  None,
  Hertz,
  Milliseconds,
  Decibels,
  Percent,
  Samples,
  Semitones,
  Kilohertz, // the units of plug-in ports beyond those of the built-in types
  Seconds,
  Cents,
  Octaves
};
// Which values of the range are allowed: all of it, its powers of two, or the values of Choices.
enum class TValueSet : uint8_t { Range, PowerOfTwo, Choice };
// How a dialog's track bar spans the range; None: an edit without a bar.
enum class TTrackScale : uint8_t { Linear, Logarithmic, None };

struct TParameterDescription {
  const char* Name = ""; // the registration name, at most 15 characters
  TStorage Storage = TStorage::Int32;
  int32_t Count = 1; // values of that type one after another ("Gain": 20)
  TUnit Unit = TUnit::None;
  TValueSet Set = TValueSet::Range;
  double Minimum = 0.0;      // inclusive; -infinity: no lower bound
  double Maximum = 0.0;      // inclusive; infinity: no upper bound, any finite value
  double RateFraction = 0.0; // > 0: the upper bound is trunc(fs * RateFraction) instead
  double Default = 0.0;
  int32_t Decimals = 0; // digits after the separator in a dialog's text (0: whole numbers)
  TTrackScale Bar = TTrackScale::Linear;
  std::span<const char* const> Choices{}; // Set == Choice: the name of each choice
  std::span<const double> ChoiceValues{}; // and its value, in the order of Choices; empty: 0, 1, 2, ...
  bool OtherValuesMeanLast = false;       // a file may hold any value, which reads as the last choice
  const char* AtLeast = nullptr;  // a parameter of the same filter (by name) this one may not be below
  const char* UsedWhen = nullptr; // a choice of the same filter (by name) on which this one's effect
  std::span<const double> UsedWhenValues{}; // depends: it has one only while that choice holds one of these
  const char* Caption = "";                 // a dialog's label
  const char* RangeMessage = "";            // a dialog's refusal: %1 the lower bound, %2 the upper
  const char* EmptyMessage = nullptr;       // a dialog's refusal of an empty field; RangeMessage if null
  const char* Summary = "";                 // one line in English for the README's table
};

inline constexpr double Unbounded = std::numeric_limits<double>::infinity();

// Bytes of the parameter's storage.
int32_t StorageSize(const TParameterDescription& d);
int ChoiceCount(const TParameterDescription& d);
// The value that choice i stands for.
double ChoiceValue(const TParameterDescription& d, int i);
// The choice a value stands for: the one of that value, else (a file's other value) the last.
int ChoiceOf(const TParameterDescription& d, double value);
// The upper bound at sample rate fs.
double UpperBound(const TParameterDescription& d, int32_t sampleRate);
// Whether one value is one the command line and the dialogs offer; Accepted also takes what a file
// may hold (any value of a choice whose other values mean the last one).
bool Offered(const TParameterDescription& d, double value, int32_t sampleRate);
bool Accepted(const TParameterDescription& d, double value, int32_t sampleRate);

// Value k of the parameter's storage, and its replacement.
double ValueAt(const TParameterDescription& d, const void* storage, int32_t k = 0);
void SetValueAt(const TParameterDescription& d, void* storage, double value, int32_t k = 0);

// "Гц", "мс", ...; empty without a unit.
const char* UnitText(TUnit unit);
// The allowed values in words for a usage error at rate fs: "от 1 до 1000 мс", "степень двойки от 8
// до 1024", "0 (окно Хэмминга) или 1 (окно Блэкмана)", "конечное число от 0", "любое конечное
// число", ...; `lowest`, when given, replaces the minimum (the value of the parameter named by AtLeast).
std::string RangeText(const TParameterDescription& d, int32_t sampleRate, double lowest = -Unbounded);
// A number as the command line takes it: whole numbers without a point, others in their shortest
// exact form ("0.707", "1000000").
std::string PlainNumber(double value);

// A number typed for a parameter: "1500", "-3,5", "0.707", "1e3" (a decimal comma or point, an
// exponent). NotWhole: a number with a fraction where the parameter holds whole numbers; NotANumber:
// anything else ("12x", "-", "abc", "inf"). A value beyond double's range reads as an infinity, which
// no range holds.
enum class TTypedProblem : uint8_t { None, NotANumber, NotWhole };
struct TTypedNumber {
  double Value = 0.0;
  TTypedProblem Problem = TTypedProblem::None;
};
TTypedNumber ReadTypedNumber(const TParameterDescription& d, std::string_view text);
// What is wrong with the text, in words to go before the parameter's range message: "«abc» - не
// число.", "«1000,5» - не целое число."; empty for None.
std::string TypedProblemText(TTypedProblem problem, std::string_view text);

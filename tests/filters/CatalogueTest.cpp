// SPDX-License-Identifier: GPL-3.0-or-later
// Every catalogue type against its parameter descriptions: defaults, records that round-trip and refuse
// what the descriptions refuse, processing that is continuous across blocks of any length, an Apply
// that changes nothing changes no sample, edits that do not click; and the README's table of ranges
// against the descriptions.

#include "support/FloatSignals.h"

#include "dsp/ByteStreams.h"
#include "dsp/FilterError.h"
#include "filters/FilterCatalogue.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace sonotest;

namespace {

// The types new to the catalogue that run sample by sample (the FIR designs keep their segment rule).
constexpr int32_t SampleTypes[] = {5, 6, 7, 8, 10, 12, 13, 14, 15};

std::vector<uint8_t> Record(TFilter& f) {
  TMemoryWriter out;
  f.Save(out);
  return out.Bytes();
}

std::vector<float> Through(TFilter& f, std::vector<float> x, const std::vector<int32_t>& blocks) {
  ProcessInBlocks(f, x, blocks);
  return x;
}

double LargestStep(const std::vector<float>& x, size_t from, size_t to) {
  double largest = 0.0;
  for (size_t n = from; n < to; ++n) {
    largest = std::max(largest, std::abs(static_cast<double>(x[n]) - x[n - 1]));
  }
  return largest;
}

// Defaults to six digits (the reverberation's -20 dB shows as 0.1).
std::string Number(double v) {
  std::ostringstream out;
  out << v;
  return out.str();
}

// The README's table, made from the descriptors.
std::string ParameterTable() {
  static const char* const Units[] = {"", " Hz", " ms", " dB", " %", " samples", " semitones"};
  std::string table =
      "| Type | Parameter | Storage | Range | Default | Meaning |\n|---|---|---|---|---|---|\n";
  for (const TFilterDescriptor* type : FilterCatalogue) {
    for (const TParameterDescription* d : type->Parameters) {
      const std::string unit = Units[static_cast<int>(d->Unit)];
      std::string range;
      if (d->Set == TValueSet::Choice) {
        range = "0.." + std::to_string(ChoiceCount(*d) - 1);
      } else if (std::isinf(d->Maximum)) {
        range = ">= " + PlainNumber(d->Minimum) + ", finite";
      } else {
        const std::string top = d->RateFraction == 0.5  ? "rate/2"
                                : d->RateFraction > 0.0 ? PlainNumber(d->RateFraction) + " x rate"
                                                        : PlainNumber(d->Maximum);
        range = PlainNumber(d->Minimum) + ".." + top + unit;
        if (d->Set == TValueSet::PowerOfTwo) {
          range += ", a power of two";
        }
        if (d->AtLeast != nullptr) {
          range += ", not below `" + std::string(d->AtLeast) + "`";
        }
      }
      const std::string storage = std::string(d->Storage == TStorage::Int32 ? "int32" : "double") +
                                  (d->Count > 1 ? " x " + std::to_string(d->Count) : "");
      table += "| " + std::to_string(type->Type) + " " + type->EnglishName + " | `" + d->Name + "` | " +
               storage + " | " + range + " | " + Number(d->Default) + " | " + d->Summary + " |\n";
    }
  }
  return table;
}

} // namespace

TEST(Catalogue,
     EveryTypeStartsAtItsDescribedDefaultsAndItsRecordRoundTripsAndRefusesWhatItsDescriptionsRefuse) {
  for (int32_t type = 0; type < FilterTypeCount; ++type) {
    for (const int32_t fs : {8000, 44100}) {
      SCOPED_TRACE(std::to_string(type) + " at " + std::to_string(fs));
      auto f = CreateFilter(type, fs);
      ASSERT_NE(f, nullptr);
      EXPECT_EQ(f->Type(), type);
      EXPECT_TRUE(f->Validate());
      int32_t bytes = 4;
      for (int i = 0; i < f->ParameterCount(); ++i) {
        const TFilter::TParameter& p = f->Parameter(i);
        ASSERT_NE(p.Description, nullptr);
        EXPECT_STREQ(p.Name, p.Description->Name);
        EXPECT_EQ(p.Size, StorageSize(*p.Description));
        bytes += p.Size;
        for (int32_t k = 0; k < p.Description->Count; ++k) {
          EXPECT_EQ(ValueAt(*p.Description, p.Storage, k), p.Description->Default) << p.Name;
        }
      }

      // A record of other values (each one step inside its range from the top) into a fresh filter.
      for (int i = 0; i < f->ParameterCount(); ++i) {
        const TFilter::TParameter& p = f->Parameter(i);
        const TParameterDescription& d = *p.Description;
        const double top = std::isinf(UpperBound(d, fs)) ? 1e6 : UpperBound(d, fs);
        const double v = d.Set == TValueSet::PowerOfTwo ? d.Minimum : std::max(d.Minimum, top - 1);
        SetValueAt(d, p.Storage, d.AtLeast != nullptr ? top : v);
      }
      ASSERT_TRUE(f->Validate());
      f->Apply();
      const std::vector<uint8_t> record = Record(*f);
      EXPECT_EQ(static_cast<int32_t>(record.size()), bytes);
      auto loaded = CreateFilter(type, fs);
      TMemoryReader in(record.data(), record.size());
      loaded->Load(in);
      EXPECT_EQ(Record(*loaded), record);

      // Each value just outside its description is refused, and the filter keeps what it had.
      const std::vector<uint8_t> before = Record(*loaded);
      for (int i = 0; i < loaded->ParameterCount(); ++i) {
        const TParameterDescription& d = *loaded->Parameter(i).Description;
        if (d.OtherValuesMeanLast) {
          continue;
        }
        const double outside = d.Set == TValueSet::PowerOfTwo ? d.Minimum + 1 : d.Minimum - 1;
        std::vector<uint8_t> bad = record;
        int32_t offset = 4;
        for (int j = 0; j < i; ++j) {
          offset += loaded->Parameter(j).Size;
        }
        SetValueAt(d, bad.data() + offset, outside);
        TMemoryReader badIn(bad.data(), bad.size());
        EXPECT_THROW(loaded->Load(badIn), TFilterError) << d.Name;
        EXPECT_EQ(Record(*loaded), before) << d.Name;
      }
      // Another type's record is refused.
      auto other = CreateFilter((type + 1) % FilterTypeCount, fs);
      TMemoryReader otherIn(record.data(), record.size());
      EXPECT_THROW(other->Load(otherIn), TFilterError);
    }
  }
}

TEST(Catalogue, TheNewTypesRunOnAcrossBlocksOfAnyLengthAndAnApplyThatChangesNothingChangesNoSample) {
  const std::vector<float> x = RandomSignal(30000, 8000.0, 11);
  for (const int32_t type : SampleTypes) {
    SCOPED_TRACE(type);
    auto whole = CreateFilter(type, 44100);
    auto pieces = CreateFilter(type, 44100);
    const auto reference = Through(*whole, x, {30000});
    EXPECT_EQ(Through(*pieces, x, {1, 2, 333, 4096, 64, 7}), reference);

    auto applied = CreateFilter(type, 44100);
    std::vector<float> y = Through(*applied, std::vector<float>(x.begin(), x.begin() + 10000), {10000});
    applied->Apply();
    const auto rest = Through(*applied, std::vector<float>(x.begin() + 10000, x.end()), {4096});
    y.insert(y.end(), rest.begin(), rest.end());
    EXPECT_EQ(y, reference);
  }
}

TEST(Catalogue, AnEditOnAPlayingTypeMakesNoStepLargerThanTheSoundItselfMakes) {
  struct TEdit {
    int32_t Type;
    std::vector<std::pair<const char*, double>> To;
  };
  const std::vector<TEdit> edits = {
      {5, {{"Kind", 1}, {"Freq", 300}}},
      {5, {{"Kind", 4}, {"GainDb", 24}}},
      {6, {{"Order", 8}, {"fc", 300}}},
      {6, {{"Kind", 1}}},
      {7, {{"Length", 200}}},
      {8, {{"fc", 200}}},
      {10, {{"Voices", 6}, {"Delay", 45}}},
      {10, {{"Mix", 100}, {"Depth", 20}}},
      {13, {{"Depth", 100}, {"Freq", 900}}},
      {14, {{"Freq", 880}, {"Waveform", 3}, {"Mix", 80}}},
      {15, {{"Semitones", -3}}},
      {15, {{"Window", 200}}},
  };
  const int fs = 44100;
  for (const TEdit& edit : edits) {
    SCOPED_TRACE(std::to_string(edit.Type) + " " + edit.To.front().first);
    auto f = CreateFilter(edit.Type, fs);
    std::vector<float> x = Sine(3 * 8192, 200.0, fs, 10000.0);
    std::vector<float> before(x.begin(), x.begin() + 8192);
    std::vector<float> after(x.begin() + 8192, x.end());
    ProcessInBlocks(*f, before, {4096});
    {
      const std::lock_guard guard(f->Lock());
      for (const auto& [name, value] : edit.To) {
        for (int i = 0; i < f->ParameterCount(); ++i) {
          if (std::strcmp(f->Parameter(i).Name, name) == 0) {
            SetValueAt(*f->Parameter(i).Description, f->Parameter(i).Storage, value);
          }
        }
      }
      f->Apply();
    }
    ProcessInBlocks(*f, after, {4096});
    std::vector<float> y = before;
    y.insert(y.end(), after.begin(), after.end());
    const double settled = std::max(LargestStep(y, 4096, 8192), LargestStep(y, y.size() - 8192, y.size()));
    EXPECT_LT(LargestStep(y, 8192, 8192 + 4096), 1.5 * settled + 20.0);
  }
}

TEST(Catalogue, EachEntryDescribesItsOwnTypeAndTheFilterItMakesRegistersExactlyItsTableInOrder) {
  EXPECT_EQ(FindFilterType(-1), nullptr);
  EXPECT_EQ(FindFilterType(FilterTypeCount), nullptr);
  std::set<std::string> names;
  std::set<std::string> shortNames;
  std::set<std::string> englishNames;
  for (int32_t type = 0; type < FilterTypeCount; ++type) {
    const TFilterDescriptor& d = *FilterCatalogue[static_cast<size_t>(type)];
    SCOPED_TRACE(d.EnglishName);
    EXPECT_EQ(d.Type, type);
    EXPECT_EQ(FindFilterType(type), &d);
    EXPECT_STRNE(d.Caption, "");
    names.insert(d.Name);
    shortNames.insert(d.ShortName);
    englishNames.insert(d.EnglishName);
    const auto f = d.Create(22050);
    ASSERT_EQ(f->ParameterCount(), static_cast<int>(d.Parameters.size()));
    for (int i = 0; i < f->ParameterCount(); ++i) {
      EXPECT_EQ(f->Parameter(i).Description, d.Parameters[static_cast<size_t>(i)]) << i;
    }
  }
  for (const auto* distinct : {&names, &shortNames, &englishNames}) {
    EXPECT_EQ(distinct->size(), static_cast<size_t>(FilterTypeCount));
    EXPECT_EQ(distinct->count(""), 0u);
  }
}

TEST(Catalogue, TheReadmeTableOfParametersIsTheOneTheDescriptionsMake) {
  std::ifstream file(std::string(SONOLAB_SOURCE_DIR) + "/README.md");
  std::stringstream readme;
  readme << file.rdbuf();
  const std::string table = ParameterTable();
  EXPECT_NE(readme.str().find(table), std::string::npos) << "The README's table should read:\n" << table;
}

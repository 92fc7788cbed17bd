// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A settings record that Load must refuse as a malformed file.
//
// Threads: the test thread, on a filter of its own.

#include "dsp/ByteStreams.h"
#include "dsp/Filter.h"
#include "dsp/FilterError.h"

#include <gtest/gtest.h>

#include <string>

namespace sonotest {

inline ::testing::AssertionResult LoadIsRefused(TFilter& filter, const void* record, size_t size) {
  TMemoryReader in(record, size);
  try {
    filter.Load(in);
  } catch (const TFilterError& e) {
    if (std::string(e.what()) == "Неверный формат файла!") {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "refused with \"" << e.what() << "\"";
  }
  return ::testing::AssertionFailure() << "the record was accepted";
}

} // namespace sonotest

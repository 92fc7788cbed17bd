// Releases the test program's QApplication when the tests are over, before static destruction.

#include "support/QtTestApp.h"

#include <gtest/gtest.h>

namespace {

class TQtEnvironment : public ::testing::Environment {
public:
  void TearDown() override { sonotest::ReleaseApp(); }
};

const ::testing::Environment* const QtEnvironment = ::testing::AddGlobalTestEnvironment(new TQtEnvironment);

} // namespace

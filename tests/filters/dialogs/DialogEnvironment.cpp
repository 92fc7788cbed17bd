// Releases the dialogs, then the test program's QApplication, when the tests are over.

#include "DialogFixtures.h"

#include <gtest/gtest.h>

namespace {

class TDialogEnvironment : public ::testing::Environment {
public:
  void TearDown() override {
    dialogtest::DialogsHolder().reset();
    sonotest::ReleaseApp();
  }
};

const ::testing::Environment* const DialogEnvironment =
    ::testing::AddGlobalTestEnvironment(new TDialogEnvironment);

} // namespace

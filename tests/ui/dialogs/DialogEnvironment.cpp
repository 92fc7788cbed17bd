// SPDX-License-Identifier: GPL-3.0-or-later
// Sets up Qt for the dialog tests, and releases the dialogs, then the test program's QApplication,
// when the tests are over.

#include "DialogFixtures.h"

#include <gtest/gtest.h>

namespace {

class TDialogEnvironment : public ::testing::Environment {
public:
  // Qt's own event dispatcher rather than GLib's: GLib's allocator is shared with Qt's drawing
  // threads behind locks that ThreadSanitizer cannot see.
  void SetUp() override { qputenv("QT_NO_GLIB", "1"); }
  void TearDown() override {
    dialogtest::DialogsHolder().reset();
    sonotest::ReleaseApp();
  }
};

const ::testing::Environment* const DialogEnvironment =
    ::testing::AddGlobalTestEnvironment(new TDialogEnvironment);

} // namespace

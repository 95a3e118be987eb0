#include <gtest/gtest.h>

#include "support/TemporaryDataRoot.h"

// The one entry point of every test program. Each program runs under a fresh data root, so
// the shared cookie store, downloads and user defaults never touch the user's own. A program
// that needs more around its tests (a display, a toolkit) registers a gtest environment of
// its own.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new testing_support::TemporaryDataRoot);
  return RUN_ALL_TESTS();
}

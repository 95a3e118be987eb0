#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "support/TestSupport.h"

namespace testing_support {

// Points the platform's data root at a fresh folder for a whole test program, so that what
// lands under it (the shared cookie store, downloads in tmp, user defaults) never touches the
// user's own. The shared main (TestMain.cpp) registers it for every program; a test that
// wants a root of its own on top uses ScopedDataRoot.
class TemporaryDataRoot : public ::testing::Environment {
 public:
  void SetUp() override;
  void TearDown() override;
  const std::string& path() const { return folder_->path(); }

 private:
  std::unique_ptr<TempDir> folder_;
};

}  // namespace testing_support

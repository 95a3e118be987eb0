#include "support/TemporaryDataRoot.h"

#include "platform/foundation/Paths.h"

namespace testing_support {

void TemporaryDataRoot::SetUp() {
  folder_ = std::make_unique<TempDir>();
  platform::paths::setDataRoot(folder_->path());
}

void TemporaryDataRoot::TearDown() {
  platform::paths::setDataRoot("");
  folder_.reset();
}

}  // namespace testing_support

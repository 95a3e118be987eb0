#include "support/TemporaryDataRoot.h"

// Sessions made from the default configuration open the shared cookie store under the data
// root, and downloads land in its tmp folder.
[[maybe_unused]] static auto* const gDataRoot =
    ::testing::AddGlobalTestEnvironment(new testing_support::TemporaryDataRoot);

#include "support/TemporaryDataRoot.h"

// The shared session, the shared cookie store and the user defaults live under the data root.
[[maybe_unused]] static auto* const gDataRoot =
    ::testing::AddGlobalTestEnvironment(new testing_support::TemporaryDataRoot);

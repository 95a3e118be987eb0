#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The MIME type the system's type database (shared-mime-info) gives a file name extension
// (without the dot; any letter case), or nullopt when it knows none for it. The database
// differs from one system to another, so callers keep their own fallbacks for the types they
// must serve whatever it holds.
std::optional<std::string> mimeTypeForExtension(std::string_view extension);

}  // namespace platform

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

// The type of a web format by its file name extension (without the dot; any letter case),
// from the shell's own table, or nullopt for an extension the table does not name. Every
// scheme the shell serves takes what this table names from it rather than from the system's
// database, which lacks some web formats (".wasm") and names others differently (".otf").
std::optional<std::string> webMimeTypeForExtension(std::string_view extension);

}  // namespace platform

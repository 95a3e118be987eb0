#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/FileManager.h"

// The files of the application package (the main bundle) as the shell serves and reads them.
// A package may hold symbolic links; one that stays inside the package folder is followed like
// any file of it, one that leads out of it (into another application's data root, or anywhere
// else the user can read) names nothing of the package. Every path that serves or reads a
// package file opens it here, and the decision is made on the opened descriptor: where the
// kernel says the file is, never a path checked earlier.
namespace platform::package {

// The one predicate "may this package file be served": whether `realPath`, where an opened
// file really is (as the kernel names its descriptor, every link resolved), lies inside
// `packageRoot`, the package folder with its own links resolved.
bool holds(std::string_view realPath, std::string_view packageRoot);

// The main bundle's folder with its links resolved; "" when it cannot be opened.
std::string canonicalRoot();

// Opens the package file at `path` (the bundle's path joined with a path inside it) for
// reading, as fs::ReadableFile::open does, and only when the opened file lies inside the
// package. A path that is not inside the bundle's folder, or whose links lead out of it,
// fails with EXDEV; such a refusal is the caller's to log (see `refusal`), once.
fs::ReadableFile open(const std::string& path);

// The whole package file at `path`, opened as `open` does, when it holds at most `limit` bytes.
// nullopt otherwise; `error` (when given) gets the errno value of a failed open (EXDEV for a
// refusal), 0 for a file too large or unreadable.
std::optional<std::string> readFile(const std::string& path, std::uint64_t limit, int* error = nullptr);

// The in-place read of a thread that must not wait, as fs::readFileIfCached does it, of a package
// file: only a lookup that stays below the package folder and that the kernel can answer from
// its caches. nullopt for anything else (an absolute link, a link out, a file not in memory):
// the caller reads it through `open`, which decides and whose refusal is logged there.
std::optional<std::string> readFileIfCached(const std::string& path, std::uint64_t limit);

// The log line of a refused package file.
std::string refusal(const std::string& path);

// Every symbolic link in the package whose target lies outside the package folder (a link that
// leads nowhere counts by where it would lead), as paths relative to the package, sorted. For
// a web view that reads the package's files itself, which nothing else can stop from following
// them. Links to folders are not walked into: what they lead to inside the package is walked
// where it is.
std::vector<std::string> linksLeadingOut();

}  // namespace platform::package

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Error.h"

// File operations as the platform's file manager offers them. Failures come back as an
// Error: the POSIX domain with errno as code, or the Cocoa domain with 516 (the target
// exists) and 4 (no such file) where callers test for those.
namespace platform::fs {

inline constexpr long kFileNoSuchFileError = 4;
inline constexpr long kFileWriteFileExistsError = 516;

bool exists(const std::string& path);  // does not follow a final symbolic link
bool isDirectory(const std::string& path);
// With intermediates an existing folder is success; without, the parent must exist and the
// folder must not.
std::optional<Error> createDirectory(const std::string& path, bool withIntermediates);
// Removes a file or a whole tree; a missing path is an error.
std::optional<Error> remove(const std::string& path);
// Never replaces the target; across file systems the tree is copied, then the source removed.
std::optional<Error> move(const std::string& from, const std::string& to);
// Copies a file or a tree (symbolic links stay links); never replaces the target.
std::optional<Error> copy(const std::string& from, const std::string& to);
std::optional<std::string> readFile(const std::string& path);
// A temporary file in the same folder is written, flushed to disk and renamed over the
// target, so readers see the old content or the new one, never a mixture.
std::optional<Error> writeFileAtomically(const std::string& path, std::string_view data);
std::vector<std::string> contentsOfDirectory(const std::string& path);  // names, sorted
std::optional<std::uint64_t> fileSize(const std::string& path);
std::optional<std::uint64_t> freeSpace(const std::string& path);  // bytes available to us

// Marks a file or folder as one that backups leave out, or clears the mark. The mark is the
// user extended attribute "user.xdg.robots.backup" = "false" (the freedesktop.org name); a
// file system without user attributes answers ENOTSUP, with a description that says so.
std::optional<Error> setExcludedFromBackup(const std::string& path, bool excluded);
bool isExcludedFromBackup(const std::string& path);

// The process's working directory, absolute.
std::string currentDirectory();

std::string appendPath(std::string_view a, std::string_view b);
// Lexical: drops ".", resolves ".." against the preceding component (never above "/"),
// collapses doubled slashes and drops a trailing one. The file system is not consulted.
std::string normalizePath(std::string_view path);
// True when the normalised path is the normalised root or lies below it.
bool isInside(std::string_view path, std::string_view root);

Error posixError(int code);

}  // namespace platform::fs

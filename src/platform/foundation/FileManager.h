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
//
// What another program may have planted is never followed: trees are removed and copied
// through descriptors without following a link inside them, only regular files are read or
// copied (a FIFO or device is refused, never waited on), and what is created is private to
// the user (folders 0700, files 0600, whatever the umask).
namespace platform::fs {

inline constexpr long kFileNoSuchFileError = 4;
inline constexpr long kFileWriteFileExistsError = 516;

bool exists(const std::string& path);  // does not follow a final symbolic link
bool isDirectory(const std::string& path);
// With intermediates an existing folder is success; without, the parent must exist and the
// folder must not. New folders are 0700.
std::optional<Error> createDirectory(const std::string& path, bool withIntermediates);
// Removes a file or a whole tree; a missing path is an error. Nothing below `path` is
// followed: a link inside the tree is removed as a link (the final component of `path` too).
std::optional<Error> remove(const std::string& path);
// Removes everything inside the folder, which stays. The folder itself must not be a link
// (ELOOP, nothing removed), and nothing below it is followed.
std::optional<Error> removeContentsOfDirectory(const std::string& path);
// Never replaces the target; across file systems the tree is copied, then the source removed.
std::optional<Error> move(const std::string& from, const std::string& to);
// Copies a file or a tree (symbolic links stay links); never replaces the target. A tree is
// never copied into itself, also not through a link (EINVAL before anything is made); a FIFO,
// socket or device in it fails the copy (EINVAL). Copies are private: folders 0700, files
// keep only their owner's permission bits.
std::optional<Error> copy(const std::string& from, const std::string& to);
// The whole content of a regular file; nullopt for anything else (a FIFO or device is refused
// without waiting on it), on failure, or when it is larger than maximumReadSize().
std::optional<std::string> readFile(const std::string& path);

// The whole regular file at `path` (a final link followed), read without ever waiting on the
// disk: only when every part of the path is in the kernel's name cache, every byte is in its
// page cache, and it holds at most `limit` bytes. Nullopt otherwise, also on a kernel without
// such reads: the caller reads it the ordinary way, on a thread that may wait. A FIFO or
// device is refused without waiting on it.
// A final symbolic link is refused unless `followFinalLink`.
std::optional<std::string> readFileIfCached(const std::string& path, std::uint64_t limit,
                                            bool followFinalLink = true);
// The same read of a file the caller opened itself (with O_NONBLOCK, and RESOLVE_CACHED where
// opening must not wait either). The descriptor stays open.
std::optional<std::string> readOpenFileIfCached(int fd, std::uint64_t limit);
// For tests: every read above answers that it would wait.
void setReadsIfCachedWaitForTesting(bool wait);

// The most bytes one read may hand back whole: a quarter of the machine's memory, or of the
// address space or data size the process is limited to when that is smaller. Readers answer
// an error for anything larger instead of trying (and failing) to hold it.
std::uint64_t maximumReadSize();

// A regular file opened for reading. Opening never waits on a FIFO or device (O_NONBLOCK),
// and what was opened is checked on the descriptor itself; a final symbolic link is refused
// unless `followFinalLink`. The descriptor is blocking again and closed with the value.
// What tells one content of an open file from another as it is served: its size and the time
// of its last change. A file rewritten or cut short in place shows another version.
struct FileVersion {
  std::int64_t size = -1;
  std::int64_t modifiedNanoseconds = 0;
  // The version of the open file `fd` now (size -1 when it cannot be read).
  static FileVersion of(int fd);
  // Whether `fd` still shows this version.
  bool isCurrent(int fd) const { return size >= 0 && of(fd) == *this; }
  bool operator==(const FileVersion&) const = default;
};

class ReadableFile {
 public:
  static ReadableFile open(const std::string& path, bool followFinalLink = true);
  // Takes over a descriptor opened for reading (with O_NONBLOCK, so that opening never waited
  // on a FIFO) and checks it as open() does.
  static ReadableFile adopt(int fd);
  // A value that opened nothing, with `error` as its errno value.
  static ReadableFile failed(int error);
  ReadableFile(ReadableFile&& other) noexcept;
  ReadableFile& operator=(ReadableFile&& other) noexcept;
  ReadableFile(const ReadableFile&) = delete;
  ReadableFile& operator=(const ReadableFile&) = delete;
  ~ReadableFile();

  bool isOpen() const { return fd_ >= 0; }
  // The errno value of a failed open; EINVAL when something other than a regular file is there.
  int error() const { return error_; }
  int fd() const { return fd_; }
  std::uint64_t size() const { return size_; }
  // Hands the descriptor over; the value no longer closes it.
  int release();
  // Where the opened file really is (links resolved by the kernel), "" when unknown.
  std::string realPath() const;

 private:
  ReadableFile() = default;
  int fd_ = -1;
  int error_ = 0;
  std::uint64_t size_ = 0;
};

// The content of the open regular file, read from its start with reads straight into a buffer
// of the size it had when it was opened (what is there, when it shrank meanwhile); nullopt on
// failure or when it held more than `limit` bytes.
std::optional<std::string> readWhole(const ReadableFile& file, std::uint64_t limit);

// Copies the content of the open file `from`, from its start, into a new file `to`, which is
// never replaced (and removed again when the copy fails). The copy keeps only its owner's
// permission bits, readable and writable by the owner at least.
std::optional<Error> copyFile(const ReadableFile& from, const std::string& to);

// The path the kernel has for an open descriptor, "" when unknown.
std::string pathOfDescriptor(int fd);
// The real path of an existing `path` with every link followed, as realpath(3) gives it;
// nullopt when there is none (errno tells why).
std::optional<std::string> realPath(const std::string& path);
// The real path of `path` with links followed, where the part that does not exist yet is
// taken as it stands below its deepest existing folder; nullopt when a link leads nowhere or
// the path cannot be resolved.
std::optional<std::string> realPathAllowingMissing(const std::string& path);
// open(2) of an absolute path in a lookup that refuses every link: a descriptor only when the
// kernel met no link on the way, so that the path as written (once "." and ".." are taken
// out) is the file's real path. -1 with errno otherwise: ELOOP for a link, ENOSYS where the
// kernel cannot tell.
int openWithoutLinks(const std::string& path, int flags, unsigned mode = 0);
// A temporary file in the same folder is written, flushed to disk and renamed over the
// target, so readers see the old content or the new one, never a mixture. The file is 0600
// (a replaced file keeps its owner's permission bits).
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

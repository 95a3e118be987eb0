#include "platform/foundation/FileManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <glib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <set>
#include <utility>

#include "platform/foundation/Strings.h"

namespace platform::fs {

namespace {

Error cocoaError(long code, const std::string& path) {
  const char* what = code == kFileWriteFileExistsError ? "The file already exists"
                                                       : "No such file or directory";
  Error e = Error::make(kCocoaErrorDomain, code, std::string(what) + ": " + path);
  e.userInfo["NSFilePath"] = path;
  return e;
}

Error pathError(int code, const std::string& path) {
  Error e = posixError(code);
  e.userInfo["NSFilePath"] = path;
  return e;
}

struct FileDescriptor {
  int fd = -1;
  explicit FileDescriptor(int f) : fd(f) {}
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
};

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Folders copied or made keep only their owner's bits; files too, readable and writable by
// the owner at least.
constexpr mode_t kPrivateFolderMode = S_IRWXU;
constexpr mode_t kPrivateFileMode = S_IRUSR | S_IWUSR;

// Nested folders a copy or removal walks at most: each level holds a descriptor.
constexpr int kMaximumTreeDepth = 512;

std::optional<Error> copyFile(const std::string& from, const std::string& to) {
  ReadableFile in = ReadableFile::open(from, false);
  if (!in.isOpen()) return pathError(in.error(), from);
  return copyFile(in, to);
}

using Identity = std::pair<dev_t, ino_t>;

// `made` holds the folders this copy created: a source folder among them is the copy itself,
// reached through a link, and is not copied again.
std::optional<Error> copyTree(const std::string& from, const std::string& to, std::set<Identity>& made, int depth) {
  struct stat st;
  if (::lstat(from.c_str(), &st) != 0) return pathError(errno, from);
  if (S_ISLNK(st.st_mode)) {
    std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
    ssize_t n = ::readlink(from.c_str(), target.data(), target.size());
    if (n < 0) return pathError(errno, from);
    target.resize(static_cast<size_t>(n));
    if (::symlink(target.c_str(), to.c_str()) != 0) {
      if (errno == EEXIST) return cocoaError(kFileWriteFileExistsError, to);
      return pathError(errno, to);
    }
    return std::nullopt;
  }
  if (!S_ISDIR(st.st_mode)) {
    if (!S_ISREG(st.st_mode)) return pathError(EINVAL, from);
    return copyFile(from, to);
  }
  if (made.count({st.st_dev, st.st_ino}) || depth > kMaximumTreeDepth) return pathError(ELOOP, from);
  if (::mkdir(to.c_str(), kPrivateFolderMode) != 0) {
    if (errno == EEXIST) return cocoaError(kFileWriteFileExistsError, to);
    return pathError(errno, to);
  }
  struct stat created;
  if (::lstat(to.c_str(), &created) == 0) made.insert({created.st_dev, created.st_ino});
  for (const std::string& name : contentsOfDirectory(from))
    if (auto error = copyTree(appendPath(from, name), appendPath(to, name), made, depth + 1)) return error;
  return std::nullopt;
}

std::optional<Error> copyTree(const std::string& from, const std::string& to) {
  std::set<Identity> made;
  return copyTree(from, to, made, 0);
}

int removeEntryAt(int folder, const char* name, int depth);

// Removes every entry of the open folder `fd` (which it closes), following nothing.
int removeContentsAt(int fd, int depth) {
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    int code = errno;
    ::close(fd);
    return code;
  }
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.emplace_back(entry->d_name);
  }
  int code = 0;
  for (const std::string& name : names)
    if ((code = removeEntryAt(::dirfd(dir), name.c_str(), depth)) != 0) break;
  ::closedir(dir);
  return code;
}

int removeEntryAt(int folder, const char* name, int depth) {
  struct stat st;
  if (::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (S_ISDIR(st.st_mode)) {
    if (depth > kMaximumTreeDepth) return ELOOP;
    int fd = ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno;
    if (int code = removeContentsAt(fd, depth + 1)) return code;
    return ::unlinkat(folder, name, AT_REMOVEDIR) == 0 ? 0 : errno;
  }
  return ::unlinkat(folder, name, 0) == 0 ? 0 : errno;
}

std::string parentOf(const std::string& path);

std::optional<Error> removeTree(const std::string& path) {
  std::string normal = normalizePath(path);
  size_t slash = normal.find_last_of('/');
  std::string name = slash == std::string::npos ? normal : normal.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return pathError(EINVAL, path);
  FileDescriptor folder(::open(parentOf(normal).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.fd < 0) return pathError(errno, path);
  if (int code = removeEntryAt(folder.fd, name.c_str(), 0)) return pathError(code, path);
  return std::nullopt;
}

std::string parentOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

Error posixError(int code) {
  return Error::make(kPOSIXErrorDomain, code, std::strerror(code));
}

std::optional<Error> copyFile(const ReadableFile& from, const std::string& to) {
  if (!from.isOpen()) return pathError(EBADF, to);
  struct stat info;
  if (::fstat(from.fd(), &info) != 0) return pathError(errno, to);
  // O_EXCL: the target is never replaced, even if it appeared after our check.
  FileDescriptor out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                            (info.st_mode & S_IRWXU) | kPrivateFileMode));
  if (out.fd < 0) {
    if (errno == EEXIST) return cocoaError(kFileWriteFileExistsError, to);
    return pathError(errno, to);
  }
  char buffer[64 * 1024];
  off_t offset = 0;
  while (true) {
    // Read by position: the copy is the whole file, wherever the descriptor stands.
    ssize_t n = ::pread(from.fd(), buffer, sizeof buffer, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || !writeAll(out.fd, buffer, static_cast<size_t>(n))) {
      int code = errno;
      ::unlink(to.c_str());
      return pathError(code, to);
    }
    if (n == 0) return std::nullopt;
    offset += n;
  }
}

namespace {
constexpr const char* kBackupAttribute = "user.xdg.robots.backup";
}

std::optional<Error> setExcludedFromBackup(const std::string& path, bool excluded) {
  int result = excluded ? ::setxattr(path.c_str(), kBackupAttribute, "false", 5, 0)
                        : ::removexattr(path.c_str(), kBackupAttribute);
  if (result == 0) return std::nullopt;
  int code = errno;
  if (!excluded && code == ENODATA) return std::nullopt;
  Error e = posixError(code);
  if (code == ENOTSUP)
    e.userInfo["NSLocalizedDescription"] =
        "The file system does not support user extended attributes, so the file cannot be excluded from backups.";
  e.userInfo["NSFilePath"] = path;
  return e;
}

bool isExcludedFromBackup(const std::string& path) {
  char value[8] = {};
  ssize_t size = ::getxattr(path.c_str(), kBackupAttribute, value, sizeof(value) - 1);
  return size == 5 && std::string_view(value, 5) == "false";
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<Error> createDirectory(const std::string& path, bool withIntermediates) {
  if (path.empty()) return pathError(ENOENT, path);
  if (!withIntermediates) {
    if (::mkdir(path.c_str(), kPrivateFolderMode) == 0) return std::nullopt;
    if (errno == EEXIST) return cocoaError(kFileWriteFileExistsError, path);
    return pathError(errno, path);
  }
  if (isDirectory(path)) return std::nullopt;
  if (exists(path)) return cocoaError(kFileWriteFileExistsError, path);
  std::string parent = parentOf(path);
  if (parent != path && parent != "." && parent != "/" && !isDirectory(parent))
    if (auto error = createDirectory(parent, true)) return error;
  // Another thread may have made it in the meantime; that is success too.
  if (::mkdir(path.c_str(), kPrivateFolderMode) != 0 && !(errno == EEXIST && isDirectory(path)))
    return pathError(errno, path);
  return std::nullopt;
}

std::optional<Error> remove(const std::string& path) {
  if (!exists(path)) return cocoaError(kFileNoSuchFileError, path);
  return removeTree(path);
}

std::optional<Error> move(const std::string& from, const std::string& to) {
  if (!exists(from)) return cocoaError(kFileNoSuchFileError, from);
  if (exists(to)) return cocoaError(kFileWriteFileExistsError, to);
  // RENAME_NOREPLACE closes the window between the check above and the rename; file systems
  // without it get a plain rename.
  int result = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
  if (result != 0 && (errno == EINVAL || errno == ENOSYS)) result = ::rename(from.c_str(), to.c_str());
  if (result == 0) return std::nullopt;
  if (errno == EEXIST) return cocoaError(kFileWriteFileExistsError, to);
  if (errno != EXDEV) return pathError(errno, to);
  if (auto error = copyTree(from, to)) {
    if (error->code != kFileWriteFileExistsError) removeTree(to);
    return error;
  }
  return removeTree(from);
}

std::optional<Error> removeContentsOfDirectory(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return pathError(errno == ENOTDIR && exists(path) ? ELOOP : errno, path);
  if (int code = removeContentsAt(fd, 0)) return pathError(code, path);
  return std::nullopt;
}

std::optional<Error> copy(const std::string& from, const std::string& to) {
  if (!exists(from)) return cocoaError(kFileNoSuchFileError, from);
  if (exists(to)) return cocoaError(kFileWriteFileExistsError, to);
  // Into itself: the target's folder, links resolved, lies in the source tree.
  struct stat st;
  if (::lstat(from.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    auto realFrom = realPathAllowingMissing(from);
    auto realFolder = realPathAllowingMissing(parentOf(normalizePath(to)));
    if (!realFrom || !realFolder || isInside(*realFolder, *realFrom)) return pathError(EINVAL, to);
  }
  return copyTree(from, to);
}

std::uint64_t maximumReadSize() {
  static const std::uint64_t maximum = [] {
    long pages = ::sysconf(_SC_PHYS_PAGES);
    long pageSize = ::sysconf(_SC_PAGESIZE);
    std::uint64_t memory = pages > 0 && pageSize > 0 ? std::uint64_t(pages) * std::uint64_t(pageSize)
                                                       : std::uint64_t(1) << 32;
    for (int resource : {RLIMIT_AS, RLIMIT_DATA}) {
      struct rlimit limit;
      if (::getrlimit(resource, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        memory = std::min<std::uint64_t>(memory, limit.rlim_cur);
    }
    return std::max<std::uint64_t>(memory / 4, 1);
  }();
  return maximum;
}

ReadableFile ReadableFile::open(const std::string& path, bool followFinalLink) {
  int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (followFinalLink ? 0 : O_NOFOLLOW);
  int fd = ::open(path.c_str(), flags);
  if (fd < 0) {
    ReadableFile file;
    file.error_ = errno;
    return file;
  }
  return adopt(fd);
}

ReadableFile ReadableFile::adopt(int fd) {
  ReadableFile file;
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    file.error_ = EINVAL;
    ::close(fd);
    return file;
  }
  int mode = ::fcntl(fd, F_GETFL);
  if (mode >= 0) ::fcntl(fd, F_SETFL, mode & ~O_NONBLOCK);
  file.fd_ = fd;
  file.size_ = std::uint64_t(info.st_size);
  return file;
}

ReadableFile ReadableFile::failed(int error) {
  ReadableFile file;
  file.error_ = error;
  return file;
}

ReadableFile::ReadableFile(ReadableFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), error_(other.error_), size_(other.size_) {}

ReadableFile& ReadableFile::operator=(ReadableFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    error_ = other.error_;
    size_ = other.size_;
  }
  return *this;
}

ReadableFile::~ReadableFile() {
  if (fd_ >= 0) ::close(fd_);
}

int ReadableFile::release() { return std::exchange(fd_, -1); }

std::string ReadableFile::realPath() const { return fd_ >= 0 ? pathOfDescriptor(fd_) : std::string(); }

std::string pathOfDescriptor(int fd) {
  char target[PATH_MAX + 1];
  std::string link = "/proc/self/fd/" + std::to_string(fd);
  ssize_t n = ::readlink(link.c_str(), target, PATH_MAX);
  if (n <= 0) return "";
  std::string path(target, static_cast<size_t>(n));
  // A file removed since it was opened, or one without a name in this mount namespace.
  if (path.front() != '/' || endsWith(path, " (deleted)")) return "";
  return path;
}

int openWithoutLinks(const std::string& path, int flags, unsigned mode) {
#ifdef SYS_openat2
  if (path.empty() || path.front() != '/') {
    errno = EINVAL;
    return -1;
  }
  struct open_how how {};
  how.flags = static_cast<std::uint64_t>(flags);
  how.mode = (flags & O_CREAT) ? mode : 0;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  return static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how));
#else
  (void)path;
  (void)flags;
  (void)mode;
  errno = ENOSYS;
  return -1;
#endif
}

std::optional<std::string> realPath(const std::string& path) {
  // realpath(3) reads every component as a link, one lookup each. An absolute path in which the
  // kernel meets no link at all is its own real path once "." and ".." are taken out: one
  // lookup that refuses every link tells. A missing entry (or a file used as a folder) met
  // before any link fails realpath(3) the same way; anything else (a link, a kernel without
  // openat2) leaves the answer to realpath(3).
  if (!path.empty() && path.front() == '/') {
    int fd = openWithoutLinks(path, O_PATH | O_CLOEXEC);
    if (fd >= 0) {
      ::close(fd);
      return normalizePath(path);
    }
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
  }
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved)) return std::string(resolved);
  return std::nullopt;
}

std::optional<std::string> realPathAllowingMissing(const std::string& path) {
  std::string head = path;
  std::string tail;
  while (true) {
    if (auto resolved = realPath(head)) return tail.empty() ? std::move(*resolved) : appendPath(*resolved, tail);
    if (errno != ENOENT && errno != ENOTDIR) return std::nullopt;
    struct stat info;
    if (::lstat(head.c_str(), &info) == 0) return std::nullopt;
    size_t slash = head.find_last_of('/');
    if (slash == std::string::npos || head == "/") return std::nullopt;
    std::string name = head.substr(slash + 1);
    tail = tail.empty() ? name : name + "/" + tail;
    head = slash == 0 ? "/" : head.substr(0, slash);
  }
}

std::optional<std::string> readFile(const std::string& path) {
  ReadableFile file = ReadableFile::open(path);
  if (!file.isOpen() || file.size() > maximumReadSize()) return std::nullopt;
  try {
    std::string data;
    if (file.size() > 0) data.reserve(static_cast<size_t>(file.size()));
    char buffer[64 * 1024];
    while (true) {
      ssize_t n = ::read(file.fd(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return std::nullopt;
      if (n == 0) return data;
      // A file that grows while it is read is held no further than the limit.
      if (data.size() + static_cast<size_t>(n) > maximumReadSize()) return std::nullopt;
      data.append(buffer, static_cast<size_t>(n));
    }
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

std::optional<std::string> readWhole(const ReadableFile& file, std::uint64_t limit) {
  if (!file.isOpen() || file.size() > limit) return std::nullopt;
  try {
    std::string data(static_cast<size_t>(file.size()), '\0');
    size_t got = 0;
    while (got < data.size()) {
      ssize_t n = ::pread(file.fd(), data.data() + got, data.size() - got, static_cast<off_t>(got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return std::nullopt;
      if (n == 0) break;  // it shrank meanwhile: what is there
      got += static_cast<size_t>(n);
    }
    data.resize(got);
    return data;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

namespace {
std::atomic<bool> gCachedReadsWait{false};
bool readsIfCachedWait() { return gCachedReadsWait.load(std::memory_order_relaxed); }
}  // namespace

void setReadsIfCachedWaitForTesting(bool wait) { gCachedReadsWait.store(wait, std::memory_order_relaxed); }

std::optional<std::string> readFileIfCached(const std::string& path, std::uint64_t limit, bool followFinalLink) {
#if defined(SYS_openat2) && defined(RESOLVE_CACHED) && defined(RWF_NOWAIT)
  if (readsIfCachedWait() || path.empty()) return std::nullopt;
  // Opening without O_NOATIME may have to record the access time, which a read of a file of
  // our own never needs; a file of another owner (the installed package) refuses the flag.
  struct open_how how {};
  how.flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOATIME | (followFinalLink ? 0 : O_NOFOLLOW);
  how.resolve = RESOLVE_CACHED;
  long opened = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
  if (opened < 0 && errno == EPERM) {
    how.flags &= ~static_cast<std::uint64_t>(O_NOATIME);
    opened = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
  }
  if (opened < 0) return std::nullopt;  // would wait (EAGAIN), missing, a refused link, or no such call here
  FileDescriptor fd(static_cast<int>(opened));
  return readOpenFileIfCached(fd.fd, limit);
#else
  (void)path;
  (void)limit;
  (void)followFinalLink;
  return std::nullopt;
#endif
}

std::optional<std::string> readOpenFileIfCached(int fd, std::uint64_t limit) {
#if defined(RWF_NOWAIT)
  if (readsIfCachedWait()) return std::nullopt;
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || static_cast<std::uint64_t>(info.st_size) > limit)
    return std::nullopt;
  try {
    std::string data(static_cast<size_t>(info.st_size), '\0');
    size_t got = 0;
    while (got < data.size()) {
      struct iovec part {data.data() + got, data.size() - got};
      ssize_t n = ::preadv2(fd, &part, 1, static_cast<off_t>(got), RWF_NOWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return std::nullopt;  // not all in memory, failed, or shrank meanwhile
      got += static_cast<size_t>(n);
    }
    return data;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
#else
  (void)fd;
  (void)limit;
  return std::nullopt;
#endif
}

std::optional<Error> writeFileAtomically(const std::string& path, std::string_view data) {
  if (path.empty() || path.back() == '/') return pathError(EISDIR, path);
  std::string folder = parentOf(path);
  size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temp = appendPath(folder, "." + name + ".XXXXXX");
  FileDescriptor fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (fd.fd < 0) return pathError(errno, path);
  // Keep the owner's permissions of the file being replaced; a new file is the owner's alone.
  struct stat st;
  mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & S_IRWXU) : kPrivateFileMode;
  if (::fchmod(fd.fd, mode) != 0 || !writeAll(fd.fd, data.data(), data.size()) ||
      ::fsync(fd.fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
    int code = errno;
    ::unlink(temp.c_str());
    return pathError(code, path);
  }
  // Make the rename itself durable.
  FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.fd >= 0) ::fsync(dir.fd);
  return std::nullopt;
}

std::vector<std::string> contentsOfDirectory(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(path.c_str());
  if (!dir) return names;
  while (dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<std::uint64_t> fileSize(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

std::optional<std::uint64_t> freeSpace(const std::string& path) {
  struct statvfs st;
  if (::statvfs(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
}

std::string currentDirectory() {
  gchar* cwd = g_get_current_dir();
  std::string path = cwd;
  g_free(cwd);
  return path;
}

std::string appendPath(std::string_view a, std::string_view b) {
  if (a.empty()) return std::string(b);
  if (b.empty()) return std::string(a);
  std::string out(a);
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  while (!b.empty() && b.front() == '/') b.remove_prefix(1);
  if (out.back() != '/') out.push_back('/');
  out.append(b);
  return out;
}

std::string normalizePath(std::string_view path) {
  bool absolute = !path.empty() && path.front() == '/';
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty() && parts.back() != "..") {
        parts.pop_back();
        continue;
      }
      if (absolute) continue;  // nothing lies above "/"
    }
    parts.push_back(part);
  }
  std::string out = absolute ? "/" : "";
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out.push_back('/');
    out.append(parts[i]);
  }
  if (out.empty()) out = ".";
  return out;
}

bool isInside(std::string_view path, std::string_view root) {
  if (path.empty() || root.empty()) return false;
  std::string p = normalizePath(path);
  std::string r = normalizePath(root);
  // A relative path and an absolute root (or the reverse) cannot be compared lexically.
  if ((p.front() == '/') != (r.front() == '/')) return false;
  if (r == ".") return p != ".." && !startsWith(p, "../");
  if (p == r) return true;
  if (r == "/") return true;
  return p.size() > r.size() && p.compare(0, r.size(), r) == 0 && p[r.size()] == '/';
}

}  // namespace platform::fs

namespace platform::fs {

FileVersion FileVersion::of(int fd) {
  struct stat status {};
  if (fd < 0 || ::fstat(fd, &status) != 0) return {};
  return {static_cast<std::int64_t>(status.st_size),
          static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec};
}

}  // namespace platform::fs

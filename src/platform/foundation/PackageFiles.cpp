#include "platform/foundation/PackageFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/NoWait.h"

namespace platform::package {

namespace {

// Nested folders the walk for links goes down at most: each level holds a descriptor.
constexpr int kMaximumTreeDepth = 512;

// The package folder as the bundle names it, opened once: lookups start from its descriptor, so
// a package folder replaced under the same name later changes nothing of what is served.
struct Root {
  std::string given;    // the bundle's path as it was when opened
  std::string lexical;  // the same, normalised: what paths of package files start with
  std::string canonical;
  int fd = -1;
  ~Root() {
    if (fd >= 0) ::close(fd);
  }
};

std::mutex gRootMutex;
std::shared_ptr<const Root> gRoot;

long openBeneath(int folder, const std::string& relative, std::uint64_t flags, std::uint64_t resolve) {
#ifdef SYS_openat2
  struct open_how how {};
  how.flags = flags;
  how.resolve = resolve;
  return ::syscall(SYS_openat2, folder, relative.c_str(), &how, sizeof how);
#else
  (void)folder;
  (void)relative;
  (void)flags;
  (void)resolve;
  errno = ENOSYS;
  return -1;
#endif
}

std::string absolute(const std::string& path);

// The root of the current main bundle. A thread that must not wait gets it only when it is
// open already or the kernel can open it from its caches.
std::shared_ptr<const Root> currentRoot(bool mayWait) {
  const std::string& bundle = Bundle::main().bundlePath();
  {
    auto lock = nowait::lock(gRootMutex);
    if (!lock.owns_lock()) return nullptr;
    if (gRoot && gRoot->given == bundle) return gRoot;
  }
  if (bundle.empty()) return nullptr;
  long fd;
  if (mayWait) {
    fd = ::open(bundle.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  } else {
#ifdef RESOLVE_CACHED
    fd = openBeneath(AT_FDCWD, bundle, O_PATH | O_DIRECTORY | O_CLOEXEC, RESOLVE_CACHED);
#else
    fd = -1;
#endif
  }
  if (fd < 0) return nullptr;
  auto root = std::make_shared<Root>();
  root->fd = static_cast<int>(fd);
  root->given = bundle;
  root->lexical = absolute(bundle);
  root->canonical = fs::pathOfDescriptor(root->fd);
  if (root->canonical.empty()) return nullptr;
  auto lock = nowait::lock(gRootMutex);
  if (!lock.owns_lock()) return root;
  // Another thread may have opened the same folder meanwhile: one of them is kept.
  if (!gRoot || gRoot->given != bundle) gRoot = root;
  return gRoot;
}

// `path` as an absolute, normalised path (a relative one taken from the current folder).
std::string absolute(const std::string& path) {
  return fs::normalizePath(path.empty() || path.front() == '/' ? path : fs::appendPath(fs::currentDirectory(), path));
}

// `path` relative to the package folder, when it lies inside it as written; nullopt otherwise.
std::optional<std::string> relativeTo(const Root& root, const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return std::nullopt;
  // Every served file asks: a path of plain names below the folder as written is taken as it
  // stands, without normalising it again.
  const std::string& base = root.lexical;
  if (base != "/" && path.size() > base.size() + 1 && path.compare(0, base.size(), base) == 0 &&
      path[base.size()] == '/') {
    std::string_view rest = std::string_view(path).substr(base.size() + 1);
    bool plain = rest.back() != '/';
    for (size_t start = 0; plain && start <= rest.size();) {
      size_t end = rest.find('/', start);
      if (end == std::string_view::npos) end = rest.size();
      std::string_view part = rest.substr(start, end - start);
      plain = !part.empty() && part != "." && part != "..";
      start = end + 1;
    }
    if (plain) return std::string(rest);
  }
  std::string normal = absolute(path);
  if (normal == root.lexical || !fs::isInside(normal, root.lexical)) return std::nullopt;
  return normal.substr(root.lexical == "/" ? 1 : root.lexical.size() + 1);
}

constexpr std::uint64_t kReadFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// Where a link at `link` (a real path) would lead, every link on the way resolved as far as the
// path exists; nullopt when that cannot be told.
std::optional<std::string> targetOf(const std::string& link) {
  if (auto real = fs::realPath(link)) return real;
  // It leads nowhere (yet): where its text leads, from the link's folder.
  char text[PATH_MAX + 1];
  ssize_t n = ::readlink(link.c_str(), text, PATH_MAX);
  if (n <= 0) return std::nullopt;
  std::string target(text, static_cast<size_t>(n));
  if (target.front() != '/') target = fs::appendPath(link.substr(0, link.find_last_of('/')), target);
  return fs::realPathAllowingMissing(fs::normalizePath(target));
}

// Walks the open folder `fd` (which it closes) at `relative` below the package.
void walk(int fd, const std::string& relative, const Root& root, int depth, std::vector<std::string>& out) {
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return;
  }
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.emplace_back(entry->d_name);
  }
  for (const std::string& name : names) {
    std::string path = relative.empty() ? name : relative + "/" + name;
    struct stat info;
    if (::fstatat(::dirfd(dir), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISLNK(info.st_mode)) {
      auto target = targetOf(fs::appendPath(root.canonical, path));
      if (!target || !holds(*target, root.canonical)) out.push_back(path);
    } else if (S_ISDIR(info.st_mode) && depth < kMaximumTreeDepth) {
      int child = ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) walk(child, path, root, depth + 1, out);
    }
  }
  ::closedir(dir);
}

}  // namespace

bool holds(std::string_view realPath, std::string_view packageRoot) {
  if (realPath.empty() || packageRoot.empty() || realPath.front() != '/' || packageRoot.front() != '/') return false;
  if (packageRoot == "/" || realPath == packageRoot) return true;
  return realPath.size() > packageRoot.size() && realPath.compare(0, packageRoot.size(), packageRoot) == 0 &&
         realPath[packageRoot.size()] == '/';
}

std::string canonicalRoot() {
  auto root = currentRoot(true);
  return root ? root->canonical : std::string();
}

fs::ReadableFile open(const std::string& path) {
  auto root = currentRoot(true);
  if (!root) return fs::ReadableFile::failed(ENOENT);
  auto relative = relativeTo(*root, path);
  if (!relative) return fs::ReadableFile::failed(EXDEV);
  // The kernel keeps the whole lookup below the package folder: a link inside it is followed,
  // one that climbs out fails with EXDEV.
  long fd = openBeneath(root->fd, *relative, kReadFlags, RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS);
  if (fd >= 0) return fs::ReadableFile::adopt(static_cast<int>(fd));
  if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != E2BIG) return fs::ReadableFile::failed(errno);
  // An absolute link counts as climbing out even where it leads back in, and an older kernel
  // cannot keep a lookup below a folder: the file is looked up without being opened, decided by
  // where its descriptor really is, and only then opened, through that descriptor.
  int found = ::openat(root->fd, relative->c_str(), O_PATH | O_CLOEXEC);
  if (found < 0) return fs::ReadableFile::failed(errno);
  std::string real = fs::pathOfDescriptor(found);
  if (!holds(real, root->canonical)) {
    ::close(found);
    return fs::ReadableFile::failed(EXDEV);
  }
  int opened = ::open(("/proc/self/fd/" + std::to_string(found)).c_str(), static_cast<int>(kReadFlags));
  int error = errno;
  ::close(found);
  if (opened < 0) return fs::ReadableFile::failed(error);
  return fs::ReadableFile::adopt(opened);
}

std::optional<std::string> readFile(const std::string& path, std::uint64_t limit, int* error) {
  fs::ReadableFile file = open(path);
  if (error) *error = file.isOpen() ? 0 : file.error();
  return fs::readWhole(file, limit);
}

std::optional<std::string> readFileIfCached(const std::string& path, std::uint64_t limit) {
#if defined(RESOLVE_CACHED)
  auto root = currentRoot(false);
  if (!root) return std::nullopt;
  auto relative = relativeTo(*root, path);
  if (!relative) return std::nullopt;
  constexpr std::uint64_t kResolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS | RESOLVE_CACHED;
  // As fs::readFileIfCached: no access time to record, where the file's owner allows it.
  long fd = openBeneath(root->fd, *relative, kReadFlags | O_NOATIME, kResolve);
  if (fd < 0 && errno == EPERM) fd = openBeneath(root->fd, *relative, kReadFlags, kResolve);
  if (fd < 0) return std::nullopt;
  auto data = fs::readOpenFileIfCached(static_cast<int>(fd), limit);
  ::close(static_cast<int>(fd));
  return data;
#else
  (void)path;
  (void)limit;
  return std::nullopt;
#endif
}

std::string refusal(const std::string& path) {
  return "Refused to read " + path + ": it leads out of the application package.";
}

std::vector<std::string> linksLeadingOut() {
  std::vector<std::string> out;
  auto root = currentRoot(true);
  if (!root) return out;
  int fd = ::openat(root->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) walk(fd, "", *root, 0, out);
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace platform::package

#include "platform/foundation/Paths.h"

#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/PackageFiles.h"

namespace platform::paths {

namespace {

std::mutex gMutex;
std::string gRoot;
std::string gBundleIdentifier;

std::string defaultRoot(const std::string& identifier) {
  if (const char* env = std::getenv("VELTRO_DATA_ROOT"); env && *env) return env;
  std::string base;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = fs::appendPath(home && *home ? home : g_get_home_dir(), ".local/share");
  }
  return fs::appendPath(fs::appendPath(base, "veltro"), identifier);
}

std::string folder(const char* relative) {
  std::string path = relative ? fs::appendPath(dataRoot(), relative) : dataRoot();
  if (auto error = fs::createDirectory(path, true))
    log("Cannot create folder " + path + ": " + error->localizedDescription());
  return path;
}

}  // namespace

void setDataRoot(std::string root) {
  std::lock_guard lock(gMutex);
  gRoot = std::move(root);
}

std::string dataRoot() {
  {
    std::lock_guard lock(gMutex);
    if (!gRoot.empty()) return gRoot;
  }
  return defaultRoot(bundleIdentifier());
}

void setBundleIdentifier(std::string identifier) {
  std::lock_guard lock(gMutex);
  gBundleIdentifier = std::move(identifier);
}

std::string bundleIdentifier() {
  std::string identifier;
  {
    std::lock_guard lock(gMutex);
    identifier = gBundleIdentifier;
  }
  // The main bundle is asked outside our lock: it reads its Info.plist on first use. Any
  // entry point that opened a package gets its identifier, not only the shell.
  if (identifier.empty()) identifier = Bundle::main().bundleIdentifier();
  if (identifier.empty()) return "app";
  if (!isValidBundleIdentifier(identifier)) {
    static std::once_flag logged;
    std::call_once(logged, [&] {
      log("The bundle identifier '" + identifier + "' is not a reverse-DNS name; using 'app'.");
    });
    return "app";
  }
  return identifier;
}

bool isValidBundleIdentifier(const std::string& identifier) {
  if (identifier.empty() || identifier.size() > 255) return false;
  bool labelStart = true;
  for (char c : identifier) {
    if (c == '.') {
      if (labelStart) return false;  // a leading dot or two dots in a row
      labelStart = true;
      continue;
    }
    bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && c != '-') return false;
    labelStart = false;
  }
  return !labelStart;  // no trailing dot
}

std::string documents() { return folder("Documents"); }
std::string library() { return folder("Library"); }
std::string caches() { return folder("Library/Caches"); }
std::string applicationSupport() { return folder("Library/Application Support"); }
std::string preferences() { return folder("Library/Preferences"); }
std::string tmp() { return folder("tmp"); }

namespace {

// The folders of the data root the shell keeps for itself, relative to it.
constexpr const char* kShellFolders[] = {"Library/Cookies", "Library/WebKit", "Library/Caches/WebKit",
                                         "Library/Preferences", "Library/Application Support"};
// The folders a page may reach with all they hold (but the shell's folders inside them). Of the
// data root's own entries only these; everything else there (the lock file, the photo library)
// is the shell's.
constexpr const char* kPageFolders[] = {"Documents", "tmp", "Library"};
// The standard folders checked at start: none may be a link.
constexpr const char* kStandardFolders[] = {"Documents", "Library", "tmp", "Media", "Library/Caches",
                                            "Library/Application Support", "Library/Preferences",
                                            "Library/Cookies", "Library/WebKit", "Library/Caches/WebKit"};
constexpr const char* kPackageRecord = "Library/Application Support/VeltroPackage";

std::string canonical(const std::string& path) { return fs::realPath(path).value_or(fs::normalizePath(path)); }

// fs::isInside for paths that are normalised already, without making new strings: this runs
// several times for every file a page touches.
bool within(std::string_view path, std::string_view root) {
  if (path.empty() || root.empty() || (path.front() == '/') != (root.front() == '/')) return false;
  if (path == root || root == "/") return true;
  return path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/';
}

// `path` (absolute, normalised) against a data root `root` of the same form.
bool reachableBelowDataRoot(const std::string& path, const std::string& root) {
  if (!within(path, root)) return false;
  if (path == root) return true;
  // What lies below the root, without the slash that starts it.
  std::string_view below = std::string_view(path).substr(root == "/" ? 1 : root.size() + 1);
  for (const char* shell : kShellFolders)
    if (within(below, shell)) return false;
  for (const char* page : kPageFolders)
    if (within(below, page)) return true;
  return false;
}

// The package part is the one answer to "is this the package's file" (platform::package).
bool reachable(const std::string& path, const std::string& root, const std::string& package) {
  return reachableBelowDataRoot(path, root) || package::holds(path, package);
}

}  // namespace

bool pageMayReach(const std::string& path) { return pageMayReach(path, std::nullopt); }

bool pageMayReach(const std::string& path, const std::optional<std::string>& resolved) {
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) return false;
  std::string normal = fs::normalizePath(path);
  std::string root = fs::normalizePath(dataRoot());
  std::string package = Bundle::main().bundlePath();
  if (!package.empty()) package = fs::normalizePath(package);
  if (!reachable(normal, root, package)) return false;
  // The same with every link resolved: a link must not lead where the path could not.
  auto real = resolved ? resolved : fs::realPathAllowingMissing(normal);
  if (!real) return false;
  // A path that no link bends is its own real path, and so is the root or package it lies in:
  // the check above already answered for it.
  if (*real == normal) return true;
  return reachable(*real, canonical(root), package.empty() ? package : canonical(package));
}

bool pageMayReachAll(const std::string& path) {
  if (!pageMayReach(path)) return false;
  std::string root = fs::normalizePath(dataRoot());
  std::string realRoot = canonical(root);
  std::string normal = fs::normalizePath(path);
  std::string real = fs::realPathAllowingMissing(normal).value_or(normal);
  if (normal == root || real == realRoot) return false;
  for (const char* shell : kShellFolders) {
    if (fs::isInside(fs::appendPath(root, shell), normal) || fs::isInside(fs::appendPath(realRoot, shell), real))
      return false;
  }
  return true;
}

namespace {

// Every check of a start on the data root `root`, writing nothing; `owner` gets the package
// the root is recorded for (empty when none is).
std::optional<std::string> checkDataRoot(const std::string& root, const std::string& package, bool rebind,
                                         std::string& owner) {
  struct stat info;
  if (::stat(root.c_str(), &info) != 0) {
    // A root that is not there yet holds nothing to check; the shell that takes it makes it.
    if (errno == ENOENT) return std::nullopt;
    return "cannot read the data root " + root + ": " + std::strerror(errno);
  }
  if (!S_ISDIR(info.st_mode)) return "the data root " + root + " is not a folder";
  if (info.st_uid != ::geteuid())
    return "the data root " + root + " belongs to another user; use a data root of your own";
  if (info.st_mode & (S_IWGRP | S_IWOTH))
    return "the data root " + root + " can be written by other users; make it yours alone (chmod 700) or use another";
  for (const char* relative : kStandardFolders) {
    std::string path = fs::appendPath(root, relative);
    struct stat entry;
    if (::lstat(path.c_str(), &entry) != 0) continue;
    if (S_ISLNK(entry.st_mode))
      return "the folder " + path + " of the data root is a symbolic link; the shell does not follow it";
    if (!S_ISDIR(entry.st_mode)) return "the data root's " + path + " is not a folder";
    if (entry.st_uid != ::geteuid()) return "the folder " + path + " of the data root belongs to another user";
  }

  owner = fs::readFile(fs::appendPath(root, kPackageRecord)).value_or("");
  while (!owner.empty() && owner.back() == '\n') owner.pop_back();
  if (!owner.empty() && owner != package && !rebind)
    return "the data root " + root + " belongs to the package at " + owner +
           ", not to " + package + " (a package that declares the same bundle identifier). If the package was "
           "moved on purpose, start it once with --rebind-data-root; otherwise give it a data root of its own "
           "with --data-root";
  return std::nullopt;
}

}  // namespace

std::optional<std::string> prepareDataRoot(const std::string& packagePath, bool rebind) {
  ::umask(077);
  std::string owner;
  return checkDataRoot(dataRoot(), canonical(packagePath), rebind, owner);
}

std::optional<std::string> bindDataRoot(const std::string& packagePath, bool rebind) {
  ::umask(077);
  std::string root = dataRoot();
  if (auto error = fs::createDirectory(root, true))
    return "cannot create the data root " + root + ": " + error->localizedDescription();
  // Checked again: the root may have changed hands between the first look and the claim.
  std::string package = canonical(packagePath);
  std::string owner;
  if (auto refusal = checkDataRoot(root, package, rebind, owner)) return refusal;
  struct stat info;
  if (::stat(root.c_str(), &info) != 0) return "cannot read the data root " + root + ": " + std::strerror(errno);
  if ((info.st_mode & 077) && ::chmod(root.c_str(), S_IRWXU) != 0)
    return "cannot make the data root " + root + " private: " + std::strerror(errno);
  if (owner != package) {
    fs::createDirectory(applicationSupport(), true);
    if (auto error = fs::writeFileAtomically(fs::appendPath(root, kPackageRecord), package + "\n"))
      return "cannot record the package in the data root: " + error->localizedDescription();
    if (!owner.empty())
      log("The data root " + root + " now belongs to the package at " + package + " (it belonged to " + owner + ").");
  }
  return std::nullopt;
}

}  // namespace platform::paths

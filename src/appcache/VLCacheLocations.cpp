#include "appcache/VLCacheLocations.h"

#include <mutex>

#include "appcache/VLCacheEntry.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/NoWait.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/StableHash.h"

std::string VLCacheLocations::keyForHostname(std::string_view hostname,
                                             std::string_view application) {
  std::string joined;
  joined.reserve(hostname.size() + application.size() + 1);
  joined.append(hostname).append("/").append(application);
  return platform::stableHashString(joined);
}

namespace {

// The cache folder of the current data root, as it stands and normalized.
struct CacheFolder {
  std::string directory, normalized;
};

CacheFolder currentCacheFolder() {
  // Asked for every file the cache touches; the application-support folder is made (and
  // looked up on disk) once per data root rather than on each call.
  // Never destroyed: the clean-up's deletions on the global queue may still ask while the
  // process ends.
  struct Known {
    std::mutex mutex;
    std::string root;
    CacheFolder folder;
  };
  static Known* known = new Known;
  std::string current = platform::paths::dataRoot();
  // Held while a new data root's folder is made: a thread that must not wait gets no folder.
  auto lock = platform::nowait::lock(known->mutex);
  if (!lock.owns_lock()) return {};
  if (current != known->root || known->folder.directory.empty()) {
    known->folder.directory =
        platform::fs::appendPath(platform::paths::applicationSupport(), "VLNativeCache");
    known->folder.normalized = platform::fs::normalizePath(known->folder.directory);
    known->root = std::move(current);
  }
  return known->folder;
}

// Whether `name` is a relative path of plain names only (no empty, "." or ".." part), which
// normalizes to itself below any folder.
bool isPlainRelativePath(std::string_view name) {
  if (name.empty()) return false;
  size_t start = 0;
  while (true) {
    size_t end = name.find('/', start);
    std::string_view part = name.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

}  // namespace

std::string VLCacheLocations::cacheDirectory() { return currentCacheFolder().directory; }

std::string VLCacheLocations::stagingDirectory() {
  std::string directory = cacheDirectory();
  return directory.empty() ? directory : directory + "/staging";
}

std::optional<std::string> VLCacheLocations::getLocalFilePath(const VLCacheEntry& entry) {
  bool packaged = false;
  return getLocalFilePath(entry, packaged);
}

std::optional<std::string> VLCacheLocations::getLocalFilePath(const VLCacheEntry& entry, bool& packaged) {
  std::string fileName = entry.fileName();
  packaged = entry.preBundled();
  if (fileName.empty()) return std::nullopt;
  std::string root = packaged ? platform::fs::normalizePath(platform::Bundle::main().bundlePath())
                              : currentCacheFolder().normalized;
  if (root.empty()) return std::nullopt;
  // Every served request asks: a file name of plain names stays below the root as it is.
  if (isPlainRelativePath(fileName) && root != ".") return root == "/" ? root + fileName : root + "/" + fileName;
  std::string path = platform::fs::normalizePath(root + "/" + fileName);
  if (path == root || !platform::fs::isInside(path, root)) return std::nullopt;
  return path;
}

namespace {
std::mutex hookMutex;
VLCacheLocations::FileOperationHook& fileOperationHook() {
  static VLCacheLocations::FileOperationHook hook;
  return hook;
}
}  // namespace

void VLCacheLocations::setFileOperationHook(FileOperationHook hook) {
  std::lock_guard lock(hookMutex);
  fileOperationHook() = std::move(hook);
}

void VLCacheLocations::fileOperationDone(std::string_view point) {
  FileOperationHook hook;
  {
    std::lock_guard lock(hookMutex);
    hook = fileOperationHook();
  }
  if (hook) hook(point);
}

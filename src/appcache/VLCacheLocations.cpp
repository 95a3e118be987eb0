#include "appcache/VLCacheLocations.h"

#include <mutex>

#include "appcache/VLCacheEntry.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/StableHash.h"

std::string VLCacheLocations::keyForHostname(std::string_view hostname,
                                             std::string_view application) {
  std::string joined;
  joined.reserve(hostname.size() + application.size() + 1);
  joined.append(hostname).append("/").append(application);
  return platform::stableHashString(joined);
}

std::string VLCacheLocations::cacheDirectory() {
  // Asked for every file the cache touches; the application-support folder is made (and
  // looked up on disk) once per data root rather than on each call.
  // Never destroyed: the clean-up's deletions on the global queue may still ask while the
  // process ends.
  struct Known {
    std::mutex mutex;
    std::string root, directory;
  };
  static Known* known = new Known;
  std::string current = platform::paths::dataRoot();
  std::lock_guard lock(known->mutex);
  if (current != known->root || known->directory.empty()) {
    known->directory =
        platform::fs::appendPath(platform::paths::applicationSupport(), "VLNativeCache");
    known->root = std::move(current);
  }
  return known->directory;
}

std::optional<std::string> VLCacheLocations::getLocalFilePath(const VLCacheEntry& entry) {
  std::string fileName = entry.fileName();
  if (fileName.empty()) return std::nullopt;
  std::string root = platform::fs::normalizePath(
      entry.preBundled() ? platform::Bundle::main().bundlePath() : cacheDirectory());
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

#include "appcache/VLCacheLocations.h"

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
  return platform::fs::appendPath(platform::paths::applicationSupport(), "VLNativeCache");
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

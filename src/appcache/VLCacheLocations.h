#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

class VLCacheEntry;

// Where the cache keeps things: the application key that names an application's folder and
// stands in the cache manifest, the cache folder, and the file of an entry. These names are
// persisted, so they must come out the same on every launch and every version of the shell.
class VLCacheLocations {
 public:
  // The decimal stable hash of "<hostname>/<application>".
  static std::string keyForHostname(std::string_view hostname, std::string_view application);
  // "VLNativeCache" under the application-support folder.
  static std::string cacheDirectory();
  // "staging" in the cache folder: downloads write their bodies there, out of the page's reach,
  // until their check renames them into place. Nothing in it is served; what a stopped shell
  // left there is removed at the next start.
  static std::string stagingDirectory();
  // A package entry's file is read from the application package, every other one from the
  // cache folder. A file name that would lead outside its folder (an entry restored from a
  // tampered manifest) has no path.
  static std::optional<std::string> getLocalFilePath(const VLCacheEntry& entry);
  // The same, with `packaged` telling which of the two folders the path lies in (the entry's
  // mark as it was read for the path, which another thread may change meanwhile).
  static std::optional<std::string> getLocalFilePath(const VLCacheEntry& entry, bool& packaged);

  // Crash tests stop the process after chosen file operations; `point` names the operation.
  using FileOperationHook = std::function<void(std::string_view point)>;
  static void setFileOperationHook(FileOperationHook hook);
  static void fileOperationDone(std::string_view point);
};

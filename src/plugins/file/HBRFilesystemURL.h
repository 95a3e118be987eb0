#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/URL.h"

// The parsed form of an entry's URL: "hbrfile://localhost/<file system><full path>" for any
// file system, or a photo-library "assets-library:" URL. A URL of neither form has no
// file-system name and no full path. A value: copies may be read from any thread.
class HBRFilesystemURL {
 public:
  static constexpr const char* kScheme = "hbrfile";
  static constexpr const char* kAssetsLibraryScheme = "assets-library";

  HBRFilesystemURL() = default;
  explicit HBRFilesystemURL(const platform::URL& url);

  static HBRFilesystemURL fileSystemURLWithString(std::string_view text);
  static HBRFilesystemURL fileSystemURLWithURL(const platform::URL& url) { return HBRFilesystemURL(url); }

  static std::optional<std::string> filesystemNameForLocalURI(const platform::URL& url);
  // Begins with "/", or is "" for the root; keeps a query ("/a.txt?v=2").
  static std::optional<std::string> fullPathForLocalURI(const platform::URL& url);

  // "hbrfile://localhost/" + the name + the full path, unescaped.
  std::string absoluteURL() const;

  // nullopt when the text it was made from is no URL.
  const std::optional<platform::URL>& url() const { return url_; }
  const std::optional<std::string>& fileSystemName() const { return fileSystemName_; }
  const std::optional<std::string>& fullPath() const { return fullPath_; }

 private:
  std::optional<platform::URL> url_;
  std::optional<std::string> fileSystemName_;
  std::optional<std::string> fullPath_;
};

#include "plugins/file/HBRFilesystemURL.h"

namespace {

bool isLocalFileSystemURL(const platform::URL& url) {
  return url.scheme() == HBRFilesystemURL::kScheme && url.host() == "localhost";
}

}  // namespace

HBRFilesystemURL::HBRFilesystemURL(const platform::URL& url)
    : url_(url), fileSystemName_(filesystemNameForLocalURI(url)), fullPath_(fullPathForLocalURI(url)) {}

HBRFilesystemURL HBRFilesystemURL::fileSystemURLWithString(std::string_view text) {
  if (auto url = platform::URL::parse(text)) return HBRFilesystemURL(*url);
  return HBRFilesystemURL();
}

std::optional<std::string> HBRFilesystemURL::filesystemNameForLocalURI(const platform::URL& url) {
  if (isLocalFileSystemURL(url)) {
    // The path's components after the root "/": the first is the file system's name.
    std::string path = url.path();
    size_t start = path.find_first_not_of('/');
    if (start == std::string::npos) return std::nullopt;
    size_t end = path.find('/', start);
    return path.substr(start, end == std::string::npos ? std::string::npos : end - start);
  }
  if (url.scheme() == kAssetsLibraryScheme) return std::string(kAssetsLibraryScheme);
  return std::nullopt;
}

std::optional<std::string> HBRFilesystemURL::fullPathForLocalURI(const platform::URL& url) {
  if (isLocalFileSystemURL(url)) {
    std::string path = url.path();
    if (auto query = url.query()) path += "?" + *query;
    if (path.size() < 2) return std::string();
    size_t slash = path.find('/', 1);
    return slash == std::string::npos ? std::string() : path.substr(slash);
  }
  if (url.scheme() == kAssetsLibraryScheme) {
    constexpr size_t kPrefix = sizeof("assets-library:/") - 1;
    const std::string& text = url.absoluteString();
    return text.size() > kPrefix ? text.substr(kPrefix) : std::string();
  }
  return std::nullopt;
}

std::string HBRFilesystemURL::absoluteURL() const {
  return std::string(kScheme) + "://localhost/" + fileSystemName_.value_or("") + fullPath_.value_or("");
}

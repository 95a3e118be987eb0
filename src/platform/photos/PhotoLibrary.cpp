#include "platform/photos/PhotoLibrary.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>

#include "platform/foundation/CaughtException.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/MimeTypes.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"

namespace platform::photos {
namespace {

std::atomic<bool> gAuthorized{true};

bool isToken(std::string_view text, size_t maxLength) {
  if (text.empty() || text.size() > maxLength) return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
  });
}

Error accessDenied() {
  return Error::make(kErrorDomain, kAccessDenied, "User denied access");
}

std::optional<Asset> assetAt(const std::string& folder, const std::string& id, const std::string& extension) {
  Asset asset;
  asset.id = id;
  asset.extension = extension;
  asset.path = fs::appendPath(folder, asset.fileName());
  // A link (to a file outside the library, say) or a FIFO is no asset.
  struct stat info;
  if (::lstat(asset.path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  asset.size = std::uint64_t(info.st_size);
  asset.date = double(info.st_mtim.tv_sec) + double(info.st_mtim.tv_nsec) / 1e9;
  asset.kind = PhotoLibrary::isVideoExtension(extension) ? MediaKind::Video : MediaKind::Photo;
  return asset;
}

}  // namespace

std::string Asset::fileName() const { return id + "." + extension; }

std::string Asset::url() const {
  return "assets-library://asset/asset." + extension + "?id=" + id + "&ext=" + extension;
}

std::string Asset::typeIdentifier() const {
  std::string lowered = asciiLower(extension);
  if (lowered == "jpg" || lowered == "jpeg") return "public.jpeg";
  if (lowered == "png") return "public.png";
  if (lowered == "gif") return "com.compuserve.gif";
  if (lowered == "mp4" || lowered == "m4v") return "public.mpeg-4";
  if (lowered == "mov") return "com.apple.quicktime-movie";
  if (lowered == "avi") return "public.avi";
  if (lowered == "ogv" || lowered == "ogg") return "org.xiph.ogv";
  if (lowered == "webm") return "org.webmproject.webm";
  return "";
}

std::optional<std::string> Asset::mimeType() const {
  if (typeIdentifier().empty()) return std::nullopt;
  return mimeTypeForExtension(extension);
}

std::uint64_t Asset::getBytes(char* buffer, std::uint64_t offset, std::uint64_t length,
                              std::optional<Error>* error) const {
  // The file may have been replaced since it was found: a link is not followed, a FIFO not
  // waited on, and the file opened must lie in the data root.
  fs::ReadableFile file = fs::ReadableFile::open(path, false);
  if (!file.isOpen()) {
    if (error) *error = fs::posixError(file.error());
    return 0;
  }
  char root[PATH_MAX];
  if (!::realpath(paths::dataRoot().c_str(), root) || !fs::isInside(file.realPath(), root)) {
    if (error) *error = fs::posixError(EACCES);
    return 0;
  }
  std::uint64_t got = 0;
  while (got < length) {
    ssize_t n = ::pread(file.fd(), buffer + got, size_t(length - got), off_t(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && error) *error = fs::posixError(errno);
    if (n <= 0) break;
    got += std::uint64_t(n);
  }
  return got;
}

std::string PhotoLibrary::folder() {
  std::string path = fs::appendPath(paths::dataRoot(), "Media/DCIM");
  fs::createDirectory(path, true);
  return path;
}

void PhotoLibrary::setAuthorized(bool authorized) { gAuthorized = authorized; }
bool PhotoLibrary::isAuthorized() { return gAuthorized; }

bool PhotoLibrary::isVideoExtension(std::string_view extension) {
  std::string lowered = asciiLower(extension);
  for (const char* known : {"mp4", "m4v", "mov", "avi", "ogv", "webm", "mkv"})
    if (lowered == known) return true;
  return false;
}

bool PhotoLibrary::isPictureExtension(std::string_view extension) {
  std::string lowered = asciiLower(extension);
  for (const char* known : {"jpg", "jpeg", "png", "gif"})
    if (lowered == known) return true;
  return false;
}

std::optional<std::pair<std::string, std::string>> PhotoLibrary::idAndExtension(const URL& url) {
  if (url.scheme() != "assets-library") return std::nullopt;
  std::optional<std::string> id, extension;
  for (const auto& [name, value] : url.queryItems()) {
    if (name == "id" && !id) id = value;
    if (name == "ext" && !extension) extension = value;
  }
  if (!id || !extension || !isToken(*id, 64) || !isToken(*extension, 8)) return std::nullopt;
  return std::pair{*id, *extension};
}

PhotoLibrary::Lookup PhotoLibrary::assetForURLNow(const URL& url) const {
  if (!isAuthorized()) return {std::nullopt, accessDenied()};
  auto named = idAndExtension(url);
  if (!named) return {};
  return {assetAt(folder(), named->first, named->second), std::nullopt};
}

void PhotoLibrary::assetForURL(const URL& url, ResultBlock result, FailureBlock failure) const {
  DispatchQueue::global().async([url, result = std::move(result), failure = std::move(failure)] {
    // A request is answered also when its answer fails on the way: a result block that
    // throws gets the failure block called instead.
    bool failed = false;
    try {
      Lookup found = PhotoLibrary().assetForURLNow(url);
      failed = found.failure.has_value();
      if (failed)
        failure(*found.failure);
      else
        result(std::move(found.asset));
    } catch (...) {
      reportCaughtException("A photo library request");
      if (!failed) failure(Error::make(kErrorDomain, kDataUnavailable, "The asset could not be read."));
    }
  });
}

std::vector<Asset> PhotoLibrary::allAssets() const {
  std::vector<Asset> assets;
  if (!isAuthorized()) return assets;
  std::string root = folder();
  for (const std::string& name : fs::contentsOfDirectory(root)) {
    size_t dot = name.find_last_of('.');
    if (dot == std::string::npos) continue;
    std::string id = name.substr(0, dot), extension = name.substr(dot + 1);
    if (!isToken(id, 64) || !isToken(extension, 8)) continue;
    if (!isVideoExtension(extension) && !isPictureExtension(extension)) continue;
    if (auto asset = assetAt(root, id, extension)) assets.push_back(std::move(*asset));
  }
  std::sort(assets.begin(), assets.end(), [](const Asset& a, const Asset& b) {
    if (a.date != b.date) return a.date.value_or(0) > b.date.value_or(0);
    return a.id < b.id;
  });
  return assets;
}

std::optional<std::string> PhotoLibrary::addData(std::string_view bytes, std::string_view extension,
                                                 std::optional<Error>* error) const {
  auto fail = [&](Error e) -> std::optional<std::string> {
    if (error) *error = std::move(e);
    return std::nullopt;
  };
  if (!isAuthorized()) return fail(accessDenied());
  std::string ext = asciiUpper(extension);
  if (!isToken(ext, 8)) return fail(Error::make(kErrorDomain, kWriteFailed, "Unsupported file type"));
  Asset asset;
  asset.id = makeUUID();
  asset.extension = ext;
  if (auto failure = fs::writeFileAtomically(fs::appendPath(folder(), asset.fileName()), bytes))
    return fail(Error::make(kErrorDomain, kWriteFailed, failure->localizedDescription()));
  return asset.url();
}

std::optional<std::string> PhotoLibrary::addFile(const std::string& path, std::optional<Error>* error) const {
  if (!isAuthorized()) {
    if (error) *error = accessDenied();
    return std::nullopt;
  }
  size_t dot = path.find_last_of('.');
  std::string extension = dot == std::string::npos ? "" : path.substr(dot + 1);
  Asset asset;
  asset.id = makeUUID();
  asset.extension = asciiUpper(extension);
  if (!isToken(asset.extension, 8)) {
    if (error) *error = Error::make(kErrorDomain, kWriteFailed, "Unsupported file type");
    return std::nullopt;
  }
  if (auto failure = fs::copy(path, fs::appendPath(folder(), asset.fileName()))) {
    if (error) *error = Error::make(kErrorDomain, kWriteFailed, failure->localizedDescription());
    return std::nullopt;
  }
  return asset.url();
}

}  // namespace platform::photos

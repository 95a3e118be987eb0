#include "plugins/file/HBRAssetLibraryFilesystem.h"

#include <algorithm>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"
#include "platform/photos/PhotoLibrary.h"
#include "plugins/file/HBRLocalFilesystem.h"

using platform::Value;

namespace {

constexpr std::string_view kLocalPrefix = "hbrfile://localhost/assets-library";

HBRResultRef refusal(HBRResultStatus status, const char* message) {
  return HBRPluginResult::resultWithStatus(status, std::string(message));
}

// The last path component with the query kept: "asset.JPG?id=1&ext=JPG".
std::string lastComponentKeepingQuery(std::string_view path) {
  size_t query = path.find('?');
  std::string_view head = path.substr(0, query);
  while (head.size() > 1 && head.back() == '/') head.remove_suffix(1);
  size_t slash = head.find_last_of('/');
  std::string name(slash == std::string_view::npos ? head : head.substr(slash + 1));
  if (query != std::string_view::npos) name += path.substr(query);
  return name;
}

}  // namespace

std::optional<platform::URL> HBRAssetLibraryFilesystem::assetLibraryURLForLocalURL(const HBRFilesystemURL& url) const {
  if (!url.url()) return std::nullopt;
  if (url.url()->scheme() != HBRFilesystemURL::kScheme) return url.url();
  // A URL no longer than the file system's own prefix names no asset: nothing to cut.
  const std::string& text = url.url()->absoluteString();
  if (text.size() <= kLocalPrefix.size()) return std::nullopt;
  return platform::URL::parse("assets-library:/" + text.substr(kLocalPrefix.size()));
}

std::optional<std::string> HBRAssetLibraryFilesystem::getMimeTypeFromPath(const std::string& path) {
  return HBRLocalFilesystem::getMimeTypeFromPath(path);
}

Value HBRAssetLibraryFilesystem::makeEntryForPath(const std::string& fullPath, bool isDirectory) {
  std::string path = fullPath;
  if (isDirectory && !platform::endsWith(path, "/")) path += "/";
  std::string nativeText = "assets-library:/" + path;
  if (const auto& transform = urlTransformer()) {
    if (auto native = platform::URL::parse(nativeText)) nativeText = transform(*native).absoluteString();
  }
  return Value{{"isFile", !isDirectory},
               {"isDirectory", isDirectory},
               {"name", lastComponentKeepingQuery(fullPath)},
               {"fullPath", path},
               {"filesystemName", name()},
               {"nativeURL", nativeText}};
}

Value HBRAssetLibraryFilesystem::makeEntryForLocalURL(const HBRFilesystemURL& url) {
  return makeEntryForPath(url.fullPath().value_or(""), false);
}

HBRResultRef HBRAssetLibraryFilesystem::entryForLocalURI(const HBRFilesystemURL& url) {
  return HBRPluginResult::resultWithStatus(HBRResultStatus::OK, makeEntryForLocalURL(url));
}

HBRResultRef HBRAssetLibraryFilesystem::getFileForURL(const HBRFilesystemURL&, const std::string&, const Value&) {
  return refusal(HBRResultStatus::MalformedUrlException, "getFile not supported for assets-library URLs.");
}

HBRResultRef HBRAssetLibraryFilesystem::getParentForURL(const HBRFilesystemURL&) {
  return HBRFileErrorResult(NOT_READABLE_ERR);
}

HBRResultRef HBRAssetLibraryFilesystem::setMetadataForURL(const HBRFilesystemURL&, const Value&) {
  return HBRPluginResult::resultWithStatus(HBRResultStatus::Error);
}

HBRResultRef HBRAssetLibraryFilesystem::removeFileAtURL(const HBRFilesystemURL&) {
  return HBRFileErrorResult(INVALID_MODIFICATION_ERR);
}

HBRResultRef HBRAssetLibraryFilesystem::recursiveRemoveFileAtURL(const HBRFilesystemURL&) {
  return refusal(HBRResultStatus::MalformedUrlException, "removeRecursively not supported for assets-library URLs.");
}

HBRResultRef HBRAssetLibraryFilesystem::readEntriesAtURL(const HBRFilesystemURL&) {
  return refusal(HBRResultStatus::MalformedUrlException, "readEntries not supported for assets-library URLs.");
}

HBRResultRef HBRAssetLibraryFilesystem::truncateFileAtURL(const HBRFilesystemURL&, std::uint64_t) {
  return HBRFileErrorResult(NO_MODIFICATION_ALLOWED_ERR);
}

HBRResultRef HBRAssetLibraryFilesystem::writeToFileAtURL(const HBRFilesystemURL&, std::string_view, bool) {
  return HBRFileErrorResult(NO_MODIFICATION_ALLOWED_ERR);
}

void HBRAssetLibraryFilesystem::copyFileToURL(const HBRFilesystemURL&, const std::string&, HBRFileSystem&,
                                              const HBRFilesystemURL&, bool, ResultCallback callback) {
  callback(HBRFileErrorResult(INVALID_MODIFICATION_ERR));
}

std::optional<std::string> HBRAssetLibraryFilesystem::filesystemPathForURL(const HBRFilesystemURL& url) {
  std::optional<std::string> path;
  if (url.url() && url.url()->scheme() == HBRFilesystemURL::kAssetsLibraryScheme)
    path = url.url()->path();
  else
    path = url.fullPath();
  if (path && platform::endsWith(*path, "/")) path->pop_back();
  return path;
}

void HBRAssetLibraryFilesystem::readFileAtURL(const HBRFilesystemURL& url, std::int64_t start, std::int64_t end,
                                              ReadCallback callback) {
  auto assetURL = assetLibraryURLForLocalURL(url);
  if (!assetURL) return callback(std::nullopt, std::nullopt, NOT_FOUND_ERR);
  platform::photos::PhotoLibrary().assetForURL(
      *assetURL,
      [start, end, callback](std::optional<platform::photos::Asset> asset) {
        if (!asset) return callback(std::nullopt, std::nullopt, NOT_FOUND_ERR);
        // The range is clamped to the asset: the buffer is never larger than what it holds
        // from `start` on, whatever the page asked for.
        std::uint64_t from = start > 0 ? std::uint64_t(start) : 0;
        std::uint64_t rest = from < asset->size ? asset->size - from : 0;
        std::uint64_t length = end - start > 0 ? std::min(std::uint64_t(end - start), rest) : rest;
        if (length > platform::fs::maximumReadSize()) {
          platform::log("Error: the asset is larger than the process can hold at once.");
          return callback(std::nullopt, std::nullopt, NOT_READABLE_ERR);
        }
        std::string bytes(size_t(length), '\0');
        std::optional<platform::Error> failure;
        std::uint64_t got = asset->getBytes(bytes.data(), from, length, &failure);
        if (failure) {
          platform::log("Error: " + failure->localizedDescription());
          return callback(std::nullopt, std::nullopt, NOT_READABLE_ERR);
        }
        bytes.resize(size_t(got));
        callback(std::move(bytes), asset->mimeType(), 0);
      },
      [callback](const platform::Error& error) {
        platform::log("Error: " + error.localizedDescription());
        callback(std::nullopt, std::nullopt, SECURITY_ERR);
      });
}

void HBRAssetLibraryFilesystem::getFileMetadataForURL(const HBRFilesystemURL& url, ResultCallback callback) {
  auto assetURL = assetLibraryURLForLocalURL(url);
  if (!assetURL) return callback(HBRFileErrorResult(NOT_FOUND_ERR));
  std::string fullPath = url.fullPath().value_or("");
  platform::photos::PhotoLibrary().assetForURL(
      *assetURL,
      [fullPath, callback](std::optional<platform::photos::Asset> asset) {
        if (!asset) return callback(HBRFileErrorResult(NOT_FOUND_ERR));
        auto type = getMimeTypeFromPath(asset->fileName());
        Value metadata{{"size", asset->size},
                       {"fullPath", fullPath},
                       {"name", asset->fileName()},
                       {"type", type ? Value(*type) : Value()},
                       {"lastModifiedDate", asset->date ? *asset->date * 1000.0 : 0.0}};
        callback(HBRPluginResult::resultWithStatus(HBRResultStatus::OK, std::move(metadata)));
      },
      [callback](const platform::Error& error) {
        callback(HBRPluginResult::resultWithStatus(HBRResultStatus::IOException, error.localizedDescription()));
      });
}

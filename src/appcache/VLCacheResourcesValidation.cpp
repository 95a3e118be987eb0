// The work a cache frame does on one entry and its file: the Content-Type of a download,
// checking a downloaded file, storing it, and the download of one entry outside any frame.

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "appcache/VLCacheLocations.h"
#include "appcache/VLCacheLog.h"
#include "appcache/VLCacheResources.h"
#include "appcache/VLDownloadOperation.h"
#include "appcache/VLFileChecksum.h"
#include "appcache/VLResourcePath.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONText.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Regex.h"
#include "platform/foundation/Strings.h"

using platform::stringf;

namespace {

constexpr const char* kInvalidResourceException = "InvalidResourceException";

// Index and manifest files are read whole to look for their version token; nothing of that
// kind is larger than this, and a server must not make the shell read more.
constexpr std::uint64_t kMaximumVersionTokenFileSize = 16 << 20;

}  // namespace

void VLCacheResources::processContentType(const std::optional<std::string>& contentType,
                                          VLCacheEntry& entry) {
  if (!contentType) {
    vlcache::logDebug("Unable to process content type: (none)");
    return;
  }
  // The type is served back as a header later: only printable text is taken.
  if (!platform::isValidUTF8(*contentType) ||
      std::any_of(contentType->begin(), contentType->end(),
                  [](unsigned char c) { return c < 0x20 && c != '\t'; })) {
    vlcache::logDebug("Unable to process content type: " + platform::jsonText(*contentType));
    return;
  }
  auto pieces = platform::split(platform::asciiLower(*contentType), ';');
  entry.setMimeType(pieces[0]);
  for (size_t i = 1; i < pieces.size(); ++i) {
    if (!platform::contains(pieces[i], "charset=")) continue;
    auto parts = platform::split(platform::trim(pieces[i]), '=');
    if (parts.size() >= 2) entry.setEncoding(parts[1]);
    break;
  }
}

bool VLCacheResources::isAcceptableResourceURL(std::string_view url) {
  // "https://" + host + url must keep the host: the URL starts a path, never an authority
  // ("//x"), a user part or another host name ("@evil.example/x", ".evil.example/x").
  if (url.size() < 2 || url[0] != '/' || url[1] == '/' || url[1] == '?' || url[1] == '#')
    return false;
  for (unsigned char c : url)
    if (c < 0x20 || c == 0x7f || c == '\\') return false;
  // Checked as serving checks a path: no encoded slash or backslash, and no dot segment
  // however many times it is decoded ("/app/%2e%2e/x", "/app/..%2fx" leave the folder on a
  // server that decodes them).
  std::string_view path = url.substr(0, url.find_first_of("?#"));
  return vlcache::decodedServablePath(std::string(path)).has_value();
}

bool VLCacheResources::canFileBeVerifiedByVersionToken(std::string_view url) {
  if (url.empty()) return false;
  static const std::optional<platform::Regex> patterns[] = {
      platform::Regex::make(R"(^/.+/moduleservices/moduleinfo\?.+)"),
      platform::Regex::make(R"(^/.+/index\.html\?.+)"),
      platform::Regex::make(R"(^/.+/manifest\.json\?.+)"),
  };
  for (const auto& pattern : patterns)
    if (pattern && pattern->matches(url)) return true;
  return false;
}

bool VLCacheResources::resourceContent(const std::string& filePath,
                                       const std::string& versionToken) {
  if (!platform::fs::exists(filePath)) return false;
  auto size = platform::fs::fileSize(filePath);
  std::optional<std::string> text;
  if (size && *size <= kMaximumVersionTokenFileSize) text = platform::fs::readFile(filePath);
  if (!text || !platform::isValidUTF8(*text)) {
    vlcache::logError("Unable to validate the content of the resource");
    return false;
  }
  auto pattern =
      platform::Regex::make(R"re((VLManifestLoader\.indexVersionToken.*=.*|"versionToken":)")re" +
                                platform::Regex::escape(versionToken) + "\"",
                            /*caseInsensitive=*/true);
  if (!pattern) {
    vlcache::logError("Unable to validate the content of the resource");
    return false;
  }
  return pattern->matches(*text);
}

bool VLCacheResources::isResourceFileCorrupted(const VLCacheEntry& entry,
                                               const std::string& filePath) {
  if (entry.url().find('?') == std::string::npos) return false;
  return isResourceFileCorrupted(entry, filePath,
                                 VLFileChecksum::contentHashOfFile(filePath).value_or(""));
}

bool VLCacheResources::isResourceFileCorrupted(const VLCacheEntry& entry,
                                               const std::string& filePath,
                                               const std::string& calculated) {
  const std::string url = entry.url();
  size_t query = url.find('?');
  if (query == std::string::npos) return false;
  const std::string expected = url.substr(query + 1);
  if (expected.empty() || calculated.empty() || expected == calculated) return false;
  if (canFileBeVerifiedByVersionToken(url) && resourceContent(filePath, expected)) return false;
  vlcache::logError(stringf("Checksum failed for file %s. Received hash: %s | Calculated hash: %s",
                            url.c_str(), expected.c_str(), calculated.c_str()));
  return true;
}

void VLCacheResources::validateDownloadedResource(const VLCacheEntry& entry,
                                                  const std::string& filePath) {
  struct stat status;
  // The size check and the hash read one open file, so the file is looked up once.
  const int fd = ::open(filePath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0 && ::fstat(fd, &status) == 0) {
    std::string calculated;
    const bool hashed = status.st_size != 0 && entry.url().find('?') != std::string::npos;
    if (hashed) calculated = VLFileChecksum::contentHashOfOpenFile(fd);
    ::close(fd);
    if (status.st_size == 0)
      throw VLException(kInvalidResourceException, "File not found or is empty");
    if (hashed && isResourceFileCorrupted(entry, filePath, calculated))
      throw VLException(kInvalidResourceException, "File is corrupt or invalid");
    return;
  }
  if (fd >= 0) ::close(fd);
  if (::stat(filePath.c_str(), &status) != 0) {
    if (!platform::fs::exists(filePath))
      throw VLException(kInvalidResourceException, "Unable to validate downloaded file");
    throw VLException(kInvalidResourceException, "File not found or is empty");
  }
  if (status.st_size == 0)
    throw VLException(kInvalidResourceException, "File not found or is empty");
  if (isResourceFileCorrupted(entry, filePath))
    throw VLException(kInvalidResourceException, "File is corrupt or invalid");
}

std::optional<std::string> VLCacheResources::stageDownloadedFile(const VLCacheEntry& entry,
                                                                 const std::string& location,
                                                                 std::string& staged) {
  auto destination = VLCacheLocations::getLocalFilePath(entry);
  if (!destination) return std::string("the resource has no place in the cache");
  // Moved when the session's file lies on the same file system, else copied. The
  // application's folder is made when the first file finds it missing.
  staged = *destination + ".part-" + platform::makeUUID();
  int result = ::rename(location.c_str(), staged.c_str());
  if (result != 0 && errno == ENOENT && platform::fs::exists(location)) {
    std::string folder = destination->substr(0, destination->rfind('/'));
    if (auto error = platform::fs::createDirectory(folder, true))
      return error->localizedDescription();
    result = ::rename(location.c_str(), staged.c_str());
  }
  if (result != 0) {
    if (errno != EXDEV) return platform::fs::posixError(errno).localizedDescription();
    if (auto error = platform::fs::copy(location, staged)) return error->localizedDescription();
  }
  return std::nullopt;
}

std::optional<std::string> VLCacheResources::commitStagedFile(const VLCacheEntry& entry,
                                                              const std::string& staged) {
  auto destination = VLCacheLocations::getLocalFilePath(entry);
  std::optional<std::string> failure;
  try {
    validateDownloadedResource(entry, staged);
    if (!destination) {
      failure = "the resource has no place in the cache";
    } else {
      int code = ::rename(staged.c_str(), destination->c_str()) == 0 ? 0 : errno;
      // The application's folder went away after the download began: it is made again.
      if (code == ENOENT && platform::fs::exists(staged)) {
        const std::string folder = destination->substr(0, destination->rfind('/'));
        if (auto error = platform::fs::createDirectory(folder, true))
          failure = error->localizedDescription();
        else
          code = ::rename(staged.c_str(), destination->c_str()) == 0 ? 0 : errno;
      }
      if (code != 0 && !failure) failure = platform::fs::posixError(code).localizedDescription();
    }
  } catch (const VLException& exception) {
    failure = exception.reason();
  }
  if (failure)
    platform::fs::remove(staged);
  else
    VLCacheLocations::fileOperationDone("resource-file");
  return failure;
}

std::optional<std::string> VLCacheResources::storeDownloadedFile(const VLCacheEntry& entry,
                                                                 const std::string& location) {
  std::string staged;
  if (auto failure = stageDownloadedFile(entry, location, staged)) return failure;
  return commitStagedFile(entry, staged);
}

void VLCacheResources::downloadResourceSync(const std::shared_ptr<VLCacheEntry>& entry,
                                            const platform::URLRequest& request,
                                            const std::shared_ptr<platform::URLSession>& session,
                                            std::function<void(bool success)> completionHandler) {
  auto report = [completionHandler](bool success) {
    if (completionHandler) completionHandler(success);
  };
  entry->setStatus(VLCacheEntryStatusInFlight);
  if (!session) {
    vlcache::logError(
        stringf("Failed to download resource %s: there is no URL session", entry->url().c_str()));
    entry->setStatus(VLCacheEntryStatusFailed);
    return report(false);
  }
  platform::URLRequest marked = request;
  marked.setProperty(kVLHarborLoaderURLProtocolHandledKey, true);
  session
      ->downloadTaskWithRequest(
          marked,
          [entry, report](const std::optional<std::string>& location,
                          const std::optional<platform::URLResponse>& response,
                          const std::optional<platform::Error>& error) {
            const std::string url = entry->url();
            if (error || !response || response->statusCode() != 200 || !location) {
              std::string reason = error      ? error->localizedDescription()
                                   : response ? stringf("HTTP status %d", response->statusCode())
                                              : std::string("no response");
              vlcache::logError(
                  stringf("Failed to download resource %s: %s", url.c_str(), reason.c_str()));
              entry->setStatus(VLCacheEntryStatusFailed);
              return report(false);
            }
            if (auto failure = storeDownloadedFile(*entry, *location)) {
              vlcache::logError(stringf("Failed to store downloaded resource %s: %s", url.c_str(),
                                        failure->c_str()));
              entry->setStatus(VLCacheEntryStatusToFetch);
              return report(false);
            }
            processContentType(response->valueForHTTPHeaderField("Content-Type"), *entry);
            vlcache::logDebug("Downloaded resource " + url);
            entry->setStatus(VLCacheEntryStatusAvailable);
            report(true);
          })
      ->resume();
}

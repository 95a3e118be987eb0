#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

// The application versions that use one cached file. A mapping entry holds its target's set
// object itself, so a version added through either is seen by both.
class VLCacheVersionSet {
 public:
  // False when the token was there already.
  bool add(const std::string& token);
  void remove(const std::string& token);
  bool contains(const std::string& token) const;
  size_t count() const;
  std::vector<std::string> tokens() const;

 private:
  mutable std::mutex mutex_;
  std::set<std::string> tokens_;
};

// Fetch status of an entry.
enum VLCacheEntryStatus : std::int64_t {
  VLCacheEntryStatusToFetch = 0,
  VLCacheEntryStatusInFlight = 1,
  VLCacheEntryStatusAvailable = 2,
  VLCacheEntryStatusFailed = 3,
};

// One cached resource of a web application: the URL it answers for, the file that holds it,
// how to serve it, and which versions use it. One entry object is shared by the application's
// resource pool and every cache frame that lists its URL, and frames on different threads
// touch it, so every field is read and written atomically. An empty string is an absent value.
class VLCacheEntry {
 public:
  VLCacheEntry();
  VLCacheEntry(std::string url, std::string fileName, bool preBundled);
  // The persisted form; a key of the wrong type is skipped with a log line.
  static std::shared_ptr<VLCacheEntry> initWithDictionary(const platform::Value& dictionary);
  platform::Value jsonDictionary() const;

  // An empty token is refused (false, with a log line).
  bool addCacheVersion(const std::string& token);
  // The MIME type for the path extension of the URL.
  void healMimeType();

  std::string url() const;
  void setUrl(std::string url);
  std::string fileName() const;
  void setFileName(std::string fileName);
  std::string mimeType() const;
  void setMimeType(std::string mimeType);
  std::string encoding() const;
  void setEncoding(std::string encoding);

  bool preBundled() const { return preBundled_; }
  void setPreBundled(bool value) { preBundled_ = value; }
  bool noCache() const { return noCache_; }
  void setNoCache(bool value) { noCache_ = value; }
  bool resourceMapping() const { return resourceMapping_; }
  void setResourceMapping(bool value) { resourceMapping_ = value; }
  bool resourceToDelete() const { return resourceToDelete_; }
  void setResourceToDelete(bool value) { resourceToDelete_ = value; }
  std::int64_t status() const { return status_; }
  void setStatus(std::int64_t status) { status_ = status; }

  std::shared_ptr<VLCacheVersionSet> cacheVersions() const;
  void setCacheVersions(std::shared_ptr<VLCacheVersionSet> versions);

  // The URL without its query: what names the file in the package and gives its extension.
  static std::string pathOfURL(const std::string& url);

 private:
  mutable std::mutex mutex_;
  std::string url_;
  std::string fileName_;
  std::string mimeType_;
  std::string encoding_;
  std::shared_ptr<VLCacheVersionSet> cacheVersions_;

  std::atomic<bool> preBundled_{false};
  std::atomic<bool> noCache_{false};
  std::atomic<bool> resourceMapping_{false};
  std::atomic<bool> resourceToDelete_{false};
  std::atomic<std::int64_t> status_{VLCacheEntryStatusToFetch};
};

#include "appcache/VLCacheEntry.h"

#include "appcache/VLCacheLog.h"
#include "appcache/VLMimeTypesHelper.h"

bool VLCacheVersionSet::add(const std::string& token) {
  std::lock_guard lock(mutex_);
  return tokens_.insert(token).second;
}

void VLCacheVersionSet::remove(const std::string& token) {
  std::lock_guard lock(mutex_);
  tokens_.erase(token);
}

bool VLCacheVersionSet::contains(const std::string& token) const {
  std::lock_guard lock(mutex_);
  return tokens_.count(token) != 0;
}

size_t VLCacheVersionSet::count() const {
  std::lock_guard lock(mutex_);
  return tokens_.size();
}

std::vector<std::string> VLCacheVersionSet::tokens() const {
  std::lock_guard lock(mutex_);
  return {tokens_.begin(), tokens_.end()};
}

VLCacheEntry::VLCacheEntry() : cacheVersions_(std::make_shared<VLCacheVersionSet>()) {}

VLCacheEntry::VLCacheEntry(std::string url, std::string fileName, bool preBundled)
    : url_(std::move(url)),
      fileName_(std::move(fileName)),
      cacheVersions_(std::make_shared<VLCacheVersionSet>()),
      preBundled_(preBundled) {}

namespace {

void logWrongType(const std::string& key) {
  vlcache::logDebug("Ignoring the cache entry's \"" + key + "\": not of the expected type");
}

// Reads `key` when present: false when it is there with another type.
bool readString(const platform::Value& dictionary, const char* key, std::string& out) {
  auto it = dictionary.find(key);
  if (it == dictionary.end()) return true;
  if (!it->is_string()) {
    logWrongType(key);
    return false;
  }
  out = it->get<std::string>();
  return true;
}

bool readFlag(const platform::Value& dictionary, const char* key) {
  auto it = dictionary.find(key);
  if (it == dictionary.end()) return false;
  if (it->is_boolean()) return it->get<bool>();
  if (it->is_number_integer()) return it->get<std::int64_t>() != 0;
  logWrongType(key);
  return false;
}

}  // namespace

std::shared_ptr<VLCacheEntry> VLCacheEntry::initWithDictionary(const platform::Value& dictionary) {
  auto entry = std::make_shared<VLCacheEntry>();
  if (!dictionary.is_object()) {
    vlcache::logDebug("Ignoring a cache entry that is not a dictionary");
    return entry;
  }
  readString(dictionary, "url", entry->url_);
  readString(dictionary, "fileName", entry->fileName_);
  readString(dictionary, "mimeType", entry->mimeType_);
  readString(dictionary, "encoding", entry->encoding_);
  entry->preBundled_ = readFlag(dictionary, "preBundled");
  entry->noCache_ = readFlag(dictionary, "noCache");
  entry->resourceMapping_ = readFlag(dictionary, "resourceMapping");
  entry->resourceToDelete_ = readFlag(dictionary, "resourceToDelete");
  if (auto it = dictionary.find("status"); it != dictionary.end()) {
    // Only the four statuses exist; anything else is a file to fetch again.
    if (it->is_number_integer() && it->get<std::int64_t>() >= VLCacheEntryStatusToFetch &&
        it->get<std::int64_t>() <= VLCacheEntryStatusFailed)
      entry->status_ = it->get<std::int64_t>();
    else
      logWrongType("status");
  }
  if (auto it = dictionary.find("cacheVersions"); it != dictionary.end()) {
    if (it->is_object()) {
      for (const auto& [token, value] : it->items())
        if (!token.empty()) entry->cacheVersions_->add(token);
    } else {
      logWrongType("cacheVersions");
    }
  }
  return entry;
}

platform::Value VLCacheEntry::jsonDictionary() const {
  platform::Value out = platform::Value::object();
  {
    std::lock_guard lock(mutex_);
    if (!url_.empty()) out["url"] = url_;
    if (!fileName_.empty()) out["fileName"] = fileName_;
    if (!mimeType_.empty()) out["mimeType"] = mimeType_;
    if (!encoding_.empty()) out["encoding"] = encoding_;
  }
  if (preBundled_) out["preBundled"] = true;
  if (status_ != VLCacheEntryStatusToFetch) out["status"] = status_.load();
  if (noCache_) out["noCache"] = true;
  if (resourceMapping_) out["resourceMapping"] = true;
  if (resourceToDelete_) out["resourceToDelete"] = true;
  platform::Value versions = platform::Value::object();
  for (const auto& token : cacheVersions()->tokens()) versions[token] = token;
  out["cacheVersions"] = std::move(versions);
  return out;
}

bool VLCacheEntry::addCacheVersion(const std::string& token) {
  if (token.empty()) {
    vlcache::logDebug("Failed to add version to cache versions dictionary");
    return false;
  }
  cacheVersions()->add(token);
  return true;
}

std::string VLCacheEntry::pathOfURL(const std::string& url) { return url.substr(0, url.find('?')); }

void VLCacheEntry::healMimeType() {
  std::string path = pathOfURL(url());
  std::string extension;
  size_t slash = path.rfind('/');
  size_t dot = path.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
    extension = path.substr(dot + 1);
  setMimeType(VLMimeTypesHelper::sharedInstance()->getMimeTypeForExtension(extension));
}

std::string VLCacheEntry::url() const {
  std::lock_guard lock(mutex_);
  return url_;
}
void VLCacheEntry::setUrl(std::string url) {
  std::lock_guard lock(mutex_);
  url_ = std::move(url);
}
std::string VLCacheEntry::fileName() const {
  std::lock_guard lock(mutex_);
  return fileName_;
}
void VLCacheEntry::setFileName(std::string fileName) {
  std::lock_guard lock(mutex_);
  fileName_ = std::move(fileName);
}
std::string VLCacheEntry::mimeType() const {
  std::lock_guard lock(mutex_);
  return mimeType_;
}
void VLCacheEntry::setMimeType(std::string mimeType) {
  std::lock_guard lock(mutex_);
  mimeType_ = std::move(mimeType);
}
std::string VLCacheEntry::encoding() const {
  std::lock_guard lock(mutex_);
  return encoding_;
}
void VLCacheEntry::setEncoding(std::string encoding) {
  std::lock_guard lock(mutex_);
  encoding_ = std::move(encoding);
}
std::shared_ptr<VLCacheVersionSet> VLCacheEntry::cacheVersions() const {
  std::lock_guard lock(mutex_);
  return cacheVersions_;
}
void VLCacheEntry::setCacheVersions(std::shared_ptr<VLCacheVersionSet> versions) {
  if (!versions) versions = std::make_shared<VLCacheVersionSet>();
  std::lock_guard lock(mutex_);
  cacheVersions_ = std::move(versions);
}

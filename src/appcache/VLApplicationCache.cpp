#include "appcache/VLApplicationCache.h"

#include <algorithm>

#include "appcache/VLCacheLocations.h"
#include "appcache/VLCacheLog.h"
#include "appcache/VLLookupGeneration.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/NoWait.h"
#include "platform/foundation/StableHash.h"
#include "platform/foundation/Strings.h"

using platform::stringf;
using platform::Value;

namespace {

std::string textOf(const Value& dictionary, const char* key) {
  auto it = dictionary.find(key);
  if (it == dictionary.end()) return {};
  if (it->is_string()) return it->get<std::string>();
  vlcache::logDebug(stringf("Ignoring the application's \"%s\": not a string", key));
  return {};
}

const Value& memberOf(const Value& dictionary, const char* key) {
  static const Value none;
  auto it = dictionary.find(key);
  return it == dictionary.end() ? none : *it;
}

// An entry that the pool may take from a frame: a fetched file with a known type.
bool qualifies(const VLCacheEntry& entry) {
  return entry.status() == VLCacheEntryStatusAvailable && !entry.preBundled() &&
         entry.cacheVersions()->count() != 0 && !entry.mimeType().empty();
}

}  // namespace

VLApplicationCache::VLApplicationCache(std::string hostname, std::string application,
                                       SessionGetter sessionGetter,
                                       std::string cacheApplicationKey)
    : hostname_(std::move(hostname)),
      application_(std::move(application)),
      cacheApplicationKey_(std::move(cacheApplicationKey)),
      sessionGetter_(std::move(sessionGetter)) {}

std::shared_ptr<VLApplicationCache> VLApplicationCache::initForHostname(
    std::string hostname, std::string application, SessionGetter sessionGetter,
    std::string cacheApplicationKey) {
  return std::shared_ptr<VLApplicationCache>(
      new VLApplicationCache(std::move(hostname), std::move(application),
                             std::move(sessionGetter), std::move(cacheApplicationKey)));
}

std::string VLApplicationCache::runningTokenOrNA() const {
  std::lock_guard lock(mutex_);
  return runningVersion_ && !runningVersion_->versionToken().empty()
             ? runningVersion_->versionToken()
             : "n/a";
}

std::shared_ptr<VLApplicationCache> VLApplicationCache::initWithDictionary(
    const Value& dictionary, bool upgrade, SessionGetter sessionGetter) {
  auto cache = initForHostname({}, {}, std::move(sessionGetter), {});
  if (!dictionary.is_object()) {
    if (!dictionary.is_null()) vlcache::logError("Ignoring a stored application: not a dictionary");
    return cache;
  }
  cache->hostname_ = textOf(dictionary, "applicationHostname");
  cache->application_ = textOf(dictionary, "applicationPath");
  cache->cacheApplicationKey_ = textOf(dictionary, "cachedApplication");
  const std::string cachedVersion = textOf(dictionary, "cachedVersion");

  // Built in locals: nobody else sees the cache yet, and the frames' own locks are taken
  // without this cache's lock held.
  Entries pool, upgraded;
  Frame running;
  std::vector<Frame> frames;
  const Value& entries = memberOf(dictionary, "cachedEntries");
  if (entries.is_object()) {
    for (const auto& [key, value] : entries.items()) {
      if (key.empty()) continue;
      auto entry = VLCacheEntry::initWithDictionary(value);
      (upgrade ? upgraded : pool)[key] = std::move(entry);
    }
  } else if (!entries.is_null()) {
    vlcache::logError("Ignoring the stored application's entries: not a dictionary");
  }
  if (upgrade) {
    running = cache->upgradeCacheEntriesForVersion(cachedVersion, upgraded);
    running->setStatus(VLCacheFrameStatusUpgraded);
    frames.push_back(running);
  }

  const Value& stored = memberOf(dictionary, "cachedFrames");
  if (stored.is_array()) {
    for (const auto& item : stored) {
      if (!item.is_object()) {
        vlcache::logError("Ignoring a stored cache frame: not a dictionary");
        continue;
      }
      auto frame = VLCacheResources::initForHostname(cache->hostname_, cache->application_,
                                                     textOf(item, "versionToken"), false,
                                                     cache->sessionGetter_);
      frame->populateCacheEntriesForResourcePool(pool, nullptr, memberOf(item, "resources"),
                                                 memberOf(item, "urlMappings"),
                                                 memberOf(item, "urlMappingsNoCache"));
      frame->setVersionTokenBeforeCreation(
          running && !running->versionToken().empty() ? running->versionToken() : "n/a");
      std::int64_t status = VLCacheFrameStatusCreated;
      if (auto it = item.find("status"); it != item.end() && it->is_number_integer() &&
                                         it->get<std::int64_t>() >= VLCacheFrameStatusCreated &&
                                         it->get<std::int64_t>() <= VLCacheFrameStatusUpgraded)
        status = it->get<std::int64_t>();
      // Nothing downloads at a launch: a frame stored while downloading was interrupted.
      if (status == VLCacheFrameStatusDownloading) status = VLCacheFrameStatusIncomplete;
      frame->setStatus(status);
      auto deletion = item.find("frameToDelete");
      frame->setFrameToDelete(deletion != item.end() && deletion->is_boolean() &&
                              deletion->get<bool>());
      if (!cachedVersion.empty() && frame->versionToken() == cachedVersion) running = frame;
      frames.push_back(frame);
    }
  } else if (!stored.is_null()) {
    vlcache::logError("Ignoring the stored application's frames: not an array");
  }
  std::lock_guard lock(cache->mutex_);
  cache->cacheEntries_ = std::move(pool);
  cache->cacheFrames_ = std::move(frames);
  cache->runningVersion_ = std::move(running);
  vlcache::lookupsChanged();
  return cache;
}

Value VLApplicationCache::createCacheManifest() const {
  Value out = Value::object();
  try {
    std::lock_guard lock(mutex_);
    out["applicationHostname"] = hostname_;
    out["applicationPath"] = application_;
    out["cachedApplication"] = cacheApplicationKey_;
    if (runningVersion_) out["cachedVersion"] = runningVersion_->versionToken();
    if (prebundleVersion_) out["preBundleVersion"] = prebundleVersion_->versionToken();
    Value entries = Value::object();
    for (const auto& [key, entry] : cacheEntries_) entries[key] = entry->jsonDictionary();
    out["cachedEntries"] = std::move(entries);
    Value frames = Value::array();
    for (const auto& frame : cacheFrames_)
      if (!frame->preBundle()) frames.push_back(frame->jsonDictionary());
    out["cachedFrames"] = std::move(frames);
  } catch (const std::exception& exception) {
    vlcache::logError(std::string("Failed to create manifest object: ") + exception.what(),
                      VLException("NSException", exception.what()));
  }
  return out;
}

VLApplicationCache::Frame VLApplicationCache::upgradeCacheEntriesForVersion(
    const std::string& versionToken, const Entries& entries) {
  auto frame =
      VLCacheResources::initForHostname(hostname_, application_, versionToken, false, sessionGetter_);
  frame->setVersionTokenBeforeCreation(runningTokenOrNA());
  for (const auto& [key, entry] : entries) {
    if (!entry) continue;
    if (entry->preBundled()) entry->setStatus(VLCacheEntryStatusToFetch);
    const std::string url = entry->url();
    if (key == url) entry->setNoCache(false);
    entry->setResourceMapping(key != url);
    frame->addResource(entry, key);
  }
  return frame;
}

void VLApplicationCache::upgradeIfNeeded() {
  std::lock_guard lock(mutex_);
  auto running = runningVersion_;
  if (!running || running->status() != VLCacheFrameStatusUpgraded) return;
  vlcache::logDebug(stringf("Upgrading cache for application: https://%s/%s", hostname_.c_str(),
                            application_.c_str()));
  for (const auto& [key, entry] : running->cacheEntries()) {
    if (!entry->preBundled()) continue;
    const std::string url = entry->url();
    std::shared_ptr<VLCacheEntry> packaged;
    if (prebundleVersion_) {
      packaged = prebundleVersion_->getResourceForUrl(key);
      if (!packaged) packaged = prebundleVersion_->getResourceForUrl(url);
    }
    bool copied = false;
    if (packaged && packaged->url() == url && running->fileExistsAtPreBundled(*entry)) {
      // The copy records its own outcome: a copy that failed leaves the entry to be fetched.
      running->copyPreBundleResource(entry);
      copied = entry->status() == VLCacheEntryStatusAvailable && !entry->preBundled();
      if (!copied)
        vlcache::logError("Upgrading cache: the package copy of " + url +
                          " failed; it will be fetched when first served");
    }
    if (!copied) {
      entry->setFileName(running->getFileNameForURL(url, false).value_or(""));
      entry->setPreBundled(false);
      running->updateResource(entry, VLCacheEntryStatusFailed);
    }
    entry->setPreBundled(false);
  }
  running->setStatus(VLCacheFrameStatusComplete);
  swapCache(running);
  clearPreviousVersion();
}

void VLApplicationCache::addCacheFrame(const Frame& frame) {
  if (!frame) {
    vlcache::logDebug("Unable to add an empty cache frame to cache frames array");
    return;
  }
  std::lock_guard lock(mutex_);
  if (!frame->preBundle() && !frame->versionToken().empty()) {
    for (const auto& [key, entry] : frame->cacheEntries()) {
      if (entry->resourceMapping()) continue;
      auto pooled = cacheEntries_.find(key);
      if (pooled == cacheEntries_.end() || pooled->second != entry) continue;
      entry->addCacheVersion(frame->versionToken());
      entry->setResourceToDelete(false);
    }
  }
  cacheFrames_.push_back(frame);
}

void VLApplicationCache::addPreBundleFrame(const Frame& frame) {
  if (!frame) {
    vlcache::logDebug("Unable to add an empty cache frame to cache frames array");
    return;
  }
  std::lock_guard lock(mutex_);
  cacheFrames_.push_back(frame);
  prebundleVersion_ = frame;
  vlcache::lookupsChanged();
}

VLApplicationCache::Frame VLApplicationCache::getCacheFrameForVersion(
    const std::string& versionToken) const {
  std::lock_guard lock(mutex_);
  for (const auto& frame : cacheFrames_)
    if (frame->versionToken() == versionToken) return frame;
  return nullptr;
}

VLApplicationCache::Frame VLApplicationCache::getCurrentRunningFrame() const {
  std::lock_guard lock(mutex_);
  return runningVersion_;
}
VLApplicationCache::Frame VLApplicationCache::getPreBundleFrame() const {
  std::lock_guard lock(mutex_);
  return prebundleVersion_;
}
VLApplicationCache::Frame VLApplicationCache::getPreviousFrame() const {
  std::lock_guard lock(mutex_);
  return previousVersion_;
}
std::vector<VLApplicationCache::Frame> VLApplicationCache::cacheFrames() const {
  std::lock_guard lock(mutex_);
  return cacheFrames_;
}

std::optional<std::string> VLApplicationCache::getCurrentCacheVersion() const {
  std::lock_guard lock(mutex_);
  if (!runningVersion_) return std::nullopt;
  return runningVersion_->versionToken();
}

void VLApplicationCache::keepPageVersion() {
  std::lock_guard lock(mutex_);
  if (pageVersionKept_) return;
  pageVersion_ = runningVersion_ ? runningVersion_ : prebundleVersion_;
  pageVersionKept_ = true;
  vlcache::lookupsChanged();
}

void VLApplicationCache::releasePageVersion() {
  std::lock_guard lock(mutex_);
  pageVersion_ = nullptr;
  pageVersionKept_ = false;
  nextDocument_.reset();
  vlcache::lookupsChanged();
}

void VLApplicationCache::setNextDocument(std::optional<std::string> key) {
  std::lock_guard lock(mutex_);
  nextDocument_ = std::move(key);
  vlcache::lookupsChanged();
}

VLApplicationCache::Frame VLApplicationCache::getPageVersion() const {
  std::lock_guard lock(mutex_);
  return pageVersionKept_ ? pageVersion_ : nullptr;
}

std::shared_ptr<VLCacheEntry> VLApplicationCache::getCacheEntryForURL(const std::string& url) const {
  // An upgrade holds the lock while it copies files.
  auto lock = platform::nowait::lock(mutex_);
  if (!lock.owns_lock()) return nullptr;
  const Frame& first = pageVersionKept_ && nextDocument_ != url ? pageVersion_ : runningVersion_;
  if (first)
    if (auto entry = first->getResourceForUrl(url)) return entry;
  if (auto it = cacheEntries_.find(url); it != cacheEntries_.end()) return it->second;
  if (prebundleVersion_) return prebundleVersion_->getResourceForUrl(url);
  return nullptr;
}

void VLApplicationCache::healingCacheEntry(const std::string& url) {
  std::lock_guard lock(mutex_);
  // The entry served: the page's version's when one is kept.
  const Frame& frame = pageVersionKept_ && pageVersion_ ? pageVersion_ : runningVersion_;
  if (!frame) return;
  if (auto entry = frame->getResourceForUrl(url)) entry->setStatus(VLCacheEntryStatusAvailable);
}

void VLApplicationCache::addCacheEntry(const std::shared_ptr<VLCacheEntry>& entry,
                                       const std::string& url) {
  if (url.empty() || !entry) {
    vlcache::logDebug(stringf("Failed to add entry '%s' to cache entries dictionary",
                              entry ? entry->url().c_str() : "(none)"));
    return;
  }
  std::lock_guard lock(mutex_);
  cacheEntries_[url] = entry;
  vlcache::lookupsChanged();
}

std::shared_ptr<VLCacheEntry> VLApplicationCache::resourceExistsAtPrebundle(
    const std::string& url) const {
  std::lock_guard lock(mutex_);
  return prebundleVersion_ ? prebundleVersion_->getResourceForUrl(url) : nullptr;
}

bool VLApplicationCache::swapCache(const Frame& frame) {
  if (!frame) return false;
  if (frame->preBundle()) {
    vlcache::logDebug("Unable to execute swap cache with a prebundle frame");
    return true;
  }
  std::lock_guard lock(mutex_);
  bool complete = true;
  for (const auto& [key, entry] : frame->cacheEntries()) {
    if (entry->resourceMapping()) continue;
    if (qualifies(*entry))
      cacheEntries_[key] = entry;
    else
      complete = false;
  }
  vlcache::lookupsChanged();
  const std::int64_t status = frame->status();
  if (!complete || (status != VLCacheFrameStatusComplete && status != VLCacheFrameStatusUpgraded))
    return false;
  if (runningVersion_) previousVersion_ = runningVersion_;
  runningVersion_ = frame;
  vlcache::lookupsChanged();
  return true;
}

void VLApplicationCache::rollbackToPreviousVersion() {
  std::lock_guard lock(mutex_);
  if (!previousVersion_) return;
  runningVersion_ = previousVersion_;
  previousVersion_ = nullptr;
  vlcache::lookupsChanged();
}

void VLApplicationCache::clearPreviousVersion() {
  std::lock_guard lock(mutex_);
  previousVersion_ = nullptr;
}

void VLApplicationCache::markForDeletion(const Frame& ongoing) {
  std::lock_guard lock(mutex_);
  bool afterRunning = false;
  for (const auto& frame : cacheFrames_) {
    if (frame == runningVersion_) {
      afterRunning = true;
      continue;
    }
    if (frame->preBundle() || frame == ongoing) continue;
    // Only the ongoing frame is fetching. One that says it is downloading but is not ongoing
    // was left so by a download that was cancelled or killed: it stopped short like an
    // incomplete one. A frame that stopped short after the running version was made will be
    // resumed and keeps its files; an older one is given up.
    const std::int64_t status = frame->status();
    if (afterRunning &&
        (status == VLCacheFrameStatusCreated || status == VLCacheFrameStatusDownloading ||
         status == VLCacheFrameStatusIncomplete))
      continue;
    vlcache::logDebug(stringf("Defining files from cache frame with version %s to be deleted",
                              frame->versionToken().c_str()));
    frame->setFrameToDelete(true);
    for (const auto& [key, entry] : frame->cacheEntries()) {
      if (entry->resourceMapping()) continue;
      const std::string url = entry->url();
      vlcache::logDebug("Removing frame version from resource with key: " + url);
      auto versions = entry->cacheVersions();
      versions->remove(frame->versionToken());
      vlcache::logDebug(stringf("Resource with key %s is used by another %ld frame versions",
                                url.c_str(), static_cast<long>(versions->count())));
      if (versions->count() != 0) continue;
      entry->setResourceToDelete(true);
      if (auto it = cacheEntries_.find(key); it != cacheEntries_.end()) {
        it->second->setResourceToDelete(true);
        vlcache::logDebug("Defining resource from cache: " + url + " to be deleted");
      }
    }
  }
}

std::vector<std::shared_ptr<VLCacheEntry>> VLApplicationCache::gatherResourcesToDelete() {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<VLCacheEntry>> gathered;
  std::vector<Frame> removed;
  for (const auto& frame : cacheFrames_) {
    if (frame == runningVersion_ || frame->preBundle() || !frame->frameToDelete()) continue;
    vlcache::logDebug("Removing files from cache frame with version " + frame->versionToken());
    for (const auto& [key, entry] : frame->cacheEntries()) {
      // An entry some frame took over since it was marked keeps its file.
      if (entry->resourceMapping() || !entry->resourceToDelete() ||
          entry->cacheVersions()->count() != 0)
        continue;
      if (auto it = cacheEntries_.find(key); it != cacheEntries_.end() && it->second == entry) {
        cacheEntries_.erase(it);
        vlcache::lookupsChanged();
      }
      gathered.push_back(entry);
      vlcache::logDebug("Removing resource from cache: " + entry->url());
    }
    removed.push_back(frame);
  }
  for (const auto& frame : removed) {
    cacheFrames_.erase(std::find(cacheFrames_.begin(), cacheFrames_.end(), frame));
    if (previousVersion_ == frame) previousVersion_ = nullptr;
    vlcache::logDebug("Removed cache frame with version " + frame->versionToken());
  }
  return gathered;
}

size_t VLApplicationCache::dropUntrustedFileNames() {
  std::lock_guard lock(mutex_);
  const std::string ownFolder = platform::fs::normalizePath(
      platform::fs::appendPath(VLCacheLocations::cacheDirectory(), cacheApplicationKey_));
  size_t dropped = 0;
  auto check = [&](const std::shared_ptr<VLCacheEntry>& entry) {
    const std::string name = entry->fileName();
    if (name.empty()) return;
    auto path = VLCacheLocations::getLocalFilePath(*entry);
    bool trusted = name.front() != '/' && path.has_value();
    if (trusted && !entry->preBundled())
      trusted = !cacheApplicationKey_.empty() && platform::fs::isInside(*path, ownFolder);
    if (trusted) return;
    vlcache::logError("Ignoring the file name of cached resource " + entry->url() +
                      ": not a file of this application");
    // Its own cache file, fetched again when it is next needed.
    entry->setPreBundled(false);
    entry->setFileName(cacheApplicationKey_ + "/" + platform::stableHashString(entry->url()));
    entry->setStatus(VLCacheEntryStatusToFetch);
    ++dropped;
  };
  for (const auto& [key, entry] : cacheEntries_) check(entry);
  for (const auto& frame : cacheFrames_)
    for (const auto& [key, entry] : frame->cacheEntries()) check(entry);
  return dropped;
}

bool VLApplicationCache::isEmpty() const {
  std::lock_guard lock(mutex_);
  return cacheEntries_.empty();
}

VLApplicationCache::Entries VLApplicationCache::getCacheEntries() const {
  std::lock_guard lock(mutex_);
  return cacheEntries_;
}

#include "appcache/VLNativeCache.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "appcache/VLCacheClock.h"
#include "appcache/VLCacheLocations.h"
#include "appcache/VLCacheLog.h"
#include "appcache/VLCacheOptions.h"
#include "appcache/VLFileChecksum.h"
#include "appcache/VLLookupGeneration.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/NoWait.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/Strings.h"
#include "platform/foundation/UserDefaults.h"
#include "shell/VLHTTPFactory.h"

using platform::stringf;
using platform::Value;

namespace {

std::mutex sharedMutex;
std::shared_ptr<VLNativeCache>& sharedEngine() {
  static std::shared_ptr<VLNativeCache> engine;
  return engine;
}

platform::UserDefaults& defaults() { return platform::UserDefaults::standard(); }

std::string storedString(const char* key) { return defaults().string(key).value_or(""); }

const char* orNA(const std::string& text) { return text.empty() ? "n/a" : text.c_str(); }

}  // namespace

// ---- The shared engine ----

std::shared_ptr<VLNativeCache> VLNativeCache::sharedInstanceWithFirstRun(bool firstRun,
                                                                         double connectTimeout,
                                                                         double readTimeout) {
  std::lock_guard lock(sharedMutex);
  if (!sharedEngine()) sharedEngine() = make(firstRun, connectTimeout, readTimeout);
  return sharedEngine();
}

std::shared_ptr<VLNativeCache> VLNativeCache::sharedInstance() {
  if (auto engine = sharedInstanceIfMade()) return engine;
  throw VLException("VLInvalidNativeCacheState",
                    "VLNativeCache hasn't been initialized yet. Make sure to call "
                    "sharedInstanceWithFirstRun:andResourceConnectTimeout:andResourceReadTimeout: "
                    "first:");
}

std::shared_ptr<VLNativeCache> VLNativeCache::sharedInstanceIfMade() noexcept {
  // The engine is made under this lock, reading its manifest.
  auto lock = platform::nowait::lock(sharedMutex);
  if (!lock.owns_lock()) return nullptr;
  return sharedEngine();
}

void VLNativeCache::resetSharedInstance() {
  std::shared_ptr<VLNativeCache> engine;
  {
    std::lock_guard lock(sharedMutex);
    engine.swap(sharedEngine());
  }
}

std::string VLNativeCache::keyForHostname(std::string_view hostname,
                                          std::string_view application) {
  return VLCacheLocations::keyForHostname(hostname, application);
}

// ---- Construction ----

VLNativeCache::VLNativeCache(bool firstRun, double connectTimeout, double readTimeout)
    : firstRun_(firstRun),
      timeoutIntervalForRequest_(
          std::clamp(connectTimeout, 0.0, VLCacheOptions::kMaximumTimeoutSeconds)),
      timeoutIntervalForResource_(
          std::clamp(readTimeout, 0.0, VLCacheOptions::kMaximumTimeoutSeconds)) {
  vlcache::lookupsChanged();  // what was looked up in an engine before is not this one's
}

VLNativeCache::~VLNativeCache() {
  if (ongoingCacheResources_) ongoingCacheResources_->cancelDownload();
}

std::shared_ptr<VLNativeCache> VLNativeCache::make(bool firstRun, double connectTimeout,
                                                   double readTimeout) {
  // NaN time-outs count as none.
  if (!(connectTimeout >= 0)) connectTimeout = 0;
  if (!(readTimeout >= 0)) readTimeout = 0;
  std::shared_ptr<VLNativeCache> engine(new VLNativeCache(firstRun, connectTimeout, readTimeout));
  engine->start();
  return engine;
}

void VLNativeCache::start() {
  const std::string folder = VLCacheLocations::cacheDirectory();
  if (auto error = platform::fs::createDirectory(folder, true))
    vlcache::logError("Failed to create cache directory: " + folder);
  if (defaults().object(kFileCreatedKey).is_null())
    defaults().set(kFileCreatedKey, manifestFileExists() ? "true" : "false");
  removeStagedFiles();
  if (readCacheManifest()) {
    vlcache::logDebug("Native cache successfully loaded");
    removeOrphanedFiles();
    clearUnusedContent();
  }
}

// ---- Fields ----

void VLNativeCache::setDelegate(std::shared_ptr<VLCacheListenerDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}
std::shared_ptr<VLCacheListenerDelegate> VLNativeCache::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_;
}
std::int64_t VLNativeCache::currentStatus() const {
  std::lock_guard lock(mutex_);
  return currentStatus_;
}
void VLNativeCache::setCurrentStatus(std::int64_t status) {
  std::lock_guard lock(mutex_);
  currentStatus_ = status;
}
std::optional<std::string> VLNativeCache::currentApplication() const {
  std::lock_guard lock(mutex_);
  return currentApplication_;
}
std::shared_ptr<VLApplicationCache> VLNativeCache::applicationCache(const std::string& key) const {
  return applicationEntries_.objectForKey(key);
}
std::shared_ptr<VLCacheResources> VLNativeCache::ongoingCacheResources() const {
  std::lock_guard lock(mutex_);
  return ongoingCacheResources_;
}
bool VLNativeCache::cacheUpgrade() const {
  std::lock_guard lock(mutex_);
  return cacheUpgrade_;
}
std::int64_t VLNativeCache::maxNumberOfRetries() const {
  std::lock_guard lock(mutex_);
  return maxNumberOfRetries_;
}

void VLNativeCache::changeCacheStatus(std::int64_t status) {
  std::shared_ptr<VLCacheListenerDelegate> listener;
  {
    std::lock_guard lock(mutex_);
    currentStatus_ = status;
    listener = delegate_;
  }
  if (listener) listener->updateStatus(status);
}

std::shared_ptr<platform::URLSession> VLNativeCache::downloadSession() {
  std::lock_guard lock(mutex_);
  if (!downloadSession_)
    downloadSession_ = platform::URLSession::sessionWithConfiguration(
        createSessionConfigurationWithOptions(nullptr, nullptr).value());
  return downloadSession_;
}

VLCacheResources::SessionGetter VLNativeCache::getDownloadSessionBlock() {
  std::weak_ptr<VLNativeCache> weak = weak_from_this();
  return [weak]() -> std::shared_ptr<platform::URLSession> {
    auto engine = weak.lock();
    return engine ? engine->downloadSession() : nullptr;
  };
}

std::shared_ptr<VLApplicationCache> VLNativeCache::currentApplicationCache() const {
  auto key = currentApplication();
  return key ? applicationEntries_.objectForKey(*key) : nullptr;
}

std::string VLNativeCache::getRunningVersionToken() const {
  try {
    if (auto cache = currentApplicationCache())
      if (auto running = cache->getCurrentRunningFrame()) return orNA(running->versionToken());
  } catch (const std::exception& exception) {
    vlcache::logWarning(std::string("Failed to read the running version: ") + exception.what());
  }
  return "n/a";
}

// ---- Applications ----

std::shared_ptr<VLApplicationCache> VLNativeCache::applicationCacheCreatingIfMissing(
    const std::string& hostname, const std::string& application, const std::string& key) {
  return applicationEntries_.withLock([&](auto& entries) {
    auto cache = entries.objectForKey(key);
    if (!cache) {
      cache = VLApplicationCache::initForHostname(hostname, application,
                                                  getDownloadSessionBlock(), key);
      entries.setObject(cache, key);
      vlcache::lookupsChanged();
    }
    return cache;
  });
}

void VLNativeCache::setCurrentApplication(const std::string& hostname,
                                          const std::string& application) {
  const std::string key = keyForHostname(hostname, application);
  applicationCacheCreatingIfMissing(hostname, application, key);
  std::lock_guard lock(mutex_);
  currentApplication_ = key;
  vlcache::lookupsChanged();
}

bool VLNativeCache::createCacheDirectoryForApplication(const std::string& key) {
  const std::string path = platform::fs::appendPath(VLCacheLocations::cacheDirectory(), key);
  if (platform::fs::createDirectory(path, true)) {
    vlcache::logError("Failed to create cache directory: " + path);
    return false;
  }
  return true;
}

// ---- Options and session ----

std::optional<platform::URLSessionConfiguration>
VLNativeCache::createSessionConfigurationWithOptions(
    const Value& options, const std::shared_ptr<platform::URLSession>& current) const {
  auto configuration = VLHTTPFactory::ephemeralConfiguration();
  const VLCacheOptions parsed = VLCacheOptions::fromValue(options);
  const bool hasOptions = options.is_object();
  if (current) {
    if (!hasOptions) return std::nullopt;
    const auto& now = current->configuration();
    if (parsed.windowSize.value_or(0) == now.httpMaximumConnectionsPerHost() &&
        parsed.resourceConnectTimeout.value_or(0) == now.timeoutIntervalForRequest() &&
        parsed.resourceReadTimeout.value_or(0) == now.timeoutIntervalForResource())
      return std::nullopt;
  }
  if (timeoutIntervalForRequest_ > 0)
    configuration.setTimeoutIntervalForRequest(timeoutIntervalForRequest_);
  if (timeoutIntervalForResource_ > 0)
    configuration.setTimeoutIntervalForResource(timeoutIntervalForResource_);
  configuration.setHTTPMaximumConnectionsPerHost(5);
  if (parsed.windowSize) configuration.setHTTPMaximumConnectionsPerHost(*parsed.windowSize);
  // A time-out of 0 would mean none at all; those keep the configured ones.
  if (parsed.resourceConnectTimeout && *parsed.resourceConnectTimeout > 0)
    configuration.setTimeoutIntervalForRequest(*parsed.resourceConnectTimeout);
  if (parsed.resourceReadTimeout && *parsed.resourceReadTimeout > 0)
    configuration.setTimeoutIntervalForResource(*parsed.resourceReadTimeout);
  return configuration;
}

void VLNativeCache::applyOptions(const Value& options) {
  const VLCacheOptions parsed = VLCacheOptions::fromValue(options);
  std::shared_ptr<platform::URLSession> current;
  {
    std::lock_guard lock(mutex_);
    maxNumberOfRetries_ = -1;
    current = downloadSession_;
  }
  if (options.is_null()) return;
  if (auto configuration = createSessionConfigurationWithOptions(options, current)) {
    auto session = platform::URLSession::sessionWithConfiguration(*configuration);
    std::lock_guard lock(mutex_);
    downloadSession_ = std::move(session);
  }
  if (parsed.maxNumberOfRetries) {
    std::lock_guard lock(mutex_);
    maxNumberOfRetries_ = *parsed.maxNumberOfRetries;
  }
}

// ---- Start caching ----

void VLNativeCache::startCaching(const std::string& hostname, const std::string& application,
                                 const std::string& version, const Value& resourceList,
                                 const Value& urlMaps, const Value& urlMapsNoCache,
                                 const Value& options) {
  const std::string id = platform::makeUUID();
  vlcache::logWarning(stringf("startCachingId: %s - startCaching started for version: %s, from: %s",
                              id.c_str(), version.c_str(), getRunningVersionToken().c_str()));
  const std::string key = keyForHostname(hostname, application);
  auto listener = delegate();

  if (currentApplication() == key) {
    auto cache = applicationEntries_.objectForKey(key);
    if (cache && cache->getCurrentCacheVersion() == version) {
      std::shared_ptr<VLCacheResources> dropped;
      {
        std::lock_guard lock(mutex_);
        dropped.swap(ongoingCacheResources_);
      }
      // A frame left running would go on fetching (and reporting) for nothing.
      if (dropped) dropped->cancelDownload();
      changeCacheStatus(VLCacheStatusIdle);
      if (listener) listener->fireOnFinishEvent();
      vlcache::logWarning(stringf(
          "startCachingId: %s - Caching operation was skipped: version %s is already available "
          "in cache",
          id.c_str(), version.c_str()));
      return;
    }
  }

  if (auto ongoing = ongoingCacheResources()) {
    if (ongoing->versionToken() == version) {
      if (ongoing->status() != VLCacheFrameStatusIncomplete) {
        if (currentStatus() == VLCacheStatusIdle) changeCacheStatus(VLCacheStatusDownloading);
        vlcache::logWarning("Resuming caching operation for version: " + version);
        return;
      }
      vlcache::logWarning(stringf("startCachingId: %s - Recovering cache frame for version: %s",
                                  id.c_str(), version.c_str()));
    } else {
      ongoing->cancelDownload();
      std::lock_guard lock(mutex_);
      if (ongoingCacheResources_ == ongoing) ongoingCacheResources_.reset();
    }
  }

  const bool listEmpty = !resourceList.is_array() || resourceList.empty();
  const bool mapsEmpty = !urlMaps.is_object() || urlMaps.empty();
  if (listEmpty || mapsEmpty) {
    const std::string message =
        "Caching operation was rejected: resource list and url mappings dictionary are not valid";
    vlcache::logError(stringf("startCachingId: %s - %s", id.c_str(), message.c_str()));
    if (listener) {
      listener->fireOnErrorEvent(message);
      listener->fireOnFinishEvent();
    }
    return;
  }
  // Counted before anything is built from the lists: a version's size is bounded.
  const std::size_t entries = resourceList.size() + urlMaps.size() +
                              (urlMapsNoCache.is_object() ? urlMapsNoCache.size() : 0);
  if (entries > VLCacheOptions::kMaximumManifestEntries) {
    const std::string message = stringf(
        "Caching operation was rejected: the version has %zu entries, more than the %zu allowed",
        entries, VLCacheOptions::kMaximumManifestEntries);
    vlcache::logError(stringf("startCachingId: %s - %s", id.c_str(), message.c_str()));
    if (listener) {
      listener->fireOnErrorEvent(message);
      listener->fireOnFinishEvent();
    }
    return;
  }

  try {
    auto cache = applicationCacheCreatingIfMissing(hostname, application, key);
    if (!createCacheDirectoryForApplication(key))
      throw VLException("NSInternalInconsistencyException",
                        "the application's cache folder cannot be made");
    applyOptions(options);

    std::weak_ptr<VLNativeCache> weak = weak_from_this();
    auto progress = [weak, key](std::int64_t initial, std::int64_t processed, std::int64_t total) {
      if (auto engine = weak.lock()) engine->onProgress(key, initial, processed, total);
    };
    auto error = [weak, key](const std::string& message) {
      if (auto engine = weak.lock()) engine->onError(key, message);
    };
    auto finish = [weak, id, version](bool all) {
      if (auto engine = weak.lock()) engine->onFinish(id, version, all);
    };

    auto frame = cache->getCacheFrameForVersion(version);
    if (frame && !frame->preBundle()) {
      frame->setOnProgressHandler(progress, error, finish);
    } else {
      frame = VLCacheResources::initForHostname(hostname, application, version, false,
                                                getDownloadSessionBlock(), progress, error, finish);
      const std::string before = getRunningVersionToken();
      frame->setVersionTokenBeforeCreation(before);
      vlcache::logWarning(stringf("startCachingId: %s - Version token before creation: %s",
                                  id.c_str(), before.c_str()));
      VLCacheResources::Entries prebundleEntries;
      auto prebundle = cache->getPreBundleFrame();
      if (prebundle) prebundleEntries = prebundle->cacheEntries();
      frame->populateCacheEntriesForResourcePool(cache->getCacheEntries(),
                                                 prebundle ? &prebundleEntries : nullptr,
                                                 resourceList, urlMaps, urlMapsNoCache);
      cache->addCacheFrame(frame);
    }
    std::int64_t budget;
    // Read before the engine's lock: the frame's own locks are never taken under it.
    const std::int64_t initial = frame->initialResourcesCount();
    const double now = VLCacheClock::shared()->now();
    {
      std::lock_guard lock(mutex_);
      ongoingCacheResources_ = frame;
      checkpointProcessed_ = initial;
      checkpointTime_ = now;
      budget = VLCacheOptions::calculateMaxNumberOfRetries(
          maxNumberOfRetries_, static_cast<std::int64_t>(resourceList.size()));
    }
    changeCacheStatus(VLCacheStatusDownloading);
    frame->setMaxNumberOfRetries(budget);
    const std::string before = getRunningVersionToken();
    frame->setVersionTokenBeforeDownloading(before);
    vlcache::logWarning(stringf("startCachingId: %s - Version token before downloading: %s",
                                id.c_str(), before.c_str()));
    frame->startDownload();
  } catch (const std::exception& exception) {
    const std::string reason = exception.what();
    vlcache::logError(stringf("startCachingId: %s - Failed to download resources for application "
                              "version %s: %s",
                              id.c_str(), version.c_str(), reason.c_str()),
                      VLException("NSException", reason));
    // The page waits for an outcome; a start that failed is one.
    if (listener) {
      listener->fireOnErrorEvent("Failed to download resources for application version " +
                                 version + ": " + reason);
      listener->fireOnFinishEvent();
    }
  }
}

void VLNativeCache::onProgress(const std::string& key, std::int64_t initial,
                               std::int64_t processed, std::int64_t total) {
  if (currentStatus() != VLCacheStatusDownloading) return;
  if (auto listener = delegate()) listener->fireOnProgressEvent(processed, total);
  // Reports of one frame come one at a time (under the frame's progress lock).
  const double now = VLCacheClock::shared()->now();
  {
    std::lock_guard lock(mutex_);
    if (!VLCacheOptions::isCheckpointDue(initial, processed, total, checkpointProcessed_,
                                         now - checkpointTime_))
      return;
    checkpointProcessed_ = processed;
    checkpointTime_ = now;
  }
  if (auto cache = applicationEntries_.objectForKey(key)) createCheckPointForApplicationCache(cache);
}

void VLNativeCache::onError(const std::string& key, const std::string& message) {
  if (currentStatus() != VLCacheStatusDownloading) return;
  if (auto listener = delegate()) {
    listener->fireOnErrorEvent(message);
    listener->fireOnFinishEvent();
  }
  changeCacheStatus(currentApplication() ? VLCacheStatusIdle : VLCacheStatusNoApplication);
  if (auto ongoing = ongoingCacheResources()) ongoing->setStatus(VLCacheFrameStatusIncomplete);
  if (auto cache = applicationEntries_.objectForKey(key)) createCheckPointForApplicationCache(cache);
  std::lock_guard lock(mutex_);
  ongoingCacheResources_.reset();
}

void VLNativeCache::onFinish(const std::string& operationId, const std::string& version,
                             bool all) {
  if (currentStatus() != VLCacheStatusDownloading) return;
  auto listener = delegate();
  if (!listener) return;
  if (all) {
    changeCacheStatus(VLCacheStatusDownloaded);
    if (!swapCache()) listener->fireOnErrorEvent("Inconsistency on cache version");
  }
  vlcache::logWarning(stringf("startCachingId: %s - startCaching finished for version: %s",
                              operationId.c_str(), orNA(version)));
  listener->fireOnFinishEvent();
}

// ---- Swap, checkpoint, switch and clean-up ----

bool VLNativeCache::swapCache() {
  std::shared_ptr<VLCacheResources> frame;
  {
    std::lock_guard lock(mutex_);
    if (currentApplication_ && currentStatus_ != VLCacheStatusDownloaded) {
      vlcache::logError("Unable to swap cache: missing application or wrong cache status");
      return false;
    }
    frame = ongoingCacheResources_;
  }
  if (!frame) {
    vlcache::logError("Unable to swap cache: missing application or wrong cache status");
    return false;
  }
  const std::string key = keyForHostname(frame->hostname(), frame->application());
  auto cache = applicationCacheCreatingIfMissing(frame->hostname(), frame->application(), key);
  {
    // The frame goes into its own application's cache. Another application's version never
    // becomes the current one: the web view goes on being served its own application.
    std::lock_guard lock(mutex_);
    if (!currentApplication_) {
      currentApplication_ = key;
      vlcache::lookupsChanged();
    }
  }
  bool pageShown;
  {
    std::lock_guard lock(mutex_);
    pageShown = pageShown_ && currentApplication_ == key;
  }
  // The page on screen keeps the version it was loaded from until its next document.
  if (pageShown) cache->keepPageVersion();
  const bool swapped = cache->swapCache(frame);
  const std::int64_t frameStatus = frame->status();
  const std::string token = frame->versionToken();
  {
    std::lock_guard lock(mutex_);
    if (ongoingCacheResources_ == frame) ongoingCacheResources_.reset();
  }
  changeCacheStatus(VLCacheStatusIdle);
  try {
    writeCacheManifest();
  } catch (const VLException& exception) {
    vlcache::logError("Failed to serialize cache while swapping cache: " + exception.reason(),
                      exception);
    cache->rollbackToPreviousVersion();
    return false;
  }
  if (!swapped) {
    vlcache::logError(stringf("Failed to swap cache. (New cache frame version %s with status: %ld).",
                              token.c_str(), static_cast<long>(frameStatus)));
    return false;
  }
  vlcache::logWarning("Cache was swapped with success");
  cache->clearPreviousVersion();
  return true;
}

void VLNativeCache::pageWillLoad() {
  {
    std::lock_guard lock(mutex_);
    pageShown_ = true;
  }
  for (const auto& key : applicationEntries_.allKeys())
    if (auto cache = applicationEntries_.objectForKey(key)) cache->releasePageVersion();
}

void VLNativeCache::documentWillLoad(const platform::URL& url) {
  auto cache = currentApplicationCache();
  if (!cache) return;
  // The web view asks for it under the scheme of the application's server.
  platform::URL served = url.withScheme("https");
  auto key = isApplicationURL(served, *cache) ? resourceKeyForURL(served) : std::nullopt;
  cache->setNextDocument(std::move(key));
}

void VLNativeCache::createCheckPointForApplicationCache(
    const std::shared_ptr<VLApplicationCache>& cache) {
  if (!cache) return;
  vlcache::logDebug("Create checkpoint for application cache: " + cache->cacheApplicationKey());
  if (auto ongoing = ongoingCacheResources()) cache->swapCache(ongoing);
  try {
    writeCacheManifest();
    vlcache::logDebug("Checkpoint was created with success");
  } catch (const VLException& exception) {
    vlcache::logError(
        "Failed to serialize application cache while creating a checkpoint: " + exception.reason(),
        exception);
  }
}

void VLNativeCache::switchToVersion(const std::string& hostname, const std::string& application,
                                    const std::string& version) {
  vlcache::logWarning("switchToVersion version: " + version);
  const std::string key = keyForHostname(hostname, application);
  if (currentApplication() != key) {
    vlcache::logError(stringf("Unable to switch version: app https://%s/%s not found",
                              hostname.c_str(), application.c_str()));
    return;
  }
  auto cache = applicationEntries_.objectForKey(key);
  if (cache && cache->getCurrentCacheVersion() == version) {
    markForDeletion();
    return;
  }
  const std::string message = "Failed to switch to cache version " + version;
  if (auto listener = delegate())
    listener->throwException(message);
  else
    vlcache::logError(message);
}

void VLNativeCache::markForDeletion() {
  try {
    if (auto cache = currentApplicationCache()) cache->markForDeletion(ongoingCacheResources());
    writeCacheManifest();
  } catch (const VLException& exception) {
    vlcache::logError("Failed to clean unused content from cache filesystem: " + exception.reason(),
                      exception);
  }
}

void VLNativeCache::clearUnusedContent() {
  std::vector<std::shared_ptr<VLCacheEntry>> doomed;
  try {
    if (auto cache = currentApplicationCache()) doomed = cache->gatherResourcesToDelete();
    writeCacheManifest();
  } catch (const VLException& exception) {
    vlcache::logError("Failed to clean unused content from cache filesystem: " + exception.reason(),
                      exception);
    return;
  }
  if (doomed.empty()) return;
  platform::DispatchQueue::global().async([doomed = std::move(doomed)] {
    for (const auto& entry : doomed) {
      const std::string url = entry->url();
      try {
        vlcache::logDebug("Deleting cache file for URL: " + url);
        auto path = VLCacheLocations::getLocalFilePath(*entry);
        // A package file is never ours to delete.
        if (!path || entry->preBundled() || platform::fs::remove(*path))
          vlcache::logDebug("Failed to delete deprecated cache file: " + url);
      } catch (const std::exception& exception) {
        vlcache::logDebug(
            stringf("Failed to delete deprecated cache file %s: %s", url.c_str(), exception.what()));
      }
    }
  });
}

void VLNativeCache::removeStagedFiles() {
  // Nothing downloads yet: whatever the staging folder holds, a stopped shell left behind.
  const std::string staging = VLCacheLocations::stagingDirectory();
  if (staging.empty() || !platform::fs::isDirectory(staging)) return;
  if (auto error = platform::fs::removeContentsOfDirectory(staging))
    vlcache::logError("Failed to empty the cache's staging folder: " + error->localizedDescription());
}

void VLNativeCache::removeOrphanedFiles() {
  std::set<std::string> named;
  for (const auto& key : applicationEntries_.allKeys()) {
    auto cache = applicationEntries_.objectForKey(key);
    if (!cache) continue;
    auto note = [&](const std::shared_ptr<VLCacheEntry>& entry) {
      if (entry->preBundled()) return;
      if (auto path = VLCacheLocations::getLocalFilePath(*entry)) named.insert(*path);
    };
    for (const auto& [url, entry] : cache->getCacheEntries()) note(entry);
    for (const auto& frame : cache->cacheFrames())
      for (const auto& [url, entry] : frame->cacheEntries()) note(entry);
  }
  const std::string folder = platform::fs::normalizePath(VLCacheLocations::cacheDirectory());
  for (const auto& name : platform::fs::contentsOfDirectory(folder)) {
    // Application folders are named by their decimal key; nothing else here is ours to sweep.
    bool isKey = !name.empty();
    for (char c : name) isKey = isKey && std::isdigit(static_cast<unsigned char>(c));
    const std::string sub = platform::fs::appendPath(folder, name);
    if (!isKey || !platform::fs::isDirectory(sub)) continue;
    for (const auto& file : platform::fs::contentsOfDirectory(sub)) {
      const std::string path = platform::fs::appendPath(sub, file);
      if (named.count(path) || platform::fs::isDirectory(path)) continue;
      vlcache::logDebug("Removing a cache file no version names: " + path);
      platform::fs::remove(path);
    }
  }
}

// ---- The cache manifest file ----

std::string VLNativeCache::manifestFilePath() {
  const std::string folder = VLCacheLocations::cacheDirectory();
  return folder.empty() ? std::string() : platform::fs::appendPath(folder, kManifestFileName);
}

bool VLNativeCache::manifestFileExists() const {
  const std::string path = manifestFilePath();
  if (path.empty()) {
    vlcache::logWarning("Manifest file not found: " + path);
    return false;
  }
  return platform::fs::exists(path);
}

bool VLNativeCache::isCacheManifestFileCorrupted(const std::string& path) const {
  auto hash = VLFileChecksum::contentHashOfFile(path);
  if (!hash)
    vlcache::logWarning("Cache manifest hash is nil, file might be missing");
  else if (hash->empty())
    vlcache::logWarning("Hash of file content is empty");
  const std::string stored = storedString(kFileHashKey);
  const std::string previous = storedString(kPreviousFileHashKey);
  if (stored.empty() && previous.empty())
    vlcache::logWarning("Cache manifest file hash in preferences is empty");
  if (!hash || hash->empty() || (stored.empty() && previous.empty())) return false;
  // A crash after the hash was stored and before the file was replaced leaves the file of the
  // hash before.
  return *hash != stored && *hash != previous;
}

bool VLNativeCache::readCacheManifest() {
  const std::string path = manifestFilePath();
  std::optional<Value> manifest;
  bool vouched = false;
  {
    std::lock_guard writer(manifestMutex_);
    if (path.empty() || !platform::fs::exists(path)) {
      if (firstRun_)
        vlcache::logWarning("Failed to load cache manifest: File " + path +
                            " not found. This is the first run so it's expected.");
      else if (storedString(kFileCreatedKey) == "true")
        vlcache::logError("Failed to load cache manifest: File " + path +
                          " not found. The file had been created previously.");
      else
        vlcache::logError("Failed to load cache manifest: File " + path +
                          " not found. The file was never created.");
      return false;
    }
    if (isCacheManifestFileCorrupted(path)) {
      vlcache::logError("Cache manifest file is corrupt or invalid");
      return false;
    }
    vouched = !storedString(kFileHashKey).empty() || !storedString(kPreviousFileHashKey).empty();
    auto data = platform::fs::readFile(path);
    if (data) manifest = platform::parsePropertyList(*data);
    if (!manifest || !manifest->is_object()) {
      vlcache::logError("Failed to read cache manifest file: file " + path +
                        " is invalid or corrupted");
      return false;
    }
    diskHash_ = VLFileChecksum::contentHashOfData(*data);
  }
  try {
    auto format = manifest->find("nativeCacheVersion");
    const bool upgrade = format == manifest->end() || !format->is_string() ||
                         format->get<std::string>() != kManifestFormat;
    std::optional<std::string> current;
    if (auto it = manifest->find("cachedApplication"); it != manifest->end() && it->is_string())
      current = it->get<std::string>();
    {
      std::lock_guard lock(mutex_);
      if (upgrade) cacheUpgrade_ = true;
      currentApplication_ = current;
      vlcache::lookupsChanged();
    }
    if (auto it = manifest->find("cachedEntries"); it != manifest->end() && it->is_object()) {
      for (const auto& [key, stored] : it->items()) {
        auto cache =
            VLApplicationCache::initWithDictionary(stored, upgrade, getDownloadSessionBlock());
        // A file nobody vouched for names no file outside this application's folders.
        if (!vouched) cache->dropUntrustedFileNames();
        applicationEntries_.setObject(cache, key);
        vlcache::lookupsChanged();
      }
    }
    return true;
  } catch (const std::exception& exception) {
    vlcache::logError(stringf("Failed to parse cache manifest file %s: %s", path.c_str(),
                              exception.what()),
                      VLException("NSException", exception.what()));
    return false;
  }
}

Value VLNativeCache::createCacheManifest() const {
  Value manifest = Value::object();
  try {
    manifest["nativeCacheVersion"] = kManifestFormat;
    if (auto current = currentApplication()) manifest["cachedApplication"] = *current;
    Value entries = Value::object();
    for (const auto& key : applicationEntries_.allKeys())
      if (auto cache = applicationEntries_.objectForKey(key))
        entries[key] = cache->createCacheManifest();
    manifest["cachedEntries"] = std::move(entries);
  } catch (const std::exception& exception) {
    vlcache::logError(std::string("Failed to create cache manifest object: ") + exception.what(),
                      VLException("NSException", exception.what()));
  }
  return manifest;
}

void VLNativeCache::writeCacheManifestHash(const std::string& hash) {
  if (!hash.empty()) defaults().set(kFileHashKey, hash);
}

void VLNativeCache::writeCacheManifest() {
  std::lock_guard writer(manifestMutex_);
  if (cacheUpgrade()) {
    // Until the upgrade has run, the older file is the only record of the older entries: a
    // file in the new format would claim an upgrade that never happened.
    vlcache::logDebug("The cache manifest is written once the cache upgrade has run");
    return;
  }
  const std::string path = manifestFilePath();
  const std::string data = platform::serializePropertyListXML(createCacheManifest());
  const std::string hash = VLFileChecksum::contentHashOfData(data);
  const std::string previous = diskHash_;
  // The new hash is stored before the file is replaced, with the hash of the file it replaces
  // kept beside it, in one write of the defaults: whenever a crash comes, the file on disk has
  // one of the two hashes, and the next launch loads it.
  defaults().setValues(Value{{kFileHashKey, hash},
                             {kPreviousFileHashKey, previous.empty() ? Value() : Value(previous)},
                             {kFileCreatedKey, "true"}});
  VLCacheLocations::fileOperationDone("manifest-hash");
  std::optional<platform::Error> error;
  if (path.empty())
    error = platform::Error::make(platform::kCocoaErrorDomain, 4, "The cache folder is unknown");
  else
    error = platform::fs::writeFileAtomically(path, data);
  if (error) {
    defaults().setValues(Value{{kFileHashKey, previous.empty() ? Value() : Value(previous)},
                               {kPreviousFileHashKey, nullptr},
                               {kFileCreatedKey, "false"}});
    throw VLException("FileNotWriteException", "Unable to serialize cache");
  }
  diskHash_ = hash;
  VLCacheLocations::fileOperationDone("manifest-file");
  vlcache::logDebug("Cache manifest hash : " + hash);
  vlcache::logWarning("Cache was successfully serialized");
}

void VLNativeCache::upgradeCacheIfNeeded() {
  if (!cacheUpgrade()) return;
  vlcache::logDebug("Upgrading cache");
  try {
    for (const auto& key : applicationEntries_.allKeys()) {
      if (!createCacheDirectoryForApplication(key)) continue;
      if (auto cache = applicationEntries_.objectForKey(key)) cache->upgradeIfNeeded();
    }
    {
      std::lock_guard lock(mutex_);
      cacheUpgrade_ = false;
    }
    changeCacheStatus(VLCacheStatusIdle);
    writeCacheManifest();
    vlcache::logDebug("Cache upgraded with success");
  } catch (const VLException& exception) {
    vlcache::logError("Failed to serialize cache while upgrading cache: " + exception.reason(),
                      exception);
  }
}

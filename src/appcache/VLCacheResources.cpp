#include "appcache/VLCacheResources.h"

#include <unistd.h>

#include <algorithm>

#include "appcache/VLCacheClock.h"
#include "appcache/VLCacheLocations.h"
#include "appcache/VLCacheLog.h"
#include "appcache/VLLookupGeneration.h"
#include "appcache/VLDownloadOperation.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONText.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/PackageFiles.h"
#include "platform/foundation/Regex.h"
#include "platform/foundation/StableHash.h"
#include "platform/foundation/Strings.h"
#include "platform/net/URLError.h"

using platform::stringf;

namespace {

// A value from a page, a manifest or a server, quoted for a log line whatever bytes it holds.
std::string forLog(const platform::Value& value) { return platform::jsonText(value); }

const char* orNA(const std::string& token) { return token.empty() ? "n/a" : token.c_str(); }

}  // namespace

// ---- Construction ----

VLCacheResources::VLCacheResources(std::string hostname, std::string application,
                                   std::string versionToken, bool preBundle,
                                   SessionGetter sessionGetter)
    : hostname_(std::move(hostname)),
      application_(std::move(application)),
      versionToken_(std::move(versionToken)),
      preBundle_(preBundle),
      sessionGetter_(std::move(sessionGetter)),
      origin_(platform::URL::parse("https://" + hostname_ + "/")) {
  initDownloadQueueForVersion(versionToken_);
}

VLCacheResources::~VLCacheResources() { cancelDownload(); }

std::shared_ptr<VLCacheResources> VLCacheResources::initForHostname(
    std::string hostname, std::string application, std::string versionToken, bool preBundle,
    SessionGetter sessionGetter, ProgressHandler onProgress, ErrorHandler onError,
    FinishHandler onFinish) {
  std::shared_ptr<VLCacheResources> frame(
      new VLCacheResources(std::move(hostname), std::move(application), std::move(versionToken),
                           preBundle, std::move(sessionGetter)));
  frame->setOnProgressHandler(std::move(onProgress), std::move(onError), std::move(onFinish));
  return frame;
}

std::shared_ptr<VLCacheResources> VLCacheResources::initForHostname(
    std::string hostname, std::string application, std::string versionToken, bool preBundle,
    std::int64_t status, SessionGetter sessionGetter) {
  auto frame = initForHostname(std::move(hostname), std::move(application), std::move(versionToken),
                               preBundle, std::move(sessionGetter));
  frame->status_ = status;
  return frame;
}

std::shared_ptr<VLCacheResources> VLCacheResources::initWithDictionary(
    const platform::Value& dictionary, SessionGetter sessionGetter) {
  auto text = [&](const char* key) -> std::string {
    if (!dictionary.is_object()) return {};
    auto it = dictionary.find(key);
    if (it == dictionary.end()) return {};
    if (it->is_string()) return it->get<std::string>();
    vlcache::logDebug(stringf("Ignoring the cache frame's \"%s\": not a string", key));
    return {};
  };
  auto flag = [&](const char* key) {
    if (!dictionary.is_object()) return false;
    auto it = dictionary.find(key);
    return it != dictionary.end() && it->is_boolean() && it->get<bool>();
  };
  auto frame = initForHostname(text("hostname"), text("application"), text("versionToken"),
                               flag("preBundle"), std::move(sessionGetter));
  if (dictionary.is_object()) {
    if (auto it = dictionary.find("status"); it != dictionary.end()) {
      if (it->is_number_integer() && it->get<std::int64_t>() >= VLCacheFrameStatusCreated &&
          it->get<std::int64_t>() <= VLCacheFrameStatusUpgraded)
        frame->status_ = it->get<std::int64_t>();
      else
        vlcache::logDebug("Ignoring the cache frame's \"status\": not a frame status");
    }
  }
  frame->frameToDelete_ = flag("frameToDelete");
  if (auto token = text("versionTokenBeforeDownloading"); !token.empty())
    frame->setVersionTokenBeforeDownloading(token);
  if (auto token = text("versionTokenBeforeCreation"); !token.empty())
    frame->setVersionTokenBeforeCreation(token);
  return frame;
}

void VLCacheResources::initDownloadQueueForVersion(const std::string& versionToken) {
  int concurrency = 1;
  if (auto session = downloadSession()) {
    int perHost = session->configuration().httpMaximumConnectionsPerHost();
    // Twice the session's connections: when a download ends, the next one is already waiting
    // in the session and takes the connection at once, instead of after the queue has handed
    // the freed slot to a worker that makes its task. The session's per-host limit still
    // keeps the server at the window size.
    if (perHost >= 2) concurrency = std::min(2 * perHost, kMaximumConcurrentDownloads);
  }
  downloadQueue_ =
      platform::OperationQueue::make(platform::makeUUID() + "-" + versionToken, concurrency);
  // A download operation only makes its task and hands it to the session, which never waits:
  // it starts on the thread that made room for it (mostly the session's own, as a download
  // ends), sparing every file a hop to a worker and back.
  downloadQueue_->setStartsOperationsInPlace(true);
}

// ---- The resource set ----

void VLCacheResources::populateCacheEntriesForResourcePool(const Entries& pool,
                                                           const Entries* prebundleEntries,
                                                           const platform::Value& resourceList,
                                                           const platform::Value& urlMaps,
                                                           const platform::Value& urlMapsNoCache) {
  std::int64_t total = 0, initial = 0, refused = 0;
  if (resourceList.is_array()) {
    for (const auto& item : resourceList) {
      if (!item.is_string() || !isAcceptableResourceURL(item.get_ref<const std::string&>())) {
        vlcache::logError("Refused resource " + forLog(item) +
                          ": not a path on the application's host");
        ++refused;
        continue;
      }
      const std::string& url = item.get_ref<const std::string&>();
      // A URL listed twice is one resource: counting it twice would never let the frame end.
      if (getResourceForUrl(url)) continue;
      ++total;
      if (auto it = pool.find(url); it != pool.end() && it->second) {
        addResource(it->second, url);
        ++initial;
        continue;
      }
      auto entry = std::make_shared<VLCacheEntry>(
          url, getFileNameForURL(url, preBundle_).value_or(""), preBundle_);
      entry->healMimeType();
      entry->setEncoding("UTF-8");
      if (prebundleEntries) {
        if (auto it = prebundleEntries->find(url); it != prebundleEntries->end() && it->second) {
          entry->setPreBundled(true);
          entry->setMimeType(it->second->mimeType());
          entry->setEncoding(it->second->encoding());
          entry->setFileName(it->second->fileName());
        }
      }
      addResource(entry, url);
    }
  } else if (!resourceList.is_null()) {
    vlcache::logError("Refused the resource list: not an array");
  }

  auto mappingPass = [&](const platform::Value& mappings, bool noCache, const char* inconsistency) {
    if (mappings.is_null()) return;
    if (!mappings.is_object()) {
      vlcache::logError("Refused the URL mappings: not an object");
      return;
    }
    for (const auto& [source, target] : mappings.items()) {
      if (!isAcceptableResourceURL(source) || !target.is_string() ||
          !isAcceptableResourceURL(target.get_ref<const std::string&>())) {
        vlcache::logError("Refused URL mapping " + forLog(source) + " to " + forLog(target) +
                          ": not paths on the application's host");
        continue;
      }
      // A listed resource keeps its own entry: a mapping over it would leave it uncounted.
      if (auto existing = getResourceForUrl(source); existing && !existing->resourceMapping()) {
        vlcache::logError("Refused URL mapping " + forLog(source) +
                          ": the URL is a listed resource");
        continue;
      }
      addResource(makeMappingEntry(target.get<std::string>(), noCache, pool, inconsistency),
                  source);
    }
  };
  mappingPass(urlMaps, false, "Manifest inconsistency: URL for mapping was not found");
  mappingPass(urlMapsNoCache, true,
              "Manifest inconsistency: URL for mapping no cache was not found");

  std::lock_guard lock(progressMutex_);
  totalResourcesCount_ = total;
  initialResourcesCount_ = initial;
  refusedResourcesCount_ = refused;
}

std::shared_ptr<VLCacheEntry> VLCacheResources::makeMappingEntry(const std::string& target,
                                                                 bool noCache, const Entries& pool,
                                                                 const char* inconsistencyMessage) {
  auto entry = std::make_shared<VLCacheEntry>(
      target, getFileNameForURL(target, preBundle_).value_or(""), preBundle_);
  entry->setResourceMapping(true);
  entry->setNoCache(noCache);
  std::shared_ptr<VLCacheEntry> original;
  if (auto it = pool.find(target); it != pool.end()) original = it->second;
  if (!original) original = getResourceForUrl(target);
  if (!original) {
    vlcache::logDebug(inconsistencyMessage);
    return entry;
  }
  entry->setFileName(original->fileName());
  entry->setPreBundled(original->preBundled());
  entry->setMimeType(original->mimeType());
  entry->setEncoding(original->encoding());
  entry->setStatus(original->status());
  entry->setCacheVersions(original->cacheVersions());
  return entry;
}

void VLCacheResources::addResource(std::shared_ptr<VLCacheEntry> entry, const std::string& url) {
  if (url.empty() || !entry) {
    vlcache::logDebug(stringf("Failed to add entry %s to cache entries dictionary in the frame",
                              entry ? entry->url().c_str() : "(none)"));
    return;
  }
  std::lock_guard lock(entriesMutex_);
  cacheEntries_[url] = std::move(entry);
  vlcache::lookupsChanged();
}

std::shared_ptr<VLCacheEntry> VLCacheResources::getResourceForUrl(const std::string& url) const {
  std::lock_guard lock(entriesMutex_);
  auto it = cacheEntries_.find(url);
  return it == cacheEntries_.end() ? nullptr : it->second;
}

VLCacheResources::Entries VLCacheResources::cacheEntries() const {
  std::lock_guard lock(entriesMutex_);
  return cacheEntries_;
}

void VLCacheResources::setOnProgressHandler(ProgressHandler onProgress, ErrorHandler onError,
                                            FinishHandler onFinish) {
  std::lock_guard lock(stateMutex_);
  onProgress_ = std::move(onProgress);
  onError_ = std::move(onError);
  onFinish_ = std::move(onFinish);
}

// ---- File names and files ----

std::optional<std::string> VLCacheResources::getFileNameForURL(const std::string& url,
                                                               bool forPrebundle) const {
  if (!forPrebundle)
    return VLCacheLocations::keyForHostname(hostname_, application_) + "/" +
           platform::stableHashString(url);
  // The application's first path segment is the package's www folder.
  static const auto firstSegment =
      platform::Regex::make(R"((^\/([\da-zA-Z\-_]+)\/))", /*caseInsensitive=*/true);
  if (!firstSegment) {
    vlcache::logError(
        "Failed to create a regular expression instance: the pattern does not compile");
    return std::nullopt;
  }
  return firstSegment->replaceAll(VLCacheEntry::pathOfURL(url), "/www/");
}

bool VLCacheResources::checkResourceExitsAtCache(const VLCacheEntry& entry) const {
  auto path = VLCacheLocations::getLocalFilePath(entry);
  return path && platform::fs::exists(*path);
}

bool VLCacheResources::fileExistsAtPreBundled(const VLCacheEntry& entry) const {
  return checkResourceExitsAtCache(entry);
}

bool VLCacheResources::fileExistsAtCacheDirectory(const VLCacheEntry& entry) const {
  if (entry.preBundled()) return false;
  auto path = VLCacheLocations::getLocalFilePath(entry);
  auto size = path ? platform::fs::fileSize(*path) : std::nullopt;
  if (!size) vlcache::logDebug("Failed to locate file " + entry.url());
  return size && *size != 0;
}

// Copies a package file next to its destination, then renames it over whatever is there.
std::optional<std::string> VLCacheResources::copyFileIntoPlace(const std::string& source,
                                                               const std::string& destination) {
  platform::fs::ReadableFile file = platform::package::open(source);
  if (!file.isOpen())
    return file.error() == EXDEV ? std::string("it leads out of the application package")
                                 : platform::fs::posixError(file.error()).localizedDescription();
  std::string folder = destination.substr(0, destination.rfind('/'));
  if (auto error = platform::fs::createDirectory(folder, true))
    return error->localizedDescription();
  std::string staging = destination + ".part-" + platform::makeUUID();
  if (auto error = platform::fs::copyFile(file, staging)) return error->localizedDescription();
  if (::rename(staging.c_str(), destination.c_str()) != 0) {
    std::string reason = platform::fs::posixError(errno).localizedDescription();
    platform::fs::remove(staging);
    return reason;
  }
  return std::nullopt;
}

void VLCacheResources::copyPreBundleResource(const std::shared_ptr<VLCacheEntry>& entry) {
  const std::string url = entry->url();
  updateResource(entry, VLCacheEntryStatusInFlight);
  try {
    auto source = VLCacheLocations::getLocalFilePath(*entry);
    const std::string oldFileName = entry->fileName();
    const bool oldPreBundled = entry->preBundled();
    entry->setFileName(getFileNameForURL(url, false).value_or(""));
    entry->setPreBundled(false);
    auto destination = VLCacheLocations::getLocalFilePath(*entry);

    std::optional<std::string> failure;
    if (!source)
      failure = "the package file name leads outside the package";
    else if (!destination)
      failure = "the resource has no place in the cache";
    else
      failure = copyFileIntoPlace(*source, *destination);

    if (failure) {
      vlcache::logError(stringf("Could not copy resource %s from prebundle with error: %s",
                                url.c_str(), failure->c_str()));
      entry->setFileName(oldFileName);
      entry->setPreBundled(oldPreBundled);
      // Counted as failed, so the frame still completes (as incomplete) and a later start
      // tries the copy again.
      updateResource(entry, VLCacheEntryStatusFailed);
    } else {
      vlcache::logDebug(
          stringf("Copied prebundled resource %s to %s", url.c_str(), destination->c_str()));
      updateResource(entry, VLCacheEntryStatusAvailable);
    }
  } catch (const std::exception& exception) {
    std::string text = stringf("Could not copy resource %s from prebundle with error: %s",
                               url.c_str(), exception.what());
    vlcache::logError(text);
    abortDownload(text);
  }
}

// ---- Outcomes and progress ----

void VLCacheResources::updateResource(const std::shared_ptr<VLCacheEntry>& entry,
                                      std::int64_t status, bool fileJustPutInPlace) {
  entry->addCacheVersion(versionToken_);
  entry->setStatus(status);
  std::int64_t reported = status;
  if (status == VLCacheEntryStatusAvailable && !fileJustPutInPlace &&
      !checkResourceExitsAtCache(*entry))
    reported = VLCacheEntryStatusFailed;
  updateProgress(reported);
}

void VLCacheResources::updateProgress(std::int64_t status) {
  if (status == VLCacheEntryStatusInFlight) return;
  std::lock_guard lock(progressMutex_);
  if (status == VLCacheEntryStatusAvailable || status == VLCacheEntryStatusFailed)
    ++processedResourcesCount_;
  ProgressHandler onProgress;
  FinishHandler onFinish;
  {
    std::lock_guard stateLock(stateMutex_);
    onProgress = onProgress_;
    onFinish = onFinish_;
  }
  if (onProgress)
    onProgress(initialResourcesCount_, processedResourcesCount_, totalResourcesCount_);
  if (status != VLCacheEntryStatusAvailable) allResourcesDownloaded_ = false;
  if (totalResourcesCount_ != processedResourcesCount_) return;

  const bool all = allResourcesDownloaded_;
  {
    // An abort may have ended this run already; the run is reported once.
    std::lock_guard frameLock(frameMutex_);
    if (finishReported_) return;
    finishReported_ = true;
    status_ = all ? VLCacheFrameStatusComplete : VLCacheFrameStatusIncomplete;
  }
  if (onFinish) onFinish(all);
}

// ---- Fetching ----

void VLCacheResources::startDownload() {
  vlcache::logDebug("Downloading resources for the cache version: " + versionToken_);
  std::uint64_t run;
  {
    std::lock_guard lock(frameMutex_);
    status_ = VLCacheFrameStatusDownloading;
    finishReported_ = false;
    run = ++run_;
  }
  {
    std::lock_guard lock(retryMutex_);
    numberOfRetries_ = 0;
    retriesOfResource_.clear();
  }
  std::int64_t total, refused;
  {
    std::lock_guard lock(progressMutex_);
    processedResourcesCount_ = 0;
    allResourcesDownloaded_ = true;
    total = totalResourcesCount_;
    refused = refusedResourcesCount_;
  }
  if (total == 0 && refused > 0) {
    abortDownload("None of the listed resources is a path on the application's host");
    return;
  }
  for (const auto& [key, entry] : cacheEntries()) {
    if (entry->resourceMapping()) continue;
    // An abort, or a newer start, ends this loop.
    if (status_ != VLCacheFrameStatusDownloading || run != run_) return;
    if (entry->status() == VLCacheEntryStatusAvailable) {
      if (entry->preBundled() || fileExistsAtCacheDirectory(*entry)) {
        updateResource(entry, VLCacheEntryStatusAvailable);
        vlcache::logDebug("Resource already fetched: " + entry->url());
        continue;
      }
      // Marked available, but its file has gone: fetch it again.
      entry->setStatus(VLCacheEntryStatusToFetch);
    }
    // An entry still in flight was left so by a download cancelled before it started (it
    // never reports): it is fetched again like any other, or the count could never end.
    if (entry->preBundled())
      copyPreBundleResource(entry);
    else
      downloadResourceAsync(entry);
  }
}

void VLCacheResources::cancelDownload() {
  ++cancellations_;
  // Each operation's own cancel, so running downloads stop their tasks too.
  for (const auto& operation : downloadQueue_->operations()) operation->cancel();
}

void VLCacheResources::abortDownload(const std::string& reason) {
  const std::string text = "Aborting resources download. " + reason;
  {
    std::lock_guard lock(frameMutex_);
    std::int64_t status = status_;
    if (status == VLCacheFrameStatusComplete || status == VLCacheFrameStatusIncomplete) return;
    status_ = VLCacheFrameStatusIncomplete;
    finishReported_ = true;
  }
  vlcache::logWarning(text);
  cancelDownload();
  ErrorHandler onError;
  FinishHandler onFinish;
  {
    std::lock_guard lock(stateMutex_);
    onError = onError_;
    onFinish = onFinish_;
  }
  if (onError) onError(text);
  if (onFinish) onFinish(false);
}

void VLCacheResources::downloadResourceAsync(const std::shared_ptr<VLCacheEntry>& entry) {
  const std::string url = entry->url();
  updateResource(entry, VLCacheEntryStatusInFlight);
  try {
    std::optional<platform::URL> address;
    if (isAcceptableResourceURL(url)) {
      address = platform::URL::parse(
          "https://" + hostname_ +
          platform::percentEncode(url, platform::URLCharacterSet::AllButWhitespace));
      if (address &&
          (!origin_ || address->host() != origin_->host() || address->port() != origin_->port()))
        address.reset();
    }
    if (!address) {
      // Never sent: the address would leave the application's host. It counts as failed.
      vlcache::logError(stringf("Failed to download resource %s: not a path on the host %s",
                                forLog(url).c_str(), forLog(hostname_).c_str()));
      updateResource(entry, VLCacheEntryStatusFailed);
      return;
    }
    auto session = downloadSession();
    if (!session) throw std::runtime_error("there is no URL session to download with");

    const std::uint64_t run = run_;
    // The body is written straight to a file of the cache's staging folder, which the check
    // renames into place: no temporary file has to be moved out of the session's folder (which
    // the page can reach) first. The staging folder is one for as long as the cache lives:
    // bodies made in the application's folder, new for each application, were slow to make on
    // a file system short of reusable inodes.
    std::string staged;
    if (auto destination = VLCacheLocations::getLocalFilePath(*entry)) {
      const std::string staging = VLCacheLocations::stagingDirectory();
      if (!staging.empty()) {
        staged = staging + "/" + platform::makeUUID() + ".part";
        prepareDownloadFolders(staging, destination->substr(0, destination->rfind('/')), run);
      }
    }
    std::weak_ptr<VLCacheResources> weak = weak_from_this();
    auto operation = VLDownloadOperation::initWithSession(
        std::move(session), std::move(*address), {{"x-version-tokens", getVersionTokensAsString()}},
        [weak, entry, run, staged](const std::optional<std::string>& location,
                                   const std::optional<platform::URLResponse>& response,
                                   const std::optional<platform::Error>& error) {
          if (auto self = weak.lock())
            self->onDownloadCompleted(entry, run, staged, location, response, error);
          else if (location && !staged.empty() && *location == staged)
            ::unlink(staged.c_str());
        });
    if (!staged.empty()) operation->setDestinationFile(staged);
    downloadQueue_->addOperation(std::move(operation));
  } catch (const std::exception& exception) {
    std::string text = stringf("Failed to download resource %s: %s", url.c_str(), exception.what());
    vlcache::logError(text);
    updateResource(entry, VLCacheEntryStatusFailed);
    abortDownload(text);
  }
}

void VLCacheResources::prepareDownloadFolders(const std::string& staging,
                                              const std::string& application, std::uint64_t run) {
  if (downloadFoldersRun_ == run) return;
  for (const std::string& folder : {staging, application}) {
    if (auto error = platform::fs::createDirectory(folder, true)) {
      // The download then fails to make its file and is retried like any failed download.
      vlcache::logError("Failed to make the cache folder " + folder + ": " +
                        error->localizedDescription());
      return;
    }
  }
  downloadFoldersRun_ = run;
}

void VLCacheResources::onDownloadCompleted(const std::shared_ptr<VLCacheEntry>& entry,
                                           std::uint64_t run, const std::string& staged,
                                           const std::optional<std::string>& location,
                                           const std::optional<platform::URLResponse>& response,
                                           const std::optional<platform::Error>& error) {
  // A body the session wrote to the staging file is this frame's to commit or remove.
  const bool ownsStagedFile = location && !staged.empty() && *location == staged;
  if (run != run_) {
    if (ownsStagedFile) ::unlink(staged.c_str());
    return;
  }
  const std::string url = entry->url();
  if (error && error->code == platform::urlerror::kCancelled) {
    vlcache::logDebug("Canceled download for resource " + url);
    entry->setStatus(VLCacheEntryStatusToFetch);
    return;
  }
  if (error || !response || response->statusCode() != 200 || !location) {
    if (ownsStagedFile) ::unlink(staged.c_str());
    // The staging folder may have gone since it was made: the retry makes it again.
    if (error && error->code == platform::urlerror::kCannotCreateFile) downloadFoldersRun_ = 0;
    std::string reason = error      ? error->localizedDescription()
                         : response ? stringf("HTTP status %d", response->statusCode())
                                    : std::string("no response");
    resourceDownloadFailed(entry, reason);
    return;
  }
  std::string committing = staged;
  if (!ownsStagedFile) {
    if (auto failure = stageDownloadedFile(*entry, *location, committing))
      return onStagedFileChecked(entry, run, failure, std::nullopt);
  }
  // Checking the file (its hash) and renaming it into place is left to another thread, so
  // the session's thread goes back to its transfers at once.
  std::weak_ptr<VLCacheResources> weak = weak_from_this();
  auto contentType = response->valueForHTTPHeaderField("Content-Type");
  // One queue for the checks of every frame keeps them off the global queue, where the
  // downloads' own operations start. Never destroyed: a session's thread may still hand it a
  // check while static objects are torn down at exit.
  static const auto& checks =
      *new std::shared_ptr<platform::DispatchQueue>(platform::DispatchQueue::makeSerial("com.veltro.cache.filecheck"));
  checks->async([weak, entry, run, committing, contentType] {
    auto failure = commitStagedFile(*entry, committing);
    if (auto self = weak.lock()) self->onStagedFileChecked(entry, run, failure, contentType);
  });
}

void VLCacheResources::onStagedFileChecked(const std::shared_ptr<VLCacheEntry>& entry,
                                           std::uint64_t run,
                                           const std::optional<std::string>& failure,
                                           const std::optional<std::string>& contentType) {
  if (run != run_) return;
  const std::string url = entry->url();
  if (failure) {
    vlcache::logError(
        stringf("Failed to store downloaded resource %s: %s", url.c_str(), failure->c_str()));
    resourceDownloadFailed(entry, *failure);
    return;
  }
  processContentType(contentType, *entry);
  vlcache::logDebug("Downloaded resource " + url);
  // The check has just renamed the file into place.
  updateResource(entry, VLCacheEntryStatusAvailable, /*fileJustPutInPlace=*/true);
}

double VLCacheResources::retryDelay(std::int64_t retry) {
  double delay = kFirstRetryDelaySeconds;
  for (std::int64_t i = 1; i < retry && delay < kLongestRetryDelaySeconds; ++i) delay *= 2;
  return std::min(delay, kLongestRetryDelaySeconds);
}

std::int64_t VLCacheResources::takeRetry(const std::string& url) {
  std::lock_guard lock(retryMutex_);
  if (numberOfRetries_ > maxNumberOfRetries_) return 0;
  ++numberOfRetries_;
  return ++retriesOfResource_[url];
}

void VLCacheResources::resourceDownloadFailed(const std::shared_ptr<VLCacheEntry>& entry,
                                              const std::string& error) {
  const std::string url = entry->url();
  const std::string message =
      stringf("Failed to download resource %s with error: %s", url.c_str(), error.c_str());
  vlcache::logDebug(message);
  // A frame that has ended (aborted, or counted out) fetches nothing more.
  if (status_ != VLCacheFrameStatusIncomplete) {
    if (const std::int64_t retry = takeRetry(url)) {
      const double delay = retryDelay(retry);
      vlcache::logDebug("Retrying resource " + url);
      vlcache::logDebug(stringf("Next attempt for %s in %.1f s", url.c_str(), delay));
      // A server that fails at once must not be asked again at once. The retry belongs to this
      // run: an abort, a cancellation or a new start in the meantime drops it (a new start
      // fetches the entry itself).
      const std::uint64_t run = run_, cancellations = cancellations_;
      std::weak_ptr<VLCacheResources> weak = weak_from_this();
      VLCacheClock::shared()->after(delay, [weak, entry, run, cancellations] {
        auto self = weak.lock();
        if (!self || run != self->run_ || cancellations != self->cancellations_ ||
            self->status_ != VLCacheFrameStatusDownloading)
          return;
        self->downloadResourceAsync(entry);
      });
      return;
    }
  }
  abortDownload(message);
  updateResource(entry, VLCacheEntryStatusFailed);
}

void VLCacheResources::incrementNumberOfRetries() {
  std::lock_guard lock(retryMutex_);
  ++numberOfRetries_;
}

std::int64_t VLCacheResources::numberOfRetries() const {
  std::lock_guard lock(retryMutex_);
  return numberOfRetries_;
}

// ---- Reports and the persisted form ----

std::string VLCacheResources::getVersionTokensAsString() const {
  return stringf("b-download: %s ,b-creation: %s ,t-version: %s",
                 orNA(versionTokenBeforeDownloading()), orNA(versionTokenBeforeCreation()),
                 orNA(versionToken_));
}

platform::Value VLCacheResources::jsonDictionary() const {
  platform::Value out = platform::Value::object();
  if (!application_.empty()) out["application"] = application_;
  if (!hostname_.empty()) out["hostname"] = hostname_;
  if (!versionToken_.empty()) out["versionToken"] = versionToken_;
  if (status_ != VLCacheFrameStatusCreated) out["status"] = status_.load();
  if (preBundle_) out["preBundle"] = true;
  if (frameToDelete_) out["frameToDelete"] = true;
  platform::Value mappings = platform::Value::object();
  platform::Value mappingsNoCache = platform::Value::object();
  platform::Value resources = platform::Value::array();
  for (const auto& [key, entry] : cacheEntries()) {
    if (entry->resourceMapping() && entry->noCache())
      mappingsNoCache[key] = entry->url();
    else if (entry->resourceMapping())
      mappings[key] = entry->url();
    else
      resources.push_back(entry->url());
  }
  out["urlMappings"] = std::move(mappings);
  out["urlMappingsNoCache"] = std::move(mappingsNoCache);
  out["resources"] = std::move(resources);
  return out;
}

std::shared_ptr<platform::URLSession> VLCacheResources::downloadSession() const {
  return sessionGetter_ ? sessionGetter_() : nullptr;
}

// ---- Plain accessors under their guards ----

bool VLCacheResources::allResourcesDownloaded() const {
  std::lock_guard lock(progressMutex_);
  return allResourcesDownloaded_;
}
std::int64_t VLCacheResources::maxNumberOfRetries() const {
  std::lock_guard lock(retryMutex_);
  return maxNumberOfRetries_;
}
void VLCacheResources::setMaxNumberOfRetries(std::int64_t budget) {
  std::lock_guard lock(retryMutex_);
  maxNumberOfRetries_ = budget;
}
std::string VLCacheResources::versionTokenBeforeCreation() const {
  std::lock_guard lock(stateMutex_);
  return versionTokenBeforeCreation_;
}
void VLCacheResources::setVersionTokenBeforeCreation(std::string token) {
  std::lock_guard lock(stateMutex_);
  versionTokenBeforeCreation_ = std::move(token);
}
std::string VLCacheResources::versionTokenBeforeDownloading() const {
  std::lock_guard lock(stateMutex_);
  return versionTokenBeforeDownloading_;
}
void VLCacheResources::setVersionTokenBeforeDownloading(std::string token) {
  std::lock_guard lock(stateMutex_);
  versionTokenBeforeDownloading_ = std::move(token);
}
std::int64_t VLCacheResources::initialResourcesCount() const {
  std::lock_guard lock(progressMutex_);
  return initialResourcesCount_;
}
std::int64_t VLCacheResources::processedResourcesCount() const {
  std::lock_guard lock(progressMutex_);
  return processedResourcesCount_;
}
std::int64_t VLCacheResources::totalResourcesCount() const {
  std::lock_guard lock(progressMutex_);
  return totalResourcesCount_;
}

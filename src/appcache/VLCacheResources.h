#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "appcache/VLCacheEntry.h"
#include "platform/foundation/OperationQueue.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLSession.h"

// Frame status.
enum VLCacheFrameStatus : std::int64_t {
  VLCacheFrameStatusCreated = 0,
  VLCacheFrameStatusDownloading = 1,
  VLCacheFrameStatusComplete = 2,
  VLCacheFrameStatusIncomplete = 3,
  VLCacheFrameStatusUpgraded = 4,
};

// A cache frame: the resources of one version of one web application, keyed by their
// server-relative URL (usually with the file's content hash as query), and the machinery that
// fetches their files: an operation queue of downloads over the engine's URL session, the
// progress counters, a retry budget shared by the whole frame, and the frame's status.
//
// Entries are shared: a URL the application's pool already holds is taken over as the same
// object, so a file that did not change between versions is not fetched again.
//
// Threads: the frame is built and started on the caller's thread; download completions
// arrive on the session's delegate queue. The entry table, the counters, the retry counter,
// the callbacks and the status each have their guard; the callbacks are called without any
// of the frame's locks held except the progress lock, which keeps progress reports and the
// final report in order (a callback may call back into the frame).
class VLCacheResources : public std::enable_shared_from_this<VLCacheResources> {
 public:
  using SessionGetter = std::function<std::shared_ptr<platform::URLSession>()>;
  using ProgressHandler =
      std::function<void(std::int64_t initial, std::int64_t processed, std::int64_t total)>;
  using ErrorHandler = std::function<void(const std::string& message)>;
  using FinishHandler = std::function<void(bool allResourcesDownloaded)>;
  using Entries = std::map<std::string, std::shared_ptr<VLCacheEntry>>;

  // The most downloads a frame has under way at once, whatever the session allows.
  static constexpr int kMaximumConcurrentDownloads = 64;
  // A failed resource is tried again after a delay that doubles with each of its retries, from
  // the first delay up to the longest (VLCacheClock keeps the time).
  static constexpr double kFirstRetryDelaySeconds = 0.5;
  static constexpr double kLongestRetryDelaySeconds = 30;
  // The delay before the `retry`-th retry (from 1) of one resource.
  static double retryDelay(std::int64_t retry);

  static std::shared_ptr<VLCacheResources> initForHostname(
      std::string hostname, std::string application, std::string versionToken, bool preBundle,
      SessionGetter sessionGetter, ProgressHandler onProgress = {}, ErrorHandler onError = {},
      FinishHandler onFinish = {});
  static std::shared_ptr<VLCacheResources> initForHostname(std::string hostname,
                                                           std::string application,
                                                           std::string versionToken, bool preBundle,
                                                           std::int64_t status,
                                                           SessionGetter sessionGetter);
  // A stored frame (its "cachedFrames" dictionary) without entries; keys of the wrong type are
  // skipped with a log line.
  static std::shared_ptr<VLCacheResources> initWithDictionary(const platform::Value& dictionary,
                                                              SessionGetter sessionGetter);
  ~VLCacheResources();

  // Fills the frame in three passes: the resource list (an array of URL strings), the URL
  // mappings and the no-cache mappings (objects of source URL to target URL). Each may be
  // null. A URL that is not a server path ("/" followed by a path, see isAcceptableResourceURL)
  // and a value that is not a string are refused with a log line.
  void populateCacheEntriesForResourcePool(const Entries& pool, const Entries* prebundleEntries,
                                           const platform::Value& resourceList,
                                           const platform::Value& urlMaps,
                                           const platform::Value& urlMapsNoCache);
  void setOnProgressHandler(ProgressHandler onProgress, ErrorHandler onError,
                            FinishHandler onFinish);

  // Starts or restarts fetching every entry that is not available.
  void startDownload();
  void cancelDownload();
  // Stops the frame with a failure, once: a frame already complete or incomplete ignores it.
  void abortDownload(const std::string& reason);

  // An empty URL is refused with a log line.
  void addResource(std::shared_ptr<VLCacheEntry> entry, const std::string& url);
  std::shared_ptr<VLCacheEntry> getResourceForUrl(const std::string& url) const;
  Entries cacheEntries() const;

  // Records the entry's new status and reports it. An entry made available is reported as
  // failed when its file is not in the cache, unless the caller has just put it there.
  void updateResource(const std::shared_ptr<VLCacheEntry>& entry, std::int64_t status,
                      bool fileJustPutInPlace = false);
  void updateProgress(std::int64_t status);

  // The cache file name "<application key>/<hash of the URL>", or for the package the URL's
  // path with its first segment replaced by "/www/". None when the URL gives no name.
  std::optional<std::string> getFileNameForURL(const std::string& url, bool forPrebundle) const;
  void copyPreBundleResource(const std::shared_ptr<VLCacheEntry>& entry);
  // Copies a package file next to its destination, then renames it over whatever is there, so
  // a reader never sees half a file. The copy holds the file's content, never a link: the
  // package file is opened through platform::package, so a link that leads out of the package
  // is refused. Answers the reason when it fails.
  static std::optional<std::string> copyFileIntoPlace(const std::string& source,
                                                      const std::string& destination);
  bool checkResourceExitsAtCache(const VLCacheEntry& entry) const;
  bool fileExistsAtPreBundled(const VLCacheEntry& entry) const;
  bool fileExistsAtCacheDirectory(const VLCacheEntry& entry) const;

  void downloadResourceAsync(const std::shared_ptr<VLCacheEntry>& entry);
  void resourceDownloadFailed(const std::shared_ptr<VLCacheEntry>& entry, const std::string& error);
  void incrementNumberOfRetries();
  std::int64_t numberOfRetries() const;

  // The "x-version-tokens" header value.
  std::string getVersionTokensAsString() const;
  platform::Value jsonDictionary() const;
  std::shared_ptr<platform::URLSession> downloadSession() const;

  bool preBundle() const { return preBundle_; }
  const std::string& hostname() const { return hostname_; }
  const std::string& application() const { return application_; }
  const std::string& versionToken() const { return versionToken_; }
  std::int64_t status() const { return status_; }
  void setStatus(std::int64_t status) { status_ = status; }
  bool frameToDelete() const { return frameToDelete_; }
  void setFrameToDelete(bool value) { frameToDelete_ = value; }
  bool allResourcesDownloaded() const;
  std::int64_t maxNumberOfRetries() const;
  void setMaxNumberOfRetries(std::int64_t budget);
  std::string versionTokenBeforeCreation() const;
  void setVersionTokenBeforeCreation(std::string token);
  std::string versionTokenBeforeDownloading() const;
  void setVersionTokenBeforeDownloading(std::string token);
  std::int64_t initialResourcesCount() const;
  std::int64_t processedResourcesCount() const;
  std::int64_t totalResourcesCount() const;
  const std::shared_ptr<platform::OperationQueue>& downloadQueue() const { return downloadQueue_; }

  // ---- Work on one entry, outside any frame ----

  // Sets the entry's MIME type and encoding from a Content-Type header value.
  static void processContentType(const std::optional<std::string>& contentType,
                                 VLCacheEntry& entry);
  // One download of one entry on the given session; returns once the task has started and
  // reports success through the callback (on the session's delegate queue).
  static void downloadResourceSync(const std::shared_ptr<VLCacheEntry>& entry,
                                   const platform::URLRequest& request,
                                   const std::shared_ptr<platform::URLSession>& session,
                                   std::function<void(bool success)> completionHandler);
  // Throws a VLException named "InvalidResourceException" when the file is missing, empty or
  // does not match the hash its URL carries.
  static void validateDownloadedResource(const VLCacheEntry& entry, const std::string& filePath);
  static bool canFileBeVerifiedByVersionToken(std::string_view url);
  static bool isResourceFileCorrupted(const VLCacheEntry& entry, const std::string& filePath);
  // The same with the file's hash already calculated (`calculated`, "" when it has none).
  static bool isResourceFileCorrupted(const VLCacheEntry& entry, const std::string& filePath,
                                      const std::string& calculated);
  static bool resourceContent(const std::string& filePath, const std::string& versionToken);
  // A URL the cache may fetch from its host: "/" followed by a path whose first character is
  // not "/" (so "https://" + host + url cannot name another host), with no control character,
  // no encoded slash or backslash, and no "." or ".." segment, encoded or not.
  static bool isAcceptableResourceURL(std::string_view url);
  // Puts a downloaded file in place for the entry: it is checked where it lies and only then
  // renamed over the entry's file, so a file that fails is never served and a good one never
  // leaves a moment without a file. Answers the reason when it is not stored.
  static std::optional<std::string> storeDownloadedFile(const VLCacheEntry& entry,
                                                        const std::string& location);

 private:
  VLCacheResources(std::string hostname, std::string application, std::string versionToken,
                   bool preBundle, SessionGetter sessionGetter);
  void initDownloadQueueForVersion(const std::string& versionToken);
  // The two halves of storeDownloadedFile. Staging moves the session's temporary file next to
  // the entry's file (it must happen before the session's completion returns); committing
  // checks the staged file and renames it into place, or removes it.
  static std::optional<std::string> stageDownloadedFile(const VLCacheEntry& entry,
                                                        const std::string& location,
                                                        std::string& staged);
  static std::optional<std::string> commitStagedFile(const VLCacheEntry& entry,
                                                     const std::string& staged);
  // Makes the staging folder and the application's folder once per run: the session writes
  // each body straight into the one and cannot make folders, the check renames it into the
  // other.
  void prepareDownloadFolders(const std::string& staging, const std::string& application,
                              std::uint64_t run);
  void onStagedFileChecked(const std::shared_ptr<VLCacheEntry>& entry, std::uint64_t run,
                           const std::optional<std::string>& failure,
                           const std::optional<std::string>& contentType);
  // Takes one retry from the budget when there is one left; answers how many retries the
  // resource has had with this one, or 0 when none is left.
  std::int64_t takeRetry(const std::string& url);
  // `staged` is the file the body was to be written to ("" when the session chose one).
  void onDownloadCompleted(const std::shared_ptr<VLCacheEntry>& entry, std::uint64_t run,
                           const std::string& staged, const std::optional<std::string>& location,
                           const std::optional<platform::URLResponse>& response,
                           const std::optional<platform::Error>& error);
  std::shared_ptr<VLCacheEntry> makeMappingEntry(const std::string& target, bool noCache,
                                                 const Entries& pool,
                                                 const char* inconsistencyMessage);

  const std::string hostname_;
  const std::string application_;
  const std::string versionToken_;
  const bool preBundle_;
  const SessionGetter sessionGetter_;
  // "https://<hostname>/", parsed once: every download's address must keep its host and port.
  const std::optional<platform::URL> origin_;
  std::shared_ptr<platform::OperationQueue> downloadQueue_;

  std::atomic<std::int64_t> status_{VLCacheFrameStatusCreated};
  std::atomic<bool> frameToDelete_{false};

  // Entry lock: the entry table.
  mutable std::mutex entriesMutex_;
  Entries cacheEntries_;

  // Progress lock: the counters, and the reports made from them.
  mutable std::recursive_mutex progressMutex_;
  std::int64_t initialResourcesCount_ = 0;
  std::int64_t processedResourcesCount_ = 0;
  std::int64_t totalResourcesCount_ = 0;
  // Listed URLs that were refused; a list of nothing else cannot complete.
  std::int64_t refusedResourcesCount_ = 0;
  bool allResourcesDownloaded_ = false;

  // Retry lock.
  mutable std::mutex retryMutex_;
  std::int64_t numberOfRetries_ = 0;
  std::int64_t maxNumberOfRetries_ = 0;
  // Retries of each resource in this run, which set its next delay.
  std::map<std::string, std::int64_t> retriesOfResource_;

  // Frame lock: the status changes that end a run, and whether this run has been reported.
  mutable std::mutex frameMutex_;
  bool finishReported_ = false;
  // Each start is a new run; completions of downloads of an earlier run are dropped, so a
  // late cancellation cannot undo what the new run did.
  std::atomic<std::uint64_t> run_{0};
  // Counts cancellations: a retry waiting for its time is dropped by one.
  std::atomic<std::uint64_t> cancellations_{0};
  // The run whose download folders are known to exist (0: none yet, or to be made again).
  std::atomic<std::uint64_t> downloadFoldersRun_{0};

  // Callbacks and version tokens, replaced from other threads while downloads run.
  mutable std::mutex stateMutex_;
  ProgressHandler onProgress_;
  ErrorHandler onError_;
  FinishHandler onFinish_;
  std::string versionTokenBeforeCreation_ = "n/a";
  std::string versionTokenBeforeDownloading_ = "n/a";
};

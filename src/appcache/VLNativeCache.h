#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "appcache/VLApplicationCache.h"
#include "appcache/VLCacheResources.h"
#include "appcache/VLThreadSafeDictionaryWrapper.h"
#include "appcache/VLWebResponse.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLSession.h"
#include "shell/VLException.h"

// Cache status, as the listener sees it.
enum VLCacheStatus : std::int64_t {
  VLCacheStatusNoApplication = 0,
  VLCacheStatusIdle = 1,
  VLCacheStatusDownloading = 3,
  VLCacheStatusDownloaded = 4,
};

// What the engine tells its listener (the cache plugin). Calls come from the caller's thread
// or a download thread.
class VLCacheListenerDelegate {
 public:
  virtual ~VLCacheListenerDelegate() = default;
  virtual void fireOnProgressEvent(std::int64_t processed, std::int64_t total) = 0;
  virtual void fireOnErrorEvent(const std::string& message) = 0;
  virtual void fireOnFinishEvent() = 0;
  virtual void updateStatus(std::int64_t status) = 0;
  virtual void throwException(const std::string& message) = 0;
};

// The offline cache of the web application: one application cache per application key, the
// current application, the download of a new version as a frame, the swap when it completes,
// checkpoints while it runs, clean-up, and the cache manifest file that persists all of it.
//
// Threads: actions arrive on the plugin bridge's background thread, frame reports on download
// threads and heals on serving threads. The engine's fields share one lock that is never held
// while the listener, a frame or an application cache is called. Every write of the manifest
// file and of its stored hash goes through one writer lock, so a file and its hash always
// belong together.
//
// The manifest's hash is stored before the file is replaced, with the hash it replaces kept
// beside it: a crash at any point leaves a file whose hash is one of the two, so the next
// launch still loads it.
class VLNativeCache : public std::enable_shared_from_this<VLNativeCache> {
 public:
  static constexpr const char* kManifestFileName = "VLCacheManifest.plist";
  static constexpr const char* kManifestFormat = "2.0.0";
  static constexpr const char* kFileCreatedKey = "VLCacheManifestFileCreated";
  static constexpr const char* kFileHashKey = "VLCacheManifestFileHash";
  static constexpr const char* kPreviousFileHashKey = "VLCacheManifestFileHashPrevious";

  // Made on the first call; later calls return it and ignore their arguments.
  static std::shared_ptr<VLNativeCache> sharedInstanceWithFirstRun(bool firstRun,
                                                                   double connectTimeout,
                                                                   double readTimeout);
  // Throws a VLException named "VLInvalidNativeCacheState" before the engine was made. Code
  // running inside a main-loop or session callback must use sharedInstanceIfMade instead.
  static std::shared_ptr<VLNativeCache> sharedInstance();
  static std::shared_ptr<VLNativeCache> sharedInstanceIfMade() noexcept;
  static void resetSharedInstance();
  static std::string keyForHostname(std::string_view hostname, std::string_view application);

  // Reads the manifest file and clears what no version needs any more.
  static std::shared_ptr<VLNativeCache> make(bool firstRun, double connectTimeout,
                                             double readTimeout);
  ~VLNativeCache();

  void setCurrentApplication(const std::string& hostname, const std::string& application);
  // Lists and maps are values from the page: anything of the wrong shape is refused by the
  // frame, with a log line.
  void startCaching(const std::string& hostname, const std::string& application,
                    const std::string& version, const platform::Value& resourceList,
                    const platform::Value& urlMaps, const platform::Value& urlMapsNoCache,
                    const platform::Value& options);
  void switchToVersion(const std::string& hostname, const std::string& application,
                       const std::string& version);
  // Gives the current application a package frame of `versionToken` (the packaged copy of the
  // web application, never downloaded and never persisted) and makes the cache idle. A listed
  // URL without a leading "/" is taken relative to the application's folder.
  void bootstrapCache(const std::string& versionToken, const platform::Value& resourceList,
                      const platform::Value& urlMaps, const platform::Value& urlMapsNoCache);
  bool swapCache();
  // A document starts loading in the web view (a navigation or a reload): it is served from
  // the running version, and keeps being served from that version when a newer one is swapped
  // in while it is shown, until the next document.
  void pageWillLoad();
  // A navigation of the top frame to `url` started: that document is the running version's
  // even before it is committed (the page shown keeps its own until then).
  void documentWillLoad(const platform::URL& url);
  void createCheckPointForApplicationCache(const std::shared_ptr<VLApplicationCache>& cache);
  void upgradeCacheIfNeeded();
  void clearUnusedContent();
  void markForDeletion();
  void changeCacheStatus(std::int64_t status);
  VLCacheResources::SessionGetter getDownloadSessionBlock();
  std::string getRunningVersionToken() const;

  // ---- The cache manifest file ----
  static std::string manifestFilePath();
  bool manifestFileExists() const;
  bool readCacheManifest();
  bool isCacheManifestFileCorrupted(const std::string& path) const;
  platform::Value createCacheManifest() const;
  // Throws a VLException named "FileNotWriteException" when the file cannot be written.
  void writeCacheManifest();
  void writeCacheManifestHash(const std::string& hash);

  // ---- Fields ----
  // The manifest writes report "manifest-hash" and then "manifest-file" to
  // VLCacheLocations::fileOperationDone.
  void setDelegate(std::shared_ptr<VLCacheListenerDelegate> delegate);
  std::shared_ptr<VLCacheListenerDelegate> delegate() const;
  std::int64_t currentStatus() const;
  // The plain setter: no status event.
  void setCurrentStatus(std::int64_t status);
  std::optional<std::string> currentApplication() const;
  std::shared_ptr<VLApplicationCache> applicationCache(const std::string& key) const;
  std::shared_ptr<VLCacheResources> ongoingCacheResources() const;
  std::shared_ptr<platform::URLSession> downloadSession();
  bool cacheUpgrade() const;
  bool firstRun() const { return firstRun_; }
  std::int64_t maxNumberOfRetries() const;

  // ---- Serving the web view's requests (VLNativeCacheServing.cpp) ----
  //
  // Called on the loader's threads. A cached file that has gone missing is healed before it is
  // served: copied again from the package, else downloaded again into the cache folder (never
  // into the package). Requests that heal the same entry share one heal.
  using ResourceHandler = std::function<void(std::optional<VLWebResponse>)>;

  // The key under which the application cache finds the URL's entry: the decoded path without
  // its trailing slash, with "?<query>" unless the query holds "=" after its first character,
  // and a "/" appended when the URL ends with one. None for a path that could lead outside
  // the package or the cache.
  static std::optional<std::string> resourceKeyForURL(const platform::URL& url);
  // Whether the URL is on the application's host and port (the port of its scheme when it
  // names none).
  static bool isApplicationURL(const platform::URL& url, const VLApplicationCache& cache);
  // Only URLs of the current application's own host and port are the cache's: the same path on
  // another host is that host's.
  bool interceptRequest(const platform::URL& url) const;
  // What a lookup of a URL found: the URL's absolute string, the application cache, the key
  // and the entry, and the lookup generation (vlcache::lookupGeneration) it was made in.
  struct Lookup {
    std::string url;
    std::shared_ptr<VLApplicationCache> cache;
    std::string key;
    std::shared_ptr<VLCacheEntry> entry;
    std::uint64_t generation = 0;
  };
  // The lookup behind interceptRequest: the entry it finds for the URL, or none.
  std::optional<Lookup> lookUp(const platform::URL& url) const;
  // The handler is called exactly once: at once, or later on a URL session's thread. A URL
  // that interceptRequest does not take gets none.
  void getResourceFromCache(const platform::URLRequest& request, ResourceHandler completionHandler);
  // The same, serving the entry `lookup` found for the request's URL when nothing that decides
  // lookups has changed since; otherwise, or for another URL, the request is looked up again.
  void getResourceFromCache(const platform::URLRequest& request, Lookup lookup,
                            ResourceHandler completionHandler);
  std::shared_ptr<VLCacheEntry> getCacheEntry(const std::string& key) const;
  // A copy marked as handled (the loader must not take it again) with "x-version-tokens"
  // added to any value it has.
  platform::URLRequest cloneRequestWithDefaultHeaders(const platform::URLRequest& request) const;
  void healingEntry(const std::string& key);
  // Writes the manifest file only when the model changed since the stored hash. A failed
  // write is logged; the heal stays in memory until the next write.
  void serializeCacheHealed();
  std::shared_ptr<VLCacheEntry> preBundleResource(const VLCacheEntry& entry,
                                                  const VLApplicationCache& cache) const;
  // True when the package's file of the entry's URL (found from the URL, as the package frame
  // names its files) was copied into the entry's cache file.
  bool copyResourceFromPreBundle(const std::shared_ptr<VLCacheEntry>& entry,
                                 const VLApplicationCache& cache);
  static bool isNetworkAvailable();

 private:
  VLNativeCache(bool firstRun, double connectTimeout, double readTimeout);
  void start();
  std::shared_ptr<VLApplicationCache> applicationCacheCreatingIfMissing(
      const std::string& hostname, const std::string& application, const std::string& key);
  bool createCacheDirectoryForApplication(const std::string& key);
  void applyOptions(const platform::Value& options);
  std::optional<platform::URLSessionConfiguration> createSessionConfigurationWithOptions(
      const platform::Value& options, const std::shared_ptr<platform::URLSession>& current) const;
  std::shared_ptr<VLApplicationCache> currentApplicationCache() const;
  // The current application's cache when the URL is one of its own.
  std::shared_ptr<VLApplicationCache> applicationCacheForURL(const platform::URL& url) const;
  void healingEntry(const std::string& key, VLApplicationCache& cache);
  // The files in application folders that no entry names: left by a crash between storing a
  // downloaded file and the checkpoint that would have recorded it.
  void removeOrphanedFiles();
  // Empties the staging folder of the downloads a stopped shell left unfinished.
  void removeStagedFiles();

  // Serves `lookup`, or what a lookup of the request's URL finds when none is given; a URL
  // the cache does not hold, or serving that throws, answers nothing found.
  void serveLookup(const platform::URLRequest& request, std::optional<Lookup> lookup, const ResourceHandler& handler);
  void serveEntry(const std::string& key, const std::shared_ptr<VLCacheEntry>& entry,
                  const std::shared_ptr<VLApplicationCache>& cache,
                  const platform::URLRequest& original, const ResourceHandler& handler);
  void serveWithoutCaching(const std::shared_ptr<VLCacheEntry>& entry,
                           const platform::URLRequest& request, const ResourceHandler& handler);
  // Runs `heal` for the entry unless one runs already; `answer` is called when it is over.
  void joinHeal(const std::shared_ptr<VLCacheEntry>& entry,
                const std::function<void(std::function<void()> done)>& heal,
                std::function<void()> answer);
  void healFromPackageOrNetwork(const std::string& key, const std::shared_ptr<VLCacheEntry>& entry,
                                const std::shared_ptr<VLApplicationCache>& cache,
                                const platform::URLRequest& request, std::function<void()> done);
  void downloadAgain(const std::string& key, const std::shared_ptr<VLCacheEntry>& entry,
                     const std::shared_ptr<VLApplicationCache>& cache,
                     const platform::URLRequest& request, std::function<void()> done);

  void onProgress(const std::string& key, std::int64_t initial, std::int64_t processed,
                  std::int64_t total);
  void onError(const std::string& key, const std::string& message);
  void onFinish(const std::string& operationId, const std::string& version, bool all);

  const bool firstRun_;
  const double timeoutIntervalForRequest_;
  const double timeoutIntervalForResource_;
  VLThreadSafeDictionaryWrapper<VLApplicationCache> applicationEntries_;

  mutable std::mutex mutex_;
  std::shared_ptr<VLCacheListenerDelegate> delegate_;
  std::int64_t currentStatus_ = VLCacheStatusNoApplication;
  std::optional<std::string> currentApplication_;
  std::shared_ptr<VLCacheResources> ongoingCacheResources_;
  std::shared_ptr<platform::URLSession> downloadSession_;
  std::int64_t maxNumberOfRetries_ = -1;
  bool cacheUpgrade_ = false;
  // The ongoing download's last checkpoint (or start): finished resources and clock time.
  std::int64_t checkpointProcessed_ = 0;
  double checkpointTime_ = 0;
  // A page has been shown since this engine was made: swaps keep its version for it.
  bool pageShown_ = false;

  // Writer lock: the manifest file and the stored hashes.
  mutable std::mutex manifestMutex_;
  // The hash of the manifest file on disk, as far as this engine knows (written or loaded).
  std::string diskHash_;

  // Heals under way, by entry, with the answers waiting for each.
  std::mutex healsMutex_;
  std::map<const VLCacheEntry*, std::vector<std::function<void()>>> heals_;
};

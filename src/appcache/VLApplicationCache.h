#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "appcache/VLCacheEntry.h"
#include "appcache/VLCacheResources.h"
#include "platform/foundation/Value.h"

// The cache of one web application (a host name and an application path): the pool of every
// entry some frame has completed, the frames (one per version token, the package frame
// included) and three references into them: the running frame that serves the web view, the
// previous running frame (kept from a swap until the engine has made it durable) and the
// package frame.
//
// Threads: the engine calls in from its own operations, from the frames' download threads
// (checkpoints, swaps) and from serving threads (heals), so the pool, the frame list and the
// references share one lock. The lock is recursive and is held while the frames are asked for
// their entries; nothing here calls back into the engine.
class VLApplicationCache {
 public:
  using Frame = std::shared_ptr<VLCacheResources>;
  using Entries = VLCacheResources::Entries;
  using SessionGetter = VLCacheResources::SessionGetter;

  static std::shared_ptr<VLApplicationCache> initForHostname(std::string hostname,
                                                             std::string application,
                                                             SessionGetter sessionGetter,
                                                             std::string cacheApplicationKey);
  // Rebuilds an application from its stored dictionary. With `upgrade` the stored entries came
  // from an older manifest format: they become the running frame, at the upgraded status,
  // until upgradeIfNeeded has seen the package. Values of the wrong type are skipped with a log
  // line.
  static std::shared_ptr<VLApplicationCache> initWithDictionary(const platform::Value& dictionary,
                                                                bool upgrade,
                                                                SessionGetter sessionGetter);
  platform::Value createCacheManifest() const;

  Frame upgradeCacheEntriesForVersion(const std::string& versionToken, const Entries& entries);
  // Runs only while the running frame is at the upgraded status: package entries are copied
  // from the package when it still has them, else left to be fetched when first served.
  void upgradeIfNeeded();

  // Adding a frame also takes over the pool's entries it shares: they carry its version and
  // lose a deletion mark an older frame's removal gave them.
  void addCacheFrame(const Frame& frame);
  void addPreBundleFrame(const Frame& frame);
  Frame getCacheFrameForVersion(const std::string& versionToken) const;
  Frame getCurrentRunningFrame() const;
  Frame getPreBundleFrame() const;
  Frame getPreviousFrame() const;
  std::optional<std::string> getCurrentCacheVersion() const;
  std::vector<Frame> cacheFrames() const;

  // The page's version: while one is kept, lookups start from it instead of the running
  // frame, so a page goes on getting the files of the version its document came from after a
  // newer one was swapped in. keepPageVersion keeps the running frame (the package frame when
  // none runs yet) unless one is kept already; releasePageVersion (when the next document has
  // been committed) lets the page get the running one. Until then, the document being loaded
  // (setNextDocument, its resource key) is the running frame's already, while every other
  // file still comes from the page's version: a navigation that never commits changes
  // nothing of the page shown. Held in memory only.
  void keepPageVersion();
  void releasePageVersion();
  void setNextDocument(std::optional<std::string> key);
  Frame getPageVersion() const;

  // The page's version (else the running frame), then pool, then package frame.
  std::shared_ptr<VLCacheEntry> getCacheEntryForURL(const std::string& url) const;
  void healingCacheEntry(const std::string& url);
  void addCacheEntry(const std::shared_ptr<VLCacheEntry>& entry, const std::string& url);
  std::shared_ptr<VLCacheEntry> resourceExistsAtPrebundle(const std::string& url) const;

  // Merges the frame's finished entries into the pool and, when the frame is complete, makes
  // it the running frame (the old one becomes the previous frame).
  bool swapCache(const Frame& frame);
  void rollbackToPreviousVersion();
  void clearPreviousVersion();
  // Marks every frame other than the running one, and the entries only it used. Spared are
  // `ongoing` (the one frame really downloading) and unfinished frames newer than the running
  // one (waiting to be resumed). A frame restored from a download that was interrupted is
  // unfinished, whatever status it was stored with.
  void markForDeletion(const Frame& ongoing = nullptr);
  std::vector<std::shared_ptr<VLCacheEntry>> gatherResourcesToDelete();

  // Entries restored from a manifest nobody vouched for: a file name that is absolute, or not
  // inside the package or this application's own cache folder, is dropped (the entry will be
  // fetched again). Answers how many were dropped.
  size_t dropUntrustedFileNames();

  bool isEmpty() const;
  Entries getCacheEntries() const;
  const std::string& hostname() const { return hostname_; }
  const std::string& application() const { return application_; }
  const std::string& cacheApplicationKey() const { return cacheApplicationKey_; }

 private:
  VLApplicationCache(std::string hostname, std::string application, SessionGetter sessionGetter,
                     std::string cacheApplicationKey);
  std::string runningTokenOrNA() const;

  std::string hostname_;
  std::string application_;
  std::string cacheApplicationKey_;
  SessionGetter sessionGetter_;

  mutable std::recursive_mutex mutex_;
  Frame runningVersion_;
  Frame previousVersion_;
  Frame prebundleVersion_;
  Frame pageVersion_;
  bool pageVersionKept_ = false;
  std::optional<std::string> nextDocument_;
  Entries cacheEntries_;
  std::vector<Frame> cacheFrames_;
};

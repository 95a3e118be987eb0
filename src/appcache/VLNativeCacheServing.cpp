// Serving the web view's requests from the cache, and healing what has gone missing on disk.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <exception>
#include <new>

#include "appcache/VLCacheLocations.h"
#include "appcache/VLCacheLog.h"
#include "appcache/VLFileChecksum.h"
#include "appcache/VLLookupGeneration.h"
#include "appcache/VLNativeCache.h"
#include "appcache/VLResourcePath.h"
#include "host/HBRReachability.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/FileManager.h"
#include "appcache/VLDownloadOperation.h"
#include "platform/foundation/JSONText.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/NoWait.h"
#include "platform/foundation/PackageFiles.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/Strings.h"
#include "platform/foundation/UserDefaults.h"

using platform::stringf;

namespace {

constexpr const char* kVersionTokensHeader = "x-version-tokens";

// The served answer: the entry's MIME type as the only header field. The body is always the
// decoded content, so no Content-Encoding is ever claimed for it.
platform::URLResponse servedHead(const platform::URL& url, int status, const VLCacheEntry& entry) {
  return platform::URLResponse::http(url, status, {{"Content-Type", entry.mimeType()}});
}

VLWebResponse servedResponse(const platform::URL& url, int status, const VLCacheEntry& entry,
                             std::string body) {
  return VLWebResponse(servedHead(url, status, entry), std::move(body));
}

VLWebResponse servedResponse(const platform::URL& url, int status, const VLCacheEntry& entry, VLBody body) {
  if (body.file) return VLWebResponse(servedHead(url, status, entry), std::move(body.file));
  return VLWebResponse(servedHead(url, status, entry), std::move(body.data));
}

// The most a thread that must not wait reads in place: a larger file would hold up the page.
constexpr std::uint64_t kReadInPlaceLimit = VLWebResponse::kWholeBodyLimit;

// The entry's file, opened for reading: the step that decides what may be read at all. A
// package entry's file is opened through platform::package, which decides on the opened
// descriptor and refuses a file that a link leads out of the package (the refusal is logged
// here, once, unless `logRefusal` is false). A cache file is the shell's own and never a link:
// one found there (an older shell's copy of a package link made it, or another program planted
// it) is not followed, reads as missing and is healed. A folder, a special file or a link to
// nothing where the file should be reads as missing too. The descriptor is opened
// non-blocking, which keeps a planted FIFO from holding the thread.
platform::fs::ReadableFile openLocalFile(const VLCacheEntry& entry, bool logRefusal) {
  bool packaged = false;
  auto path = VLCacheLocations::getLocalFilePath(entry, packaged);
  if (!path) return platform::fs::ReadableFile::failed(ENOENT);
  if (!packaged) return platform::fs::ReadableFile::open(*path, /*followFinalLink=*/false);
  platform::fs::ReadableFile file = platform::package::open(*path);
  if (!file.isOpen() && file.error() == EXDEV && logRefusal)
    platform::log("ERROR: " + platform::package::refusal(*path));
  return file;
}

// The entry's file as the body of its answer: a small file read whole, a larger one opened and
// served from its descriptor as the page consumes it (so however large the file and however
// many ask for it, only a bounded part of it is in memory for each request). A thread that
// must not wait reads only a small file the kernel holds in memory, with a lookup that stays
// inside its folder, and gives up on any other: the thread it hands the request to opens it
// as above.
std::optional<VLBody> localBody(const VLCacheEntry& entry, bool logRefusal = true) {
  if (platform::nowait::active()) {
    bool packaged = false;
    auto path = VLCacheLocations::getLocalFilePath(entry, packaged);
    std::optional<std::string> data;
    if (path)
      data = packaged ? platform::package::readFileIfCached(*path, kReadInPlaceLimit)
                      : platform::fs::readFileIfCached(*path, kReadInPlaceLimit, /*followFinalLink=*/false);
    if (!data) {
      platform::nowait::giveUp();
      return std::nullopt;
    }
    return VLBody{std::move(*data), nullptr};
  }
  return vlBodyOfFile(openLocalFile(entry, logRefusal));
}

// Calls the handler once, however many paths try.
VLNativeCache::ResourceHandler once(VLNativeCache::ResourceHandler handler) {
  auto called = std::make_shared<std::atomic<bool>>(false);
  return [handler = std::move(handler), called](std::optional<VLWebResponse> response) {
    if (!called->exchange(true) && handler) handler(std::move(response));
  };
}

}  // namespace

std::optional<std::string> VLNativeCache::resourceKeyForURL(const platform::URL& url) {
  auto decoded = vlcache::servablePath(url);
  if (!decoded) return std::nullopt;
  std::string key = std::move(*decoded);
  if (key.size() > 1 && key.back() == '/') key.pop_back();
  // A query of name=value items names a version of the same file; anything else is part of
  // the resource's name.
  if (auto query = url.query(); query && !query->empty() && query->find('=', 1) == std::string::npos)
    key += "?" + *query;
  if (key != "/" && !url.absoluteString().empty() && url.absoluteString().back() == '/') key += "/";
  return key;
}

std::shared_ptr<VLCacheEntry> VLNativeCache::getCacheEntry(const std::string& key) const {
  auto cache = currentApplicationCache();
  return cache ? cache->getCacheEntryForURL(key) : nullptr;
}

bool VLNativeCache::isApplicationURL(const platform::URL& url, const VLApplicationCache& cache) {
  // The host as the frames download from it ("https://" + hostname), against the request's
  // host and port. A request of the web view comes here rewritten to https; a port left out
  // is the scheme's own.
  if (cache.hostname().empty()) return false;
  // Every served request asks, a few times: the parsed origin of the last hostname is kept.
  struct Origin {
    std::string hostname;
    std::string host;  // empty: the hostname names no origin
    int port = 443;
  };
  thread_local Origin origin;
  thread_local bool parsed = false;
  if (!parsed || origin.hostname != cache.hostname()) {
    auto made = platform::URL::parse("https://" + cache.hostname() + "/");
    origin = Origin{cache.hostname(), made ? made->host() : std::string(), made ? made->port().value_or(443) : 443};
    parsed = true;
  }
  if (origin.host.empty() || url.host().empty()) return false;
  if (!platform::equalsIgnoreCase(origin.host, url.host())) return false;
  const int defaultPort = platform::equalsIgnoreCase(url.scheme(), "http") ? 80 : 443;
  return origin.port == url.port().value_or(defaultPort);
}

std::shared_ptr<VLApplicationCache> VLNativeCache::applicationCacheForURL(
    const platform::URL& url) const {
  auto cache = currentApplicationCache();
  return cache && isApplicationURL(url, *cache) ? cache : nullptr;
}

bool VLNativeCache::interceptRequest(const platform::URL& url) const { return lookUp(url).has_value(); }

std::optional<VLNativeCache::Lookup> VLNativeCache::lookUp(const platform::URL& url) const {
  // Read before the lookup: a change made meanwhile makes the lookup count as older.
  const std::uint64_t generation = vlcache::lookupGeneration();
  auto cache = applicationCacheForURL(url);
  if (!cache) return std::nullopt;
  auto key = resourceKeyForURL(url);
  if (!key) return std::nullopt;
  auto entry = cache->getCacheEntryForURL(*key);
  if (!entry) return std::nullopt;
  return Lookup{url.absoluteString(), std::move(cache), std::move(*key), std::move(entry), generation};
}

platform::URLRequest VLNativeCache::cloneRequestWithDefaultHeaders(
    const platform::URLRequest& request) const {
  platform::URLRequest clone = request;
  clone.setProperty(kVLHarborLoaderURLProtocolHandledKey, true);
  std::string tokens = "n/a";
  if (auto cache = currentApplicationCache())
    if (auto running = cache->getCurrentRunningFrame()) tokens = running->getVersionTokensAsString();
  clone.addValue(tokens, kVersionTokensHeader);
  return clone;
}

void VLNativeCache::healingEntry(const std::string& key) {
  if (auto cache = currentApplicationCache()) cache->healingCacheEntry(key);
  serializeCacheHealed();
}

void VLNativeCache::healingEntry(const std::string& key, VLApplicationCache& cache) {
  cache.healingCacheEntry(key);
  serializeCacheHealed();
}

void VLNativeCache::serializeCacheHealed() {
  // Runs on serving threads: nothing may escape, whatever the disk does.
  try {
    const std::string data = platform::serializePropertyListXML(createCacheManifest());
    if (data.empty()) return;
    const std::string hash = VLFileChecksum::contentHashOfData(data);
    const std::string stored =
        platform::UserDefaults::standard().string(kFileHashKey).value_or("");
    if (hash.empty() || stored.empty() || hash == stored) return;
    writeCacheManifest();
  } catch (const VLException& exception) {
    vlcache::logError("Failed to serialize cache after healing: " + exception.reason(), exception);
  } catch (const std::exception& exception) {
    vlcache::logError(std::string("Failed to serialize cache after healing: ") + exception.what());
  }
}

std::shared_ptr<VLCacheEntry> VLNativeCache::preBundleResource(const VLCacheEntry& entry,
                                                               const VLApplicationCache& cache) const {
  auto frame = cache.getPreBundleFrame();
  return frame ? frame->getResourceForUrl(entry.url()) : nullptr;
}

bool VLNativeCache::copyResourceFromPreBundle(const std::shared_ptr<VLCacheEntry>& entry,
                                              const VLApplicationCache& cache) {
  auto frame = cache.getPreBundleFrame();
  if (entry->preBundled() || !frame || !frame->getResourceForUrl(entry->url())) return false;
  // The package file is found from the URL, not from the package frame's entry: for a URL a
  // downloaded version lists too, that entry is the pooled one, which names the cache file.
  // The copy lands on this entry's own cache file. The running frame's progress is not
  // touched: a heal is no download of a version.
  auto packageName = frame->getFileNameForURL(entry->url(), true);
  if (!packageName) return false;
  const VLCacheEntry packaged(entry->url(), *packageName, true);
  auto source = VLCacheLocations::getLocalFilePath(packaged);
  auto destination = VLCacheLocations::getLocalFilePath(*entry);
  if (!source || !destination) return false;
  std::optional<std::string> failure;
  if (!platform::fs::exists(*source))
    failure = "the package has no file " + *packageName;
  else
    failure = VLCacheResources::copyFileIntoPlace(*source, *destination);
  if (failure) {
    vlcache::logError(stringf("Could not copy resource %s from prebundle with error: %s",
                              entry->url().c_str(), failure->c_str()));
    return false;
  }
  return true;
}

bool VLNativeCache::isNetworkAvailable() {
  auto reachability = HBRReachability::reachabilityForInternetConnection();
  return reachability && reachability->currentReachabilityStatus() != NotReachable;
}

void VLNativeCache::getResourceFromCache(const platform::URLRequest& request,
                                         ResourceHandler completionHandler) {
  serveLookup(request, std::nullopt, once(std::move(completionHandler)));
}

void VLNativeCache::getResourceFromCache(const platform::URLRequest& request, Lookup lookup,
                                         ResourceHandler completionHandler) {
  const bool current = lookup.generation == vlcache::lookupGeneration() && lookup.cache && lookup.entry &&
                       lookup.url == request.url().absoluteString();
  serveLookup(request, current ? std::optional<Lookup>(std::move(lookup)) : std::nullopt,
              once(std::move(completionHandler)));
}

void VLNativeCache::serveLookup(const platform::URLRequest& request, std::optional<Lookup> lookup,
                                const ResourceHandler& handler) {
  try {
    // Only this application's own URLs: another host's go to the network.
    if (!lookup) lookup = lookUp(request.url());
    if (!lookup) {
      if (platform::nowait::gaveUp()) return;  // served again where the lookup may wait
      const auto key = resourceKeyForURL(request.url());
      vlcache::logDebug("Unable to find resource: " +
                        (key ? *key : platform::jsonText(request.url().absoluteString())));
      return handler(std::nullopt);
    }
    serveEntry(lookup->key, lookup->entry, lookup->cache, request, handler);
  } catch (const std::exception& exception) {
    vlcache::logError(std::string("Failed to serve a resource from the cache: ") + exception.what());
    handler(std::nullopt);
  }
}

void VLNativeCache::serveEntry(const std::string& key, const std::shared_ptr<VLCacheEntry>& entry,
                               const std::shared_ptr<VLApplicationCache>& cache,
                               const platform::URLRequest& original, const ResourceHandler& handler) {
  // Healing and asking the server are left to a thread that may wait.
  if (platform::nowait::active() && (entry->mimeType().empty() || entry->noCache())) return platform::nowait::giveUp();
  if (entry->mimeType().empty()) {
    vlcache::logWarning("Healing resource mime type: " + entry->url());
    entry->healMimeType();
    serializeCacheHealed();
  }
  // What goes to the server, when anything does, carries the cache's own header fields.
  if (entry->noCache()) return serveWithoutCaching(entry, cloneRequestWithDefaultHeaders(original), handler);
  if (auto body = localBody(*entry)) {
    if (auto logger = VLLogger::sharedInstance())
      logger->logDebug("Resource loaded from cache " + entry->url(), vlcache::kLogModule);
    return handler(servedResponse(original.url(), 200, *entry, std::move(*body)));
  }
  if (platform::nowait::gaveUp()) return;
  const platform::URLRequest request = cloneRequestWithDefaultHeaders(original);
  const platform::URL url = request.url();
  auto self = shared_from_this();
  auto heal = [self, key, entry, cache, request, url, handler] {
    self->joinHeal(
        entry,
        [self, key, entry, cache, request](std::function<void()> done) {
          self->healFromPackageOrNetwork(key, entry, cache, request, std::move(done));
        },
        [entry, url, handler] {
          // A refusal was logged when the request first read the file.
          auto body = localBody(*entry, /*logRefusal=*/false);
          handler(body ? servedResponse(url, 200, *entry, std::move(*body))
                       : servedResponse(url, 404, *entry, std::string()));
        });
  };
  // A heal may wait on the network; the thread that serves hands it on and serves on. The
  // handler is answered either way, also when the heal fails with an exception.
  platform::DispatchQueue::global().async([heal = std::move(heal), handler] {
    try {
      heal();
    } catch (const std::exception& exception) {
      vlcache::logError(std::string("Failed to heal a resource: ") + exception.what());
      handler(std::nullopt);
    }
  });
}

void VLNativeCache::serveWithoutCaching(const std::shared_ptr<VLCacheEntry>& entry,
                                        const platform::URLRequest& request,
                                        const ResourceHandler& handler) {
  const platform::URL url = request.url();
  auto fromDisk = [entry, url, handler] {
    auto body = localBody(*entry);
    handler(body ? std::optional(servedResponse(url, 200, *entry, std::move(*body))) : std::nullopt);
  };
  auto session = isNetworkAvailable() ? downloadSession() : nullptr;
  if (!session) return fromDisk();
  // The server's answer is handed on as it arrives, never held whole: a small one (the common
  // case) comes whole, as the stream holds it, and a failure before it falls back to the
  // stored file; a larger one streams, and the transfer waits while the page reads slower.
  auto stream = std::make_shared<platform::BodyStream>();
  session
      ->streamingDataTaskWithRequest(
          request, stream,
          [entry, url, handler, fromDisk, stream](const std::optional<platform::URLResponse>& response,
                                                  const std::optional<platform::Error>& error) {
            if (error || !response) return fromDisk();
            // The server's status goes on: an error page must not pass for the resource.
            const int status = response->isHTTP() ? response->statusCode() : 200;
            std::string whole;
            if (stream->takeWholeIfFinished(whole)) return handler(servedResponse(url, status, *entry, std::move(whole)));
            handler(VLWebResponse(servedHead(url, status, *entry), stream, vlStatedLength(*response)));
          })
      ->resume();
}

void VLNativeCache::joinHeal(const std::shared_ptr<VLCacheEntry>& entry,
                             const std::function<void(std::function<void()> done)>& heal,
                             std::function<void()> answer) {
  {
    std::lock_guard lock(healsMutex_);
    auto [it, first] = heals_.try_emplace(entry.get());
    it->second.push_back(std::move(answer));
    if (!first) return;
  }
  auto self = shared_from_this();
  // The entry is held until the heal ends, so its address names no other entry meanwhile.
  auto done = [self, entry] {
    std::vector<std::function<void()>> waiting;
    {
      std::lock_guard lock(self->healsMutex_);
      auto it = self->heals_.find(entry.get());
      if (it == self->heals_.end()) return;
      waiting.swap(it->second);
      self->heals_.erase(it);
    }
    for (auto& answer : waiting) {
      try {
        answer();
      } catch (const std::exception& exception) {
        vlcache::logError(std::string("Failed to answer a healed resource: ") + exception.what());
      }
    }
  };
  try {
    heal(done);
  } catch (const std::exception& exception) {
    vlcache::logError(stringf("Healing resource %s failed: %s", entry->url().c_str(),
                              exception.what()));
    done();
  }
}

void VLNativeCache::healFromPackageOrNetwork(const std::string& key,
                                             const std::shared_ptr<VLCacheEntry>& entry,
                                             const std::shared_ptr<VLApplicationCache>& cache,
                                             const platform::URLRequest& request,
                                             std::function<void()> done) {
  if (!entry->preBundled()) {
    entry->setStatus(VLCacheEntryStatusToFetch);
    if (preBundleResource(*entry, *cache)) {
      if (copyResourceFromPreBundle(entry, *cache) && openLocalFile(*entry, true).isOpen()) {
        healingEntry(key, *cache);
        vlcache::logWarning(stringf("Healing resource %s from prebundle: SUCCEDED",
                                    entry->url().c_str()));
        return done();
      }
      vlcache::logError(stringf("Healing resource %s from prebundle: FAILED", entry->url().c_str()));
    }
  }
  downloadAgain(key, entry, cache, request, std::move(done));
}

void VLNativeCache::downloadAgain(const std::string& key, const std::shared_ptr<VLCacheEntry>& entry,
                                  const std::shared_ptr<VLApplicationCache>& cache,
                                  const platform::URLRequest& request, std::function<void()> done) {
  const bool packaged = entry->preBundled();
  const std::string packageFileName = entry->fileName();
  if (packaged) {
    // The package is read-only to the shell: the fresh copy goes to the cache folder, and the
    // entry names it from now on.
    auto frame = cache->getCurrentRunningFrame();
    if (!frame) frame = cache->getPreBundleFrame();
    auto fileName = frame ? frame->getFileNameForURL(entry->url(), false) : std::nullopt;
    if (!fileName) {
      vlcache::logError(stringf("Healing resource %s from web: FAILED", entry->url().c_str()));
      return done();
    }
    entry->setFileName(*fileName);
    entry->setPreBundled(false);
  }
  auto configuration = createSessionConfigurationWithOptions(nullptr, nullptr);
  auto session = configuration ? platform::URLSession::sessionWithConfiguration(*configuration)
                               : nullptr;
  auto self = shared_from_this();
  VLCacheResources::downloadResourceSync(
      entry, request, session,
      [self, key, entry, cache, packaged, packageFileName, done](bool success) {
        if (success) {
          self->healingEntry(key, *cache);
          vlcache::logWarning(stringf("Healing resource %s from web: SUCCEEDED", entry->url().c_str()));
        } else {
          if (packaged) {
            entry->setFileName(packageFileName);
            entry->setPreBundled(true);
          }
          vlcache::logError(stringf("Healing resource %s from web: FAILED", entry->url().c_str()));
          vlcache::logWarning(stringf(
              "Trying to retrieve the latest version of the resource %s from the server",
              entry->url().c_str()));
        }
        done();
      });
}

#include "appcache/VLHarborLoaderURLProtocol.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <memory>

#include "appcache/VLMimeTypesHelper.h"
#include "appcache/VLNativeCache.h"
#include "appcache/VLResourcePath.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/NoWait.h"
#include "platform/foundation/PackageFiles.h"
#include "platform/foundation/Regex.h"
#include "platform/foundation/Strings.h"
#include "platform/net/URLError.h"
#include "shell/VLLogger.h"

namespace {

constexpr const char* kLoaderModule = "VLHarborLoader";
constexpr const char* kCacheModule = "VLCache";

const std::optional<platform::Regex>& scriptPathExpression() {
  static const auto expression =
      platform::Regex::make(R"((/([\da-zA-Z\-_]+))?(/(hbrload|scripts)/))", /*caseInsensitive=*/true);
  if (!expression)
    if (auto logger = VLLogger::sharedInstance())
      logger->logError("Failed to create a regular expression instance: the pattern does not compile",
                       kLoaderModule);
  return expression;
}

bool isFavicon(const platform::URL& url) {
  static constexpr std::string_view kFavicon = "/favicon.ico";
  const std::string& text = url.absoluteString();
  for (size_t at = text.find('/'); at != std::string::npos && text.size() - at >= kFavicon.size();
       at = text.find('/', at + 1))
    if (platform::equalsIgnoreCase(std::string_view(text).substr(at, kFavicon.size()), kFavicon)) return true;
  return false;
}

platform::URLResponse notFound(const platform::URL& url) {
  return platform::URLResponse::http(url, 404, {});
}

// The cache's lookup for the last request this thread checked, kept for the answer that
// follows the check on the same thread, so that the answer does not look the URL up again.
// It names the cache and the entry without keeping them: a check that no answer follows
// (the session's own) holds nothing alive.
class CheckedLookup {
 public:
  void clear() { url_.clear(); }
  void keep(const VLNativeCache& engine, VLNativeCache::Lookup lookup) {
    engine_ = &engine;
    url_ = std::move(lookup.url);
    cache_ = lookup.cache;
    key_ = std::move(lookup.key);
    entry_ = lookup.entry;
    generation_ = lookup.generation;
  }
  // The lookup kept for `url` in `engine`, handed over once; none for any other.
  std::optional<VLNativeCache::Lookup> take(const VLNativeCache& engine, const platform::URL& url) {
    if (url_.empty() || engine_ != &engine || url_ != url.absoluteString()) return std::nullopt;
    VLNativeCache::Lookup lookup{std::move(url_), cache_.lock(), std::move(key_), entry_.lock(), generation_};
    url_.clear();
    if (!lookup.cache || !lookup.entry) return std::nullopt;
    return lookup;
  }

 private:
  const VLNativeCache* engine_ = nullptr;
  std::string url_;  // empty: nothing kept
  std::weak_ptr<VLApplicationCache> cache_;
  std::string key_;
  std::weak_ptr<VLCacheEntry> entry_;
  std::uint64_t generation_ = 0;
};

thread_local CheckedLookup tChecked;

}  // namespace

bool VLHarborLoaderURLProtocol::canInitWithRequest(const platform::URLRequest& request) {
  tChecked.clear();
  const platform::Value handled = request.property(kHandledKey);
  if (!handled.is_null() && !(handled.is_boolean() && !handled.get<bool>())) return false;
  if (!platform::contains(request.url().scheme(), "http")) return false;
  return shouldInterceptRequest(request.url());
}

bool VLHarborLoaderURLProtocol::requestIsCacheEquivalent(const platform::URLRequest& a,
                                                         const platform::URLRequest& b) {
  return a.url().resourceSpecifier() == b.url().resourceSpecifier();
}

bool VLHarborLoaderURLProtocol::shouldInterceptRequest(const platform::URL& url) {
  tChecked.clear();
  if (isFavicon(url)) return true;
  if (platform::contains(url.absoluteString(), "_ts"))
    for (const auto& [name, value] : url.queryItems())
      if (name == "_ts") return false;
  if (auto cache = VLNativeCache::sharedInstanceIfMade()) {
    if (auto lookup = cache->lookUp(url)) {
      tChecked.keep(*cache, std::move(*lookup));
      return true;
    }
  }
  // The package is looked at on the disk, by a thread that may wait.
  if (platform::nowait::active()) {
    platform::nowait::giveUp();
    return false;
  }
  return interceptHarborRequest(url);
}

std::optional<std::string> VLHarborLoaderURLProtocol::packagedFileForPath(const std::string& path) {
  const auto& expression = scriptPathExpression();
  if (!expression || !expression->matches(path)) return std::nullopt;
  return vlcache::fileInside(platform::Bundle::main().bundlePath(),
                             expression->replaceAll(path, "/www/"));
}

bool VLHarborLoaderURLProtocol::interceptHarborRequest(const platform::URL& url) {
  auto path = vlcache::servablePath(url);
  if (!path) return false;
  auto file = packagedFileForPath(*path);
  return file && platform::fs::exists(*file) && !platform::fs::isDirectory(*file);
}

std::optional<VLWebResponse> VLHarborLoaderURLProtocol::getHarborResource(
    const platform::URL& url) const {
  return harborResource(url);
}

std::optional<VLWebResponse> VLHarborLoaderURLProtocol::harborResource(const platform::URL& url) {
  if (platform::nowait::active()) {
    platform::nowait::giveUp();
    return std::nullopt;
  }
  std::optional<std::string> file;
  if (auto path = vlcache::servablePath(url)) {
    const auto& expression = scriptPathExpression();
    if (!expression) return std::nullopt;
    file = vlcache::fileInside(platform::Bundle::main().bundlePath(),
                               expression->replaceAll(*path, "/www/"));
  }
  // The package's opener decides on the opened descriptor (it refuses folders and links out of
  // the package); a large file is served from it as the page reads it.
  std::optional<VLBody> body;
  if (file) {
    platform::fs::ReadableFile opened = platform::package::open(*file);
    if (!opened.isOpen() && opened.error() == EXDEV) platform::log("ERROR: " + platform::package::refusal(*file));
    body = vlBodyOfFile(std::move(opened));
  }
  if (!body) {
    if (auto logger = VLLogger::sharedInstance())
      logger->logDebug("Unable to find " + url.absoluteString() + ". Is it a harbor resource?",
                       kLogModule);
    return std::nullopt;
  }
  const std::string type =
      VLMimeTypesHelper::sharedInstance()->getMimeTypeForExtension(url.pathExtension());
  auto response = platform::URLResponse::http(url, 200, {{"Content-Type", type}});
  if (body->file) return VLWebResponse(std::move(response), std::move(body->file));
  return VLWebResponse(std::move(response), std::move(body->data));
}

void VLHarborLoaderURLProtocol::getResourceResponse(
    const platform::URLRequest& request,
    std::function<void(std::optional<VLWebResponse>)> completionHandler) {
  resourceResponse(request, std::move(completionHandler));
}

void VLHarborLoaderURLProtocol::resourceResponse(
    const platform::URLRequest& request,
    std::function<void(std::optional<VLWebResponse>)> completionHandler, bool checked) {
  if (isFavicon(request.url())) {
    completionHandler(VLWebResponse(notFound(request.url()), std::string()));
    return;
  }
  auto cache = VLNativeCache::sharedInstanceIfMade();
  if (!cache) {
    completionHandler(std::nullopt);
    return;
  }
  // The check that just took the request on this thread looked it up: the cache serves that
  // lookup unless something that decides lookups changed since, and looks again otherwise.
  if (checked)
    if (auto lookup = tChecked.take(*cache, request.url()))
      return cache->getResourceFromCache(request, std::move(*lookup), std::move(completionHandler));
  cache->getResourceFromCache(request, std::move(completionHandler));
}

void VLHarborLoaderURLProtocol::startLoading() {
  auto self = std::static_pointer_cast<VLHarborLoaderURLProtocol>(shared_from_this());
  platform::DispatchQueue::global().async([self] { self->load(); });
}

void VLHarborLoaderURLProtocol::load() {
  auto self = std::static_pointer_cast<VLHarborLoaderURLProtocol>(shared_from_this());
  answerRequest(request(), false, [self](VLWebResponse answer) { self->deliver(std::move(answer)); });
}

void VLHarborLoaderURLProtocol::answerRequest(const platform::URLRequest& request, bool justAsked,
                                              std::function<void(VLWebResponse)> completion) {
  const platform::URL& url = request.url();
  try {
    // The cache may have changed since the loading system asked. What the cache sends to a
    // server on the request's behalf is marked as handled by the loader (see
    // VLNativeCache::cloneRequestWithDefaultHeaders), so the loader never takes it again.
    if (!justAsked && !shouldInterceptRequest(url)) return completion(VLWebResponse(notFound(url), std::string()));
    resourceResponse(request, [url, completion](std::optional<VLWebResponse> answer) {
      try {
        if (answer) return completion(std::move(*answer));
        if (auto harbor = harborResource(url)) {
          if (auto logger = VLLogger::sharedInstance())
            logger->logDebug("Loaded harbor resource: " + url.absoluteString(), kCacheModule);
          return completion(std::move(*harbor));
        }
      } catch (const std::exception& exception) {
        if (auto logger = VLLogger::sharedInstance())
          logger->logError(std::string("Failed to answer a request: ") + exception.what(),
                           kLogModule);
      }
      if (platform::nowait::gaveUp()) return;  // answered where it may wait
      completion(VLWebResponse(notFound(url), std::string()));
    }, /*checked=*/true);
  } catch (const std::exception& exception) {
    if (auto logger = VLLogger::sharedInstance())
      logger->logError(std::string("Failed to answer a request: ") + exception.what(), kLogModule);
    completion(VLWebResponse(notFound(url), std::string()));
  }
}

void VLHarborLoaderURLProtocol::stopLoading() {
  std::shared_ptr<platform::BodyStream> stream;
  {
    std::lock_guard lock(streamMutex_);
    stream = std::move(stream_);
  }
  if (stream) stream->cancel();
}

void VLHarborLoaderURLProtocol::deliver(VLWebResponse answer) {
  auto client = this->client();
  client->didReceiveResponse(*this, answer.response(), platform::URLCacheStoragePolicy::NotAllowed);
  if (const auto& file = answer.file()) {
    // The session's task takes the body in pieces, as it would from the network.
    std::string buffer(256 * 1024, '\0');
    const auto version = platform::fs::FileVersion::of(file->fd());
    for (std::int64_t offset = 0; offset < file->size();) {
      ssize_t got = ::pread(file->fd(), buffer.data(),
                            static_cast<size_t>(std::min<std::int64_t>(file->size() - offset, buffer.size())), offset);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0 || !version.isCurrent(file->fd())) {
        client->didFailWithError(*this, platform::urlerror::make(platform::urlerror::kNetworkConnectionLost,
                                                                 &request().url(), "the file changed while it was read"));
        return;
      }
      client->didLoadData(*this, std::string(buffer.data(), static_cast<size_t>(got)));
      offset += got;
    }
    client->didFinishLoading(*this);
    return;
  }
  if (const auto& stream = answer.stream()) {
    // A server's answer goes on as it arrives, from the thread that brings it.
    auto self = std::static_pointer_cast<VLHarborLoaderURLProtocol>(shared_from_this());
    auto pump = std::make_shared<std::function<void()>>();
    *pump = [self, stream, client] {
      std::string buffer(64 * 1024, '\0');
      for (;;) {
        size_t got = 0;
        switch (stream->read(buffer.data(), buffer.size(), got)) {
          case platform::BodyStream::Read::Data:
            client->didLoadData(*self, std::string(buffer.data(), got));
            continue;
          case platform::BodyStream::Read::Waiting:
            return;
          case platform::BodyStream::Read::Ended:
            stream->setReadableCallback(nullptr);
            client->didFinishLoading(*self);
            return;
          case platform::BodyStream::Read::Failed:
            stream->setReadableCallback(nullptr);
            client->didFailWithError(*self, stream->error().value_or(platform::urlerror::make(
                                                platform::urlerror::kNetworkConnectionLost, &self->request().url())));
            return;
        }
      }
    };
    {
      std::lock_guard lock(streamMutex_);
      stream_ = stream;
    }
    stream->setReadableCallback([pump] { (*pump)(); });
    (*pump)();
    return;
  }
  client->didLoadData(*this, std::move(answer).data());
  client->didFinishLoading(*this);
}

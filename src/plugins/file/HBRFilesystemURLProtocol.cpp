#include "plugins/file/HBRFilesystemURLProtocol.h"

#include <atomic>

#include "platform/foundation/CaughtException.h"
#include "plugins/file/HBRFile.h"
#include "plugins/file/HBRFilesystemURL.h"

bool HBRFilesystemURLProtocol::canInitWithRequest(const platform::URLRequest& request) {
  return request.url().scheme() == HBRFilesystemURL::kScheme;
}

bool HBRFilesystemURLProtocol::requestIsCacheEquivalent(const platform::URLRequest& a,
                                                        const platform::URLRequest& b) {
  return a.url().resourceSpecifier() == b.url().resourceSpecifier();
}

void HBRFilesystemURLProtocol::startLoading() {
  HBRFilesystemURL url(request().url());
  auto plugin = HBRFile::current();
  auto fileSystem = plugin ? plugin->filesystemForURL(url) : nullptr;
  std::weak_ptr<URLProtocol> weakSelf = weak_from_this();
  auto answer = [weakSelf, url](std::optional<std::string> bytes, std::optional<std::string> mimeType, int error) {
    auto self = weakSelf.lock();
    if (!self) return;
    platform::HTTPHeaders headers{{"Cache-Control", "no-cache"}};
    const platform::URL& responseURL = *url.url();
    auto& client = *self->client();
    if (error != 0 || !bytes) {
      client.didReceiveResponse(*self, platform::URLResponse::http(responseURL, 404, headers),
                                platform::URLCacheStoragePolicy::NotAllowed);
    } else {
      if (mimeType) headers.push_back({"Content-Type", *mimeType});
      client.didReceiveResponse(*self, platform::URLResponse::http(responseURL, 200, headers),
                                platform::URLCacheStoragePolicy::NotAllowed);
      client.didLoadData(*self, *bytes);
    }
    client.didFinishLoading(*self);
  };
  // A URL that names no file system is answered like a missing file, so no request waits
  // for ever.
  if (!fileSystem) return answer(std::nullopt, std::nullopt, NOT_FOUND_ERR);
  // A read that fails on the way (out of memory, say) is still answered, once.
  auto answered = std::make_shared<std::atomic<bool>>(false);
  auto once = [answer, answered](std::optional<std::string> bytes, std::optional<std::string> mimeType, int error) {
    if (!answered->exchange(true)) answer(std::move(bytes), std::move(mimeType), error);
  };
  try {
    fileSystem->readFileAtURL(url, 0, -1, once);
  } catch (...) {
    platform::reportCaughtException("Reading an hbrfile URL");
    once(std::nullopt, std::nullopt, NOT_READABLE_ERR);
  }
}

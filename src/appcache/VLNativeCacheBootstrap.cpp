#include "appcache/VLCacheLog.h"
#include "appcache/VLNativeCache.h"

void VLNativeCache::bootstrapCache(const std::string& versionToken,
                                   const platform::Value& resourceList,
                                   const platform::Value& urlMaps,
                                   const platform::Value& urlMapsNoCache) {
  const auto key = currentApplication();
  if (!key) {
    vlcache::logError("Invalid application key");
    return;
  }
  auto cache = applicationEntries_.objectForKey(*key);
  if (!cache) {
    vlcache::logError(
        "Failed to bootstrap application cache: No application cache available for key " + *key);
    return;
  }
  if (!resourceList.is_array() || resourceList.empty() || !urlMaps.is_object() ||
      urlMaps.empty()) {
    vlcache::logError(
        "Failed to bootstrap application cache: resource list and url mappings dictionary are "
        "not valid");
    return;
  }
  // A package frame never downloads, so it has no session.
  auto frame = VLCacheResources::initForHostname(
      cache->hostname(), cache->application(), versionToken, true,
      [] { return std::shared_ptr<platform::URLSession>(); });
  frame->setVersionTokenBeforeCreation(getRunningVersionToken());
  frame->populateCacheEntriesForResourcePool(cache->getCacheEntries(), nullptr, resourceList,
                                             urlMaps, urlMapsNoCache);
  cache->addPreBundleFrame(frame);
  changeCacheStatus(VLCacheStatusIdle);
}

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
  // The package names its own manifest as the page asks for it, relative to the application
  // ("manifest.json?<token>"): its entry is keyed by its path on the host, the token staying
  // the query. The resulting path is checked like any other.
  platform::Value resources = platform::Value::array();
  const std::string folder = "/" + cache->application() + "/";
  for (const auto& item : resourceList) {
    if (item.is_string() && !item.get_ref<const std::string&>().starts_with('/'))
      resources.push_back(folder + item.get<std::string>());
    else
      resources.push_back(item);
  }
  frame->populateCacheEntriesForResourcePool(cache->getCacheEntries(), nullptr, resources,
                                             urlMaps, urlMapsNoCache);
  cache->addPreBundleFrame(frame);
  changeCacheStatus(VLCacheStatusIdle);
}

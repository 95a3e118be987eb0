#include "appcache/VLManifest.h"

VLManifest::VLManifest(std::optional<std::string> versionToken,
                       const std::vector<std::string>& urlVersions, const Mappings& urlMappings,
                       const Mappings& urlMappingsNoCache)
    : versionToken_(std::move(versionToken)) {
  urlVersions_.insert(urlVersions_.end(), urlVersions.begin(), urlVersions.end());
  urlMappings_.insert(urlMappings.begin(), urlMappings.end());
  urlMappingsNoCache_.insert(urlMappingsNoCache.begin(), urlMappingsNoCache.end());
}

platform::Value VLManifest::urlVersionsValue() const {
  platform::Value list = platform::Value::array();
  for (const auto& url : urlVersions_) list.push_back(url);
  return list;
}

platform::Value VLManifest::urlMappingsValue() const {
  platform::Value maps = platform::Value::object();
  for (const auto& [path, url] : urlMappings_) maps[path] = url;
  return maps;
}

platform::Value VLManifest::urlMappingsNoCacheValue() const {
  platform::Value maps = platform::Value::object();
  for (const auto& [path, url] : urlMappingsNoCache_) maps[path] = url;
  return maps;
}

#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

// One version of the web application as its manifest describes it: the version token, every
// versioned resource URL, and the paths the web view asks for mapped to those URLs, split into
// what is kept in the cache and what is always fetched.
class VLManifest {
 public:
  using Mappings = std::map<std::string, std::string>;

  VLManifest() = default;
  // Starts empty and takes what is given: the token, the list appended, the entries added.
  VLManifest(std::optional<std::string> versionToken, const std::vector<std::string>& urlVersions,
             const Mappings& urlMappings, const Mappings& urlMappingsNoCache);

  const std::optional<std::string>& versionToken() const { return versionToken_; }
  const std::vector<std::string>& urlVersions() const { return urlVersions_; }
  const Mappings& urlMappings() const { return urlMappings_; }
  const Mappings& urlMappingsNoCache() const { return urlMappingsNoCache_; }
  std::vector<std::string>& urlVersions() { return urlVersions_; }
  Mappings& urlMappings() { return urlMappings_; }
  Mappings& urlMappingsNoCache() { return urlMappingsNoCache_; }

  // The forms the cache engine takes: an array of strings and objects of string to string.
  platform::Value urlVersionsValue() const;
  platform::Value urlMappingsValue() const;
  platform::Value urlMappingsNoCacheValue() const;

 private:
  std::optional<std::string> versionToken_;
  std::vector<std::string> urlVersions_;
  Mappings urlMappings_;
  Mappings urlMappingsNoCache_;
};

#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "appcache/VLManifest.h"
#include "platform/foundation/Value.h"

// What the pre-bundle bootstrap needs of a manifest parser.
class VLManifestParserEngineProtocol {
 public:
  virtual ~VLManifestParserEngineProtocol() = default;
  // None (with an error line) when `json` is not a dictionary, or when its manifest has more
  // entries than a version may have (VLCacheOptions::kMaximumManifestEntries).
  virtual std::shared_ptr<VLManifest> getManifestInfo(const platform::Value& json) = 0;
  virtual std::optional<std::string> getManifestVersion(const platform::Value& json) = 0;
  // "manifest.json", or "manifest.json?<token>".
  virtual std::string getManifestUrl(const std::optional<std::string>& versionToken) = 0;
};

// Turns the JSON of "manifest.json" into a VLManifest. The manifest comes from a package or a
// server, so every value is type-checked: a key of the wrong type counts as absent and an
// entry of the wrong type is left out, each with a log line under "VLManifest".
class VLManifestParser final : public VLManifestParserEngineProtocol {
 public:
  static std::shared_ptr<VLManifestParser> sharedInstance();

  std::shared_ptr<VLManifest> getManifestInfo(const platform::Value& json) override;
  std::optional<std::string> getManifestVersion(const platform::Value& json) override;
  std::string getManifestUrl(const std::optional<std::string>& versionToken) override;

  // Every URL of "urlVersions" followed by its version suffix, in the object's order.
  std::vector<std::string> getURLVersionsFromJSON(const platform::Value& manifest);
  // The paths of "urlMappings" (withCache) or "urlMappingsNoCache" mapped to versioned URLs.
  // Nothing without "urlVersions". A URL that already carries a query is kept as it is; any
  // other is kept only when "urlVersions" gives it a suffix.
  VLManifest::Mappings getURLMappingsFromJSON(const platform::Value& manifest, bool withCache);
};

#pragma once

#include <memory>
#include <optional>
#include <string>

#include "appcache/VLManifestParser.h"
#include "appcache/VLNativeCache.h"
#include "host/HBRPlugin.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Value.h"

class VLPreBundleProtocol {
 public:
  virtual ~VLPreBundleProtocol() = default;
  virtual void bootstrapCacheWithPreBundle() = 0;
  // The whole JSON object of the packaged "www/manifest.json", or null.
  virtual platform::Value getManifest() = 0;
};

// The copy of the web application inside the package: its manifest makes the configured
// application current in the cache engine with a package frame, so the application is served
// from the package before any version was downloaded, and missing cached files can be healed
// from it. Logs go under "VLPreBundle".
class VLPreBundle final : public VLPreBundleProtocol {
 public:
  // The packaged manifest is read whole; one larger than this is refused.
  static constexpr size_t kMaximumManifestBytes = 32u << 20;
  static constexpr const char* kManifestPath = "www/manifest.json";

  // A null engine (the cache plugin did not start) still reads the manifest.
  VLPreBundle(std::shared_ptr<VLNativeCache> cache,
              std::shared_ptr<VLManifestParserEngineProtocol> manifestParser,
              std::optional<std::string> hostname, std::optional<std::string> url);

  // Loads the packaged manifest into the engine, then lets the engine upgrade a cache of an
  // older format, also when loading failed.
  void bootstrapCacheWithPreBundle() override;
  // Reads on the serial queue "com.veltro.plugins.prebundle", so two reads never overlap.
  platform::Value getManifest() override;

  void loadPreBundleManifest(const std::shared_ptr<VLManifest>& manifest);
  // The resource list the engine gets: the manifest's, then the manifest itself under its
  // versioned name ("manifest.json?<token>").
  std::optional<platform::Value> preBundleResourceList(const VLManifest& manifest) const;
  std::optional<std::string> readFromBundle(const std::string& relativePath) const;
  static platform::Value serializeJSONDataIntoDictionary(const std::string& data);

 private:
  std::optional<std::string> hostname_;
  std::optional<std::string> url_;
  std::shared_ptr<VLManifestParserEngineProtocol> manifestParser_;
  std::shared_ptr<VLNativeCache> cacheEngine_;
  std::shared_ptr<platform::DispatchQueue> serialQueue_;
};

// The plugin: bootstraps at its initialisation (after the cache plugin's) and answers
// "getManifest" with the packaged manifest.
class VLPreBundlePlugin final : public HBRPlugin {
 public:
  VLPreBundlePlugin();
  std::string className() const override { return "VLPreBundlePlugin"; }
  void pluginInitialize() override;
  void getManifest(const HBRInvokedUrlCommand& command);
  std::shared_ptr<VLPreBundleProtocol> preBundle() const { return preBundle_; }

 private:
  std::shared_ptr<VLPreBundleProtocol> preBundle_;
};

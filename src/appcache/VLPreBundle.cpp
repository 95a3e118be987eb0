#include "appcache/VLPreBundle.h"

#include "host/HBRCommandDelegate.h"
#include "host/HBRPluginResult.h"
#include "host/HBRSettings.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONText.h"
#include "platform/foundation/PackageFiles.h"
#include "shell/VLLogger.h"

using platform::Value;

namespace {

constexpr const char* kModule = "VLPreBundle";

void logDebug(const std::string& message) {
  if (auto logger = VLLogger::sharedInstance()) logger->logDebug(message, kModule);
}
void logError(const std::string& message) {
  if (auto logger = VLLogger::sharedInstance()) logger->logError(message, kModule);
}

}  // namespace

VLPreBundle::VLPreBundle(std::shared_ptr<VLNativeCache> cache,
                         std::shared_ptr<VLManifestParserEngineProtocol> manifestParser,
                         std::optional<std::string> hostname, std::optional<std::string> url)
    : hostname_(std::move(hostname)),
      url_(std::move(url)),
      manifestParser_(std::move(manifestParser)),
      cacheEngine_(std::move(cache)),
      serialQueue_(platform::DispatchQueue::makeSerial("com.veltro.plugins.prebundle")) {}

void VLPreBundle::bootstrapCacheWithPreBundle() {
  logDebug("Loading PreBundle manifest");
  try {
    loadPreBundleManifest(manifestParser_->getManifestInfo(getManifest()));
  } catch (const std::exception& exception) {
    logError(std::string("Could not load pre-bundle resources: ") + exception.what());
  }
  logDebug("Upgrading cache model if needed");
  if (cacheEngine_) cacheEngine_->upgradeCacheIfNeeded();
}

Value VLPreBundle::getManifest() {
  Value manifest;
  serialQueue_->sync([&] {
    if (auto data = readFromBundle(kManifestPath)) manifest = serializeJSONDataIntoDictionary(*data);
  });
  return manifest;
}

std::optional<std::string> VLPreBundle::readFromBundle(const std::string& relativePath) const {
  // Only a file inside the package: a link out of it is not the package's manifest.
  auto path = platform::Bundle::main().pathForResource(relativePath, "");
  std::string reason;
  if (!path) {
    reason = "no such file in the package";
  } else if (platform::fs::isDirectory(*path)) {
    reason = "it is a folder";
  } else {
    platform::fs::ReadableFile file = platform::package::open(*path);
    if (!file.isOpen() && file.error() == EXDEV)
      reason = "it leads out of the application package";
    else if (file.isOpen() && file.size() > kMaximumManifestBytes)
      reason = "it is larger than " + std::to_string(kMaximumManifestBytes) + " bytes";
    else if (auto data = platform::fs::readWhole(file, kMaximumManifestBytes))
      return data;
    else
      reason = "it cannot be read";
  }
  logError("Failed to read file " + relativePath + " from bundle: " + reason);
  return std::nullopt;
}

Value VLPreBundle::serializeJSONDataIntoDictionary(const std::string& data) {
  std::string error;
  auto json = platform::parseJSONText(data, &error);
  if (json && !json->is_object()) error = "the JSON text is not a dictionary";
  if (!json || !json->is_object()) {
    logError("Failed to serialize JSON data into dictionary: " + error);
    return nullptr;
  }
  return std::move(*json);
}

std::optional<Value> VLPreBundle::preBundleResourceList(const VLManifest& manifest) const {
  if (!manifest.versionToken()) return std::nullopt;
  Value list = manifest.urlVersionsValue();
  list.push_back(manifestParser_->getManifestUrl(manifest.versionToken()));
  return list;
}

void VLPreBundle::loadPreBundleManifest(const std::shared_ptr<VLManifest>& manifest) {
  if (!manifest) return;
  auto list = preBundleResourceList(*manifest);
  if (!list) {
    logError("Could not load pre-bundle resources: manifest version is null");
    return;
  }
  if (!hostname_ || !url_) {
    logError("Could not load pre-bundle resources: hostname or url is null");
    return;
  }
  if (!cacheEngine_) return;
  cacheEngine_->setCurrentApplication(*hostname_, *url_);
  cacheEngine_->bootstrapCache(*manifest->versionToken(), *list, manifest->urlMappingsValue(),
                               manifest->urlMappingsNoCacheValue());
}

// ---- The plugin ----

VLPreBundlePlugin::VLPreBundlePlugin() {
  registerAction("getManifest", &VLPreBundlePlugin::getManifest);
}

void VLPreBundlePlugin::pluginInitialize() {
  std::optional<std::string> hostname, url;
  if (auto delegate = commandDelegate()) {
    hostname = harborStringSettingForKey(delegate->settings(), "DefaultHostname");
    url = harborStringSettingForKey(delegate->settings(), "DefaultApplicationURL");
  }
  std::shared_ptr<VLNativeCache> engine;
  try {
    engine = VLNativeCache::sharedInstance();
  } catch (const VLException& exception) {
    // The cache plugin must start first; without it the package is still readable.
    logError("Could not bootstrap the cache: " + exception.reason());
  }
  auto preBundle =
      std::make_shared<VLPreBundle>(engine, VLManifestParser::sharedInstance(), hostname, url);
  preBundle_ = preBundle;
  preBundle->bootstrapCacheWithPreBundle();
}

void VLPreBundlePlugin::getManifest(const HBRInvokedUrlCommand& command) {
  auto delegate = commandDelegate();
  if (!delegate) return;
  auto preBundle = preBundle_;
  std::weak_ptr<HBRCommandDelegate> weakDelegate = delegate;
  auto callbackId = command.callbackId();
  delegate->runInBackground([preBundle, weakDelegate, callbackId] {
    Value manifest = preBundle ? preBundle->getManifest() : Value();
    auto result = manifest.is_object()
                      ? HBRPluginResult::resultWithStatus(HBRResultStatus::OK, std::move(manifest))
                      : HBRPluginResult::resultWithStatusAsString(HBRResultStatus::Error,
                                                                  "Could not get manifest");
    if (auto delegate = weakDelegate.lock()) delegate->sendPluginResult(result, callbackId);
  });
}

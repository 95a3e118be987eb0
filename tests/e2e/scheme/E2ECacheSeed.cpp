#include "E2ECacheSeed.h"

#include <cstdlib>

#include "appcache/VLNativeCache.h"
#include "host/HBRCommandDelegate.h"
#include "host/HBRPluginResult.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"

namespace {

platform::Value plan() {
  const char* path = std::getenv("VELTRO_E2E_CACHE_PLAN");
  if (!path) return nullptr;
  return platform::Value::parse(platform::fs::readFile(path).value_or(""), nullptr, false);
}

// Writes what the cache reports to the shell's output, where a failing test shows it.
class LoggingListener : public VLCacheListenerDelegate {
 public:
  void fireOnProgressEvent(std::int64_t processed, std::int64_t total) override {
    platform::log("E2ECacheSeed: progress " + std::to_string(processed) + "/" + std::to_string(total));
  }
  void fireOnErrorEvent(const std::string& message) override { platform::log("E2ECacheSeed: error " + message); }
  void fireOnFinishEvent() override { platform::log("E2ECacheSeed: finished"); }
  void updateStatus(std::int64_t status) override { platform::log("E2ECacheSeed: status " + std::to_string(status)); }
  void throwException(const std::string& message) override { platform::log("E2ECacheSeed: exception " + message); }
};

}  // namespace

E2ECacheSeed::E2ECacheSeed() { registerAction("runningVersion", &E2ECacheSeed::runningVersion); }

void E2ECacheSeed::pluginInitialize() {
  platform::Value wanted = plan();
  if (!wanted.is_object()) {
    platform::log("E2ECacheSeed: no cache plan");
    return;
  }
  auto cache = VLNativeCache::sharedInstanceWithFirstRun(false, 4, 30);
  cache->setDelegate(std::make_shared<LoggingListener>());
  std::string hostname = wanted.value("hostname", "");
  std::string application = wanted.value("application", "");
  std::string version = wanted.value("version", "");
  cache->setCurrentApplication(hostname, application);
  if (cache->getRunningVersionToken() == version) return;
  commandDelegate()->runInBackground([cache, wanted, hostname, application, version] {
    cache->startCaching(hostname, application, version, wanted["resources"], wanted["urlMaps"], nullptr, nullptr);
  });
}

void E2ECacheSeed::runningVersion(const HBRInvokedUrlCommand& command) {
  auto cache = VLNativeCache::sharedInstanceIfMade();
  std::string version = cache ? cache->getRunningVersionToken() : "";
  commandDelegate()->sendPluginResult(HBRPluginResult::resultWithStatusAsString(HBRResultStatus::OK, version),
                                      command.callbackId());
}

void registerE2ECacheSeed() { HBRRegisterPluginClass<E2ECacheSeed>("E2ECacheSeed"); }

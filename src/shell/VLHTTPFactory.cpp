#include "shell/VLHTTPFactory.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/foundation/Log.h"
#include "platform/net/URLRequest.h"
#include "shell/VLProtocolManagerPlugin.h"

#ifndef VELTRO_VERSION
#define VELTRO_VERSION "0.0.0"
#endif

namespace {

// Each value is replaced whole, so a reader takes either the old or the new one.
std::mutex gSetterMutex;
// Guarded by a plain mutex rather than std::atomic<std::shared_ptr>, whose libstdc++ 12 form
// unlocks with a relaxed store.
std::mutex gValuesMutex;
std::shared_ptr<const std::string> gUserAgent;
std::shared_ptr<const std::string> gDeviceUUID;  // none: "n/a"

std::shared_ptr<const std::string> load(const std::shared_ptr<const std::string>& value) {
  std::lock_guard lock(gValuesMutex);
  return value;
}

void store(std::shared_ptr<const std::string>& slot, std::shared_ptr<const std::string> value) {
  std::lock_guard lock(gValuesMutex);
  slot = std::move(value);
}

platform::URLSessionConfiguration configured(platform::URLSessionConfiguration configuration) {
  configuration.setHTTPAdditionalHeaders(VLHTTPFactory::defaultHttpHeaders());
  configuration.setProtocolClasses(VLProtocolManagerPlugin::protocolClasses());
  return configuration;
}

}  // namespace

platform::URLSessionConfiguration VLHTTPFactory::defaultConfiguration() {
  return configured(platform::URLSessionConfiguration::defaultSessionConfiguration());
}

platform::URLSessionConfiguration VLHTTPFactory::ephemeralConfiguration() {
  return configured(platform::URLSessionConfiguration::ephemeralSessionConfiguration());
}

platform::HTTPHeaders VLHTTPFactory::defaultHttpHeaders() {
  std::shared_ptr<const std::string> userAgent = load(gUserAgent);
  std::shared_ptr<const std::string> deviceUUID = load(gDeviceUUID);
  // A header the session would have to refuse would leave the configuration without it.
  std::string agent =
      userAgent && !userAgent->empty() && platform::isValidHTTPHeaderField("User-Agent", *userAgent)
          ? *userAgent
          : fallbackUserAgent();
  std::string uuid =
      deviceUUID && platform::isValidHTTPHeaderField("veltro-device-uuid", *deviceUUID)
          ? *deviceUUID
          : "n/a";
  return {{"User-Agent", agent}, {"veltro-device-uuid", uuid}};
}

void VLHTTPFactory::setUserAgent(std::optional<std::string> userAgent) {
  std::lock_guard lock(gSetterMutex);
  if (userAgent && !platform::isValidHTTPHeaderField("User-Agent", *userAgent))
    platform::log("VLHTTPFactory: the user agent cannot be sent as a header field; using " +
                  fallbackUserAgent());
  store(gUserAgent, userAgent ? std::make_shared<const std::string>(std::move(*userAgent))
                             : nullptr);
}

void VLHTTPFactory::setDeviceUUID(std::string deviceUUID) {
  std::lock_guard lock(gSetterMutex);
  store(gDeviceUUID, std::make_shared<const std::string>(std::move(deviceUUID)));
}

std::string VLHTTPFactory::fallbackUserAgent() { return std::string("Veltro/") + VELTRO_VERSION; }

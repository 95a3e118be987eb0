#include "shell/VLApplicationInfo.h"

#include <mutex>

#include "platform/foundation/Bundle.h"

namespace {

std::mutex gSharedMutex;
std::shared_ptr<VLApplicationInfo> gShared;

VLApplicationInfoProtocol::Text stringIn(const platform::Value& dictionary, const char* key) {
  if (!dictionary.is_object()) return std::nullopt;
  auto it = dictionary.find(key);
  if (it == dictionary.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

VLApplicationInfoProtocol::Text packageIdentifier() {
  std::string identifier = platform::Bundle::main().bundleIdentifier();
  if (identifier.empty()) return std::nullopt;
  return identifier;
}

}  // namespace

// Settings keys are kept lower-cased.
VLApplicationInfo::VLApplicationInfo(const platform::Value& settings)
    : platformVersion_(stringIn(settings, "defaultplatformversion")),
      nativeShellVersion_(stringIn(settings, "nativeshellversion")),
      appVersion_(
          stringIn(platform::Bundle::main().infoDictionary(), "CFBundleShortVersionString")),
      appVersionNumber_(stringIn(platform::Bundle::main().infoDictionary(), "CFBundleVersion")),
      appPackageIdentifier_(packageIdentifier()) {}

std::shared_ptr<VLApplicationInfo> VLApplicationInfo::initializeWithSettings(
    const platform::Value& settings) {
  auto info = std::make_shared<VLApplicationInfo>(settings);
  std::lock_guard lock(gSharedMutex);
  if (gShared) gShared->replaced_ = true;
  gShared = info;
  return info;
}

std::shared_ptr<VLApplicationInfo> VLApplicationInfo::sharedInstance() {
  std::lock_guard lock(gSharedMutex);
  return gShared;
}

void VLApplicationInfo::resetForTesting() {
  std::lock_guard lock(gSharedMutex);
  gShared.reset();
}

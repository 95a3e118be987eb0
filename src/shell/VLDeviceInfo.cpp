#include "shell/VLDeviceInfo.h"

#include "host/HBRCommandDelegate.h"
#include "host/plugins/HBRConnection.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/ui/Device.h"

namespace {

constexpr int kHarborMajor = 6;
constexpr int kHarborMinor = 2;
constexpr int kHarborPatch = 0;

void put(platform::Value& dictionary, const char* key, const VLDeviceInfo::Text& value) {
  if (value) dictionary[key] = *value;
}

}  // namespace

std::shared_ptr<VLDeviceInfo> VLDeviceInfo::sharedInstanceWithCommandDelegate(
    const std::shared_ptr<HBRCommandDelegate>& commandDelegate,
    const std::shared_ptr<VLApplicationInfoProtocol>& applicationInfo) {
  static const std::shared_ptr<VLDeviceInfo> shared =
      initWithCommandDelegate(commandDelegate, applicationInfo);
  return shared;
}

std::shared_ptr<VLDeviceInfo> VLDeviceInfo::sharedInstance() {
  static const std::shared_ptr<VLDeviceInfo> shared =
      std::make_shared<VLDeviceInfo>(false, nullptr, nullptr);
  return shared;
}

std::string VLDeviceInfo::getHarborVersion() {
  return platform::stringf("%d.%d.%d", kHarborMajor, kHarborMinor, kHarborPatch);
}

VLDeviceInfo::VLDeviceInfo(bool hasDevice,
                           const std::shared_ptr<HBRCommandDelegate>& commandDelegate,
                           std::shared_ptr<VLApplicationInfoProtocol> applicationInfo)
    : hasDevice_(hasDevice),
      commandDelegate_(commandDelegate),
      applicationInfo_(std::move(applicationInfo)) {
  if (platform::MainLoop::isMainThread()) networkPlugin();
}

std::shared_ptr<VLDeviceInfo> VLDeviceInfo::initWithCommandDelegate(
    const std::shared_ptr<HBRCommandDelegate>& commandDelegate,
    const std::shared_ptr<VLApplicationInfoProtocol>& applicationInfo) {
  return std::make_shared<VLDeviceInfo>(true, commandDelegate, applicationInfo);
}

std::shared_ptr<VLApplicationInfoProtocol> VLDeviceInfo::applicationInfo() const {
  auto kept = std::dynamic_pointer_cast<VLApplicationInfo>(applicationInfo_);
  if (kept && kept->wasReplaced()) return VLApplicationInfo::sharedInstance();
  return applicationInfo_;
}

platform::Value VLDeviceInfo::getDeviceInfo() const {
  platform::Value info = platform::Value::object();
  put(info, "DeviceModel", getDeviceModel());
  put(info, "DeviceUUID", getDeviceUUID());
  auto platformName = getDevicePlatform();
  auto version = getDeviceOSVersion();
  if (platformName && version) info["OperatingSystem"] = *platformName + " " + *version;
  info["Harbor"] = getHarborVersion();
  put(info, "NativeShell", getNativeShellVersion());
  auto type = getNetworkType();
  put(info, "NetworkType", type);
  info["NetworkStatus"] = type == "none" ? "Offline" : "Online";
  return info;
}

platform::Value VLDeviceInfo::getDeviceAndAppInfo() const {
  platform::Value info = getDeviceInfo();
  put(info, "AppVersionCode", getAppVersionCode());
  put(info, "AppVersionName", getAppVersionName());
  return info;
}

VLDeviceInfo::Text VLDeviceInfo::getDeviceModel() const {
  if (!hasDevice_) return std::nullopt;
  return platform::ui::Device::model();
}

VLDeviceInfo::Text VLDeviceInfo::getDevicePlatform() const {
  if (!hasDevice_) return std::nullopt;
  return platform::ui::Device::systemName();
}

VLDeviceInfo::Text VLDeviceInfo::getDeviceOSVersion() const {
  if (!hasDevice_) return std::nullopt;
  return platform::ui::Device::operatingSystemVersion();
}

VLDeviceInfo::Text VLDeviceInfo::getDeviceUUID() const { return uniqueAppInstanceIdentifier(); }

std::string VLDeviceInfo::uniqueAppInstanceIdentifier() {
  return platform::ui::Device::installationIdentifier();
}

VLDeviceInfo::Text VLDeviceInfo::getNativeShellVersion() const {
  auto info = applicationInfo();
  return info ? info->getNativeShellVersion() : std::nullopt;
}

VLDeviceInfo::Text VLDeviceInfo::getAppVersionCode() const {
  auto info = applicationInfo();
  return info ? info->getAppVersionNumber() : std::nullopt;
}

VLDeviceInfo::Text VLDeviceInfo::getAppVersionName() const {
  auto info = applicationInfo();
  return info ? info->getAppVersion() : std::nullopt;
}

VLDeviceInfo::Text VLDeviceInfo::getPlatformVersion() const {
  auto info = applicationInfo();
  return info ? info->getPlatformVersion() : std::nullopt;
}

std::shared_ptr<HBRConnection> VLDeviceInfo::networkPlugin() const {
  auto delegate = commandDelegate_.lock();
  if (!delegate) return nullptr;
  std::unique_lock lock(networkMutex_);
  if (auto known = networkPlugin_.lock()) return known;
  if (platform::MainLoop::isMainThread()) {
    lock.unlock();
    auto found =
        std::dynamic_pointer_cast<HBRConnection>(delegate->getCommandInstance("NetworkStatus"));
    lock.lock();
    networkPlugin_ = found;
    return found;
  }
  // Off the main thread the plugin is looked up there for the next call; this one goes on
  // without it (as without a network plugin: online).
  std::weak_ptr<const VLDeviceInfo> weakSelf = weak_from_this();
  if (!lookupPending_ && !weakSelf.expired()) {
    lookupPending_ = true;
    std::weak_ptr<HBRCommandDelegate> weakDelegate = delegate;
    platform::MainLoop::post([weakSelf, weakDelegate] {
      auto self = weakSelf.lock();
      if (!self) return;
      std::shared_ptr<HBRConnection> found;
      if (auto delegate = weakDelegate.lock())
        found =
            std::dynamic_pointer_cast<HBRConnection>(delegate->getCommandInstance("NetworkStatus"));
      std::lock_guard lock(self->networkMutex_);
      self->networkPlugin_ = found;
      self->lookupPending_ = false;
    });
  }
  return nullptr;
}

VLDeviceInfo::Text VLDeviceInfo::getNetworkType() const {
  auto plugin = networkPlugin();
  if (!plugin) return std::nullopt;
  return plugin->connectionType();
}

std::string VLDeviceInfo::getNetworkStatus() const { return isConnected() ? "Online" : "Offline"; }

bool VLDeviceInfo::isConnected() const { return getNetworkType() != "none"; }

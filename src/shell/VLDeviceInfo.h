#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"
#include "shell/VLApplicationInfo.h"

class HBRCommandDelegate;
class HBRConnection;

// What the logs say about the device and the application: model, operating system, device
// identifier, Harbor and native shell versions, application version and network state. Every
// getter reads the current state and is safe from any thread.
//
// Application information that has been replaced by a later initialisation is never used:
// the current shared one takes its place.
class VLDeviceInfo : public std::enable_shared_from_this<VLDeviceInfo> {
 public:
  using Text = std::optional<std::string>;

  // The shared instance, made once from the first call's arguments.
  static std::shared_ptr<VLDeviceInfo> sharedInstanceWithCommandDelegate(
      const std::shared_ptr<HBRCommandDelegate>& commandDelegate,
      const std::shared_ptr<VLApplicationInfoProtocol>& applicationInfo);
  // A second, separate shared instance without device, command delegate or application
  // information.
  static std::shared_ptr<VLDeviceInfo> sharedInstance();
  static std::string getHarborVersion();

  VLDeviceInfo(bool hasDevice, const std::shared_ptr<HBRCommandDelegate>& commandDelegate,
               std::shared_ptr<VLApplicationInfoProtocol> applicationInfo);
  // The device is the current one.
  static std::shared_ptr<VLDeviceInfo> initWithCommandDelegate(
      const std::shared_ptr<HBRCommandDelegate>& commandDelegate,
      const std::shared_ptr<VLApplicationInfoProtocol>& applicationInfo);

  // "DeviceModel", "DeviceUUID", "OperatingSystem", "Harbor", "NativeShell", "NetworkType",
  // "NetworkStatus"; absent values leave their keys out.
  platform::Value getDeviceInfo() const;
  // The same with "AppVersionCode" and "AppVersionName".
  platform::Value getDeviceAndAppInfo() const;

  Text getDeviceModel() const;
  Text getDevicePlatform() const;
  Text getDeviceOSVersion() const;
  Text getDeviceUUID() const;
  Text getNativeShellVersion() const;
  Text getAppVersionCode() const;
  Text getAppVersionName() const;
  Text getPlatformVersion() const;
  // The network plugin's connection type ("none", "wifi", ...); absent without one.
  Text getNetworkType() const;
  // "Offline" only when the type is "none".
  std::string getNetworkStatus() const;
  bool isConnected() const;
  bool isVirtual() const { return false; }
  bool getIsVirtual() const { return isVirtual(); }

  // The per-installation identifier stored under "HBRUUID".
  static std::string uniqueAppInstanceIdentifier();

  std::shared_ptr<VLApplicationInfoProtocol> applicationInfo() const;

 private:
  std::shared_ptr<HBRConnection> networkPlugin() const;

  const bool hasDevice_;
  const std::weak_ptr<HBRCommandDelegate> commandDelegate_;
  const std::shared_ptr<VLApplicationInfoProtocol> applicationInfo_;
  // The network plugin, found on the main thread (the plugin table lives there) and
  // remembered, so that other threads never touch the table.
  mutable std::mutex networkMutex_;
  mutable std::weak_ptr<HBRConnection> networkPlugin_;
  mutable bool lookupPending_ = false;
};

#include "plugins/device/HBRDevice.h"

#include "host/HBRCommandDelegate.h"
#include "host/HBRPluginResult.h"
#include "platform/ui/Device.h"
#include "shell/VLDeviceInfo.h"

HBRDevice::HBRDevice() { registerAction("getDeviceInfo", &HBRDevice::getDeviceInfo); }

void HBRDevice::getDeviceInfo(const HBRInvokedUrlCommand& command) {
  auto delegate = commandDelegate();
  if (!delegate) return;
  // The first answer reads machine files and writes the identifier: not on the main thread.
  std::weak_ptr<HBRCommandDelegate> weak = delegate;
  auto callbackId = command.callbackId();
  delegate->runInBackground([weak, callbackId] {
    if (auto alive = weak.lock())
      alive->sendPluginResult(HBRPluginResult::resultWithStatus(HBRResultStatus::OK, deviceProperties()), callbackId);
  });
}

std::string HBRDevice::uniqueAppInstanceIdentifier() { return VLDeviceInfo::uniqueAppInstanceIdentifier(); }

platform::Value HBRDevice::deviceProperties() {
  platform::Value properties = platform::Value::object();
  // Maker, platform and version are what web applications written for this bridge test
  // against; the model is the machine's own.
  properties["manufacturer"] = "Apple";
  properties["model"] = platform::ui::Device::model();
  properties["platform"] = "iOS";
  properties["version"] = platform::ui::Device::systemVersion();
  properties["uuid"] = uniqueAppInstanceIdentifier();
  properties["harbor"] = harborVersion();
  properties["isVirtual"] = isVirtual();
  properties["isiOSAppOnMac"] = isiOSAppOnMac();
  return properties;
}

std::string HBRDevice::harborVersion() { return VLDeviceInfo::getHarborVersion(); }

void HBRRegisterDevicePlugin() { HBRRegisterBuiltInPluginClass<HBRDevice>("HBRDevice"); }

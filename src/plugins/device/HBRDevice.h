#pragma once

#include <string>

#include "host/HBRPlugin.h"
#include "platform/foundation/Value.h"

// Answers the web application's question about the device it runs on with one dictionary:
// maker, model, platform, system version, the per-installation identifier, the bridge
// version and two environment flags.
class HBRDevice : public HBRPlugin {
 public:
  HBRDevice();
  std::string className() const override { return "HBRDevice"; }

  // OK with the device dictionary.
  void getDeviceInfo(const HBRInvokedUrlCommand& command);

  // The per-installation identifier, stored under "HBRUUID" with the one rule the logger's
  // device information shares.
  static std::string uniqueAppInstanceIdentifier();
  // "manufacturer", "model", "platform", "version", "uuid", "harbor", "isVirtual",
  // "isiOSAppOnMac".
  static platform::Value deviceProperties();
  // A desktop is never a simulator, nor a phone application running on a Mac.
  static bool isVirtual() { return false; }
  static bool isiOSAppOnMac() { return false; }
  // "6.2.0".
  static std::string harborVersion();
};

// Registers HBRDevice under its class name (unless the program registered its own first).
void HBRRegisterDevicePlugin();

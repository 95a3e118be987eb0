#pragma once

#include "host/HBRPlugin.h"

// Makes the shared application information from the settings at start and gives its five
// values to JavaScript. It must start before the logger plugin, which reads them.
class VLApplicationInfoPlugin : public HBRPlugin {
 public:
  VLApplicationInfoPlugin();
  std::string className() const override { return "VLApplicationInfoPlugin"; }

  void pluginInitialize() override;

  // Each answers OK with its value as a string message, or with no message when the value is
  // absent.
  void getPlatformVersion(const HBRInvokedUrlCommand& command);
  void getNativeShellVersion(const HBRInvokedUrlCommand& command);
  void getAppVersion(const HBRInvokedUrlCommand& command);
  void getAppVersionNumber(const HBRInvokedUrlCommand& command);
  void getAppPackageIdentifier(const HBRInvokedUrlCommand& command);
};

// A plugin with nothing to do: packages name it, so it must exist.
class VLInspectorPlugin : public HBRPlugin {
 public:
  std::string className() const override { return "VLInspectorPlugin"; }
};

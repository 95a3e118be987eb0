#pragma once

#include <memory>

#include "host/HBRPlugin.h"
#include "shell/VLDeviceInfo.h"
#include "shell/VLLoggerProtocol.h"

// Puts the logger into service at start (device information, the engine from the settings
// "DefaultHostname", "DefaultApplicationURL", "veltro.app.key", "veltro.env.key" and
// "veltro.tenant.key", and the web view's application name as user agent) and lets the web
// application log through it.
//
// The page is not trusted: an action with too few arguments or an argument of the wrong type
// answers an error (status 9) with a message that says which, and logs nothing. Every action
// that logs answers OK with no message; "deviceReady" answers nothing.
class VLLoggerPlugin : public HBRPlugin {
 public:
  VLLoggerPlugin();
  std::string className() const override { return "VLLoggerPlugin"; }

  void pluginInitialize() override;

  // [message, module]; logError also [.., extra (object or null), stack (string or null)].
  void logVerbose(const HBRInvokedUrlCommand& command);
  void logDebug(const HBRInvokedUrlCommand& command);
  void logInfo(const HBRInvokedUrlCommand& command);
  void logWarning(const HBRInvokedUrlCommand& command);
  void logError(const HBRInvokedUrlCommand& command);
  // [record]: a dictionary with "message", "source", "attributes", "instant" (and "stack").
  void v2LogTrace(const HBRInvokedUrlCommand& command);
  void v2LogDebug(const HBRInvokedUrlCommand& command);
  void v2LogInfo(const HBRInvokedUrlCommand& command);
  void v2LogWarning(const HBRInvokedUrlCommand& command);
  void v2LogError(const HBRInvokedUrlCommand& command);
  void deviceReady(const HBRInvokedUrlCommand& command);

  // The device information made at start; before that, the plain shared one, which is then
  // kept.
  static std::shared_ptr<VLDeviceInfo> getDeviceInfoInstance();
  // Forgets the device information made at start (tests only).
  static void resetForTesting();

  std::shared_ptr<VLLoggerProtocol> logger() const { return logger_; }

 private:
  void legacyLog(const HBRInvokedUrlCommand& command, std::int64_t level);
  void v2Log(const HBRInvokedUrlCommand& command, std::int64_t level);
  void answer(const HBRInvokedUrlCommand& command, const std::string& error = "");

  std::shared_ptr<VLLoggerProtocol> logger_;
};

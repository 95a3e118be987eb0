#include "shell/VLApplicationInfoPlugin.h"

#include "host/HBRCommandDelegate.h"
#include "host/HBRPluginResult.h"
#include "platform/foundation/Log.h"
#include "shell/VLApplicationInfo.h"

namespace {

using Getter = VLApplicationInfoProtocol::Text (VLApplicationInfoProtocol::*)() const;

void answer(HBRPlugin& plugin, const HBRInvokedUrlCommand& command, Getter getter) {
  auto delegate = plugin.commandDelegate();
  if (!delegate) return;
  platform::Value message;
  if (auto info = VLApplicationInfo::sharedInstance())
    if (auto value = ((*info).*getter)()) message = *value;
  delegate->sendPluginResult(HBRPluginResult::resultWithStatus(HBRResultStatus::OK, message),
                             command.callbackId());
}

}  // namespace

VLApplicationInfoPlugin::VLApplicationInfoPlugin() {
  registerAction("getPlatformVersion", &VLApplicationInfoPlugin::getPlatformVersion);
  registerAction("getNativeShellVersion", &VLApplicationInfoPlugin::getNativeShellVersion);
  registerAction("getAppVersion", &VLApplicationInfoPlugin::getAppVersion);
  registerAction("getAppVersionNumber", &VLApplicationInfoPlugin::getAppVersionNumber);
  registerAction("getAppPackageIdentifier", &VLApplicationInfoPlugin::getAppPackageIdentifier);
}

void VLApplicationInfoPlugin::pluginInitialize() {
  platform::log("Plugin Itilialize: started");
  auto delegate = commandDelegate();
  VLApplicationInfo::initializeWithSettings(delegate ? delegate->settings()
                                                     : platform::Value::object());
  platform::log("Plugin Itilialize: finished");
}

void VLApplicationInfoPlugin::getPlatformVersion(const HBRInvokedUrlCommand& command) {
  answer(*this, command, &VLApplicationInfoProtocol::getPlatformVersion);
}
void VLApplicationInfoPlugin::getNativeShellVersion(const HBRInvokedUrlCommand& command) {
  answer(*this, command, &VLApplicationInfoProtocol::getNativeShellVersion);
}
void VLApplicationInfoPlugin::getAppVersion(const HBRInvokedUrlCommand& command) {
  answer(*this, command, &VLApplicationInfoProtocol::getAppVersion);
}
void VLApplicationInfoPlugin::getAppVersionNumber(const HBRInvokedUrlCommand& command) {
  answer(*this, command, &VLApplicationInfoProtocol::getAppVersionNumber);
}
void VLApplicationInfoPlugin::getAppPackageIdentifier(const HBRInvokedUrlCommand& command) {
  answer(*this, command, &VLApplicationInfoProtocol::getAppPackageIdentifier);
}

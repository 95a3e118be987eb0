#include "plugins/E2EDevicePlugins.h"

#include <cstdlib>

#include "host/HBRCommandDelegate.h"
#include "host/HBRPluginResult.h"

E2EEnvironment::E2EEnvironment() { registerAction("get", &E2EEnvironment::get); }

void E2EEnvironment::get(const HBRInvokedUrlCommand& command) {
  auto delegate = commandDelegate();
  if (!delegate) return;
  std::string name = command.argumentAtIndex(0, "", HBRArgumentKind::String).get<std::string>();
  platform::Value value = nullptr;
  if (!name.empty() && name.size() < 64 && name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_") == std::string::npos)
    if (const char* set = std::getenv(("VELTRO_E2E_" + name).c_str())) value = set;
  delegate->sendPluginResult(HBRPluginResult::resultWithStatus(HBRResultStatus::OK, value), command.callbackId());
}

void registerE2EDevicePlugins() { HBRRegisterPluginClass<E2EEnvironment>("E2EEnvironment"); }

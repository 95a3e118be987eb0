#include "host/plugins/HBRLogger.h"

#include "platform/foundation/JSONText.h"
#include "platform/foundation/Log.h"

namespace {

// A console line may carry anything JavaScript can send: strings are written as they are,
// a missing argument as the platform writes nothing, other values as JSON.
std::string describe(const platform::Value& value) {
  if (value.is_null()) return "(null)";
  if (value.is_string()) return value.get<std::string>();
  // Writing JSON recurses on the nesting; a page's value is measured first.
  if (platform::nestedDeeperThan(value)) return "(a value nested too deep to write)";
  return platform::jsonText(value);
}

}  // namespace

HBRLogger::HBRLogger() { registerAction("logLevel", &HBRLogger::logLevel); }

void HBRLogger::logLevel(const HBRInvokedUrlCommand& command) {
  const platform::Value& level = command.argumentAtIndex(0);
  std::string message = describe(command.argumentAtIndex(1));
  if (level.is_string() && level.get<std::string>() == "LOG") {
    platform::log(message);
  } else {
    platform::log(describe(level) + ": " + message);
  }
}

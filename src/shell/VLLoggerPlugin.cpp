#include "shell/VLLoggerPlugin.h"

#include <mutex>

#include "host/HBRCommandDelegate.h"
#include "host/HBRPluginResult.h"
#include "platform/webkit/WebView.h"
#include "shell/VLApplicationInfo.h"
#include "shell/VLHTTPFactory.h"
#include "shell/VLLogRecord.h"
#include "shell/VLLogger.h"
#include "shell/VLRoruvLogger.h"

using platform::Value;

namespace {

std::mutex gDeviceInfoMutex;
std::shared_ptr<VLDeviceInfo> gDeviceInfo;

std::optional<std::string> settingText(const Value& settings, const char* lowerCasedKey) {
  if (!settings.is_object()) return std::nullopt;
  auto it = settings.find(lowerCasedKey);
  if (it == settings.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

// A text argument: a string, or null / absent for none. Anything else is an error.
bool textArgument(const Value& arguments, size_t index, const char* name,
                  std::optional<std::string>& into, std::string& error) {
  if (index >= arguments.size() || arguments[index].is_null()) return true;
  if (!arguments[index].is_string()) {
    error = std::string("The ") + name + " must be a string.";
    return false;
  }
  into = arguments[index].get<std::string>();
  return true;
}

}  // namespace

VLLoggerPlugin::VLLoggerPlugin() {
  registerAction("logVerbose", &VLLoggerPlugin::logVerbose);
  registerAction("logDebug", &VLLoggerPlugin::logDebug);
  registerAction("logInfo", &VLLoggerPlugin::logInfo);
  registerAction("logWarning", &VLLoggerPlugin::logWarning);
  registerAction("logError", &VLLoggerPlugin::logError);
  registerAction("v2LogTrace", &VLLoggerPlugin::v2LogTrace);
  registerAction("v2LogDebug", &VLLoggerPlugin::v2LogDebug);
  registerAction("v2LogInfo", &VLLoggerPlugin::v2LogInfo);
  registerAction("v2LogWarning", &VLLoggerPlugin::v2LogWarning);
  registerAction("v2LogError", &VLLoggerPlugin::v2LogError);
  registerAction("deviceReady", &VLLoggerPlugin::deviceReady);
}

void VLLoggerPlugin::pluginInitialize() {
  auto applicationInfo = VLApplicationInfo::sharedInstance();
  auto delegate = commandDelegate();
  auto deviceInfo = VLDeviceInfo::sharedInstanceWithCommandDelegate(delegate, applicationInfo);
  {
    std::lock_guard lock(gDeviceInfoMutex);
    gDeviceInfo = deviceInfo;
  }
  // The facade keeps the first engine for good: a second plugin builds no pipeline of its own.
  if (auto existing = VLLogger::sharedInstance()) {
    logger_ = existing;
    return;
  }
  Value settings = delegate ? delegate->settings() : Value::object();
  std::optional<std::string> userAgent;
  if (auto view = webView()) userAgent = view->configuration().applicationNameForUserAgent;
  if (!userAgent) userAgent = VLHTTPFactory::fallbackUserAgent();

  auto engine = std::make_shared<VLRoruvLogger>(
      settingText(settings, "defaulthostname"), settingText(settings, "defaultapplicationurl"),
      settingText(settings, "veltro.app.key"), settingText(settings, "veltro.env.key"),
      settingText(settings, "veltro.tenant.key"), userAgent, applicationInfo, deviceInfo);
  VLLogger::initializeWithEngine(engine);
  logger_ = VLLogger::sharedInstance();
}

std::shared_ptr<VLDeviceInfo> VLLoggerPlugin::getDeviceInfoInstance() {
  std::lock_guard lock(gDeviceInfoMutex);
  if (!gDeviceInfo) gDeviceInfo = VLDeviceInfo::sharedInstance();
  return gDeviceInfo;
}

void VLLoggerPlugin::resetForTesting() {
  std::lock_guard lock(gDeviceInfoMutex);
  gDeviceInfo.reset();
}

void VLLoggerPlugin::answer(const HBRInvokedUrlCommand& command, const std::string& error) {
  auto delegate = commandDelegate();
  if (!delegate) return;
  auto result = error.empty()
                    ? HBRPluginResult::resultWithStatus(HBRResultStatus::OK)
                    : HBRPluginResult::resultWithStatusAsString(HBRResultStatus::Error, error);
  delegate->sendPluginResult(result, command.callbackId());
}

void VLLoggerPlugin::legacyLog(const HBRInvokedUrlCommand& command, std::int64_t level) {
  const Value& arguments = command.arguments();
  if (!arguments.is_array() || arguments.size() < 2)
    return answer(command, "A message and a module are required.");
  std::optional<std::string> message, module, stack;
  std::string error;
  if (!textArgument(arguments, 0, "message", message, error) ||
      !textArgument(arguments, 1, "module", module, error))
    return answer(command, error);
  Value extra;
  if (level == VLLogLevelError) {
    if (arguments.size() > 2 && !arguments[2].is_null()) {
      if (!arguments[2].is_object()) return answer(command, "The extra data must be an object.");
      extra = arguments[2];
    }
    if (!textArgument(arguments, 3, "stack", stack, error)) return answer(command, error);
  }
  if (logger_) {
    const std::string& text = message ? *message : std::string();
    const std::string& name = module ? *module : std::string();
    switch (level) {
      case VLLogLevelVerbose:
        logger_->logVerbose(text, name);
        break;
      case VLLogLevelDebug:
        logger_->logDebug(text, name);
        break;
      case VLLogLevelInfo:
        logger_->logInfo(text, name);
        break;
      case VLLogLevelWarning:
        logger_->logWarning(text, name);
        break;
      default:
        logger_->logError(text, name, extra, stack);
        break;
    }
  }
  answer(command);
}

void VLLoggerPlugin::v2Log(const HBRInvokedUrlCommand& command, std::int64_t level) {
  const Value& arguments = command.arguments();
  if (!arguments.is_array() || arguments.empty() || !arguments[0].is_object())
    return answer(command, "The log record must be an object.");
  std::string error;
  auto record = VLLogRecord::initWithDictionary(arguments[0], error);
  if (!record) return answer(command, error);
  if (logger_) {
    const std::string message = record->message().value_or("");
    const std::string source = record->source().value_or("");
    const Value& attributes = record->attributes();
    const auto& instant = record->instant();
    switch (level) {
      case VLLogLevelTrace:
        logger_->logTrace(message, source, attributes, instant);
        break;
      case VLLogLevelDebug:
        logger_->logDebug(message, source, attributes, instant);
        break;
      case VLLogLevelInfo:
        logger_->logInfo(message, source, attributes, instant);
        break;
      case VLLogLevelWarning:
        logger_->logWarning(message, source, attributes, instant);
        break;
      default:
        logger_->logError(message, source, attributes, record->stack(), instant);
        break;
    }
  }
  answer(command);
}

void VLLoggerPlugin::logVerbose(const HBRInvokedUrlCommand& command) {
  legacyLog(command, VLLogLevelVerbose);
}
void VLLoggerPlugin::logDebug(const HBRInvokedUrlCommand& command) {
  legacyLog(command, VLLogLevelDebug);
}
void VLLoggerPlugin::logInfo(const HBRInvokedUrlCommand& command) {
  legacyLog(command, VLLogLevelInfo);
}
void VLLoggerPlugin::logWarning(const HBRInvokedUrlCommand& command) {
  legacyLog(command, VLLogLevelWarning);
}
void VLLoggerPlugin::logError(const HBRInvokedUrlCommand& command) {
  legacyLog(command, VLLogLevelError);
}
void VLLoggerPlugin::v2LogTrace(const HBRInvokedUrlCommand& command) {
  v2Log(command, VLLogLevelTrace);
}
void VLLoggerPlugin::v2LogDebug(const HBRInvokedUrlCommand& command) {
  v2Log(command, VLLogLevelDebug);
}
void VLLoggerPlugin::v2LogInfo(const HBRInvokedUrlCommand& command) {
  v2Log(command, VLLogLevelInfo);
}
void VLLoggerPlugin::v2LogWarning(const HBRInvokedUrlCommand& command) {
  v2Log(command, VLLogLevelWarning);
}
void VLLoggerPlugin::v2LogError(const HBRInvokedUrlCommand& command) {
  v2Log(command, VLLogLevelError);
}
void VLLoggerPlugin::deviceReady(const HBRInvokedUrlCommand&) {}

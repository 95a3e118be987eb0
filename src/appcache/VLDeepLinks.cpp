#include "appcache/VLDeepLinks.h"

#include "host/HBRCommandDelegate.h"
#include "host/HBRPluginResult.h"
#include "host/HBRSettings.h"
#include "host/HBRWebViewEngineProtocol.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Strings.h"
#include "platform/net/URLRequest.h"
#include "platform/ui/Application.h"
#include "shell/VLLogger.h"

namespace {

void logDebug(const std::string& message) {
  if (auto logger = VLLogger::sharedInstance()) logger->logDebug(message, VLDeepLinks::kLogModule);
}

// A preference read the way the platform reads a string as a boolean; what a plugin may have
// written there in place of a string counts too, anything else is false.
bool boolPreference(const platform::Value& settings, const std::string& key) {
  auto value = harborSettingForKey(settings, key);
  if (!value) return false;
  if (value->is_string()) return platform::boolValue(value->get<std::string>());
  if (value->is_boolean()) return value->get<bool>();
  if (value->is_number()) return value->get<double>() != 0;
  return false;
}

// Replaces every occurrence of `from` in `text`, scanning on past each replacement.
std::string replacingOccurrences(std::string text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

}  // namespace

VLDeepLinks::VLDeepLinks() {
  registerAction("deviceready", &VLDeepLinks::deviceready);
  registerAction("trigger", &VLDeepLinks::trigger);
}

void VLDeepLinks::pluginInitialize() {
  auto delegate = commandDelegate();
  platform::Value settings = delegate ? delegate->settings() : platform::Value::object();
  defaultHostname_ = harborStringSettingForKey(settings, "DefaultHostname").value_or("");
  defaultApplication_ = harborStringSettingForKey(settings, "DefaultApplicationURL").value_or("");
  harborWebviewEngine_ = harborStringSettingForKey(settings, "HarborWebviewEngine").value_or("");
  handlerType_ = handlerTypeFromString(harborStringSettingForKey(settings, "DeepLinksHandlerType"),
                                       boolPreference(settings, "DisableVLDeepLinks"));

  // The plain open-URL plugin would hand the same links to the page a second time.
  if (delegate) {
    if (auto plain = std::dynamic_pointer_cast<HBRPlugin>(delegate->getCommandInstance("HandleOpenUrl")))
      platform::NotificationCenter::defaultCenter().removeObserver(plain.get());
  }

  auto& center = platform::NotificationCenter::defaultCenter();
  // The observers go with the plugin: the base class removes every observer it owns.
  center.addObserver(this, platform::ui::kApplicationDidEnterBackgroundNotification, nullptr,
                     [this](const platform::Notification&) { onPause(); });
  center.addObserver(this, platform::ui::kApplicationWillEnterForegroundNotification, nullptr,
                     [this](const platform::Notification&) { onResume(); });
}

void VLDeepLinks::onPause() { setDeviceReady(false); }
void VLDeepLinks::onResume() { setDeviceReady(true); }
// The page that listened on the channel is going; what it would be sent now would be lost.
void VLDeepLinks::onReset() { setDeviceReady(false); }

const std::map<unsigned, std::string>& VLDeepLinks::handlerTypeDisplayNames() {
  static const std::map<unsigned, std::string> names{{HandlerTypeFunction, "function"},
                                                     {HandlerTypeEvent, "event"},
                                                     {HandlerTypeDefault, "default"},
                                                     {HandlerTypeLegacy, "legacy"}};
  return names;
}

std::string VLDeepLinks::handlerTypeToString() const {
  const auto& names = handlerTypeDisplayNames();
  auto it = names.find(handlerType_);
  return it == names.end() ? std::string() : it->second;
}

unsigned VLDeepLinks::handlerTypeFromString(const std::optional<std::string>& name, bool disableVLDeepLinks) {
  if (name) {
    for (const auto& [type, typeName] : handlerTypeDisplayNames())
      if (*name == typeName) return type;
  }
  return disableVLDeepLinks ? HandlerTypeFunction : HandlerTypeDefault;
}

void VLDeepLinks::sendUpdateToJSApi(const platform::Value& update) {
  auto delegate = commandDelegate();
  if (!delegate) return;
  auto result = HBRPluginResult::resultWithStatus(HBRResultStatus::OK, update);
  result->setKeepCallbackAsBool(true);
  delegate->sendPluginResult(result, std::string(kChannel));
}

void VLDeepLinks::sendURLToWebview(const platform::URL& url) {
  sendUpdateToJSApi(platform::Value{{"URL", url.absoluteString()}, {"Type", handlerTypeToString()}});
}

void VLDeepLinks::loadUrlIntoWebview(const platform::URL& url) {
  // The web view is the main thread's; the plugin may be gone by the time that turn comes.
  std::weak_ptr<platform::Object> weakSelf = weak_from_this();
  platform::MainLoop::post([weakSelf, url] {
    auto self = std::dynamic_pointer_cast<VLDeepLinks>(weakSelf.lock());
    if (!self) return;
    if (auto engine = self->webViewEngine()) engine->loadRequest(platform::URLRequest(url));
  });
}

void VLDeepLinks::applyUrlToWebview(const platform::URL& url) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!deviceReady_) {
    url_ = url;
    return;
  }
  if (handlerType_ == HandlerTypeLegacy)
    loadUrlIntoWebview(url);
  else
    sendURLToWebview(url);
  url_.reset();
}

void VLDeepLinks::deviceready(const HBRInvokedUrlCommand& command) {
  handleDeviceReady();
  if (auto delegate = commandDelegate())
    delegate->sendPluginResult(HBRPluginResult::resultWithStatus(HBRResultStatus::OK), command.callbackId());
}

void VLDeepLinks::trigger(const HBRInvokedUrlCommand&) { handleTrigger(); }

void VLDeepLinks::handleDeviceReady() { setDeviceReady(true); }

void VLDeepLinks::handleTrigger() {
  // Checking and applying under one hold of the lock: a link that arrives in between is
  // neither lost nor delivered twice.
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (url_) applyUrlToWebview(*url_);
}

void VLDeepLinks::handleOpenURL(const platform::Notification& notification) {
  std::optional<platform::URL> url;
  if (notification.object.is_string()) url = platform::URL::parse(notification.object.get<std::string>());
  if (!url) {
    logDebug("The open-URL notification carries no URL; ignored.");
    return;
  }
  if (!url->isAbsolute()) {
    logDebug("Unable to launch application with URL: " + url->absoluteString());
    return;
  }
  if (auto rewritten = rewrittenURL(*url)) applyUrlToWebview(*rewritten);
}

std::optional<platform::URL> VLDeepLinks::rewrittenURL(const platform::URL& url) const {
  if (platform::asciiLower(url.host()) != platform::asciiLower(defaultApplication_)) return std::nullopt;
  // Without a server and an application to send it to, a link has nowhere to go; it would
  // otherwise become an address with an empty host.
  if (defaultHostname_.empty() || defaultApplication_.empty()) {
    logDebug("No DefaultHostname or DefaultApplicationURL to open " + url.absoluteString() + " with; ignored.");
    return std::nullopt;
  }
  std::string oldPrefix = url.scheme() + "://" + url.host();
  std::string scheme = platform::asciiLower(harborWebviewEngine_) == "vlwkwebviewengine" ? "veltro" : "https";
  std::string newBase = scheme + "://" + defaultHostname_ + "/" + defaultApplication_;
  std::string result = replacingOccurrences(url.absoluteString(), oldPrefix, newBase);
  logDebug("URL string deeplink: " + result);
  if (url.path().empty() || !platform::startsWith(result, newBase)) return std::nullopt;
  return platform::URL::parse(result);
}

bool VLDeepLinks::deviceReady() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return deviceReady_;
}

std::optional<platform::URL> VLDeepLinks::url() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return url_;
}

void VLDeepLinks::setDeviceReady(bool ready) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  deviceReady_ = ready;
}

void VLRegisterDeepLinksPlugin() { HBRRegisterBuiltInPluginClass<VLDeepLinks>("VLDeepLinks"); }

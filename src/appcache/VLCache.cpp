#include "appcache/VLCache.h"

#include "appcache/VLPreBundle.h"
#include "host/HBRCommandDelegate.h"
#include "host/HBRPluginResult.h"
#include "host/HBRSettings.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Application.h"
#include "shell/VLLogger.h"

using platform::Value;

namespace {

constexpr const char* kModule = "VLCache";

void logVerbose(const std::string& message) {
  if (auto logger = VLLogger::sharedInstance()) logger->logVerbose(message, kModule);
}
void logError(const std::string& message) {
  if (auto logger = VLLogger::sharedInstance()) logger->logError(message, kModule);
}

// The string argument at `index`, or none (with a log line naming the action) when it is
// anything else.
std::optional<std::string> stringArgument(const HBRInvokedUrlCommand& command, size_t index,
                                          const char* name, const char* failure) {
  const Value& value = command.arguments().is_array() && index < command.arguments().size()
                           ? command.arguments()[index]
                           : HBRInvokedUrlCommand::nullValue();
  if (value.is_string()) return value.get<std::string>();
  logError(std::string(failure) + ": " + name + " is not a string");
  return std::nullopt;
}

// An optional object argument: null and absence count as none, and so does anything that is
// not an object (with a log line).
Value optionalObjectArgument(const HBRInvokedUrlCommand& command, size_t index, const char* name) {
  const Value& value = command.argumentAtIndex(index);
  if (value.is_null() || value.is_object()) return value;
  logError(std::string("Ignored the ") + name + " of startCaching: not a dictionary");
  return nullptr;
}

}  // namespace

VLCache::VLCache() {
  registerAction("deviceready", &VLCache::deviceready);
  registerAction("startCaching", &VLCache::startCaching);
  registerAction("switchToVersion", &VLCache::switchToVersion);
}

void VLCache::pluginInitialize() {
  logVerbose("pluginInitialize: started");
  auto& defaults = platform::UserDefaults::standard();
  const bool firstRun = defaults.object(kFirstRunKey).is_null();
  if (firstRun) {
    defaults.set(kFirstRunKey, "false");
    defaults.synchronize();
  }
  {
    std::lock_guard lock(mutex_);
    deviceReady_ = false;
    eventQueue_.clear();
  }
  double connectTimeout = kDefaultResourceConnectTimeout;
  double readTimeout = kDefaultResourceReadTimeout;
  if (auto delegate = commandDelegate()) {
    connectTimeout = harborFloatSettingForKey(delegate->settings(), "DefaultResourceConnectTimeout",
                                              kDefaultResourceConnectTimeout);
    readTimeout = harborFloatSettingForKey(delegate->settings(), "DefaultResourceReadTimeout",
                                           kDefaultResourceReadTimeout);
  }
  // Time-outs are floats on the platform this was written for.
  cacheEngine_ = VLNativeCache::sharedInstanceWithFirstRun(
      firstRun, static_cast<float>(connectTimeout), static_cast<float>(readTimeout));
  cacheEngine_->setDelegate(std::dynamic_pointer_cast<VLCache>(shared_from_this()));

  auto& center = platform::NotificationCenter::defaultCenter();
  center.addObserver(this, platform::ui::kApplicationDidEnterBackgroundNotification, nullptr,
                     [this](const platform::Notification&) { onPause(); });
  center.addObserver(this, platform::ui::kApplicationWillEnterForegroundNotification, nullptr,
                     [this](const platform::Notification&) { onResume(); });
  logVerbose("pluginInitialize: finished");
}

void VLCache::dispose() {
  auto& center = platform::NotificationCenter::defaultCenter();
  center.removeObserver(this, platform::ui::kApplicationDidEnterBackgroundNotification);
  center.removeObserver(this, platform::ui::kApplicationWillEnterForegroundNotification);
  // The engine outlives the page; a listener it kept would hold this plugin for ever.
  if (cacheEngine_ && cacheEngine_->delegate().get() == this) cacheEngine_->setDelegate(nullptr);
  HBRPlugin::dispose();
}

// ---- Actions ----

void VLCache::deviceready(const HBRInvokedUrlCommand& command) {
  const Value& arguments = command.arguments();
  std::optional<std::string> hostname, application;
  if (arguments.is_array() && arguments.size() >= 2) {
    hostname = stringArgument(command, 0, "the hostname", "Unable to set the current application");
    application =
        stringArgument(command, 1, "the application path", "Unable to set the current application");
  }
  handleDeviceReady(hostname, application);
}

void VLCache::startCaching(const HBRInvokedUrlCommand& command) {
  const Value& arguments = command.arguments();
  if (!arguments.is_array() || arguments.size() < 5) {
    logError("Unable to start caching: Missing command arguments");
    return;
  }
  const char* failure = "Unable to start caching";
  auto hostname = stringArgument(command, 0, "the hostname", failure);
  auto application = stringArgument(command, 1, "the application path", failure);
  auto version = stringArgument(command, 2, "the version token", failure);
  if (!hostname || !application || !version) {
    // The page waits for the end of its operation; it hears why there is none.
    fireOnErrorEvent("Caching operation was rejected: hostname, application and version must "
                     "be strings");
    fireOnFinishEvent();
    return;
  }
  // The engine refuses a resource list or mappings of the wrong shape with its own events.
  handleStartCaching(*hostname, *application, *version, arguments[3], arguments[4],
                     optionalObjectArgument(command, 5, "url mappings not cached"),
                     optionalObjectArgument(command, 6, "options"));
}

void VLCache::switchToVersion(const HBRInvokedUrlCommand& command) {
  const Value& arguments = command.arguments();
  if (!arguments.is_array() || arguments.size() < 3) {
    logError("Unable to switch version: Missing command arguments");
    return;
  }
  const char* failure = "Unable to switch version";
  auto hostname = stringArgument(command, 0, "the hostname", failure);
  auto application = stringArgument(command, 1, "the application path", failure);
  auto version = stringArgument(command, 2, "the version token", failure);
  if (hostname && application && version) handleSwitchVersion(*hostname, *application, *version);
}

// ---- Handlers ----

void VLCache::handleDeviceReady(const std::optional<std::string>& hostname,
                                const std::optional<std::string>& application) {
  logVerbose("handleDeviceReady: started");
  if (hostname && application && cacheEngine_) {
    auto delegate = commandDelegate();
    auto engine = cacheEngine_;
    auto work = [engine, hostname = *hostname, application = *application] {
      engine->setCurrentApplication(hostname, application);
    };
    if (delegate)
      delegate->runInBackground(work);
    else
      work();
  }
  std::lock_guard lock(mutex_);
  deviceReady_ = true;
  while (!eventQueue_.empty()) {
    sendLocked(eventQueue_.front().event);
    eventQueue_.pop_front();
  }
}

void VLCache::handleStartCaching(const std::string& hostname, const std::string& application,
                                 const std::string& version, const Value& resourceList,
                                 const Value& urlMaps, const Value& urlMapsNoCache,
                                 const Value& options) {
  auto engine = cacheEngine_;
  if (!engine) return;
  auto work = [engine, hostname, application, version, resourceList, urlMaps, urlMapsNoCache,
               options] {
    logVerbose("handleStartCaching: started");
    engine->startCaching(hostname, application, version, resourceList, urlMaps, urlMapsNoCache,
                         options);
  };
  if (auto delegate = commandDelegate())
    delegate->runInBackground(std::move(work));
  else
    work();
}

void VLCache::handleSwitchVersion(const std::string& hostname, const std::string& application,
                                  const std::string& version) {
  auto engine = cacheEngine_;
  if (!engine) return;
  auto work = [engine, hostname, application, version] {
    logVerbose("handleSwitchVersion: started");
    engine->switchToVersion(hostname, application, version);
  };
  if (auto delegate = commandDelegate())
    delegate->runInBackground(std::move(work));
  else
    work();
}

void VLCache::onPause() {
  std::lock_guard lock(mutex_);
  deviceReady_ = false;
}

void VLCache::onResume() { handleDeviceReady(std::nullopt, std::nullopt); }

void VLCache::onReset() {
  if (cacheEngine_) cacheEngine_->pageWillLoad();
}

bool VLCache::deviceReady() const {
  std::lock_guard lock(mutex_);
  return deviceReady_;
}

size_t VLCache::queuedEventCount() const {
  std::lock_guard lock(mutex_);
  return eventQueue_.size();
}

// ---- Events ----

Value VLCache::createUpdateObjectForTask(const std::optional<std::string>& task,
                                         const Value& content) {
  Value event = Value::object();
  if (task) event["Task"] = *task;
  if (!content.is_null()) event["Content"] = content;
  return event;
}

void VLCache::sendUpdateToJSApi(const Value& event) { enqueueOrSend(event, std::nullopt); }

void VLCache::enqueueOrSend(Value event, std::optional<std::string> progressVersion) {
  if (event.is_null()) return;
  std::lock_guard lock(mutex_);
  if (deviceReady_) {
    sendLocked(event);
    return;
  }
  if (progressVersion) {
    // Only the latest progress of a version is worth anything; it takes the place where it
    // was reported, so it still follows what came before it.
    for (auto it = eventQueue_.begin(); it != eventQueue_.end(); ++it) {
      if (it->progressVersion == progressVersion) {
        eventQueue_.erase(it);
        break;
      }
    }
  }
  eventQueue_.push_back({std::move(event), std::move(progressVersion)});
}

void VLCache::sendLocked(const Value& event) {
  auto delegate = commandDelegate();
  if (!delegate) return;
  auto result = HBRPluginResult::resultWithStatus(HBRResultStatus::OK, event);
  result->setKeepCallbackAsBool(true);
  delegate->sendPluginResult(result, std::string(VLCacheStaticChannel));
}

void VLCache::fireOnProgressEvent(std::int64_t processed, std::int64_t total) {
  std::string version;
  if (cacheEngine_)
    if (auto frame = cacheEngine_->ongoingCacheResources()) version = frame->versionToken();
  enqueueOrSend(createUpdateObjectForTask(
                    "FireEvent", Value{{"Event", "onprogress"},
                                       {"Progress", {{"Loaded", processed}, {"Total", total}}}}),
                version);
}

void VLCache::fireOnErrorEvent(const std::string& message) {
  sendUpdateToJSApi(createUpdateObjectForTask(
      "FireEvent", Value{{"Event", "onerror"}, {"Error", {{"Message", message}}}}));
}

void VLCache::fireOnFinishEvent() {
  sendUpdateToJSApi(createUpdateObjectForTask("FireEvent", Value{{"Event", "onfinish"}}));
}

void VLCache::updateStatus(std::int64_t status) {
  sendUpdateToJSApi(createUpdateObjectForTask("UpdateStatus", Value{{"Status", status}}));
}

void VLCache::throwException(const std::string& message) {
  sendUpdateToJSApi(createUpdateObjectForTask("Exception", Value{{"Error", message}}));
}

void VLRegisterCachePlugins() {
  HBRRegisterBuiltInPluginClass<VLCache>("VLCache");
  HBRRegisterBuiltInPluginClass<VLPreBundlePlugin>("VLPreBundlePlugin");
}

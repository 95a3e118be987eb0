#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "appcache/VLNativeCache.h"
#include "host/HBRPlugin.h"
#include "platform/foundation/Value.h"

// The fixed callback id every cache event travels on.
inline constexpr const char* VLCacheStaticChannel = "VLCacheStaticChannel";

// The plugin through which the web application drives the native cache. It makes the shared
// engine at start-up, forwards "deviceready", "startCaching" and "switchToVersion" to it on a
// background thread, and is its listener: progress, errors, finishes, status changes and
// exceptions become events on "VLCacheStaticChannel". No action answers its own callback.
//
// Events that arise while the page cannot take them (before its first "deviceready", and
// while the application is in the background) wait in a queue and go out in order at the
// next ready moment. A download that runs in the background reports progress many times a
// second, so the queue keeps only the latest progress of each version (moved to where it was
// reported); every other event is kept.
//
// Threads: actions arrive on the main thread, listener calls on download threads. The ready
// flag and the queue share one lock, which is held while an event is handed to the command
// delegate, so a flush and a live event never overtake each other.
class VLCache final : public HBRPlugin, public VLCacheListenerDelegate {
 public:
  static constexpr double kDefaultResourceConnectTimeout = 4.0;
  static constexpr double kDefaultResourceReadTimeout = 30.0;
  static constexpr const char* kFirstRunKey = "FirstRun";

  VLCache();
  std::string className() const override { return "VLCache"; }
  void pluginInitialize() override;
  void dispose() override;

  void deviceready(const HBRInvokedUrlCommand& command);
  void startCaching(const HBRInvokedUrlCommand& command);
  void switchToVersion(const HBRInvokedUrlCommand& command);

  void handleDeviceReady(const std::optional<std::string>& hostname,
                         const std::optional<std::string>& application);
  void handleStartCaching(const std::string& hostname, const std::string& application,
                          const std::string& version, const platform::Value& resourceList,
                          const platform::Value& urlMaps, const platform::Value& urlMapsNoCache,
                          const platform::Value& options);
  void handleSwitchVersion(const std::string& hostname, const std::string& application,
                           const std::string& version);
  // Sends the event when the page is ready, else queues it. A null event is dropped.
  void sendUpdateToJSApi(const platform::Value& event);
  static platform::Value createUpdateObjectForTask(const std::optional<std::string>& task,
                                                   const platform::Value& content);
  void onPause();
  void onResume();
  // A new document starts loading: the cache serves it the running version.
  void onReset() override;

  // ---- VLCacheListenerDelegate ----
  void fireOnProgressEvent(std::int64_t processed, std::int64_t total) override;
  void fireOnErrorEvent(const std::string& message) override;
  void fireOnFinishEvent() override;
  void updateStatus(std::int64_t status) override;
  void throwException(const std::string& message) override;

  bool deviceReady() const;
  size_t queuedEventCount() const;
  std::shared_ptr<VLNativeCache> cacheEngine() const { return cacheEngine_; }

 private:
  struct QueuedEvent {
    platform::Value event;
    // The version a progress event belongs to; none for every other event.
    std::optional<std::string> progressVersion;
  };
  void enqueueOrSend(platform::Value event, std::optional<std::string> progressVersion);
  void sendLocked(const platform::Value& event);

  std::shared_ptr<VLNativeCache> cacheEngine_;
  mutable std::mutex mutex_;
  bool deviceReady_ = false;
  std::deque<QueuedEvent> eventQueue_;
};

// Registers the cache plugins' classes ("VLCache", "VLPreBundlePlugin") by name.
void VLRegisterCachePlugins();

#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/HBRCommandDelegate.h"

class HBRCommandQueue;
class HBRViewController;

// The host's command delegate: delivers results to JavaScript callbacks and closes the
// bridge's loop by feeding the string an evaluation returns back to the command queue.
class HBRCommandDelegateImpl : public HBRCommandDelegate, public std::enable_shared_from_this<HBRCommandDelegateImpl> {
 public:
  // Takes the host's queue, so the host makes its queue first.
  explicit HBRCommandDelegateImpl(const std::shared_ptr<HBRViewController>& viewController);

  std::optional<std::string> pathForResource(const std::string& resourcePath) override;
  std::shared_ptr<platform::Object> getCommandInstance(const std::string& pluginName) override;
  void sendPluginResult(const std::shared_ptr<HBRPluginResult>& result,
                        const std::optional<std::string>& callbackId) override;
  void evalJs(const std::string& js) override { evalJs(js, true); }
  void evalJs(const std::string& js, bool scheduledOnRunLoop) override;
  void runInBackground(std::function<void()> block) override;
  platform::Value& settings() override;
  URLTransformer urlTransformer() const override;
  void setUrlTransformer(URLTransformer transformer) override;

  void flushCommandQueueWithDelayedJs();
  bool isValidCallbackId(const std::optional<std::string>& callbackId) const;

  // The JavaScript text that delivers `result` to `callbackId` (already checked).
  static std::string callbackMessage(const std::string& callbackId, const HBRPluginResult* result);

 private:
  void evalJsHelper(const std::string& js);
  void evalJsHelper2(const std::string& js);

  std::weak_ptr<HBRViewController> viewController_;
  std::weak_ptr<HBRCommandQueue> commandQueue_;
  std::atomic<bool> delayResponses_{false};
  mutable std::mutex transformerMutex_;
  URLTransformer urlTransformer_;
  // What `settings` hands out once the host is gone: writes still have somewhere to go.
  platform::Value detachedSettings_ = platform::Value::object();
};

#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

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

 // Answers posted for a later turn are evaluated together, a run of callback texts as one
  // script that hands back what each returned: this many of them at most, and texts up to
  // this size (larger ones go alone, and are built off the main thread when posted).
  static constexpr size_t kMaxJoinedScripts = 1000;
  static constexpr size_t kMaxJoinedBytes = 64 * 1024;
  // Answers at least this large give their memory back to the system once they are out.
  static constexpr size_t kTrimAboveBytes = 1024 * 1024;

 private:
  // A text waiting for its turn; `ready` is false while a large answer is still being built.
  struct Pending {
    std::string script;
    bool callback = false;
    bool ready = true;
  };
  void evalJsHelper(std::string js, bool callback = false);
  void evalJsHelper2(const std::string& js);
  void postPending(std::shared_ptr<Pending> pending);
  void schedulePending();
  void evaluatePending();
  void evaluateJoined(const std::vector<std::shared_ptr<Pending>>& run);
  void feedBatches(const platform::Value& result);

  std::weak_ptr<HBRViewController> viewController_;
  std::weak_ptr<HBRCommandQueue> commandQueue_;
  std::atomic<bool> delayResponses_{false};
  mutable std::mutex transformerMutex_;
  URLTransformer urlTransformer_;
  // What `settings` hands out once the host is gone: writes still have somewhere to go.
  platform::Value detachedSettings_ = platform::Value::object();
  std::mutex pendingMutex_;
  std::vector<std::shared_ptr<Pending>> pending_;
  bool pendingPosted_ = false;
};

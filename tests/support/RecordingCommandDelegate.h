#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/HBRCommandDelegate.h"
#include "host/HBRPluginResult.h"
#include "platform/foundation/DispatchQueue.h"

namespace testing_support {

// The command delegate of plugin tests: keeps every result by callback id, in arrival order.
// Background work runs on the global queue as in the host, or waits while
// `holdBackgroundWork` is set until the test runs it. Header only: the support library does
// not link the host.
class RecordingCommandDelegate : public HBRCommandDelegate {
 public:
  std::optional<std::string> pathForResource(const std::string&) override { return std::nullopt; }
  std::shared_ptr<platform::Object> getCommandInstance(const std::string&) override { return nullptr; }
  void sendPluginResult(const std::shared_ptr<HBRPluginResult>& result,
                        const std::optional<std::string>& callbackId) override {
    std::lock_guard lock(mutex_);
    results_[callbackId.value_or("")].push_back(result);
    arrived_.notify_all();
  }
  void evalJs(const std::string&) override {}
  void evalJs(const std::string&, bool) override {}
  void runInBackground(std::function<void()> block) override {
    {
      std::lock_guard lock(mutex_);
      if (holdBackgroundWork) return held_.push_back(std::move(block));
    }
    platform::DispatchQueue::global().async(std::move(block));
  }
  platform::Value& settings() override { return settings_; }
  URLTransformer urlTransformer() const override { return transformer; }
  void setUrlTransformer(URLTransformer t) override { transformer = std::move(t); }

  // Runs the background work held so far, on the calling thread.
  void runHeldWork() {
    std::vector<std::function<void()>> work;
    {
      std::lock_guard lock(mutex_);
      work.swap(held_);
    }
    for (auto& block : work) block();
  }

  std::vector<std::shared_ptr<HBRPluginResult>> results(const std::string& callbackId) {
    std::lock_guard lock(mutex_);
    auto found = results_.find(callbackId);
    return found == results_.end() ? std::vector<std::shared_ptr<HBRPluginResult>>{} : found->second;
  }

  // The latest result for `callbackId`, waiting at most `seconds` for background work; null
  // when none came.
  std::shared_ptr<HBRPluginResult> wait(const std::string& callbackId, double seconds = 5) {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return results_.count(callbackId) > 0; });
    auto found = results_.find(callbackId);
    return found == results_.end() ? nullptr : found->second.back();
  }

  platform::Value settings_ = platform::Value::object();
  URLTransformer transformer;
  bool holdBackgroundWork = false;

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::map<std::string, std::vector<std::shared_ptr<HBRPluginResult>>> results_;
  std::vector<std::function<void()>> held_;
};

}  // namespace testing_support

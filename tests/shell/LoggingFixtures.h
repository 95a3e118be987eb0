#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/HBRCommandDelegate.h"
#include "host/HBRPluginResult.h"
#include "platform/logging/RRVLogger.h"

namespace shell_test {

// A command delegate that keeps every result it is sent and hands out the plugins a test
// gives it.
class RecordingCommandDelegate : public HBRCommandDelegate {
 public:
  struct Sent {
    HBRResultStatus status;
    platform::Value message;
    std::optional<std::string> callbackId;
  };

  std::optional<std::string> pathForResource(const std::string&) override { return std::nullopt; }
  std::shared_ptr<platform::Object> getCommandInstance(const std::string& name) override {
    auto it = plugins.find(name);
    return it == plugins.end() ? nullptr : it->second;
  }
  void sendPluginResult(const std::shared_ptr<HBRPluginResult>& result,
                        const std::optional<std::string>& callbackId) override {
    std::lock_guard lock(mutex);
    sent.push_back({result ? result->status() : HBRResultStatus::NoResult,
                    result ? result->message() : platform::Value(), callbackId});
  }
  void evalJs(const std::string&) override {}
  void evalJs(const std::string&, bool) override {}
  void runInBackground(std::function<void()> block) override { block(); }
  platform::Value& settings() override { return settingsValue; }
  URLTransformer urlTransformer() const override { return {}; }
  void setUrlTransformer(URLTransformer) override {}

  std::mutex mutex;
  std::vector<Sent> sent;
  platform::Value settingsValue = platform::Value::object();
  std::map<std::string, std::shared_ptr<platform::Object>> plugins;
};

// An output that keeps the records it receives; tests register it under the remote outputs'
// class names.
class RecordOutput : public roruv::RRVOutput {
 public:
  void emitLog(const std::shared_ptr<roruv::RRVLog>& log) override {
    std::lock_guard lock(mutex);
    records.push_back(log->userInfo());
  }
  std::vector<platform::Value> received() {
    std::lock_guard lock(mutex);
    return records;
  }
  std::mutex mutex;
  std::vector<platform::Value> records;
};

}  // namespace shell_test

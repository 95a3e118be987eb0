#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "host/HBRCommandDelegate.h"
#include "host/HBRPluginResult.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Paths.h"
#include "plugins/sqlite/SQLitePlugin.h"
#include "support/TestSupport.h"

// Collects the results plugins send, by callback id, for tests to wait on; background work
// runs on the global queue as in the host.
class RecordingDelegate : public HBRCommandDelegate {
 public:
  struct Answer {
    bool ok = false;
    platform::Value message;
  };

  std::optional<std::string> pathForResource(const std::string&) override { return std::nullopt; }
  std::shared_ptr<platform::Object> getCommandInstance(const std::string&) override { return nullptr; }
  void sendPluginResult(const std::shared_ptr<HBRPluginResult>& result,
                        const std::optional<std::string>& callbackId) override {
    std::lock_guard lock(mutex_);
    answers_[callbackId.value_or("")] = {result->status() == HBRResultStatus::OK, result->message()};
    arrived_.notify_all();
  }
  void evalJs(const std::string&) override {}
  void evalJs(const std::string&, bool) override {}
  void runInBackground(std::function<void()> block) override { platform::DispatchQueue::global().async(std::move(block)); }
  platform::Value& settings() override { return settings_; }
  platform::Value settings_ = platform::Value::object();
  URLTransformer urlTransformer() const override { return {}; }
  void setUrlTransformer(URLTransformer) override {}

  // The answer for `callbackId`, waiting for it at most ten seconds.
  Answer wait(const std::string& callbackId) {
    std::unique_lock lock(mutex_);
    bool arrived = arrived_.wait_for(lock, std::chrono::seconds(10), [&] { return answers_.count(callbackId) != 0; });
    if (!arrived) return {false, "no answer for " + callbackId};
    return answers_.at(callbackId);
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::map<std::string, Answer> answers_;
};

// A plugin over a fresh data root, answering to a recording delegate.
class SQLiteTest : public ::testing::Test {
 protected:
  void SetUp() override { makePlugin(); }

  void makePlugin() {
    plugin = std::make_shared<SQLitePlugin>();
    plugin->setCommandDelegate(delegate);
    plugin->pluginInitialize();
  }

  // Sends the action with `args` as its argument object; answers its callback id.
  std::string send(const std::string& action, platform::Value args) {
    std::string callbackId;
    {
      std::lock_guard lock(counterMutex_);
      callbackId = "SQLite" + std::to_string(++counter_);
    }
    platform::Value arguments = platform::Value::array();
    arguments.push_back(std::move(args));  // moved, not copied as an initializer list would
    HBRInvokedUrlCommand command(std::move(arguments), callbackId, "SQLitePlugin", action);
    EXPECT_TRUE(plugin->performAction(action, command)) << action;
    return callbackId;
  }
  RecordingDelegate::Answer call(const std::string& action, platform::Value args) {
    return delegate->wait(send(action, std::move(args)));
  }

  RecordingDelegate::Answer open(const std::string& name, platform::Value extra = platform::Value::object()) {
    extra["name"] = name;
    return call("open", std::move(extra));
  }
  // One statement on the database `name`.
  RecordingDelegate::Answer sql(const std::string& name, const std::string& text,
                                platform::Value params = platform::Value::array()) {
    return call("executeSql", {{"dbargs", {{"dbname", name}}}, {"ex", {{"sql", text}, {"params", params}}}});
  }
  std::string docs(const std::string& file) const { return platform::paths::documents() + "/" + file; }

  testing_support::ScopedDataRoot root;
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  std::shared_ptr<SQLitePlugin> plugin;

 private:
  std::mutex counterMutex_;
  int counter_ = 0;
};

#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "platform/foundation/Paths.h"
#include "plugins/sqlite/SQLitePlugin.h"
#include "support/RecordingCommandDelegate.h"
#include "support/TestSupport.h"

struct Answer {
  bool ok = false;
  platform::Value message;
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
    std::string callbackId = "SQLite" + std::to_string(++counter_);
    platform::Value arguments = platform::Value::array();
    arguments.push_back(std::move(args));  // moved, not copied as an initializer list would
    HBRInvokedUrlCommand command(std::move(arguments), callbackId, "SQLitePlugin", action);
    EXPECT_TRUE(plugin->performAction(action, command)) << action;
    return callbackId;
  }
  // The answer for `callbackId`, waiting for it at most ten seconds.
  Answer result(const std::string& callbackId) {
    auto sent = delegate->wait(callbackId, 10);
    if (!sent) return {false, "no answer for " + callbackId};
    return {sent->status() == HBRResultStatus::OK, sent->message()};
  }
  Answer call(const std::string& action, platform::Value args) { return result(send(action, std::move(args))); }

  Answer open(const std::string& name, platform::Value extra = platform::Value::object()) {
    extra["name"] = name;
    return call("open", std::move(extra));
  }
  // One statement on the database `name`.
  Answer sql(const std::string& name, const std::string& text, platform::Value params = platform::Value::array()) {
    return call("executeSql", {{"dbargs", {{"dbname", name}}}, {"ex", {{"sql", text}, {"params", params}}}});
  }
  std::string docs(const std::string& file) const { return platform::paths::documents() + "/" + file; }

  testing_support::ScopedDataRoot root;
  std::shared_ptr<testing_support::RecordingCommandDelegate> delegate =
      std::make_shared<testing_support::RecordingCommandDelegate>();
  std::shared_ptr<SQLitePlugin> plugin;
  std::atomic<int> counter_{0};  // commands are sent from several threads
};

#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "host/HBRCommandDelegate.h"
#include "host/HBRPluginResult.h"
#include "host/HBRViewController.h"
#include "host/HeadlessTestEngine.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/MainLoop.h"
#include "platform/webkit/HeadlessWebView.h"
#include "plugins/http/VLHttpPlugin.h"
#include "support/HttpsTestServer.h"
#include "support/RecordingCommandDelegate.h"
#include "support/TestSupport.h"

namespace httptest {

using platform::Value;

// Keeps every payload by callback id, in arrival order; background work runs at once.
struct RecordingDelegate : testing_support::RecordingCommandDelegate {
  void runInBackground(std::function<void()> block) override { block(); }
};

// A started HTTP plugin over a headless web view, with the test server as the application's
// server ("DefaultHostname" 127.0.0.1:<port>, "DefaultApplicationURL" app).
class HttpFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string host = "127.0.0.1:" + std::to_string(server.port());
    dir.write("package/www/index.html", "<html></html>");
    dir.write("package/config.xml",
              "<?xml version=\"1.0\"?><widget><content src=\"index.html\"/>"
              "<preference name=\"DefaultHostname\" value=\"" + host + "\"/>"
              "<preference name=\"DefaultApplicationURL\" value=\"app\"/></widget>");
    platform::Bundle::setMainPath(dir.file("package"));
    vc = HBRViewController::create();
    vc->loadSettings();
    plugin = std::make_shared<VLHttpPlugin>();
    plugin->setViewController(vc);
    plugin->setCommandDelegate(delegate);
    plugin->setWebViewEngine(engine);
    plugin->pluginInitialize();
  }
  void TearDown() override {
    release = true;
    platform::MainLoop::drain();
  }

  // Sends a command and returns its callback id.
  std::string command(const std::string& action, Value arguments) {
    std::string id = "Http" + std::to_string(++calls);
    EXPECT_TRUE(plugin->performAction(action, HBRInvokedUrlCommand(std::move(arguments), id, "Http", action)));
    return id;
  }
  // The one payload of `id`, pumping the main loop (where answers after a response arrive).
  Value wait(const std::string& id, double seconds = 10) {
    platform::MainLoop::runUntil([&] { return !delegate->results(id).empty(); }, seconds);
    auto list = delegate->results(id);
    if (list.empty()) return Value();
    EXPECT_TRUE(list.front()->status() == HBRResultStatus::OK && !list.front()->keepCallback()) << id;
    return list.front()->message();
  }
  Value send(const std::string& requestId, const std::string& url, const std::string& method = "GET",
             Value headers = Value::object(), Value timeout = 10000, Value body = nullptr, bool text = true) {
    return wait(command("sendRequest", {requestId, url, method, headers, timeout, body, text}));
  }
  std::string url(const std::string& path) const { return server.url(path); }

  // What held requests' handlers read, declared before the server so that it outlives them.
  std::atomic<bool> release{false};
  std::atomic<int> arrived{0};
  testing_support::ScopedDataRoot dir;
  testing_support::HttpsTestServer server;
  std::shared_ptr<HBRViewController> vc;
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  std::shared_ptr<HeadlessTestEngine> engine = std::make_shared<HeadlessTestEngine>();
  std::shared_ptr<platform::webkit::HeadlessWebView> view = engine->headless();
  std::shared_ptr<VLHttpPlugin> plugin;
  int calls = 0;
};

inline Value errorOf(const Value& payload) { return payload.value("error", Value()); }
inline int errorCode(const Value& payload) {
  Value error = errorOf(payload);
  return error.is_object() ? error["errorCode"].get<int>() : 0;
}

}  // namespace httptest

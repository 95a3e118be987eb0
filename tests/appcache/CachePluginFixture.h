#pragma once

#include <string>
#include <vector>

#include "CacheTestSupport.h"
#include "appcache/VLCache.h"
#include "appcache/VLNativeCache.h"
#include "host/HBRViewController.h"
#include "host/HeadlessTestEngine.h"
#include "platform/foundation/JSONText.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/UserDefaults.h"

namespace cache_test {

// A host controller over the headless engine, with the cache plugins of a package whose
// "config.xml" the test chooses, and what reached the page on a channel.
class CachePluginFixture : public CacheFixture {
 protected:
  CachePluginFixture() {
    platform::UserDefaults::resetForTesting();
    VLNativeCache::resetSharedInstance();
    VLRegisterCachePlugins();
  }
  ~CachePluginFixture() override {
    platform::MainLoop::drain();
    vc.reset();
    engine.reset();
    VLNativeCache::resetSharedInstance();
    platform::UserDefaults::resetForTesting();
  }

  void writePackage(const std::string& features, const std::string& preferences = "") {
    root.write("package/config.xml", "<?xml version=\"1.0\"?><widget><content src=\"index.html\"/>" +
                                         preferences + features + "</widget>");
    root.write("package/www/index.html", "<html></html>");
    root.write("package/Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>CFBundleIdentifier</key><string>com.veltro.cache</string></dict></plist>)");
  }
  static std::string feature(const std::string& name, const std::string& className) {
    return "<feature name=\"" + name + "\"><param name=\"ios-package\" value=\"" + className + "\"/></feature>";
  }

  // A new host (a launch), with the cache plugin made and initialised.
  std::shared_ptr<VLCache> launch() {
    vc = HBRViewController::create();
    vc->loadSettings();
    engine = std::make_shared<HeadlessTestEngine>();
    vc->setWebViewEngine(engine);
    engine->attach(vc);
    return std::dynamic_pointer_cast<VLCache>(vc->getCommandInstance("Cache"));
  }

  void call(const std::string& callbackId, const std::string& service, const std::string& action,
            platform::Value arguments) {
    engine->headless()->postScriptMessage(
        "harbor", platform::Value::array({callbackId, service, action, std::move(arguments)}));
    platform::MainLoop::drain();
  }

  // The messages every script sent to `callbackId`, in order.
  std::vector<platform::Value> messagesOn(const std::string& callbackId, std::optional<int> status = std::nullopt) {
    return callbackMessages(engine->headless()->evaluatedScripts(), callbackId, status);
  }
  std::vector<platform::Value> events() { return messagesOn(VLCacheStaticChannel); }
  // The channel's events in short form: "status 3", "progress 1/2", "finish", "error <m>".
  std::vector<std::string> eventNames() {
    std::vector<std::string> names;
    for (const auto& event : events()) {
      const auto& content = event.value("Content", platform::Value::object());
      const std::string task = event.value("Task", ""), kind = content.value("Event", "");
      if (task == "UpdateStatus")
        names.push_back("status " + content["Status"].dump());
      else if (task == "Exception")
        names.push_back("exception " + content.value("Error", ""));
      else if (kind == "onprogress")
        names.push_back("progress " + content["Progress"]["Loaded"].dump() + "/" + content["Progress"]["Total"].dump());
      else if (kind == "onerror")
        names.push_back("error " + content["Error"].value("Message", ""));
      else
        names.push_back(kind.substr(2));
    }
    return names;
  }
  bool waitForEvents(size_t n, double seconds = 10) {
    return platform::MainLoop::runUntil([&] { return events().size() >= n; }, seconds);
  }
  bool waitForEvent(const std::string& name, double seconds = 10) {
    return platform::MainLoop::runUntil(
        [&] {
          auto names = eventNames();
          return std::find(names.begin(), names.end(), name) != names.end();
        },
        seconds);
  }

  std::shared_ptr<HBRViewController> vc;
  std::shared_ptr<HeadlessTestEngine> engine;
};

}  // namespace cache_test

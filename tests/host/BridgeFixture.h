#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/HBRCommandDelegateImpl.h"
#include "host/HBRCommandQueue.h"
#include "host/HBRPlugin.h"
#include "host/HBRPluginResult.h"
#include "host/HBRViewController.h"
#include "host/HBRWebViewEngineProtocol.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"
#include "platform/webkit/HeadlessWebView.h"
#include "support/TestSupport.h"

// A minimal engine over the headless web view: "harbor" messages become commands of the
// host's queue, and evaluations are recorded by the web view.
class BridgeTestEngine : public HBRPlugin,
                         public HBRWebViewEngineProtocol,
                         public platform::webkit::ScriptMessageHandler {
 public:
  BridgeTestEngine() : webView_(std::make_shared<platform::webkit::HeadlessWebView>()) {}
  std::string className() const override { return "BridgeTestEngine"; }

  void attach(const std::shared_ptr<HBRViewController>& vc) {
    vc_ = vc;
    // The web view holds its handlers strongly; a weak hop keeps it from owning the engine.
    struct WeakHandler : platform::webkit::ScriptMessageHandler {
      std::weak_ptr<BridgeTestEngine> engine;
      void didReceiveScriptMessage(const std::string& name, const platform::Value& body) override {
        if (auto e = engine.lock()) e->didReceiveScriptMessage(name, body);
      }
    };
    auto handler = std::make_shared<WeakHandler>();
    handler->engine = std::dynamic_pointer_cast<BridgeTestEngine>(shared_from_this());
    webView_->addScriptMessageHandler(handler, "harbor");
  }
  void didReceiveScriptMessage(const std::string& name, const platform::Value& body) override {
    auto vc = vc_.lock();
    if (name != "harbor" || !vc) return;
    if (auto command = HBRInvokedUrlCommand::commandFromJson(body)) vc->commandQueue()->execute(*command);
  }

  void loadRequest(const platform::URLRequest& request) override { webView_->loadRequest(request); }
  void loadHTMLString(const std::string& html, const std::optional<platform::URL>& base) override {
    webView_->loadHTMLString(html, base);
  }
  void evaluateJavaScript(const std::string& script, platform::webkit::JavaScriptCompletion completion) override {
    webView_->evaluateJavaScript(script, std::move(completion));
  }
  std::optional<platform::URL> URL() const override { return webView_->url(); }
  bool canLoadRequest(const platform::URLRequest&) const override { return true; }
  void updateWithInfo(const HBRWebViewEngineInfo&) override {}
  std::shared_ptr<platform::webkit::WebView> engineWebView() const override { return webView_; }

  std::shared_ptr<platform::webkit::HeadlessWebView> headless() const { return webView_; }

 private:
  std::shared_ptr<platform::webkit::HeadlessWebView> webView_;
  std::weak_ptr<HBRViewController> vc_;
};

// Echoes its first argument; other actions fail, throw, answer later or take their time.
class EchoPlugin : public HBRPlugin {
 public:
  EchoPlugin() {
    registerAction("echo", &EchoPlugin::echo);
    registerAction("fail", &EchoPlugin::fail);
    registerAction("boom", &EchoPlugin::boom);
    registerAction("record", &EchoPlugin::record);
    registerAction("nan", &EchoPlugin::nan);
  }
  std::string className() const override { return "EchoPlugin"; }

  void echo(const HBRInvokedUrlCommand& command) {
    commandDelegate()->sendPluginResult(
        HBRPluginResult::resultWithStatus(HBRResultStatus::OK, command.argumentAtIndex(0)), command.callbackId());
  }
  void fail(const HBRInvokedUrlCommand& command) {
    commandDelegate()->sendPluginResult(HBRPluginResult::resultWithStatusAsString(HBRResultStatus::Error, "nope"),
                                        command.callbackId());
  }
  void boom(const HBRInvokedUrlCommand&) { throw std::runtime_error("kaboom"); }
  void nan(const HBRInvokedUrlCommand& command) {
    commandDelegate()->sendPluginResult(
        HBRPluginResult::resultWithStatusAsDouble(HBRResultStatus::OK, std::numeric_limits<double>::quiet_NaN()),
        command.callbackId());
  }
  // Records the order of calls, optionally busy for a while, and may try to re-enter the queue.
  void record(const HBRInvokedUrlCommand& command) {
    order.push_back(command.argumentAtIndex(0, "").dump());
    double busyMs = command.argumentAtIndex(1, 0.0, HBRArgumentKind::Number).get<double>();
    double until = platform::wallClockSeconds() + busyMs / 1000.0;
    while (platform::wallClockSeconds() < until) {
    }
    if (reenter) viewController()->commandQueue()->executePending();
  }

  std::vector<std::string> order;
  bool reenter = false;
};

class NotAPlugin : public platform::Object {
 public:
  std::string className() const override { return "NotAPlugin"; }
};

// A package folder with "config.xml" and "www/index.html", a host controller over the test
// engine, and the echo plugin mapped as "Echo".
class BridgeFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::paths::setDataRoot(dir.file("data"));
    dir.write("package/www/index.html", "<html></html>");
    dir.write("package/www/sub/page.html", "<html></html>");
    dir.write("package/config.xml", configXML());
    dir.write("package/Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>CFBundleExecutable</key><string>Veltro</string>
<key>CFBundleIdentifier</key><string>com.veltro.test</string></dict></plist>)");
    platform::Bundle::setMainPath(dir.file("package"));
    HBRRegisterPluginClass<EchoPlugin>("EchoPlugin");
    HBRRegisterPluginClass<NotAPlugin>("NotAPlugin");
    vc = HBRViewController::create();
    vc->loadSettings();
    engine = std::make_shared<BridgeTestEngine>();
    vc->setWebViewEngine(engine);
    engine->attach(vc);
  }
  void TearDown() override {
    platform::MainLoop::drain();
    platform::paths::setDataRoot("");
  }

  virtual std::string configXML() const {
    return R"(<?xml version="1.0"?><widget><content src="index.html"/>
      <feature name="Echo"><param name="ios-package" value="EchoPlugin"/></feature>
      <feature name="Stranger"><param name="ios-package" value="NotAPlugin"/></feature>
      <feature name="Ghost"><param name="ios-package" value="NoSuchClass"/></feature></widget>)";
  }

  std::shared_ptr<EchoPlugin> echo() { return std::dynamic_pointer_cast<EchoPlugin>(vc->getCommandInstance("Echo")); }
  const std::vector<std::string>& scripts() { return engine->headless()->evaluatedScripts(); }
  // Runs the main loop until `n` scripts were evaluated.
  bool waitForScripts(size_t n, double seconds = 5) {
    return platform::MainLoop::runUntil([&] { return scripts().size() >= n; }, seconds);
  }

  testing_support::TempDir dir;
  std::shared_ptr<HBRViewController> vc;
  std::shared_ptr<BridgeTestEngine> engine;
};

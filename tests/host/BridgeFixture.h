#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "HeadlessTestEngine.h"
#include "host/HBRCommandDelegateImpl.h"
#include "host/HBRCommandQueue.h"
#include "host/HBRPlugin.h"
#include "host/HBRPluginResult.h"
#include "host/HBRViewController.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/Strings.h"
#include "support/TestSupport.h"

// Echoes its first argument, throws, or records its calls and takes its time.
class EchoPlugin : public HBRPlugin {
 public:
  EchoPlugin() {
    registerAction("echo", &EchoPlugin::echo);
    registerAction("boom", &EchoPlugin::boom);
    registerAction("record", &EchoPlugin::record);
  }
  std::string className() const override { return "EchoPlugin"; }

  void echo(const HBRInvokedUrlCommand& command) {
    commandDelegate()->sendPluginResult(
        HBRPluginResult::resultWithStatus(HBRResultStatus::OK, command.argumentAtIndex(0)), command.callbackId());
  }
  void boom(const HBRInvokedUrlCommand&) { throw std::runtime_error("kaboom"); }
  // Records the order of calls, optionally busy for a while, and may try to re-enter the queue.
  void record(const HBRInvokedUrlCommand& command) {
    order.push_back(command.argumentAtIndex(0, "").dump());
    double busyMs = command.argumentAtIndex(1, 0.0, HBRArgumentKind::Number).get<double>();
    // Argument 2 true: the busy time counts as turning an answer into text.
    std::optional<HBRCommandQueue::ConversionClock> converting;
    if (command.argumentAtIndex(2, false, HBRArgumentKind::Boolean) == true) converting.emplace();
    double until = platform::wallClockSeconds() + busyMs / 1000.0;
    while (platform::wallClockSeconds() < until) {
    }
    if (reenter) viewController()->commandQueue()->executePending();
    // Lets the main loop turn in place, as a plugin that waits for the page does: what it
    // runs meanwhile (`whileSpinning`) happens inside this action.
    if (whileSpinning) {
      auto work = std::move(whileSpinning);
      whileSpinning = nullptr;
      platform::MainLoop::post(std::move(work));
      platform::MainLoop::runFor(0.05);
      order.push_back("end of " + command.argumentAtIndex(0, "").dump());
    }
  }

  std::vector<std::string> order;
  bool reenter = false;
  std::function<void()> whileSpinning;
};

class NotAPlugin : public platform::Object {
 public:
  std::string className() const override { return "NotAPlugin"; }
};

// A package folder with "config.xml" and "www/index.html" beside a fresh data root, a host
// controller over the test engine, and the echo plugin mapped as "Echo".
class BridgeFixture : public ::testing::Test {
 protected:
  void SetUp() override {
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
    engine = std::make_shared<HeadlessTestEngine>();
    vc->setWebViewEngine(engine);
    engine->attach(vc);
  }
  void TearDown() override { platform::MainLoop::drain(); }

  virtual std::string configXML() const {
    return R"(<?xml version="1.0"?><widget><content src="index.html"/>
      <feature name="Echo"><param name="ios-package" value="EchoPlugin"/></feature>
      <feature name="Stranger"><param name="ios-package" value="NotAPlugin"/></feature></widget>)";
  }

  std::shared_ptr<EchoPlugin> echo() { return std::dynamic_pointer_cast<EchoPlugin>(vc->getCommandInstance("Echo")); }
  const std::vector<std::string>& scripts() { return engine->headless()->evaluatedScripts(); }
  // Runs the main loop until `n` scripts were evaluated.
  bool waitForScripts(size_t n, double seconds = 5) {
    return platform::MainLoop::runUntil([&] { return scripts().size() >= n; }, seconds);
  }

  testing_support::ScopedDataRoot dir;
  std::shared_ptr<HBRViewController> vc;
  std::shared_ptr<HeadlessTestEngine> engine;
};

#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "host/HBRAppDelegate.h"
#include "host/HBRCommandDelegate.h"
#include "host/HBRPlugin.h"
#include "host/HBRPluginResult.h"
#include "host/HBRViewController.h"
#include "host/HBRWebViewEngine.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/Alert.h"
#include "platform/ui/Application.h"
#include "platform/webkit/HeadlessWebView.h"
#include "support/TestSupport.h"

namespace hosttest {

// A plugin whose answers to the engine's and the scheme handler's questions are set by the
// test, and which records what it was asked.
class ProbePlugin : public HBRPlugin {
 public:
  explicit ProbePlugin(std::string name) : name_(std::move(name)) {
    registerAction("echo", [this](const HBRInvokedUrlCommand& command) {
      commandDelegate()->sendPluginResult(
          HBRPluginResult::resultWithStatus(HBRResultStatus::OK, command.argumentAtIndex(0)), command.callbackId());
    });
  }
  std::string className() const override { return name_; }

  std::optional<bool> shouldOverrideLoadWithRequest(const platform::URLRequest&, int) override {
    ++navigationQuestions;
    return navigationAnswer;
  }
  std::optional<bool> overrideSchemeTask(const std::shared_ptr<platform::webkit::URLSchemeTask>& task) override {
    ++schemeQuestions;
    return !takeSchemeTasksContaining.empty() &&
           task->request().url().absoluteString().find(takeSchemeTasksContaining) != std::string::npos;
  }
  bool stopSchemeTask(const std::shared_ptr<platform::webkit::URLSchemeTask>&) override {
    ++stops;
    return true;
  }

  std::optional<bool> navigationAnswer;
  std::string takeSchemeTasksContaining;
  int navigationQuestions = 0;
  int schemeQuestions = 0;
  int stops = 0;

 private:
  std::string name_;
};

// A package folder ("config.xml", "Info.plist", "www/") under a fresh data root, with the
// host's classes registered. `start()` makes a host controller and loads its view, which
// builds the engine over a headless web view and loads the start page.
class HostPackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write("package/www/index.html", "<html>start</html>");
    dir.write("package/www/app.js", "var app = 1;");
    dir.write("package/www/sub/page.html", "<html>sub</html>");
    dir.write("package/www/media/song.MP3", "ID3-bytes");
    dir.write("package/www/error.html", "<html>error</html>");
    dir.write("package/config.xml", "<?xml version=\"1.0\"?><widget><content src=\"" + startPage() +
                                        "\"/>" + preferences() + "</widget>");
    dir.write("package/Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleDisplayName</key><string>Veltro Test</string>
<key>CFBundleExecutable</key><string>Veltro</string>
<key>CFBundleIdentifier</key><string>com.veltro.hosttest</string>
<key>UISupportedInterfaceOrientations</key>
<array><string>UIInterfaceOrientationPortrait</string><string>UIInterfaceOrientationLandscapeLeft</string></array>
</dict></plist>)");
    platform::Bundle::setMainPath(dir.file("package"));
    HBRRegisterHostClasses();
    platform::ui::AlertPresenter::setPresenter(nullptr);
  }

  void TearDown() override {
    vc.reset();
    platform::MainLoop::drain();
    platform::ui::Application::shared().setDelegate(nullptr);
    platform::ui::AlertPresenter::setPresenter(nullptr);
  }

  virtual std::string startPage() const { return "index.html"; }
  // Extra <preference> elements of "config.xml".
  virtual std::string preferences() const { return ""; }
  static std::string pref(const std::string& name, const std::string& value) {
    return "<preference name=\"" + name + "\" value=\"" + value + "\"/>";
  }

  template <typename T = HBRViewController>
  std::shared_ptr<T> start() {
    auto controller = HBRViewController::create<T>();
    vc = controller;
    controller->view();
    return controller;
  }

  std::shared_ptr<HBRWebViewEngine> engine() const {
    return std::dynamic_pointer_cast<HBRWebViewEngine>(vc->webViewEngine());
  }
  std::shared_ptr<platform::webkit::HeadlessWebView> web() const {
    return std::dynamic_pointer_cast<platform::webkit::HeadlessWebView>(vc->webView());
  }
  std::string www(const std::string& relative = "") const {
    return dir.file("package/www") + (relative.empty() ? "" : "/" + relative);
  }
  // The URL of the last load, whatever its kind.
  std::string lastLoad() const {
    const auto& loads = web()->loads();
    if (loads.empty()) return "";
    return loads.back().kind == platform::webkit::HeadlessWebView::Load::Kind::HTMLString
               ? loads.back().html
               : loads.back().request.url().absoluteString();
  }
  // A scheme request answered to its end: the handler opens files off the main thread, so the
  // answer arrives on a later turn of the main loop.
  std::shared_ptr<platform::webkit::HeadlessWebView::RecordedTask> serve(const platform::URLRequest& request) {
    auto task = web()->startSchemeTask(request);
    if (task) platform::MainLoop::runUntil([&] { return task->finished || task->error; }, 5);
    return task;
  }
  bool waitForPageLoad(double seconds = 5) {
    bool loaded = false;
    platform::NotificationCenter::defaultCenter().addObserver(this, HBRPageDidLoadNotification, nullptr,
                                                              [&](const platform::Notification&) { loaded = true; });
    bool held = platform::MainLoop::runUntil([&] { return loaded; }, seconds);
    platform::NotificationCenter::defaultCenter().removeObserver(this);
    return held;
  }

  testing_support::ScopedDataRoot dir;
  std::shared_ptr<HBRViewController> vc;
};

}  // namespace hosttest

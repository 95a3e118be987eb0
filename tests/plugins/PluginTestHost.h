#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/HBRPlugin.h"
#include "host/HBRPluginResult.h"
#include "host/HBRViewController.h"
#include "host/HeadlessTestEngine.h"
#include "platform/foundation/MainLoop.h"
#include "platform/ui/Application.h"
#include "support/RecordingCommandDelegate.h"

namespace plugintest {

// What a plugin sent, in order.
struct Sent {
  HBRResultStatus status;
  platform::Value message;
  bool keep;
  std::optional<std::string> callbackId;
};

// A command delegate that records results and runs background work on the main loop, so that
// a test sees every answer by draining it.
class RecordingDelegate : public testing_support::RecordingCommandDelegate {
 public:
  void sendPluginResult(const std::shared_ptr<HBRPluginResult>& result,
                        const std::optional<std::string>& callbackId) override {
    sent.push_back({result->status(), result->message(), result->keepCallback(), callbackId});
  }
  void runInBackground(std::function<void()> block) override { platform::MainLoop::post(std::move(block)); }

  // The results sent to `callbackId`.
  std::vector<Sent> to(const std::string& callbackId) const {
    std::vector<Sent> found;
    for (const auto& s : sent)
      if (s.callbackId == callbackId) found.push_back(s);
    return found;
  }

  std::vector<Sent> sent;
};

// A host controller that builds nothing when its view loads: the test puts the views in.
class BareController : public HBRViewController {
 public:
  void viewDidLoad() override {}
};

// A host controller in a window, its view holding the engine's headless web view, the way
// the application delegate builds it.
struct Host {
  explicit Host(platform::ui::Rect screen = {{0, 0}, {390, 844}}) {
    platform::ui::Screen::setMainBounds(screen);
    window = std::make_shared<platform::ui::Window>(screen);
    window->setRootViewController(vc);
    vc->setWebViewEngine(engine);
    engine->attach(vc);
    auto web = engine->headless();
    web->setFrame(vc->view()->bounds());
    web->setAutoresizingMask(platform::ui::kAutoresizingFlexibleWidth | platform::ui::kAutoresizingFlexibleHeight);
    vc->view()->addSubview(web);
  }

  template <typename T>
  std::shared_ptr<T> add() {
    auto plugin = std::make_shared<T>();
    plugin->initWithWebViewEngine(engine);
    plugin->setViewController(vc);
    plugin->setCommandDelegate(delegate);
    plugin->pluginInitialize();
    return plugin;
  }

  std::shared_ptr<HBRViewController> vc = HBRViewController::create<BareController>();
  std::shared_ptr<HeadlessTestEngine> engine = std::make_shared<HeadlessTestEngine>();
  std::shared_ptr<platform::ui::Window> window;
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

inline HBRInvokedUrlCommand command(platform::Value arguments, std::string callbackId = "Cb1") {
  return HBRInvokedUrlCommand(std::move(arguments), std::move(callbackId), std::nullopt, std::nullopt);
}

}  // namespace plugintest

#pragma once

#include <memory>
#include <optional>

#include "host/HBRPlugin.h"
#include "platform/net/URLRequest.h"
#include "shell/VLLogger.h"

// What the loader plugin hands its work to.
class VLHarborLoaderEngine {
 public:
  virtual ~VLHarborLoaderEngine() = default;
  virtual void deploy() = 0;
  // True lets the web view load the request.
  virtual bool shouldOverrideLoadWithRequest(const platform::URLRequest& request,
                                             int navigationType) = 0;
};

// Registers the loader URL protocol, and sends "external:" links out of the application.
class VLHarborLoaderImpl : public VLHarborLoaderEngine {
 public:
  void deploy() override;
  // An "external:" link is never loaded by the web view; what follows the prefix is handed to
  // the shell's one external launcher only when it is an http, https, mailto or tel URL (a page
  // must not start other programs through file: or custom schemes), anything else is dropped
  // with a log line. Without a navigation action nothing vouches for the user's gesture, and
  // the launcher opens nothing.
  bool shouldOverrideLoadWithRequest(const platform::URLRequest& request,
                                     int navigationType) override;
  // The same with the action the web view reports: the launcher checks its gesture and the
  // launch limit.
  bool shouldOverrideLoad(const platform::webkit::NavigationAction& action);

 private:
  bool decide(const platform::URLRequest& request, const platform::webkit::NavigationAction* action);
};

// The plugin that puts the loader URL protocol in force. Started with the page (onload), so
// the protocol answers from the first request of the web application on.
class VLHarborLoader : public HBRPlugin {
 public:
  static constexpr const char* kLogModule = "VLHarborLoader";

  std::string className() const override { return "VLHarborLoader"; }
  void pluginInitialize() override;
  std::optional<bool> shouldOverrideLoadWithRequest(const platform::URLRequest& request,
                                                    int navigationType) override;
  // As the web view asks: an "external:" link opens through the shell's one launcher, which
  // wants the user's own click or key press (no script's own navigation, no hidden frame) and
  // keeps to the launch limit that intents share.
  std::optional<bool> shouldOverrideLoad(const platform::webkit::NavigationAction& action) override;
  // Asked before the navigation filter, which refuses every "external:" link as a navigation.
  int navigationRank() const override { return kNavigationRankDefault - 1; }

  std::shared_ptr<VLLogger> logger() const { return logger_; }
  std::shared_ptr<VLHarborLoaderEngine> harborLoader() const { return harborLoader_; }

 private:
  std::shared_ptr<VLLogger> logger_;
  std::shared_ptr<VLHarborLoaderEngine> harborLoader_;
};

// Makes "VLHarborLoader" known as a plugin class (a class the program registered under that
// name first is kept).
void VLRegisterHarborLoader();

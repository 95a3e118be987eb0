#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "host/HBRPlugin.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

// Takes the links the application is opened with, keeps those meant for this web application,
// rewrites them to the application's address on the platform server and hands them to the
// page: as an event on the channel "VLDeepLinksStaticChannel", or, in the legacy mode, by
// loading them into the web view. A link that comes while the page cannot take it is held
// until the page asks with "trigger"; a later link replaces it.
//
// The ready flag and the held link may be touched from any thread (notifications, actions);
// both live behind the plugin's own lock.
class VLDeepLinks : public HBRPlugin {
 public:
  // How links reach the page.
  enum HandlerType : unsigned {
    HandlerTypeFunction = 0,
    HandlerTypeEvent = 1,
    HandlerTypeDefault = 2,
    HandlerTypeLegacy = 3,
  };
  static constexpr const char* kChannel = "VLDeepLinksStaticChannel";
  static constexpr const char* kLogModule = "VLDeepLink";

  VLDeepLinks();
  std::string className() const override { return "VLDeepLinks"; }

  void pluginInitialize() override;
  void onPause();
  void onResume();
  // A new page in the web view has not said "deviceready" yet: links wait for it.
  void onReset() override;

  // Type number -> its name ("function", "event", "default", "legacy").
  static const std::map<unsigned, std::string>& handlerTypeDisplayNames();
  std::string handlerTypeToString() const;
  // The type named exactly (names are case-sensitive); otherwise "function" when deep links
  // are disabled, else "default".
  static unsigned handlerTypeFromString(const std::optional<std::string>& name, bool disableVLDeepLinks);

  void sendUpdateToJSApi(const platform::Value& update);
  void sendURLToWebview(const platform::URL& url);
  void loadUrlIntoWebview(const platform::URL& url);
  // Hands the link over when the page is ready, else holds it in place of any held before.
  void applyUrlToWebview(const platform::URL& url);

  // Actions.
  void deviceready(const HBRInvokedUrlCommand& command);
  void trigger(const HBRInvokedUrlCommand& command);
  void handleDeviceReady();
  void handleTrigger();

  void handleOpenURL(const platform::Notification& notification) override;
  // The link rewritten to the application's address, or nullopt when it is not for this
  // application or does not rewrite cleanly.
  std::optional<platform::URL> rewrittenURL(const platform::URL& url) const;

  // Accessors.
  bool deviceReady() const;
  std::optional<platform::URL> url() const;
  unsigned handlerType() const { return handlerType_; }
  const std::string& defaultHostname() const { return defaultHostname_; }
  const std::string& defaultApplication() const { return defaultApplication_; }
  const std::string& harborWebviewEngine() const { return harborWebviewEngine_; }

 private:
  void setDeviceReady(bool ready);

  // Re-entrant: handing a link over may come back into the plugin on the same thread.
  mutable std::recursive_mutex mutex_;
  bool deviceReady_ = false;
  std::optional<platform::URL> url_;
  unsigned handlerType_ = HandlerTypeDefault;
  std::string defaultHostname_;
  std::string defaultApplication_;
  std::string harborWebviewEngine_;
};

// Registers the plugin's class ("VLDeepLinks") so that "config.xml" can name it.
void VLRegisterDeepLinksPlugin();

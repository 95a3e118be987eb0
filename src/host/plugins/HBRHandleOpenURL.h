#pragma once

#include <optional>
#include <string>

#include "host/HBRPlugin.h"
#include "platform/foundation/URL.h"

// Hands a URL that opened the application to the page's global function `handleOpenURL`,
// once the page has loaded. Main thread only, like the notifications it observes.
class HBRHandleOpenURL : public HBRPlugin {
 public:
  std::string className() const override { return "HBRHandleOpenURL"; }

  void pluginInitialize() override;
  void applicationLaunchedWithUrl(const platform::Notification& notification);
  void applicationPageDidLoad(const platform::Notification& notification);
  void processOpenUrl(const platform::URL& url, bool pageLoaded);

  // The script that passes `url` to the page, the URL written as a JavaScript string literal.
  static std::string scriptForURL(const platform::URL& url);

  const std::optional<platform::URL>& url() const { return url_; }
  bool pageLoaded() const { return pageLoaded_; }

 private:
  std::optional<platform::URL> url_;
  bool pageLoaded_ = false;
};

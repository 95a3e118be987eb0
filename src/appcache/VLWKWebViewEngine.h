#pragma once

#include <memory>
#include <optional>
#include <string>

#include "appcache/VLCustomSchemeHandler.h"
#include "host/HBRWebViewEngine.h"

// The engine of a web application served from the platform server under the private scheme
// "veltro": it registers VLCustomSchemeHandler for that scheme (beside the application scheme
// of the packaged files, when the settings name one) and gives the web view, and through the
// configuration the shell's URL sessions, the user agent the settings ask for. Selected by
// the setting "HarborWebViewEngine" = "VLWKWebViewEngine". Main thread only.
//
// The web view is made not opaque, as on the platform; the host then gives it its background
// colour (white, the default), so where the page draws no background that colour shows.
// Authentication challenges of the web view's own loads go to the first plugin that takes
// them (HBRAuthenticationChallengeHandler), else to WebKit's default handling; those of
// "veltro" requests belong to the shell's URL session. The keyboard-offset repair and the
// scroll-view insets of the iOS engine have no counterpart in this web view.
class VLWKWebViewEngine : public HBRWebViewEngine {
 public:
  explicit VLWKWebViewEngine(platform::ui::Rect frame) : HBRWebViewEngine(frame) {}
  std::string className() const override { return "VLWKWebViewEngine"; }

  void pluginInitialize() override;
  void setReferrerRelatedProperties();
  platform::webkit::WebViewConfiguration createConfigurationFromSettings(const platform::Value& settings) override;
  // Pages of the default host under "veltro" are the application's own as well.
  bool isApplicationOrigin(const platform::URL& url) const override;
  // Offers the challenge to the host's plugin objects in table order, the engine itself
  // left out; false (WebKit's default handling) when none takes challenges.
  bool didReceiveAuthenticationChallenge(platform::webkit::WebView& webView,
                                         const platform::webkit::AuthenticationChallenge& challenge,
                                         platform::webkit::AuthenticationCompletion completion) override;
  std::vector<std::string> applicationOrigins() const override;
  // The document a top-level navigation loads comes from the cache's running version, while
  // the page shown keeps its own until that document is committed.
  void didStartProvisionalNavigation(platform::webkit::WebView& webView) override;

  // Computed once: "OverrideUserAgent", else the web view's default agent followed by
  // "AppendUserAgent", else the default agent alone. The default agent is read from the web
  // engine's settings; no view is made for it and no script waited for.
  const std::string& userAgent();

  const std::string& defaultHostname() const { return defaultHostname_; }
  const std::string& defaultURL() const { return defaultURL_; }
  std::shared_ptr<VLCustomSchemeHandler> handler() const { return handler_; }

 private:
  platform::Value settings() const;

  std::string defaultHostname_;
  // The "veltro" origin of `defaultHostname_`, parsed once with it.
  std::optional<platform::URL> servedOrigin_;
  std::string defaultURL_;
  std::optional<std::string> userAgent_;
  std::shared_ptr<VLCustomSchemeHandler> handler_;
};

// Makes "VLWKWebViewEngine" known to the host's engine registry (kept when the program
// registered its own class under that name first).
void VLRegisterWKWebViewEngine();

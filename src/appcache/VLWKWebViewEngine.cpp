#include "appcache/VLWKWebViewEngine.h"

#include "appcache/VLNativeCache.h"
#include "host/HBRAuthenticationChallengeHandler.h"
#include "host/HBRSettings.h"
#include "host/HBRViewController.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"
#include "platform/net/HTTPHeaders.h"

using platform::Value;

namespace {

// An agent that could not be sent as a header field (a line break from the package's
// settings) would be dropped by every session; the default agent stands in for it.
bool isSendable(const std::string& agent) { return platform::isValidHTTPHeaderField("User-Agent", agent); }

}  // namespace

Value VLWKWebViewEngine::settings() const {
  auto vc = viewController();
  return vc ? vc->settings() : Value();
}

void VLWKWebViewEngine::pluginInitialize() {
  // 1. The superclass set-up asks for the configuration, which registers the handler.
  handler_ = std::make_shared<VLCustomSchemeHandler>();
  // 2.
  HBRWebViewEngine::pluginInitialize();
  // 3.
  Value values = settings();
  defaultHostname_ = harborStringSettingForKey(values, "DefaultHostname").value_or("");
  servedOrigin_ = platform::URL::parse(std::string(VLCustomSchemeHandler::kScheme) + "://" + defaultHostname_);
  defaultURL_ = harborStringSettingForKey(values, "DefaultApplicationURL").value_or("");
  setReferrerRelatedProperties();
  handler_->setDefaultHostname(defaultHostname_);
  std::weak_ptr<VLWKWebViewEngine> weakSelf = std::static_pointer_cast<VLWKWebViewEngine>(shared_from_this());
  handler_->setPageRule([weakSelf](const platform::webkit::WebView& webView, const platform::URLRequest& request) {
    auto engine = weakSelf.lock();
    return engine && engine->isApplicationPageRequest(webView, request);
  });
  // 4. (keyboard offsets before system 13.4) and the scroll insets of 5 have no counterpart
  // in this web view.
  // 5.
  if (auto view = engineWebView()) {
    view->setOpaque(false);
    view->setCustomUserAgent(userAgent());
  }
}

bool VLWKWebViewEngine::didReceiveAuthenticationChallenge(platform::webkit::WebView& webView,
                                                          const platform::webkit::AuthenticationChallenge& challenge,
                                                          platform::webkit::AuthenticationCompletion completion) {
  auto vc = viewController();
  if (!vc) return false;
  for (const auto& [name, object] : vc->pluginObjects()) {
    if (object.get() == this) continue;
    if (auto handler = std::dynamic_pointer_cast<HBRAuthenticationChallengeHandler>(object)) {
      handler->didReceiveAuthenticationChallenge(webView, challenge, std::move(completion));
      return true;
    }
  }
  return false;
}

void VLWKWebViewEngine::setReferrerRelatedProperties() {
  if (!handler_) return;
  handler_->setReferrerHeaderEnabled(harborStringSettingForKey(settings(), "EnableRefererHeaderCustomScheme") ==
                                     std::optional<std::string>("true"));
  handler_->setReferrer(defaultHostname_);
}

platform::webkit::WebViewConfiguration VLWKWebViewEngine::createConfigurationFromSettings(const Value& values) {
  platform::webkit::WebViewConfiguration configuration = HBRWebViewEngine::createConfigurationFromSettings(values);
  if (!handler_) handler_ = std::make_shared<VLCustomSchemeHandler>();
  configuration.setURLSchemeHandler(handler_, VLCustomSchemeHandler::kScheme);
  configuration.applicationNameForUserAgent = userAgent();
  return configuration;
}

const std::string& VLWKWebViewEngine::userAgent() {
  if (userAgent_) return *userAgent_;
  Value values = settings();
  auto override = harborStringSettingForKey(values, "OverrideUserAgent");
  auto append = harborStringSettingForKey(values, "AppendUserAgent");
  std::string agent;
  if (override && isSendable(*override)) {
    agent = *override;
  } else {
    agent = platform::webkit::defaultUserAgent();
    if (override) {
      platform::log("The setting \"OverrideUserAgent\" cannot be sent as a header field; using the default user agent.");
    } else if (append && isSendable(agent + " " + *append)) {
      agent += " " + *append;
    } else if (append) {
      platform::log("The setting \"AppendUserAgent\" cannot be sent as a header field; it is left out.");
    }
  }
  userAgent_ = agent;
  return *userAgent_;
}

bool VLWKWebViewEngine::isApplicationOrigin(const platform::URL& url) const {
  // The "veltro" origin first: every request of the application's page asks (the answer is
  // the same either way round).
  if (!defaultHostname_.empty() && platform::equalsIgnoreCase(url.scheme(), VLCustomSchemeHandler::kScheme)) {
    // The host name may carry a port ("apps.example.com:8443"): both must match.
    if (servedOrigin_ && platform::equalsIgnoreCase(url.host(), servedOrigin_->host()) &&
        url.port() == servedOrigin_->port())
      return true;
  }
  return HBRWebViewEngine::isApplicationOrigin(url);
}

std::vector<std::string> VLWKWebViewEngine::applicationOrigins() const {
  std::vector<std::string> origins = HBRWebViewEngine::applicationOrigins();
  // Read from the settings: the relay is made before the set-up keeps the host name.
  std::string hostname = harborStringSettingForKey(settings(), "DefaultHostname").value_or("");
  auto origin = hostname.empty() ? std::nullopt
                                 : platform::URL::parse(std::string(VLCustomSchemeHandler::kScheme) + "://" + hostname);
  if (origin && !origin->host().empty()) {
    std::string text = std::string(VLCustomSchemeHandler::kScheme) + "://" + platform::asciiLower(origin->host());
    if (auto port = origin->port()) text += ":" + std::to_string(*port);
    origins.push_back(std::move(text));
  }
  return origins;
}

void VLRegisterWKWebViewEngine() {
  HBRWebViewEngineClassRegistry::shared().registerClassIfAbsent(
      "VLWKWebViewEngine", [](platform::ui::Rect frame) { return std::make_shared<VLWKWebViewEngine>(frame); });
}

void VLWKWebViewEngine::didStartProvisionalNavigation(platform::webkit::WebView& webView) {
  HBRWebViewEngine::didStartProvisionalNavigation(webView);
  // While a navigation loads, the web view's URL is the one it loads.
  auto url = webView.url();
  auto cache = VLNativeCache::sharedInstanceIfMade();
  if (url && cache) cache->documentWillLoad(*url);
}

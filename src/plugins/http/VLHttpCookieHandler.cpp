#include "plugins/http/VLHttpCookieHandler.h"

#include <vector>

#include "platform/foundation/JSONText.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/Strings.h"
#include "platform/net/HTTPCookie.h"
#include "platform/net/HTTPCookieStorage.h"
#include "platform/webkit/WebView.h"

using platform::HTTPHeaders;
using platform::URL;

void VLHttpSharedCookieHandlerEngine::getPersistedCookiesForUrl(const URL& url,
                                                                CookieHeadersCompletion completion) {
  HTTPHeaders headers;
  if (!url.isEmpty())
    headers = platform::HTTPCookie::requestHeaderFieldsWithCookies(
        platform::HTTPCookieStorage::sharedHTTPCookieStorage()->cookiesForURL(url));
  completion(std::move(headers));
}

void VLHttpSharedCookieHandlerEngine::persistCookiesFromResponseHeaders(const HTTPHeaders& headers, const URL& url,
                                                                        std::function<void()> completion) {
  auto cookies = platform::HTTPCookie::cookiesWithResponseHeaderFields(headers, url);
  if (!cookies.empty())
    platform::HTTPCookieStorage::sharedHTTPCookieStorage()->setCookies(cookies, url, std::nullopt);
  completion();
}

HTTPHeaders VLHttpSharedCookieHandlerEngine::scriptVisibleCookieHeadersForUrl(const URL& url) const {
  if (url.isEmpty()) return {};
  std::vector<platform::HTTPCookie> visible;
  for (auto& cookie : platform::HTTPCookieStorage::sharedHTTPCookieStorage()->cookiesForURL(url))
    if (!cookie.httpOnly) visible.push_back(std::move(cookie));
  return platform::HTTPCookie::requestHeaderFieldsWithCookies(visible);
}

VLHttpWKWebViewCookieHandlerEngine::VLHttpWKWebViewCookieHandlerEngine(
    std::weak_ptr<platform::webkit::WebView> webView, std::shared_ptr<VLHttpSharedCookieHandlerEngine> inner)
    : webView_(std::move(webView)), inner_(std::move(inner)) {}

void VLHttpWKWebViewCookieHandlerEngine::getPersistedCookiesForUrl(const URL& url,
                                                                   CookieHeadersCompletion completion) {
  inner_->getPersistedCookiesForUrl(url, std::move(completion));
}

HTTPHeaders VLHttpWKWebViewCookieHandlerEngine::scriptVisibleCookieHeadersForUrl(const URL& url) const {
  return inner_->scriptVisibleCookieHeadersForUrl(url);
}

void VLHttpWKWebViewCookieHandlerEngine::persistCookiesFromResponseHeaders(const HTTPHeaders& headers,
                                                                           const URL& url,
                                                                           std::function<void()> completion) {
  inner_->persistCookiesFromResponseHeaders(headers, url, [] {});
  // The page never sees HttpOnly cookies: they are for the server alone.
  HTTPHeaders visible = inner_->scriptVisibleCookieHeadersForUrl(url);
  // The push must run on the main thread, where the web view lives. The session's worker
  // thread posts it and goes on; the request's answer follows the push there, so the page's
  // copy is current when the answer arrives.
  auto push = [self = shared_from_this(), visible = std::move(visible), url, completion = std::move(completion)]() mutable {
    self->syncCookiesToJs(visible, url, std::move(completion));
  };
  if (platform::MainLoop::isMainThread())
    push();
  else
    platform::MainLoop::post(std::move(push));
}

void VLHttpWKWebViewCookieHandlerEngine::syncCookiesToJs(const HTTPHeaders& cookies, const URL& url,
                                                         std::function<void()> completion) {
  auto webView = webView_.lock();
  if (!webView || !pageMayHoldCookiesOf(url)) {
    completion();
    return;
  }
  const std::string* cookie = platform::findHeaderField(cookies, "Cookie");
  webView->evaluateJavaScript(generateSetCookieJsScript(cookie ? *cookie : ""),
                              [completion = std::move(completion)](const platform::Value&,
                                                                   const std::optional<platform::Error>&) {
                                completion();
                              });
}

bool VLHttpWKWebViewCookieHandlerEngine::sameOrigin(const URL& a, const URL& b) {
  auto effectivePort = [](const URL& url) -> std::optional<int> {
    if (auto port = url.port()) return static_cast<int>(*port);
    std::string scheme = platform::asciiLower(url.scheme());
    if (scheme == "https") return 443;
    if (scheme == "http") return 80;
    return std::nullopt;
  };
  return !a.host().empty() && platform::equalsIgnoreCase(a.scheme(), b.scheme()) &&
         platform::equalsIgnoreCase(a.host(), b.host()) && effectivePort(a) == effectivePort(b);
}

bool VLHttpWKWebViewCookieHandlerEngine::pageMayHoldCookiesOf(const URL& url) const {
  auto webView = webView_.lock();
  if (!webView) return false;
  const auto& page = webView->committedPage().url;
  if (page && sameOrigin(*page, url)) return true;
  return mayHold_ && mayHold_(url);
}

std::string VLHttpWKWebViewCookieHandlerEngine::generateSetCookieJsScript(const std::string& cookie) {
  // JSON text is a valid script literal, so quotes and backslashes in a cookie arrive intact;
  // bytes that are not UTF-8 become U+FFFD rather than breaking the script.
  std::string array = platform::jsonText(platform::Value::array({cookie}));
  return "VeltroNative.HttpCookieManager.setCookie(" + array + ");";
}

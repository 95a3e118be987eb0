#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/URL.h"
#include "platform/net/HTTPHeaders.h"

namespace platform::webkit {
class WebView;
}

// Where the HTTP plugin's requests take their cookies from and store the cookies of every
// response, so that native requests share one cookie jar with the rest of the process.
class VLHttpCookieHandler {
 public:
  using CookieHeadersCompletion = std::function<void(platform::HTTPHeaders)>;

  virtual ~VLHttpCookieHandler() = default;
  // The request header fields for the stored cookies of `url`: one "Cookie" field, or none.
  virtual void getPersistedCookiesForUrl(const platform::URL& url, CookieHeadersCompletion completion) = 0;
  // Stores the cookies of a response from `url`; the completion runs once they are stored.
  virtual void persistCookiesFromResponseHeaders(const platform::HTTPHeaders& headers, const platform::URL& url,
                                                 std::function<void()> completion) = 0;
};

// The process's shared cookie store. Both operations complete before they return.
class VLHttpSharedCookieHandlerEngine : public VLHttpCookieHandler {
 public:
  void getPersistedCookiesForUrl(const platform::URL& url, CookieHeadersCompletion completion) override;
  void persistCookiesFromResponseHeaders(const platform::HTTPHeaders& headers, const platform::URL& url,
                                         std::function<void()> completion) override;
  // The same as getPersistedCookiesForUrl without HttpOnly cookies: what page script may see.
  platform::HTTPHeaders scriptVisibleCookieHeadersForUrl(const platform::URL& url) const;
};

// The shared store, and a mirror of the application server's cookie header in the page
// (window.VeltroNative.HttpCookieManager). A write finishes on the main thread, after the
// page's copy was updated; the calling thread never waits for it.
class VLHttpWKWebViewCookieHandlerEngine : public VLHttpCookieHandler,
                                           public std::enable_shared_from_this<VLHttpWKWebViewCookieHandlerEngine> {
 public:
  // The web view is held weakly: the cookie handler lives as long as the process, and a web
  // view that went away simply gets no pushes.
  VLHttpWKWebViewCookieHandlerEngine(std::weak_ptr<platform::webkit::WebView> webView,
                                     std::shared_ptr<VLHttpSharedCookieHandlerEngine> inner);

  void getPersistedCookiesForUrl(const platform::URL& url, CookieHeadersCompletion completion) override;
  void persistCookiesFromResponseHeaders(const platform::HTTPHeaders& headers, const platform::URL& url,
                                         std::function<void()> completion) override;

  // Main thread: pushes the "Cookie" value of `cookies` into the page when the page shown is
  // on the host of `url`, then completes (at once when it is not).
  void syncCookiesToJs(const platform::HTTPHeaders& cookies, const platform::URL& url,
                       std::function<void()> completion);
  // The cookies of `url` that page script may see (no HttpOnly ones).
  platform::HTTPHeaders scriptVisibleCookieHeadersForUrl(const platform::URL& url) const;
  // "VeltroNative.HttpCookieManager.setCookie([...]);" with the cookie string as JSON.
  static std::string generateSetCookieJsScript(const std::string& cookie);

  std::shared_ptr<platform::webkit::WebView> webView() const { return webView_.lock(); }
  const std::shared_ptr<VLHttpSharedCookieHandlerEngine>& uiWebViewHandler() const { return inner_; }

 private:
  std::weak_ptr<platform::webkit::WebView> webView_;
  std::shared_ptr<VLHttpSharedCookieHandlerEngine> inner_;
};

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

  // Whether the top document may hold the cookies of `url` in its copy: decided on what the
  // web view committed, never on anything the page can change. Main thread.
  using PagePredicate = std::function<bool(const platform::URL& cookieURL)>;
  // By default a page holds the cookies of its own origin only (scheme, host and port): a page
  // of the same host over plain http, or on another port, gets nothing.
  bool pageMayHoldCookiesOf(const platform::URL& url) const;
  // Widens the default, for the application's own page, whose origin is not its server's.
  void setPageMayHoldCookies(PagePredicate predicate) { mayHold_ = std::move(predicate); }
  // Whether two URLs are of one origin: scheme and host in any case, and port, an absent one
  // being the scheme's default.
  static bool sameOrigin(const platform::URL& a, const platform::URL& b);

  // Main thread: pushes the "Cookie" value of `cookies` into the page when it may hold the
  // cookies of `url`, then completes (at once when it may not).
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
  PagePredicate mayHold_;
};

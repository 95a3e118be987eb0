#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/URL.h"
#include "platform/net/HTTPCookie.h"

namespace platform {

enum class HTTPCookieAcceptPolicy { Always = 0, Never = 1, OnlyFromMainDocumentDomain = 2 };

// A cookie store with RFC 6265 matching: libsoup's cookie jar behind the platform's
// interface. The shared store is persisted under the data root ("Library/Cookies/
// Cookies.txt"); ephemeral stores live in memory. Every operation is safe from any thread.
class HTTPCookieStorage {
 public:
  // The process-wide store, opened on first use under the data root current at that moment.
  static std::shared_ptr<HTTPCookieStorage> sharedHTTPCookieStorage();
  // A store that keeps its cookies in memory only (ephemeral sessions).
  static std::shared_ptr<HTTPCookieStorage> makeEphemeral();
  // A store persisted in the given text file (made when missing).
  static std::shared_ptr<HTTPCookieStorage> makePersistent(const std::string& path);

  ~HTTPCookieStorage();
  HTTPCookieStorage(const HTTPCookieStorage&) = delete;
  HTTPCookieStorage& operator=(const HTTPCookieStorage&) = delete;

  std::vector<HTTPCookie> cookies() const;
  // The cookies a request to `url` would carry, secure and HTTP-only ones included.
  std::vector<HTTPCookie> cookiesForURL(const URL& url) const;
  void setCookie(const HTTPCookie& cookie);
  // Stores the cookies as set by a response from `url`, subject to the accept policy. Under
  // the main-document-domain policy, a request without a main document is its own.
  void setCookies(const std::vector<HTTPCookie>& cookies, const URL& url,
                  const std::optional<URL>& mainDocumentURL);
  void deleteCookie(const HTTPCookie& cookie);
  void removeAllCookies();

  // What a session does with every response: store the cookies of its "Set-Cookie" fields.
  void setCookiesFromResponseHeaderFields(const HTTPHeaders& headerFields, const URL& url,
                                          const std::optional<URL>& mainDocumentURL = std::nullopt);
  // The request "Cookie" header value for `url`, or nothing when no cookie applies.
  std::optional<std::string> cookieHeaderForURL(const URL& url) const;

  HTTPCookieAcceptPolicy cookieAcceptPolicy() const;
  void setCookieAcceptPolicy(HTTPCookieAcceptPolicy policy);

 private:
  struct Jar;
  explicit HTTPCookieStorage(std::unique_ptr<Jar> jar);

  mutable std::mutex mutex_;
  std::unique_ptr<Jar> jar_;
  HTTPCookieAcceptPolicy policy_ = HTTPCookieAcceptPolicy::Always;
};

}  // namespace platform

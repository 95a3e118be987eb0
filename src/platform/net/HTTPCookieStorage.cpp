#include "platform/net/HTTPCookieStorage.h"

#include <libsoup/soup.h>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"
#include "platform/net/HTTPCookieSoup.h"

namespace platform {

struct HTTPCookieStorage::Jar {
  explicit Jar(SoupCookieJar* made) : jar(made) {
    // Our own policy decides what is accepted; the jar itself takes whatever it is given.
    soup_cookie_jar_set_accept_policy(jar, SOUP_COOKIE_JAR_ACCEPT_ALWAYS);
  }
  ~Jar() { g_object_unref(jar); }
  Jar(const Jar&) = delete;
  Jar& operator=(const Jar&) = delete;

  SoupCookieJar* jar;
};

namespace {

std::vector<HTTPCookie> toCookies(GSList* list) {
  std::vector<HTTPCookie> out;
  for (GSList* item = list; item; item = item->next)
    out.push_back(soup::toCookie(static_cast<SoupCookie*>(item->data)));
  g_slist_free_full(list, reinterpret_cast<GDestroyNotify>(soup_cookie_free));
  return out;
}

// The main-document-domain policy accepts a cookie only when the URL that sets it shares the
// main document's host; with no main document the URL is its own.
bool acceptsFrom(HTTPCookieAcceptPolicy policy, const URL& url,
                 const std::optional<URL>& mainDocumentURL) {
  switch (policy) {
    case HTTPCookieAcceptPolicy::Always:
      return true;
    case HTTPCookieAcceptPolicy::Never:
      return false;
    case HTTPCookieAcceptPolicy::OnlyFromMainDocumentDomain: {
      if (!mainDocumentURL) return true;
      std::string host = asciiLower(url.host());
      std::string main = asciiLower(mainDocumentURL->host());
      return host == main || endsWith(host, "." + main) || endsWith(main, "." + host);
    }
  }
  return false;
}

}  // namespace

HTTPCookieStorage::HTTPCookieStorage(std::unique_ptr<Jar> jar) : jar_(std::move(jar)) {}
HTTPCookieStorage::~HTTPCookieStorage() = default;

std::shared_ptr<HTTPCookieStorage> HTTPCookieStorage::sharedHTTPCookieStorage() {
  static std::shared_ptr<HTTPCookieStorage> shared = [] {
    std::string folder = fs::appendPath(paths::library(), "Cookies");
    if (auto error = fs::createDirectory(folder, true))
      log("HTTPCookieStorage: cannot create " + folder + ": " + error->localizedDescription());
    return makePersistent(fs::appendPath(folder, "Cookies.txt"));
  }();
  return shared;
}

std::shared_ptr<HTTPCookieStorage> HTTPCookieStorage::makeEphemeral() {
  return std::shared_ptr<HTTPCookieStorage>(
      new HTTPCookieStorage(std::make_unique<Jar>(soup_cookie_jar_new())));
}

std::shared_ptr<HTTPCookieStorage> HTTPCookieStorage::makePersistent(const std::string& path) {
  return std::shared_ptr<HTTPCookieStorage>(
      new HTTPCookieStorage(std::make_unique<Jar>(soup_cookie_jar_text_new(path.c_str(), FALSE))));
}

std::vector<HTTPCookie> HTTPCookieStorage::cookies() const {
  std::lock_guard lock(mutex_);
  return toCookies(soup_cookie_jar_all_cookies(jar_->jar));
}

std::vector<HTTPCookie> HTTPCookieStorage::cookiesForURL(const URL& url) const {
  soup::UriPtr uri = soup::uriFor(url);
  if (!uri) return {};
  std::lock_guard lock(mutex_);
  return toCookies(soup_cookie_jar_get_cookie_list(jar_->jar, uri.get(), TRUE));
}

void HTTPCookieStorage::setCookie(const HTTPCookie& cookie) {
  if (cookie.domain.empty()) {
    log("HTTPCookieStorage: cookie " + cookie.name + " has no domain; not stored");
    return;
  }
  std::lock_guard lock(mutex_);
  if (policy_ == HTTPCookieAcceptPolicy::Never) return;
  soup_cookie_jar_add_cookie(jar_->jar, soup::fromCookie(cookie).release());
}

void HTTPCookieStorage::setCookies(const std::vector<HTTPCookie>& cookies, const URL& url,
                                   const std::optional<URL>& mainDocumentURL) {
  soup::UriPtr uri = soup::uriFor(url);
  if (!uri) return;
  std::lock_guard lock(mutex_);
  if (!acceptsFrom(policy_, url, mainDocumentURL)) return;
  for (const auto& cookie : cookies) {
    // The jar takes ownership of the cookie it is given.
    soup_cookie_jar_add_cookie_full(jar_->jar, soup::fromCookie(cookie).release(), uri.get(),
                                    nullptr);
  }
}

void HTTPCookieStorage::deleteCookie(const HTTPCookie& cookie) {
  std::lock_guard lock(mutex_);
  soup::CookiePtr target = soup::fromCookie(cookie);
  soup_cookie_jar_delete_cookie(jar_->jar, target.get());
}

void HTTPCookieStorage::removeAllCookies() {
  std::lock_guard lock(mutex_);
  GSList* all = soup_cookie_jar_all_cookies(jar_->jar);
  for (GSList* item = all; item; item = item->next)
    soup_cookie_jar_delete_cookie(jar_->jar, static_cast<SoupCookie*>(item->data));
  g_slist_free_full(all, reinterpret_cast<GDestroyNotify>(soup_cookie_free));
}

void HTTPCookieStorage::setCookiesFromResponseHeaderFields(
    const HTTPHeaders& headerFields, const URL& url, const std::optional<URL>& mainDocumentURL) {
  soup::UriPtr uri;
  std::lock_guard lock(mutex_);
  for (const auto& [name, value] : headerFields) {
    if (!equalsIgnoreCase(name, "Set-Cookie")) continue;
    if (!acceptsFrom(policy_, url, mainDocumentURL)) return;
    if (!uri) uri = soup::uriFor(url);
    if (!uri) return;
    // Parsed straight into the jar so that attributes the platform cookie does not model
    // (SameSite, Max-Age precision) are kept.
    soup_cookie_jar_set_cookie(jar_->jar, uri.get(), value.c_str());
  }
}

std::optional<std::string> HTTPCookieStorage::cookieHeaderForURL(const URL& url) const {
  soup::UriPtr uri = soup::uriFor(url);
  if (!uri) return std::nullopt;
  std::lock_guard lock(mutex_);
  char* header = soup_cookie_jar_get_cookies(jar_->jar, uri.get(), TRUE);
  if (!header) return std::nullopt;
  std::string out = header;
  g_free(header);
  if (out.empty()) return std::nullopt;
  return out;
}

HTTPCookieAcceptPolicy HTTPCookieStorage::cookieAcceptPolicy() const {
  std::lock_guard lock(mutex_);
  return policy_;
}

void HTTPCookieStorage::setCookieAcceptPolicy(HTTPCookieAcceptPolicy policy) {
  std::lock_guard lock(mutex_);
  policy_ = policy;
}

}  // namespace platform

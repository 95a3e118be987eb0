#pragma once

// Conversions between the platform's cookies and libsoup's, shared by the cookie value type
// and the cookie store. Internal to platform/net.

#include <libsoup/soup.h>

#include <memory>

#include "platform/foundation/URL.h"
#include "platform/net/HTTPCookie.h"

namespace platform::soup {

struct UriUnref {
  void operator()(GUri* uri) const { g_uri_unref(uri); }
};
using UriPtr = std::unique_ptr<GUri, UriUnref>;

struct CookieFree {
  void operator()(SoupCookie* cookie) const { soup_cookie_free(cookie); }
};
using CookiePtr = std::unique_ptr<SoupCookie, CookieFree>;

// The URI libsoup matches cookies against; null for a URL it cannot take (no http(s) host).
inline UriPtr uriFor(const URL& url) {
  if (url.isEmpty()) return nullptr;
  return UriPtr(g_uri_parse(url.absoluteString().c_str(),
                            static_cast<GUriFlags>(SOUP_HTTP_URI_FLAGS), nullptr));
}

inline HTTPCookie toCookie(SoupCookie* cookie) {
  HTTPCookie out;
  out.name = soup_cookie_get_name(cookie) ? soup_cookie_get_name(cookie) : "";
  out.value = soup_cookie_get_value(cookie) ? soup_cookie_get_value(cookie) : "";
  out.domain = soup_cookie_get_domain(cookie) ? soup_cookie_get_domain(cookie) : "";
  out.path = soup_cookie_get_path(cookie) ? soup_cookie_get_path(cookie) : "/";
  if (GDateTime* expires = soup_cookie_get_expires(cookie))
    out.expiresDate = static_cast<double>(g_date_time_to_unix(expires)) +
                      static_cast<double>(g_date_time_get_microsecond(expires)) / 1e6;
  out.secure = soup_cookie_get_secure(cookie);
  out.httpOnly = soup_cookie_get_http_only(cookie);
  return out;
}

inline CookiePtr fromCookie(const HTTPCookie& cookie) {
  CookiePtr out(soup_cookie_new(cookie.name.c_str(), cookie.value.c_str(), cookie.domain.c_str(),
                                cookie.path.empty() ? "/" : cookie.path.c_str(), -1));
  if (cookie.expiresDate) {
    GDateTime* expires = g_date_time_new_from_unix_utc(static_cast<gint64>(*cookie.expiresDate));
    soup_cookie_set_expires(out.get(), expires);
    g_date_time_unref(expires);
  }
  soup_cookie_set_secure(out.get(), cookie.secure);
  soup_cookie_set_http_only(out.get(), cookie.httpOnly);
  return out;
}

}  // namespace platform::soup

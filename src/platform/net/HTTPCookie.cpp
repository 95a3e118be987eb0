#include "platform/net/HTTPCookie.h"

#include <libsoup/soup.h>

#include "platform/foundation/Strings.h"
#include "platform/net/HTTPCookieSoup.h"

namespace platform {

std::vector<HTTPCookie> HTTPCookie::cookiesWithResponseHeaderFields(const HTTPHeaders& headerFields,
                                                                    const URL& url) {
  std::vector<HTTPCookie> cookies;
  soup::UriPtr origin = soup::uriFor(url);
  if (!origin) return cookies;
  for (const auto& [name, value] : headerFields) {
    if (!equalsIgnoreCase(name, "Set-Cookie")) continue;
    if (SoupCookie* parsed = soup_cookie_parse(value.c_str(), origin.get())) {
      cookies.push_back(soup::toCookie(parsed));
      soup_cookie_free(parsed);
    }
  }
  return cookies;
}

HTTPHeaders HTTPCookie::requestHeaderFieldsWithCookies(const std::vector<HTTPCookie>& cookies) {
  if (cookies.empty()) return {};
  std::string header;
  for (const auto& cookie : cookies) {
    if (!header.empty()) header += "; ";
    header += cookie.name.empty() ? cookie.value : cookie.name + "=" + cookie.value;
  }
  return {{"Cookie", header}};
}

}  // namespace platform

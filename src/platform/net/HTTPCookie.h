#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/URL.h"
#include "platform/net/HTTPHeaders.h"

namespace platform {

// One cookie as the cookie store keeps it. A host-only cookie has the bare host as its
// domain; a domain cookie has the domain with a leading dot. A cookie without an expiry date
// lasts for the session only and is never written to disk.
struct HTTPCookie {
  std::string name;
  std::string value;
  std::string domain;
  std::string path = "/";
  std::optional<double> expiresDate;  // seconds since 1970
  bool secure = false;
  bool httpOnly = false;

  bool isSessionOnly() const { return !expiresDate.has_value(); }
  bool operator==(const HTTPCookie& other) const = default;

  // The cookies of every "Set-Cookie" field (names compared ignoring ASCII case) as a
  // response from `url` would set them; malformed fields are skipped.
  static std::vector<HTTPCookie> cookiesWithResponseHeaderFields(const HTTPHeaders& headerFields,
                                                                 const URL& url);
  // {"Cookie": "a=1; b=2"} for the given cookies in order, or no field at all when there are
  // none.
  static HTTPHeaders requestHeaderFieldsWithCookies(const std::vector<HTTPCookie>& cookies);
};

}  // namespace platform

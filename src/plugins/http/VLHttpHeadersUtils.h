#pragma once

#include "platform/foundation/Value.h"
#include "platform/net/HTTPHeaders.h"

// The header rules of the HTTP plugin: which request headers a page may set, and how response
// headers reach the page.
class VLHttpHeadersUtils {
 public:
  // The page's headers without those the browser reserves for itself (cookies, the user
  // agent, hop-by-hop and "proxy-"/"sec-" fields). Names keep their case; entries whose value
  // is not a string are dropped (validation refuses them before this point).
  static platform::HTTPHeaders processRequestHeaders(const platform::Value& headers);
  static platform::HTTPHeaders processRequestHeaders(const platform::HTTPHeaders& headers);
  // A dictionary of ASCII lower-cased names without "set-cookie" and "set-cookie2"; values
  // that are not valid UTF-8 have the bad bytes replaced, and repeated names are joined.
  static platform::Value processResponseHeaders(const platform::HTTPHeaders& headers);

  static bool isForbiddenRequestHeader(std::string_view name);
};

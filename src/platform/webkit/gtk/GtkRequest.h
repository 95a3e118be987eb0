#pragma once

#include <webkit2/webkit2.h>

#include "platform/net/URLRequest.h"

namespace platform::webkit {

// A WebKit request as the host sees it: URL, method and header fields. A navigation's
// request and a custom scheme's request carry the same three, through different getters.
URLRequest requestFrom(WebKitURIRequest* request);
URLRequest requestFrom(WebKitURISchemeRequest* request);

}  // namespace platform::webkit

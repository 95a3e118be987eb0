#pragma once

#include "platform/webkit/WebView.h"

// What a plugin adopts to take the web view's authentication challenges. The "veltro" engine
// hands each challenge to the first plugin object (in the host's table order) that adopts
// it; that plugin must call `completion` once. With none, the web engine's own handling
// applies.
class HBRAuthenticationChallengeHandler {
 public:
  virtual ~HBRAuthenticationChallengeHandler() = default;
  virtual void didReceiveAuthenticationChallenge(platform::webkit::WebView& webView,
                                                 const platform::webkit::AuthenticationChallenge& challenge,
                                                 platform::webkit::AuthenticationCompletion completion) = 0;
};

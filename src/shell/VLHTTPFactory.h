#pragma once

#include <optional>
#include <string>

#include "platform/net/URLSessionConfiguration.h"

// Every URL session the shell's native code opens starts from a configuration made here: the
// same two default request headers ("User-Agent" and "veltro-device-uuid") and a snapshot of
// the URL-protocol list of VLProtocolManagerPlugin, loader protocol first. A configuration is
// a new value each time and belongs to the caller; later changes of the values do not reach
// configurations already made.
//
// A configuration always carries a user agent: until the web view's application name is set
// (or when there is none, or it could not be sent as a header field) it is the shell's own
// name and version ("Veltro/<version>").
class VLHTTPFactory {
 public:
  static platform::URLSessionConfiguration defaultConfiguration();
  // The same on an ephemeral configuration: cookies kept in memory for that session only.
  static platform::URLSessionConfiguration ephemeralConfiguration();
  // Exactly two fields, "User-Agent" and then "veltro-device-uuid", from the current values.
  static platform::HTTPHeaders defaultHttpHeaders();

  // Safe from any thread; readers never wait for a setter.
  static void setUserAgent(std::optional<std::string> userAgent);
  static void setDeviceUUID(std::string deviceUUID);

  // "Veltro/<project version>".
  static std::string fallbackUserAgent();
};

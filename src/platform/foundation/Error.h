#pragma once

#include <string>

#include "platform/foundation/Value.h"

namespace platform {

// An error as the platform reports it: a domain, an integer code and a user-info dictionary.
struct Error {
  std::string domain;
  long code = 0;
  Value userInfo = Value::object();

  static Error make(std::string domain, long code, std::string description) {
    Error e{std::move(domain), code, Value::object()};
    e.userInfo["NSLocalizedDescription"] = std::move(description);
    return e;
  }

  std::string localizedDescription() const {
    auto it = userInfo.find("NSLocalizedDescription");
    if (it != userInfo.end() && it->is_string()) return it->get<std::string>();
    return "The operation couldn't be completed. (" + domain + " error " + std::to_string(code) + ".)";
  }
};

// Well-known domains.
inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";

}  // namespace platform

#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/plugins/HBRWhitelistPattern.h"
#include "platform/foundation/URL.h"

// An ordered list of URL patterns written as "config.xml" writes the "href" of an allow
// rule, plus the schemes those entries name. The entry "*" allows everything.
class HBRWhitelist {
 public:
  explicit HBRWhitelist(const std::vector<std::string>& entries);

  // Four dot-separated parts, each "*" or a whole number from 0 to 255.
  static bool isIPv4Address(const std::string& text);
  void addWhiteListEntry(const std::string& entry);
  // `scheme` lower-cased.
  bool schemeIsAllowed(const std::string& scheme) const;
  bool URLIsAllowed(const platform::URL& url) const { return URLIsAllowed(url, true); }
  bool URLIsAllowed(const platform::URL& url, bool logFailure) const;
  std::string errorStringForURL(const platform::URL& url) const;

  // Absent means that every URL is allowed.
  const std::optional<std::vector<HBRWhitelistPattern>>& whitelist() const { return whitelist_; }
  // Absent means that every scheme is permitted. Schemes are kept as written.
  const std::optional<std::set<std::string>>& permittedSchemes() const { return permittedSchemes_; }
  // Every "%@" in it is replaced by the URL's absolute string (text, never a printf format).
  const std::string& whitelistRejectionFormatString() const { return rejectionFormat_; }
  void setWhitelistRejectionFormatString(std::string format) {
    rejectionFormat_ = std::move(format);
  }

 private:
  std::optional<std::vector<HBRWhitelistPattern>> whitelist_;
  std::optional<std::set<std::string>> permittedSchemes_;
  std::string rejectionFormat_ = "ERROR whitelist rejection: url='%@'";
};

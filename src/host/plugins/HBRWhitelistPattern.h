#pragma once

#include <optional>
#include <string>

#include "platform/foundation/Regex.h"
#include "platform/foundation/URL.h"

// One entry of a whitelist, compiled: an expression per part of a URL. An absent part
// matches anything.
class HBRWhitelistPattern {
 public:
  // The expression for one part: every metacharacter (and "/") escaped, then, with
  // wildcards allowed, "*" as ".*" and a final "/*" made optional so that "/app/*" also
  // covers "/app". Ends with "$".
  static std::string regexFromPattern(const std::string& pattern, bool allowWildcards);

  // Parts given as "*" (or "/*" for the path) are left absent.
  HBRWhitelistPattern(const std::optional<std::string>& scheme,
                      const std::optional<std::string>& host,
                      const std::optional<std::string>& port,
                      const std::optional<std::string>& path);

  // Every present part matches the URL's, each from the start of its text.
  bool matches(const platform::URL& url) const;

  const std::optional<platform::Regex>& scheme() const { return scheme_; }
  const std::optional<platform::Regex>& host() const { return host_; }
  const std::optional<int>& port() const { return port_; }
  const std::optional<platform::Regex>& path() const { return path_; }

 private:
  static std::optional<platform::Regex> compile(const std::string& expression,
                                                bool caseInsensitive);

  std::optional<platform::Regex> scheme_;
  std::optional<platform::Regex> host_;
  std::optional<int> port_;
  std::optional<platform::Regex> path_;
  // A part whose expression did not compile; such a pattern matches nothing rather than
  // silently dropping the restriction.
  bool broken_ = false;
};

#include "host/plugins/HBRWhitelistPattern.h"

#include <charconv>
#include <climits>

#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"

std::string HBRWhitelistPattern::regexFromPattern(const std::string& pattern, bool allowWildcards) {
  // GRegex leaves "/" alone; the rules below expect it escaped like every other delimiter.
  std::string escaped;
  for (char c : platform::Regex::escape(pattern)) {
    if (c == '/') escaped += '\\';
    escaped += c;
  }
  std::string regex;
  if (allowWildcards) {
    // Walk the escaped text pair by pair, so that an escaped backslash before a star is
    // never taken for an escaped star.
    for (size_t i = 0; i < escaped.size(); ++i) {
      if (escaped[i] == '\\' && i + 1 < escaped.size()) {
        if (escaped[i + 1] == '*') {
          regex += ".*";
        } else {
          regex += escaped[i];
          regex += escaped[i + 1];
        }
        ++i;
      } else {
        regex += escaped[i];
      }
    }
    if (platform::endsWith(regex, "\\/.*")) {
      regex.resize(regex.size() - 4);
      regex += "(\\/.*)?";
    }
  } else {
    regex = escaped;
  }
  return regex + "$";
}

std::optional<platform::Regex> HBRWhitelistPattern::compile(const std::string& expression,
                                                            bool caseInsensitive) {
  // Every expression is matched from the start of its text.
  return platform::Regex::make("^" + expression, caseInsensitive);
}

HBRWhitelistPattern::HBRWhitelistPattern(const std::optional<std::string>& scheme,
                                         const std::optional<std::string>& host,
                                         const std::optional<std::string>& port,
                                         const std::optional<std::string>& path) {
  if (scheme && *scheme != "*") {
    scheme_ = compile(regexFromPattern(*scheme, false), true);
    broken_ = broken_ || !scheme_;
  }
  if (host && *host != "*") {
    std::string expression = platform::startsWith(*host, "*.")
                                 ? "([a-z0-9.-]*\\.)?" + regexFromPattern(host->substr(2), false)
                                 : regexFromPattern(*host, false);
    host_ = compile(expression, true);
    broken_ = broken_ || !host_;
  }
  if (port && *port != "*") {
    // The string's integer value; a number too large for a port still never matches one.
    int value = 0;
    auto [end, error] = std::from_chars(port->data(), port->data() + port->size(), value);
    (void)end;
    if (error == std::errc::result_out_of_range) value = INT_MAX;
    port_ = value;
  }
  if (path && *path != "/*") {
    path_ = compile(regexFromPattern(*path, true), false);
    broken_ = broken_ || !path_;
  }
  if (broken_) platform::log("Whitelist pattern could not be compiled; it will match nothing.");
}

bool HBRWhitelistPattern::matches(const platform::URL& url) const {
  if (broken_) return false;
  if (scheme_ && !scheme_->matches(url.scheme())) return false;
  if (host_) {
    std::string host = url.host();
    if (host.empty() || !host_->matches(host)) return false;
  }
  if (port_) {
    auto urlPort = url.port();
    if (!urlPort || *urlPort != *port_) return false;
  }
  if (path_ && !path_->matches(url.path())) return false;
  return true;
}

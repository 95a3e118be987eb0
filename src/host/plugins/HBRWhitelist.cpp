#include "host/plugins/HBRWhitelist.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/Regex.h"
#include "platform/foundation/Strings.h"

namespace {

// scheme "://" host port path, each optional; see addWhiteListEntry. The port may also be
// "*", which the pattern treats as "any port".
const std::optional<platform::Regex>& entryExpression() {
  static const std::optional<platform::Regex> expression = platform::Regex::make(
      "^((\\*|[A-Za-z-]+):/?/?)?(((\\*\\.)?[^*/:]+)|\\*)?(:(\\d+|\\*))?(/.*)?");
  return expression;
}

bool isBuiltInScheme(const std::string& scheme) {
  return scheme == "http" || scheme == "https" || scheme == "ftp" || scheme == "ftps";
}

std::optional<std::string> group(const std::vector<std::string>& groups, size_t index) {
  // Every group of the entry expression that takes part in a match is non-empty.
  if (index >= groups.size() || groups[index].empty()) return std::nullopt;
  return groups[index];
}

}  // namespace

HBRWhitelist::HBRWhitelist(const std::vector<std::string>& entries)
    : whitelist_(std::vector<HBRWhitelistPattern>{}), permittedSchemes_(std::set<std::string>{}) {
  for (const std::string& entry : entries) addWhiteListEntry(entry);
}

bool HBRWhitelist::isIPv4Address(const std::string& text) {
  auto parts = platform::split(text, '.');
  if (parts.size() != 4) return false;
  for (const std::string& part : parts) {
    if (part == "*") continue;
    if (part.empty() || part.size() > 3) return false;
    for (char c : part)
      if (c < '0' || c > '9') return false;
    if (std::stoi(part) > 255) return false;
  }
  return true;
}

void HBRWhitelist::addWhiteListEntry(const std::string& entry) {
  if (!whitelist_) return;
  if (entry == "*") {
    platform::log("Unlimited access to network resources");
    whitelist_.reset();
    permittedSchemes_.reset();
    return;
  }
  const auto& expression = entryExpression();
  auto groups = expression ? expression->firstMatch(entry) : std::nullopt;
  // Every part of the entry expression is optional, so it "matches" some start of any text.
  // Taking only that start would turn an entry of which little or nothing was understood
  // (an empty one, or the typo "*example.com", read as the host "*") into a pattern wider
  // than written, up to every http and https URL; such an entry is ignored instead.
  if (!groups || (*groups)[0].empty() || (*groups)[0].size() != entry.size()) {
    platform::log(
        platform::stringf("Whitelist entry '%s' is not understood and is ignored.", entry.c_str()));
    return;
  }
  std::optional<std::string> scheme = group(*groups, 2);
  std::optional<std::string> host = group(*groups, 3);
  std::optional<std::string> port = group(*groups, 7);
  std::optional<std::string> path = group(*groups, 8);

  if (!host && scheme && (*scheme == "file" || *scheme == "content")) host = "*";

  if (scheme) {
    whitelist_->emplace_back(scheme, host, port, path);
  } else {
    whitelist_->emplace_back(std::string("http"), host, port, path);
    whitelist_->emplace_back(std::string("https"), host, port, path);
  }

  if (permittedSchemes_ && scheme) {
    if (*scheme == "*") {
      permittedSchemes_.reset();
    } else {
      permittedSchemes_->insert(*scheme);
    }
  }
}

bool HBRWhitelist::schemeIsAllowed(const std::string& scheme) const {
  if (isBuiltInScheme(scheme)) return true;
  if (!permittedSchemes_) return true;
  // Entries keep the scheme as written; the question comes lower-cased.
  for (const std::string& permitted : *permittedSchemes_)
    if (platform::asciiLower(permitted) == scheme) return true;
  return false;
}

bool HBRWhitelist::URLIsAllowed(const platform::URL& url, bool logFailure) const {
  if (!whitelist_) return true;
  std::string scheme = platform::asciiLower(url.scheme());
  if (schemeIsAllowed(scheme)) {
    if (isBuiltInScheme(scheme)) {
      // Entries for "*" or "hbr-default-scheme" cover the four built-in schemes at once.
      std::string text =
          "hbr-default-scheme://" + url.host() +
          platform::percentEncode(url.path(), platform::URLCharacterSet::PathAllowed);
      if (auto defaultURL = platform::URL::parse(text);
          defaultURL && URLIsAllowed(*defaultURL, false))
        return true;
    }
    for (const HBRWhitelistPattern& pattern : *whitelist_)
      if (pattern.matches(url)) return true;
  }
  if (logFailure) platform::log(errorStringForURL(url));
  return false;
}

std::string HBRWhitelist::errorStringForURL(const platform::URL& url) const {
  std::string out;
  const std::string& format = rejectionFormat_;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == '@') {
      out += url.absoluteString();
      ++i;
    } else {
      out += format[i];
    }
  }
  return out;
}

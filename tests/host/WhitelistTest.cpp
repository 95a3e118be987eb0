#include <gtest/gtest.h>

#include "host/plugins/HBRWhitelist.h"
#include "support/TestSupport.h"

namespace {

bool allowed(const HBRWhitelist& list, const char* text) {
  auto url = platform::URL::parse(text);
  EXPECT_TRUE(url) << text;
  return url && list.URLIsAllowed(*url, false);
}

}  // namespace

TEST(WhitelistTest, EntriesMatchSchemeHostPortAndPathAsWritten) {
  // Entries and the URLs they allow (true) or refuse (false).
  const std::vector<std::pair<std::vector<std::string>, std::vector<std::pair<const char*, bool>>>> cases = {
      // Pattern characters are literals, except the star.
      {{"https://a.b+c.example/(x)[1]/*"}, {{"https://a.b+c.example/(x)[1]/page", true},
          {"https://aXb+c.example/(x)[1]/page", false}, {"https://a.bbbc.example/(x)[1]/page", false},
          {"https://a.b+c.example/x1/page", false}}},
      // A backslash before a star is a backslash, and the star still stands for anything.
      {{"https://example.com/dir\\*"}, {{"https://example.com/dir\\anything", true},
          {"https://example.com/dir*", false}, {"https://example.com/dirx", false}}},
      // A subdomain entry covers the domain and its subdomains, on http and https only.
      {{"*.example.com"}, {{"http://example.com/", true}, {"https://a.b.example.com/x", true},
          {"HTTPS://WWW.Example.COM/x", true}, {"https://badexample.com/", false},
          {"https://example.com.evil.org/", false}, {"ftp://example.com/", false},
          {"mailto:someone@example.com", false}}},
      // A path wildcard covers the folder itself but not a look-alike; paths keep their case.
      {{"https://example.com/app/*"}, {{"https://example.com/app", true}, {"https://example.com/app/", true},
          {"https://example.com/app/x/y.html?q=1", true}, {"https://example.com/apps", false},
          {"http://example.com/app/x", false}, {"https://example.com/APP/x", false}}},
      // Ports must be written and equal unless the entry says any.
      {{"https://example.com:8443/*"}, {{"https://example.com:8443/x", true}, {"https://example.com/x", false},
          {"https://example.com:8444/x", false}}},
      {{"https://example.com:*/*"}, {{"https://example.com:8443/x", true}, {"https://example.com/x", true}}},
      // Scheme entries permit their scheme, written in any case; unknown schemes are refused.
      {{"file:"}, {{"file:///etc/hosts", true}}},
      {{"file://*"}, {{"file:///any/where", true}}},
      {{"about:*"}, {{"about:blank", true}}},
      {{"MyApp:"}, {{"myapp://open", true}}},
      {{"tel:", "*.example.com"}, {{"tel:+123456", true}, {"sms:+123456", false}, {"gopher://example.com/", false}}},
      // The scheme "*" permits every scheme; the host still has to match.
      {{"*://example.com"}, {{"gopher://example.com/", true}, {"gopher://other.com/", false}}},
      // The default scheme stands for the four built-in ones at once.
      {{"hbr-default-scheme://example.com/docs/*"}, {{"http://example.com/docs/a%20b", true},
          {"https://example.com/docs", true}, {"ftps://example.com/docs/x", true},
          {"gopher://example.com/docs/x", false}}},
  };
  for (const auto& [entries, urls] : cases)
    for (const auto& [url, expected] : urls)
      EXPECT_EQ(allowed(HBRWhitelist(entries), url), expected) << entries[0] << " " << url;
  EXPECT_EQ(HBRWhitelist({"tel:", "*.example.com"}).permittedSchemes(), std::set<std::string>{"tel"});
}

TEST(WhitelistTest, StarAllowsEverythingAndLaterEntriesAreIgnored) {
  testing_support::LogCapture log;
  HBRWhitelist list({"https://a.com", "*", "https://b.com"});
  EXPECT_TRUE(log.contains("Unlimited access to network resources"));
  EXPECT_FALSE(list.whitelist());
  EXPECT_TRUE(allowed(list, "gopher://anything/at/all"));
}

TEST(WhitelistTest, RejectionIsLoggedOnlyWhenAskedTo) {
  HBRWhitelist list({"https://example.com"});
  auto url = *platform::URL::parse("https://other.com/%25s");
  testing_support::LogCapture log;
  EXPECT_FALSE(list.URLIsAllowed(url, false));
  EXPECT_TRUE(log.lines().empty());
  EXPECT_FALSE(list.URLIsAllowed(url));
  // The URL is inserted as text, never read as a format.
  EXPECT_TRUE(log.contains("ERROR whitelist rejection: url='https://other.com/%25s'"));
}

TEST(WhitelistTest, EntriesNotWhollyUnderstoodAreIgnored) {
  // Read only as far as understood, these would allow every http and https URL ("" and the
  // typo "*example.com") or every path and port of the host.
  testing_support::LogCapture log;
  HBRWhitelist list({"", "*example.com", "https://example.com:abc/private/*"});
  EXPECT_EQ(log.count("is not understood and is ignored"), 3u);
  EXPECT_TRUE(list.whitelist()->empty());
  EXPECT_FALSE(allowed(list, "https://example.com/"));
}

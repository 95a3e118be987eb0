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

TEST(WhitelistTest, PatternCharactersAreLiteralsExceptTheStar) {
  HBRWhitelist list({"https://a.b+c.example/(x)[1]/*"});
  EXPECT_TRUE(allowed(list, "https://a.b+c.example/(x)[1]/page"));
  EXPECT_FALSE(allowed(list, "https://aXb+c.example/(x)[1]/page"));   // "." is no wildcard
  EXPECT_FALSE(allowed(list, "https://a.bbbc.example/(x)[1]/page"));  // nor is "+" a repeat
  EXPECT_FALSE(allowed(list, "https://a.b+c.example/x1/page"));       // nor are brackets groups
  // A backslash before a star is a backslash, and the star still stands for anything.
  HBRWhitelist backslash({"https://example.com/dir\\*"});
  EXPECT_TRUE(allowed(backslash, "https://example.com/dir\\anything"));
  EXPECT_FALSE(allowed(backslash, "https://example.com/dir*"));
  EXPECT_FALSE(allowed(backslash, "https://example.com/dirx"));
}

TEST(WhitelistTest, SubdomainEntryCoversTheDomainAndItsSubdomainsOnHttpOnly) {
  HBRWhitelist list({"*.example.com"});
  EXPECT_TRUE(allowed(list, "http://example.com/"));
  EXPECT_TRUE(allowed(list, "https://a.b.example.com/x"));
  EXPECT_TRUE(allowed(list, "HTTPS://WWW.Example.COM/x"));
  EXPECT_FALSE(allowed(list, "https://badexample.com/"));
  EXPECT_FALSE(allowed(list, "https://example.com.evil.org/"));
  EXPECT_FALSE(allowed(list, "ftp://example.com/"));
  EXPECT_FALSE(allowed(list, "mailto:someone@example.com"));
}

TEST(WhitelistTest, PathWildcardCoversTheFolderItselfButNotALookAlike) {
  HBRWhitelist list({"https://example.com/app/*"});
  EXPECT_TRUE(allowed(list, "https://example.com/app"));
  EXPECT_TRUE(allowed(list, "https://example.com/app/"));
  EXPECT_TRUE(allowed(list, "https://example.com/app/x/y.html?q=1"));
  EXPECT_FALSE(allowed(list, "https://example.com/apps"));
  EXPECT_FALSE(allowed(list, "http://example.com/app/x"));
  EXPECT_FALSE(allowed(list, "https://example.com/APP/x"));  // paths keep their case
}

TEST(WhitelistTest, PortsMustBeWrittenAndEqualUnlessTheEntrySaysAny) {
  HBRWhitelist list({"https://example.com:8443/*"});
  EXPECT_TRUE(allowed(list, "https://example.com:8443/x"));
  EXPECT_FALSE(allowed(list, "https://example.com/x"));
  EXPECT_FALSE(allowed(list, "https://example.com:8444/x"));
  HBRWhitelist any({"https://example.com:*/*"});
  EXPECT_TRUE(allowed(any, "https://example.com:8443/x"));
  EXPECT_TRUE(allowed(any, "https://example.com/x"));
}

TEST(WhitelistTest, SchemeEntriesPermitTheirSchemeAndUnknownSchemesAreRefused) {
  EXPECT_TRUE(allowed(HBRWhitelist({"file:"}), "file:///etc/hosts"));
  EXPECT_TRUE(allowed(HBRWhitelist({"file://*"}), "file:///any/where"));
  EXPECT_TRUE(allowed(HBRWhitelist({"about:*"}), "about:blank"));
  // A scheme written in upper case is still found for the lower-cased URL scheme.
  EXPECT_TRUE(allowed(HBRWhitelist({"MyApp:"}), "myapp://open"));

  HBRWhitelist tel({"tel:", "*.example.com"});
  EXPECT_EQ(tel.permittedSchemes(), std::set<std::string>{"tel"});
  EXPECT_TRUE(allowed(tel, "tel:+123456"));
  EXPECT_FALSE(allowed(tel, "sms:+123456"));
  EXPECT_FALSE(allowed(tel, "gopher://example.com/"));

  // The scheme "*" permits every scheme; the host still has to match.
  HBRWhitelist anyScheme({"*://example.com"});
  EXPECT_TRUE(allowed(anyScheme, "gopher://example.com/"));
  EXPECT_FALSE(allowed(anyScheme, "gopher://other.com/"));

  // The default scheme stands for the four built-in ones at once.
  HBRWhitelist builtIn({"hbr-default-scheme://example.com/docs/*"});
  for (const char* text :
       {"http://example.com/docs/a%20b", "https://example.com/docs", "ftps://example.com/docs/x"})
    EXPECT_TRUE(allowed(builtIn, text)) << text;
  EXPECT_FALSE(allowed(builtIn, "gopher://example.com/docs/x"));
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

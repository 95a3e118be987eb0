#include <gtest/gtest.h>

#include "platform/net/HTTPCookieStorage.h"
#include "support/SessionTasks.h"
#include "support/TestSupport.h"

using namespace platform;
using testing_support::urlOf;

TEST(HTTPCookieStorage, MatchesCookiesToURLsAndBuildsTheRequestHeader) {
  auto storage = HTTPCookieStorage::makeEphemeral();
  storage->setCookiesFromResponseHeaderFields({{"Set-Cookie", "a=1; Path=/"},
                                               {"set-cookie", "b=2; Path=/docs"},
                                               {"Set-Cookie", "s=3; Path=/; Secure"},
                                               {"Set-Cookie", "d=4; Domain=example.com; Path=/"},
                                               {"Set-Cookie", "=broken; Domain=elsewhere.org"}},
                                              urlOf("https://www.example.com/docs/page"));
  EXPECT_EQ(storage->cookies().size(), 4u);
  // The longer path comes first; secure cookies stay off plain HTTP; domain cookies reach
  // sibling hosts.
  EXPECT_EQ(storage->cookieHeaderForURL(urlOf("https://www.example.com/docs/x")),
            "b=2; a=1; s=3; d=4");
  EXPECT_EQ(storage->cookieHeaderForURL(urlOf("http://www.example.com/")), "a=1; d=4");
  EXPECT_EQ(storage->cookieHeaderForURL(urlOf("https://api.example.com/")), "d=4");
  EXPECT_FALSE(storage->cookieHeaderForURL(urlOf("https://example.org/")));

  auto forSibling = storage->cookiesForURL(urlOf("https://api.example.com/"));
  ASSERT_EQ(forSibling.size(), 1u);
  EXPECT_EQ(forSibling[0].domain, ".example.com");
  EXPECT_EQ(HTTPCookie::requestHeaderFieldsWithCookies(forSibling),
            (HTTPHeaders{{"Cookie", "d=4"}}));
  EXPECT_TRUE(HTTPCookie::requestHeaderFieldsWithCookies({}).empty());

  storage->deleteCookie(forSibling[0]);
  EXPECT_FALSE(storage->cookieHeaderForURL(urlOf("https://api.example.com/")));
  storage->removeAllCookies();
  EXPECT_TRUE(storage->cookies().empty());

  storage->setCookieAcceptPolicy(HTTPCookieAcceptPolicy::Never);
  storage->setCookiesFromResponseHeaderFields({{"Set-Cookie", "a=1"}},
                                              urlOf("https://www.example.com/"));
  EXPECT_TRUE(storage->cookies().empty());
}

TEST(HTTPCookieStorage, PersistsCookiesWithAnExpiryButNotSessionCookies) {
  testing_support::TempDir folder;
  std::string file = folder.file("Cookies.txt");
  {
    auto storage = HTTPCookieStorage::makePersistent(file);
    storage->setCookiesFromResponseHeaderFields(
        {{"Set-Cookie", "kept=yes; Max-Age=3600; Path=/"}, {"Set-Cookie", "session=only; Path=/"}},
        urlOf("https://example.com/"));
    EXPECT_EQ(storage->cookies().size(), 2u);
  }
  auto reopened = HTTPCookieStorage::makePersistent(file);
  auto cookies = reopened->cookies();
  ASSERT_EQ(cookies.size(), 1u);
  EXPECT_EQ(cookies[0].name, "kept");
  EXPECT_FALSE(cookies[0].isSessionOnly());
  EXPECT_EQ(reopened->cookieHeaderForURL(urlOf("https://example.com/")), "kept=yes");
}

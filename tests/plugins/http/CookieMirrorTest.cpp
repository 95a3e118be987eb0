#include <atomic>
#include <thread>

#include "HttpFixture.h"
#include "platform/net/HTTPCookieStorage.h"
#include "plugins/http/VLHttpCookieHandler.h"
#include "plugins/http/VLHttpHeadersUtils.h"

namespace httptest {
namespace {

using Fixture = HttpFixture;

std::vector<std::string> pushes(const platform::webkit::HeadlessWebView& view) {
  std::vector<std::string> out;
  for (const auto& script : view.evaluatedScripts())
    if (script.rfind("VeltroNative.HttpCookieManager.setCookie(", 0) == 0) out.push_back(script);
  return out;
}

TEST(HttpHeaderRules, RequestDenyListAndResponseLowerCasing) {
  for (const char* name : {"Sec-Fetch-Mode", "Proxy-Authorization", "COOKIE", "User-Agent", "cookie2", "Via", "te"})
    EXPECT_TRUE(VLHttpHeadersUtils::isForbiddenRequestHeader(name)) << name;
  for (const char* name : {"X-Sec", "Authorization", "Content-Type", "tea", "X-Proxy-"})
    EXPECT_FALSE(VLHttpHeadersUtils::isForbiddenRequestHeader(name)) << name;
  // Lower-casing is ASCII only: a dotted capital I stays as it is, whatever the locale.
  Value response = VLHttpHeadersUtils::processResponseHeaders(
      {{"Content-Type", "text/plain"}, {"SET-COOKIE2", "a=1"}, {"Set-Cookie", "b=2"}, {"X-\xC4\xB0", "v"},
       {"X-Dup", "1"}, {"x-dup", "2"}});
  EXPECT_EQ(response, Value({{"content-type", "text/plain"}, {"x-\xC4\xB0", "v"}, {"x-dup", "1, 2"}}));
}

TEST(HttpHeaderRules, CookieScriptCarriesTheCookieAsJSON) {
  using Engine = VLHttpWKWebViewCookieHandlerEngine;
  EXPECT_EQ(Engine::generateSetCookieJsScript(""), "VeltroNative.HttpCookieManager.setCookie([\"\"]);");
  EXPECT_EQ(Engine::generateSetCookieJsScript("q=\"a\\b\"; c=</script>"),
            "VeltroNative.HttpCookieManager.setCookie([\"q=\\\"a\\\\b\\\"; c=</script>\"]);");
  EXPECT_EQ(Engine::generateSetCookieJsScript("bad=\xFF"), "VeltroNative.HttpCookieManager.setCookie([\"bad=\xEF\xBF\xBD\"]);");
}

TEST_F(Fixture, InstallsTheCookieManagerAndTheSyncScript) {
  const auto& scripts = view->userContentController()->userScripts();
  ASSERT_EQ(scripts.size(), 2u);
  EXPECT_NE(scripts[0].source.find("HttpCookieManager"), std::string::npos);
  // The start page "index.html" has no origin: no page matches.
  EXPECT_NE(scripts[0].source.find("var appOrigin = null;"), std::string::npos);
  EXPECT_EQ(scripts[1].source, "window.webkit.messageHandlers.VLHttpSyncNow.postMessage(undefined)");
  EXPECT_TRUE(scripts[0].atDocumentStart && scripts[0].mainFrameOnly && scripts[1].mainFrameOnly);
  EXPECT_TRUE(view->userContentController()->handler("VLHttpSyncNow"));

  vc->setStartPage("https://Example.test:8443/app/index.html");
  EXPECT_EQ(plugin->getAppOrigin(), "https://example.test:8443");
}

TEST_F(Fixture, ResponsesFromThePagesHostUpdateThePagesCopyWithoutHttpOnlyCookies) {
  server.on("GET", "/app/login", [](const httplib::Request&, httplib::Response& response) {
    response.set_header("Set-Cookie", "sid=s3cret; Path=/; HttpOnly");
    response.headers.emplace("Set-Cookie", "theme=\"dark\\blue\"; Path=/");
    response.set_content("ok", "text/plain");
  });
  view->loadRequest(platform::URLRequest(*platform::URL::parse(url("/app/index.html"))));
  platform::MainLoop::drain();

  Value payload = send("r", url("/app/login"));
  EXPECT_TRUE(payload["error"].is_null()) << payload.dump();
  // The payload comes after the push, so the page's copy is current when the answer arrives.
  EXPECT_EQ(pushes(*view),
            std::vector<std::string>{"VeltroNative.HttpCookieManager.setCookie([\"theme=\\\"dark\\\\blue\\\"\"]);"});
  // Native requests still send the HttpOnly cookie.
  send("r2", url("/app/login"));
  EXPECT_NE(server.lastRequest("/app/login")->header("Cookie").find("sid=s3cret"), std::string::npos);

  // A page of another host keeps its copy; the shared store still learns the cookie.
  view->clearRecords();
  view->loadRequest(platform::URLRequest(*platform::URL::parse(server.localhostURL("/app/"))));
  platform::MainLoop::drain();
  send("r3", url("/app/login"));
  EXPECT_TRUE(pushes(*view).empty());
}

TEST_F(Fixture, OnlyThePageOfTheCookiesOwnOriginOrTheApplicationsOwnPageGetsACopy) {
  platform::HTTPCookieStorage::sharedHTTPCookieStorage()->setCookiesFromResponseHeaderFields(
      {{"Set-Cookie", "a=1; Path=/"}, {"Set-Cookie", "h=2; Path=/; HttpOnly"}},
      *platform::URL::parse(url("/app/")));
  engine->applicationOrigin = [](const platform::URL& page) { return page.scheme() == "app"; };
  auto handler = plugin->cookieHandler();
  auto pushAfterResponseOn = [&](const std::string& page) {
    view->loadRequest(platform::URLRequest(*platform::URL::parse(page)));
    platform::MainLoop::drain();
    view->clearRecords();
    handler->persistCookiesFromResponseHeaders({{"Set-Cookie", "s=3; Path=/; Secure"}},
                                               *platform::URL::parse(url("/app/x")), [] {});
    return !pushes(*view).empty();
  };
  // The same host over plain http, or on another port, is another origin: no copy, whatever
  // the page says its origin is.
  std::string host = "127.0.0.1:" + std::to_string(server.port());
  EXPECT_FALSE(pushAfterResponseOn("http://" + host + "/app/index.html"));
  EXPECT_FALSE(pushAfterResponseOn("https://127.0.0.1:1/app/index.html"));
  EXPECT_TRUE(pushAfterResponseOn(url("/app/index.html")));
  EXPECT_TRUE(pushAfterResponseOn("app://localhost/index.html"));

  // The page-load sync comes from the application's own page alone: a page of the server
  // itself, like any other page, does not reach the handler.
  view->loadRequest(platform::URLRequest(*platform::URL::parse(url("/app/index.html"))));
  platform::MainLoop::drain();
  view->clearRecords();
  EXPECT_FALSE(view->postScriptMessage("VLHttpSyncNow", nullptr));
  view->loadRequest(platform::URLRequest(*platform::URL::parse("app://localhost/index.html")));
  platform::MainLoop::drain();
  EXPECT_TRUE(view->postScriptMessage("VLHttpSyncNow", nullptr));
  EXPECT_EQ(pushes(*view), std::vector<std::string>{"VeltroNative.HttpCookieManager.setCookie([\"a=1; s=3\"]);"});
}

TEST_F(Fixture, ACookieWriteOffTheMainThreadNeverWaitsForIt) {
  view->loadRequest(platform::URLRequest(*platform::URL::parse(url("/app/index.html"))));
  platform::MainLoop::drain();
  auto handler = plugin->cookieHandler();
  std::atomic<bool> returned{false}, completed{false}, completedOnMain{false};
  // The main thread is busy (here: waiting for the writer), as it is while the page runs a
  // long script; a write that waited for it would stall the session's thread or deadlock.
  std::thread writer([&] {
    handler->persistCookiesFromResponseHeaders({{"Set-Cookie", "w=1; Path=/"}}, *platform::URL::parse(url("/app/x")),
                                               [&] {
                                                 completedOnMain = platform::MainLoop::isMainThread();
                                                 completed = true;
                                               });
    returned = true;
  });
  bool returnedAlone = testing_support::waitUntil([&] { return returned.load(); }, 5);
  if (!returnedAlone) platform::MainLoop::runUntil([&] { return returned.load(); }, 5);
  writer.join();
  EXPECT_TRUE(returnedAlone && !completed);
  // The push and then the completion follow on the main thread.
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return completed.load(); }, 5));
  EXPECT_TRUE(completedOnMain);
  EXPECT_EQ(pushes(*view), std::vector<std::string>{"VeltroNative.HttpCookieManager.setCookie([\"w=1\"]);"});
}

}  // namespace
}  // namespace httptest

#include <atomic>
#include <chrono>
#include <thread>

#include "HttpFixture.h"
#include "support/ValuePick.h"
#include "platform/net/HTTPCookieStorage.h"
#include "plugins/http/VLHttp.h"
#include "plugins/http/VLHttpCommandArgs.h"
#include "plugins/http/VLHttpCookieHandler.h"
#include "plugins/http/VLHttpUrlSessionEngine.h"

namespace httptest {
namespace {

using Fixture = HttpFixture;

TEST_F(Fixture, ValidationStopsAtTheFirstFailedCheckWithItsMessage) {
  struct Case {
    Value arguments;
    std::string message;
  };
  const std::string missing = "Missing/invalid value for parameter ";
  std::vector<Case> cases = {
      {{nullptr, "x", "GET", Value::object(), 1000}, missing + "requestId"},
      {{"  ", "x", "GET", Value::object(), 1000}, missing + "requestId"},
      {{"r", " \n", nullptr, Value::object(), 1000}, missing + "url"},
      {{"r", "x", 5, Value::object(), 1000}, missing + "method"},
      {{"r", "x", "PUT", Value::object(), -1}, "HTTP method must be GET or POST"},
      {{"r", "x", " Get ", Value::object(), "1000"}, missing + "timeout"},
      {{"r", "x", "post", Value::object(), -1}, missing + "timeout"},
      {{"r", "x", "GET", {{"  ", "v"}}, 0}, "Invalid value for header name"},
      {{"r", "x", "GET", {{"X Y", "v"}}, 0}, "Invalid value for header name"},
      {{"r", "x", "GET", {{"X-A", 5}}, 0}, "Invalid value for header X-A"},
      {{"r", "x", "GET", {{"X-A", "a\r\nEvil: 1"}}, 0}, "Invalid value for header X-A"},
      {{"r", "file:///etc/passwd", "GET", Value::object(), 0}, "Only http and https URLs are supported"},
      {{"r", "ftp://127.0.0.1/x", "GET", Value::object(), 0}, "Only http and https URLs are supported"},
  };
  for (const auto& c : cases) {
    Value payload = wait(command("sendRequest", c.arguments));
    EXPECT_EQ(errorCode(payload), 1) << c.arguments.dump();
    EXPECT_EQ(errorOf(payload).value("errorMessage", ""), c.message) << c.arguments.dump();
    EXPECT_TRUE(payload["data"].is_null());
    EXPECT_EQ(payload["requestId"], c.arguments[0].is_string() ? c.arguments[0] : Value()) << c.arguments.dump();
  }
  EXPECT_EQ(server.requestCount(), 0u);

  // Without a base URL a relative text names nothing.
  auto noBase = VLSendRequestCommandArgs::tryGet("r", "nonsense", "GET", 0, Value::object(), std::nullopt,
                                                 std::nullopt);
  EXPECT_EQ(noBase.errorMessage, "Resolved URL is invalid");
  // With one, relative references resolve by the standard rules, and a GET drops its body.
  auto base = VLHttpPlugin::getBaseUrl(" app ", "h\n");
  ASSERT_TRUE(base);
  EXPECT_EQ(base->absoluteString(), "https://h/app/");
  EXPECT_FALSE(VLHttpPlugin::getBaseUrl("app", "  "));
  auto relative = VLSendRequestCommandArgs::tryGet("r", "api/x", "get", 0, Value::object(), "b", base);
  EXPECT_EQ(relative.url.absoluteString(), "https://h/app/api/x");
  EXPECT_FALSE(relative.body);
  EXPECT_EQ(VLSendRequestCommandArgs::tryGet("r", "/x", "get", 0, Value::object(), "", base).url.path(), "/x");
}

TEST_F(Fixture, BodyArgumentBecomesText) {
  auto body = [](Value v) { return VLHttpPlugin::getBodyFromCommand(HBRInvokedUrlCommand({v}, "c", "H", "a"), 0); };
  for (const auto& [given, text] : std::vector<std::pair<Value, std::string>>{
           {"text", "text"}, {5, "5"}, {5.0, "5"}, {1.5, "1.5"}, {{{"a", 1}}, "{\"a\":1}"}})
    EXPECT_EQ(body(given), text) << given.dump();
  EXPECT_FALSE(body(Value::array({1})) || body(nullptr));
}

TEST_F(Fixture, ResponsesArriveAsSuccessWithStatusHeadersAndBody) {
  server.on("GET", "/bin", [](const httplib::Request&, httplib::Response& response) {
    response.status = 404;
    response.set_header("X-Mixed-Case", "caf\xC3\xA9 \xFF");
    response.set_header("Set-Cookie", "s=1; Path=/");
    response.set_content(std::string("\x00\xFFhi", 4), "application/octet-stream");
  });
  server.on("POST", "/echo", [](const httplib::Request& request, httplib::Response& response) {
    response.set_content(request.body, "text/plain");
  });

  Value binary = send("r1", url("/bin"), "GET", Value::object(), 10000, nullptr, false);
  EXPECT_PICKED(binary, R"({"requestId": "r1", "error": null,
    "data": {"chunkData": "AP9oaQ==", "order": 0, "last": true,
    "metadata": {"status": 404, "statusText": "not found", "responseHeaders": {
      "x-mixed-case": "caf\u00e9 \ufffd", "content-type": "application/octet-stream"}}}})");
  EXPECT_EQ(binary["data"]["metadata"]["responseUrl"], url("/bin"));
  EXPECT_FALSE(binary["data"]["metadata"]["responseHeaders"].contains("set-cookie"));

  // The same bytes as text are not UTF-8: no text rather than a broken one.
  EXPECT_TRUE(send("r2", url("/bin"))["data"]["chunkData"].is_null());

  // POST bodies: an object goes as JSON; text comes back as text.
  Value echoed = send("r3", url("/echo"), " post ", {{"Content-Type", "application/json"}}, 10000, {{"a", 1}});
  EXPECT_EQ(echoed["data"]["chunkData"], "{\"a\":1}");
  EXPECT_EQ(server.lastRequest("/echo")->header("Content-Type"), "application/json");
}

TEST_F(Fixture, ReservedRequestHeadersNeverLeave) {
  server.on("GET", "/h", [](const httplib::Request&, httplib::Response& response) { response.set_content("", "text/plain"); });
  Value headers = {{"X-Sec", "1"},          {"Sec-Fetch-Mode", "cors"}, {"Proxy-Authorization", "p"},
                   {"Cookie", "forged=1"}, {"User-Agent", "page"},     {"Authorization", "Bearer t"}};
  send("r", url("/h"), "GET", headers);
  auto seen = server.lastRequest("/h");
  ASSERT_TRUE(seen);
  EXPECT_TRUE(seen->header("X-Sec") == "1" && seen->header("Authorization") == "Bearer t");
  for (const char* name : {"Sec-Fetch-Mode", "Proxy-Authorization", "Cookie"})
    EXPECT_FALSE(seen->hasHeader(name)) << name;
  EXPECT_NE(seen->header("User-Agent"), "page");
}

TEST_F(Fixture, CrossHostRedirectCarriesOnlyThatHostsCookiesAndNoCredentials) {
  auto store = platform::HTTPCookieStorage::sharedHTTPCookieStorage();
  store->setCookiesFromResponseHeaderFields({{"Set-Cookie", "here=1; Path=/"}}, *platform::URL::parse(url("/")));
  store->setCookiesFromResponseHeaderFields({{"Set-Cookie", "there=2; Path=/"}},
                                            *platform::URL::parse(server.localhostURL("/")));
  std::string target = server.localhostURL("/landing");
  server.on("GET", "/jump", [target](const httplib::Request&, httplib::Response& response) {
    response.status = 302;
    response.set_header("Location", target);
    response.set_header("Set-Cookie", "hop=3; Path=/");
  });
  server.on("GET", "/landing", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("landed", "text/plain");
  });

  Value payload = send("r", url("/jump"), "GET",
                       {{"Authorization", "Bearer secret"}, {"Proxy-Authorization", "p"}, {"X-Trace", "7"}});
  EXPECT_EQ(payload["data"]["chunkData"], "landed") << payload.dump();
  EXPECT_EQ(payload["data"]["metadata"]["responseUrl"], target);
  EXPECT_EQ(server.lastRequest("/jump")->header("Cookie"), "here=1");
  auto landed = server.lastRequest("/landing");
  ASSERT_TRUE(landed);
  EXPECT_EQ(landed->header("Cookie"), "there=2");
  EXPECT_FALSE(landed->hasHeader("Authorization") || landed->hasHeader("Proxy-Authorization"));
  EXPECT_EQ(landed->header("X-Trace"), "7");
  // The redirect response's cookie went to the shared store for its own host.
  EXPECT_EQ(store->cookieHeaderForURL(*platform::URL::parse(url("/"))).value_or(""), "here=1; hop=3");
}

// Keeps no cookies and sends none: whatever cookie reaches the store or the wire came from the
// session itself.
class ForgetfulCookieHandler : public VLHttpCookieHandler {
 public:
  void getPersistedCookiesForUrl(const platform::URL&, CookieHeadersCompletion completion) override { completion({}); }
  void persistCookiesFromResponseHeaders(const platform::HTTPHeaders&, const platform::URL&,
                                         std::function<void()> completion) override {
    ++writes;
    completion();
  }
  std::atomic<int> writes{0};
};

TEST_F(Fixture, TheSessionNeitherSendsNorStoresCookiesOfItsOwn) {
  auto store = platform::HTTPCookieStorage::sharedHTTPCookieStorage();
  platform::URL root = *platform::URL::parse(url("/"));
  store->setCookiesFromResponseHeaderFields({{"Set-Cookie", "kept=1; Path=/"}}, root);
  server.on("GET", "/c", [](const httplib::Request&, httplib::Response& response) {
    response.set_header("Set-Cookie", "fresh=2; Path=/");
    response.set_content("ok", "text/plain");
  });
  auto cookies = std::make_shared<ForgetfulCookieHandler>();
  auto requester = VLHttpUrlSessionEngine::create(cookies);
  std::atomic<bool> done{false};
  requester->sendRequest("r", *platform::URL::parse(url("/c")), VLHttpRequestMethodGet, Value::object(), 10000,
                         std::nullopt, [&](auto&&...) { done = true; });
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return done.load(); }, 10));
  EXPECT_FALSE(server.lastRequest("/c")->hasHeader("Cookie"));
  EXPECT_EQ(store->cookieHeaderForURL(root).value_or(""), "kept=1");
  EXPECT_EQ(cookies->writes, 1);
}

TEST_F(Fixture, FailuresCarryTheirCodes) {
  server.on("GET", "/slow", [this](const httplib::Request&, httplib::Response& response) {
    for (int i = 0; i < 100 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    response.set_content("late", "text/plain");
  });
  server.on("GET", "/big", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(std::string(5000, 'x'), "text/plain");
  });

  Value timedOut = send("t", url("/slow"), "GET", Value::object(), 300);
  EXPECT_EQ(errorCode(timedOut), 2) << timedOut.dump();
  EXPECT_EQ(timedOut["requestId"], "t");
  release = true;

  std::string nowhere = std::make_unique<testing_support::HttpsTestServer>()->url("/x");
  Value refused = send("c", nowhere);
  EXPECT_EQ(errorCode(refused), 3) << refused.dump();

  auto engine = std::dynamic_pointer_cast<VLHttpUrlSessionEngine>(plugin->vlHttp()->requester());
  ASSERT_TRUE(engine);
  EXPECT_EQ(engine->maximumResponseBodySize(), 64u << 20);
  engine->setMaximumResponseBodySize(1000);
  Value tooBig = send("b", url("/big"));
  EXPECT_EQ(errorCode(tooBig), 3) << tooBig.dump();
  EXPECT_EQ(errorOf(tooBig)["errorMessage"], "The response body is larger than 1000 bytes.");
}

TEST_F(Fixture, AbortedAndResetRequestsStaySilent) {
  server.on("GET", "/hold", [this](const httplib::Request&, httplib::Response& response) {
    ++arrived;
    for (int i = 0; i < 100 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    response.set_content("late", "text/plain");
  });

  std::string held = command("sendRequest", {"same", url("/hold"), "GET", Value::object(), 10000});
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return arrived == 1; }, 5));
  Value aborted = wait(command("abortRequest", {"same"}));
  EXPECT_EQ(aborted, Value({{"requestId", "same"}, {"data", nullptr}, {"error", nullptr}}));
  Value unknown = wait(command("abortRequest", {"nobody"}));
  EXPECT_TRUE(unknown["error"].is_null());
  EXPECT_EQ(errorCode(wait(command("abortRequest", {" "}))), 1);

  std::string reset = command("sendRequest", {"other", url("/hold"), "GET", Value::object(), 10000});
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return arrived == 2; }, 5));
  plugin->onReset();
  release = true;
  platform::MainLoop::runFor(0.5);
  EXPECT_EQ(delegate->results(held).size(), 0u);
  EXPECT_EQ(delegate->results(reset).size(), 0u);
}

}  // namespace
}  // namespace httptest

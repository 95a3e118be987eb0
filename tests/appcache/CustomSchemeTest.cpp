#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "CacheTestSupport.h"
#include "appcache/VLCustomSchemeHandler.h"
#include "appcache/VLWKWebViewEngine.h"
#include "host/HBRAuthenticationChallengeHandler.h"
#include "host/HBRURLSchemeHandler.h"
#include "host/HostPackageFixture.h"
#include "platform/foundation/MainLoop.h"
#include "platform/webkit/HeadlessWebView.h"
#include "platform/net/HTTPCookieStorage.h"
#include "shell/VLHTTPFactory.h"
#include "shell/VLLoggerProtocol.h"
#include "support/Gzip.h"

using platform::URL;
using platform::URLRequest;
using platform::webkit::HeadlessWebView;

namespace {

// A headless web view with the handler registered for "veltro", against the HTTPS server.
class CustomSchemeHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cache_test::CacheLog::shared().clear();
    handler = std::make_shared<VLCustomSchemeHandler>();
    handler->setDefaultHostname("127.0.0.1:" + std::to_string(server.port()));
    platform::webkit::WebViewConfiguration configuration;
    configuration.setURLSchemeHandler(handler, "veltro");
    web = std::make_shared<HeadlessWebView>(configuration);
  }
  void TearDown() override {
    gate->release();
    platform::MainLoop::drain();
  }

  URLRequest schemeRequest(const std::string& path, const std::string& method = "GET") const {
    URLRequest request(URL::parse(server.url(path)).value().withScheme("veltro"));
    request.setHTTPMethod(method);
    return request;
  }
  std::shared_ptr<HeadlessWebView::RecordedTask> serve(const URLRequest& request) {
    auto task = web->startSchemeTask(request);
    if (task) platform::MainLoop::runUntil([&] { return task->finished || task->error.has_value(); }, 10);
    return task;
  }

  std::shared_ptr<cache_test::Gate> gate = std::make_shared<cache_test::Gate>();
  testing_support::HttpsTestServer server;
  std::shared_ptr<VLCustomSchemeHandler> handler;
  std::shared_ptr<HeadlessWebView> web;
};

}  // namespace

TEST_F(CustomSchemeHandlerTest, OnlyGETReachesTheServer) {
  server.on("POST", "/form", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("posted", "text/plain");
  });
  for (const char* method : {"POST", "PUT", "get"}) {
    auto task = serve(schemeRequest("/form", method));
    ASSERT_TRUE(task && task->response) << method;
    EXPECT_TRUE(task->response->statusCode() == 404 && task->response->url().scheme() == "veltro") << method;
    EXPECT_TRUE(task->response->allHeaderFields().empty() && task->data.empty() && task->finished) << method;
  }
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(CustomSchemeHandlerTest, RequestsAndAnswersAreRewrittenBetweenTheSchemes) {
  std::string page(100000, 'p');
  server.on("GET", "/app/index.html", [page](const httplib::Request&, httplib::Response& response) {
    response.set_header("Content-Encoding", "gzip");
    response.set_header("X-Origin", "kept");
    response.set_content(testing_support::gzipped(page), "text/html");
  });
  server.on("GET", "/app/missing.js", [](const httplib::Request&, httplib::Response& response) {
    response.status = 404;
    response.set_content("no such file", "text/plain");
  });

  URLRequest request = schemeRequest("/app/index.html?v=3&x=veltro");
  std::string origin = "veltro://" + request.url().host();
  request.setValue(origin, "Origin");
  request.setValue(origin + "/app/ and veltro://other/ and veltro:/not", "X-Links");
  request.setValue("plain value", "X-Plain");
  request.setValue(origin + "/app/start.html", "Referer");
  auto task = serve(request);
  ASSERT_TRUE(task && task->response);
  EXPECT_FALSE(task->error);

  // The server sees HTTPS origins in place of "veltro" ones, everything else unchanged.
  auto seen = server.lastRequest("/app/index.html");
  ASSERT_TRUE(seen);
  std::string https = "https://" + request.url().host();
  for (const auto& [name, value] : std::vector<std::pair<const char*, std::string>>{
           {"Origin", https}, {"X-Links", https + "/app/ and https://other/ and veltro:/not"},
           {"X-Plain", "plain value"}, {"Referer", https + "/app/start.html"}})
    EXPECT_EQ(seen->header(name), value) << name;
  EXPECT_TRUE(seen->query.at("v") == "3" && seen->query.at("x") == "veltro");

  // The answer shows the scheme "veltro" with the server's path and query, and the decoded
  // body without the fields that described the encoded one.
  EXPECT_EQ(task->response->url().absoluteString(), request.url().absoluteString());
  EXPECT_TRUE(task->response->statusCode() == 200 && task->data == page);
  for (const char* field : {"Content-Encoding", "Transfer-Encoding"})
    EXPECT_FALSE(task->response->valueForHTTPHeaderField(field)) << field;
  EXPECT_EQ(task->response->valueForHTTPHeaderField("Content-Length"), std::to_string(page.size()));
  EXPECT_TRUE(task->response->valueForHTTPHeaderField("X-Origin") == "kept" &&
              task->response->mimeType() == "text/html");

  // An error status is passed on with its body; a transport failure is the task's failure.
  auto missing = serve(schemeRequest("/app/missing.js"));
  ASSERT_TRUE(missing && missing->response);
  EXPECT_TRUE(missing->response->statusCode() == 404 && missing->data == "no such file");
  handler->setDefaultHostname("127.0.0.1:1");
  auto unreachable = serve(URLRequest(URL::parse("veltro://127.0.0.1:1/x").value()));
  ASSERT_TRUE(unreachable);
  EXPECT_TRUE(unreachable->error && !unreachable->response);
  EXPECT_EQ(handler->runningCount(), 0u);
  EXPECT_TRUE(cache_test::CacheLog::shared().contains("VLWKWebView: Converted request: https://"));
}

TEST_F(CustomSchemeHandlerTest, RefererIsSetOnlyForExactlyTrue) {
  server.on("GET", "/r", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("r", "text/plain");
  });
  handler->setReferrer("apps.example.com");
  handler->setReferrerHeaderEnabled(false);
  serve(schemeRequest("/r"));
  EXPECT_FALSE(server.lastRequest("/r")->hasHeader("Referer"));
  handler->setReferrerHeaderEnabled(true);
  URLRequest request = schemeRequest("/r");
  request.setValue("veltro://page/", "Referer");
  serve(request);
  EXPECT_EQ(server.lastRequest("/r")->header("Referer"), "https://apps.example.com");
}

TEST_F(CustomSchemeHandlerTest, AStoppedTaskIsNeverAnswered) {
  auto held = gate;
  server.on("GET", "/slow", [held](const httplib::Request&, httplib::Response& response) {
    held->pass();
    response.set_content("late", "text/plain");
  });
  auto task = web->startSchemeTask(schemeRequest("/slow"));
  ASSERT_TRUE(task);
  ASSERT_TRUE(gate->waitForWaiting(1));
  web->stopSchemeTask(task);
  EXPECT_EQ(handler->runningCount(), 0u);
  gate->release();
  // Whatever the cancelled data task reports reaches the main loop and is dropped there.
  platform::MainLoop::runFor(0.5);
  EXPECT_FALSE(task->answeredAfterStop || task->response || task->finished || task->error);
  EXPECT_TRUE(cache_test::CacheLog::shared().contains("VLWKWebView: Stopped loading URL: veltro://"));
}

// Ranges and HEAD are answered as the application scheme answers them, from the whole file
// the session gives (the cache and the package answer whole files); every answer keeps other
// origins from using it.
TEST_F(CustomSchemeHandlerTest, RangesHeadAndTheHeadersOfEveryAnswer) {
  URL https = URL::parse("https://apps.example.com/media/clip.webm").value();
  struct Case {
    const char* method;
    const char* range;
    int status;
    const char* body;
    const char* contentRange;
    const char* length;
  } cases[] = {
      {"GET", nullptr, 200, "0123456789", "", "10"},       {"GET", "bytes=2-5", 206, "2345", "bytes 2-5/10", "4"},
      {"GET", "bytes=-3", 206, "789", "bytes 7-9/10", "3"}, {"GET", "bytes=10-", 416, "", "bytes */10", "0"},
      {"HEAD", nullptr, 200, "", "", "10"},                 {"HEAD", "bytes=0-0", 206, "", "bytes 0-0/10", "1"},
      {"GET", "bytes=0-1,4-5", 200, "0123456789", "", "10"},
  };
  for (const Case& c : cases) {
    URLRequest request(https.withScheme("veltro"));
    request.setHTTPMethod(c.method);
    if (c.range) request.setValue(c.range, "Range");
    std::string body = "0123456789", refusal;
    platform::URLResponse answer;
    std::string label = std::string(c.method) + " " + (c.range ? c.range : "whole");
    ASSERT_TRUE(VLCustomSchemeHandler::answerForWebView(
        request, https, platform::URLResponse::http(https, 200, {{"Content-Type", "video/webm"}}), body, answer,
        refusal))
        << label;
    EXPECT_EQ(answer.statusCode(), c.status) << label;
    EXPECT_EQ(body, c.body) << label;
    EXPECT_EQ(answer.url().absoluteString(), "veltro://apps.example.com/media/clip.webm");
    EXPECT_EQ(answer.valueForHTTPHeaderField("Content-Range").value_or(""), c.contentRange) << label;
    EXPECT_EQ(answer.valueForHTTPHeaderField("Content-Length").value_or(""), c.length) << label;
    EXPECT_EQ(answer.valueForHTTPHeaderField("Accept-Ranges").value_or(""), "bytes") << label;
    EXPECT_EQ(answer.mimeType(), "video/webm") << label;
    EXPECT_EQ(answer.valueForHTTPHeaderField("Cross-Origin-Resource-Policy").value_or("") + " " +
                  answer.valueForHTTPHeaderField("X-Content-Type-Options").value_or(""),
              "same-origin nosniff")
        << label;
  }
  // An answer from elsewhere is refused.
  std::string body, refusal;
  platform::URLResponse answer;
  EXPECT_FALSE(VLCustomSchemeHandler::answerForWebView(
      URLRequest(https.withScheme("veltro")), https,
      platform::URLResponse::http(URL::parse("http://apps.example.com/media/clip.webm").value(), 200, {}), body, answer,
      refusal));
  EXPECT_NE(refusal.find("not from the request's scheme, host and port"), std::string::npos) << refusal;

  // Through the server, which answers ranges itself: its 206 is passed on; HEAD is a GET.
  server.on("GET", "/media/clip.webm", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("0123456789", "video/webm");
  });
  URLRequest ranged = schemeRequest("/media/clip.webm");
  ranged.setValue("bytes=2-5", "Range");
  auto part = serve(ranged);
  ASSERT_TRUE(part && part->response);
  EXPECT_TRUE(part->response->statusCode() == 206 && part->data == "2345") << part->data;
  auto head = serve(schemeRequest("/media/clip.webm", "HEAD"));
  ASSERT_TRUE(head && head->response);
  EXPECT_TRUE(head->response->statusCode() == 200 && head->data.empty() &&
              head->response->valueForHTTPHeaderField("Content-Length") == "10");
  for (const auto& seen : server.requests()) EXPECT_EQ(seen.method, "GET");
  // A server's own answer carries the two fields too, in place of its own values.
  server.on("GET", "/open", [](const httplib::Request&, httplib::Response& response) {
    response.status = 404;
    response.set_header("Cross-Origin-Resource-Policy", "cross-origin");
    response.set_content("no", "text/plain");
  });
  auto open = serve(schemeRequest("/open"));
  ASSERT_TRUE(open && open->response);
  EXPECT_EQ(open->response->valueForHTTPHeaderField("Cross-Origin-Resource-Policy"), "same-origin");
  EXPECT_EQ(open->response->valueForHTTPHeaderField("X-Content-Type-Options"), "nosniff");
}

// Only the application's server is served, and only what it answers itself: a redirect that
// leaves the request's scheme, host or port fails the load, and nothing else reaches the page.
TEST_F(CustomSchemeHandlerTest, OnlyTheDefaultHostIsServedAndRedirectsMustStayOnIt) {
  std::string same = server.url("/final");
  server.on("GET", "/final", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("final", "text/plain");
  });
  server.on("GET", "/same", [](const httplib::Request&, httplib::Response& response) {
    response.set_redirect("/final");
  });
  server.on("GET", "/other-host", [this](const httplib::Request&, httplib::Response& response) {
    response.set_redirect(server.localhostURL("/elsewhere"));
  });
  server.on("GET", "/plain-http", [this](const httplib::Request&, httplib::Response& response) {
    response.set_redirect("http://127.0.0.1:" + std::to_string(server.port()) + "/elsewhere");
  });
  server.on("GET", "/elsewhere", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("another site's page", "text/html");
  });
  testing_support::LogCapture log;
  auto followed = serve(schemeRequest("/same"));
  ASSERT_TRUE(followed && followed->response);
  EXPECT_EQ(followed->data, "final");
  EXPECT_EQ(followed->response->url().absoluteString(), URL::parse(same).value().withScheme("veltro").absoluteString());

  for (const char* path : {"/other-host", "/plain-http"}) {
    auto refused = serve(schemeRequest(path));
    ASSERT_TRUE(refused) << path;
    EXPECT_TRUE(refused->error && !refused->response && refused->data.empty()) << path;
  }
  EXPECT_EQ(server.requestCount("/elsewhere"), 0u);
  EXPECT_TRUE(log.contains("Refused the redirect of veltro://127.0.0.1:"));

  // Another host of the same server, and any host while "DefaultHostname" is not set.
  size_t before = server.requestCount();
  auto otherHost = serve(URLRequest(URL::parse(server.localhostURL("/final")).value().withScheme("veltro")));
  handler->setDefaultHostname("");
  auto unset = serve(schemeRequest("/final"));
  for (const auto& task : {otherHost, unset}) {
    ASSERT_TRUE(task);
    EXPECT_TRUE(task->error && !task->response);
  }
  EXPECT_EQ(server.requestCount(), before);
  EXPECT_TRUE(log.contains("the \"veltro\" scheme serves only the host of \"DefaultHostname\""));
}

// The application's cookies go only with requests of the application's own page; other
// requests neither send nor store any.
TEST_F(CustomSchemeHandlerTest, CookiesGoOnlyWithTheApplicationPagesRequests) {
  server.on("GET", "/login", [](const httplib::Request&, httplib::Response& response) {
    response.set_header("Set-Cookie", "session=s3cret; HttpOnly; SameSite=Strict; Path=/");
    response.set_content("in", "text/plain");
  });
  server.on("GET", "/api/me.js", [](const httplib::Request& request, httplib::Response& response) {
    response.set_content("cookie=" + request.get_header_value("Cookie"), "text/javascript");
  });
  server.on("GET", "/planted", [](const httplib::Request&, httplib::Response& response) {
    response.set_header("Set-Cookie", "planted=1; Path=/");
    response.set_content("x", "text/plain");
  });
  // The page's own requests use a cookie store of their own here; the others the real
  // session without cookies, which must leave the shared store alone.
  handler->setDownloadSession(platform::URLSession::sessionWithConfiguration(VLHTTPFactory::ephemeralConfiguration()));
  bool ownPage = false;
  std::vector<std::string> asked;
  handler->setPageRule([&](const platform::webkit::WebView&, const URLRequest& request) {
    asked.push_back(request.url().path());
    return ownPage;
  });
  serve(schemeRequest("/planted"));  // not the page's: its cookie is not kept
  ownPage = true;
  serve(schemeRequest("/login"));
  EXPECT_EQ(serve(schemeRequest("/api/me.js"))->data, "cookie=session=s3cret");
  ownPage = false;
  EXPECT_EQ(serve(schemeRequest("/api/me.js"))->data, "cookie=");
  EXPECT_EQ(asked, (std::vector<std::string>{"/planted", "/login", "/api/me.js", "/api/me.js"}));
  for (const auto& cookie :
       platform::HTTPCookieStorage::sharedHTTPCookieStorage()->cookiesForURL(URL::parse(server.url("/")).value()))
    EXPECT_NE(cookie.name, "planted");
}

// ---------------------------------------------------------------------------------------------
// The engine

class CustomSchemeEngineTest : public hosttest::HostPackageTest {
 protected:
  void SetUp() override {
    hosttest::HostPackageTest::SetUp();
    VLRegisterWKWebViewEngine();
  }
  std::string preferences() const override {
    return pref("HarborWebViewEngine", "VLWKWebViewEngine") + pref("scheme", "app") +
           pref("DefaultHostname", "apps.example.com") + pref("DefaultApplicationURL", "shop") + extra;
  }
  std::shared_ptr<VLWKWebViewEngine> customEngine() const {
    return std::dynamic_pointer_cast<VLWKWebViewEngine>(vc->webViewEngine());
  }
  std::string extra;
};

TEST_F(CustomSchemeEngineTest, RegistersBothSchemesAndKnowsTheApplicationsPages) {
  start();
  auto e = customEngine();
  ASSERT_TRUE(e);
  const auto& configuration = web()->configuration();
  EXPECT_EQ(configuration.handlerForScheme("veltro").get(), e->handler().get());
  EXPECT_EQ(configuration.handlerForScheme("app"), std::static_pointer_cast<platform::webkit::URLSchemeHandler>(e->schemeHandler()));
  EXPECT_EQ(e->defaultHostname() + " " + e->defaultURL() + " " + e->handler()->referrer(),
            "apps.example.com shop apps.example.com");
  EXPECT_FALSE(e->handler()->isReferrerHeaderEnabled());

  for (const char* url : {"veltro://Apps.Example.com/shop/index.html", "app://localhost/index.html"})
    EXPECT_TRUE(e->isApplicationOrigin(URL::parse(url).value())) << url;
  for (const char* url : {"veltro://evil.example.com/", "https://apps.example.com/", "veltro://apps.example.com:8443/"})
    EXPECT_FALSE(e->isApplicationOrigin(URL::parse(url).value())) << url;

  // The page's bridge works from the default host under "veltro".
  web()->loadRequest(URLRequest(URL::parse("veltro://apps.example.com/shop/index.html").value()));
  EXPECT_TRUE(web()->postScriptMessage("harbor", platform::Value::array({"INVALID", "x", "y", platform::Value::array()})));
}

TEST_F(CustomSchemeEngineTest, UserAgentSettings) {
  std::string standard = platform::webkit::defaultUserAgent();
  ASSERT_FALSE(standard.empty());
  testing_support::LogCapture log;
  // Preferences, the agent sent, whether it also names the application, and the Referer switch
  // (on only for exactly "true"). An agent that cannot go into a header field is not used.
  for (const auto& [preferences, agent, named, referer] : std::vector<std::tuple<std::string, std::string, bool, bool>>{
           {"", standard, true, false},
           {pref("AppendUserAgent", "Shop/2") + pref("EnableRefererHeaderCustomScheme", "TRUE"), standard + " Shop/2",
            false, false},
           {pref("OverrideUserAgent", "Exactly This/1.0") + pref("AppendUserAgent", "Shop/2") +
                pref("EnableRefererHeaderCustomScheme", "true"),
            "Exactly This/1.0", true, true},
           {pref("OverrideUserAgent", "Bad&#10;Injected: 1"), standard, false, false}}) {
    extra = preferences;
    SetUp();
    start();
    EXPECT_EQ(web()->customUserAgent(), agent) << preferences;
    if (named) {
      EXPECT_EQ(web()->configuration().applicationNameForUserAgent, agent);
    }
    EXPECT_EQ(customEngine()->handler()->isReferrerHeaderEnabled(), referer) << preferences;
  }
  EXPECT_TRUE(log.contains("\"OverrideUserAgent\" cannot be sent"));
}

// A plugin that takes the web view's challenges, answering with its own credential.
class ChallengeTaker : public HBRPlugin, public HBRAuthenticationChallengeHandler {
 public:
  explicit ChallengeTaker(std::string name) : name_(std::move(name)) {}
  std::string className() const override { return name_; }
  void didReceiveAuthenticationChallenge(platform::webkit::WebView&, const platform::webkit::AuthenticationChallenge& challenge,
                                         platform::webkit::AuthenticationCompletion completion) override {
    realms.push_back(challenge.realm);
    completion(platform::webkit::AuthChallengeDisposition::UseCredential, platform::webkit::URLCredential{"user", name_});
  }
  std::vector<std::string> realms;

 private:
  std::string name_;
};

// The web view is not opaque, and its challenges go to the first plugin (in table order) that
// takes challenges; without one they are left to the web engine.
TEST_F(CustomSchemeEngineTest, TransparentAndPassesChallengesToTheFirstPluginThatTakesThem) {
  start();
  auto e = customEngine();
  ASSERT_TRUE(e);
  EXPECT_FALSE(web()->isOpaque());
  platform::webkit::AuthenticationChallenge challenge;
  challenge.host = "127.0.0.1";
  challenge.realm = "shop";
  int answers = 0;
  std::optional<platform::webkit::URLCredential> given;
  auto completion = [&](platform::webkit::AuthChallengeDisposition disposition,
                        std::optional<platform::webkit::URLCredential> credential) {
    ++answers;
    EXPECT_EQ(disposition, platform::webkit::AuthChallengeDisposition::UseCredential);
    given = credential;
  };
  EXPECT_FALSE(e->didReceiveAuthenticationChallenge(*web(), challenge, completion));
  EXPECT_EQ(answers, 0);

  auto second = std::make_shared<ChallengeTaker>("ZSecond");
  auto first = std::make_shared<ChallengeTaker>("MFirst");
  vc->registerPlugin(second, "ZSecond");
  vc->registerPlugin(std::make_shared<hosttest::ProbePlugin>("APlain"), "APlain");
  vc->registerPlugin(first, "MFirst");
  EXPECT_TRUE(e->didReceiveAuthenticationChallenge(*web(), challenge, completion));
  EXPECT_EQ(answers, 1);
  EXPECT_EQ(given->password, "MFirst");
  EXPECT_EQ(first->realms, std::vector<std::string>{"shop"});
  EXPECT_TRUE(second->realms.empty());
}

// Whatever throws while a request is being served off the main thread, the page still gets an
// answer (an error), and the next request is served as usual.
TEST_F(CustomSchemeHandlerTest, ARequestThatThrowsOnItsServingThreadIsStillAnswered) {
  struct ThrowingLogger : VLLoggerProtocol {
    std::atomic<bool> throwing{true};
    void processEntry(std::int64_t, const std::string&, const std::string&, const Text&, const platform::Value&,
                      const Text&) override {
      if (throwing) throw std::runtime_error("the log is gone");
    }
  };
  server.on("GET", "/app/page.js", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("page", "text/javascript");
  });
  auto logger = std::make_shared<ThrowingLogger>();
  handler->setLogger(logger);
  auto failed = serve(schemeRequest("/app/page.js"));
  ASSERT_TRUE(failed);
  EXPECT_TRUE(failed->error.has_value());
  EXPECT_FALSE(failed->finished);

  logger->throwing = false;
  auto served = serve(schemeRequest("/app/page.js"));
  ASSERT_TRUE(served && served->response);
  EXPECT_EQ(served->data, "page");
}

// A large answer of the server reaches the task as it arrives (a body stream the task reads)
// rather than whole, byte for byte; a HEAD of it states its length and stops its transfer.
TEST_F(CustomSchemeHandlerTest, ALargeAnswerOfTheServerStreamsToTheTask) {
  auto large = std::make_shared<std::string>(12 * 1024 * 1024, 's');
  (*large)[7777777] = 'x';
  server.on("GET", "/app/large.bin", [large](const httplib::Request&, httplib::Response& response) {
    response.set_content(*large, "application/octet-stream");
  });
  auto task = serve(schemeRequest("/app/large.bin"));
  ASSERT_TRUE(task && task->response && task->finished) << (task && task->error ? task->error->localizedDescription() : "");
  EXPECT_TRUE(task->bodyStream != nullptr);
  EXPECT_EQ(task->response->statusCode(), 200);
  EXPECT_EQ(task->response->valueForHTTPHeaderField("Content-Length"), std::to_string(large->size()));
  EXPECT_TRUE(task->data == *large) << task->data.size();
  EXPECT_LE(task->bodyStream->peakBuffered(), platform::BodyStream::kDefaultCapacity + 256 * 1024);

  auto head = serve(schemeRequest("/app/large.bin", "HEAD"));
  ASSERT_TRUE(head && head->response && head->finished);
  EXPECT_EQ(head->response->valueForHTTPHeaderField("Content-Length"), std::to_string(large->size()));
  EXPECT_TRUE(head->data.empty());
  EXPECT_EQ(handler->runningCount(), 0u);
}

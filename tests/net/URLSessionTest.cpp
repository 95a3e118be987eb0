#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "SessionRecorder.h"
#include "platform/net/URLError.h"
#include "platform/net/URLSession.h"
#include "support/HttpsTestServer.h"
#include "support/SessionTasks.h"
#include "support/TestSupport.h"

using namespace platform;
using testing_support::fetch;
using testing_support::answer;
using testing_support::HttpsTestServer;
using testing_support::urlOf;
using testing_support::waitUntil;

namespace {

URLSessionConfiguration ephemeral() {
  return URLSessionConfiguration::ephemeralSessionConfiguration();
}

// A handler that holds its request until released (or for at most `seconds`), so that a test
// can cancel or time out a request in flight without keeping the server busy afterwards.
struct Gate {
  std::atomic<bool> open{false};
  HttpsTestServer::Handler handler(double seconds) {
    return [this, seconds](const httplib::Request&, httplib::Response& response) {
      waitUntil([this] { return open.load(); }, seconds);
      response.set_content("late", "text/plain");
    };
  }
};

}  // namespace

TEST(URLSession, DataTasksDeliverBodyStatusAndHeadersAndDelegateEventsInOrder) {
  HttpsTestServer server;
  server.on("GET", "/hello", [](const httplib::Request&, httplib::Response& response) {
    response.set_header("X-Answer", "42");
    response.set_content("hello there", "text/plain; charset=UTF-8");
  });
  auto session = URLSession::sessionWithConfiguration(ephemeral());
  auto result = fetch(*session, server.url("/hello"));
  ASSERT_FALSE(result.error) << result.error->localizedDescription();
  EXPECT_EQ(*result.data, "hello there");
  EXPECT_EQ(result.response->statusCode(), 200);
  EXPECT_EQ(result.response->valueForHTTPHeaderField("x-answer"), "42");
  EXPECT_EQ(result.response->mimeType(), "text/plain");
  EXPECT_EQ(result.response->textEncodingName(), "utf-8");
  EXPECT_EQ(result.response->url().absoluteString(), server.url("/hello"));

  // A delegate sees response, data and completion in order, on the session's own queue.
  server.on("GET", "/small", [](const httplib::Request&, httplib::Response& response) {
    response.status = 404;
    response.set_content("gone", "text/plain");
  });
  auto recorder = std::make_shared<net_test::SessionRecorder>();
  auto delegated = URLSession::sessionWithConfiguration(ephemeral(), recorder);
  delegated->dataTaskWithURL(urlOf(server.url("/small")))->resume();
  EXPECT_EQ(recorder->finished(),
            (std::vector<std::string>{"response 404", "data gone", "complete state 3"}));
  std::lock_guard lock(recorder->mutex);
  EXPECT_EQ(recorder->threads.size(), 1u);
  EXPECT_EQ(recorder->threads.count(std::this_thread::get_id()), 0u);
}

TEST(URLSession, RequestFieldsWinOverConfigurationHeadersAndUnsafeFieldsAreNeverSent) {
  HttpsTestServer server;
  server.on("GET", "/headers",
            [](const httplib::Request&, httplib::Response& response) { response.status = 204; });
  auto configuration = ephemeral();
  EXPECT_FALSE(configuration.setHTTPAdditionalHeaders({{"X-Shared", "from configuration"},
                                                       {"X-Configured", "yes"},
                                                       {"X-Split", "a\r\nX-Injected: 1"}}));
  ASSERT_EQ(configuration.httpAdditionalHeaders().size(), 2u);

  URLRequest request(urlOf(server.url("/headers")));
  EXPECT_TRUE(request.setValue("from request", "x-shared"));
  EXPECT_TRUE(request.addValue("a", "X-List"));
  EXPECT_TRUE(request.addValue("b", "X-List"));
  EXPECT_FALSE(request.setValue("1\nX-Injected: 2", "X-Bad"));
  EXPECT_FALSE(request.setValue("1", "X Bad: name"));

  auto session = URLSession::sessionWithConfiguration(configuration);
  auto result = fetch(*session, request);
  ASSERT_FALSE(result.error);
  auto seen = server.lastRequest("/headers");
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->header("X-Shared"), "from request");
  EXPECT_EQ(seen->header("X-Configured"), "yes");
  EXPECT_EQ(seen->header("X-List"), "a,b");
  EXPECT_FALSE(seen->hasHeader("X-Injected"));
  EXPECT_FALSE(seen->hasHeader("X-Bad"));
  EXPECT_FALSE(seen->hasHeader("X-Split"));
}

TEST(URLSession, CookiesOfAResponseAreStoredAndSentWithTheNextRequest) {
  HttpsTestServer server;
  server.on("GET", "/login", [](const httplib::Request&, httplib::Response& response) {
    response.set_header("Set-Cookie", "sid=abc123; Path=/; Secure; HttpOnly");
    response.set_content("welcome", "text/plain");
  });
  server.on("GET", "/account", answer("ok"));
  auto configuration = ephemeral();
  auto storage = configuration.httpCookieStorage();
  auto session = URLSession::sessionWithConfiguration(configuration);
  ASSERT_FALSE(fetch(*session, server.url("/login")).error);
  ASSERT_FALSE(fetch(*session, server.url("/account")).error);
  EXPECT_EQ(server.lastRequest("/account")->header("Cookie"), "sid=abc123");
  ASSERT_EQ(storage->cookiesForURL(urlOf(server.url("/"))).size(), 1u);

  // A configuration that does not send cookies leaves them out, even from the same store.
  auto quiet = ephemeral();
  quiet.setHTTPCookieStorage(storage);
  quiet.setHTTPShouldSetCookies(false);
  ASSERT_FALSE(fetch(*URLSession::sessionWithConfiguration(quiet), server.url("/account")).error);
  EXPECT_FALSE(server.lastRequest("/account")->hasHeader("Cookie"));

  // One that accepts none stores none.
  auto refusing = ephemeral();
  refusing.setHTTPCookieAcceptPolicy(HTTPCookieAcceptPolicy::Never);
  ASSERT_FALSE(fetch(*URLSession::sessionWithConfiguration(refusing), server.url("/login")).error);
  EXPECT_TRUE(refusing.httpCookieStorage()->cookies().empty());
}

namespace {
class RedirectHook : public URLSessionDelegate {
 public:
  bool refuse = false;
  std::vector<std::string> seen;
  void willPerformHTTPRedirection(
      URLSession&, URLSessionTask&, const URLResponse& response, URLRequest next,
      std::function<void(std::optional<URLRequest>)> completion) override {
    seen.push_back(std::to_string(response.statusCode()) + " " + next.url().absoluteString());
    if (refuse) {
      completion(std::nullopt);
      return;
    }
    next.setValue("changed by the hook", "X-Hop");
    // The decision may come later and from another thread.
    std::thread([completion, next] { completion(next); }).detach();
  }
};
}  // namespace

TEST(URLSession, RedirectAcrossHostsPassesThroughTheHookWhichMayChangeOrRefuseIt) {
  HttpsTestServer server;
  server.on("GET", "/start", [&](const httplib::Request&, httplib::Response& response) {
    response.set_header("Set-Cookie", "origin=127; Path=/");
    response.set_redirect(server.localhostURL("/end"), 302);
    response.set_content("moved", "text/plain");
  });
  server.on("GET", "/end", answer("arrived"));
  auto hook = std::make_shared<RedirectHook>();
  auto session = URLSession::sessionWithConfiguration(ephemeral(), hook);

  URLRequest start(urlOf(server.url("/start")));
  start.setValue("Bearer secret", "Authorization");
  auto followed = fetch(*session, start);
  ASSERT_FALSE(followed.error);
  EXPECT_EQ(*followed.data, "arrived");
  EXPECT_EQ(followed.response->url().absoluteString(), server.localhostURL("/end"));
  ASSERT_EQ(hook->seen.size(), 1u);
  EXPECT_EQ(hook->seen[0], "302 " + server.localhostURL("/end"));
  auto end = server.lastRequest("/end");
  EXPECT_EQ(end->header("X-Hop"), "changed by the hook");
  EXPECT_EQ(end->header("Host"), "localhost:" + std::to_string(server.port()));
  EXPECT_FALSE(end->hasHeader("Cookie"));         // the cookie belongs to 127.0.0.1
  EXPECT_FALSE(end->hasHeader("Authorization"));  // credentials stay with their server
  EXPECT_EQ(server.lastRequest("/start")->header("Authorization"), "Bearer secret");

  hook->refuse = true;
  auto refused = fetch(*session, server.url("/start"));
  ASSERT_FALSE(refused.error);
  EXPECT_EQ(refused.response->statusCode(), 302);
  EXPECT_EQ(*refused.data, "moved");
  EXPECT_EQ(server.requestCount("/end"), 1u);
}

TEST(URLSession, UnfinishedTasksAreListedOldestFirstAndCancelsAndTimeOutsFailWithTheirCodes) {
  HttpsTestServer server;
  Gate gate;
  server.on("GET", "/slow", gate.handler(5));
  auto session = URLSession::sessionWithConfiguration(ephemeral());
  std::atomic<int> cancelledCount{0};
  auto count = [&](const auto& data, const auto&, const auto& error) {
    if (!data && error && error->domain == kURLErrorDomain && error->code == -999 &&
        error->localizedDescription() == "cancelled")
      ++cancelledCount;
  };
  auto running = session->dataTaskWithURL(urlOf(server.url("/slow")), count);
  running->setTaskDescription("request-1");
  running->resume();
  auto waiting = session->dataTaskWithURL(urlOf(server.url("/slow")), count);
  waiting->setTaskDescription("request-2");

  std::promise<std::vector<std::string>> listed;
  session->getAllTasks([&](std::vector<std::shared_ptr<URLSessionTask>> tasks) {
    std::vector<std::string> descriptions;
    for (const auto& task : tasks) descriptions.push_back(task->taskDescription());
    listed.set_value(descriptions);
  });
  EXPECT_EQ(listed.get_future().get(), (std::vector<std::string>{"request-1", "request-2"}));

  // One is cancelled while the server holds it, the other before it was resumed: both
  // complete, as cancelled.
  ASSERT_TRUE(waitUntil([&] { return server.requestCount("/slow") > 0; }, 5));
  running->cancel();
  waiting->cancel();
  EXPECT_TRUE(waitUntil([&] { return cancelledCount == 2; }, 5));
  EXPECT_EQ(running->state(), URLSessionTask::State::Completed);

  // The request's own time-out is an inactivity time-out.
  URLRequest request(urlOf(server.url("/slow")));
  request.setTimeoutInterval(0.3);
  auto started = std::chrono::steady_clock::now();
  auto timedOut = fetch(*session, request);
  ASSERT_TRUE(timedOut.error);
  EXPECT_EQ(timedOut.error->code, -1001);
  EXPECT_EQ(timedOut.error->localizedDescription(), "The request timed out.");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));

  // The configuration's resource time-out bounds the whole task.
  auto bounded = ephemeral();
  bounded.setTimeoutIntervalForResource(0.3);
  auto overall = fetch(*URLSession::sessionWithConfiguration(bounded), server.url("/slow"));
  ASSERT_TRUE(overall.error);
  EXPECT_EQ(overall.error->code, -1001);
  gate.open = true;
}

TEST(URLSession, ConnectionsPerHostAreLimitedAsTheServerSeesThem) {
  HttpsTestServer server;
  server.on("GET", "/hold", [](const httplib::Request&, httplib::Response& response) {
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    response.set_content("held", "text/plain");
  });
  auto configuration = ephemeral();
  configuration.setHTTPMaximumConnectionsPerHost(2);
  auto session = URLSession::sessionWithConfiguration(configuration);
  std::vector<std::future<testing_support::DataResult>> results;
  for (int i = 0; i < 6; ++i)
    results.push_back(std::async(std::launch::async, [&] { return fetch(*session, server.url("/hold")); }));
  for (auto& result : results) EXPECT_FALSE(result.get().error);
  EXPECT_EQ(server.requestCount("/hold"), 6u);
  EXPECT_EQ(server.peakConcurrentRequests(), 2);
}

TEST(URLSession, ABodyPastTheTasksLimitFailsInsteadOfBeingKept) {
  HttpsTestServer server;
  server.on("GET", "/big", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(std::string(100000, 'x'), "application/octet-stream");
  });
  auto session = URLSession::sessionWithConfiguration(ephemeral());
  for (size_t limit : {size_t{99999}, size_t{100000}}) {
    std::promise<std::pair<std::optional<std::string>, std::optional<Error>>> done;
    auto result = done.get_future();
    auto task = session->dataTaskWithRequest(
        URLRequest(urlOf(server.url("/big"))),
        [&done](const auto& data, const auto&, const auto& error) { done.set_value({data, error}); });
    task->setMaximumDataLength(limit);
    task->resume();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    auto [data, error] = result.get();
    const bool over = limit < 100000;
    EXPECT_EQ(error ? error->code : 0, over ? urlerror::kDataLengthExceedsMaximum : 0) << limit;
    EXPECT_EQ(data, over ? std::nullopt : std::optional(std::string(100000, 'x'))) << limit;
  }
}

TEST(URLSession, RedirectsMayBeRefusedOutrightAndCustomCredentialsStayWithTheirOrigin) {
  HttpsTestServer server, other;
  for (auto* target : {&server, &other})
    target->on("POST", "/end", answer("arrived"));
  server.on("POST", "/elsewhere", [&](const httplib::Request&, httplib::Response& response) {
    response.set_redirect(other.url("/end"), 307);
  });
  server.on("POST", "/here", [&](const httplib::Request&, httplib::Response& response) {
    response.set_redirect(server.url("/end"), 307);
  });
  auto configuration = ephemeral();
  configuration.setCredentialHeaderFields({"tag-id", "API-Key"});
  auto post = [&](URLSession& session, const std::string& path) {
    URLRequest request(urlOf(server.url(path)));
    request.setHTTPMethod("POST");
    request.setHTTPBody("logs");
    for (const char* field : {"tag-id", "api-key", "X-Plain"}) request.setValue("secret", field);
    return fetch(session, request);
  };

  auto following = URLSession::sessionWithConfiguration(configuration);
  ASSERT_EQ(post(*following, "/elsewhere").response->statusCode(), 200);
  auto crossed = *other.lastRequest("/end");
  EXPECT_FALSE(crossed.hasHeader("tag-id"));
  EXPECT_FALSE(crossed.hasHeader("api-key"));
  EXPECT_EQ(crossed.header("X-Plain"), "secret");
  EXPECT_EQ(crossed.body, "logs");
  ASSERT_EQ(post(*following, "/here").response->statusCode(), 200);
  EXPECT_EQ(server.lastRequest("/end")->header("tag-id"), "secret");  // same origin: kept

  // Not following: the redirect is the answer, and neither target nor hook hears of it.
  configuration.setHTTPShouldFollowRedirects(false);
  auto hook = std::make_shared<RedirectHook>();
  auto staying = URLSession::sessionWithConfiguration(configuration, hook);
  for (const char* path : {"/elsewhere", "/here"}) {
    auto result = post(*staying, path);
    ASSERT_FALSE(result.error) << path;
    EXPECT_EQ(result.response->statusCode(), 307) << path;
  }
  EXPECT_TRUE(hook->seen.empty());
  EXPECT_EQ(other.requestCount("/end"), 1u);
  EXPECT_EQ(server.requestCount("/end"), 1u);
}

TEST(URLSession, TheResourceTimeOutEndsAnAnswerThatTricklesIn) {
  HttpsTestServer server;
  server.on("GET", "/trickle", [](const httplib::Request&, httplib::Response& response) {
    auto sent = std::make_shared<int>(0);
    response.set_chunked_content_provider("text/plain", [sent](size_t, httplib::DataSink& sink) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      // Ends by itself after about five seconds, or when the client has gone.
      if (++*sent > 50 || !sink.write("x", 1)) sink.done();
      return true;
    });
  });
  auto bounded = ephemeral();
  bounded.setTimeoutIntervalForRequest(1);  // never idle that long
  bounded.setTimeoutIntervalForResource(0.5);
  auto started = std::chrono::steady_clock::now();
  auto result = fetch(*URLSession::sessionWithConfiguration(bounded), server.url("/trickle"));
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->code, urlerror::kTimedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
}

#include <gtest/gtest.h>

#include <climits>
#include <limits>

#include "SessionRecorder.h"
#include "platform/net/TLSTrust.h"
#include "platform/net/URLError.h"
#include "platform/net/URLSession.h"
#include "support/ConnectProxy.h"
#include "support/HttpsTestServer.h"
#include "support/SessionTasks.h"
#include "support/TestSupport.h"

using namespace platform;
using testing_support::ephemeralSession;
using testing_support::fetch;
using testing_support::answer;
using testing_support::HttpsTestServer;
using testing_support::urlOf;

namespace {

long codeOf(const testing_support::DataResult& result) {
  return result.error ? result.error->code : 0;
}

}  // namespace

TEST(URLSessionFailure, TransportFailuresHaveTheirOwnCodesAndARedirectNotFollowedIsTheAnswer) {
  HttpsTestServer server;
  server.on("GET", "/cut", [](const httplib::Request&, httplib::Response& response) {
    // Promises a thousand bytes, sends ten and drops the connection.
    response.set_content_provider(1000, "text/plain", [](size_t, size_t, httplib::DataSink& sink) {
      sink.write("0123456789", 10);
      return false;
    });
  });
  auto redirectTo = [&](const std::string& path, const std::string& location) {
    server.on("GET", path, [location](const httplib::Request&, httplib::Response& response) {
      response.status = 302;
      response.set_header("Location", location);
      response.set_content("moved to " + location, "text/plain");
    });
  };
  redirectTo("/loop", "/loop");
  using Redirect = std::pair<std::string, std::string>;  // path, location
  const Redirect notFollowed[] = {{"/unparsable", "https://[::1/broken"}, {"/empty", ""}};
  for (const auto& [path, location] : notFollowed) redirectTo(path, location);
  redirectTo("/ftp", "ftp://127.0.0.1/file");
  auto session = ephemeralSession();

  // A label longer than 63 bytes is refused by the resolver itself: no query leaves the host.
  auto unknown = fetch(*session, "https://" + std::string(64, 'x') + ".invalid/");
  EXPECT_EQ(codeOf(unknown), urlerror::kCannotFindHost);
  EXPECT_EQ(unknown.error->userInfo.value("NSErrorFailingURLStringKey", ""),
            "https://" + std::string(64, 'x') + ".invalid/");

  std::string closed;  // where a server listened a moment ago
  {
    HttpsTestServer gone;
    closed = gone.url("/");
  }
  auto refused = fetch(*session, closed);
  EXPECT_EQ(codeOf(refused), urlerror::kCannotConnectToHost);

  auto cut = fetch(*session, server.url("/cut"));
  EXPECT_EQ(codeOf(cut), urlerror::kNetworkConnectionLost);
  EXPECT_FALSE(cut.data);

  auto looping = fetch(*session, server.url("/loop"));
  EXPECT_EQ(codeOf(looping), urlerror::kHTTPTooManyRedirects);
  EXPECT_EQ(server.requestCount("/loop"), 17u);

  // A Location that does not parse, or an empty one, which names no target (and is not a
  // redirect to the same page): the redirect itself is the answer.
  for (const auto& [path, location] : notFollowed) {
    auto answer = fetch(*session, server.url(path));
    ASSERT_FALSE(answer.error) << path << " " << answer.error->localizedDescription();
    EXPECT_EQ(answer.response->statusCode(), 302) << path;
    EXPECT_EQ(answer.data, "moved to " + location) << path;
    EXPECT_EQ(server.requestCount(path), 1u) << path;
  }

  // A target the session cannot load fails as that URL would.
  EXPECT_EQ(codeOf(fetch(*session, server.url("/ftp"))), urlerror::kUnsupportedURL);
}

TEST(URLSessionFailure, ACertificateForAnotherHostIsRefusedAndTheExtraAuthorityIsTheOnlyWayIn) {
  HttpsTestServer mismatched(HttpsTestServer::Certificate::OtherHost);
  mismatched.on("GET", "/x", answer("x"));
  auto wrongName = fetch(*ephemeralSession(), mismatched.url("/x"));
  EXPECT_EQ(codeOf(wrongName), urlerror::kServerCertificateUntrusted);
  EXPECT_EQ(mismatched.requestCount(), 0u);

  HttpsTestServer server;
  server.on("GET", "/x", answer("x"));
  // An extra file that cannot be read adds nothing, says so, and leaves checks on.
  testing_support::LogCapture log;
  net::setAdditionalTrustedCAFile("/nonexistent/authority.pem");
  auto missing = fetch(*ephemeralSession(), server.url("/x"));
  EXPECT_EQ(codeOf(missing), urlerror::kServerCertificateUntrusted);
  EXPECT_TRUE(log.contains("/nonexistent/authority.pem"));

  testing_support::TempDir folder;
  net::setAdditionalTrustedCAFile(folder.write("garbage.pem", "-----BEGIN CERTIFICATE-----\nAA"));
  EXPECT_EQ(codeOf(fetch(*ephemeralSession(), server.url("/x"))),
            urlerror::kServerCertificateUntrusted);

  // Naming the authority again lets new connections in.
  net::setAdditionalTrustedCAFile(server.caFile());
  EXPECT_EQ(fetch(*ephemeralSession(), server.url("/x")).data, "x");
  EXPECT_EQ(server.requestCount(), 1u);
}

TEST(URLSessionFailure, ThroughAProxyTunnelOnlyTheOriginsResponseCounts) {
  HttpsTestServer server;
  server.on("GET", "/origin", [](const httplib::Request&, httplib::Response& response) {
    response.set_header("Set-Cookie", "origin=1; Path=/");
    response.set_content("from the origin", "text/plain");
  });
  testing_support::ConnectProxy proxy;
  testing_support::ScopedProxyEnvironment environment(proxy.url());

  auto configuration = URLSessionConfiguration::ephemeralSessionConfiguration();
  auto storage = configuration.httpCookieStorage();
  auto recorder = std::make_shared<net_test::SessionRecorder>();
  auto session = URLSession::sessionWithConfiguration(configuration, recorder);
  auto result = fetch(*session, server.url("/origin"));
  ASSERT_FALSE(result.error) << result.error->localizedDescription();
  EXPECT_EQ(*result.data, "from the origin");
  EXPECT_FALSE(result.response->valueForHTTPHeaderField("X-Proxy"));
  EXPECT_EQ(proxy.tunnels(), (std::vector<std::string>{"127.0.0.1:" + std::to_string(server.port())}));

  // The proxy's cookie is not the origin's.
  auto cookies = storage->cookies();
  ASSERT_EQ(cookies.size(), 1u);
  EXPECT_EQ(cookies[0].name, "origin");

  // A tunnel the proxy refuses (it never resolves the name) is a failure to connect, not the
  // proxy's answer.
  auto refused = fetch(*session, "https://other-host.test/origin");
  EXPECT_EQ(codeOf(refused), urlerror::kCannotConnectToHost);
  EXPECT_FALSE(refused.response);

  // A delegate sees one response: the origin's.
  session->dataTaskWithURL(urlOf(server.url("/origin")))->resume();
  EXPECT_EQ(recorder->finished(), (std::vector<std::string>{"response 200", "data from the origin",
                                                            "complete state 3"}));
}

TEST(URLSessionFailure, HugeAndNonsenseLimitsAreClamped) {
  HttpsTestServer server;
  server.on("GET", "/x", answer("x"));
  const double infinity = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();

  auto configuration = URLSessionConfiguration::ephemeralSessionConfiguration();
  configuration.setHTTPMaximumConnectionsPerHost(INT_MAX);
  EXPECT_LE(configuration.httpMaximumConnectionsPerHost(), 1024);
  configuration.setHTTPMaximumConnectionsPerHost(INT_MIN);
  EXPECT_EQ(configuration.httpMaximumConnectionsPerHost(), 1);
  configuration.setHTTPMaximumConnectionsPerHost(INT_MAX);
  for (double requestTimeout : {1e300, infinity, nan, -5.0, 0.0}) {
    configuration.setTimeoutIntervalForRequest(requestTimeout);
    configuration.setTimeoutIntervalForResource(requestTimeout);
    auto session = URLSession::sessionWithConfiguration(configuration);
    ASSERT_FALSE(fetch(*session, server.url("/x")).error) << requestTimeout;
    for (double own : {1e300, infinity, nan, -1.0}) {
      URLRequest request(urlOf(server.url("/x")));
      request.setTimeoutInterval(own);
      auto result = fetch(*session, request);
      EXPECT_FALSE(result.error) << requestTimeout << " " << own;
    }
  }
}

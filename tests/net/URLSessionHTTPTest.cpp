#include <brotli/encode.h>
#include <gtest/gtest.h>

#include "platform/net/URLError.h"
#include "platform/net/URLSession.h"
#include "support/Gzip.h"
#include "support/HttpsTestServer.h"
#include "support/SessionTasks.h"

using namespace platform;
using testing_support::ephemeralSession;
using testing_support::fetch;
using testing_support::answer;
using testing_support::HttpsTestServer;
using testing_support::urlOf;

namespace {

URLRequest requestWith(const std::string& url, const std::string& method,
                       const std::string& body = {}) {
  URLRequest request(urlOf(url));
  request.setHTTPMethod(method);
  request.setHTTPBody(body);
  return request;
}

std::string brotliCompressed(const std::string& text) {
  size_t size = BrotliEncoderMaxCompressedSize(text.size());
  std::string out(size, '\0');
  EXPECT_TRUE(BrotliEncoderCompress(BROTLI_DEFAULT_QUALITY, BROTLI_DEFAULT_WINDOW,
                                    BROTLI_MODE_TEXT, text.size(),
                                    reinterpret_cast<const uint8_t*>(text.data()), &size,
                                    reinterpret_cast<uint8_t*>(out.data())));
  out.resize(size);
  return out;
}

}  // namespace

TEST(URLSessionHTTP, PostSendsItsBodyHeadHasNoBodyAndAMethodNotATokenNeverReachesTheWire) {
  HttpsTestServer server;
  server.on("POST", "/submit", [](const httplib::Request& request, httplib::Response& response) {
    response.status = 201;
    response.set_content("got " + request.body, "text/plain");
  });
  server.on("GET", "/page", [](const httplib::Request&, httplib::Response& response) {
    response.set_header("X-Kind", "page");
    response.set_content("the page body", "text/html");
  });
  auto session = ephemeralSession();

  auto post = requestWith(server.url("/submit"), "POST", "name=a&value=%20b");
  post.setValue("application/x-www-form-urlencoded", "Content-Type");
  auto posted = fetch(*session, post);
  ASSERT_FALSE(posted.error) << posted.error->localizedDescription();
  EXPECT_EQ(posted.response->statusCode(), 201);
  EXPECT_EQ(*posted.data, "got name=a&value=%20b");
  auto seen = server.lastRequest("/submit");
  EXPECT_EQ(seen->header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(seen->header("Content-Length"), "17");

  // An empty POST still says that its body is empty.
  ASSERT_FALSE(fetch(*session, requestWith(server.url("/submit"), "POST")).error);
  EXPECT_EQ(server.lastRequest("/submit")->header("Content-Length"), "0");

  auto head = fetch(*session, requestWith(server.url("/page"), "HEAD"));
  ASSERT_FALSE(head.error) << head.error->localizedDescription();
  EXPECT_EQ(head.response->statusCode(), 200);
  EXPECT_EQ(head.response->valueForHTTPHeaderField("X-Kind"), "page");
  EXPECT_EQ(head.data, "");
  EXPECT_EQ(server.lastRequest("/page")->method, "HEAD");

  server.on("GET", "/target", answer("target"));
  server.on("DELETE", "/target", [](const httplib::Request&, httplib::Response& response) {
    response.status = 204;
  });
  const size_t before = server.requestCount();
  // A method with a line break would end the request line and smuggle in a second request.
  const std::string smuggled =
      "GET /target HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\nGET /smuggled HTTP/1.1\r\nX:";
  for (const std::string& method :
       {smuggled, std::string("GE T"), std::string("GET\n"), std::string("G\0T", 3),
        std::string("PÖST"), std::string("(GET)")}) {
    auto result = fetch(*session, requestWith(server.url("/target"), method));
    ASSERT_TRUE(result.error) << method;
    EXPECT_EQ(result.error->domain, kURLErrorDomain);
    EXPECT_EQ(result.error->code, urlerror::kBadURL);
    EXPECT_FALSE(result.data);
  }
  EXPECT_EQ(server.requestCount(), before);

  // Tokens go out as they are.
  auto deleted = fetch(*session, requestWith(server.url("/target"), "DELETE"));
  ASSERT_FALSE(deleted.error);
  EXPECT_EQ(deleted.response->statusCode(), 204);
  EXPECT_EQ(server.requestCount(), before + 1);
}

TEST(URLSessionHTTP, RedirectsChangeTheMethodOnlyWhereHTTPSaysSo) {
  HttpsTestServer server;
  for (int status : {301, 302, 303, 307, 308}) {
    std::string from = "/" + std::to_string(status);
    auto redirect = [status](const httplib::Request&, httplib::Response& response) {
      response.set_redirect("/landing", status);
    };
    for (const char* method : {"GET", "POST", "PUT"}) server.on(method, from, redirect);
  }
  auto landing = [](const httplib::Request& request, httplib::Response& response) {
    response.set_content(request.method + " [" + request.body + "] " +
                             request.get_header_value("Content-Type"),
                         "text/plain");
  };
  for (const char* method : {"GET", "POST", "PUT"}) server.on(method, "/landing", landing);
  auto session = ephemeralSession();

  auto landed = [&](int status, const std::string& method) {
    auto request = requestWith(server.url("/" + std::to_string(status)), method, "payload");
    request.setValue("text/plain", "Content-Type");
    auto result = fetch(*session, request);
    EXPECT_FALSE(result.error) << status << " " << method;
    EXPECT_EQ(result.response->statusCode(), 200) << status << " " << method;
    return result.data.value_or("");
  };
  // 301 and 302 turn a POST into a GET without a body; other methods stay.
  EXPECT_EQ(landed(301, "POST"), "GET [] ");
  EXPECT_EQ(landed(302, "POST"), "GET [] ");
  EXPECT_EQ(landed(302, "PUT"), "PUT [payload] text/plain");
  // 303 turns everything but GET and HEAD into a GET.
  EXPECT_EQ(landed(303, "PUT"), "GET [] ");
  EXPECT_EQ(landed(303, "POST"), "GET [] ");
  // 307 and 308 repeat the request as it was.
  EXPECT_EQ(landed(307, "POST"), "POST [payload] text/plain");
  EXPECT_EQ(landed(308, "PUT"), "PUT [payload] text/plain");

  auto head = fetch(*session, requestWith(server.url("/303"), "HEAD"));
  ASSERT_FALSE(head.error);
  EXPECT_EQ(server.lastRequest("/landing")->method, "HEAD");
}

TEST(URLSessionHTTP, CompressedBodiesArriveDecodedAndRepeatedFieldsAreJoined) {
  const std::string text = std::string(3000, 'a') + " the end";
  HttpsTestServer server;
  server.on("GET", "/gzip", [&](const httplib::Request& request, httplib::Response& response) {
    response.set_header("X-Accepted", request.get_header_value("Accept-Encoding"));
    response.set_header("Content-Encoding", "gzip");
    response.set_content(testing_support::gzipped(text), "text/plain");
  });
  server.on("GET", "/brotli", [&](const httplib::Request&, httplib::Response& response) {
    response.set_header("Content-Encoding", "br");
    response.set_content(brotliCompressed(text), "text/plain");
  });
  server.on("GET", "/corrupt", [](const httplib::Request&, httplib::Response& response) {
    response.set_header("Content-Encoding", "gzip");
    response.set_content("this is not gzip at all", "text/plain");
  });
  server.on("GET", "/repeated", [](const httplib::Request&, httplib::Response& response) {
    response.set_header("X-Multi", "one");
    response.set_header("X-Multi", "two");
    response.set_header("Set-Cookie", "a=1; Path=/; Expires=Wed, 21 Oct 2037 07:28:00 GMT");
    response.set_header("Set-Cookie", "b=2; Path=/");
    response.set_content("ok", "text/plain");
  });
  auto configuration = URLSessionConfiguration::ephemeralSessionConfiguration();
  auto storage = configuration.httpCookieStorage();
  auto session = URLSession::sessionWithConfiguration(configuration);

  auto gzip = fetch(*session, server.url("/gzip"));
  ASSERT_FALSE(gzip.error) << gzip.error->localizedDescription();
  EXPECT_EQ(*gzip.data, text);
  auto accepted = gzip.response->valueForHTTPHeaderField("X-Accepted").value_or("");
  EXPECT_NE(accepted.find("gzip"), std::string::npos) << accepted;
  EXPECT_NE(accepted.find("br"), std::string::npos) << accepted;

  EXPECT_EQ(fetch(*session, server.url("/brotli")).data, text);

  auto corrupt = fetch(*session, server.url("/corrupt"));
  ASSERT_TRUE(corrupt.error);
  EXPECT_EQ(corrupt.error->code, urlerror::kBadServerResponse);
  EXPECT_FALSE(corrupt.data);

  auto repeated = fetch(*session, server.url("/repeated"));
  ASSERT_FALSE(repeated.error);
  EXPECT_EQ(repeated.response->valueForHTTPHeaderField("x-multi"), "one, two");
  // Cookie fields stay apart: the comma in a date does not split a cookie.
  std::vector<std::string> names;
  for (const auto& cookie : storage->cookiesForURL(urlOf(server.url("/")))) names.push_back(cookie.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));
}

// End-to-end: the page sends requests through the HTTP plugin in the real shell, against the
// HTTPS test server.

#include "../E2EShell.h"
#include "support/HttpsTestServer.h"
#include "support/TestCertificateAuthority.h"

namespace {

using namespace e2e;

TEST_F(E2E, ThePageSendsRequestsThroughTheHttpPlugin) {
  testing_support::HttpsTestServer server;
  server.on("GET", "/hello", [](const httplib::Request&, httplib::Response& response) {
    response.set_header("Set-Cookie", "e2e=1; Path=/");
    response.set_content("hello from the server", "text/plain");
  });
  server.on("POST", "/echo", [](const httplib::Request& request, httplib::Response& response) {
    response.set_content(request.body, "application/json");
  });
  ProgramRun run;
  std::string ca = testing_support::TestCertificateAuthority::shared().caCertificateFile();
  Value found = runPackage(VELTRO_SHELL_E2E, VELTRO_E2E_HTTP_PACKAGE, run,
                           {"VELTRO_EXTRA_CA_FILE=" + ca, "VELTRO_E2E_HTTP_URL=" + server.localhostURL("")});
  ASSERT_TRUE(found.is_object()) << run.output;
  EXPECT_FALSE(found.contains("error")) << found.dump(2);

  const Value& get = found["get"]["args"][0];
  // The page's cookie manager is there from the first page, frozen, and stays in place.
  EXPECT_PICKED(found, R"({"get": {"ok": true}, "managerFrozen": true, "managerKept": true, "cookieSeen": ""})");
  EXPECT_PICKED(get, R"({"requestId": "get-1",
                        "data": {"chunkData": "hello from the server", "metadata": {"status": 200}}})");
  EXPECT_FALSE(get["data"]["metadata"]["responseHeaders"].contains("set-cookie"));
  EXPECT_EQ(server.lastRequest("/hello")->header("X-Page"), "yes");
  EXPECT_EQ(found["post"]["args"][0]["data"]["chunkData"], "{\"a\":1}");
}

}  // namespace

#include "../E2EShell.h"
#include "support/HttpsTestServer.h"
#include "support/TestCertificateAuthority.h"

// The device, status bar and authentication plugins in the real shell.

using namespace e2e;

namespace {

TEST_F(E2E, DeviceStatusBarAndAuthenticationPluginsInTheRealShell) {
  testing_support::HttpsTestServer server;
  std::string callback = server.url("/callback");
  server.on("GET", "/authorize", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("<html><body>Signing in<script>setTimeout(function () { location.href = '/login'; }, 10);"
                         "</script></body></html>",
                         "text/html");
  });
  server.on("GET", "/login", [&](const httplib::Request&, httplib::Response& response) {
    response.status = 302;
    response.set_header("Location", callback + "?code=e2e-code");
  });
  std::vector<std::string> environment{
      "VELTRO_E2E_AUTH_ENDPOINT=" + server.url("/authorize"), "VELTRO_E2E_AUTH_CALLBACK=" + callback,
      "VELTRO_EXTRA_CA_FILE=" + testing_support::TestCertificateAuthority::shared().caCertificateFile()};
  ProgramRun run;
  auto runOnce = [&] {
    return runPackage(VELTRO_SHELL_E2E, VELTRO_E2E_DEVICES_PACKAGE, run, environment,
                      {"--width", "400", "--height", "600"});
  };
  Value found = runOnce();
  ASSERT_TRUE(found.is_object()) << run.output;
  EXPECT_FALSE(found.contains("exception")) << found.dump(2);
  EXPECT_EQ(found["device"].value("uuid", "").size(), 36u);
  // The strip takes the top 20 pixels; hidden, the web view has the whole window.
  EXPECT_PICKED(found, R"({"deviceready": true, "height": 20, "overlaying": false, "innerHeightBelowStrip": 580,
    "innerHeightHidden": 600, "frameChanges": 2,
    "statusBarEvents": [true, {"type": "viewport", "disableiOS12": false}, false, true]})");

  // Authentication in a real window ends on the callback with its query, which is not fetched.
  EXPECT_EQ(found["auth"], (Value{{"ok", true}, {"args", {callback + "?code=e2e-code"}}})) << found["auth"].dump();
  EXPECT_EQ(server.requestCount("/callback"), 0u);

  // A restart on the same data keeps the device identifier.
  Value again = runOnce();
  ASSERT_TRUE(again.is_object()) << run.output;
  EXPECT_EQ(again["device"]["uuid"], found["device"]["uuid"]);
}

}  // namespace

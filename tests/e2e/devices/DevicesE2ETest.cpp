#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../E2EShell.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Value.h"
#include "support/HttpsTestServer.h"
#include "support/TestCertificateAuthority.h"

// The device, status bar and authentication plugins in the real shell.

using namespace e2e;

namespace {

// The colour of the pixel at (x, y) of a PNG, as 0xRRGGBB.
std::uint32_t pixelAt(GdkPixbuf* image, int x, int y) {
  const guchar* p = gdk_pixbuf_read_pixels(image) + y * gdk_pixbuf_get_rowstride(image) +
                    x * gdk_pixbuf_get_n_channels(image);
  return std::uint32_t(p[0]) << 16 | std::uint32_t(p[1]) << 8 | p[2];
}

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
  auto runOnce = [&](const std::string& name) {
    std::string report = temp_.file(name);
    auto env = environment;
    env.push_back("VELTRO_E2E_REPORT=" + report);
    ProgramRun run = shell(VELTRO_SHELL_E2E, {"--data-root", temp_.file("data"), "--width", "400", "--height", "600",
                                              VELTRO_E2E_DEVICES_PACKAGE},
                           env);
    EXPECT_FALSE(run.timedOut) << run.output;
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    Value found = Value::parse(platform::fs::readFile(report).value_or(""), nullptr, false);
    EXPECT_TRUE(found.is_object()) << run.output;
    return found.is_object() ? found : Value::object();
  };
  Value found = runOnce("first.json");
  EXPECT_EQ(found["deviceready"], true);
  EXPECT_FALSE(found.contains("exception")) << found.dump(2);

  EXPECT_EQ(found["device"].value("uuid", "").size(), 36u);

  // The strip takes the top 20 pixels; hidden, the web view has the whole window.
  EXPECT_EQ(found["height"], 20);
  EXPECT_EQ(found["overlaying"], false);
  EXPECT_EQ(found["innerHeightBelowStrip"], 580);
  EXPECT_EQ(found["innerHeightHidden"], 600);
  EXPECT_EQ(found["statusBarEvents"], Value::parse(R"([true, {"type": "viewport", "disableiOS12": false}, false, true])"));
  EXPECT_EQ(found["frameChanges"], 2);

  // Authentication: bad arguments and a plain-http page fail at once, a second flow while one
  // runs is refused at once, and the flow ends on the callback with its query.
  EXPECT_EQ(found["authBadArguments"], Value::parse(R"({"ok": false, "args": ["ERROR_MISSING_PLUGIN_PARAMETERS"]})"));
  EXPECT_EQ(found["authRefused"]["ok"], false);
  EXPECT_EQ(found["authSecond"], Value::parse(R"({"ok": false, "args": ["ERROR_FLOW_IN_PROGRESS"]})"));
  EXPECT_EQ(found["auth"]["ok"], true) << found["auth"].dump();
  EXPECT_EQ(found["auth"]["args"][0], callback + "?code=e2e-code");
  EXPECT_EQ(server.requestCount("/callback"), 0u);

  // A restart on the same data keeps the device identifier.
  Value again = runOnce("second.json");
  EXPECT_EQ(again["device"]["uuid"], found["device"]["uuid"]);
}

TEST_F(E2E, ScreenshotShowsTheStatusBarStripInItsColour) {
  std::string png = temp_.file("strip.png");
  ProgramRun run = shell(VELTRO_SHELL, {"--data-root", temp_.file("data"), "--screenshot", png, "--width", "400",
                                        "--height", "600", VELTRO_EXAMPLE_PACKAGE});
  ASSERT_FALSE(run.timedOut) << run.output;
  ASSERT_EQ(run.exitStatus, 0) << run.output;
  GError* error = nullptr;
  GdkPixbuf* image = gdk_pixbuf_new_from_file(png.c_str(), &error);
  ASSERT_NE(image, nullptr) << (error ? error->message : "no image");
  // The example package asks for a strip of #1E6FD9 behind a 20-pixel status bar.
  for (int x : {2, 200, 397}) {
    EXPECT_EQ(pixelAt(image, x, 2), 0x1E6FD9u) << x;
    EXPECT_EQ(pixelAt(image, x, 18), 0x1E6FD9u) << x;
  }
  EXPECT_NE(pixelAt(image, 2, 22), 0x1E6FD9u) << "the page starts below the strip";
  g_object_unref(image);
}

}  // namespace

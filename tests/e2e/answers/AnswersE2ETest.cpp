#include <gdk-pixbuf/gdk-pixbuf.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>

#include "../E2EShell.h"
#include "support/HttpsTestServer.h"
#include "support/TestCertificateAuthority.h"

// Calls that must answer whatever the page asks, and a screenshot that must show the page.

using namespace e2e;

namespace {

// A UDP port nobody listens on now.
int freeUdpPort() {
  int socket = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  ::close(socket);
  return port;
}

// An endless statement with deletes and opens, a file read, the device information, a video
// the player may not open and an authentication page whose frame loads the callback: every
// call answers, in good time, with what it should.
TEST_F(E2E, EveryCallAnswersAndNothingFreezesTheShell) {
  testing_support::HttpsTestServer server;
  std::string callback = server.url("/callback");
  server.on("GET", "/authorize", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content("<html><body>Signing in<iframe src='" + callback + "?code=spoofed'></iframe><script>"
                         "setTimeout(function () { location.href = '" + callback + "?code=real'; }, 700);"
                         "</script></body></html>",
                         "text/html");
  });
  std::vector<std::string> environment{
      "VELTRO_E2E_AUTH_ENDPOINT=" + server.url("/authorize"), "VELTRO_E2E_AUTH_CALLBACK=" + callback,
      "VELTRO_E2E_UDP_PORT=" + std::to_string(freeUdpPort()), "VELTRO_CAMERA_SOURCE=videotestsrc",
      "VELTRO_EXTRA_CA_FILE=" + testing_support::TestCertificateAuthority::shared().caCertificateFile()};
  ProgramRun run;
  Value found = runPackage(VELTRO_SHELL_E2E, VELTRO_E2E_ANSWERS_PACKAGE, run, environment, {}, 60);
  ASSERT_TRUE(found.is_object()) << run.output;
  ASSERT_FALSE(found.contains("exception")) << found.dump(2);

  // The endless statements are interrupted by the deletes of their databases; the rest does
  // not wait for them.
  const Value& databases = found["databases"];
  EXPECT_FALSE(databases["endless"]["ok"].get<bool>()) << databases.dump(2);
  EXPECT_EQ(databases["deleted"]["args"][0], "DB deleted");
  EXPECT_EQ(databases["opened"]["args"][0], "Database opened");
  EXPECT_EQ(databases["file"]["args"][0], "<!DOCTYPE html>");
  EXPECT_TRUE(databases["device"]["ok"].get<bool>());
  for (const char* key : {"opened", "file", "device"}) EXPECT_LT(databases[key]["ms"], 1500) << key;
  for (const char* key : {"endless", "deleted"}) EXPECT_LT(databases[key]["ms"], 10000) << key;
  ASSERT_EQ(databases["busy"].size(), 16u);
  for (size_t i = 0; i < 16; i += 2) {
    EXPECT_FALSE(databases["busy"][i]["ok"].get<bool>());
    EXPECT_EQ(databases["busy"][i + 1]["args"][0], "DB deleted");
  }
  EXPECT_FALSE(databases["fts3"]["ok"].get<bool>()) << databases["fts3"].dump();

  // Editing with no one to ask keeps the centred part of the target's proportions.
  EXPECT_EQ(found["editedPicture"], "60 x 30");

  // A UDP source is refused at once, without a socket opened.
  EXPECT_FALSE(found["playVideo"]["ok"].get<bool>());
  EXPECT_EQ(found["playVideo"]["args"][0]["code"], "VL-PLUG-CAMR-0006");
  EXPECT_LT(found["playVideo"]["ms"], 1500);

  // The frame's code is not the flow's; the page's own navigation is, and is not fetched.
  EXPECT_EQ(found["auth"], (Value{{"ok", true}, {"args", {callback + "?code=real"}}})) << found["auth"].dump();
  EXPECT_EQ(server.requestCount("/callback"), 0u);
}

// The web content process ends between the page's load and its picture: the shell waits for
// the reloaded page and pictures it, never a blank window.
TEST_F(E2E, AScreenshotAfterTheWebProcessEndedShowsTheReloadedPage) {
  std::string picture = temp_.file("shot.png");
  ProgramRun run;
  runPackage(VELTRO_SHELL_E2E, VELTRO_E2E_ANSWERS_PACKAGE, run, {"VELTRO_E2E_MODE=screenshot"},
             {"--screenshot", picture, "--width", "200", "--height", "300", "--timeout", "30"});
  EXPECT_NE(run.output.find("The web content process ended"), std::string::npos) << run.output;
  GdkPixbuf* shot = gdk_pixbuf_new_from_file(picture.c_str(), nullptr);
  ASSERT_NE(shot, nullptr) << run.output;
  const guchar* pixel = gdk_pixbuf_read_pixels(shot) + 200 * gdk_pixbuf_get_rowstride(shot) +
                        100 * gdk_pixbuf_get_n_channels(shot);
  EXPECT_TRUE(pixel[0] < 40 && pixel[1] > 130 && pixel[2] < 40)
      << int(pixel[0]) << "," << int(pixel[1]) << "," << int(pixel[2]);
  g_object_unref(shot);
}

// The "veltro" engine hands a frame's challenge from a server that asks for Basic
// credentials to the plugin that takes challenges, whose credential opens the page; the
// synchronous evaluation answers, and gives up on a script that outlasts its time limit.
TEST_F(E2E, TheVeltroEngineHandsChallengesToAPluginAndEvaluatesSynchronously) {
  testing_support::HttpsTestServer server;
  std::atomic<int> authorized{0};
  server.on("GET", "/basic", [&](const httplib::Request& request, httplib::Response& response) {
    if (request.get_header_value("Authorization") == "Basic dGVzdGVyOm9wZW4gc2VzYW1l") {  // tester:open sesame
      ++authorized;
      response.set_content("<html><body>inside</body></html>", "text/html");
      return;
    }
    response.status = 401;
    response.set_header("WWW-Authenticate", "Basic realm=\"Veltro test\"");
    response.set_content("<html><body>who are you?</body></html>", "text/html");
  });
  std::vector<std::string> environment{
      "VELTRO_E2E_SERVER_CERTIFICATE=" + testing_support::TestCertificateAuthority::shared().serverCertificateFile(),
      "VELTRO_E2E_PROTECTED_URL=" + server.url("/basic"), "VELTRO_E2E_BASIC_CREDENTIAL=tester:open sesame"};
  ProgramRun run;
  Value found = runPackage(VELTRO_SHELL_E2E, VELTRO_E2E_ENGINE_PACKAGE, run, environment, {}, 60);
  ASSERT_TRUE(found.is_object()) << run.output;
  ASSERT_FALSE(found.contains("exception")) << found.dump(2);

  EXPECT_EQ(found["trusted"], true);
  ASSERT_EQ(found["challenges"].size(), 1u) << found.dump(2);
  EXPECT_EQ(found["challenges"][0], (Value{{"host", "127.0.0.1"}, {"port", server.port()}, {"realm", "Veltro test"},
                                          {"basic", true}, {"retry", false}}));
  EXPECT_EQ(authorized.load(), 1);

  EXPECT_EQ(found["title"]["text"], "Veltro E2E Engine");
  // The slow script's result comes after the limit, and is dropped; the view goes on.
  EXPECT_TRUE(found["slow"]["text"].is_null()) << found["slow"];
  EXPECT_GE(found["slow"]["ms"], 300);
  EXPECT_LT(found["slow"]["ms"], 1400);
  EXPECT_EQ(found["after"]["text"], "42");
  EXPECT_NE(run.output.find("did not finish within 0.3 seconds"), std::string::npos);
}

// A burst of calls to a plugin that waits for a synchronous evaluation: each call waits for
// the one before to return instead of running inside its wait, so the shell's stack stays
// shallow however many come, and every call is answered.
TEST_F(E2E, ABurstOfSynchronousEvaluationsIsAnsweredCallByCallWithoutNesting) {
  ProgramRun run;
  Value found = runPackage(VELTRO_SHELL_E2E, VELTRO_E2E_ENGINE_PACKAGE, run, {"VELTRO_E2E_MODE=burst"}, {}, 120);
  ASSERT_TRUE(found.is_object()) << run.output.substr(0, 4000);
  ASSERT_FALSE(found.contains("exception")) << found.dump(2);
  EXPECT_EQ(found["answered"].get<int>() + found["failed"].get<int>(), 3000) << found.dump(2);
  EXPECT_EQ(found["texts"], (Value{{"1", 1500}, {"2", 1500}})) << found.dump(2);
  EXPECT_EQ(run.output.find("stringByEvaluatingJavaScriptFromString is refused"), std::string::npos);
}

}  // namespace

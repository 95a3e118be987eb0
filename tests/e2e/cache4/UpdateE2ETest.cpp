#include "../E2EShell.h"
#include "CacheVersions.h"
#include "appcache/VLFileChecksum.h"
#include "support/HttpsTestServer.h"
#include "support/TestCertificateAuthority.h"

using namespace e2e;

namespace {

}  // namespace

// The shell starts on the packaged version, served from the cache's package frame; the page
// caches a newer version from the server, hears its progress and the status changes on the
// cache channel, the engine swaps it in, and after a reload the page is the new version.
TEST_F(E2E, AnUpdateIsCachedSwappedInAndServedAfterAReload) {
  std::string package = copyPackage(VELTRO_E2E_UPDATE_PACKAGE, "package");
  testing_support::HttpsTestServer server;
  const std::string host = "127.0.0.1:" + std::to_string(server.port());
  configureHost(package + "/config.xml.in", package + "/config.xml", host);

  // The newer version: the same page and bridge, another version script and a page script
  // that reports what it is.
  const std::string nextPage = R"((function () {
  document.addEventListener('deviceready', function () {
    harbor.require('harbor/exec')(null, null, 'Report', 'report',
      [{ version: window.appVersion, location: location.href, reloaded: true }]);
  });
})();
)";
  std::map<std::string, std::string> next{{"index.html", readText(package + "/www/index.html")},
                                          {"harbor.js", readText(package + "/www/harbor.js")},
                                          {"version.js", "window.appVersion = 'v2';\n"},
                                          {"page.js", nextPage}};
  auto [resources, maps] = serveVersion(server, next);
  const std::string offer = Value{{"version", "v2"}, {"resources", resources}, {"urlMaps", maps}}.dump();
  server.on("GET", "/shop/next.json", [offer](const httplib::Request&, httplib::Response& response) {
    response.set_content(offer, "application/json");
  });

  ProgramRun run;
  std::string ca = testing_support::TestCertificateAuthority::shared().caCertificateFile();
  Value second = runPackage(VELTRO_SHELL_E2E, package, run, {"VELTRO_EXTRA_CA_FILE=" + ca});
  ASSERT_EQ(run.exitStatus, 0) << run.output;

  Value first = consoleReport(run.output, "E2E-FIRST-PAGE ");
  ASSERT_TRUE(first.is_object()) << run.output;
  EXPECT_EQ(first["location"], "veltro://" + host + "/shop/index.html");
  EXPECT_TRUE(first["progress"].size() == next.size() && first["progress"].back() == "4/4") << first.dump();
  // The packaged version first; idle after the package frame was made (held until the page was
  // ready), then the download.
  EXPECT_PICKED(first, R"({"version": "p1", "statuses": [1, 3, 4, 1]})");
  EXPECT_TRUE(first["errors"].empty()) << first.dump();
  // The packaged files never went to the server.
  EXPECT_EQ(server.requestCount("/shop/version.js"), 1u);

  ASSERT_TRUE(second.is_object()) << run.output;
  EXPECT_TRUE(second["version"] == "v2" &&
              second["location"] == "veltro://" + host + "/shop/index.html") << second.dump();
}

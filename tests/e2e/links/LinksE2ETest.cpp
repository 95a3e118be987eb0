#include <unistd.h>

#include "../E2EShell.h"
#include "support/HttpsTestServer.h"
#include "support/TestCertificateAuthority.h"

using namespace e2e;

namespace {

constexpr const char* kPlugins =
    "<feature name=\"Report\"><param name=\"ios-package\" value=\"E2EReport\"/></feature></widget>";

// A package copy whose web folder links to two files of another application's data root (one
// small, one of 2 MiB), to a file of its own by a relative and by an absolute link, and to a
// folder of the package beside the web folder.
class LinksE2E : public E2E {
 protected:
  void SetUp() override {
    E2E::SetUp();
    package = copyPackage(VELTRO_E2E_LINKS_PACKAGE, "package");
    writeText(temp_.file("other/Documents/secret-small.txt"), "SECRET of another application");
    writeText(temp_.file("other/Documents/secret-big.txt"), std::string(2 << 20, 'S'));
    link(temp_.file("other/Documents/secret-small.txt"), "steal-small.txt");
    link(temp_.file("other/Documents/secret-big.txt"), "steal-big.txt");
    link("real.txt", "inside.txt");
    link(package + "/www/real.txt", "inside-abs.txt");
    link("real.js", "inside.js");
    link("../assets", "assets");
  }
  void link(const std::string& target, const std::string& name) {
    ASSERT_EQ(::symlink(target.c_str(), (package + "/www/" + name).c_str()), 0) << name;
  }
  void expectRefusedAndInsideServed(const Value& found, const ProgramRun& run) {
    EXPECT_PICKED(found, R"({"steal-small.txt": "404 0 ", "steal-big.txt": "404 0 ",
                             "inside.txt": "200 6 inside", "inside-abs.txt": "200 6 inside",
                             "assets/deep.txt": "200 4 deep"})");
    for (const char* name : {"steal-small.txt", "steal-big.txt"})
      EXPECT_NE(run.output.find("Refused to read " + package + "/www/" + name +
                                ": it leads out of the application package."),
                std::string::npos)
          << name << "\n" << run.output;
    EXPECT_EQ(run.output.find("SECRET"), std::string::npos) << run.output;
  }
  std::string package;
};

// Under "veltro" the page is the cache's package copy: the small file is read in place on the
// main thread, the large one on the serving threads; neither follows a link out of the package,
// and the heal that follows finds nothing at the server either.
TEST_F(LinksE2E, VeltroRefusesLinksOutOfThePackageAndServesLinksInsideIt) {
  testing_support::HttpsTestServer server;
  std::string host = "127.0.0.1:" + std::to_string(server.port());
  writeText(package + "/config.xml",
            "<?xml version='1.0' encoding='utf-8'?><widget id=\"com.veltro.e2e.links\" version=\"1.0.0\">"
            "<content src=\"veltro://" + host + "/shop/index.html\"/>"
            "<preference name=\"scheme\" value=\"app\"/>"
            "<preference name=\"HarborWebViewEngine\" value=\"VLWKWebViewEngine\"/>"
            "<preference name=\"DefaultHostname\" value=\"" + host + "\"/>"
            "<preference name=\"DefaultApplicationURL\" value=\"shop\"/>"
            "<preference name=\"SplashScreenDelay\" value=\"0\"/>"
            "<feature name=\"Cache\"><param name=\"ios-package\" value=\"VLCache\"/><param name=\"onload\" value=\"true\"/></feature>"
            "<feature name=\"PreBundle\"><param name=\"ios-package\" value=\"VLPreBundlePlugin\"/><param name=\"onload\" value=\"true\"/></feature>"
            "<feature name=\"ProtocolManager\"><param name=\"ios-package\" value=\"VLProtocolManagerPlugin\"/><param name=\"onload\" value=\"true\"/></feature>"
            "<feature name=\"HarborLoader\"><param name=\"ios-package\" value=\"VLHarborLoader\"/><param name=\"onload\" value=\"true\"/></feature>" +
                std::string(kPlugins));
  ProgramRun run;
  Value found = runPackage(VELTRO_SHELL_E2E, package, run,
                           {"VELTRO_EXTRA_CA_FILE=" + testing_support::TestCertificateAuthority::shared().caCertificateFile()},
                           {}, 60);
  ASSERT_TRUE(found.is_object()) << run.output;
  EXPECT_EQ(found["location"], "veltro://" + host + "/shop/index.html");
  expectRefusedAndInsideServed(found, run);
}

TEST_F(LinksE2E, TheApplicationSchemeRefusesLinksOutOfThePackageAndServesLinksInsideIt) {
  writeText(package + "/config.xml",
            "<?xml version='1.0' encoding='utf-8'?><widget id=\"com.veltro.e2e.links\" version=\"1.0.0\">"
            "<content src=\"index.html\"/><preference name=\"scheme\" value=\"app\"/>"
            "<preference name=\"SplashScreenDelay\" value=\"0\"/>" + std::string(kPlugins));
  ProgramRun run;
  Value found = runPackage(VELTRO_SHELL_E2E, package, run);
  ASSERT_TRUE(found.is_object()) << run.output;
  EXPECT_EQ(found["location"], "app://localhost/index.html");
  expectRefusedAndInsideServed(found, run);
}

// From file URLs the web view reads the files itself: a package with links out of it is refused
// at start, with the links named; without them, a link inside it still loads.
TEST_F(LinksE2E, FileURLsRefuseAPackageWithLinksOutAndFollowLinksInsideIt) {
  writeText(package + "/config.xml",
            "<?xml version='1.0' encoding='utf-8'?><widget id=\"com.veltro.e2e.links\" version=\"1.0.0\">"
            "<content src=\"index.html\"/><preference name=\"SplashScreenDelay\" value=\"0\"/>" +
                std::string(kPlugins));
  std::string report = temp_.file("report.json");
  ProgramRun run = shell(VELTRO_SHELL_E2E, {"--data-root", temp_.file("data"), package}, {"VELTRO_E2E_REPORT=" + report}, 30);
  EXPECT_EQ(run.exitStatus, 3) << run.output;
  EXPECT_FALSE(platform::fs::exists(report)) << readText(report);
  for (const char* name : {"steal-small.txt", "steal-big.txt"})
    EXPECT_NE(run.output.find("Refused to read " + package + "/www/" + name + ": it leads out of the application package."),
              std::string::npos)
        << name << "\n" << run.output;
  EXPECT_EQ(run.output.find("www/inside"), std::string::npos) << run.output;

  for (const char* name : {"steal-small.txt", "steal-big.txt"}) ASSERT_EQ(::unlink((package + "/www/" + name).c_str()), 0);
  Value found = runPackage(VELTRO_SHELL_E2E, package, run);
  ASSERT_TRUE(found.is_object()) << run.output;
  EXPECT_EQ(found["location"], "file://" + package + "/www/index.html");
  EXPECT_EQ(found["insideScript"], "inside");
}

}  // namespace

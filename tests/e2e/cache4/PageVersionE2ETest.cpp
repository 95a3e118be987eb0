#include <filesystem>
#include <optional>

#include "../E2EShell.h"
#include "../NoContentSite.h"
#include "CacheVersions.h"
#include "appcache/VLFileChecksum.h"
#include "support/HttpsTestServer.h"
#include "support/TestCertificateAuthority.h"

using namespace e2e;

namespace {

const char* kReportingPage = R"((function () {
  document.addEventListener('deviceready', function () {
    harbor.require('harbor/exec')(null, null, 'Report', 'report', [{ version: window.appVersion }]);
  });
})();
)";

}  // namespace

// While version 2 is swapped in under the running version 1 page, what that page loads later
// is still version 1's, also after a link that answered 204 (a navigation that never commits);
// a script of another host with the same path comes from that host. After the reload the page
// is version 2.
TEST_F(E2E, APageKeepsItsVersionUntilItReloadsAndAnotherHostsPathsAreThatHosts) {
  std::string package = copyPackage(VELTRO_E2E_UPDATE_PACKAGE, "package");
  testing_support::HttpsTestServer server, other;
  const std::string host = "127.0.0.1:" + std::to_string(server.port());
  configureHost(package + "/config.xml.in", package + "/config.xml", host);
  writeText(package + "/www/page.js", R"((function () {
  'use strict';
  function load(src, done) {
    var script = document.createElement('script');
    script.src = src;
    script.onload = function () { done('loaded'); };
    script.onerror = function () { done('error'); };
    document.body.appendChild(script);
  }
  document.addEventListener('deviceready', function () {
    var exec = harbor.require('harbor/exec');
    var heard = { version: window.appVersion };
    var next;
    exec.listen('VLCacheStaticChannel', function (event) {
      if ((event.Content || {}).Event !== 'onfinish') return;
      // A link that answers 204 starts a navigation that never commits: the page stays, and
      // so does its version.
      window.location.href = next.noContent;
      setTimeout(function () { load('version.js?lazy=1', function (lazy) {
        heard.lazy = lazy;
        heard.lazyVersion = window.appVersion;
        load(next.other, function (result) {
          heard.other = result;
          heard.otherSeen = window.otherSeen || null;
          heard.afterOther = window.appVersion;
          exec(null, null, 'Console', 'logLevel', ['LOG', 'E2E-FIRST-PAGE ' + JSON.stringify(heard)]);
          location.reload();
        });
      }); }, 1500);
    });
    exec(null, null, 'Cache', 'deviceready', [location.host, 'shop']);
    fetch('next.json').then(function (response) { return response.json(); }).then(function (offer) {
      next = offer;
      exec(null, null, 'Cache', 'startCaching', [location.host, 'shop', next.version, next.resources, next.urlMaps]);
    });
  });
})();
)");
  auto [resources, maps] = serveVersion(server, {{"index.html", readText(package + "/www/index.html")},
                                                 {"harbor.js", readText(package + "/www/harbor.js")},
                                                 {"version.js", "window.appVersion = 'v2';\n"},
                                                 {"page.js", kReportingPage}});
  // The other host has the same path.
  other.on("GET", "/shop/version.js", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("window.otherSeen = 'other';\n", "text/javascript");
  });
  // A site whose link answers without a document.
  NoContentSite elsewhere;
  std::string config = readText(package + "/config.xml");
  config.insert(config.rfind("</widget>"), "<allow-navigation href=\"http://127.0.0.1:*/*\" />\n");
  writeText(package + "/config.xml", config);
  const std::string offer =
      Value{{"version", "v2"}, {"resources", resources}, {"urlMaps", maps},
            {"other", "veltro://127.0.0.1:" + std::to_string(other.port()) + "/shop/version.js?x=1"},
            {"noContent", elsewhere.url()}}
          .dump();
  server.on("GET", "/shop/next.json", [offer](const httplib::Request&, httplib::Response& response) {
    response.set_content(offer, "application/json");
  });

  ProgramRun run;
  std::string ca = testing_support::TestCertificateAuthority::shared().caCertificateFile();
  Value second = runPackage(VELTRO_SHELL_E2E, package, run, {"VELTRO_EXTRA_CA_FILE=" + ca});
  Value first = consoleReport(run.output, "E2E-FIRST-PAGE ");
  ASSERT_TRUE(first.is_object()) << run.output;
  EXPECT_TRUE(first["version"] == "p1" && first["lazy"] == "loaded" && first["lazyVersion"] == "p1") << first.dump();
  // Never this application's file for the other host: that host's own, or nothing.
  EXPECT_EQ(first["afterOther"], "p1") << first.dump();
  if (first["other"] == "loaded") {
    EXPECT_EQ(first["otherSeen"], "other") << first.dump();
    EXPECT_EQ(other.requestCount("/shop/version.js"), 1u);
  }
  ASSERT_TRUE(second.is_object()) << run.output;
  EXPECT_EQ(second["version"], "v2") << second.dump();
}

// The package shares files with the downloaded version (the same URLs and bytes). With those
// files gone from the cache and the server gone, the next launch heals them from the package
// and the page starts.
TEST_F(E2E, FilesThePackageSharesWithTheRunningVersionHealFromThePackageOffline) {
  std::string package = copyPackage(VELTRO_E2E_UPDATE_PACKAGE, "package");
  std::optional<testing_support::HttpsTestServer> server(std::in_place);
  const std::string host = "127.0.0.1:" + std::to_string(server->port());
  configureHost(package + "/config.xml.in", package + "/config.xml", host);
  // One page script for both versions: the packaged one caches version 2 and reloads, version
  // 2 reports itself.
  const std::string page = R"((function () {
  document.addEventListener('deviceready', function () {
    var exec = harbor.require('harbor/exec');
    if (window.appVersion !== 'p1') {
      exec(null, null, 'Report', 'report', [{ version: window.appVersion }]);
      return;
    }
    exec.listen('VLCacheStaticChannel', function (event) {
      if ((event.Content || {}).Event === 'onfinish') location.reload();
    });
    exec(null, null, 'Cache', 'deviceready', [location.host, 'shop']);
    fetch('next.json').then(function (response) { return response.json(); }).then(function (next) {
      exec(null, null, 'Cache', 'startCaching', [location.host, 'shop', next.version, next.resources, next.urlMaps]);
    });
  });
})();
)";
  writeText(package + "/www/page.js", page);
  std::map<std::string, std::string> shared{{"index.html", readText(package + "/www/index.html")},
                                            {"harbor.js", readText(package + "/www/harbor.js")},
                                            {"page.js", page}};
  // The packaged manifest names its files by their content hash, as a downloaded version does.
  Value versions = Value::object(), mappings = Value::object();
  for (const auto& [name, content] : shared) {
    versions["/shop/" + name] = "?" + VLFileChecksum::contentHashOfData(content);
    mappings["/shop/" + name] = "/shop/" + name;
  }
  versions["/shop/version.js"] = "?p1";
  mappings["/shop/version.js"] = "/shop/version.js";
  writeText(package + "/www/manifest.json",
            Value{{"manifest", {{"versionToken", "p1"}, {"urlVersions", versions}, {"urlMappings", mappings}}}}.dump());

  auto files = shared;
  files["version.js"] = "window.appVersion = 'v2';\n";
  auto [resources, maps] = serveVersion(*server, files);
  const std::string offer = Value{{"version", "v2"}, {"resources", resources}, {"urlMaps", maps}}.dump();
  server->on("GET", "/shop/next.json", [offer](const httplib::Request&, httplib::Response& response) {
    response.set_content(offer, "application/json");
  });

  ProgramRun run;
  std::string ca = testing_support::TestCertificateAuthority::shared().caCertificateFile();
  Value first = runPackage(VELTRO_SHELL_E2E, package, run, {"VELTRO_EXTRA_CA_FILE=" + ca});
  ASSERT_EQ(first["version"], "v2") << run.output;

  // The shared scripts' cache files go (everything cached but version 2's version.js), and so
  // does the server.
  const std::string kept = VLFileChecksum::contentHashOfData(files["version.js"]);
  size_t removed = 0;
  for (const auto& item : std::filesystem::recursive_directory_iterator(temp_.file("data"))) {
    if (!item.is_regular_file() || item.path().string().find("VLNativeCache/") == std::string::npos ||
        item.path().filename() == "VLCacheManifest.plist")
      continue;
    if (readText(item.path().string()) == files["version.js"]) continue;
    std::filesystem::remove(item.path());
    ++removed;
  }
  ASSERT_GE(removed, 3u) << kept;
  server.reset();

  Value offline = runPackage(VELTRO_SHELL_E2E, package, run, {"VELTRO_EXTRA_CA_FILE=" + ca}, {}, 30);
  EXPECT_EQ(offline["version"], "v2") << run.output;
}

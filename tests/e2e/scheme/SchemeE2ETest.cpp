#include <httplib.h>

#include <map>
#include <thread>

#include "appcache/VLFileChecksum.h"
#include "e2e/E2EShell.h"
#include "e2e/NoContentSite.h"
#include "support/HttpsTestServer.h"
#include "support/TestCertificateAuthority.h"

using namespace e2e;

// The shell starts on a package whose start page is a "veltro" URL of the platform server.
// The first run fills the cache from the server while the page is fetched through it; the
// second runs with the server gone, and the page, its scripts and its fetches all come from
// the cache.
TEST_F(E2E, ThePageIsServedFromTheCacheOnceTheServerIsGone) {
  std::string package = copyPackage(VELTRO_E2E_SCHEME_PACKAGE, "package");
  auto server = std::make_unique<testing_support::HttpsTestServer>();
  std::string host = "127.0.0.1:" + std::to_string(server->port());
  configureHost(package + "/config.xml.in", package + "/config.xml", host);

  std::string served = "window.appValue = 'from the server';";
  // The listed URLs carry their content hash; the page asks for plain paths, which the URL
  // maps lead to them.
  Value resources = Value::array(), maps = Value::object();
  for (const char* name : {"index.html", "harbor.js", "page.js", "app.js"}) {
    std::string content = std::string(name) == "app.js" ? served : readText(package + "/www/" + name);
    std::string path = std::string("/shop/") + name;
    server->on("GET", path, [content, name](const httplib::Request&, httplib::Response& response) {
      std::string file(name);
      response.set_content(content, file.ends_with(".html") ? "text/html" : "text/javascript");
    });
    resources.push_back(path + "?" + VLFileChecksum::contentHashOfData(content));
    maps[path] = resources.back();
  }
  server->on("POST", "/shop/app.js", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("posted", "text/plain");
  });
  Value plan = {{"hostname", host}, {"application", "shop"}, {"version", "v1"}, {"resources", resources},
                {"urlMaps", maps}};
  ASSERT_FALSE(platform::fs::writeFileAtomically(temp_.file("plan.json"), plan.dump()));
  std::vector<std::string> environment{
      "VELTRO_EXTRA_CA_FILE=" + testing_support::TestCertificateAuthority::shared().caCertificateFile(),
      "VELTRO_E2E_CACHE_PLAN=" + temp_.file("plan.json")};

  // First run: the server is there.
  ProgramRun run;
  Value first = runPackage(VELTRO_SHELL_SCHEME, package, run, environment, {}, 60);
  ASSERT_TRUE(first.is_object()) << run.output;
  EXPECT_EQ(first["location"], "veltro://" + host + "/shop/index.html");
  EXPECT_PICKED(first, R"({"appValue": "from the server", "runningVersion": "v1", "postStatus": 404})");
  for (const auto& request : server->requests()) EXPECT_EQ(request.method, "GET") << request.path;

  // Second run: the server is gone.
  server.reset();
  Value second = runPackage(VELTRO_SHELL_SCHEME, package, run, environment, {}, 60);
  ASSERT_TRUE(second.is_object()) << run.output;
  EXPECT_EQ(second["location"], "veltro://" + host + "/shop/index.html");
  EXPECT_EQ(second["fetched"], served);
  EXPECT_PICKED(second, R"({"deviceready": true, "appValue": "from the server", "fetchStatus": 200, "postStatus": 404,
                            "runningVersion": "v1"})");
}

// The same application of ES modules, a module worker and WebAssembly, served by the platform
// server under "veltro" from a package without the navigation filter: its start page loads,
// ranges and HEAD are answered, and a redirect of the server to another origin fails.
TEST_F(E2E, AnApplicationOfModulesRunsUnderVeltroAndARedirectElsewhereFails) {
  auto server = std::make_unique<testing_support::HttpsTestServer>();
  std::string host = "127.0.0.1:" + std::to_string(server->port());
  std::string package = temp_.file("serving");
  writeServingPackage(package,
                      "<?xml version='1.0' encoding='utf-8'?><widget id=\"com.veltro.e2e\" version=\"1.0.0\">"
                      "<content src=\"veltro://" + host + "/shop/index.html\"/>"
                      "<preference name=\"scheme\" value=\"app\"/>"
                      "<preference name=\"HarborWebViewEngine\" value=\"VLWKWebViewEngine\"/>"
                      "<preference name=\"DefaultHostname\" value=\"" + host + "\"/>"
                      "<preference name=\"DefaultApplicationURL\" value=\"shop\"/>"
                      "<preference name=\"SplashScreenDelay\" value=\"0\"/>"
                      "<preference name=\"AllowInlineMediaPlayback\" value=\"true\"/>"
                      "<feature name=\"Report\"><param name=\"ios-package\" value=\"E2EReport\"/></feature></widget>");
  for (const auto& [name, type] : std::vector<std::pair<std::string, std::string>>{
           {"index.html", "text/html"}, {"harbor.js", "text/javascript"}, {"main.mjs", "text/javascript"},
           {"dep.mjs", "text/javascript"}, {"worker.mjs", "text/javascript"}, {"add.wasm", "application/wasm"},
           {"data.txt", "text/plain"}, {"clip.webm", "video/webm"}}) {
    std::string content = readText(package + "/www/" + name);
    server->on("GET", "/shop/" + name, [content, type](const httplib::Request&, httplib::Response& response) {
      response.set_content(content, type);
    });
  }
  std::string elsewhere = server->localhostURL("/elsewhere");
  server->on("GET", "/shop/away", [elsewhere](const httplib::Request&, httplib::Response& response) {
    response.set_redirect(elsewhere);
  });
  std::vector<std::string> environment{"VELTRO_EXTRA_CA_FILE=" +
                                       testing_support::TestCertificateAuthority::shared().caCertificateFile()};
  ProgramRun run;
  Value found = runPackage(VELTRO_SHELL_SCHEME, package, run, environment, {}, 60);
  ASSERT_TRUE(found.is_object()) << run.output;
  EXPECT_PICKED(found, R"({"module": 42, "worker": {"twice": 4, "add": 42}, "wasmType": "application/wasm",
    "wasm": 5, "guarded": "same-origin nosniff", "query": "200 hello", "range": "206 ell bytes 1-3/5", "head": "5",
    "media": {"steps": ["metadata", "seeked"], "pastSeek": true, "duration": 3},
    "redirect": "failed"})");
  EXPECT_EQ(found["location"], "veltro://" + host + "/shop/index.html");
  EXPECT_FALSE(found.contains("error")) << found.dump(2);
  EXPECT_EQ(server->requestCount("/elsewhere"), 0u);
  EXPECT_NE(run.output.find("Refused the redirect of veltro://" + host + "/shop/away"), std::string::npos) << run.output;
  for (const auto& request : server->requests()) EXPECT_NE(request.method, "HEAD") << request.path;
}

// A frame of another origin inside the application's page includes the application's answer
// as a script: the answer comes without the application's session, which the page's own
// requests keep carrying. So it stays after the page follows a link that answers 204 (nothing
// is committed, the frame stays); and a sandboxed srcdoc frame, of no origin, gets none either.
TEST_F(E2E, AFrameOfAnotherOriginGetsNoneOfTheApplicationsCookies) {
  // Another site, whose link answers without a document.
  NoContentSite elsewhere;
  const std::string noContent = elsewhere.url();
  for (std::string page : {"session.html?nocontent=" + noContent, std::string("session.html?sandboxed")}) {
  SCOPED_TRACE(page);
  auto server = std::make_unique<testing_support::HttpsTestServer>();
  std::string host = "127.0.0.1:" + std::to_string(server->port());
  std::string package = temp_.file("session");
  std::filesystem::remove_all(package);
  writeServingPackage(package,
                      "<?xml version='1.0' encoding='utf-8'?><widget id=\"com.veltro.e2e\" version=\"1.0.0\">"
                      "<content src=\"veltro://" + host + "/shop/" + page + "\"/>"
                      "<preference name=\"HarborWebViewEngine\" value=\"VLWKWebViewEngine\"/>"
                      "<preference name=\"DefaultHostname\" value=\"" + host + "\"/>"
                      "<preference name=\"SplashScreenDelay\" value=\"0\"/>"
                      "<allow-navigation href=\"veltro://*/*\"/><allow-navigation href=\"data:*\"/>"
                      "<allow-navigation href=\"http://127.0.0.1:*/*\"/>"
                      "<feature name=\"IntentAndNavigationFilter\"><param name=\"ios-package\" "
                      "value=\"HBRIntentAndNavigationFilter\"/><param name=\"onload\" value=\"true\"/></feature>"
                      "<feature name=\"Report\"><param name=\"ios-package\" value=\"E2EReport\"/></feature></widget>");
  for (const char* name : {"session.html", "session.js", "harbor.js"}) {
    std::string content = readText(package + "/www/" + name);
    std::string type = std::string(name).ends_with(".html") ? "text/html" : "text/javascript";
    server->on("GET", std::string("/shop/") + name, [content, type](const httplib::Request&, httplib::Response& response) {
      response.set_content(content, type);
    });
  }
  server->on("GET", "/shop/login", [](const httplib::Request&, httplib::Response& response) {
    response.set_header("Set-Cookie", "session=s3cret; HttpOnly; SameSite=Strict; Path=/");
    response.set_content("in", "text/plain");
  });
  server->on("GET", "/shop/api/me.js", [](const httplib::Request& request, httplib::Response& response) {
    response.set_content("window.me = 'cookie=" + request.get_header_value("Cookie") + "';", "text/javascript");
  });
  ProgramRun run;
  Value found = runPackage(VELTRO_SHELL_SCHEME, package, run,
                           {"VELTRO_EXTRA_CA_FILE=" + testing_support::TestCertificateAuthority::shared().caCertificateFile()},
                           {}, 60);
  ASSERT_TRUE(found.is_object()) << run.output;
  if (page.find("nocontent") != std::string::npos) {
    EXPECT_PICKED(found, R"({"own": "window.me = 'cookie=session=s3cret';", "framed": "cookie=",
                             "ownAfterFrame": "window.me = 'cookie=session=s3cret';", "afterNoContent": "cookie=",
                             "still": "/shop/session.html"})");
    EXPECT_NE(run.output.find("A document of another origin is in the application's page (data:"), std::string::npos)
        << run.output;
  } else {
    EXPECT_PICKED(found, R"({"sandboxed": "cookie=", "ownAfterFrame": "window.me = 'cookie=session=s3cret';"})");
    EXPECT_NE(run.output.find("A document of another origin is in the application's page (about:srcdoc (origin null))"),
              std::string::npos)
        << run.output;
  }
  }
}

// A file of 48 MiB in the application cache, asked for by the page under "veltro" with the
// server gone: a range of its first bytes reads only about those, and 16 fetches of it at
// once, each read as it comes, raise the shell's resident memory by far less than the 768 MiB
// the handler held when it read every answer whole.
TEST_F(E2E, LargeCachedAnswersAreStreamedWithBoundedMemoryAndARangeReadsOnlyItsBytes) {
  auto server = std::make_unique<testing_support::HttpsTestServer>();
  std::string host = "127.0.0.1:" + std::to_string(server->port());
  std::string package = copyPackage(VELTRO_E2E_SCHEME_PACKAGE, "package");
  configureHost(package + "/config.xml.in", package + "/config.xml", host);
  {
    std::string config = readText(package + "/config.xml");
    config.replace(config.find("/shop/index.html"), 16, "/shop/stream.html");
    writeText(package + "/config.xml", config);
  }
  auto big = std::make_shared<std::string>(48u * 1024 * 1024, '\0');
  for (size_t i = 0; i < big->size(); ++i) (*big)[i] = static_cast<char>((i * 31 + i / 65536) % 256);
  std::map<std::string, std::shared_ptr<std::string>> files{
      {"stream.html", std::make_shared<std::string>(readText(VELTRO_E2E_STREAMING_DIR "/stream.html"))},
      {"stream.js", std::make_shared<std::string>(readText(VELTRO_E2E_STREAMING_DIR "/stream.js"))},
      {"harbor.js", std::make_shared<std::string>(readText(package + "/www/harbor.js"))},
      {"big.bin", big}};
  Value resources = Value::array(), maps = Value::object();
  for (const auto& [name, content] : files) {
    std::string path = "/shop/" + name;
    server->on("GET", path, [content, name = name](const httplib::Request&, httplib::Response& response) {
      response.set_content(*content, name.ends_with(".html") ? "text/html"
                                     : name.ends_with(".js") ? "text/javascript" : "application/octet-stream");
    });
    resources.push_back(path + "?" + VLFileChecksum::contentHashOfData(*content));
    maps[path] = resources.back();
  }
  Value plan = {{"hostname", host}, {"application", "shop"}, {"version", "v1"}, {"resources", resources},
                {"urlMaps", maps}};
  ASSERT_FALSE(platform::fs::writeFileAtomically(temp_.file("plan.json"), plan.dump()));
  std::vector<std::string> environment{
      "VELTRO_EXTRA_CA_FILE=" + testing_support::TestCertificateAuthority::shared().caCertificateFile(),
      "VELTRO_E2E_CACHE_PLAN=" + temp_.file("plan.json"), "VELTRO_E2E_PHASE=fill"};
  ProgramRun run;
  Value filled = runPackage(VELTRO_SHELL_SCHEME, package, run, environment, {}, 120);
  ASSERT_EQ(filled["runningVersion"], "v1") << filled.dump(2) << run.output;

  server.reset();
  environment.back() = "VELTRO_E2E_PHASE=measure";
  environment.push_back("VELTRO_E2E_FETCHES=16");
  Value found = runPackage(VELTRO_SHELL_SCHEME, package, run, environment, {}, 120);
  ASSERT_TRUE(found.is_object() && !found.contains("error")) << found.dump(2) << run.output;
  EXPECT_PICKED(found["range"], R"({"status": 206, "length": 1446, "contentRange": "bytes 0-1445/50331648"})");
  EXPECT_LT(found["range"]["readBytes"].get<double>(), 4.0 * 1024 * 1024) << found.dump(2);
  for (const auto& fetched : found["fetched"]) EXPECT_EQ(fetched, big->size()) << found.dump(2);
  EXPECT_EQ(found["fetched"].size(), 16u);
  double risenMiB = (found["memory"]["peakKiB"].get<double>() - found["memory"]["beforeKiB"].get<double>()) / 1024;
  // WebKit itself reads a streamed body ahead of the page and queues it for the web process:
  // the application scheme, which always streamed, shows the same rise (80 to 400 MiB, more on
  // a loaded machine). Bodies held whole took 860 MiB and more.
  EXPECT_LT(risenMiB, 640) << found.dump(2);
}

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fcntl.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "appcache/VLFileChecksum.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Value.h"
#include "support/HttpsTestServer.h"
#include "support/TestCertificateAuthority.h"
#include "support/TestSupport.h"
#include "support/VirtualDisplay.h"

extern char** environ;

namespace {

using platform::Value;

// Runs the shell with `environment` added to this process's own, output in `log`, killed
// after `seconds`; answers its exit status (-1 when it was killed).
int runShell(const std::vector<std::string>& args, const std::vector<std::string>& environment,
             const std::string& log, double seconds) {
  std::vector<std::string> env(environment);
  for (char** entry = environ; *entry; ++entry) env.emplace_back(*entry);
  std::vector<char*> argv, envp;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  for (const auto& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string readText(const std::string& path) { return platform::fs::readFile(path).value_or(""); }

}  // namespace

// The shell starts on a package whose start page is a "veltro" URL of the platform server.
// The first run fills the cache from the server while the page is fetched through it; the
// second runs with the server gone, and the page, its scripts and its fetches all come from
// the cache.
TEST(SchemeE2E, ThePageIsServedFromTheCacheOnceTheServerIsGone) {
  testing_support::VirtualDisplay display;
  ASSERT_TRUE(display.ok()) << "no X display and Xvfb could not start";
  testing_support::TempDir temp;
  std::string package = temp.file("package");
  std::filesystem::copy(VELTRO_E2E_SCHEME_PACKAGE, package, std::filesystem::copy_options::recursive);

  auto server = std::make_unique<testing_support::HttpsTestServer>();
  std::string host = "127.0.0.1:" + std::to_string(server->port());
  std::string config = readText(package + "/config.xml.in");
  for (size_t at; (at = config.find("@HOST@")) != std::string::npos;) config.replace(at, 6, host);
  ASSERT_FALSE(platform::fs::writeFileAtomically(package + "/config.xml", config));

  std::string served = "window.appValue = 'from the server';";
  // The listed URLs carry their content hash; the page asks for plain paths, which the URL
  // maps lead to them.
  Value resources = Value::array();
  Value maps = Value::object();
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
  ASSERT_FALSE(platform::fs::writeFileAtomically(temp.file("plan.json"), plan.dump()));

  std::vector<std::string> args{VELTRO_SHELL_SCHEME, "--data-root", temp.file("data"), package};
  std::vector<std::string> environment{
      "NO_AT_BRIDGE=1", "DBUS_SESSION_BUS_ADDRESS=", "XDG_RUNTIME_DIR=" + temp.path(),
      "VELTRO_EXTRA_CA_FILE=" + testing_support::TestCertificateAuthority::shared().caCertificateFile(),
      "VELTRO_E2E_CACHE_PLAN=" + temp.file("plan.json"), "VELTRO_E2E_REPORT=" + temp.file("report.json")};

  // First run: the server is there.
  int status = runShell(args, environment, temp.file("first.log"), 60);
  ASSERT_EQ(status, 0) << readText(temp.file("first.log"));
  Value first = Value::parse(readText(temp.file("report.json")), nullptr, false);
  ASSERT_TRUE(first.is_object()) << readText(temp.file("first.log"));
  EXPECT_EQ(first["location"], "veltro://" + host + "/shop/index.html");
  EXPECT_EQ(first["appValue"], "from the server");
  EXPECT_EQ(first["runningVersion"], "v1") << first.dump(2);
  EXPECT_EQ(first["postStatus"], 404) << first.dump(2);
  for (const auto& request : server->requests()) EXPECT_EQ(request.method, "GET") << request.path;

  // Second run: the server is gone.
  server.reset();
  std::filesystem::remove(temp.file("report.json"));
  status = runShell(args, environment, temp.file("second.log"), 60);
  ASSERT_EQ(status, 0) << readText(temp.file("second.log"));
  Value second = Value::parse(readText(temp.file("report.json")), nullptr, false);
  ASSERT_TRUE(second.is_object()) << readText(temp.file("second.log"));
  EXPECT_EQ(second["deviceready"], true);
  EXPECT_EQ(second["location"], "veltro://" + host + "/shop/index.html");
  EXPECT_EQ(second["appValue"], "from the server");
  EXPECT_EQ(second["fetchStatus"], 200) << second.dump(2);
  EXPECT_EQ(second["fetched"], served);
  EXPECT_EQ(second["postStatus"], 404);
  EXPECT_EQ(second["runningVersion"], "v1");
}

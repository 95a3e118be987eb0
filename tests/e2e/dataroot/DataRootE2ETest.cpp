// End-to-end: what a hostile page, server, program or package gets of the data root in the
// real shell.

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <sys/stat.h>

#include "../E2EShell.h"
#include "support/HttpsTestServer.h"
#include "support/TestCertificateAuthority.h"

namespace {

using namespace e2e;

void writePicture(const std::string& path) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 4, 4);
  gdk_pixbuf_fill(pixbuf, 0x336699ff);
  ASSERT_TRUE(gdk_pixbuf_save(pixbuf, path.c_str(), "png", nullptr, nullptr));
  g_object_unref(pixbuf);
}

// Every file and folder below `root` that another user could read or write (links aside).
std::vector<std::string> openToOthers(const std::string& root) {
  std::vector<std::string> open;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(root, error);
       it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    struct stat info {};
    if (::lstat(it->path().c_str(), &info) == 0 && !S_ISLNK(info.st_mode) && !S_ISSOCK(info.st_mode) &&
        (info.st_mode & 077))
      open.push_back(it->path().string());
  }
  struct stat info {};
  if (::stat(root.c_str(), &info) == 0 && (info.st_mode & 077)) open.push_back(root);
  return open;
}

TEST_F(E2E, AHostilePageGetsNoneOfTheShellsStateAndNothingPlantedHoldsTheShell) {
  testing_support::HttpsTestServer server;
  server.on("GET", "/jump", [](const httplib::Request&, httplib::Response& response) {
    response.status = 302;
    response.set_header("Location", "hbrfile://localhost/root/Library/Cookies/Cookies.txt");
  });
  // What the shell and another program left in the data root, all private to the user.
  mode_t saved = ::umask(077);
  std::string data = temp_.file("data");
  writeText(data + "/Library/Cookies/Cookies.txt", "sid=secret");
  writePicture(data + "/Library/Caches/WebKit/secret.png");
  writePicture(data + "/Documents/own.png");
  writeText(data + "/Documents/plain.txt", "plain");
  writeText(data + "/Documents/a/one.txt", "1");
  ASSERT_EQ(::mkfifo((data + "/Documents/pipe.txt").c_str(), 0600), 0);
  ASSERT_EQ(::symlink((data + "/Documents/a").c_str(), (data + "/Documents/into-a").c_str()), 0);

  // Whatever the umask, what the shell makes is the user's alone.
  ::umask(0);
  ProgramRun run;
  std::string ca = testing_support::TestCertificateAuthority::shared().caCertificateFile();
  Value found = runPackage(VELTRO_SHELL_E2E, VELTRO_E2E_DATAROOT_PACKAGE, run,
                           {"VELTRO_EXTRA_CA_FILE=" + ca, "VELTRO_E2E_HTTP_URL=" + server.localhostURL("")});
  ::umask(saved);
  ASSERT_TRUE(found.is_object()) << run.output;
  EXPECT_FALSE(found.contains("exception")) << found.dump(2);

  EXPECT_PICKED(found, R"({"cookies": {"error": 1}, "webkitWrite": {"error": 1},
    "rootEntries": ["Documents", "Library", "tmp"], "cachedPicture": "refused", "ownPicture": "loaded",
    "removeDocuments": {"error": 6}, "moveNoCloud": {"error": 6}, "afterwards": {"ok": 5},
    "fifoAnswers": 24, "afterFifo": {"ok": "plain"}, "intoItself": {"error": 9}})");
  if (found["sparseWrite"].contains("ok")) {
    EXPECT_EQ(found["sparseRead"], Value::parse(R"({"error": 4})"));
  }
  // The redirect into "hbrfile:" failed instead of reading the cookie jar.
  EXPECT_TRUE(found["redirect"]["data"].is_null()) << found["redirect"].dump();
  EXPECT_EQ(found["redirect"].dump().find("sid=secret"), std::string::npos);
  EXPECT_EQ(server.requestCount("/jump"), 1u);

  EXPECT_EQ(readText(data + "/Library/Cookies/Cookies.txt"), "sid=secret");
  EXPECT_FALSE(platform::fs::exists(data + "/Library/WebKit/planted.txt"));
  EXPECT_EQ(platform::fs::contentsOfDirectory(data + "/Documents/a"), std::vector<std::string>{"one.txt"});
  EXPECT_EQ(openToOthers(data), std::vector<std::string>{});
}

TEST_F(E2E, ADataRootBelongsToItsPackageAndOthersCannotPlantInIt) {
  std::string first = copyPackage(VELTRO_E2E_DATAROOT_PACKAGE, "first");
  std::string second = copyPackage(VELTRO_E2E_DATAROOT_PACKAGE, "second");  // the same identifier
  std::string data = temp_.file("data");
  auto start = [&](const std::string& package, std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--data-root", data, "--exit-after-load"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(package);
    return shell(VELTRO_SHELL_E2E, args);
  };

  // A data root an older shell made readable by all is narrowed to the user.
  writeText(data + "/Documents/mine.txt", "mine");
  ::chmod(data.c_str(), 0755);
  ProgramRun owner = start(first);
  EXPECT_EQ(owner.exitStatus, 0) << owner.output;
  struct stat info {};
  ::stat(data.c_str(), &info);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  ProgramRun other = start(second);
  EXPECT_EQ(other.exitStatus, 2) << other.output;
  EXPECT_NE(other.output.find("belongs to the package at " + std::filesystem::canonical(first).string()),
            std::string::npos)
      << other.output;
  EXPECT_NE(other.output.find("--rebind-data-root"), std::string::npos) << other.output;
  ProgramRun moved = start(second, {"--rebind-data-root"});
  EXPECT_EQ(moved.exitStatus, 0) << moved.output;
  EXPECT_EQ(readText(data + "/Documents/mine.txt"), "mine");

  // Writable by others, or a folder of it replaced by a link: the shell does not start, and
  // the folder the link leads to keeps what it holds.
  ::chmod(data.c_str(), 0777);
  ProgramRun writable = start(second);
  EXPECT_EQ(writable.exitStatus, 2);
  EXPECT_NE(writable.output.find("can be written by other users"), std::string::npos) << writable.output;
  ::chmod(data.c_str(), 0700);
  writeText(temp_.file("elsewhere/precious.txt"), "precious");
  std::filesystem::remove_all(data + "/tmp");
  std::filesystem::create_directory_symlink(temp_.file("elsewhere"), data + "/tmp");
  ProgramRun linked = start(second);
  EXPECT_EQ(linked.exitStatus, 2);
  EXPECT_NE(linked.output.find("is a symbolic link"), std::string::npos) << linked.output;
  EXPECT_EQ(readText(temp_.file("elsewhere/precious.txt")), "precious");
}

// A rebind tried while the package that owns the data root runs is refused (or, with a
// session bus, handed to the running shell) and leaves the root recorded for the owner, which
// starts on it again afterwards.
TEST_F(E2E, ARebindTriedWhileTheOwnerRunsLeavesTheRootToTheOwner) {
  PrivateSessionBus bus;
  ASSERT_TRUE(bus.ok()) << "dbus-daemon could not start";
  std::string owner = copyPackage(VELTRO_EXAMPLE_PACKAGE, "owner");
  std::string moved = copyPackage(VELTRO_EXAMPLE_PACKAGE, "moved");  // the same identifier
  std::string data = temp_.file("data");
  std::string record = data + "/Library/Application Support/VeltroPackage";
  std::string recorded = std::filesystem::canonical(owner).string() + "\n";

  // `environment` for both shells: none, or the session bus.
  auto rebindWhileTheOwnerRuns = [&](const std::vector<std::string>& environment, const std::string& log) {
    pid_t running = startShell(VELTRO_SHELL, {"--data-root", data, owner}, environment, log);
    bool started = outputContains(log, "Using WKWebView", 30);
    ProgramRun rebind;
    if (started)
      rebind = shell(VELTRO_SHELL, {"--data-root", data, "--rebind-data-root", "--exit-after-load", moved}, environment);
    stopProgram(running);
    EXPECT_TRUE(started) << readText(log);
    return rebind;
  };

  ProgramRun refused = rebindWhileTheOwnerRuns({}, temp_.file("owner.log"));
  EXPECT_EQ(refused.exitStatus, 2) << refused.output;
  EXPECT_NE(refused.output.find("another veltro-shell is already running on the data root"), std::string::npos)
      << refused.output;
  EXPECT_EQ(readText(record), recorded);

  ProgramRun handedOver = rebindWhileTheOwnerRuns({bus.environment()}, temp_.file("owner-on-bus.log"));
  EXPECT_EQ(handedOver.exitStatus, 0) << handedOver.output;
  EXPECT_NE(handedOver.output.find("veltro-shell is already running on the data root"), std::string::npos)
      << handedOver.output;
  EXPECT_EQ(readText(record), recorded);

  ProgramRun again = shell(VELTRO_SHELL, {"--data-root", data, "--exit-after-load", owner});
  EXPECT_EQ(again.exitStatus, 0) << again.output;
  EXPECT_EQ(readText(record), recorded);
}

}  // namespace

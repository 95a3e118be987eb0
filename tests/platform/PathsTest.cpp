#include "platform/foundation/Paths.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Strings.h"
#include "support/TestSupport.h"

namespace {

// Restores the main bundle and the identifier a test changed.
class PathsTest : public ::testing::Test {
 protected:
  void SetUp() override { previousMain_ = platform::Bundle::main().bundlePath(); }
  void TearDown() override {
    platform::paths::setBundleIdentifier("");
    platform::Bundle::setMainPath(previousMain_);
  }

 private:
  std::string previousMain_;
};

TEST_F(PathsTest, BundleIdentifierFallsBackToTheMainBundleAndNamesTheDefaultDataRoot) {
  testing_support::ScopedDataRoot dir;
  dir.write("app/Info.plist",
            "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
            "<key>CFBundleIdentifier</key><string>org.example.paths</string></dict></plist>");
  dir.write("bare/config.xml", "<widget/>");
  platform::paths::setBundleIdentifier("");

  // A package without an identifier keeps the old default.
  platform::Bundle::setMainPath(dir.file("bare"));
  EXPECT_EQ(platform::paths::bundleIdentifier(), "app");
  platform::Bundle::setMainPath(dir.file("app"));
  EXPECT_EQ(platform::paths::bundleIdentifier(), "org.example.paths");

  // One set explicitly wins over the bundle's.
  platform::paths::setBundleIdentifier("org.example.explicit");
  EXPECT_EQ(platform::paths::bundleIdentifier(), "org.example.explicit");
  platform::paths::setBundleIdentifier("");

  if (const char* env = std::getenv("VELTRO_DATA_ROOT"); env && *env)
    GTEST_SKIP() << "VELTRO_DATA_ROOT is set";
  // Only the default root is named after the identifier. It is only computed here, never
  // created: `dir` puts the test's own root back when it goes.
  platform::paths::setDataRoot("");
  std::string root = platform::paths::dataRoot();
  EXPECT_TRUE(platform::endsWith(root, "/veltro/org.example.paths")) << root;
}

}  // namespace

TEST_F(PathsTest, OnlyReverseDNSIdentifiersNameTheDataRoot) {
  for (const char* good : {"com.example.app", "org.example-2.App", "a", "x1.y2"})
    EXPECT_TRUE(platform::paths::isValidBundleIdentifier(good)) << good;
  for (const char* bad : {"", "..", "../..", "com/../x", "com..example", ".hidden", "trailing.", "com.exa mple",
                          "com.ex\u00e4mple", "com.example\n", "com_example", "/abs"})
    EXPECT_FALSE(platform::paths::isValidBundleIdentifier(bad)) << bad;
  EXPECT_FALSE(platform::paths::isValidBundleIdentifier(std::string(256, 'a')));

  // One that climbs out is never used as a folder name, wherever it comes from.
  testing_support::LogCapture log;
  platform::paths::setBundleIdentifier("../../..");
  EXPECT_EQ(platform::paths::bundleIdentifier(), "app");
  EXPECT_TRUE(log.contains("is not a reverse-DNS name"));
  platform::paths::setBundleIdentifier("");
}

namespace {

TEST_F(PathsTest, APageReachesItsFoldersAndThePackageButNeverTheShellsOwnState) {
  testing_support::ScopedDataRoot dir;
  std::string package = dir.write("package/www/index.html", "<html></html>");
  platform::Bundle::setMainPath(dir.file("package"));
  std::string root = dir.dataRoot();
  for (const char* reachable : {"", "/Documents/a.txt", "/tmp/x/y", "/Library", "/Library/Caches/page.bin",
                                "/Library/NoCloud/n", "/Library/files/f", "/Library/Cloud/c",
                                "/Documents/../Documents/b", "/Library/other.txt", "/Library/LocalDatabase/db"})
    EXPECT_TRUE(platform::paths::pageMayReach(root + reachable)) << reachable;
  for (const char* shells : {"/Library/Cookies/Cookies.txt", "/Library/WebKit", "/Library/Caches/WebKit/x",
                             "/Library/Preferences/app.plist", "/Library/Application Support/RoruvIV/log.db",
                             "/Library/Application Support", "/Media/DCIM/1.JPG", "/.veltro-shell.lock",
                             "/Documents/../Library/Cookies/Cookies.txt", "/../elsewhere", "/Libraryx/y"})
    EXPECT_FALSE(platform::paths::pageMayReach(root + shells)) << shells;
  EXPECT_TRUE(platform::paths::pageMayReach(package));
  EXPECT_FALSE(platform::paths::pageMayReach("/etc/passwd"));
  EXPECT_FALSE(platform::paths::pageMayReach("relative/Documents"));

  // Links are judged by where they lead.
  dir.write("data/Library/Cookies/Cookies.txt", "sid=1");
  dir.write("data/Documents/mine.txt", "mine");
  dir.write("outside.txt", "outside");
  ASSERT_EQ(::symlink("../Library/Cookies/Cookies.txt", (root + "/Documents/cookies").c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("outside.txt").c_str(), (root + "/Documents/outside").c_str()), 0);
  ASSERT_EQ(::symlink("mine.txt", (root + "/Documents/alias").c_str()), 0);
  EXPECT_FALSE(platform::paths::pageMayReach(root + "/Documents/cookies"));
  EXPECT_FALSE(platform::paths::pageMayReach(root + "/Documents/outside"));
  EXPECT_TRUE(platform::paths::pageMayReach(root + "/Documents/alias"));

  // All of a folder: the data root, Library and its Caches hold the shell's folders.
  EXPECT_TRUE(platform::paths::pageMayReachAll(root + "/Documents"));
  for (const char* holder : {"", "/Library", "/Library/Caches"})
    EXPECT_FALSE(platform::paths::pageMayReachAll(root + holder)) << holder;
}

// Paths that no link bends are judged in one lookup; a data root or package named through a
// link, and links inside them, still go by where they lead.
TEST_F(PathsTest, ADataRootOrPackageNamedThroughALinkIsJudgedByItsRealFolders) {
  testing_support::ScopedDataRoot dir;
  dir.write("package/www/index.html", "<html></html>");
  dir.write("data/Documents/a.txt", "a");
  dir.write("data/Library/Cookies/Cookies.txt", "sid=1");
  ASSERT_EQ(::symlink(dir.file("data").c_str(), dir.file("root-link").c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("package").c_str(), dir.file("package-link").c_str()), 0);
  ASSERT_EQ(::symlink("../Library/Cookies", dir.file("data/Documents/jar").c_str()), 0);
  platform::Bundle::setMainPath(dir.file("package-link"));
  platform::paths::setDataRoot(dir.file("root-link"));
  std::string root = dir.file("root-link");

  for (const char* reachable : {"/Documents/a.txt", "/Documents/new/file.txt", "/Library/Caches/c"})
    EXPECT_TRUE(platform::paths::pageMayReach(root + reachable)) << reachable;
  for (const char* shells : {"/Library/Cookies/Cookies.txt", "/Library/Cookies/new", "/Documents/jar/Cookies.txt",
                             "/Documents/jar/new", "/Documents/jar"})
    EXPECT_FALSE(platform::paths::pageMayReach(root + shells)) << shells;
  EXPECT_TRUE(platform::paths::pageMayReach(dir.file("package-link/www/index.html")));
  EXPECT_FALSE(platform::paths::pageMayReach(dir.file("package-link/../data/Documents/a.txt")));

  // A resolution the caller made already is the one judged.
  std::string cookies = root + "/Documents/jar/Cookies.txt";
  EXPECT_FALSE(platform::paths::pageMayReach(cookies, platform::fs::realPathAllowingMissing(cookies)));
  EXPECT_TRUE(platform::paths::pageMayReach(root + "/Documents/a.txt",
                                            platform::fs::realPathAllowingMissing(root + "/Documents/a.txt")));
  EXPECT_FALSE(platform::paths::pageMayReach(root + "/Documents/a.txt", dir.file("data/Library/Cookies/Cookies.txt")));
  platform::paths::setDataRoot(dir.dataRoot());
}

struct stat statOf(const std::string& path) {
  struct stat info {};
  ::lstat(path.c_str(), &info);
  return info;
}

// A shell's start on the data root: its checks, and once it holds the root, the binding.
std::optional<std::string> startOn(const std::string& package, bool rebind) {
  if (auto refusal = platform::paths::prepareDataRoot(package, rebind)) return refusal;
  return platform::paths::bindDataRoot(package, rebind);
}

TEST_F(PathsTest, ADataRootIsPrivateBoundToItsPackageAndRefusedWhenOthersCouldPlantInIt) {
  testing_support::ScopedDataRoot dir;
  std::string root = dir.dataRoot();
  std::string first = dir.write("first/config.xml", "<widget/>");
  std::string second = dir.write("second/config.xml", "<widget/>");
  first = dir.file("first");
  second = dir.file("second");
  mode_t saved = ::umask(022);

  // Made private; what the process makes afterwards is private too.
  EXPECT_EQ(startOn(first, false), std::nullopt);
  EXPECT_EQ(statOf(root).st_mode & 0777, 0700u);
  EXPECT_EQ(::umask(022), 077u);
  // A root another version left readable by all is narrowed.
  ::chmod(root.c_str(), 0755);
  EXPECT_EQ(startOn(first, false), std::nullopt);
  EXPECT_EQ(statOf(root).st_mode & 0777, 0700u);

  // Another package that declares the same identifier is refused, with the way out; the
  // same package through a link to it is the same package.
  auto refusal = startOn(second, false);
  ASSERT_TRUE(refusal);
  EXPECT_NE(refusal->find("belongs to the package at " + first), std::string::npos) << *refusal;
  EXPECT_NE(refusal->find("--rebind-data-root"), std::string::npos) << *refusal;
  ASSERT_EQ(::symlink(first.c_str(), dir.file("first-link").c_str()), 0);
  EXPECT_EQ(startOn(dir.file("first-link"), false), std::nullopt);
  EXPECT_EQ(startOn(second, true), std::nullopt);
  EXPECT_TRUE(startOn(first, false));
  EXPECT_FALSE(platform::paths::pageMayReach(root + "/Library/Application Support/VeltroPackage"));

  // Writable by others, another user's, or a standard folder that is a link: refused.
  ::chmod(root.c_str(), 0770);
  EXPECT_NE(startOn(second, false).value_or("").find("can be written by other users"),
            std::string::npos);
  ::chmod(root.c_str(), 0700);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(root.c_str(), 4242, 4242), 0);
    EXPECT_NE(startOn(second, false).value_or("").find("belongs to another user"),
              std::string::npos);
    ASSERT_EQ(::chown(root.c_str(), 0, 0), 0);
  }
  dir.write("elsewhere/x", "x");
  platform::fs::remove(root + "/tmp");
  ASSERT_EQ(::symlink(dir.file("elsewhere").c_str(), (root + "/tmp").c_str()), 0);
  EXPECT_NE(startOn(second, false).value_or("").find("is a symbolic link"), std::string::npos);
  ::umask(saved);
}

// The checks before a shell claims the root write nothing, a rebind's included: a shell that
// is then refused, because another runs on the root, leaves the record and the root as they
// were. The binding checks again, for a root that changed hands in between.
TEST_F(PathsTest, TheChecksBeforeTheClaimWriteNothingAndTheBindingChecksAgain) {
  testing_support::ScopedDataRoot dir;
  std::string root = dir.dataRoot();
  dir.write("first/config.xml", "<widget/>");
  dir.write("second/config.xml", "<widget/>");
  std::string first = dir.file("first");
  std::string second = dir.file("second");
  std::string record = root + "/Library/Application Support/VeltroPackage";
  mode_t saved = ::umask(022);

  // A root not made yet is not made by the checks.
  platform::fs::remove(root);
  EXPECT_EQ(platform::paths::prepareDataRoot(first, false), std::nullopt);
  EXPECT_FALSE(platform::fs::exists(root));
  ASSERT_EQ(platform::paths::bindDataRoot(first, false), std::nullopt);
  EXPECT_EQ(platform::fs::readFile(record), first + "\n");

  // A rebind that passes its checks changes neither the record nor the root's mode.
  ::chmod(root.c_str(), 0750);
  EXPECT_EQ(platform::paths::prepareDataRoot(second, true), std::nullopt);
  EXPECT_EQ(platform::fs::readFile(record), first + "\n");
  EXPECT_EQ(statOf(root).st_mode & 0777, 0750u);

  // Another package took the root over between a shell's checks and its claim: the binding
  // refuses it, and only a rebind takes the root back.
  EXPECT_EQ(platform::paths::prepareDataRoot(first, false), std::nullopt);
  ASSERT_EQ(platform::paths::bindDataRoot(second, true), std::nullopt);
  EXPECT_EQ(statOf(root).st_mode & 0777, 0700u);
  EXPECT_EQ(platform::fs::readFile(record), second + "\n");
  EXPECT_NE(platform::paths::bindDataRoot(first, false).value_or("").find("belongs to the package at " + second),
            std::string::npos);
  EXPECT_EQ(platform::fs::readFile(record), second + "\n");
  EXPECT_EQ(platform::paths::bindDataRoot(first, true), std::nullopt);
  EXPECT_EQ(platform::fs::readFile(record), first + "\n");
  ::umask(saved);
}

}  // namespace

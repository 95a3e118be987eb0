#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <thread>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/PackageFiles.h"
#include "support/TestSupport.h"

namespace package = platform::package;
using testing_support::TempDir;

namespace {

// A package whose web folder links to its own files (relatively, absolutely, through a folder)
// and out of it (absolutely, relatively, through a folder, to a file that is not there yet).
class PackageFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pkg = dir.file("package");
    dir.write("package/www/real.txt", "inside");
    dir.write("package/assets/deep.txt", "deep");
    dir.write("other/secret.txt", "SECRET");
    link("real.txt", "www/inside.txt");
    link(pkg + "/www/real.txt", "www/inside-abs.txt");
    link("../assets", "www/assets");
    link(dir.file("other/secret.txt"), "www/out-abs.txt");
    link("../../other/secret.txt", "www/out-rel.txt");
    link(dir.file("other"), "www/out-folder");
    link(dir.file("other/later.txt"), "www/out-later.txt");
    platform::Bundle::setMainPath(pkg);
  }
  void link(const std::string& target, const std::string& name) {
    ASSERT_EQ(::symlink(target.c_str(), (pkg + "/" + name).c_str()), 0) << name;
  }
  std::string file(const std::string& relative) const { return pkg + "/" + relative; }

  TempDir dir;
  std::string pkg;
};

}  // namespace

TEST(PackageFilesPredicate, OnlyWhatLiesInsideThePackageFolderIsThePackages) {
  EXPECT_TRUE(package::holds("/apps/pkg/www/index.html", "/apps/pkg"));
  EXPECT_TRUE(package::holds("/apps/pkg", "/apps/pkg"));
  EXPECT_TRUE(package::holds("/anything", "/"));
  for (const char* path : {"/apps/pkg-other/www/index.html", "/apps/pk", "/apps", "/data/app/Documents/x", "",
                           "apps/pkg/www/index.html"})
    EXPECT_FALSE(package::holds(path, "/apps/pkg")) << path;
  EXPECT_FALSE(package::holds("/apps/pkg/x", ""));
}

TEST_F(PackageFilesTest, ReadsFollowLinksInsideThePackageAndRefuseLinksOutOfIt) {
  for (const char* inside : {"www/real.txt", "www/inside.txt", "www/inside-abs.txt"}) {
    EXPECT_EQ(package::readFile(file(inside), 1 << 20), "inside") << inside;
    // Read in place as the main thread reads it, or left to a thread that may wait; never
    // anything else.
    auto cached = package::readFileIfCached(file(inside), 1 << 20);
    EXPECT_TRUE(!cached || *cached == "inside") << inside;
  }
  // What is in memory is read in place; a read may still give up while the kernel is busy with
  // the file, so it gets a few tries.
  std::optional<std::string> inPlace;
  for (int attempt = 0; attempt < 50 && !inPlace; ++attempt) {
    inPlace = package::readFileIfCached(file("www/inside.txt"), 1 << 20);
    if (!inPlace) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(inPlace, "inside");
  EXPECT_EQ(package::readFile(file("www/assets/deep.txt"), 1 << 20), "deep");

  dir.write("other/later.txt", "SECRET too");
  for (const char* out : {"www/out-abs.txt", "www/out-rel.txt", "www/out-folder/secret.txt", "www/out-later.txt",
                          "www/../../other/secret.txt"}) {
    int error = 0;
    EXPECT_EQ(package::readFile(file(out), 1 << 20, &error), std::nullopt) << out;
    EXPECT_EQ(error, EXDEV) << out;
    EXPECT_EQ(package::open(file(out)).error(), EXDEV) << out;
    EXPECT_EQ(package::readFileIfCached(file(out), 1 << 20), std::nullopt) << out;
  }
  EXPECT_EQ(package::open(dir.file("other/secret.txt")).error(), EXDEV);
  // Missing, a folder, a FIFO: not refusals, nothing read either.
  EXPECT_EQ(package::open(file("www/missing.txt")).error(), ENOENT);
  EXPECT_FALSE(package::open(file("www")).isOpen());
  ASSERT_EQ(::mkfifo(file("www/pipe.txt").c_str(), 0600), 0);
  EXPECT_EQ(package::readFile(file("www/pipe.txt"), 1 << 20), std::nullopt);
  // The limit holds.
  EXPECT_EQ(package::readFile(file("www/real.txt"), 5), std::nullopt);
}

TEST_F(PackageFilesTest, EveryLinkLeadingOutIsFoundAndNoneThatStaysInside) {
  // Also in a folder of the package that the web folder only links to, and a link to nowhere
  // inside the package is no link out.
  link(dir.file("other/secret.txt"), "assets/out.txt");
  link("missing-yet.txt", "www/later-inside.txt");
  EXPECT_EQ(package::linksLeadingOut(),
            (std::vector<std::string>{"assets/out.txt", "www/out-abs.txt", "www/out-folder", "www/out-later.txt",
                                      "www/out-rel.txt"}));
  EXPECT_EQ(package::canonicalRoot(), pkg);
}

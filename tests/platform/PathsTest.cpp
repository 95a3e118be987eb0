#include "platform/foundation/Paths.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/foundation/Bundle.h"
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

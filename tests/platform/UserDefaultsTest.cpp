#include "platform/foundation/UserDefaults.h"

#include <gtest/gtest.h>

#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"
#include "support/TestSupport.h"

using platform::UserDefaults;
using platform::Value;

TEST(UserDefaults, ValuesSurviveAReloadAndAnUnreadableFileStartsEmpty) {
  testing_support::ScopedDataRoot dir;
  platform::paths::setBundleIdentifier("org.example.defaults");
  UserDefaults::resetForTesting();
  auto& defaults = UserDefaults::standard();
  EXPECT_TRUE(defaults.object("missing").is_null());
  defaults.set("name", "veltro");
  defaults.set("enabled", true);
  defaults.set("count", 7);
  defaults.set("gone", "x");
  defaults.set("gone", Value());
  auto suite = UserDefaults::suite("group.shared");
  EXPECT_EQ(suite, UserDefaults::suite("group.shared"));
  suite->set("token", "abc");
  EXPECT_TRUE(defaults.synchronize());

  UserDefaults::resetForTesting();
  EXPECT_EQ(UserDefaults::standard().string("name"), "veltro");
  EXPECT_TRUE(UserDefaults::standard().boolean("enabled"));
  EXPECT_EQ(UserDefaults::standard().integer("count"), 7);
  EXPECT_FALSE(UserDefaults::standard().string("gone").has_value());
  EXPECT_FALSE(UserDefaults::standard().boolean("missing"));
  EXPECT_EQ(UserDefaults::suite("group.shared")->string("token"), "abc");
  EXPECT_TRUE(UserDefaults::standard().object("token").is_null());

  auto onDisk =
      platform::readPropertyList(dir.file("data/Library/Preferences/org.example.defaults.plist"));
  ASSERT_TRUE(onDisk);
  EXPECT_EQ((*onDisk)["count"], 7);

  UserDefaults::standard().remove("name");
  UserDefaults::resetForTesting();
  EXPECT_FALSE(UserDefaults::standard().string("name").has_value());
  platform::paths::setBundleIdentifier("");

  // A file that cannot be read starts empty, and is written anew.
  dir.write("data/Library/Preferences/broken.plist", "garbage");
  UserDefaults::resetForTesting();
  auto broken = UserDefaults::suite("broken");
  EXPECT_TRUE(broken->dictionaryRepresentation().empty());
  broken->set("k", "v");
  UserDefaults::resetForTesting();
  EXPECT_EQ(UserDefaults::suite("broken")->string("k"), "v");
  UserDefaults::resetForTesting();
}

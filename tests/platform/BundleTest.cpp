#include "platform/foundation/Bundle.h"

#include <gtest/gtest.h>

#include "support/TestSupport.h"

using platform::Bundle;

namespace {
void makePackage(const testing_support::TempDir& dir) {
  dir.write("app/Info.plist",
            "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
            "<key>CFBundleIdentifier</key><string>org.example.app</string>"
            "<key>CFBundleVersion</key><string>12</string></dict></plist>");
  dir.write("app/config.xml", "<widget/>");
  dir.write("app/www/index.html", "<html/>");
  dir.write("app/www/js/app.js", "");
  dir.write("secret.txt", "outside");
  dir.write("app/en.lproj/Localizable.strings",
            "/* Buttons */\n\"OK\" = \"Okay\";\n// line comment\n"
            "\"Quote\" = \"say \\\"hi\\\"\\n\";\nBare = Word;\n\"Snow\" = \"\\U2603\";\n");
  dir.write("app/Base.lproj/Localizable.strings", "\"Cancel\" = \"Abort\";\n\"OK\" = \"Base OK\";");
  dir.write("app/Base.lproj/Broken.strings", "\"A\" = \"1\";\n\"B\" = ");
}
}  // namespace

TEST(Bundle, FindsResourcesAndLocalizedStringsOnlyInsideThePackage) {
  testing_support::ScopedDataRoot dir;
  makePackage(dir);
  Bundle bundle(dir.file("app"));
  EXPECT_EQ(bundle.pathForResource("app", "js", "www/js"), dir.file("app/www/js/app.js"));
  EXPECT_EQ(bundle.pathForResource("index", ".html", "www"), dir.file("app/www/index.html"));
  EXPECT_EQ(bundle.pathForResource("config.xml", ""), dir.file("app/config.xml"));
  EXPECT_EQ(bundle.pathForResource("www", ""), dir.file("app/www"));
  EXPECT_EQ(bundle.pathForResource("Info", "plist", "www/.."), dir.file("app/Info.plist"));
  EXPECT_FALSE(bundle.pathForResource("missing", "js", "www"));
  EXPECT_FALSE(bundle.pathForResource("../secret", "txt"));
  EXPECT_FALSE(bundle.pathForResource("secret", "txt", "www/../.."));
  EXPECT_FALSE(bundle.pathForResource("", ""));

  // Localized strings fall back in order.
  EXPECT_EQ(bundle.localizedString("OK", ""), "Okay");            // en wins over Base
  EXPECT_EQ(bundle.localizedString("Cancel", "Cancel"), "Abort");  // only in Base
  EXPECT_EQ(bundle.localizedString("Quote", ""), "say \"hi\"\n");
  EXPECT_EQ(bundle.localizedString("Bare", ""), "Word");
  EXPECT_EQ(bundle.localizedString("Snow", ""), "\xE2\x98\x83");
  EXPECT_EQ(bundle.localizedString("Missing", "Default"), "Default");
  EXPECT_EQ(bundle.localizedString("Missing", ""), "Missing");
  // A broken table keeps the entries read before the fault.
  EXPECT_EQ(bundle.localizedString("A", "", "Broken"), "1");
  EXPECT_EQ(bundle.localizedString("OK", "x", "../en.lproj/Localizable"), "x");

  auto utf16 = platform::parseStringsFile(std::string("\xFF\xFE\"\0k\0\"\0=\0\"\0v\0\"\0;\0", 18));
  ASSERT_TRUE(utf16);
  EXPECT_EQ((*utf16)["k"], "v");
}

TEST(Bundle, InfoDictionaryAndMainBundle) {
  testing_support::ScopedDataRoot dir;
  makePackage(dir);
  Bundle::setMainPath(dir.file("app"));
  Bundle& main = Bundle::main();
  EXPECT_EQ(main.bundleIdentifier(), "org.example.app");
  EXPECT_EQ(main.objectForInfoDictionaryKey("CFBundleVersion"), "12");
  EXPECT_TRUE(main.objectForInfoDictionaryKey("Nope").is_null());
  EXPECT_EQ(main.resourcePath(), dir.file("app"));

  Bundle::setMainPath(dir.file("www-only"));
  EXPECT_TRUE(Bundle::main().infoDictionary().empty());
  EXPECT_EQ(Bundle::main().bundleIdentifier(), "");
  EXPECT_EQ(main.bundleIdentifier(), "org.example.app");  // the old reference stays usable
}

#include "platform/foundation/Strings.h"

#include <gtest/gtest.h>

using platform::equalsIgnoreCase;
using platform::trim;

TEST(Strings, EqualsIgnoreCaseFoldsOnlyASCII) {
  EXPECT_TRUE(equalsIgnoreCase("Content-Type", "content-type"));
  EXPECT_TRUE(equalsIgnoreCase("", ""));
  EXPECT_FALSE(equalsIgnoreCase("Content-Type", "Content-Typ"));
  EXPECT_FALSE(equalsIgnoreCase("a", "b"));
  // '@' and '`' sit next to the letters; they are not their cases.
  EXPECT_FALSE(equalsIgnoreCase("@", "`"));
  // Non-ASCII bytes compare as they are.
  EXPECT_TRUE(equalsIgnoreCase("\xC3\x89t\xC3\xA9", "\xC3\x89T\xC3\xA9"));
  EXPECT_FALSE(equalsIgnoreCase("\xC3\x89", "\xC3\xA9"));
}

TEST(Strings, TrimDropsSpacesAndTabsAtBothEnds) {
  EXPECT_EQ(trim("  text/html \t"), "text/html");
  EXPECT_EQ(trim("\t a b \t"), "a b");
  EXPECT_EQ(trim("   "), "");
  EXPECT_EQ(trim(""), "");
  // Line breaks are not blanks of a header value.
  EXPECT_EQ(trim("\nx\n"), "\nx\n");
}

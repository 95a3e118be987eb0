#include "platform/foundation/Strings.h"

#include <gtest/gtest.h>

#include "platform/foundation/Log.h"
#include "support/ScopedLocale.h"

using platform::equalsIgnoreCase;
using platform::trim;

TEST(Strings, CaseFoldingAndTrimmingTouchOnlyASCIIAndBlanks) {
  EXPECT_TRUE(equalsIgnoreCase("Content-Type", "content-type"));
  EXPECT_TRUE(equalsIgnoreCase("", ""));
  EXPECT_FALSE(equalsIgnoreCase("Content-Type", "Content-Typ"));
  EXPECT_FALSE(equalsIgnoreCase("a", "b"));
  // '@' and '`' sit next to the letters; they are not their cases.
  EXPECT_FALSE(equalsIgnoreCase("@", "`"));
  // Non-ASCII bytes compare as they are.
  EXPECT_TRUE(equalsIgnoreCase("\xC3\x89t\xC3\xA9", "\xC3\x89T\xC3\xA9"));
  EXPECT_FALSE(equalsIgnoreCase("\xC3\x89", "\xC3\xA9"));

  EXPECT_EQ(trim("  text/html \t"), "text/html");
  EXPECT_EQ(trim("\t a b \t"), "a b");
  EXPECT_EQ(trim("   "), "");
  EXPECT_EQ(trim(""), "");
  // Line breaks are not blanks of a header value.
  EXPECT_EQ(trim("\nx\n"), "\nx\n");
}

TEST(Strings, NumbersAndBooleansReadThePlatformsWay) {
  using platform::decimalValue;
  EXPECT_EQ(decimalValue("12.5px"), 12.5);
  EXPECT_EQ(decimalValue(" \t+2.5e2"), 250.0);
  EXPECT_EQ(decimalValue("-.5"), -0.5);
  for (const char* none : {"", "px", "inf", "-infinity", "nan", "1e999", "+-", " ."})
    EXPECT_FALSE(decimalValue(none).has_value()) << none;

  using platform::boolValue;
  for (const char* yes : {"YES", "true", "t", "Y", "1", "0007", " -2", "+9x"}) EXPECT_TRUE(boolValue(yes)) << yes;
  for (const char* no : {"", "NO", "false", "0", "000", "-0", "  ", "on", "x1"}) EXPECT_FALSE(boolValue(no)) << no;
}

// Log lines and every other text made with stringf are read by programs as well as people:
// "took '13,773163' ms" for a German user would be another line, and no number to a reader.
TEST(Strings, FormattedNumbersUseAPointInACommaDecimalLocale) {
  testing_support::CommaDecimalLocale german;
  ASSERT_TRUE(german.ok());
  EXPECT_EQ(platform::stringf("took '%f' ms", 13.773163), "took '13.773163' ms");
  EXPECT_EQ(platform::stringf("%g|%.1f|%e|%a", 0.25, 2.5, 1e-7, 1.0), "0.25|2.5|1.000000e-07|0x1p+0");
  // Text is copied as it is, whatever its bytes.
  EXPECT_EQ(platform::stringf("%s %5.2f", "\xC3\xA9t\xC3\xA9 1,5", -3.14159), "\xC3\xA9t\xC3\xA9 1,5 -3.14");
}

TEST(Strings, Base64RoundTripsEveryTailAndRefusesWhatIsNotBase64) {
  platform::Bytes bytes;
  for (int size = 0; size < 70; ++size) {
    std::string encoded = platform::base64Encode(bytes);
    EXPECT_EQ(encoded.size(), (bytes.size() + 2) / 3 * 4);
    EXPECT_EQ(platform::base64Decode(encoded), bytes) << size;
    bytes.push_back(static_cast<std::uint8_t>(size * 97 + 200));
  }
  // Every pair of byte values, at each place in a group of three.
  platform::Bytes pairs;
  for (int a = 0; a < 256; ++a)
    for (int b = 0; b < 256; ++b) pairs.insert(pairs.end(), {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b)});
  for (size_t skip = 0; skip < 3; ++skip) {
    platform::Bytes shifted(pairs.begin() + static_cast<std::ptrdiff_t>(skip), pairs.end());
    EXPECT_EQ(platform::base64Decode(platform::base64Encode(shifted)), shifted) << skip;
  }
  const std::uint8_t sample[] = {0xFB, 0xFF, 0x00, 'a', 'b'};
  const char* expected[] = {"", "+w==", "+/8=", "+/8A", "+/8AYQ==", "+/8AYWI="};
  for (size_t size = 0; size <= sizeof sample; ++size)
    EXPECT_EQ(platform::base64Encode(sample, size), expected[size]);
  for (const char* bad : {"Zm9", "Zm9vY===", "====", "Zm=v", "Zm9v\nYg==", "Zm9vYg=a", "Zm 9", "Zg==Zg=="})
    EXPECT_FALSE(platform::base64Decode(bad)) << bad;
}

#include <gtest/gtest.h>

#include "platform/foundation/JSONText.h"
#include "platform/foundation/StableHash.h"

using platform::Value;

// Published FNV-1a 64-bit vectors: stored names depend on these never changing.
TEST(StableHash, MatchesFnv1aVectors) {
  EXPECT_EQ(platform::stableHash(""), 14695981039346656037ull);
  EXPECT_EQ(platform::stableHash("a"), 0xaf63dc4c8601ec8cull);
  EXPECT_EQ(platform::stableHash("foobar"), 0x85944171f73967e8ull);
  EXPECT_EQ(platform::stableHashString("foobar"), "9625390261332436968");
  // Over the UTF-8 bytes, not over characters.
  EXPECT_EQ(platform::stableHashString("\xC3\xA9"), "775207407765167617");
}

TEST(JSONText, InvalidBytesAreReplacedNotThrown) {
  Value value = {{"text", std::string("ok \xFF\xFE end")}, {"n", 1}};
  EXPECT_EQ(platform::jsonText(value), "{\"n\":1,\"text\":\"ok \xEF\xBF\xBD\xEF\xBF\xBD end\"}");
  EXPECT_EQ(platform::jsonText(Value("\xC3\xA9")), "\"\xC3\xA9\"");
}

TEST(JSONText, Utf8ValidationAndReplacement) {
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_TRUE(platform::isValidUTF8("plain \xC3\xA9 \xF0\x9F\x98\x80"));
  // Overlong, surrogate, above U+10FFFF, truncated at the end, stray continuation byte.
  for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\x80"})
    EXPECT_FALSE(platform::isValidUTF8(bad)) << bad;
  // One replacement per maximal subpart: a truncated three-byte sequence is one U+FFFD.
  EXPECT_EQ(platform::replacingInvalidUTF8("a\xE2\x82" "b"), "a" + fffd + "b");
  EXPECT_EQ(platform::replacingInvalidUTF8("\xED\xA0\x80"), fffd + fffd + fffd);
  EXPECT_EQ(platform::replacingInvalidUTF8("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
}

TEST(JSONText, BinaryStringMapsEachByteToOneCodePoint) {
  std::string bytes = {'\x00', 'A', '\x7F', '\x80', '\xFF'};
  EXPECT_EQ(platform::binaryString(bytes), std::string("\x00" "A\x7F\xC2\x80\xC3\xBF", 7));
}

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/foundation/JSONText.h"
#include "platform/foundation/StableHash.h"
#include "platform/foundation/Strings.h"
#include "support/ScopedLocale.h"

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

TEST(JSONText, CompactTextIsTheLibrarysTextForEveryKindOfValueAndEveryMixOfCharacters) {
  auto library = [](const Value& value) { return value.dump(-1, ' ', false, Value::error_handler_t::replace); };
  std::string everyByte;
  for (int byte = 0; byte < 256; ++byte) everyByte += static_cast<char>(byte);
  Value nested = Value::array({Value::object(), Value::array(), nullptr, true, -3, 18446744073709551615ull, 0.1,
                               std::numeric_limits<double>::infinity()});
  Value value = {{"plain", "QUJD+/=="},       {"quote \" and \\", "a\"b\\c"}, {"control", "tab\t nl\n \x01 \x1F \x7F"},
                 {"\xFF key", "caf\xC3\xA9 \xF0\x9F\x98\x80 \xFF\xC0\xAF"}, {"every", everyByte}, {"nested", nested},
                 {"binary", Value::binary({1, 2, 3})}, {"", ""}};
  EXPECT_EQ(platform::jsonText(value), library(value));
  for (const auto& [key, member] : value.items()) EXPECT_EQ(platform::jsonText(member), library(member)) << key;
  // One byte of each value among plain text, in the first eight bytes and after them.
  for (int byte = 0; byte < 256; ++byte) {
    for (size_t at : {3, 12}) {
      Value text = std::string("abcdefghijklmnop").insert(at, 1, static_cast<char>(byte));
      EXPECT_EQ(platform::jsonText(text), library(text)) << byte;
    }
  }
  // Indented text is the library's own.
  EXPECT_EQ(platform::jsonText(value, 2), value.dump(2, ' ', false, Value::error_handler_t::replace));

  // The compact writer takes long runs at once; its text must stay the library's, byte for
  // byte, wherever an escape or a multi-byte character falls against those runs.
  const std::string pieces[] = {"a", "\"", "\\", "\n", std::string(1, '\0'), "\x1F", "\x7F", "/",
                                "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xE2\x80\xA8", "0123456"};
  unsigned seed = 7;
  for (int round = 0; round < 400; ++round) {
    std::string text;
    int count = round % 40;
    for (int i = 0; i < count; ++i) {
      seed = seed * 1103515245u + 12345u;
      text += pieces[(seed >> 16) % std::size(pieces)];
    }
    Value mixed = {{"k" + text, Value::array({text, 1.5, -3, nullptr, true})}, {"s", text}};
    EXPECT_EQ(platform::jsonText(mixed), library(mixed)) << round;
  }
  std::string big(1 << 20, 'x');
  big[12345] = '"';
  big[(1 << 20) - 1] = '\n';
  EXPECT_EQ(platform::jsonText(Value(big)), Value(big).dump());
  // Invalid bytes anywhere in a long run still become U+FFFD.
  big[777] = '\xFF';
  EXPECT_EQ(platform::jsonText(Value::array({big})).find("x\xEF\xBF\xBDx"), 2u + 777 - 1);
}

// Long text is written, read and validated in blocks; every special byte must be found
// wherever it falls against them: first, last, on either side of a block's end.
TEST(JSONText, LongTextIsWrittenReadAndValidatedAlikeWhereverASpecialByteFalls) {
  auto library = [](const Value& value) { return value.dump(-1, ' ', false, Value::error_handler_t::replace); };
  const std::string specials[] = {"\"", "\\", "\n", std::string(1, '\0'), "\x1F", "\x7F", " ", "\xC3\xA9",
                                  "\xF0\x9F\x98\x80", "\xFF", "\xE2\x82"};
  for (size_t length : {15, 16, 17, 31, 33, 63, 64, 65, 129}) {
    for (const std::string& special : specials) {
      bool valid = special != "\xFF" && special != "\xE2\x82";
      for (size_t at = 0; at <= length; ++at) {
        std::string text = std::string(length, 'a').insert(at, special);
        std::string where = std::to_string(length) + "/" + std::to_string(at) + "/" + std::to_string(special[0] & 0xFF);
        EXPECT_EQ(platform::isValidUTF8(text), valid) << where;
        std::string written = platform::jsonText(Value(text));
        ASSERT_EQ(written, library(Value(text))) << where;
        auto read = platform::parseJSONText("[" + written + "]");
        ASSERT_TRUE(read) << where;
        if (valid) {
          EXPECT_EQ((*read)[0], Value(text)) << where;
        }
      }
    }
  }
}

// Answers written piece by piece must read exactly as the library would have written the
// same values.
TEST(JSONText, PiecesAreTheLibrarysTextOfTheSameValue) {
  auto piece = [](auto append) {
    std::string out = "[";
    append(out);
    return out;
  };
  for (int byte = 0; byte < 128; ++byte) {
    std::string text = std::string("abcdefghij").insert(byte % 11, 1, static_cast<char>(byte));
    EXPECT_EQ(piece([&](std::string& out) { EXPECT_TRUE(platform::appendJSONString(out, text)); }),
              "[" + Value(text).dump())
        << byte;
  }
  for (std::string text : {std::string("caf\xC3\xA9 \xF0\x9F\x98\x80 \xE2\x80\xA8 \"q\" \\ /"), std::string(),
                           std::string(3000, 'x') + "\n" + std::string(3000, '\xC3')}) {
    bool valid = platform::isValidUTF8(text);
    std::string out = "[";
    EXPECT_EQ(platform::appendJSONString(out, text), valid);
    // Text that is not UTF-8 leaves nothing behind: the caller decides what stands instead.
    EXPECT_EQ(out, valid ? "[" + Value(text).dump() : "[");
  }

  std::vector<double> numbers = {0.0, -0.0, 0.5, 1.0, -2.5, 100.0, 0.1 + 0.2, 1e21, 1e-7, 1.5e-7, 5e-324,
                                 std::numeric_limits<double>::max(), std::numeric_limits<double>::lowest(),
                                 9007199254740993.0, 123456789.125};
  std::uint64_t bits = 0x9E3779B97F4A7C15ull;
  while (numbers.size() < 2000) {
    bits ^= bits << 13, bits ^= bits >> 7, bits ^= bits << 17;
    double number;
    std::memcpy(&number, &bits, sizeof number);
    if (std::isfinite(number)) numbers.push_back(number);
  }
  for (double number : numbers) {
    std::string out;
    platform::appendJSONNumber(out, number);
    ASSERT_EQ(out, Value(number).dump()) << number;
  }
  for (double number : {std::numeric_limits<double>::infinity(), std::nan("")}) {
    std::string out;
    platform::appendJSONNumber(out, number);
    EXPECT_EQ(out, "null");
  }
}

TEST(JSONText, Utf8ValidationReplacementAndBinaryStrings) {
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_TRUE(platform::isValidUTF8("plain \xC3\xA9 \xF0\x9F\x98\x80"));
  // Overlong, surrogate, above U+10FFFF, truncated at the end, stray continuation byte.
  for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\x80"})
    EXPECT_FALSE(platform::isValidUTF8(bad)) << bad;
  // One replacement per maximal subpart: a truncated three-byte sequence is one U+FFFD.
  EXPECT_EQ(platform::replacingInvalidUTF8("a\xE2\x82" "b"), "a" + fffd + "b");
  EXPECT_EQ(platform::replacingInvalidUTF8("\xED\xA0\x80"), fffd + fffd + fffd);
  EXPECT_EQ(platform::replacingInvalidUTF8("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
  // A binary string maps each byte to one code point.
  std::string bytes = {'\x00', 'A', '\x7F', '\x80', '\xFF'};
  EXPECT_EQ(platform::binaryString(bytes), std::string("\x00" "A\x7F\xC2\x80\xC3\xBF", 7));
}

TEST(JSONText, OutsideTextReadsAsTheJSONLibraryReadsIt) {
  // Whatever the library reads, parseJSONText reads to the same value (number types included);
  // whatever it refuses, parseJSONText refuses.
  const std::vector<std::string> texts = {
      "0", "-0", "1", "-1", "18446744073709551615", "18446744073709551616", "-9223372036854775808",
      "-9223372036854775809", "123456789012345678901234567890", "1.5", "-0.0", "1e3", "1E-3", "2.5e+10", "1e-400",
      "0.1", "3.141592653589793238462643383279", "1e400", "-1e400", "01", "-", "+1", "1.", ".5", "1e", "1e+",
      "0x10", "NaN", "Infinity", "true", "false", "null", "tru", "nul", "truex", "", "   ", " [ ] ", "{ }",
      "[1,]", "[,1]", "[1 2]", "{\"a\":1,}", "{\"a\" 1}", "{1:2}", "{\"a\":1,\"a\":[2]}", "[[[]],[{}]]",
      "\"plain\"", "\"tab\there\"", "\"esc \\\" \\\\ \\/ \\b \\f \\n \\r \\t\"", "\"\\u0000\\u001f\\u00e9\\u20AC\"",
      "\"\\x\"", "\"\\u12\"", "\"\\uZZZZ\"", "\"unterminated", "\"\\", "\"caf\xC3\xA9 \xF0\x9F\x98\x80\"",
      "\xEF\xBB\xBF[1]", "\xEF\xBB[1]", "[1]\n", "[1] x", "[\"a\",{\"b\":[null,true,-2.5e-3]}]",
      "{\"k\":\"" + std::string(100, 'x') + "\\\"" + std::string(9, 'y') + "\"}", std::string(300, '[') + std::string(300, ']'),
      "\"" + std::string(70000, 'A') + "\"", "[\"\x01\"]", "\t\r\n 7 \n"};
  for (const auto& text : texts) {
    Value expected = Value::parse(text, nullptr, false);
    auto parsed = platform::parseJSONText(text, nullptr, 1000);
    if (expected.is_discarded()) {
      EXPECT_FALSE(parsed) << text.substr(0, 80);
      continue;
    }
    ASSERT_TRUE(parsed) << text.substr(0, 80);
    EXPECT_EQ(parsed->type(), expected.type()) << text.substr(0, 80);
    EXPECT_EQ(parsed->dump(), expected.dump()) << text.substr(0, 80);
  }
  // A NUL byte after the value: the library stops reading there and takes the value before
  // it; the reader takes the text it is handed whole and refuses it, as it refuses any other
  // byte after the value.
  for (const std::string& text : {std::string("[1,2]\0[3]", 9), std::string("{}\0", 3), std::string("7 \0 ", 4)}) {
    EXPECT_FALSE(Value::parse(text, nullptr, false).is_discarded()) << text;
    EXPECT_FALSE(platform::parseJSONText(text)) << text;
  }
  // Deep text is read without recursion when no bound is set.
  std::string deep = std::string(200000, '[') + "1" + std::string(200000, ']');
  EXPECT_TRUE(platform::parseJSONText(deep, nullptr, std::numeric_limits<size_t>::max()));
  std::string error;
  EXPECT_FALSE(platform::parseJSONText(std::string(300, '[') + "x", &error));
  EXPECT_EQ(error, "JSON text nested deeper than 256 levels");
}

// GTK takes the number format from the user's environment when it starts; a German user's
// writes "1,5". What the page sends must read the same for every user.
TEST(JSONText, NumbersReadTheSameInACommaDecimalLocale) {
  testing_support::CommaDecimalLocale german;
  ASSERT_TRUE(german.ok());
  // Too small for a double: zero with its sign, as the JSON library reads it.
  for (const char* text : {"1.5e-400", "-2.5e-400", "0.000001e-320", "1e-324", "2.4703282292062327e-324"}) {
    auto parsed = platform::parseJSONText(text);
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(parsed->get<double>(), 0.0) << text;
    EXPECT_EQ(std::signbit(parsed->get<double>()), text[0] == '-') << text;
  }
  // Too large is no number; the largest double and the smallest above zero still are.
  for (const char* text : {"1.7976931348623159e308", "-1.7976931348623159e308", "1e309", "123456789.9e301"})
    EXPECT_FALSE(platform::parseJSONText(text)) << text;
  const std::vector<std::string> read = {"1.7976931348623157e308", "-1.7976931348623158e308", "4.9406564584124654e-324",
                                         "2.4703282292062329e-324", "2.2250738585072011e-308", "1.5", "-0.0", "1e-7",
                                         "[0.5,{\"k\":-12.25e-2}]", "0." + std::string(400, '0') + "15",
                                         std::string(400, '9') + "e-300", std::string(308, '9')};
  for (const auto& text : read) {
    auto parsed = platform::parseJSONText(text);
    ASSERT_TRUE(parsed) << text.substr(0, 40);
    EXPECT_EQ(parsed->dump(), Value::parse(text).dump()) << text.substr(0, 40);
  }
  EXPECT_EQ(platform::parseJSONText("4.9406564584124654e-324")->get<double>(), std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(platform::parseJSONText("1.7976931348623157e308")->get<double>(), std::numeric_limits<double>::max());
}

TEST(JSONText, OutsideTextIsParsedWithLoneSurrogatesReplacedAndDepthBounded) {
  // Pairs stay, lone halves (in any position) become U+FFFD; escaped backslashes are no escapes.
  auto parsed = platform::parseJSONText(R"(["\ud83d\ude00", "\ud800", "x\udc00y", "\ud800\ud800\udc00", "\\ud800", {"\udbff": 1}])");
  EXPECT_EQ(parsed.value_or(nullptr),
            Value::array({"\xF0\x9F\x98\x80", "\xEF\xBF\xBD", "x\xEF\xBF\xBDy", "\xEF\xBF\xBD\xF0\x90\x80\x80",
                          "\\ud800", {{"\xEF\xBF\xBD", 1}}}));
  // Bytes that are not UTF-8 are replaced too rather than failing the whole text.
  EXPECT_EQ(platform::parseJSONText("[\"a\xFF\"]").value_or(nullptr), Value::array({"a\xEF\xBF\xBD"}));

  std::string error;
  std::string deep = std::string(300000, '[') + std::string(300000, ']');
  EXPECT_FALSE(platform::parseJSONText(deep, &error));
  EXPECT_EQ(error, "JSON text nested deeper than 256 levels");
  // Brackets inside strings do not count; the bound is inclusive.
  std::string atBound = std::string(256, '[') + "\"[[[[\"" + std::string(256, ']');
  EXPECT_TRUE(platform::parseJSONText(atBound));
  EXPECT_FALSE(platform::parseJSONText("[" + atBound + "]"));
  EXPECT_FALSE(platform::parseJSONText("[1,", &error));
  EXPECT_EQ(error, "The data couldn't be read because it isn't in the correct format.");
}

// A batch's commands are read one by one so that the first can run while the rest are read:
// the elements must be exactly what parsing the whole text gives, and nothing may come out of
// text that does not parse whole, however far into it the fault lies.
TEST(JSONText, AnArrayIsReadElementByElementOnlyFromTextThatParsesWhole) {
  std::string deep = std::string(300, '[') + std::string(300, ']');
  std::string long_ = "[" + std::string(100000, ' ') + "\"" + std::string(70000, 'x') + "\",{\"k\":[1,2]}]";
  const std::vector<std::string> arrays = {
      "[]", " [ ] ", "\xEF\xBB\xBF[1]", "[1,-2,3.5,1e300,-0,18446744073709551615,-9223372036854775808,1e-400]",
      R"([["cb","Echo","echo",[{"id":1,"tags":["a"],"ok":true,"n":null}]],{"a":{"a":1},"a":2}])",
      "[\"a\\ud800b\\udc00c\\ud83d\\ude00\", \"\\n\\\"\\/\\u00e9\"]", "[\"caf\xC3\xA9 \xFF\xC0\"]",
      "[" + deep + "," + "[[1]]" + "]", long_, "[\t[]\n,\r{}\n]"};
  for (const std::string& text : arrays) {
    SCOPED_TRACE(text.substr(0, 80));
    auto whole = platform::parseJSONText(text, nullptr, std::numeric_limits<size_t>::max());
    ASSERT_TRUE(whole && whole->is_array());
    platform::JSONArrayReader reader(text, std::numeric_limits<size_t>::max());
    ASSERT_EQ(reader.check(), platform::JSONArrayReader::Shape::Array);
    Value element;
    size_t depth = 0, index = 0;
    while (reader.next(element, &depth)) {
      ASSERT_LT(index, whole->size());
      EXPECT_EQ(element, (*whole)[index]) << index;
      // The depth as the nesting check counts it, never less than the element's (a key given
      // again may have held something deeper before).
      EXPECT_FALSE(platform::nestedDeeperThan(element, depth)) << index;
      if (index == 0 && text == "[" + deep + "," + "[[1]]" + "]") {
        EXPECT_EQ(depth, 300u);
      }
      ++index;
    }
    EXPECT_EQ(index, whole->size());
    EXPECT_FALSE(reader.next(element));
  }

  const std::vector<std::string> refused = {
      "", "[", "[1,2", "[1,]", "[,1]", "[1 2]", "[1]]", "[1] x", "[\"a\x01\"]", "[\"a\\x\"]", "[1e999]",
      "[-1e999]", "[01]", "[1.]", "[.5]", "[+1]", "[tru]", "[nul]", "[\"\\u12\"]", "[{\"a\" 1}]", "[{1:2}]",
      "[{\"a\":1,}]", "\xEF\xBB[1]", std::string("[1]\0", 4), "[" + deep + "," + std::string(10000, '1') + ",]",
      long_.substr(0, long_.size() - 1)};
  for (const std::string& text : refused) {
    SCOPED_TRACE(text.substr(0, 80));
    std::string parseError, readError;
    EXPECT_FALSE(platform::parseJSONText(text, &parseError, std::numeric_limits<size_t>::max()));
    platform::JSONArrayReader reader(text, std::numeric_limits<size_t>::max());
    EXPECT_EQ(reader.check(&readError), platform::JSONArrayReader::Shape::Invalid);
    EXPECT_EQ(readError, parseError);
    Value element;
    EXPECT_FALSE(reader.next(element));
  }
  // Nested deeper than asked: refused as such, as the whole text would be.
  std::string parseError, readError;
  std::string deeper = "[" + deep + "]";
  EXPECT_FALSE(platform::parseJSONText(deeper, &parseError));
  platform::JSONArrayReader tooDeep(deeper);
  EXPECT_EQ(tooDeep.check(&readError), platform::JSONArrayReader::Shape::Invalid);
  EXPECT_EQ(readError, parseError);
  EXPECT_NE(readError.find("nested deeper"), std::string::npos);
  // Whole and well formed, but no array: nothing to hand out.
  for (std::string text : {"{\"a\":[1]}", "3", "\"s\"", "null"}) {
    platform::JSONArrayReader reader(text);
    EXPECT_EQ(reader.check(), platform::JSONArrayReader::Shape::OtherValue) << text;
    Value element;
    EXPECT_FALSE(reader.next(element)) << text;
  }
}

TEST(JSONText, NestingIsMeasuredWithoutRecursion) {
  platform::Value root = platform::Value::array();
  platform::Value* inner = &root;
  for (int i = 1; i < 100000; ++i) {
    inner->push_back(platform::Value::object());
    inner = &inner->back()["k"];
    *inner = platform::Value::array();
  }
  EXPECT_TRUE(platform::nestedDeeperThan(root));
  EXPECT_FALSE(platform::nestedDeeperThan(platform::Value("scalar"), 0));
  EXPECT_FALSE(platform::nestedDeeperThan(platform::Value::array({1, platform::Value::array()}), 2));
  EXPECT_TRUE(platform::nestedDeeperThan(platform::Value::array({1, platform::Value::array({platform::Value::array()})}), 2));
}

// JavaScript strings reach the shell as UTF-16 units; their UTF-8 must be exactly what the
// JSON reader makes of the same units as escapes (a lone surrogate U+FFFD), wherever a unit
// falls against the converter's runs of sixteen ASCII units and its 16 KiB buffer.
TEST(JSONText, UTF16BecomesTheUTF8OfTheSameUnitsReadAsJSONEscapes) {
  const std::vector<std::vector<std::uint16_t>> pieces = {
      {'a'}, {0}, {0x1F}, {'"'}, {0x7F}, {0x80}, {0xE9}, {0x7FF}, {0x800}, {0x20AC}, {0xFFFF}, {0xFFFD},
      {0xD83D, 0xDE00}, {0xD800}, {0xDC00}, {0xDBFF}, {0xDFFF}, {0xDC00, 0xD800},
      {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f', 'g'}};
  auto check = [](const std::vector<std::uint16_t>& units, const std::string& label) {
    std::string escaped = "\"";
    for (std::uint16_t unit : units) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", unit);
      escaped += buffer;
    }
    escaped += '"';
    auto expected = platform::parseJSONText(escaped);
    ASSERT_TRUE(expected) << label;
    std::string out = "kept";
    platform::appendUTF8FromUTF16(out, units.data(), units.size());
    EXPECT_EQ(out, "kept" + expected->get<std::string>()) << label;
  };
  unsigned seed = 11;
  for (int round = 0; round < 300; ++round) {
    std::vector<std::uint16_t> units;
    int count = round % 50;
    for (int i = 0; i < count; ++i) {
      seed = seed * 1103515245u + 12345u;
      const auto& piece = pieces[(seed >> 16) % pieces.size()];
      units.insert(units.end(), piece.begin(), piece.end());
    }
    check(units, "round " + std::to_string(round));
  }
  // Long ASCII with one other unit at every place around the ends of the buffer, and a pair
  // split by them.
  for (size_t length : {16383, 16384, 16385, 40000}) {
    for (size_t at : {size_t(0), size_t(15), size_t(16), size_t(16368), size_t(16382), size_t(16383), length - 1}) {
      if (at >= length) continue;
      for (std::uint16_t unit : {std::uint16_t(0xE9), std::uint16_t(0x20AC), std::uint16_t(0xD83D)}) {
        std::vector<std::uint16_t> units(length, 'x');
        units[at] = unit;
        if (unit == 0xD83D && at + 1 < length) units[at + 1] = 0xDE00;
        check(units, std::to_string(length) + "@" + std::to_string(at) + ":" + std::to_string(unit));
      }
    }
  }
}

TEST(Strings, Base64AppendedInPlaceIsTheTextOfTheWholeEncoder) {
  for (size_t size : {0, 1, 2, 3, 12287, 12288, 12289, 36866}) {
    platform::Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
    std::string out = "head:";
    platform::appendBase64(out, bytes.data(), bytes.size());
    EXPECT_EQ(out, "head:" + platform::base64Encode(bytes)) << size;
    EXPECT_EQ(platform::base64Decode(out.substr(5)), bytes) << size;
  }
}

#include "platform/foundation/PropertyList.h"

#include <gtest/gtest.h>

#include <bit>

#include "platform/foundation/FileManager.h"
#include "support/ScopedLocale.h"
#include "support/TestSupport.h"

using platform::Value;

namespace {
Value sample() {
  Value v = Value::parse(R"({"flag": true, "one": 1, "real": 1.5, "negative": -42,
      "big": 1152921504606846976, "text": "<a & \"b\"> \u00e9", "list": [1, "two", false, null],
      "nested": {"skip": null, "keep": "yes"}})");
  v["data"] = platform::bytesValue({0x00, 0x01, 0xFF});
  return v;
}
}  // namespace

TEST(PropertyList, RoundTripKeepsTypesApart) {
  auto back = platform::parsePropertyList(platform::serializePropertyListXML(sample()));
  ASSERT_TRUE(back);
  // Null has no property-list form: left out of arrays and dictionaries.
  Value expected = sample();
  expected["list"] = Value::array({1, "two", false});
  expected["nested"].erase("skip");
  EXPECT_EQ(*back, expected);
  // Equal numbers compare equal whatever their kind: the kinds are checked apart.
  EXPECT_TRUE((*back)["flag"].is_boolean());
  EXPECT_TRUE((*back)["one"].is_number_integer());
  EXPECT_TRUE((*back)["real"].is_number_float());

  // Keys are written in order, so the same content gives the same bytes.
  std::string xml = platform::serializePropertyListXML(Value{{"zeta", 1}, {"alpha", "x"}});
  EXPECT_LT(xml.find("alpha"), xml.find("zeta"));
  EXPECT_EQ(platform::serializePropertyListXML(Value()), "");
}

namespace {
std::string bigEndian(std::uint64_t value, int size) {
  std::string out;
  for (int i = size - 1; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return out;
}

// A binary property list of the encoded `objects`, references four bytes wide, the root first.
std::string binaryList(const std::vector<std::string>& objects) {
  std::string out = "bplist00", table;
  for (const auto& object : objects) {
    table += bigEndian(out.size(), 4);
    out += object;
  }
  const std::uint64_t tableAt = out.size();
  return out + table + std::string(6, '\0') + "\x04\x04" + bigEndian(objects.size(), 8) +
         bigEndian(0, 8) + bigEndian(tableAt, 8);
}

// A binary property list of arrays only: `members[i]` lists the indexes array i holds.
std::string binaryArrays(const std::vector<std::vector<std::uint32_t>>& members) {
  std::vector<std::string> objects;
  for (const auto& refs : members) {
    std::string array = refs.size() < 15 ? std::string(1, static_cast<char>(0xA0 | refs.size()))
                                         : "\xAF\x12" + bigEndian(refs.size(), 4);
    for (std::uint32_t ref : refs) array += bigEndian(ref, 4);
    objects.push_back(array);
  }
  return binaryList(objects);
}
}  // namespace

TEST(PropertyList, ReadsBinaryFilesAndDates) {
  testing_support::TempDir dir;
  // {"when": 2020-02-29T12:34:56Z}, a date being seconds since 2001 as a double.
  dir.write("Info.plist", binaryList({"\xD1" + bigEndian(1, 4) + bigEndian(2, 4), "\x54when",
                                      "\x33" + bigEndian(std::bit_cast<std::uint64_t>(604672496.0), 8)}));

  auto read = platform::readPropertyList(dir.file("Info.plist"));
  ASSERT_TRUE(read);
  EXPECT_EQ((*read)["when"], "2020-02-29T12:34:56Z");

  ASSERT_FALSE(platform::writePropertyList(dir.file("out.plist"), sample()));
  EXPECT_EQ(platform::readPropertyList(dir.file("out.plist"))->at("nested"),
            (Value{{"keep", "yes"}}));
  EXPECT_FALSE(platform::parsePropertyList("not a plist").has_value());
  EXPECT_FALSE(platform::parsePropertyList("bplist00\x01\x02").has_value());
  EXPECT_FALSE(platform::readPropertyList(dir.file("missing.plist")).has_value());
}

// The library reads "<real>" through the C library, in the locale GTK took from the user's
// environment: for a German user "1.5" read back as 1 and user defaults lost their fractions.
TEST(PropertyList, RealsReadAndWriteTheSameInACommaDecimalLocale) {
  testing_support::CommaDecimalLocale german;
  ASSERT_TRUE(german.ok());
  auto read = platform::parsePropertyList(
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key><real>2.75</real>"
      "<key>b</key><real>-1.5E-3</real><key>c</key><real>1e300</real></dict></plist>");
  EXPECT_EQ(read.value_or(nullptr), (Value{{"a", 2.75}, {"b", -1.5e-3}, {"c", 1e300}}));

  const std::vector<double> reals = {0.1, -2.5e-10, 1.7976931348623157e308, 4.9406564584124654e-324, 123456.789,
                                     1.5, 1.0 / 3};
  std::string xml = platform::serializePropertyListXML(Value(reals));
  EXPECT_NE(xml.find("<real>1.5</real>"), std::string::npos) << xml;
  auto back = platform::parsePropertyList(xml);
  ASSERT_TRUE(back);
  ASSERT_EQ(back->size(), reals.size());
  for (size_t i = 0; i < reals.size(); ++i) EXPECT_EQ((*back)[i].get<double>(), reals[i]) << i;
}


TEST(PropertyList, HostileNestingIsRefusedBeforeTheLibrarySeesIt) {
  testing_support::LogCapture log;
  constexpr size_t kDeep = 200000;
  auto xmlArrays = [](size_t depth, const std::string& inside = "") {
    std::string open, close;
    for (size_t i = 0; i < depth; ++i) open += "<array>", close += "</array>";
    return "<?xml version=\"1.0\"?><plist version=\"1.0\">" + open + inside + close + "</plist>";
  };
  EXPECT_FALSE(platform::parsePropertyList(xmlArrays(kDeep)));
  EXPECT_TRUE(log.contains("Refusing a property list nested deeper than 256 levels"));
  // End tags inside a comment or a CDATA section close nothing.
  std::string cloaked;
  for (int i = 0; i < 300; ++i) cloaked += "<array>" + std::string(i % 2 ? "<!-- </array> -->" : "<![CDATA[</array>]]>");
  EXPECT_FALSE(platform::parsePropertyList("<plist>" + cloaked + "</plist>"));
  // Within the bound, empty elements and a long flat list read as before.
  auto fine = platform::parsePropertyList(xmlArrays(100, "<array/><dict/><string>&lt;array&gt;</string>"));
  ASSERT_TRUE(fine);

  // Binary: a chain of arrays, a loop, and shared members that the library would copy out
  // into a billion nodes.
  std::vector<std::vector<std::uint32_t>> chain(kDeep);
  for (std::uint32_t i = 0; i + 1 < kDeep; ++i) chain[i] = {i + 1};
  EXPECT_FALSE(platform::parsePropertyList(binaryArrays(chain)));
  EXPECT_FALSE(platform::parsePropertyList(binaryArrays({{1}, {0}})));
  std::vector<std::vector<std::uint32_t>> laughs(31);
  for (std::uint32_t i = 0; i + 1 < laughs.size(); ++i) laughs[i] = {i + 1, i + 1};
  EXPECT_FALSE(platform::parsePropertyList(binaryArrays(laughs)));
  EXPECT_EQ(log.count("Refusing a property list"), 5u);

  // Shared members within the limits are fine, and so is a list with a long count.
  std::vector<std::vector<std::uint32_t>> shared = {{1, 1, 1}, {2, 2}, {}};
  EXPECT_EQ(platform::parsePropertyList(binaryArrays(shared)).value_or(nullptr),
            Value::parse("[[[],[]],[[],[]],[[],[]]]"));
  std::vector<std::vector<std::uint32_t>> wide = {std::vector<std::uint32_t>(20, 1), {}};
  EXPECT_EQ(platform::parsePropertyList(binaryArrays(wide)).value_or(nullptr).size(), 20u);
}

TEST(PropertyList, ABinaryDictionaryKeyWithANulIsRefusedNotAsserted) {
  // Found by the cache manifest fuzz target (its corpus keeps the input): a damaged cache
  // manifest with a NUL inside a dictionary key, on which the library itself asserts. A NUL in
  // a value does not refuse the list.
  auto damaged = platform::fs::readFile(std::string(VELTRO_FUZZ_CORPUS) +
                                        "/cache-manifest/regression-nul-in-key.plist");
  ASSERT_TRUE(damaged);
  EXPECT_FALSE(platform::parsePropertyList(*damaged));

  auto dictionary = [](const std::string& key, const std::string& value) {
    return binaryList({"\xD1" + bigEndian(1, 4) + bigEndian(2, 4),
                       static_cast<char>(0x50 | key.size()) + key,
                       static_cast<char>(0x50 | value.size()) + value});
  };
  EXPECT_FALSE(platform::parsePropertyList(dictionary(std::string("k\0k", 3), "v")));
  auto kept = platform::parsePropertyList(dictionary("k", std::string("a\0b", 3)));
  ASSERT_TRUE(kept);
  // The library ends such a value at the NUL.
  EXPECT_EQ((*kept)["k"], "a");
}

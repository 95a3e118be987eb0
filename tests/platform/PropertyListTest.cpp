#include "platform/foundation/PropertyList.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include "support/TestSupport.h"

using platform::Value;

namespace {
Value sample() {
  Value v = Value::object();
  v["flag"] = true;
  v["one"] = 1;
  v["real"] = 1.5;
  v["negative"] = -42;
  v["big"] = std::int64_t{1} << 60;
  v["data"] = platform::bytesValue({0x00, 0x01, 0xFF});
  v["text"] = "<a & \"b\"> \xC3\xA9";
  v["list"] = Value::array({1, "two", false, nullptr});
  v["nested"]["skip"] = nullptr;
  v["nested"]["keep"] = "yes";
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
}

TEST(PropertyList, SameContentGivesSameBytes) {
  Value a = Value::object(), b = Value::object();
  a["zeta"] = 1;
  a["alpha"] = "x";
  b["alpha"] = "x";
  b["zeta"] = 1;
  std::string xml = platform::serializePropertyListXML(a);
  EXPECT_EQ(xml, platform::serializePropertyListXML(b));
  EXPECT_LT(xml.find("alpha"), xml.find("zeta"));
  EXPECT_EQ(platform::serializePropertyListXML(Value()), "");
}

TEST(PropertyList, ReadsBinaryFilesAndDates) {
  testing_support::TempDir dir;
  const char* xml =
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>when</key>"
      "<date>2020-02-29T12:34:56Z</date></dict></plist>";
  plist_t root = nullptr;
  plist_from_xml(xml, static_cast<uint32_t>(strlen(xml)), &root);
  char* binary = nullptr;
  uint32_t length = 0;
  plist_to_bin(root, &binary, &length);
  dir.write("Info.plist", std::string(binary, length));
  plist_to_bin_free(binary);
  plist_free(root);

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

namespace {
// A binary property list of arrays only: `members[i]` lists the indexes array i holds.
std::string binaryArrays(const std::vector<std::vector<std::uint32_t>>& members) {
  auto appendBE = [](std::string& out, std::uint64_t value, int size) {
    for (int i = size - 1; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  };
  std::string out = "bplist00";
  std::vector<std::uint64_t> offsets;
  for (const auto& refs : members) {
    offsets.push_back(out.size());
    if (refs.size() < 15) {
      out.push_back(static_cast<char>(0xA0 | refs.size()));
    } else {
      out.push_back(static_cast<char>(0xAF));
      out.push_back(static_cast<char>(0x12));
      appendBE(out, refs.size(), 4);
    }
    for (std::uint32_t ref : refs) appendBE(out, ref, 4);
  }
  std::uint64_t table = out.size();
  for (std::uint64_t offset : offsets) appendBE(out, offset, 4);
  out.append(6, '\0');
  out.push_back(4);  // offset size
  out.push_back(4);  // reference size
  appendBE(out, members.size(), 8);
  appendBE(out, 0, 8);  // the root is object 0
  appendBE(out, table, 8);
  return out;
}
}  // namespace

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
  // Found by the cache manifest fuzz target: a damaged cache manifest with a NUL inside a
  // dictionary key, on which the library itself asserts. A NUL in a value does not refuse
  // the list.
  const std::string damaged(
      "\x62\x70\x6c\x69\x73\x74\x30\x30\xd3\x01\x02\x03\x04\x05\x3d\x5f\x10\x11\x63\x61\x63\x68\x65\x64"
      "\x41\x70\x70\x6c\x69\x63\x61\x74\x69\x6f\x6e\x5d\x63\x61\x63\x68\x65\x64\x45\x6e\x74\x72\x69\x65"
      "\x73\x5f\x10\x12\x6e\x61\x74\x69\x76\x65\x43\x61\x61\x68\x65\x56\x65\x72\x73\x69\x6f\x6e\x5a\x30"
      "\x36\x31\xb4\x35\x36\x37\x38\x39\x30\xd1\x04\x06\xd6\x07\x08\x01\x02\x09\x0a\x0b\x0c\x04\x0d\x28"
      "\x19\x5f\x10\x13\x61\x70\x70\x6c\x69\x63\x61\x74\x69\x6f\x6e\x48\x6f\x73\x74\x6e\x61\x6d\x65\x5f"
      "\x10\x0f\x61\x70\x70\x6c\x69\x63\x61\x74\x69\x6f\x6e\x50\x61\x74\x68\x5c\x63\x61\x63\x68\x65\x64"
      "\x46\x72\x61\x6d\x65\x73\x5d\x63\x61\x63\x68\x65\x64\x56\x65\x72\x73\x69\x6f\x6e\x5e\x31\x32\x37"
      "\x2e\x30\x2e\x30\x2e\x31\x3a\x38\x34\x34\x33\x53\x61\x70\x70\xd3\x0e\x0f\x10\x11\x1f\x24\x5d\x2f"
      "\x61\x70\x70\x2f\x61\x2e\x6a\x73\x3f\x38\x66\x32\x5d\x2f\x61\x70\x70\x2f\x62\x2e\x63\x73\x73\x3f"
      "\x63\x31\x5f\x10\x0f\x2f\x61\x70\x70\x2f\x69\x6e\x64\x65\x78\x2e\x68\x74\x6d\x6c\xd6\x12\x13\x14"
      "\x15\x16\x17\x18\x1b\x1c\x1d\x1e\x0e\x5d\x63\x61\x63\x68\x65\x56\x65\x72\x73\x69\x6f\x6e\x73\x58"
      "\x65\x6e\x63\x6f\x64\x69\x6e\x67\x58\x66\x69\x6c\x65\x4e\x61\x6d\x65\x58\x6d\x69\x6d\x65\x54\x79"
      "\x70\x65\x56\x73\x74\x61\x74\x75\x73\x53\x75\x72\x6c\xd1\x19\x1a\x52\x76\x31\x09\x55\x75\x74\x66"
      "\x2d\x38\x5e\x31\x32\x33\x34\x05\x00\x00\x00\x00\x00\x00\x00\x31\x31\x5f\x10\x0f\x74\x65\x78\x74"
      "\x2f\x6a\x61\x76\x61\x73\x63\x72\x69\x70\x74\x10\x02\xd7\x12\x13\x14\x15\x20\x16\x17\x21\x1b\x22"
      "\x1d\x1a\x23\x0f\x57\x6e\x6f\x43\x61\x63\x68\x65\xd1\x19\x1a\x5e\x31\x32\x33\x34\x35\x36\x37\x38"
      "\x39\x30\x2f\x32\x32\x32\x10\x01\xd7\x12\x13\x14\x15\x25\x16\x17\x26\x1b\x27\x1d\x1a\x1e\x10\x5a"
      "\x70\x72\x65\x42\x75\x6e\x64\x6c\x65\x64\xd1\x19\x1a\x5f\x10\x0f\x2f\x77\x77\x77\x2f\x69\x6e\x64"
      "\x65\x78\x2e\x68\x74\x6d\x6c\xa2\x29\x35\xd7\x2a\x2b\x2c\x16\x2d\x2e\x2f\x0c\x0b\x30\x1e\x31\x33"
      "\x19\x5b\x61\x70\x70\x6c\x69\x63\x61\x74\x69\x6f\x6e\x58\x68\x6f\x73\x74\x6e\x61\x6d\x65\x59\x72"
      "\x65\x73\x6f\x75\x72\x63\x65\x73\x5b\x75\x72\x6c\x4d\x61\x70\x70\x69\x6e\x67\x73\x5f\x10\x12\x75"
      "\x72\x6c\x4d\x61\x70\x70\x69\x6e\x67\x73\x4e\x6f\x43\x61\x63\x68\x65\x5c\x76\x65\x72\x73\x69\x6f"
      "\x6e\x54\x6f\x6b\x65\x6e\xa2\x0e\x0f\xd1\x32\x0e\x59\x2f\x61\x70\x70\x2f\x61\x2e\x6a\x73\xd1\x34"
      "\x0f\x5a\x2f\x61\x70\x70\x2f\x62\x2e\x63\x73\x73\xd6\x36\x2c\x16\x2d\x2e\x2f\x1a\x37\x39\x3a\x3b"
      "\x3c\x5d\x66\x72\x61\x6d\x65\x54\x6f\x44\x65\x6c\x65\x74\x65\xa1\x38\x5d\x2f\x61\x70\x70\x2f\x61"
      "\x2e\x6a\x73\x3f\x39\x39\x39\x10\x03\xd0\xd0\x52\x76\x32\x55\x32\x2e\x30\x2e\x30\x00\x08\x00\x0f"
      "\x00\x23\x00\x31\x00\x46\x00\x51\x00\x54\x00\x61\x00\x77\x00\x89\x00\x96\x00\xa4\x00\xb3\x00\xb7"
      "\x00\xbe\x00\xcc\x00\xda\x00\xec\x00\xf9\x01\x07\x01\x10\x01\x19\x01\x22\x01\x29\x01\x2d\x01\x2c"
      "\x01\x33\x01\x34\x01\x3a\x01\x49\x01\x5b\x01\x5d\x01\x6c\x01\x74\x01\x77\x01\x86\x01\x88\x01\x97"
      "\x01\xa2\x01\xa5\x01\xb7\x01\xba\x01\xc9\x01\xd5\x01\xde\x01\xe8\x01\xf4\x02\x09\x02\x16\x02\x19"
      "\x02\x1c\x02\x26\x02\x29\x02\x34\x02\x41\x02\x4f\x02\x51\x02\x5f\x02\x61\x02\x62\x02\x63\x02\x66"
      "\x00\x00\x00\x00\x00\x00\x02\x01\x00\x00\x00\x00\x00\x00\x00\x3e\x00\x00\x00\x00\x00\x00\x00\x00"
      "\x00\x00\x00\x00\x00\x00\x02\x6c",
      776);
  EXPECT_FALSE(platform::parsePropertyList(damaged));

  auto dictionary = [](const std::string& key, const std::string& value) {
    std::string out = "bplist00";
    out += std::string("\xD1\x01\x02", 3);
    const size_t keyAt = out.size();
    out += static_cast<char>(0x50 | key.size()) + key;
    const size_t valueAt = out.size();
    out += static_cast<char>(0x50 | value.size()) + value;
    const size_t table = out.size();
    out += {char(8), static_cast<char>(keyAt), static_cast<char>(valueAt)};
    out += std::string(6, '\0') + "\x01\x01" + std::string(7, '\0') + "\x03" + std::string(8, '\0') +
           std::string(7, '\0') + static_cast<char>(table);
    return out;
  };
  EXPECT_FALSE(platform::parsePropertyList(dictionary(std::string("k\0k", 3), "v")));
  auto kept = platform::parsePropertyList(dictionary("k", std::string("a\0b", 3)));
  ASSERT_TRUE(kept);
  // The library ends such a value at the NUL.
  EXPECT_EQ((*kept)["k"], "a");
}

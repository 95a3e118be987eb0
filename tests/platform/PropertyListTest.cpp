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
  EXPECT_TRUE((*back)["flag"].is_boolean());
  EXPECT_TRUE((*back)["one"].is_number_integer());
  EXPECT_EQ((*back)["one"], 1);
  EXPECT_TRUE((*back)["real"].is_number_float());
  EXPECT_EQ((*back)["negative"], -42);
  EXPECT_EQ((*back)["big"], std::int64_t{1} << 60);
  ASSERT_TRUE((*back)["data"].is_binary());
  EXPECT_EQ((*back)["data"].get_binary(), (platform::Bytes{0x00, 0x01, 0xFF}));
  EXPECT_EQ((*back)["text"], "<a & \"b\"> \xC3\xA9");
  // Null has no property-list form: left out of arrays and dictionaries.
  EXPECT_EQ((*back)["list"], Value::array({1, "two", false}));
  EXPECT_EQ((*back)["nested"], (Value{{"keep", "yes"}}));
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

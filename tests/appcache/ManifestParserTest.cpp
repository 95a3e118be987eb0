#include <gtest/gtest.h>

#include "CacheTestSupport.h"
#include "appcache/VLCacheOptions.h"
#include "appcache/VLManifestParser.h"

using cache_test::CacheLog;
using platform::Value;

namespace {

class ManifestParserTest : public ::testing::Test {
 protected:
  ManifestParserTest() { CacheLog::shared().clear(); }
  VLManifestParser& parser = *VLManifestParser::sharedInstance();
};

Value manifestJSON(Value manifest) { return Value{{"manifest", std::move(manifest)}}; }

}  // namespace

TEST_F(ManifestParserTest, VersionsAndMappingsAreJoinedAndUnversionedPathsLeftOut) {
  Value json = manifestJSON({
      {"versionToken", "v7"},
      {"urlVersions", {{"/app/scripts/a.js", "?8f2"}, {"/app/c.css", "?c1"}}},
      {"urlMappings",
       {{"/app/a.js", "/app/scripts/a.js"}, {"/app/b.js", "/app/scripts/b.js"}, {"/app/q.js", "/app/scripts/q.js?fixed"}}},
      {"urlMappingsNoCache", {{"/app/c.css", "/app/c.css"}, {"/app/d.css", "/app/d.css"}}},
  });
  auto manifest = parser.getManifestInfo(json);
  ASSERT_TRUE(manifest);
  EXPECT_EQ(manifest->versionToken(), "v7");
  EXPECT_EQ(manifest->urlVersions(), (std::vector<std::string>{"/app/c.css?c1", "/app/scripts/a.js?8f2"}));
  // A URL that already carries a query stays as it is, even without a version of its own.
  EXPECT_EQ(manifest->urlMappings(),
            (VLManifest::Mappings{{"/app/a.js", "/app/scripts/a.js?8f2"}, {"/app/q.js", "/app/scripts/q.js?fixed"}}));
  EXPECT_EQ(manifest->urlMappingsNoCache(), (VLManifest::Mappings{{"/app/c.css", "/app/c.css?c1"}}));
  EXPECT_EQ(parser.getManifestVersion(json), "v7");
  EXPECT_EQ(manifest->urlMappingsValue(),
            (Value{{"/app/a.js", "/app/scripts/a.js?8f2"}, {"/app/q.js", "/app/scripts/q.js?fixed"}}));
  EXPECT_EQ(manifest->urlVersionsValue(), (Value{"/app/c.css?c1", "/app/scripts/a.js?8f2"}));

  // Without "urlVersions" nothing is mapped, a URL with a query included.
  auto bare = parser.getManifestInfo(manifestJSON(
      {{"versionToken", "v8"}, {"urlMappings", {{"/app/q.js", "/app/scripts/q.js?fixed"}}}}));
  ASSERT_TRUE(bare);
  EXPECT_TRUE(bare->urlVersions().empty() && bare->urlMappings().empty() && bare->urlMappingsNoCache().empty());
}

TEST_F(ManifestParserTest, MissingDictionariesAndTokens) {
  EXPECT_TRUE(parser.getManifestInfo(nullptr) == nullptr && !parser.getManifestVersion(nullptr));
  for (const char* what : {"info", "version"})
    EXPECT_TRUE(CacheLog::shared().contains(std::string("VLManifest: Failed to get manifest ") + what +
                                            " with error: invalid or missing dictionary")) << what;

  // A dictionary without "manifest" is an empty manifest without a token.
  auto empty = parser.getManifestInfo(Value{{"other", 1}});
  ASSERT_TRUE(empty);
  EXPECT_TRUE(!empty->versionToken() && empty->urlVersions().empty() && empty->urlMappings().empty());
  EXPECT_EQ(parser.getManifestVersion(Value::object()), std::nullopt);

  EXPECT_TRUE(parser.getManifestUrl("abc") == "manifest.json?abc" &&
              parser.getManifestUrl(std::nullopt) == "manifest.json");
}

TEST_F(ManifestParserTest, ValuesOfTheWrongTypeAreLeftOutWithALogLine) {
  // Not a dictionary at all.
  EXPECT_TRUE(parser.getManifestInfo(Value{1, 2}) == nullptr && parser.getManifestInfo("manifest") == nullptr);
  // "manifest" of the wrong type counts as absent.
  auto wrongManifest = parser.getManifestInfo(Value{{"manifest", Value::array({1})}});
  ASSERT_TRUE(wrongManifest);
  EXPECT_TRUE(!wrongManifest->versionToken() && !parser.getManifestVersion(Value{{"manifest", "x"}}));

  auto manifest = parser.getManifestInfo(manifestJSON({
      {"versionToken", 42},
      {"urlVersions", {{"/a.js", "?1"}, {"/b.js", 7}, {"/c.js", Value::object()}}},
      {"urlMappings", {{"/a", "/a.js"}, {"/b", "/b.js"}, {"/n", nullptr}, {"/x", Value{"/a.js"}}}},
      {"urlMappingsNoCache", "not a dictionary"},
  }));
  ASSERT_TRUE(manifest);
  EXPECT_EQ(manifest->versionToken(), std::nullopt);
  EXPECT_EQ(manifest->urlVersions(), (std::vector<std::string>{"/a.js?1"}));
  // "/b.js" has a version of the wrong type: it is unversioned.
  EXPECT_EQ(manifest->urlMappings(), (VLManifest::Mappings{{"/a", "/a.js?1"}}));
  EXPECT_TRUE(manifest->urlMappingsNoCache().empty());
  for (const char* line : {"Ignored \"versionToken\"", "Ignored the version of /b.js", "Ignored the mapping of /x",
                           "Ignored \"urlMappingsNoCache\""})
    EXPECT_TRUE(CacheLog::shared().contains(line)) << line;

  // "urlVersions" of the wrong type counts as absent, so nothing is mapped.
  auto noVersions = parser.getManifestInfo(manifestJSON(
      {{"urlVersions", Value::array({"/a.js"})}, {"urlMappings", {{"/q", "/q.js?1"}}}}));
  ASSERT_TRUE(noVersions);
  EXPECT_TRUE(noVersions->urlVersions().empty() && noVersions->urlMappings().empty());
}

TEST_F(ManifestParserTest, AManifestWithMoreEntriesThanAVersionMayHaveIsRefused) {
  auto manifestOf = [](size_t versions, size_t mappings) {
    Value urlVersions = Value::object(), urlMappings = Value::object();
    for (size_t i = 0; i < versions; ++i) urlVersions["/app/r" + std::to_string(i) + ".js"] = "?h";
    for (size_t i = 0; i < mappings; ++i) urlMappings["/app/m" + std::to_string(i)] = "/app/r0.js";
    return manifestJSON({{"versionToken", "t"}, {"urlVersions", urlVersions}, {"urlMappings", urlMappings}});
  };
  const size_t cap = VLCacheOptions::kMaximumManifestEntries;
  auto full = parser.getManifestInfo(manifestOf(cap - 10, 10));
  ASSERT_TRUE(full);
  EXPECT_EQ(full->urlVersions().size(), cap - 10);
  // Mappings count as entries too.
  EXPECT_EQ(parser.getManifestInfo(manifestOf(cap - 10, 11)), nullptr);
  EXPECT_EQ(parser.getManifestInfo(manifestOf(cap + 1, 0)), nullptr);
  EXPECT_TRUE(CacheLog::shared().contains("more than the " + std::to_string(cap) + " allowed"));
}

#include <thread>

#include "CacheTestSupport.h"
#include "appcache/VLCacheEntry.h"
#include "appcache/VLCacheOptions.h"
#include "appcache/VLThreadSafeDictionaryWrapper.h"

using cache_test::CacheFixture;
using cache_test::CacheLog;

TEST(VLFileChecksum, HashesContentFilesAndFolders) {
  EXPECT_EQ(VLFileChecksum::contentHashOfData("abc"), "kAFQmDzST7DWlj99KOF_cg");
  EXPECT_EQ(VLFileChecksum::contentHashOfData(""), "1B2M2Y8AsgTpgAmY7PhCfg");
  // Hashes travel in URLs: never "/" or "=", always 22 characters.
  bool sawUnderscore = false;
  for (int i = 0; i < 64; ++i) {
    std::string hash = VLFileChecksum::contentHashOfData(std::string(size_t(i), 'x'));
    EXPECT_TRUE(hash.size() == 22u && hash.find_first_of("/=") == std::string::npos) << hash;
    sawUnderscore |= hash.find('_') != std::string::npos;
  }
  EXPECT_TRUE(sawUnderscore);

  testing_support::TempDir dir;
  EXPECT_EQ(VLFileChecksum::contentHashOfFile(dir.write("abc.txt", "abc")), "kAFQmDzST7DWlj99KOF_cg");
  EXPECT_EQ(VLFileChecksum::contentHashOfFile(dir.path()), "1B2M2Y8AsgTpgAmY7PhCfg");  // a folder: no content
  std::string large(3 * 64 * 1024 + 17, 'q');  // read in several pieces
  EXPECT_EQ(VLFileChecksum::contentHashOfFile(dir.write("large", large)), VLFileChecksum::contentHashOfData(large));
  EXPECT_EQ(VLFileChecksum::contentHashOfFile(dir.file("missing")), std::nullopt);
}

TEST(VLFileChecksum, AUUIDValueKeepsSixteenBytesAndRefusesOtherLengths) {
  const platform::Bytes digest = VLFileChecksum::md5HashOfData("abc");
  ASSERT_EQ(digest.size(), 16u);
  EXPECT_EQ(VLFileChecksum::uuidOfData(digest), digest);
  platform::Bytes edges(16, 0x00);
  edges[0] = 0xff;
  edges[15] = 0xa5;
  EXPECT_EQ(VLFileChecksum::uuidOfData(edges), edges);
  EXPECT_EQ(VLFileChecksum::uuidOfData(platform::Bytes(15, 1)), std::nullopt);
  EXPECT_EQ(VLFileChecksum::uuidOfData(platform::Bytes(17, 1)), std::nullopt);
  EXPECT_EQ(VLFileChecksum::uuidOfData({}), std::nullopt);
}

TEST_F(CacheFixture, MimeTableDefaultsAreCaseSensitiveWithAnOctetStreamFallback) {
  auto helper = VLMimeTypesHelper::sharedInstance();  // the package has no table
  EXPECT_TRUE(CacheLog::shared().contains("Failed to load mime types from manifest") &&
              CacheLog::shared().contains("Loading default mime types"));
  // "JS" is not in the table: the web formats name it, in any case.
  EXPECT_EQ(helper->getMimeTypeForExtension("js") + " " + helper->getMimeTypeForExtension("JS") + " " +
                helper->getMimeTypeForExtension("") + " " + helper->getMimeTypeForExtension("zz-none"),
            "text/javascript text/javascript application/octet-stream application/octet-stream");
}

// What the built-in table does not name comes from the web formats every scheme shares: module
// scripts, WebAssembly, PDF, media, text tracks and fonts; the built-in table keeps its own.
TEST_F(CacheFixture, WebFormatsFollowTheTableForWhatItDoesNotName) {
  auto helper = VLMimeTypesHelper::sharedInstance();
  for (const auto& [extension, type] : std::vector<std::pair<const char*, const char*>>{
           {"mjs", "text/javascript"}, {"wasm", "application/wasm"}, {"pdf", "application/pdf"},
           {"webm", "video/webm"}, {"mp4", "video/mp4"}, {"ogg", "audio/ogg"}, {"oga", "audio/ogg"},
           {"ogv", "video/ogg"}, {"vtt", "text/vtt"}, {"otf", "font/otf"}, {"eot", "application/vnd.ms-fontobject"},
           {"WASM", "application/wasm"}, {"ttf", "application/octet-stream"}, {"woff", "application/font-woff"}})
    EXPECT_EQ(helper->getMimeTypeForExtension(extension), type) << extension;
}

TEST_F(CacheFixture, PackageMimeTableReplacesTheDefaultsOnlyWhenItGivesEntries) {
  auto tableWith = [&](const std::string& text) {
    root.write("package/www/mimetypes.manifest", text);
    VLMimeTypesHelper::resetSharedInstance();
    CacheLog::shared().clear();
    return VLMimeTypesHelper::sharedInstance();
  };
  EXPECT_EQ(tableWith(R"({"mimeTypes": {}})")->getMimeTypeForExtension("css"), "text/css");
  auto one = tableWith(R"({"mimeTypes": {"js": "application/x-js", "bad": 7}})");
  EXPECT_EQ(one->supportedMimeTypes().size(), 1u);
  EXPECT_TRUE(one->getMimeTypeForExtension("js") == "application/x-js" &&
              one->getMimeTypeForExtension("css") == "text/css" &&
              one->getMimeTypeForExtension("png") == "image/png" &&
              one->getMimeTypeForExtension("qqzz") == "application/octet-stream");
  EXPECT_TRUE(CacheLog::shared().contains("the type of \"bad\" is not a string"));

  EXPECT_EQ(tableWith("{not json")->getMimeTypeForExtension("css"), "text/css");
  EXPECT_TRUE(CacheLog::shared().contains("Failed to serialize JSON data"));
  EXPECT_EQ(tableWith(R"({"mimeTypes": ["js"]})")->getMimeTypeForExtension("css"), "text/css");
  EXPECT_TRUE(CacheLog::shared().contains("\"mimeTypes\" is not an object"));
}

TEST(VLThreadSafeDictionaryWrapper, SnapshotsKeysWhileAnotherThreadWrites) {
  VLThreadSafeDictionaryWrapper<int> dictionary;
  dictionary.setObject(std::make_shared<int>(1), "a");
  dictionary.setValue(nullptr, "a");  // null removes
  EXPECT_EQ(dictionary.objectForKey("a"), nullptr);

  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) dictionary.setObject(std::make_shared<int>(i), std::to_string(i));
  });
  size_t seen = 0;
  while (seen < 2000) {
    auto keys = dictionary.allKeys();
    for (const auto& key : keys) ASSERT_NE(dictionary.valueForKey(key), nullptr);
    seen = keys.size();
  }
  writer.join();
}

TEST_F(CacheFixture, CacheEntryDictionaryRoundTripsAndSkipsValuesOfTheWrongType) {
  VLCacheEntry fresh("/app/a.css?h", "key/1", false);
  EXPECT_EQ(fresh.jsonDictionary(),
            platform::Value::parse(R"({"url": "/app/a.css?h", "fileName": "key/1", "cacheVersions": {}})"));
  fresh.healMimeType();
  EXPECT_EQ(fresh.mimeType(), "text/css");
  EXPECT_TRUE(fresh.addCacheVersion("v1") && fresh.addCacheVersion("v1") && !fresh.addCacheVersion(""));
  EXPECT_TRUE(CacheLog::shared().contains("Failed to add version to cache versions dictionary"));
  fresh.setStatus(VLCacheEntryStatusAvailable);
  fresh.setNoCache(true);
  auto copy = VLCacheEntry::initWithDictionary(fresh.jsonDictionary());
  EXPECT_EQ(copy->jsonDictionary(), fresh.jsonDictionary());
  EXPECT_EQ(copy->cacheVersions()->tokens(), std::vector<std::string>{"v1"});

  auto hostile =
      VLCacheEntry::initWithDictionary({{"url", 5}, {"status", 9}, {"preBundled", "yes"}, {"cacheVersions", {"v1"}}});
  EXPECT_TRUE(hostile->url().empty() && hostile->status() == VLCacheEntryStatusToFetch && !hostile->preBundled() &&
              hostile->cacheVersions()->count() == 0u);
  EXPECT_TRUE(CacheLog::shared().contains("Ignoring the cache entry's \"cacheVersions\""));
}

TEST(VLCacheOptions, BoundsPageValuesAndComputesBudgetAndCheckpoints) {
  auto options = VLCacheOptions::fromValue({{"windowSize", 1e12}, {"resourceConnectTimeout", -4},
                                            {"resourceReadTimeout", 1e300}, {"maxNumberOfRetries", -3}});
  EXPECT_TRUE(options.windowSize == VLCacheOptions::kMaximumWindowSize && options.resourceConnectTimeout == 0.0);
  EXPECT_TRUE(options.resourceReadTimeout == VLCacheOptions::kMaximumTimeoutSeconds && !options.maxNumberOfRetries);
  auto typed = VLCacheOptions::fromValue({{"windowSize", "6"}, {"maxNumberOfRetries", 0}});
  EXPECT_TRUE(!typed.windowSize && typed.maxNumberOfRetries == 0);
  EXPECT_EQ(VLCacheOptions::fromValue({{"windowSize", 0.5}}).windowSize, 1);
  EXPECT_FALSE(VLCacheOptions::fromValue("windowSize").windowSize);

  // Without a page value the budget is a fifth of the resources.
  for (auto [given, total, budget] : std::vector<std::tuple<int, int, int>>{
           {-1, 50, 10}, {-1, 60, 12}, {-1, 100, 20}, {0, 100, 0}})
    EXPECT_EQ(VLCacheOptions::calculateMaxNumberOfRetries(given, total), budget) << given << " " << total;
  for (auto [last, now, total, checkpoint] : std::vector<std::tuple<int, int, int, bool>>{
           {0, 50, 100, true}, {0, 25, 100, false}, {40, 70, 100, true}, {0, 1, 3, true}, {0, 2, 3, true},
           {0, 1, 1, false}})
    EXPECT_EQ(VLCacheOptions::isCheckpoint(last, now, total), checkpoint) << last << " " << now << "/" << total;

  // A page asks for at most the cap.
  EXPECT_EQ(VLCacheOptions::fromValue({{"maxNumberOfRetries", 1000000}}).maxNumberOfRetries,
            VLCacheOptions::kMaximumRetries);

  // Besides halfway: every 20 finished resources (a twentieth of a large download), or 5 s
  // after the last checkpoint once one more has finished; never at the end, which the swap
  // persists.
  for (auto [initial, processed, total, last, seconds, due] :
       std::vector<std::tuple<int, int, int, int, double, bool>>{{0, 20, 105, 0, 0, true},
                                                                 {0, 19, 105, 0, 4.9, false},
                                                                 {0, 19, 105, 0, 5, true},
                                                                 {0, 99, 105, 80, 0, false},
                                                                 {0, 100, 105, 80, 0, true},
                                                                 {0, 53, 105, 52, 0, false},
                                                                 {0, 52, 105, 40, 0, true},  // halfway
                                                                 {0, 60, 105, 60, 60, false},
                                                                 {0, 105, 105, 0, 60, false},
                                                                 {40, 40, 105, 0, 60, false},
                                                                 // a twentieth of a large download
                                                                 {0, 999, 20000, 0, 1, false},
                                                                 {0, 1000, 20000, 0, 1, true}})
    EXPECT_EQ(VLCacheOptions::isCheckpointDue(initial, processed, total, last, seconds), due)
        << initial << " " << processed << "/" << total << " last " << last << " after " << seconds;
}

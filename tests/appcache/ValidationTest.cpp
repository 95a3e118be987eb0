#include <future>
#include <thread>

#include "CacheTestSupport.h"
#include "appcache/VLCacheLocations.h"

using cache_test::CacheFixture;
using cache_test::CacheLog;
using cache_test::hashed;

namespace {

std::string validationFailure(const std::string& url, const std::string& path) {
  try {
    VLCacheResources::validateDownloadedResource(VLCacheEntry(url, "f", false), path);
  } catch (const VLException& exception) {
    EXPECT_EQ(exception.name(), "InvalidResourceException");
    return exception.reason();
  }
  return "valid";
}

}  // namespace

TEST_F(CacheFixture, ContentTypeGivesLowerCaseTypeAndCharset) {
  VLCacheEntry entry("/app/a.html", "f", false);
  entry.setEncoding("UTF-8");
  VLCacheResources::processContentType("image/PNG", entry);
  EXPECT_EQ(entry.mimeType() + " " + entry.encoding(), "image/png UTF-8");  // no charset: left as it was
  VLCacheResources::processContentType("Text/HTML; Charset=UTF-8", entry);
  EXPECT_EQ(entry.mimeType() + " " + entry.encoding(), "text/html utf-8");
  VLCacheResources::processContentType(std::nullopt, entry);
  VLCacheResources::processContentType(std::string("text/x\x01y"), entry);
  EXPECT_EQ(entry.mimeType(), "text/html");
  EXPECT_EQ(CacheLog::shared().count("Unable to process content type"), 2u);
}

TEST_F(CacheFixture, ValidationChecksTheHashOfTheQueryOrTheVersionToken) {
  const std::string abc = root.write("abc", "abc"), empty = root.write("empty", ""), missing = root.file("missing");
  // Index, manifest and module information pass when they carry their version token; the
  // token is text, not a pattern.
  const std::string index = root.write("index", "<script>VLManifestLoader.indexVersionToken = \"T1\";</script>");
  const std::string manifest = root.write("manifest", R"({"name":"x","versionToken":"T1"})");
  const std::string dotted = root.write("dotted", R"({"versionToken":"T1x2"})");
  const std::string corrupt = "File is corrupt or invalid";
  for (const auto& [url, file, expected] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {"/app/x.js?kAFQmDzST7DWlj99KOF_cg", abc, "valid"},
           {"/app/x.js", abc, "valid"},  // nothing to compare with
           {"/app/x.js?1B2M2Y8AsgTpgAmY7PhCfg", abc, corrupt},
           {"/app/x.js", empty, "File not found or is empty"},
           {"/app/x.js", missing, "Unable to validate downloaded file"},
           {"/app/index.html?T1", index, "valid"},
           {"/app/manifest.json?T1", manifest, "valid"},
           {"/app/moduleservices/moduleinfo?T1", manifest, "valid"},
           {"/app/manifest.json?T2", manifest, corrupt},
           {"/app/main.js?T1", index, corrupt},
           {"/index.html?T1", index, corrupt},
           {"/app/manifest.json?T1.2", dotted, corrupt}})
    EXPECT_EQ(validationFailure(url, file), expected) << url;
  EXPECT_TRUE(CacheLog::shared().contains("Checksum failed for file /app/x.js?1B2M2Y8AsgTpgAmY7PhCfg. Received hash: "
                                          "1B2M2Y8AsgTpgAmY7PhCfg | Calculated hash: kAFQmDzST7DWlj99KOF_cg"));
}

TEST(VLCacheResources, RefusesResourceURLsThatCouldNameAnotherHost) {
  for (const char* url : {"/app/a.js?h", "/a", "/@x/y", "/app/a b.js"})
    EXPECT_TRUE(VLCacheResources::isAcceptableResourceURL(url)) << url;
  for (const char* url : {"@evil.example/x", ".evil.example/x", "//x", "/", "", "x/y", "/?q",
                          "/app/../../etc/passwd", "/app/./a", "/a\r\nHost: x", "/a\\b"})
    EXPECT_FALSE(VLCacheResources::isAcceptableResourceURL(url)) << url;
  // Encoded dot segments and separators, however deep, as serving refuses them; a query is
  // not a path.
  for (const char* url : {"/app/%2e%2e/etc/passwd", "/app/%2E%2E/x", "/app/..%2fx", "/app/..%2F..%2Fx",
                          "/app/%2e/x", "/app/%252e%252e/x", "/app/a%5cb", "/app/%zz.js"})
    EXPECT_FALSE(VLCacheResources::isAcceptableResourceURL(url)) << url;
  for (const char* url : {"/app/a%20b.js", "/app/..x.js?h", "/app/a.js?..%2f", "/app/%C3%A9.js"})
    EXPECT_TRUE(VLCacheResources::isAcceptableResourceURL(url)) << url;
}

TEST_F(CacheFixture, StoredFilesReplaceTheOldOneByRenameAndFailuresNeverLand) {
  VLCacheEntry entry("/app/a.js?" + VLFileChecksum::contentHashOfData("new"), "key/a", false);
  std::string destination = localFile(entry);
  root.write("data/Library/Application Support/VLNativeCache/key/a", "old");

  EXPECT_EQ(VLCacheResources::storeDownloadedFile(entry, root.write("t1", "corrupt")), "File is corrupt or invalid");
  EXPECT_EQ(cache_test::readFile(destination), "old");

  // A reader never finds the file missing while new versions land.
  std::atomic<bool> done{false}, sawGap{false};
  std::thread reader([&] {
    while (!done) sawGap = sawGap || !platform::fs::exists(destination);
  });
  for (int i = 0; i < 200; ++i)
    ASSERT_EQ(VLCacheResources::storeDownloadedFile(entry, root.write("t2", "new")), std::nullopt);
  done = true;
  reader.join();
  EXPECT_TRUE(!sawGap && cache_test::readFile(destination) == "new");
  EXPECT_EQ(platform::fs::contentsOfDirectory(destination.substr(0, destination.rfind('/'))),
            std::vector<std::string>{"a"});

  // A file name from a tampered manifest never leads out of the cache folder.
  entry.setFileName("../../../escape");
  EXPECT_EQ(VLCacheLocations::getLocalFilePath(entry), std::nullopt);
  EXPECT_TRUE(VLCacheResources::storeDownloadedFile(entry, root.write("t3", "new")).has_value());
}

TEST_F(CacheFixture, SingleDownloadReportsFailureStoreAndSuccess) {
  auto session = makeSession(4);
  serve("/app/good.css", "body{}", "Text/CSS; charset=ISO-8859-1");
  serve("/app/bad.css", "tampered");
  auto run = [&](const std::string& url) {
    auto entry = std::make_shared<VLCacheEntry>(url, "key/" + url.substr(5, 3), false);
    std::promise<bool> result;
    VLCacheResources::downloadResourceSync(entry, platform::URLRequest(*platform::URL::parse(server.url(url))), session,
                                           [&](bool success) { result.set_value(success); });
    EXPECT_EQ(result.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    return entry;
  };
  auto missing = run("/app/nothing.js");
  EXPECT_EQ(missing->status(), VLCacheEntryStatusFailed);
  EXPECT_TRUE(CacheLog::shared().contains("Failed to download resource /app/nothing.js: HTTP status 404"));

  auto bad = run(hashed("/app/bad.css", "body{}"));
  EXPECT_TRUE(bad->status() == VLCacheEntryStatusToFetch && !platform::fs::exists(localFile(*bad)));

  auto good = run(hashed("/app/good.css", "body{}"));
  EXPECT_EQ(good->status(), VLCacheEntryStatusAvailable);
  EXPECT_EQ(cache_test::readFile(localFile(*good)) + " " + good->mimeType() + " " + good->encoding(),
            "body{} text/css iso-8859-1");
}

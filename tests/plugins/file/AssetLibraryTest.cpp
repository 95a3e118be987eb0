#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "FileFixture.h"
#include "platform/foundation/Strings.h"
#include "platform/photos/PhotoLibrary.h"
#include "plugins/file/HBRAssetLibraryFilesystem.h"

namespace filetest {
namespace {

class AssetLibraryTest : public FileFixture {
 protected:
  void SetUp() override {
    FileFixture::SetUp();
    content = "0123456789abcdefghijklmnopqrstuvwxyz";
    asset = *platform::photos::PhotoLibrary().addData(content, "jpg");
    local = "hbrfile://localhost/assets-library" + asset.substr(std::string("assets-library:/").size());
  }
  void TearDown() override {
    platform::photos::PhotoLibrary::setAuthorized(true);
    FileFixture::TearDown();
  }
  std::string content;
  std::string asset;  // assets-library://asset/asset.JPG?id=...&ext=JPG
  std::string local;  // the same asset as an "hbrfile" URL
};

TEST_F(AssetLibraryTest, BothURLFormsNameTheSameEntry) {
  EXPECT_EQ(plugin->fileSystems()[2]->name(), "assets-library");
  std::string fullPath = asset.substr(std::string("assets-library:/").size());
  for (const std::string& url : {asset, local}) {
    Reply entry = call("resolveLocalFileSystemURI", {url});
    EXPECT_EQ(entry.status, HBRResultStatus::OK) << url;
    EXPECT_TRUE(entry.message["isFile"] == true && entry.message["filesystemName"] == "assets-library") << url;
    EXPECT_TRUE(entry.message["fullPath"] == fullPath && entry.message["nativeURL"] == asset) << entry.message.dump();
    EXPECT_EQ(entry.message["name"], fullPath.substr(std::string("/asset/").size()));
  }
  // The library is not asked: an asset that is not there still has an entry.
  EXPECT_EQ(call("resolveLocalFileSystemURI", {"assets-library://asset/asset.JPG?id=1&ext=JPG"}).message["isFile"], true);

  auto fs = std::dynamic_pointer_cast<HBRAssetLibraryFilesystem>(plugin->fileSystemByName("assets-library"));
  EXPECT_EQ(fs->makeEntryForPath("/asset/x.JPG?id=1&ext=JPG", true)["fullPath"], "/asset/x.JPG?id=1&ext=JPG/");
  EXPECT_EQ(fs->filesystemPathForURL(HBRFilesystemURL::fileSystemURLWithString(asset)), "/asset.JPG");
  EXPECT_EQ(fs->filesystemPathForURL(HBRFilesystemURL::fileSystemURLWithString(local)), fullPath);
  delegate->transformer = [](const platform::URL& url) { return *platform::URL::parse(url.absoluteString() + "#seen"); };
  EXPECT_EQ(call("resolveLocalFileSystemURI", {asset}).message["nativeURL"], asset + "#seen");

  // URLs too short to hold an asset are an error, not a crash.
  for (const char* shortURL : {"hbrfile://localhost/assets-library", "hbrfile://localhost/assets-library/",
                               "assets-library:", "assets-library://"}) {
    EXPECT_FILE_ERROR(call("readAsText", {shortURL, "UTF-8"}), IOException, 1);
    Reply metadata = call("getFileMetadata", {shortURL});
    EXPECT_TRUE(metadata.answered && metadata.status != HBRResultStatus::OK) << shortURL;
  }
}

TEST_F(AssetLibraryTest, ReadsWholeAssetsRangesAndMetadata) {
  for (const std::string& url : {asset, local}) EXPECT_EQ(call("readAsText", {url, "UTF-8"}).message, content);
  // (start, end) -> text; ranges past the end are clamped to the asset, however large.
  for (auto [start, end, expected] : std::vector<std::tuple<std::int64_t, std::int64_t, std::string>>{
           {10, 20, content.substr(10, 10)}, {0, -1, content}, {5, 0, content.substr(5)},
           {30, 4000000000000, content.substr(30)}, {1000, 2000, ""}})
    EXPECT_EQ(call("readAsText", {asset, "UTF-8", start, end}).message, expected) << start << "-" << end;
  EXPECT_EQ(call("readAsDataURL", {asset}).message.get<std::string>().substr(0, 23), "data:image/jpeg;base64,");

  Reply metadata = call("getFileMetadata", {asset});
  EXPECT_EQ(metadata.status, HBRResultStatus::OK);
  EXPECT_EQ(Value({metadata.message["size"], metadata.message["type"], metadata.message["fullPath"]}),
            Value({content.size(), "image/jpeg", asset.substr(std::string("assets-library:/").size())}));
  EXPECT_TRUE(platform::endsWith(metadata.message["name"].get<std::string>(), ".JPG"));
  EXPECT_GT(metadata.message["lastModifiedDate"].get<double>(), 1e12);

  std::string missing = "assets-library://asset/asset.JPG?id=nothing&ext=JPG";
  EXPECT_FILE_ERROR(call("readAsText", {missing, "UTF-8"}), IOException, 1);
  EXPECT_FILE_ERROR(call("getFileMetadata", {missing}), IOException, 1);
  EXPECT_FILE_ERROR(call("readAsText", {"assets-library://asset/asset.JPG?id=..%2F..%2Fetc&ext=JPG", "UTF-8"}),
                    IOException, 1);

  platform::photos::PhotoLibrary::setAuthorized(false);
  testing_support::LogCapture log;
  EXPECT_FILE_ERROR(call("readAsText", {asset, "UTF-8"}), IOException, 2);
  EXPECT_TRUE(log.contains("Error: User denied access"));
  Reply denied = call("getFileMetadata", {asset});
  EXPECT_TRUE(denied.status == HBRResultStatus::IOException && denied.message == "User denied access");
}

TEST_F(AssetLibraryTest, RefusesEveryChangeAndCopiesIntoALocalFileSystem) {
  for (const auto& [action, arguments] : std::vector<std::pair<std::string, Value>>{
           {"getFile", {asset, "x"}}, {"removeRecursively", {asset}}, {"readEntries", {asset}}}) {
    Reply reply = call(action, arguments);
    EXPECT_TRUE(reply.status == HBRResultStatus::MalformedUrlException &&
                reply.message == action + " not supported for assets-library URLs.") << action;
  }
  EXPECT_FILE_ERROR(call("getParent", {asset}), IOException, 4);
  EXPECT_FILE_ERROR(call("remove", {asset}), IOException, 9);
  EXPECT_FILE_ERROR(call("truncate", {asset, 0}), IOException, 6);
  EXPECT_FILE_ERROR(call("write", {asset, "x", 0}), IOException, 6);
  Reply metadata = call("setMetadata", {asset, {{"com.apple.MobileBackup", 1}}});
  EXPECT_TRUE(metadata.status == HBRResultStatus::Error && metadata.message.is_null());
  dir.write("data/Documents/into/.keep", "");
  EXPECT_FILE_ERROR(call("copyTo", {url("into/.keep"), asset, "y"}), IOException, 9);
  EXPECT_EQ(call("readAsText", {asset, "UTF-8"}).message, content);

  for (const char* action : {"copyTo", "moveTo"}) {
    Reply reply = call(action, {asset, url("into"), std::string(action) + ".jpg"});
    EXPECT_EQ(reply.status, HBRResultStatus::OK) << reply.message.dump();
    EXPECT_EQ(platform::fs::readFile(documents("into/" + std::string(action) + ".jpg")), content);
  }
  EXPECT_EQ(platform::photos::PhotoLibrary().allAssets().size(), 1u);
}

// Another program puts a link to a file elsewhere, or a FIFO, into the library's folder.
TEST_F(AssetLibraryTest, LinksAndFifosInTheLibraryAreNoAssets) {
  testing_support::TempDir outside;
  outside.write("passwd", "root:x:0:0");
  std::string folder = platform::photos::PhotoLibrary::folder();
  ASSERT_EQ(::symlink(outside.file("passwd").c_str(), (folder + "/link.JPG").c_str()), 0);
  ASSERT_EQ(::mkfifo((folder + "/pipe.JPG").c_str(), 0600), 0);
  dir.write("data/Documents/into/.keep", "");
  for (const char* id : {"link", "pipe"}) {
    std::string planted = "assets-library://asset/asset.JPG?id=" + std::string(id) + "&ext=JPG";
    EXPECT_FILE_ERROR(call("readAsText", {planted, "UTF-8"}), IOException, 1);
    EXPECT_NE(call("copyTo", {planted, url("into"), std::string(id) + ".jpg"}).status, HBRResultStatus::OK);
    EXPECT_FALSE(platform::fs::exists(documents("into/" + std::string(id) + ".jpg"))) << id;
  }
  EXPECT_EQ(platform::photos::PhotoLibrary().allAssets().size(), 1u);

  // An asset replaced by a link after it was found is not read through the link.
  auto found = platform::photos::PhotoLibrary().assetForURLNow(*platform::URL::parse(asset));
  ASSERT_TRUE(found.asset);
  platform::fs::remove(found.asset->path);
  ASSERT_EQ(::symlink(outside.file("passwd").c_str(), found.asset->path.c_str()), 0);
  char buffer[16] = {};
  std::optional<platform::Error> failure;
  EXPECT_EQ(found.asset->getBytes(buffer, 0, sizeof buffer, &failure), 0u);
  EXPECT_TRUE(failure);
}

TEST_F(AssetLibraryTest, ARequestWhoseAnswerThrowsGetsTheFailureInstead) {
  std::promise<std::string> failed;
  platform::photos::PhotoLibrary().assetForURL(
      *platform::URL::parse(asset), [](std::optional<platform::photos::Asset>) { throw std::bad_alloc(); },
      [&failed](const platform::Error& error) { failed.set_value(error.localizedDescription()); });
  auto answer = failed.get_future();
  ASSERT_EQ(answer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(answer.get().empty());
}

}  // namespace
}  // namespace filetest

#include <unistd.h>

#include "FileFixture.h"

namespace filetest {
namespace {

TEST(LocalFilesystemPaths, NormalisesAndKeepsWholeComponents) {
  for (auto [path, normal] : std::vector<std::pair<const char*, const char*>>{
           {"/a/b/../c", "/a/c"}, {"/a/b/../../c", "/c"}, {"/../../x", "/x"}, {"a/./b//c/", "a/b/c"}})
    EXPECT_EQ(HBRLocalFilesystem::normalizePath(path), normal) << path;
  testing_support::TempDir temp;
  HBRLocalFilesystem fs("t", temp.file("tmp"));
  EXPECT_EQ(fs.fullPathForFileSystemPath(temp.file("tmp/a")), "/a");
  EXPECT_EQ(fs.fullPathForFileSystemPath(temp.file("tmp")), "");
  EXPECT_EQ(fs.fullPathForFileSystemPath(temp.file("tmpdata/a")), std::nullopt);
  EXPECT_EQ(fs.filesystemPathForFullPath("/../../etc/passwd"), temp.file("tmp/etc/passwd"));
  EXPECT_EQ(fs.filesystemPathForFullPath("/a/./b?x=1"), temp.file("tmp/a/b"));
  // A root reached through a link still takes the real paths of its files.
  platform::fs::createDirectory(temp.file("real/sub"), true);
  ASSERT_EQ(::symlink(temp.file("real").c_str(), temp.file("alias").c_str()), 0);
  HBRLocalFilesystem aliased("a", temp.file("alias"));
  ASSERT_TRUE(aliased.URLforFilesystemPath(temp.file("real/sub/f.txt")));
  EXPECT_EQ(aliased.URLforFilesystemPath(temp.file("real/sub/f.txt"))->fullPath(), "/sub/f.txt");
  EXPECT_EQ(aliased.filesystemPathForFullPath("/sub/f.txt"), temp.file("alias/sub/f.txt"));
}

// Every way out of a root the page might try, and the folders it must not change.
TEST_F(FileFixture, NoPathLeavesItsRoot) {
  testing_support::TempDir outside;
  outside.write("secret.txt", "secret");
  dir.write("data/Documents/inside.txt", "inside");
  ASSERT_EQ(::symlink(outside.path().c_str(), documents("link").c_str()), 0);
  ASSERT_EQ(::symlink(outside.file("secret.txt").c_str(), documents("secret-link.txt").c_str()), 0);
  ASSERT_EQ(::symlink(documents("inside.txt").c_str(), documents("inner-link.txt").c_str()), 0);
  testing_support::LogCapture log;

  const std::string climbs[] = {url("../../../../../../../../" + outside.file("secret.txt").substr(1)),
                                url("%2e%2e/%2e%2e/%2e%2e/%2e%2e/%2e%2e/%2e%2e/%2e%2e" + outside.file("secret.txt"))};
  for (const std::string& climb : climbs)
    EXPECT_FILE_ERROR(call("readAsText", {climb, "UTF-8", 0, -1}), IOException, 1);
  EXPECT_FILE_ERROR(call("readAsText", {url("link/secret.txt"), "UTF-8", 0, -1}), IOException, 2);
  EXPECT_FILE_ERROR(call("readAsText", {url("secret-link.txt"), "UTF-8", 0, -1}), IOException, 2);
  EXPECT_TRUE(log.contains("leads outside the file system's root"));
  EXPECT_EQ(call("readAsText", {url("inner-link.txt"), "UTF-8", 0, -1}).message, "inside");
  EXPECT_FILE_ERROR(call("write", {url("link/secret.txt"), "owned", 0}), IOException, 2);
  EXPECT_FILE_ERROR(call("getFile", {url("link"), "new.txt", Value{{"create", true}}}), IOException, 2);
  EXPECT_FILE_ERROR(call("getFile", {url(""), "link/new.txt", Value{{"create", true}}}), IOException, 2);
  EXPECT_FILE_ERROR(call("readEntries", {url("link")}), IOException, 2);
  EXPECT_FILE_ERROR(call("removeRecursively", {url("link")}), IOException, 2);
  EXPECT_FILE_ERROR(call("copyTo", {url("link/secret.txt"), url(""), "stolen.txt"}), IOException, 2);
  EXPECT_FILE_ERROR(call("copyTo", {url("inside.txt"), url("link"), "planted.txt"}), IOException, 2);
  EXPECT_FILE_ERROR(call("copyTo", {url("inside.txt"), url(""), "../planted.txt"}), IOException, 5);
  EXPECT_FILE_ERROR(call("moveTo", {url("inside.txt"), url(""), ".."}), IOException, 5);
  EXPECT_FILE_ERROR(call("copyTo", {url("inside.txt"), url(""), "a/b"}), IOException, 5);
  EXPECT_FILE_ERROR(call("copyTo", {platform::URL::fileURL(outside.file("secret.txt")).absoluteString(), url("")}),
                    IOException, 1);
  EXPECT_EQ(call("testFileExists", {outside.file("secret.txt")}).message, 0);
  EXPECT_EQ(call("testDirectoryExists", {"/etc"}).message, 0);

  EXPECT_TRUE(platform::fs::readFile(outside.file("secret.txt")) == "secret" &&
              platform::fs::contentsOfDirectory(outside.path()) == std::vector<std::string>{"secret.txt"});
  EXPECT_TRUE(platform::fs::exists(documents("inside.txt")));
  EXPECT_FALSE(platform::fs::exists(platform::paths::dataRoot() + "/planted.txt"));

  // "root" is the data root, not the machine's; "bundle" is read-only.
  EXPECT_FILE_ERROR(call("readAsText", {url("../../../etc/hostname", "root"), "UTF-8", 0, -1}), IOException, 1);
  EXPECT_EQ(call("readAsText", {url("Documents/inside.txt", "root"), "UTF-8", 0, -1}).message, "inside");
  EXPECT_EQ(call("readAsText", {url("www/index.html", "bundle"), "UTF-8", 0, -1}).message, "<html></html>");
  EXPECT_FILE_ERROR(call("write", {url("www/index.html", "bundle"), "x", 0}), IOException, 6);
  EXPECT_FILE_ERROR(call("truncate", {url("www/index.html", "bundle"), 0}), IOException, 6);
  EXPECT_FILE_ERROR(call("remove", {url("www/index.html", "bundle")}), IOException, 6);
  EXPECT_FILE_ERROR(call("getFile", {url("www", "bundle"), "new", Value{{"create", true}}}), IOException, 6);
  EXPECT_FILE_ERROR(call("copyTo", {url("inside.txt"), url("www", "bundle")}), IOException, 6);
  EXPECT_FILE_ERROR(call("moveTo", {url("www/index.html", "bundle"), url("")}), IOException, 6);
  EXPECT_EQ(platform::fs::readFile(dir.file("package/www/index.html")), "<html></html>");
}

TEST_F(FileFixture, RootsAreNeverRemoved) {
  dir.write("data/Documents/keep.txt", "k");
  for (const std::string& root : {std::string("hbrfile://localhost/persistent/"), std::string("hbrfile://localhost/persistent"),
                                  url("a/.."), url("."), url("%2e%2e")}) {
    EXPECT_FILE_ERROR(call("remove", {root}), IOException, 6);
    EXPECT_FILE_ERROR(call("removeRecursively", {root}), IOException, 6);
  }
  EXPECT_FILE_ERROR(call("moveTo", {url(""), url("", "temporary"), "docs"}), IOException, 6);
  EXPECT_TRUE(platform::fs::exists(documents("keep.txt")));
}

TEST_F(FileFixture, FailuresAreNeverReportedAsSuccess) {
  // Every action answers a URL that names no file system, or no URL at all.
  for (const char* action : {"getFile", "getDirectory", "getParent", "setMetadata", "remove", "removeRecursively",
                             "readEntries", "truncate", "write", "getFileMetadata", "readAsDataURL",
                             "readAsArrayBuffer", "readAsBinaryString", "copyTo", "moveTo"}) {
    Reply unknown = call(action, {"hbrfile://localhost/nosuch/x", "hbrfile://localhost/nosuch/y", 0});
    EXPECT_TRUE(unknown.answered && unknown.status != HBRResultStatus::OK) << action;
    EXPECT_TRUE(call(action, Value::array()).answered) << action;
    EXPECT_TRUE(call(action, {Value{{"deep", {1, 2}}}, 3.5, nullptr}).answered) << action;
  }

  // A write that stops short is an error, not a count of what made it.
  Reply shortWrite = withFileSizeLimit(10, [&] { return call("write", {url("short.txt"), std::string(100, 'x'), 0}); });
  EXPECT_TRUE(shortWrite.status == HBRResultStatus::Error && shortWrite.message == Value(9)) << shortWrite.message;

  // A file that is there but cannot be cut is not appended to.
  dir.write("data/Documents/folder/x", "x");
  EXPECT_NE(call("write", {url("folder"), "data", 0}).status, HBRResultStatus::OK);
}

}  // namespace
}  // namespace filetest

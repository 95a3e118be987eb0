#include "FileFixture.h"
#include "host/HBRURLProtocolSchemeHandler.h"
#include "platform/webkit/HeadlessWebView.h"
#include "plugins/file/HBRFilesystemURL.h"
#include "plugins/file/HBRFilesystemURLProtocol.h"

namespace filetest {
namespace {

TEST(FilesystemURL, ParsesNamesAndFullPaths) {
  using Name = std::optional<std::string>;
  for (const auto& [text, name, fullPath] : std::vector<std::tuple<const char*, Name, Name>>{
           {"hbrfile://localhost/persistent/a%20b.txt", "persistent", "/a b.txt"},
           {"hbrfile://localhost/persistent", "persistent", ""}, {"hbrfile://localhost/persistent/", "persistent", ""},
           {"hbrfile://localhost/", std::nullopt, ""}, {"hbrfile://example/persistent/x", std::nullopt, std::nullopt},
           {"hbrfile://localhost/temporary/a.txt?v=2", "temporary", "/a.txt?v=2"},
           {"hbrfile://localhost/temporary/d/%2e%2e/e", "temporary", "/d/../e"},
           {"assets-library://asset/asset.JPG?id=12&ext=JPG", "assets-library", "/asset/asset.JPG?id=12&ext=JPG"},
           {"HBRFILE://localhost/persistent/x", std::nullopt, std::nullopt},
           {"https://localhost/persistent/x", std::nullopt, std::nullopt}}) {
    HBRFilesystemURL url = HBRFilesystemURL::fileSystemURLWithString(text);
    EXPECT_TRUE(url.fileSystemName() == name && url.fullPath() == fullPath) << text;
  }
  EXPECT_EQ(HBRFilesystemURL::fileSystemURLWithString("hbrfile://localhost/persistent/a%20b.txt").absoluteURL(),
            "hbrfile://localhost/persistent/a b.txt");
  HBRFilesystemURL broken = HBRFilesystemURL::fileSystemURLWithString("not a url");
  EXPECT_FALSE(broken.url() || broken.fileSystemName());
}

TEST(FilesystemURLProtocol, TakesOnlyItsSchemeAndComparesResourceSpecifiers) {
  auto request = [](const char* text) { return platform::URLRequest(*platform::URL::parse(text)); };
  EXPECT_TRUE(HBRFilesystemURLProtocol::canInitWithRequest(request("hbrfile://localhost/persistent/a")));
  for (const char* other : {"HBRFILE://localhost/persistent/a", "file:///etc/passwd"})
    EXPECT_FALSE(HBRFilesystemURLProtocol::canInitWithRequest(request(other))) << other;
  EXPECT_TRUE(HBRFilesystemURLProtocol::requestIsCacheEquivalent(request("hbrfile://localhost/p/a"),
                                                                 request("hbrfile://localhost/p/a")));
  EXPECT_FALSE(HBRFilesystemURLProtocol::requestIsCacheEquivalent(request("hbrfile://localhost/p/a"),
                                                                  request("hbrfile://localhost/p/b")));
}

// Loads URLs the way the web view does: through the scheme handler the engine registers for
// "hbrfile", which hands each request to the registered URL protocol.
class FileURLLoading : public FileFixture {
 protected:
  std::shared_ptr<platform::webkit::HeadlessWebView::RecordedTask> load(const std::string& text) {
    auto task = std::make_shared<platform::webkit::HeadlessWebView::RecordedTask>(
        platform::URLRequest(*platform::URL::parse(text)));
    handler->startURLSchemeTask(*webView, task);
    platform::MainLoop::runUntil([&] { return task->finished || task->error; }, 5);
    return task;
  }
  // Every request here is the application page's own (the engine's rule has tests of its own).
  std::shared_ptr<HBRURLProtocolSchemeHandler> handler = std::make_shared<HBRURLProtocolSchemeHandler>(
      [](const platform::webkit::WebView&, const platform::URLRequest&) { return true; });
  std::shared_ptr<platform::webkit::HeadlessWebView> webView = std::make_shared<platform::webkit::HeadlessWebView>();
};

TEST_F(FileURLLoading, AnswersFilesWithTheirTypeAndEverythingElseWith404) {
  dir.write("data/Documents/pic.png", std::string("\x89PNG\r\n\x1a\n\0\xff", 10));
  auto found = load(url("pic.png"));
  ASSERT_TRUE(found->finished && found->response);
  EXPECT_TRUE(found->response->statusCode() == 200 && found->data == std::string("\x89PNG\r\n\x1a\n\0\xff", 10));
  EXPECT_EQ(found->response->valueForHTTPHeaderField("Content-Type"), "image/png");
  EXPECT_EQ(found->response->valueForHTTPHeaderField("Cache-Control"), "no-cache");
  EXPECT_EQ(found->response->valueForHTTPHeaderField("X-Content-Type-Options"), "nosniff");

  for (const std::string& missing : {url("nothing.png"), std::string("hbrfile://localhost/nosuchfs/pic.png"),
                                     url("../../../../../../etc/passwd")}) {
    auto task = load(missing);
    ASSERT_TRUE(task->finished && task->response) << missing;
    EXPECT_TRUE(task->response->statusCode() == 404 &&
                task->response->valueForHTTPHeaderField("Cache-Control") == "no-cache")
        << missing;
    EXPECT_FALSE(task->response->valueForHTTPHeaderField("Content-Type") || !task->data.empty()) << missing;
  }
  EXPECT_EQ(handler->runningCount(), 0u);

  EXPECT_TRUE(load("other://localhost/x")->error);
}

TEST(MimeTypes, KnownExtensionsAndTheFallbacks) {
  for (const auto& [path, type] : std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>>{
           {"/a/b.png", "image/png"}, {"/a/x.wavezz", "audio/wav"}, {"/a/x.csszz", "text/css"},
           {"/a/x.qqzz", std::nullopt}, {"/a/noextension", std::nullopt}, {std::nullopt, std::nullopt}})
    EXPECT_EQ(HBRLocalFilesystem::getMimeTypeFromPath(path), type) << path.value_or("none");
}

}  // namespace
}  // namespace filetest

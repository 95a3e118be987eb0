#include <unistd.h>

#include "HostPackageFixture.h"
#include "host/HBRURLSchemeHandler.h"

using namespace hosttest;
using Task = platform::webkit::HeadlessWebView::RecordedTask;

class SchemeHandlerTest : public HostPackageTest {
 protected:
  std::string preferences() const override { return pref("scheme", "app"); }
  std::shared_ptr<Task> get(const std::string& url) {
    auto parsed = platform::URL::parse(url);
    EXPECT_TRUE(parsed) << url;
    return parsed ? web()->startSchemeTask(platform::URLRequest(*parsed)) : nullptr;
  }
  static int status(const std::shared_ptr<Task>& task) {
    return task && task->response && task->response->isHTTP() ? task->response->statusCode() : -1;
  }
};

TEST_F(SchemeHandlerTest, TheRootAndPathsWithoutExtensionServeTheStartPage) {
  start();
  for (const char* url : {"app://localhost/", "app://localhost/orders/42", "app://localhost"}) {
    auto task = get(url);
    ASSERT_TRUE(task && task->finished) << url;
    EXPECT_EQ(status(task), 200) << url;
    EXPECT_EQ(task->data, "<html>start</html>") << url;
    EXPECT_EQ(task->response->valueForHTTPHeaderField("content-type"), "text/html");
    EXPECT_EQ(task->response->valueForHTTPHeaderField("Cache-Control"), "no-cache");
    EXPECT_EQ(task->response->allHeaderFields().size(), 2u);
  }
}

TEST_F(SchemeHandlerTest, FilesAndMediaAnswers) {
  start();
  auto script = get("app://localhost/app.js?v=2");
  EXPECT_EQ(status(script), 200);
  EXPECT_EQ(script->data, "var app = 1;");
  EXPECT_EQ(script->response->url().absoluteString(), "app://localhost/app.js?v=2");

  // Media gets a plain response that announces its length.
  auto song = get("app://localhost/media/song.MP3");
  ASSERT_TRUE(song->response);
  EXPECT_FALSE(song->response->isHTTP());
  EXPECT_EQ(song->response->expectedContentLength(), 9);
  EXPECT_EQ(song->response->mimeType(), HBRURLSchemeHandler::getMimeType("MP3"));
  EXPECT_EQ(song->data, "ID3-bytes");
  EXPECT_TRUE(song->finished);
}

TEST_F(SchemeHandlerTest, MissingFilesAre404WithTheirTypeAndNoCaching) {
  start();
  auto task = get("app://localhost/missing.js");
  EXPECT_EQ(status(task), 404);
  EXPECT_EQ(task->response->valueForHTTPHeaderField("Content-Type"),
            HBRURLSchemeHandler::getMimeType("js"));
  EXPECT_NE(HBRURLSchemeHandler::getMimeType("js"), "application/octet-stream");
  EXPECT_EQ(task->response->valueForHTTPHeaderField("Cache-Control"), "no-cache");
  EXPECT_TRUE(task->data.empty());
  EXPECT_TRUE(task->finished);
  // Missing media is a 404 as well, not an empty media answer.
  EXPECT_EQ(status(get("app://localhost/media/none.mp3")), 404);
  EXPECT_EQ(HBRURLSchemeHandler::getMimeType("zz-no-such-type"), "application/octet-stream");
  EXPECT_TRUE(HBRURLSchemeHandler::isMediaExtension("FLAC"));
}

TEST_F(SchemeHandlerTest, AppFilePathsServeOnlyThePackageAndTheDataRoot) {
  start();
  std::string document = dir.write("data/Documents/note.txt", "mine");
  std::string secret = dir.write("elsewhere/secret.txt", "not yours");
  ASSERT_EQ(::symlink(secret.c_str(), (dir.file("data/Documents") + "/link.txt").c_str()), 0);

  auto ok = get("app://localhost/_app_file_" + document);
  EXPECT_EQ(status(ok), 200);
  EXPECT_EQ(ok->data, "mine");
  EXPECT_EQ(status(get("app://localhost/_app_file_" + dir.file("package/config.xml"))), 200);
  // Every occurrence of the prefix goes, as the web application's file URLs expect.
  EXPECT_EQ(status(get("app://localhost/_app_file_/_app_file_" + document)), 200);

  testing_support::LogCapture log;
  for (const std::string& path :
       {std::string("/etc/passwd"), secret, dir.file("data/Documents/../../elsewhere/secret.txt"),
        dir.file("data/Documents/%2e%2e/%2e%2e/elsewhere/secret.txt"),
        dir.file("data/Documents/link.txt")}) {
    auto task = get("app://localhost/_app_file_" + path);
    EXPECT_EQ(status(task), 404) << path;
    EXPECT_TRUE(task->data.empty()) << path;
  }
  EXPECT_TRUE(log.contains("Refused to serve"));
}

TEST_F(SchemeHandlerTest, DotDotNeverLeavesTheWebFolder) {
  start();
  for (const char* url :
       {"app://localhost/%2e%2e/config.xml", "app://localhost/sub/%2E%2E/%2e%2e/Info.plist",
        "app://localhost/..%2fconfig.xml"}) {
    auto task = get(url);
    EXPECT_EQ(status(task), 404) << url;
    EXPECT_TRUE(task->data.empty()) << url;
  }
  EXPECT_EQ(get("app://localhost/sub/%2e%2e/app.js")->data, "var app = 1;");  // stays inside: fine
}

TEST_F(SchemeHandlerTest, PluginsTakeTasksOverAndStopsReachTheTaker) {
  start();
  auto taker = std::make_shared<ProbePlugin>("ATaker");
  taker->takeSchemeTasksContaining = "/stream/";
  auto bystander = std::make_shared<ProbePlugin>("ZBystander");
  vc->registerPlugin(taker, "ATaker");
  vc->registerPlugin(bystander, "ZBystander");

  auto taken = get("app://localhost/stream/live.mp4");
  EXPECT_FALSE(taken->response);
  EXPECT_FALSE(taken->finished);
  EXPECT_EQ(bystander->schemeQuestions, 0);  // the walk ends at the taker

  // A later task asks every plugin; the stop of the first still goes to its taker.
  EXPECT_EQ(status(get("app://localhost/app.js")), 200);
  EXPECT_EQ(bystander->schemeQuestions, 1);
  web()->stopSchemeTask(taken);
  EXPECT_EQ(taker->stops, 1);
  EXPECT_EQ(bystander->stops, 0);
  // A task the handler answered itself has nothing to stop.
  auto served = get("app://localhost/app.js");
  web()->stopSchemeTask(served);
  EXPECT_EQ(taker->stops + bystander->stops, 1);
}

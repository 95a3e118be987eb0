#include <sys/stat.h>
#include <unistd.h>

#include "HostPackageFixture.h"
#include "host/HBRURLSchemeHandler.h"

using namespace hosttest;
using Task = platform::webkit::HeadlessWebView::RecordedTask;

class SchemeHandlerTest : public HostPackageTest {
 protected:
  std::string preferences() const override { return pref("scheme", "app"); }
  std::shared_ptr<Task> get(const std::string& url, const std::string& method = "GET",
                            platform::HTTPHeaders headers = {}) {
    auto parsed = platform::URL::parse(url);
    EXPECT_TRUE(parsed) << url;
    if (!parsed) return nullptr;
    platform::URLRequest request(*parsed);
    request.setHTTPMethod(method);
    for (const auto& [name, value] : headers) request.setValue(value, name);
    return serve(request);
  }
  static std::string header(const std::shared_ptr<Task>& task, const char* name) {
    return task && task->response ? task->response->valueForHTTPHeaderField(name).value_or("") : "";
  }
  static int status(const std::shared_ptr<Task>& task) {
    return task && task->response && task->response->isHTTP() ? task->response->statusCode() : -1;
  }
};

TEST_F(SchemeHandlerTest, PagesFilesAndMediaAnswersAndMissingFiles) {
  start();
  // The root and paths without an extension serve the start page.
  for (const char* url : {"app://localhost/", "app://localhost/orders/42", "app://localhost"}) {
    auto task = get(url);
    ASSERT_TRUE(task && task->finished) << url;
    EXPECT_EQ(std::to_string(status(task)) + " " + header(task, "content-type") + " " + header(task, "Cache-Control") +
                  " " + header(task, "Content-Length") + " " + task->data,
              "200 text/html no-cache 18 <html>start</html>")
        << url;
  }
  auto script = get("app://localhost/app.js?v=2");
  EXPECT_EQ(status(script), 200);
  EXPECT_EQ(script->data, "var app = 1;");
  EXPECT_EQ(script->response->url().absoluteString(), "app://localhost/app.js?v=2");

  // Media is an HTTP answer too, so that a player can ask for ranges and seek.
  auto song = get("app://localhost/media/song.MP3");
  EXPECT_EQ(std::to_string(status(song)) + " " + header(song, "Accept-Ranges") + " " + song->data,
            "200 bytes ID3-bytes");
  EXPECT_EQ(header(song, "Content-Type"), HBRURLSchemeHandler::getMimeType("MP3"));
  EXPECT_TRUE(HBRURLSchemeHandler::isMediaExtension("FLAC"));

  // Missing files are 404 with their type and no caching; missing media too, not an empty
  // media answer.
  auto missing = get("app://localhost/missing.js");
  EXPECT_EQ(status(missing), 404);
  EXPECT_EQ(header(missing, "Content-Type"), HBRURLSchemeHandler::getMimeType("js"));
  EXPECT_NE(HBRURLSchemeHandler::getMimeType("js"), "application/octet-stream");
  EXPECT_EQ(header(missing, "Cache-Control"), "no-cache");
  EXPECT_TRUE(missing->data.empty() && missing->finished);
  EXPECT_EQ(status(get("app://localhost/media/none.mp3")), 404);
  EXPECT_EQ(HBRURLSchemeHandler::getMimeType("zz-no-such-type"), "application/octet-stream");
}

// The web formats come from the shell's own table, whatever the system's database says of them
// (it has no ".wasm" and calls ".otf" a spreadsheet template); every answer, refusals too,
// keeps other origins from using it and from reading it as another type.
TEST_F(SchemeHandlerTest, WebFormatsHaveTheirTypesAndEveryAnswerItsOrigin) {
  start();
  for (const auto& [extension, type] : std::vector<std::pair<const char*, const char*>>{
           {"mjs", "text/javascript"}, {"wasm", "application/wasm"}, {"otf", "font/otf"}, {"webm", "video/webm"},
           {"vtt", "text/vtt"}, {"pdf", "application/pdf"}, {"woff2", "font/woff2"}, {"OGV", "video/ogg"},
           {"eot", "application/vnd.ms-fontobject"}})
    EXPECT_EQ(HBRURLSchemeHandler::getMimeType(extension), type) << extension;
  dir.write("package/www/lib/module.wasm", "\0asm");
  for (const auto& [url, method, code] : std::vector<std::tuple<const char*, const char*, int>>{
           {"app://localhost/lib/module.wasm", "GET", 200}, {"app://localhost/lib/module.wasm", "HEAD", 200},
           {"app://localhost/missing.mjs", "GET", 404}, {"app://localhost/app.js", "POST", 405},
           {"app://localhost/_app_file_/etc/passwd", "GET", 404}}) {
    auto task = get(url, method);
    EXPECT_EQ(status(task), code) << url << " " << method;
    EXPECT_EQ(header(task, "Cross-Origin-Resource-Policy") + " " + header(task, "X-Content-Type-Options"),
              "same-origin nosniff")
        << url << " " << method;
  }
  EXPECT_EQ(header(get("app://localhost/lib/module.wasm"), "Content-Type"), "application/wasm");
}

TEST_F(SchemeHandlerTest, RangesHeadAndOtherMethods) {
  start();
  const std::string song = "app://localhost/media/song.MP3";  // "ID3-bytes", 9 bytes
  struct Case {
    const char* range;
    int status;
    const char* body;
    const char* contentRange;
  } cases[] = {
      {"bytes=0-2", 206, "ID3", "bytes 0-2/9"},
      {"bytes=4-", 206, "bytes", "bytes 4-8/9"},
      {"bytes=-5", 206, "bytes", "bytes 4-8/9"},
      {"bytes=6-100", 206, "tes", "bytes 6-8/9"},
      {"bytes=9-", 416, "", "bytes */9"},
      {"bytes=0-1,4-5", 200, "ID3-bytes", ""},  // several ranges: the whole file
      {"bytes=5-2", 200, "ID3-bytes", ""},      // not a range: the whole file
      {"items=0-1", 200, "ID3-bytes", ""},
  };
  for (const Case& c : cases) {
    auto task = get(song, "GET", {{"Range", c.range}});
    EXPECT_EQ(status(task), c.status) << c.range;
    EXPECT_EQ(task->data, c.body) << c.range;
    EXPECT_EQ(header(task, "Content-Range"), c.contentRange) << c.range;
    EXPECT_FALSE(header(task, "Content-Type").empty()) << c.range;
  }

  auto head = get(song, "HEAD");
  EXPECT_TRUE(status(head) == 200 && header(head, "Content-Length") == "9" && head->data.empty() && head->finished);

  for (const char* method : {"POST", "PUT", "DELETE", "OPTIONS"}) {
    auto refused = get("app://localhost/app.js", method);
    EXPECT_EQ(std::to_string(status(refused)) + " " + header(refused, "Allow") + refused->data,
              "405 GET, HEAD") << method;
    EXPECT_FALSE(header(refused, "Content-Type").empty()) << method;
  }
}

TEST_F(SchemeHandlerTest, OnlyRegularFilesAreServedAndLargeOnesInPieces) {
  start();
  // A FIFO would block the reader until someone writes to it: the shell hung on one.
  std::string fifo = dir.file("package/www/pipe.js");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(status(get("app://localhost/pipe.js")), 404);
  EXPECT_EQ(status(get("app://localhost/_app_file_/dev/zero")), 404);
  dir.write("package/www/folder.js/inner.txt", "x");
  EXPECT_EQ(status(get("app://localhost/folder.js")), 404);

  // A file larger than one read arrives whole and in order.
  std::string large(300 * 1024 + 7, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>('a' + i % 26);
  dir.write("package/www/large.bin", large);
  auto task = get("app://localhost/large.bin");
  EXPECT_EQ(status(task), 200);
  EXPECT_EQ(header(task, "Content-Length"), std::to_string(large.size()));
  EXPECT_TRUE(task->data == large);
  auto tail = get("app://localhost/large.bin", "GET", {{"Range", "bytes=300000-"}});
  EXPECT_EQ(status(tail), 206);
  EXPECT_TRUE(tail->data == large.substr(300000));
}

TEST_F(SchemeHandlerTest, AppFilePathsServeOnlyThePackageAndThePageFolders) {
  start();
  auto file = [](const std::string& path) { return "app://localhost/_app_file_" + path; };
  // The page's own folders and the package are served; every occurrence of the prefix goes,
  // as the web application's file URLs expect.
  for (const char* relative : {"Documents/a.txt", "tmp/b.txt", "Library/Caches/c.txt",
                               "Library/files/d.txt", "Library/NoCloud/e.txt", "Library/Cloud/f.txt"}) {
    std::string path = dir.write(std::string("data/") + relative, "page");
    EXPECT_EQ(get(file(path))->data, "page") << relative;
  }
  EXPECT_EQ(status(get(file(dir.file("package/config.xml")))), 200);
  EXPECT_EQ(get(file("/_app_file_" + dir.file("data/Documents/a.txt")))->data, "page");
  // A page's own file in Library, beside the shell's folders.
  EXPECT_EQ(get(file("/_app_file_" + dir.write("data/Library/page.txt", "library")))->data, "library");
  EXPECT_EQ(get("app://localhost/sub/%2e%2e/app.js")->data, "var app = 1;");  // stays inside

  // Website data of every origin, WebKit's cache, cookies, user defaults and the rest of the
  // shell's state; anything outside; links into either; and ".." out of the web folder.
  std::vector<std::string> refused = {"app://localhost/%2e%2e/config.xml",
                                      "app://localhost/sub/%2E%2E/%2e%2e/Info.plist",
                                      "app://localhost/..%2fconfig.xml", file("/etc/passwd")};
  for (const char* relative :
       {"Library/WebKit/localstorage/https_bank.example_0.localstorage",
        "Library/Caches/WebKit/cache.db", "Library/Cookies/cookies.sqlite",
        "Library/Preferences/com.example.plist", "Library/Application Support/RoruvIV/logs.sqlite",
        "shell.lock"}) {
    std::string path = dir.write(std::string("data/") + relative, "private");
    for (size_t at = path.find(' '); at != std::string::npos; at = path.find(' '))
      path.replace(at, 1, "%20");
    refused.push_back(file(path));
  }
  std::string secret = dir.write("elsewhere/secret.txt", "not yours");
  ASSERT_EQ(::symlink(secret.c_str(), dir.file("data/Documents/link.txt").c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("data/Library/Cookies/cookies.sqlite").c_str(),
                      dir.file("data/tmp/cookies.js").c_str()),
            0);
  for (const char* relative : {"elsewhere/secret.txt", "data/Documents/../../elsewhere/secret.txt",
                               "data/Documents/%2e%2e/%2e%2e/elsewhere/secret.txt",
                               "data/Documents/link.txt", "data/tmp/cookies.js"})
    refused.push_back(file(dir.file(relative)));
  testing_support::LogCapture log;
  for (const std::string& url : refused) {
    auto task = get(url);
    EXPECT_EQ(status(task), 404) << url;
    EXPECT_TRUE(task->data.empty()) << url;
  }
  EXPECT_TRUE(log.contains("Refused to serve"));
}

TEST_F(SchemeHandlerTest, PluginsTakeTasksOverAndStopsReachTheTaker) {
  start();
  auto taker = std::make_shared<ProbePlugin>("ATaker");
  taker->takeSchemeTasksContaining = "/stream/";
  auto bystander = std::make_shared<ProbePlugin>("ZBystander");
  vc->registerPlugin(taker, "ATaker");
  vc->registerPlugin(bystander, "ZBystander");

  auto taken = web()->startSchemeTask(platform::URLRequest(*platform::URL::parse("app://localhost/stream/live.mp4")));
  EXPECT_FALSE(taken->response || taken->finished);
  EXPECT_EQ(bystander->schemeQuestions, 0);  // the walk ends at the taker

  // A later task asks every plugin; the stop of the first still goes to its taker.
  EXPECT_EQ(status(get("app://localhost/app.js")), 200);
  EXPECT_EQ(bystander->schemeQuestions, 1);
  web()->stopSchemeTask(taken);
  EXPECT_TRUE(taker->stops == 1 && bystander->stops == 0);
  // A task the handler answered itself has nothing to stop.
  auto served = get("app://localhost/app.js");
  ASSERT_TRUE(served->finished);
  web()->stopSchemeTask(served);
  EXPECT_EQ(taker->stops + bystander->stops, 1);
}

// The device's files under the reserved prefix go only to the application's own page; the
// packaged web folder is served to whoever asks, with the headers that keep other origins off.
TEST_F(SchemeHandlerTest, AppFilePathsAnswerOnlyTheApplicationsOwnPage) {
  start();
  testing_support::LogCapture log;
  std::string url = "app://localhost/_app_file_" + dir.write("data/Documents/notes.js", "var notes = 1;");
  EXPECT_EQ(get(url)->data, "var notes = 1;");
  web()->loadRequest(platform::URLRequest(platform::URL::parse("https://partner.example/").value()));
  auto refused = get(url);
  EXPECT_EQ(status(refused), 403);
  EXPECT_TRUE(refused->data.empty());
  EXPECT_EQ(header(refused, "Cross-Origin-Resource-Policy"), "same-origin");
  EXPECT_TRUE(log.contains("Refused " + url + ": only the application's own page may load it."));
  EXPECT_EQ(status(get("app://localhost/app.js")), 200);
}

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>

#include "DesktopWindows.h"
#include "E2EShell.h"
#include "platform/foundation/StableHash.h"

namespace {

using namespace e2e;

TEST_F(E2E, BridgeCallsReachPluginsAndAnswersComeBack) {
  // A URL the shell is opened with reaches the page, characters that could break a script too.
  const std::string url = "veltro-e2e://item/7?q='1');alert('x&y={2}|^#frag";
  ProgramRun run;
  Value found = runPackage(VELTRO_SHELL_E2E, VELTRO_E2E_PACKAGE, run, {}, {"--open-url", url});
  ASSERT_TRUE(found.is_object()) << run.output;

  EXPECT_FALSE(found.contains("exception")) << found.dump(2);
  EXPECT_EQ(found["openedURL"], url);
  EXPECT_EQ(found["echoTrickyEqual"], true) << found["echoTricky"].dump();
  // Echoes come back unchanged, a failure with its message; calls the host cannot run are never
  // answered and the bridge goes on working, also after hostile arguments; every calling style
  // is made and answered in one order; strings and bytes of 1 KB to 8 MB come back on every road;
  // the next page's calls are answered after one left with calls on their way; the navigation
  // filter refused a move to a site it does not allow.
  EXPECT_PICKED(found, R"({"deviceready": true, "location": "app://localhost/index.html",
    "assetsURL": "app://localhost",
    "echo": {"ok": true, "args": [["hello", 42, {"nested": [true, null]}]]},
    "fail": {"ok": false, "args": ["deliberate"]},
    "missingAction": "no answer", "unknownService": "no answer", "notAPlugin": "no answer",
    "afterErrors": {"args": [["still working"]]}, "deep": {"ok": false}, "deepThenEcho": {"args": [["after deep"]]},
    "arrayBuffer": {"ok": true, "bytes": [0, 1, 2, 254, 255]}, "repeat": [1, 2, 3], "batch": [0, 1, 2, 3, 4],
    "channelAnswers": [3, 2], "channelEvents": [1, 2, 3, "fail end", 1, 2, "fail end"],
    "channelTakenOver": {"first": 7, "second": [1]},
    "channelRefused": ["refused", "refused", "refused", "refused", "refused", "refused"],
    "ownIds": ["123 number"],
    "afterNoCallback": {"args": [["after"]]}, "order": {"inOrder": true},
    "held": {"inOrder": true, "answered": ["cont-after", "cont-large", "quiet-timer", "run2-small", "run3-large"]},
    "nested": ["level0", "level1", "sibling0", "level2", "sibling1", "level3", "sibling2"],
    "burst": {"inOrder": true, "callbacksInOrder": true, "answers": 129, "made": 129},
    "afterLeaving": "after leaving", "afterRefusedNavigation": "app://localhost/index.html"})");
  for (const char* size : {"1KB", "64KB", "1MB", "8MB"})
    EXPECT_EQ(found["payloads"][size],
              Value::parse(R"({"string": true, "arrayBuffer": true, "view": true, "fromCallback": true})"))
        << size;
  // Bytes of every size on every road; calls with bytes keep their order among all the others
  // and nest; the next page's bytes come back after one left with bytes on their way.
  for (const char* size : {"0", "1", "2", "3", "all", "64KiB", "1MiB", "8MiB+1"})
    EXPECT_EQ(found["bytes"][size],
              Value::parse(R"({"direct": true, "inCallback": true, "batched": true, "view": true})"))
        << size;
  EXPECT_PICKED(found, R"({"bytesOrder": {"inOrder": true, "wrong": []}, "bytesAfterLeaving": true,
    "bytesNested": ["level0", "level1", "sibling0", "level2", "sibling1", "level3", "sibling2"]})");
  EXPECT_NE(run.output.find("Method 'noSuchAction:' not defined in Plugin 'Echo'"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("Plugin 'NoSuchService' not found"), std::string::npos) << run.output;

  EXPECT_NE(found["deep"]["args"][0].get<std::string>().find("nest deeper than 256 levels"), std::string::npos);

  // The window told the host view controller that its view appeared and was laid out.
  std::vector<std::string> seen = found.value("viewNotifications", std::vector<std::string>{});
  for (const char* name : {"HBRViewWillAppearNotification", "HBRViewDidAppearNotification",
                           "HBRViewWillLayoutSubviewsNotification", "HBRViewDidLayoutSubviewsNotification"})
    EXPECT_NE(std::find(seen.begin(), seen.end(), name), seen.end()) << name << " in " << found["viewNotifications"];
  auto position = [&](const char* name) { return std::find(seen.begin(), seen.end(), name) - seen.begin(); };
  EXPECT_LT(position("HBRViewWillAppearNotification"), position("HBRViewDidAppearNotification"));

  EXPECT_NE(run.output.find("Invalid callback id received by sendPluginResult"), std::string::npos) << run.output;

  // The SQLite plugin answers from its own queues.
  const Value& sqlite = found["sqlite"];
  EXPECT_PICKED(sqlite, R"({"open": {"args": ["Database opened"]}, "selectEqual": true,
                           "close": {"args": ["DB closed"]},
                           "delete": {"args": ["DB deleted"]}})");
  EXPECT_EQ(sqlite["batch"]["args"][0][1]["result"]["insertId"], 1) << sqlite.dump(2);
  EXPECT_EQ(sqlite["batch"]["args"][0][2]["error"]["code"], 6) << sqlite.dump(2);
  EXPECT_EQ(sqlite["select"]["args"][0]["rowsAffected"], 0);
  EXPECT_FALSE(platform::fs::exists(temp_.file("data/Documents/e2e.db")));
  EXPECT_NE(run.output.find("Internal navigation rejected - <allow-navigation> not set for "
                            "url='https://refused.invalid/elsewhere'"),
            std::string::npos)
      << run.output;
}

TEST_F(E2E, BadArgumentsAFolderThatIsNotAPackageAndAnIdentifierThatIsNotReverseDNSAreRefused) {
  // The identifier rules are the data root's own test; here the shell stops before it makes the
  // folder the identifier would name under the default data root.
  std::string badId = copyPackage(VELTRO_E2E_PACKAGE, "badid");
  std::string plist = readText(badId + "/Info.plist");
  ASSERT_NE(plist.find("com.veltro.e2e"), std::string::npos);
  writeText(badId + "/Info.plist", plist.replace(plist.find("com.veltro.e2e"), 14, "../../../../escape"));
  using Args = std::vector<std::string>;
  for (const auto& [args, environment, message] : std::vector<std::tuple<Args, Args, std::string>>{
           {{"--open-url", "not a url"}, {}, "--open-url needs a URL with a scheme"},
           {{"--width", "wide"}, {}, "--width needs a positive number"},
           {{"--data-root", temp_.file("data"), temp_.path()}, {}, "is not an application package"},
           {{badId}, {"XDG_DATA_HOME=" + temp_.file("xdg"), "VELTRO_DATA_ROOT="}, "is not a reverse-DNS name"}}) {
    ProgramRun run = shell(VELTRO_SHELL, args, environment);
    EXPECT_EQ(run.exitStatus, 2) << message;
    EXPECT_NE(run.output.find(message), std::string::npos) << run.output;
  }
  EXPECT_FALSE(std::filesystem::exists(temp_.file("xdg")) || std::filesystem::exists(temp_.file("escape")));
}

TEST_F(E2E, StartPagesLoadAsWebKitTakesThemAndAMissingOneShowsItsMessage) {
  // A query and fragment with characters WebKit leaves unescaped load; a start page that is not
  // there shows the shell's own message page, which is let through.
  std::string config = readText(std::string(VELTRO_E2E_PACKAGE) + "/config.xml");
  config.replace(config.find("<content src=\"index.html\" />"), 29, "<content src=\"@START@\" />");
  for (const std::string start : {"index.html?q={1}|^x#top#more", "missing.html"}) {
    std::string name = std::to_string(platform::stableHash(start));
    std::string package = copyPackage(VELTRO_E2E_PACKAGE, "package-" + name);
    writeText(package + "/config.xml", std::string(config).replace(config.find("@START@"), 7, start));
    // Each package copy is a package of its own, with a data root of its own.
    ProgramRun run =
        shell(VELTRO_SHELL, {"--data-root", temp_.file("data-" + name), "--exit-after-load", "--timeout", "20", package});
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    bool missing = start == "missing.html";
    const char* message = missing ? "ERROR: Start Page at 'www/missing.html' was not found." : "was not found";
    EXPECT_EQ(run.output.find(message) != std::string::npos, missing) << run.output;
    EXPECT_EQ(run.output.find("navigation rejected"), std::string::npos) << run.output;
  }
}

// Sanitizer builds once ended here about ten seconds into every run; short runs missed it.
TEST_F(E2E, TheShellKeepsRunningForFifteenSeconds) {
  ProgramRun run =
      shell(VELTRO_SHELL, {"--data-root", temp_.file("data"), VELTRO_EXAMPLE_PACKAGE}, {}, 16, TimeOut::Expected);
  EXPECT_TRUE(run.timedOut) << "the shell ended after less than 16 s with status " << run.exitStatus << "\n"
                            << run.output;
  for (const char* report : {"runtime error", "AddressSanitizer", "LeakSanitizer"})
    EXPECT_EQ(run.output.find(report), std::string::npos) << run.output;
}

// A shell that outlives its time leaves the stacks of all its threads in the test's output
// before it is killed: a freeze shows where it froze, even when the shell printed nothing.
TEST_F(E2E, AShellThatTimesOutLeavesTheStacksOfItsThreads) {
  testing::internal::CaptureStderr();
  ProgramRun run = shell(VELTRO_SHELL, {"--data-root", temp_.file("data"), VELTRO_EXAMPLE_PACKAGE}, {}, 3);
  std::string written = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(run.timedOut) << run.output;
  size_t threads = 0;
  for (size_t at = run.stacks.find("\nTID "); at != std::string::npos; at = run.stacks.find("\nTID ", at + 1)) ++threads;
  EXPECT_GT(threads, 1u) << run.stacks;
  // The main thread, named, with its frames down to main.
  EXPECT_NE(run.stacks.find(" (veltro-shell):\n"), std::string::npos) << run.stacks;
  EXPECT_NE(run.stacks.find(" main\n"), std::string::npos) << run.stacks;
  EXPECT_NE(written.find("did not end within 3 s; the stacks of its threads"), std::string::npos) << written;
  EXPECT_NE(written.find(run.stacks), std::string::npos) << written;
}

// The colour of the pixel at (x, y) of an image, as 0xRRGGBB.
std::uint32_t pixelAt(GdkPixbuf* image, int x, int y) {
  const guchar* p = gdk_pixbuf_read_pixels(image) + y * gdk_pixbuf_get_rowstride(image) +
                    x * gdk_pixbuf_get_n_channels(image);
  return std::uint32_t(p[0]) << 16 | std::uint32_t(p[1]) << 8 | p[2];
}

TEST_F(E2E, ExampleAppDrawsItsPageBelowTheStatusBarStripAndLogsAtEveryLevel) {
  std::string png = temp_.file("shot.png");
  ProgramRun run = shell(VELTRO_SHELL, {"--data-root", temp_.file("data"), "--screenshot", png, "--width", "400",
                                        "--height", "600", VELTRO_EXAMPLE_PACKAGE});
  ASSERT_FALSE(run.timedOut) << run.output;
  ASSERT_EQ(run.exitStatus, 0) << run.output;

  GError* error = nullptr;
  GdkPixbuf* image = gdk_pixbuf_new_from_file(png.c_str(), &error);
  ASSERT_NE(image, nullptr) << (error ? error->message : "no image");
  EXPECT_EQ(gdk_pixbuf_get_width(image), 400);
  EXPECT_EQ(gdk_pixbuf_get_height(image), 600);
  // The example package asks for a strip of #1E6FD9 behind a 20-pixel status bar.
  for (int x : {2, 200, 397}) {
    EXPECT_EQ(pixelAt(image, x, 2), 0x1E6FD9u) << x;
    EXPECT_EQ(pixelAt(image, x, 18), 0x1E6FD9u) << x;
  }
  EXPECT_NE(pixelAt(image, 2, 22), 0x1E6FD9u) << "the page starts below the strip";
  std::set<std::uint32_t> colours;
  for (int y = 20; y < 600 && colours.size() < 3; y += 4)
    for (int x = 0; x < 400; x += 4) colours.insert(pixelAt(image, x, y));
  g_object_unref(image);
  EXPECT_GT(colours.size(), 1u) << "the page is one colour";

  // The page logs once at every level through the logger plugin; the console shows them all.
  for (const char* line : {"logVerbose from the example page", "logDebug from the example page",
                           "logInfo from the example page", "logWarning from the example page",
                           "logError from the example page : at example (logging.js)",
                           "v2LogTrace from the example page", "v2LogError from the example page : at example (logging.js)"})
    EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
}

TEST_F(E2E, AHostilePageCannotCrossTheBoundary) {
  std::string package = copyPackage(VELTRO_E2E_HOSTILE_PACKAGE, "hostile");
  ASSERT_EQ(::mkfifo((package + "/www/pipe.txt").c_str(), 0600), 0);
  writeText(package + "/www/clip.mp3", "0123456789");
  // A large file is streamed, not read whole; a sparse one costs the disk nothing.
  writeText(package + "/www/big.bin", "");
  std::filesystem::resize_file(package + "/www/big.bin", 64 << 20);
  std::string data = temp_.file("data");
  for (const char* relative : {"Library/WebKit/planted.txt", "Library/Caches/WebKit/planted.txt",
                               "Library/Cookies/planted.txt", "Library/Preferences/planted.txt",
                               "Documents/planted.txt"}) {
    writeText(data + "/" + relative, "planted");
  }
  writeText(data + "/Documents/planted.js", "window.planted = true;");
  ProgramRun run;
  Value found = runPackage(VELTRO_SHELL_E2E, package, run, {"VELTRO_E2E_DATA_ROOT=" + data});
  ASSERT_TRUE(found.is_object()) << run.output;
  EXPECT_FALSE(found.contains("exception")) << found.dump(2);

  // Only the main frame of the application's page reaches the bridge. The shell's own state is not
  // the page's to read; the page's folders are. Only regular files are served, streamed, with
  // ranges, HEAD and nothing else.
  EXPECT_PICKED(found, R"({"sandboxedFrame": {"sawBridge": false, "parentError": "SecurityError"},
    "websiteData": {"status": 404, "body": ""}, "webkitCache": {"status": 404, "body": ""},
    "cookies": {"status": 404, "body": ""}, "defaults": {"status": 404, "body": ""},
    "document": {"status": 200, "body": "planted"}, "fifo": {"status": 404},
    "range": {"status": 206, "body": "2345", "range": "bytes 2-5/10"}, "head": {"status": 200, "body": ""},
    "post": {"status": 405}, "bigLength": 67108864, "afterIntents": "app://localhost/index.html",
    "foreignIncludes": ["refused", "refused"]})");
  // A frame of another origin was let in; what it asked for was refused with a reason.
  EXPECT_NE(run.output.find("A document of another origin is in the application's page (data:"), std::string::npos);
  EXPECT_NE(run.output.find("Documents/planted.js: only the application's own page may load it"), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("Refused hbrfile://localhost/persistent/planted.js: only the application's own page"),
            std::string::npos);
  EXPECT_EQ(run.output.find("Plugin 'FromSandboxedFrame' not found"), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("Plugin 'FromFrameThroughParent' not found"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("Plugin 'FromMainFrame' not found"), std::string::npos) << run.output;

  // A type on every answer.
  for (const char* key : {"websiteData", "fifo", "range", "head", "post"})
    EXPECT_TRUE(found[key]["type"].is_string() && !found[key]["type"].get<std::string>().empty()) << key;

  // Allowed intents without the user's gesture launch nothing, and the page stays.
  EXPECT_NE(run.output.find("External launch refused - the user did not start the navigation in the main frame: "
                            "url='tel:55501"),
            std::string::npos)
      << run.output;
  EXPECT_EQ(run.output.find("Cannot open 'tel:"), std::string::npos) << run.output;
}

TEST_F(E2E, AFilePageOutsideThePackageGetsNoBridge) {
  // A package served from file URLs whose start page lies outside it.
  std::string package = temp_.file("filepackage");
  std::string outside = temp_.file("outside/evil.html");
  writeText(outside,
            "<!DOCTYPE html><title>evil</title><script>"
            "window.webkit.messageHandlers.harbor.postMessage([null, 'FromFilePage', 'x', []]);</script>");
  writeText(package + "/www/index.html", "<!DOCTYPE html><title>inside</title>");
  std::filesystem::copy(std::string(VELTRO_E2E_PACKAGE) + "/Info.plist", package + "/Info.plist");
  writeText(package + "/config.xml",
            "<?xml version='1.0' encoding='utf-8'?><widget id=\"com.veltro.e2e\" version=\"1.0.0\">"
            "<content src=\"file://" + outside + "\"/></widget>");
  std::string log = temp_.file("file-shell.log");
  pid_t pid = startShell(VELTRO_SHELL_E2E, {"--data-root", temp_.file("data"), package}, {}, log);
  bool dropped = outputContains(log, "Dropped a message to 'harbor' from file://" + outside, 30);
  stopProgram(pid);
  EXPECT_TRUE(dropped) << readText(log);
  EXPECT_EQ(readText(log).find("Plugin 'FromFilePage' not found"), std::string::npos) << readText(log);
}

// With a session bus a second shell hands its URL over (the deep-link test runs that); without
// one to hand over on, it refuses to share the data root.
TEST_F(E2E, ASecondShellOnTheSameDataRootWithoutABusIsRefused) {
  std::string data = temp_.file("data");
  std::string log = temp_.file("alone.log");
  pid_t first = startShell(VELTRO_SHELL, {"--data-root", data, VELTRO_EXAMPLE_PACKAGE}, {}, log);
  ASSERT_TRUE(outputContains(log, "Using WKWebView", 30)) << readText(log);
  ProgramRun second = shell(VELTRO_SHELL, {"--data-root", data, "veltro-e2e://deep/link?x=1", VELTRO_EXAMPLE_PACKAGE});
  stopProgram(first);
  EXPECT_EQ(second.exitStatus, 2) << second.output;
  EXPECT_NE(second.output.find("another veltro-shell is already running on the data root"), std::string::npos)
      << second.output;
}

TEST_F(E2E, ThePageWorksWithFilesAndShowsAWrittenPicture) {
  std::string data = temp_.file("data");
  ProgramRun run;
  Value found = runPackage(VELTRO_SHELL_E2E, VELTRO_E2E_FILES_PACKAGE, run);
  ASSERT_TRUE(found.is_object()) << run.output;
  EXPECT_FALSE(found.contains("error")) << found.dump(2);

  // The picture came back through the web view's "hbrfile" handler and decoded.
  EXPECT_PICKED(found["steps"], R"({"requestFileSystem": "persistent", "readAsText": "Hello from the Veltro shell",
    "moveTo": "/example/hello-moved.txt", "readEntries": ["hello-moved.txt", "hello.txt"],
    "after remove": ["hello.txt"], "picture shown": "24 x 24"})");
  EXPECT_EQ(platform::fs::readFile(data + "/Documents/example/hello.txt"), "Hello from the Veltro shell");
  EXPECT_EQ(platform::fs::fileSize(data + "/Documents/example/picture.png"), 103u);
}

TEST_F(E2E, ThePageTakesAPictureShowsItAndListsTheGallery) {
  std::string data = temp_.file("data");
  ProgramRun run;
  Value found = runPackage(VELTRO_SHELL_E2E, VELTRO_E2E_CAMERA_PACKAGE, run, {"VELTRO_CAMERA_SOURCE=videotestsrc"});
  ASSERT_TRUE(found.is_object()) << run.output;
  EXPECT_FALSE(found.contains("error")) << found.dump(2);

  const Value& steps = found["steps"];
  std::string fileURL = steps["takePicture"];
  EXPECT_EQ(fileURL.rfind("file://" + data + "/tmp/camera/", 0), 0u) << fileURL;
  EXPECT_EQ(steps["picture file"].get<std::string>().rfind("hbrfile://localhost/temporary/camera/", 0), 0u);
  // The picture came back through the web view's "hbrfile" handler and decoded at its size.
  EXPECT_PICKED(steps, R"j({"picture shown": "160 x 120", "gallery": "1 item(s)", "gallery shown": ["160 x 120"]})j");
  EXPECT_EQ(platform::fs::contentsOfDirectory(data + "/Media/DCIM").size(), 1u);
  // The shell ended: its temporary pictures went with it.
  EXPECT_FALSE(platform::fs::exists(data + "/tmp/camera"));
}

// The camera's editing window does not hold the application: a page that asks for the edit
// again whenever it is cancelled still lets the person close the main window, which closes
// the editing window too and ends the shell as usual.
TEST_F(E2E, ClosingTheMainWindowWhileAPictureIsEditedEndsTheShell) {
  std::string package = copyPackage(VELTRO_E2E_CAMERA_PACKAGE, "editing");
  std::string config = readText(package + "/config.xml");
  config.replace(config.find("index.html"), 10, "edit.html");
  writeText(package + "/config.xml", config);
  std::string log = temp_.file("editing.log");
  pid_t pid = startShell(VELTRO_SHELL_E2E, {"--data-root", temp_.file("data"), package},
                         {"VELTRO_CAMERA_SOURCE=videotestsrc", "VELTRO_CAMERA_CHOOSER=window"}, log);
  DesktopWindows desktop(display_.display());
  ASSERT_TRUE(desktop.ok());
  auto editors = [&] {
    std::vector<DesktopWindows::Shown> found;
    for (auto& shown : desktop.shownBy(pid))
      if (shown.title == "Edit the picture") found.push_back(shown);
    return found;
  };
  int status = 0;
  bool exited = false;
  auto ended = [&] { return exited || (exited = waitpid(pid, &status, WNOHANG) == pid); };

  // The page asks for an edit; cancelled (its window closed), it asks again at once.
  bool first = testing_support::waitUntil([&] { return editors().size() == 1; }, 30);
  ASSERT_TRUE(first) << readText(log);
  desktop.close(editors().front().id);
  bool cancelled = testing_support::waitUntil([&] { return editors().empty(); }, 10);
  bool again = cancelled && testing_support::waitUntil([&] { return editors().size() == 1; }, 10);
  EXPECT_TRUE(again) << readText(log);

  std::vector<DesktopWindows::Shown> main;
  for (auto& shown : desktop.shownBy(pid))
    if (shown.title != "Edit the picture") main.push_back(shown);
  EXPECT_EQ(main.size(), 1u);
  for (auto& shown : main) desktop.close(shown.id);
  bool closed = testing_support::waitUntil(ended, 15);
  if (!closed) stopProgram(pid);
  ASSERT_TRUE(closed) << "the shell outlived the close of its main window\n" << readText(log);
  EXPECT_TRUE(WIFEXITED(status)) << readText(log);
  EXPECT_EQ(WEXITSTATUS(status), 0) << readText(log);
}

}  // namespace

namespace {

// A web application of ES modules, a module worker and WebAssembly, in a package without the
// navigation filter, runs under the application scheme: its own start page loads, every file
// has the type the browser needs, and queries, ranges and HEAD are answered.
TEST_F(E2E, AnApplicationOfModulesWorkersAndWebAssemblyRunsWithoutANavigationFilter) {
  std::string package = temp_.file("serving");
  writeServingPackage(package,
                      "<?xml version='1.0' encoding='utf-8'?><widget id=\"com.veltro.e2e\" version=\"1.0.0\">"
                      "<content src=\"index.html\"/><preference name=\"scheme\" value=\"app\"/>"
                      "<preference name=\"SplashScreenDelay\" value=\"0\"/>"
                      "<preference name=\"AllowInlineMediaPlayback\" value=\"true\"/>"
                      "<feature name=\"Report\"><param name=\"ios-package\" value=\"E2EReport\"/></feature></widget>");
  ProgramRun run;
  Value found = runPackage(VELTRO_SHELL_E2E, package, run);
  ASSERT_TRUE(found.is_object()) << run.output;
  EXPECT_PICKED(found, R"({"location": "app://localhost/index.html", "module": 42, "worker": {"twice": 4, "add": 42},
    "wasmType": "application/wasm", "wasm": 5, "guarded": "same-origin nosniff", "query": "200 hello",
    "range": "206 ell bytes 1-3/5", "head": "5",
    "media": {"steps": ["metadata", "seeked"], "pastSeek": true, "duration": 3}})");
  EXPECT_FALSE(found.contains("error")) << found.dump(2);
}

// A start page that nothing allows is reported at once, in the log and by the exit status.
TEST_F(E2E, AStartPageNothingAllowsEndsTheShellAtOnceWithItsReason) {
  std::string package = temp_.file("refused");
  writeServingPackage(package,
                      "<?xml version='1.0' encoding='utf-8'?><widget id=\"com.veltro.e2e\" version=\"1.0.0\">"
                      "<content src=\"https://refused.invalid/index.html\"/><preference name=\"scheme\" value=\"app\"/>"
                      "</widget>");
  ProgramRun run = shell(VELTRO_SHELL, {"--data-root", temp_.file("data"), package}, {}, 20);
  EXPECT_FALSE(run.timedOut) << run.output;
  EXPECT_EQ(run.exitStatus, 3) << run.output;
  EXPECT_NE(run.output.find("ERROR: The start page https://refused.invalid/index.html was refused"), std::string::npos)
      << run.output;
}

// A package folder whose name is not UTF-8 is refused at once, with the reason.
TEST_F(E2E, APackageFolderThatIsNotUTF8IsRefusedAtOnce) {
  std::string package = temp_.file("caf\xe9");
  writeServingPackage(package, readText(std::string(VELTRO_E2E_PACKAGE) + "/config.xml"));
  ProgramRun run = shell(VELTRO_SHELL, {"--data-root", temp_.file("data"), package}, {}, 20);
  EXPECT_EQ(run.exitStatus, 2) << run.output;
  EXPECT_NE(run.output.find("is not valid UTF-8; rename the folder"), std::string::npos) << run.output;
}

}  // namespace

#include "HostPackageFixture.h"
#include "host/HBRCommandQueue.h"
#include "host/HBRURLSchemeHandler.h"
#include "host/HBRWebViewUIDelegate.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/net/URLError.h"

using namespace hosttest;
using platform::Value;

class WebViewEngineTest : public HostPackageTest {
 protected:
  std::string preferences() const override { return extra; }
  std::string extra;
};

class AppSchemeTest : public WebViewEngineTest {
 protected:
  std::string startPage() const override { return page; }
  std::string preferences() const override {
    return pref("scheme", scheme) + pref("hostname", "app.local");
  }
  std::string scheme = "app";
  std::string page = "index.html?a=1&amp;b=2#frag";
};

TEST_F(AppSchemeTest, FileURLsAreRewrittenIntoTheApplicationScheme) {
  start();
  auto e = engine();
  EXPECT_TRUE(vc->appScheme() == "app" && e->assetsURL() == "app://app.local");
  ASSERT_EQ(web()->userContentController()->userScripts().size(), 2u);
  EXPECT_EQ(web()->userContentController()->userScripts()[1].source,
            "window.HBR_ASSETS_URL = 'app://app.local';");
  EXPECT_EQ(web()->configuration().urlSchemeHandlers.at("app"), e->schemeHandler());
  // The start page keeps its query and fragment.
  EXPECT_EQ(web()->loads().back().kind, platform::webkit::HeadlessWebView::Load::Kind::Request);
  EXPECT_EQ(lastLoad(), "app://app.local/index.html?a=1&b=2#frag");

  // Other files of the web folder keep their place in it; files elsewhere use the reserved prefix.
  e->loadRequest(
      platform::URLRequest(platform::URL::fileURL(www("sub/page.html")).resolve("?x=1#y").value()));
  EXPECT_EQ(lastLoad(), "app://app.local/sub/page.html?x=1#y");
  std::string document = dir.write("data/Documents/report.html", "r");
  e->loadRequest(platform::URLRequest(platform::URL::fileURL(document)));
  EXPECT_EQ(lastLoad(), "app://app.local/_app_file_" + document);
  EXPECT_EQ(serve(web()->loads().back().request)->data, "r");
  // Web URLs pass unchanged.
  e->loadRequest(platform::URLRequest(platform::URL::parse("https://example.com/x").value()));
  EXPECT_EQ(lastLoad(), "https://example.com/x");
}

TEST_F(AppSchemeTest, AStartPageQueryAWebViewTakesIsLoadedAsWrittenAndAWebSchemeBecomesApp) {
  page = "index.html?q={1}|^x#top#more";
  scheme = "https";  // one the web view serves itself
  SetUp();
  testing_support::LogCapture log;
  start();
  EXPECT_EQ(lastLoad(), "app://app.local/index.html?q={1}|^x#top#more");
  EXPECT_FALSE(log.contains("was not found"));
  EXPECT_TRUE(vc->appScheme() == "app" && engine()->assetsURL() == "app://app.local");
}

TEST_F(WebViewEngineTest, ConfigurationAndLiveSettings) {
  testing_support::LogCapture log;
  start();
  EXPECT_EQ(web()->configuration().mediaTypesRequiringUserActionForPlayback, platform::webkit::kMediaTypeAll);
  EXPECT_TRUE(log.contains("Invalid \"MediaTypesRequiringUserActionForPlayback\" was detected."));

  extra = pref("MediaTypesRequiringUserActionForPlayback", "audio") + pref("AppendUserAgent", "Veltro/1") +
          pref("MinimumFontSize", "12") + pref("DisallowOverscroll", "true") + pref("AllowInlineMediaPlayback", "true");
  SetUp();
  start();
  const auto& configuration = web()->configuration();
  EXPECT_EQ(configuration.mediaTypesRequiringUserActionForPlayback, platform::webkit::kMediaTypeAudio);
  // Inline playback is the web view's to apply, and it does.
  EXPECT_TRUE(configuration.allowsInlineMediaPlayback);
  EXPECT_FALSE(log.contains("\"AllowInlineMediaPlayback\" has no effect"));
  EXPECT_EQ(configuration.applicationNameForUserAgent, configuration.defaultApplicationNameForUserAgent + " Veltro/1");
  EXPECT_EQ(configuration.preferences.minimumFontSize, 12);
  EXPECT_TRUE(log.contains("The preference \"DisallowOverscroll\" has no effect"));

  // An override wins over an append; the gestures action takes a number and answers nothing.
  extra = pref("OverrideUserAgent", "Custom/2") + pref("AppendUserAgent", "ignored");
  SetUp();
  start();
  EXPECT_TRUE(web()->customUserAgent() == "Custom/2" && !web()->configuration().applicationNameForUserAgent);
  for (const Value& given : {Value(1), Value("yes")}) {
    engine()->performAction("allowsBackForwardNavigationGestures", HBRInvokedUrlCommand(Value{given}, "cb", "x", "y"));
    EXPECT_EQ(web()->allowsBackForwardNavigationGestures(), given.is_number()) << given;
  }
}

TEST_F(WebViewEngineTest, TheNavigationPollAsksEveryPlugin) {
  start();
  auto https = platform::URLRequest(platform::URL::parse("https://example.com/").value());
  auto file = platform::URLRequest(platform::URL::fileURL(www("sub/page.html")));
  using platform::webkit::NavigationType;

  std::vector<Value> opened;
  platform::NotificationCenter::defaultCenter().addObserver(
      this, HBRPluginHandleOpenURLNotification, nullptr,
      [&](const platform::Notification& n) { opened.push_back(n.object); });
  // Nobody answers: files load, anything else is cancelled and offered to the system.
  EXPECT_EQ(web()->decidePolicy(file, NavigationType::LinkActivated), true);
  EXPECT_EQ(web()->decidePolicy(https, NavigationType::LinkActivated), false);
  EXPECT_EQ(opened, std::vector<Value>{"https://example.com/"});

  auto yes = std::make_shared<ProbePlugin>("AYes");
  yes->navigationAnswer = true;
  vc->registerPlugin(yes, "AYes");
  EXPECT_EQ(web()->decidePolicy(https, NavigationType::Other), true);

  auto no = std::make_shared<ProbePlugin>("BNo");
  no->navigationAnswer = false;
  auto later = std::make_shared<ProbePlugin>("CLater");
  later->navigationAnswer = true;
  vc->registerPlugin(no, "BNo");
  vc->registerPlugin(later, "CLater");
  EXPECT_EQ(web()->decidePolicy(file, NavigationType::LinkActivated), false);  // the first "no" wins
  EXPECT_EQ(later->navigationQuestions, 0);
  platform::NotificationCenter::defaultCenter().removeObserver(this);
  EXPECT_EQ(opened.size(), 1u);
}

class LoadFailureTest : public WebViewEngineTest {
 protected:
  std::string preferences() const override { return pref("ErrorUrl", "error.html"); }
  platform::Error failure(long code, const std::string& description) {
    return platform::Error::make(platform::kURLErrorDomain, code, description);
  }
};

TEST_F(LoadFailureTest, FailuresShowTheErrorPageWithoutEverLooping) {
  testing_support::LogCapture log;
  start();
  web()->clearRecords();
  engine()->didFailProvisionalNavigation(*web(), failure(-1003, "A server & its name = 1+1 were not found."));
  ASSERT_EQ(web()->loads().size(), 1u);
  auto url = web()->loads()[0].request.url();
  EXPECT_EQ(url.path(), www("error.html"));
  ASSERT_EQ(url.queryItems().size(), 1u);
  EXPECT_EQ(url.queryItems()[0].second, "Failed to load webpage with error: A server & its name = 1+1 were not found.");
  EXPECT_TRUE(log.contains("Failed to load webpage with error: A server & its name"));

  // A cancelled load was replaced by another: no error page.
  web()->clearRecords();
  engine()->didFailNavigation(*web(), failure(-999, "cancelled"));
  EXPECT_TRUE(web()->loads().empty());

  // The error page failing to load is not loaded again (the web view is at it now).
  engine()->didFailNavigation(*web(), failure(-1100, "The file does not exist."));
  EXPECT_TRUE(web()->loads().empty());
  auto named = failure(-1100, "gone");
  named.userInfo["NSErrorFailingURLStringKey"] =
      platform::URL::fileURL(www("error.html")).absoluteString() + "?error=x";
  engine()->didFailNavigation(*web(), named);
  EXPECT_TRUE(web()->loads().empty());
  EXPECT_TRUE(log.contains("The error page itself failed to load"));
}

TEST_F(WebViewEngineTest, ContentProcessCrashesReloadLaterEachTimeThenGiveUpForAnErrorPage) {
  testing_support::LogCapture log;
  start();
  ASSERT_TRUE(waitForPageLoad());
  web()->clearRecords();
  auto reloads = [&](int n) { return platform::MainLoop::runUntil([&] { return web()->reloadCount() >= n; }, 5); };

  engine()->webContentProcessDidTerminate(*web());
  platform::MainLoop::drain();
  EXPECT_EQ(web()->reloadCount(), 0);  // never at once: a page that crashes at load would spin
  ASSERT_TRUE(reloads(1));
  engine()->webContentProcessDidTerminate(*web());
  ASSERT_TRUE(reloads(2));
  EXPECT_TRUE(log.contains("The web content process ended; reloading in 0.5 seconds."));

  // A fourth crash in a short time: the reload still waiting is dropped and an error page shown.
  engine()->webContentProcessDidTerminate(*web());
  engine()->webContentProcessDidTerminate(*web());
  EXPECT_TRUE(log.contains("The web content process ended 4 times within 60 seconds; not reloading."));
  ASSERT_FALSE(web()->loads().empty());
  EXPECT_NE(lastLoad().find("stopped working"), std::string::npos);
  EXPECT_FALSE(platform::MainLoop::runUntil([&] { return web()->reloadCount() > 2; }, 1.5));
}

TEST_F(WebViewEngineTest, AReturnToTheForegroundReloadsOnlyAPageThatIsGone) {
  start();
  ASSERT_TRUE(waitForPageLoad());
  web()->setTitle("");  // a page without a <title> element is still there
  platform::ui::Application::shared().willEnterForeground();
  EXPECT_EQ(web()->reloadCount(), 0);
  web()->setTitle(std::nullopt);  // no title at all: the content went away
  platform::ui::Application::shared().willEnterForeground();
  EXPECT_EQ(web()->reloadCount(), 1);
  EXPECT_TRUE(HBRWebViewEngine::shouldReloadWebView(platform::URL::parse("about:blank"), "t"));
}

class BridgeTest : public WebViewEngineTest {
 protected:
  std::string preferences() const override {
    return R"(<feature name="Probe"><param name="ios-package" value="HostProbe"/></feature>)";
  }
};

TEST_F(BridgeTest, AHarborMessageRunsThePluginActionAndItsCallbackIsEvaluated) {
  HBRPluginClassRegistry::shared().registerClass("HostProbe",
                                                 [] { return std::make_shared<ProbePlugin>("HostProbe"); });
  start();
  ASSERT_TRUE(web()->postScriptMessage("harbor", Value{"Probe1", "Probe", "echo", {"hi & bye"}}));
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return !web()->evaluatedScripts().empty(); }, 5));
  // The answer names the document that asked, and runs in no other.
  ASSERT_TRUE(web()->topDocument());
  EXPECT_NE(web()->evaluatedScripts().back().find(R"(__harborNativeCallback(["Probe1",1,"hi & bye",0,0,")" +
                                                  web()->topDocument()->token + "\"])"),
            std::string::npos)
      << web()->evaluatedScripts().back();

  // A message waits behind a batch that came before it and is still being decoded.
  web()->clearRecords();
  Value batch = Value::array();
  for (const char* id : {"Batch1", "Batch2"}) batch.push_back(Value{id, "Probe", "echo", {std::string(3000, '.')}});
  vc->commandQueue()->enqueueCommandBatch(batch.dump());
  ASSERT_TRUE(web()->postScriptMessage("harbor", Value{"Message", "Probe", "echo", {"m"}}));
  // (The answers of one turn after its first go out together, in one script.)
  std::string all;
  ASSERT_TRUE(platform::MainLoop::runUntil(
      [&] {
        all.clear();
        for (const auto& script : web()->evaluatedScripts()) all += script;
        return all.find("\"Message\"") != std::string::npos;
      },
      10));
  size_t first = all.find("\"Batch1\""), second = all.find("\"Batch2\""), message = all.find("\"Message\"");
  EXPECT_TRUE(first < second && second != std::string::npos && second < message) << all;

  // Other channels are not commands.
  web()->clearRecords();
  engine()->didReceiveScriptMessage("other", Value{"Probe2", "Probe", "echo", {"x"}});
  platform::MainLoop::drain();
  EXPECT_TRUE(web()->evaluatedScripts().empty());
  HBRPluginClassRegistry::shared().unregisterClass("HostProbe");
}

TEST_F(BridgeTest, OnlyTheApplicationsOwnMainFrameReachesTheBridge) {
  start();  // no plugin class needed: a refused message never reaches one
  auto command = Value{"Probe1", "Probe", "echo", {"x"}};
  // File-scheme mode: the application's pages are the files of its web folder.
  auto own = platform::URL::fileURL(www("sub/page.html"));
  EXPECT_TRUE(web()->postScriptMessage("harbor", command, own));
  EXPECT_FALSE(web()->postScriptMessage("harbor", command, own, false));  // a frame
  for (const std::string& other :
       {std::string("file:///etc/passwd"), "file://" + dir.file("package/config.xml"),
        "file://" + dir.file("package/www/../Info.plist"), std::string("https://example.com/"),
        std::string("app://localhost/index.html")})
    EXPECT_FALSE(web()->postScriptMessage("harbor", command, platform::URL::parse(other))) << other;
}

TEST_F(AppSchemeTest, TheApplicationOriginIsTheSchemeAndHost) {
  start();
  auto e = engine();
  for (const char* own : {"app://app.local/index.html", "APP://App.Local/sub/page.html?x#y"})
    EXPECT_TRUE(e->isApplicationOrigin(*platform::URL::parse(own))) << own;
  for (const char* other : {"app://evil.local/index.html", "app://app.local:8080/", "https://app.local/",
                            "file:///etc/passwd", "about:blank", "data:text/html,x"})
    EXPECT_FALSE(e->isApplicationOrigin(*platform::URL::parse(other))) << other;
}

// A package without any plugin that decides navigations still shows its own pages; a start
// page that nothing allows is reported at once instead of leaving the window empty.
TEST_F(AppSchemeTest, TheApplicationsOwnPagesLoadWithoutAFilterAndARefusedStartPageIsReported) {
  start();
  using platform::webkit::NavigationType;
  std::vector<Value> refused;
  platform::NotificationCenter::defaultCenter().addObserver(
      this, HBRStartPageRefusedNotification, nullptr,
      [&](const platform::Notification& n) { refused.push_back(n.object); });
  testing_support::LogCapture log;
  auto request = [](const char* url) { return platform::URLRequest(platform::URL::parse(url).value()); };
  // A frame of the start page that nothing allows is only refused; the start page ends it all.
  EXPECT_EQ(web()->decidePolicy(request("https://ads.example/frame"), NavigationType::Other), false);
  EXPECT_TRUE(refused.empty());
  engine()->loadRequest(request("https://example.com/"));
  EXPECT_EQ(web()->decidePolicy(request("https://example.com/"), NavigationType::Other), false);
  EXPECT_EQ(refused, std::vector<Value>{"https://example.com/"});
  EXPECT_TRUE(log.contains("ERROR: The start page https://example.com/ was refused"));
  for (const char* own : {"app://app.local/index.html?a=1", "APP://App.Local/orders/7"})
    EXPECT_EQ(web()->decidePolicy(request(own), NavigationType::LinkActivated), true) << own;
  EXPECT_EQ(web()->decidePolicy(request("app://other.host/index.html"), NavigationType::Other), false);
  // Once a page has loaded, a refused navigation is only refused.
  engine()->didFinishNavigation(*web());
  engine()->loadRequest(request("https://example.com/later"));
  EXPECT_EQ(web()->decidePolicy(request("https://example.com/later"), NavigationType::Other), false);
  EXPECT_EQ(refused.size(), 1u);
  platform::NotificationCenter::defaultCenter().removeObserver(this);
}

// Which requests of the shell's schemes are the application page's own: decided on the
// committed top document, the request's Origin and Referer, and the documents the page has
// shown since it was committed, each as it described itself.
TEST_F(AppSchemeTest, RequestsAreTheApplicationPagesOwnOnlyWhenNothingShowsAnotherOrigin) {
  start();
  using platform::webkit::NavigationAction;
  auto e = engine();
  auto request = [](const char* url, const char* field = nullptr, const char* value = nullptr) {
    platform::URLRequest r(platform::URL::parse(url).value());
    if (field) r.setValue(value, field);
    return r;
  };
  auto own = [&](const platform::URLRequest& r) { return e->isApplicationPageRequest(*web(), r); };
  web()->loadRequest(request("app://app.local/index.html"));
  EXPECT_TRUE(own(request("app://app.local/app.js")));
  EXPECT_TRUE(own(request("hbrfile://localhost/persistent/a.png", "Referer", "app://app.local/index.html")));
  EXPECT_TRUE(own(request("app://app.local/app.js", "Origin", "app://app.local")));
  for (const auto& [field, value] : std::vector<std::pair<const char*, const char*>>{
           {"Origin", "https://partner.example"}, {"Origin", "null"}, {"Referer", "https://partner.example/x"},
           {"Referer", "app://other.host/"}, {"Referer", "about:srcdoc"}})
    EXPECT_FALSE(own(request("app://app.local/app.js", field, value))) << field << " " << value;
  // A window the page opened is never the application's page.
  platform::webkit::HeadlessWebView window;
  window.commitPage(platform::URL::parse("app://app.local/index.html"));
  EXPECT_FALSE(e->isApplicationPageRequest(window, request("app://app.local/app.js", "Origin", "app://app.local")));

  // Frames of the application's origin change nothing; a document of any other origin, or of
  // none (a sandboxed srcdoc frame, a data: document), does from the moment it described
  // itself: from then on a request must show the application's origin.
  testing_support::LogCapture log;
  web()->describeDocument(false, {"app://app.local", "about:blank", ""});
  web()->describeDocument(false, {"app://app.local", "about:srcdoc", ""});
  web()->describeDocument(false, {"app://app.local", "blob:app://app.local/5e1f", ""});
  EXPECT_TRUE(own(request("app://app.local/app.js")));
  web()->describeDocument(false, {"null", "about:srcdoc", ""});
  EXPECT_FALSE(own(request("app://app.local/app.js")));
  EXPECT_TRUE(log.contains("A document of another origin is in the application's page (about:srcdoc (origin null))"))
;
  EXPECT_TRUE(own(request("app://app.local/app.js", "Referer", "app://app.local/index.html")));
  // A navigation that starts and never commits leaves the mark as it was; the next page starts
  // without it.
  e->didStartProvisionalNavigation(*web());
  EXPECT_FALSE(own(request("app://app.local/app.js")));
  web()->commitPage(platform::URL::parse("app://app.local/index.html"));
  EXPECT_TRUE(own(request("app://app.local/app.js")));
  for (const char* origin : {"https://partner.example", "blob", "data:", "app://other.host"}) {
    web()->commitPage(platform::URL::parse("app://app.local/index.html"));
    web()->describeDocument(false, {origin, "https://partner.example/frame.html", ""});
    EXPECT_FALSE(own(request("app://app.local/app.js"))) << origin;
  }
  // What a page's documents leave in the shell is bounded, however many it makes.
  web()->commitPage(platform::URL::parse("app://app.local/index.html"));
  for (size_t i = 0; i < 4 * platform::webkit::WebView::kMaxPageDocuments; ++i)
    web()->describeDocument(false, {"app://app.local", "about:blank", ""});
  EXPECT_TRUE(own(request("app://app.local/app.js")));
  for (size_t i = 0; i <= platform::webkit::WebView::kMaxPageDocuments; ++i)
    web()->describeDocument(false, {"app://app.local:" + std::to_string(1000 + i), "about:blank", ""});
  EXPECT_EQ(web()->committedPage().documents.size(), platform::webkit::WebView::kMaxPageDocuments);
  EXPECT_FALSE(own(request("app://app.local/app.js")));

  // A srcdoc frame loads no URL: it loads whatever the navigation filter says of other URLs.
  auto refuseAll = std::make_shared<ProbePlugin>("RefuseAll");
  refuseAll->navigationAnswer = false;
  vc->registerPlugin(refuseAll, "RefuseAll");
  NavigationAction srcdoc{request("about:srcdoc")};
  srcdoc.targetsMainFrame = false;
  EXPECT_EQ(web()->decidePolicy(srcdoc), true);
  EXPECT_EQ(web()->decidePolicy(request("https://partner.example/"), platform::webkit::NavigationType::Other), false);

  // A top document of another origin owns nothing.
  web()->commitPage(platform::URL::parse("https://partner.example/"));
  EXPECT_FALSE(own(request("app://app.local/app.js", "Referer", "app://app.local/index.html")));
}

// "hbrfile" URLs name the device's files: only the application's own page gets an answer.
TEST_F(AppSchemeTest, HbrfileURLsAnswerOnlyTheApplicationsOwnPage) {
  start();
  testing_support::LogCapture log;
  platform::URLRequest file(platform::URL::parse("hbrfile://localhost/persistent/notes.js").value());
  web()->loadRequest(platform::URLRequest(platform::URL::parse("https://partner.example/").value()));
  auto refused = serve(file);
  ASSERT_TRUE(refused && refused->error);
  EXPECT_EQ(refused->error->code, platform::urlerror::kNoPermissionsToReadFile);
  EXPECT_TRUE(log.contains("Refused hbrfile://localhost/persistent/notes.js: only the application's own page may "
                           "load it (page https://partner.example/)"));
  // The application's page goes on to the URL protocols (none takes it in this test).
  web()->loadRequest(platform::URLRequest(platform::URL::parse("app://app.local/index.html").value()));
  auto passed = serve(file);
  ASSERT_TRUE(passed && passed->error);
  EXPECT_EQ(passed->error->code, platform::urlerror::kUnsupportedURL);
}

// What the bridge evaluates goes only to the application's own page as the web view committed
// it, and what comes back counts only from the page it was sent to. Each refusal is a page
// that answers every evaluation with a batch of commands.
TEST_F(BridgeTest, AnswersEventsAndReturnedBatchesReachOnlyTheApplicationsOwnPageOfOneGeneration) {
  HBRPluginClassRegistry::shared().registerClass("HostProbe",
                                                 [] { return std::make_shared<ProbePlugin>("HostProbe"); });
  start();
  ASSERT_TRUE(engine()->isApplicationPage());
  auto own = platform::URL::fileURL(www("index.html"));
  int batches = 0;
  // The answers to the returned commands return nothing, or the loop would never end.
  web()->setScriptResponder([&](const std::string& script) {
    if (script.find("NativeCallback([\"Returned") != std::string::npos) return Value();
    return Value(Value::array({Value{"Returned" + std::to_string(++batches), "Probe", "echo", {"x"}}}).dump());
  });
  auto ranReturnedBatch = [&] {
    for (const auto& script : web()->evaluatedScripts())
      if (script.find("NativeCallback([\"Returned") != std::string::npos) return true;
    return false;
  };
  auto delegate = vc->commandDelegate();
  auto& app = platform::ui::Application::shared();
  testing_support::LogCapture log;

  // A partner page in the top frame gets no answer, no channel event and no document event,
  // so nothing it could return runs.
  web()->commitPage(platform::URL::parse("https://partner.example/"));
  EXPECT_FALSE(engine()->isApplicationPage());
  delegate->sendPluginResult(HBRPluginResult::resultWithStatus(HBRResultStatus::OK, "private"), "Answer1");
  delegate->sendPluginResult(HBRPluginResult::resultWithStatus(HBRResultStatus::OK, 1), "E2EStaticChannel");
  app.willResignActive();
  app.didBecomeActive();
  vc->commandQueue()->fetchCommandsFromJs();
  platform::MainLoop::drain();
  EXPECT_TRUE(web()->evaluatedScripts().empty());
  EXPECT_TRUE(log.contains("Not evaluated in https://partner.example/: it is not the application's own page."));

  // An answer to a command of the application's page that comes once the next page (the
  // application's own again) was committed is dropped, never evaluated there.
  web()->commitPage(own);
  ASSERT_TRUE(web()->postScriptMessage("harbor", Value{"Slow1", "Probe", "echo", {"rows"}}));
  platform::MainLoop::drain();
  web()->clearRecords();
  delegate->sendPluginResult(HBRPluginResult::resultWithStatus(HBRResultStatus::OK, "late rows"), "Slow1");
  app.didBecomeActive();  // meant for the page shown now
  web()->commitPage(own);
  platform::MainLoop::drain();
  EXPECT_TRUE(web()->evaluatedScripts().empty());
  EXPECT_TRUE(log.contains("Dropped an answer or event meant for an earlier page."));

  // A batch returned by a document that was replaced while the evaluation ran does not run.
  web()->clearRecords();
  delegate->evalJs("1", false);
  ASSERT_EQ(web()->evaluatedScripts().size(), 1u);
  web()->commitPage(own);
  platform::MainLoop::drain();
  EXPECT_FALSE(ranReturnedBatch());
  EXPECT_TRUE(log.contains("Dropped the result of an evaluation: its page went away."));

  // The application's own page, unchanged, has its returned batches run.
  web()->clearRecords();
  delegate->evalJs("1", false);
  ASSERT_TRUE(platform::MainLoop::runUntil(ranReturnedBatch, 5));
  HBRPluginClassRegistry::shared().unregisterClass("HostProbe");
}

// The order in which plugins are asked about a navigation does not hang on their names: by
// rank, then as they were registered.
TEST_F(WebViewEngineTest, TheNavigationPollOrderIsRankThenRegistration) {
  start();
  std::vector<std::string> asked;
  struct Recording : ProbePlugin {
    Recording(std::string name, std::vector<std::string>& asked, int rank)
        : ProbePlugin(std::move(name)), asked_(asked), rank_(rank) {}
    std::optional<bool> shouldOverrideLoadWithRequest(const platform::URLRequest&, int) override {
      asked_.push_back(className());
      return true;
    }
    int navigationRank() const override { return rank_; }
    std::vector<std::string>& asked_;
    int rank_;
  };
  for (auto [name, rank] : std::vector<std::pair<std::string, int>>{{"Zed", 0}, {"Alpha", 0}, {"Mid", -1}})
    vc->registerPlugin(std::make_shared<Recording>(name, asked, rank), name);
  auto https = platform::URLRequest(platform::URL::parse("https://example.com/").value());
  EXPECT_EQ(web()->decidePolicy(https, platform::webkit::NavigationType::LinkActivated), true);
  EXPECT_EQ(asked, (std::vector<std::string>{"Mid", "Zed", "Alpha"}));
}

// A plugin's handler is reached like "harbor": from the application's own page, in the main
// frame, and it stays registered although only the web view holds it.
TEST_F(BridgeTest, APluginsHandlerIsReachedOnlyFromTheApplicationsOwnPage) {
  start();
  struct Counting : platform::webkit::ScriptMessageHandler {
    explicit Counting(int& count) : count_(count) {}
    void didReceiveScriptMessage(const std::string&, const Value&) override { ++count_; }
    int& count_;
  };
  int received = 0;
  engine()->addScriptMessageHandler(std::make_shared<Counting>(received), "PluginChannel");
  HBRWebViewEngineInfo info;
  info.scriptMessageHandlers["InfoChannel"] = std::make_shared<Counting>(received);
  engine()->updateWithInfo(info);
  auto own = platform::URL::fileURL(www("index.html"));
  for (const char* name : {"PluginChannel", "InfoChannel"}) {
    EXPECT_TRUE(web()->postScriptMessage(name, nullptr, own)) << name;
    EXPECT_FALSE(web()->postScriptMessage(name, nullptr, own, false)) << name;  // a frame
    EXPECT_FALSE(web()->postScriptMessage(name, nullptr, platform::URL::parse("https://partner.example/"))) << name;
  }
  EXPECT_EQ(received, 2);
}

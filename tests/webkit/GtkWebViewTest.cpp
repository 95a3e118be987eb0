#include "platform/webkit/gtk/GtkWebView.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include "platform/foundation/JSONText.h"
#include "platform/foundation/MainLoop.h"
#include "support/TestSupport.h"

namespace {

using platform::Error;
using platform::MainLoop;
using platform::URL;
using platform::URLRequest;
using platform::URLResponse;
using platform::Value;
using namespace platform::webkit;

// Serves pages from memory; a page named "hang" is never answered until the test says so, and
// one under "/threaded/" is answered whole from a thread of its own, which lets go of the task
// last.
class PageServer : public URLSchemeHandler {
 public:
  std::map<std::string, std::string> pages;
  std::vector<URLRequest> requests;
  std::vector<std::shared_ptr<URLSchemeTask>> held;
  std::vector<std::thread> threads;
  int stopped = 0;

  ~PageServer() override {
    for (auto& thread : threads) thread.join();
  }

  void startURLSchemeTask(WebView&, const std::shared_ptr<URLSchemeTask>& task) override {
    requests.push_back(task->request());
    std::string path = task->request().url().path();
    if (path.rfind("/threaded/", 0) == 0) {
      threads.emplace_back([task = task, path]() mutable {
        task->didReceiveAnswer(URLResponse::http(task->request().url(), 200,
                                                 {{"Content-Type", "text/plain"}, {"X-Probe", "whole"}}),
                               "answered " + path);
        // Long enough for the main thread to hand the answer on and let go of its own hold.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        task.reset();
      });
      return;
    }
    if (path == "/hang") {
      held.push_back(task);
      return;
    }
    if (path == "/broken") {
      task->didFailWithError(Error::make("TestDomain", 7, "broken on purpose"));
      return;
    }
    auto page = pages.find(path);
    int status = page == pages.end() ? 404 : 200;
    task->didReceiveResponse(URLResponse::http(task->request().url(), status, {{"Content-Type", "text/html"}}));
    if (page != pages.end()) task->didReceiveData(page->second);
    task->didFinish();
  }
  void stopURLSchemeTask(WebView&, const std::shared_ptr<URLSchemeTask>&) override { ++stopped; }
};

class Messages : public ScriptMessageHandler {
 public:
  std::vector<std::pair<std::string, Value>> received;
  // A body nested too deep to copy (copying recurses) is kept as null and counted here.
  int tooDeep = 0;
  void didReceiveScriptMessage(const std::string& name, const Value& body) override {
    if (platform::nestedDeeperThan(body)) {
      ++tooDeep;
      received.emplace_back(name, nullptr);
      return;
    }
    received.emplace_back(name, body);
  }
};

class Navigation : public NavigationDelegate {
 public:
  std::vector<NavigationAction> asked;
  std::function<bool(const NavigationAction&)> allow = [](const NavigationAction&) { return true; };
  int started = 0, finished = 0;
  std::vector<Error> failures;
  void decidePolicyForNavigationAction(WebView&, const NavigationAction& action,
                                       std::function<void(bool)> decisionHandler) override {
    asked.push_back(action);
    decisionHandler(allow(action));
  }
  void didStartProvisionalNavigation(WebView&) override { ++started; }
  void didFinishNavigation(WebView&) override { ++finished; }
  void didFailProvisionalNavigation(WebView&, const Error& e) override { failures.push_back(e); }
  void didFailNavigation(WebView&, const Error& e) override { failures.push_back(e); }
  void webContentProcessDidTerminate(WebView&) override { ++terminated; }
  int terminated = 0;
};

class Dialogs : public UIDelegate {
 public:
  std::vector<std::string> shown;
  void runJavaScriptAlertPanel(WebView&, const std::string& message, std::function<void()> done) override {
    shown.push_back("alert:" + message);
    done();
  }
  void runJavaScriptConfirmPanel(WebView&, const std::string& message, std::function<void(bool)> done) override {
    shown.push_back("confirm:" + message);
    done(true);
  }
  void runJavaScriptTextInputPanel(WebView&, const std::string& prompt, const std::string& defaultText,
                                   std::function<void(std::optional<std::string>)> done) override {
    shown.push_back("prompt:" + prompt + "/" + defaultText);
    // The page asks twice: answered the first time, cancelled the second.
    done(shown.size() % 2 ? std::optional<std::string>("typed") : std::nullopt);
  }
};

class GtkWebViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = std::make_shared<PageServer>();
    messages = std::make_shared<Messages>();
    navigation = std::make_shared<Navigation>();
    WebViewConfiguration configuration;
    configuration.processPool = std::make_shared<ProcessPool>();
    configuration.setURLSchemeHandler(server, "test");
    configuration.userContentController->addScriptMessageHandler(messages, "probe");
    guarded = std::make_shared<Messages>();
    configuration.userContentController->addMainFrameScriptMessageHandler(
        guarded, "guarded", [](const URL& page) { return page.path() != "/foreign.html"; });
    configuration.userContentController->addUserScript({"window.injected = 'early';", true, true});
    configuration.applicationNameForUserAgent = "Mobile/15E148 VeltroTest";
    view = GtkWebView::create({{0, 0}, {320, 480}}, configuration);
    view->setNavigationDelegate(navigation);
    window = gtk_offscreen_window_new();
    gtk_widget_set_size_request(view->widget(), 320, 480);
    gtk_container_add(GTK_CONTAINER(window), view->widget());
    gtk_widget_show_all(window);
  }
  void TearDown() override {
    view.reset();
    gtk_widget_destroy(window);
  }

  bool load(const std::string& path, const std::string& html) {
    server->pages[path] = html;
    int before = navigation->finished;
    view->loadRequest(URLRequest(*URL::parse("test://host" + path)));
    return MainLoop::runUntil([&] { return navigation->finished > before; }, 15);
  }
  Value evaluate(const std::string& script, std::optional<Error>* error = nullptr) {
    bool done = false;
    Value result;
    view->evaluateJavaScript(script, [&](const Value& value, const std::optional<Error>& e) {
      result = value;
      if (error) *error = e;
      done = true;
    });
    EXPECT_TRUE(MainLoop::runUntil([&] { return done; }, 10)) << script;
    return result;
  }

  std::shared_ptr<PageServer> server;
  std::shared_ptr<Messages> messages;
  std::shared_ptr<Messages> guarded;
  std::shared_ptr<Navigation> navigation;
  std::shared_ptr<GtkWebView> view;
  GtkWidget* window = nullptr;
};

TEST_F(GtkWebViewTest, LoadsFromTheSchemeHandlerAndTalksBothWays) {
  URLRequest request(*URL::parse("test://host/index.html"));
  server->pages["/index.html"] =
      "<title>Index</title><script>window.webkit.messageHandlers.probe.postMessage("
      "[window.injected, 1.5, {a: [true, null]}, 'text']);</script>";
  view->loadRequest(request);
  ASSERT_TRUE(MainLoop::runUntil([&] { return navigation->finished == 1; }, 15));

  ASSERT_FALSE(server->requests.empty());
  EXPECT_EQ(server->requests[0].httpMethod(), "GET");
  EXPECT_EQ(view->url()->absoluteString(), "test://host/index.html");
  // WebKit reports the title on its own schedule, at the latest shortly after the load.
  EXPECT_TRUE(MainLoop::runUntil([&] { return view->title() == "Index"; }, 5));
  EXPECT_EQ(navigation->started, 1);
  ASSERT_EQ(messages->received.size(), 1u);
  EXPECT_EQ(messages->received[0].first, "probe");
  // The user script ran at document start, before the page's own script.
  EXPECT_EQ(messages->received[0].second, Value::parse(R"(["early", 1.5, {"a": [true, null]}, "text"])"));

  // Strings come back as text, everything else as its JSON value.
  EXPECT_EQ(evaluate("'a' + 'b'"), "ab");
  EXPECT_EQ(evaluate("({n: 2, list: [1, 'x']})"), Value::parse(R"({"n": 2, "list": [1, "x"]})"));
  EXPECT_TRUE(evaluate("undefined").is_null());
  std::optional<Error> error;
  evaluate("throw new Error('boom')", &error);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->domain, "WKErrorDomain");
  EXPECT_EQ(error->code, 4);

  // Large arrays and objects are taken apart element by element: the same value as through
  // JSON, the long texts unchanged, undefined as JSON writes it.
  Value large = evaluate(
      "var big = 'q\"\\\\\\u00fc\\n'.repeat(40000); [big, 7, [big, {k: big, u: undefined}], "
      "undefined, null, true, 2.5]");
  std::string big;
  for (int i = 0; i < 40000; ++i) big += "q\"\\\xc3\xbc\n";
  Value expected = Value::array({big, 7, Value::array({big, Value{{"k", big}}}), nullptr, nullptr, true, 2.5});
  EXPECT_EQ(large, expected);
  // A lone surrogate becomes U+FFFD, on both roads, and the text around it stays.
  EXPECT_EQ(evaluate("['a\\ud800b', '\\udc00\\ud83d\\ude00']"), Value::parse(R"(["a\ufffdb", "\ufffd\ud83d\ude00"])"));
  Value lone = evaluate("['x'.repeat(70000) + '\\ud800', 'y'.repeat(70000)]");
  ASSERT_TRUE(lone.is_array() && lone.size() == 2);
  EXPECT_EQ(lone[0], std::string(70000, 'x') + "\xef\xbf\xbd");
  EXPECT_EQ(evaluate("'\\udbff'"), "\xef\xbf\xbd");

  EXPECT_NE(view->userAgent().find("VeltroTest"), std::string::npos) << view->userAgent();
  view->setCustomUserAgent("Custom/1.0");
  EXPECT_EQ(view->userAgent(), "Custom/1.0");
}

// The shell's functions that convert values run often enough for the engine here to compile
// them: what it makes of them must convert the same (half a surrogate pair becomes U+FFFD).
TEST_F(GtkWebViewTest, ValuesConvertTheSameOnceTheEngineHereHasWarmedUp) {
  ASSERT_TRUE(load("/index.html", "<p>values</p>"));
  for (int i = 0; i < 1500; ++i) {
    ASSERT_EQ(evaluate("'a\\ud800' + " + std::to_string(i)), "a\xEF\xBF\xBD" + std::to_string(i));
    if (i % 100 == 0) {
      ASSERT_EQ(evaluate("({n: " + std::to_string(i) + "})"), (Value{{"n", i}}));
    }
  }
}

TEST_F(GtkWebViewTest, AMainFrameHandlerHearsOnlyTheTopFrameOfAnAllowedPage) {
  server->pages["/frame.html"] =
      "<script>window.parent.postMessage(typeof (window.webkit && window.webkit.messageHandlers &&"
      " window.webkit.messageHandlers.guarded), '*');</script>";
  ASSERT_TRUE(load("/index.html",
                   "<script>window.addEventListener('message', function (e) {"
                   " window.webkit.messageHandlers.probe.postMessage('frame sees ' + e.data); });"
                   "window.webkit.messageHandlers.guarded.postMessage({from: 'top', n: [1, 2]});"
                   "</script><iframe src='test://host/frame.html'></iframe>"));
  ASSERT_TRUE(MainLoop::runUntil([&] { return !guarded->received.empty() && !messages->received.empty(); }, 10));
  EXPECT_EQ(guarded->received[0].second, Value::parse(R"({"from": "top", "n": [1, 2]})"));
  // The frame, though of the same page, does not see the handler; the other one it does.
  EXPECT_EQ(messages->received[0].second, "frame sees undefined");

  // A page the check refuses is heard by no one.
  testing_support::LogCapture log;
  ASSERT_TRUE(load("/foreign.html",
                   "<script>window.webkit.messageHandlers.guarded.postMessage('from foreign');"
                   "window.webkit.messageHandlers.probe.postMessage('done');</script>"));
  ASSERT_TRUE(MainLoop::runUntil([&] { return messages->received.size() >= 2; }, 10));
  ASSERT_TRUE(MainLoop::runUntil([&] { return log.contains("Dropped a message to 'guarded'"); }, 5));
  EXPECT_EQ(guarded->received.size(), 1u);
  EXPECT_TRUE(log.contains("from test://host/foreign.html: only the application's own page may send it."));
}

TEST_F(GtkWebViewTest, AScriptsGestureCountsOnlyAfterTheUsersOwnInput) {
  ASSERT_TRUE(load("/index.html", "<p>start</p>"));
  server->pages["/next.html"] = "<p>next</p>";
  auto gestureOfNavigationTo = [&](const std::string& path) {
    size_t before = navigation->asked.size();
    int finished = navigation->finished;
    // WebKit counts every script the shell evaluates as the user's gesture.
    evaluate("window.location.href = 'test://host" + path + "'; 1");
    EXPECT_TRUE(MainLoop::runUntil([&] { return navigation->asked.size() > before; }, 10));
    bool gesture = navigation->asked.size() > before && navigation->asked.back().userGesture;
    // The next script runs in the new page, never in one that is going away.
    EXPECT_TRUE(MainLoop::runUntil([&] { return navigation->finished > finished; }, 10));
    return gesture;
  };
  EXPECT_FALSE(gestureOfNavigationTo("/next.html"));

  // A key press counts for a second; a loaded machine gets another try.
  bool counted = false;
  for (int attempt = 0; attempt < 3 && !counted; ++attempt) {
    GdkEvent* key = gdk_event_new(GDK_KEY_PRESS);
    key->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(view->widget())));
    gboolean handled = FALSE;
    g_signal_emit_by_name(view->widget(), "key-press-event", key, &handled);
    gdk_event_free(key);
    counted = gestureOfNavigationTo(attempt % 2 ? "/next.html" : "/index.html");
  }
  EXPECT_TRUE(counted);
}

TEST_F(GtkWebViewTest, HostileValuesFromThePageArriveRepairedOrBounded) {
  ASSERT_TRUE(load("/values.html", "<p>values</p>"));
  // Half a surrogate pair has no UTF-8 form: it becomes U+FFFD, in strings and in structures.
  EXPECT_EQ(evaluate("'a\\ud800b'"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(evaluate("({'k\\udc00': ['\\ud83d', '\\ud83d\\ude00']})"),
            Value::parse("{\"k\uFFFD\": [\"\uFFFD\", \"\U0001F600\"]}"));
  evaluate("window.webkit.messageHandlers.probe.postMessage(['x\\udfff']); 0");
  ASSERT_TRUE(MainLoop::runUntil([&] { return !messages->received.empty(); }, 5));
  EXPECT_EQ(messages->received.back().second, Value::array({"x\xEF\xBF\xBD"}));

  // Deep values arrive whole for the receiver to refuse; beyond all reason they are dropped.
  messages->received.clear();
  evaluate("var d = []; for (var i = 0; i < 5000; i++) d = [d]; window.webkit.messageHandlers.probe.postMessage(d); 0");
  ASSERT_TRUE(MainLoop::runUntil([&] { return !messages->received.empty(); }, 10));
  EXPECT_EQ(messages->tooDeep, 1);
  testing_support::LogCapture log;
  EXPECT_TRUE(evaluate("var e = []; for (var i = 0; i < 20000; i++) e = [e]; e").is_null());
  EXPECT_TRUE(log.contains("a value from the page was dropped: JSON text nested deeper than 16384 levels"));
}

// Long strings leave a value on a road of their own; they must come back in their places,
// whole, whatever they hold, and a string that merely looks like a placeholder stays itself.
TEST_F(GtkWebViewTest, LongStringsArriveWholeAndInPlace) {
  ASSERT_TRUE(load("/long.html", "<p>long</p>"));
  evaluate(
      "var L = function (c, n) { return new Array(n + 1).join(c); };"
      "window.long = L('a', 40000);"
      "window.sent = ['id', {k: L('b', 20000) + '\\u0000' + 'z', n: [1, window.long]},"
      " L('\\u00e9', 17000) + '\\ud800', '\\u0001veltro-long-string:1-2:0', [[['deep' + window.long]]]];"
      "window.webkit.messageHandlers.probe.postMessage(window.sent); 0");
  ASSERT_TRUE(MainLoop::runUntil([&] { return !messages->received.empty(); }, 10));
  // The application's own channel takes its messages apart in the page: the same value arrives.
  evaluate("window.webkit.messageHandlers.guarded.postMessage(window.sent); 0");
  ASSERT_TRUE(MainLoop::runUntil([&] { return !guarded->received.empty(); }, 10));
  EXPECT_EQ(guarded->received.back().second, messages->received.back().second);
  const Value& body = messages->received.back().second;
  std::string a(40000, 'a');
  ASSERT_TRUE(body.is_array() && body.size() == 5) << body.dump().substr(0, 200);
  EXPECT_EQ(body[0], "id");
  EXPECT_EQ(body[1]["k"], std::string(20000, 'b') + std::string("\0z", 2));
  EXPECT_EQ(body[1]["n"], Value::array({1, a}));
  std::string accents;
  for (int i = 0; i < 17000; ++i) accents += "\xC3\xA9";
  EXPECT_EQ(body[2], accents + "\xEF\xBF\xBD");
  EXPECT_EQ(body[3], "\x01veltro-long-string:1-2:0");
  EXPECT_EQ(body[4], Value::array({Value::array({Value::array({"deep" + a})})}));
  // Long strings are read from their UTF-16 units: pairs, controls and characters of every
  // width come out as their UTF-8, wherever they fall, at and around the size that splits.
  messages->received.clear();
  guarded->received.clear();
  evaluate("var mix = '\\ud83d\\ude00\\u0001\\u001f\"\\\\\\u00e9\\u20ac\\u0000z';"
           "window.mixed = [L('y', 16383) + mix, L(mix, 2000), L('q', 16384), L('\\u00ff', 16385)];"
           "window.webkit.messageHandlers.probe.postMessage(window.mixed);"
           "window.webkit.messageHandlers.guarded.postMessage(window.mixed); 0");
  ASSERT_TRUE(MainLoop::runUntil([&] { return !messages->received.empty() && !guarded->received.empty(); }, 10));
  std::string mix = std::string("\xF0\x9F\x98\x80\x01\x1F\"\\\xC3\xA9\xE2\x82\xAC") + std::string(1, '\0') + "z";
  std::string repeated, ys(16383, 'y'), bytesFF;
  for (int i = 0; i < 2000; ++i) repeated += mix;
  for (int i = 0; i < 16385; ++i) bytesFF += "\xC3\xBF";
  EXPECT_EQ(guarded->received.back().second, messages->received.back().second);
  EXPECT_EQ(guarded->received.back().second, Value::array({ys + mix, repeated, std::string(16384, 'q'), bytesFF}));
  // Results of evaluations take the same road; a cyclic value is still answered with its text.
  EXPECT_EQ(evaluate("[window.long, {x: window.long}]"), Value::array({a, {{"x", a}}}));
  EXPECT_EQ(evaluate("var c = [window.long]; c.push(c); c").get<std::string>().substr(0, 3), "aaa");
  // On the application's channel a value without JSON text is refused in the page, at once.
  EXPECT_EQ(evaluate("try { window.webkit.messageHandlers.guarded.postMessage(c); 'sent' } catch (e) { e.name }"),
            "TypeError");
  // A plain string and a value with a function in it keep their usual forms.
  guarded->received.clear();
  evaluate("window.webkit.messageHandlers.guarded.postMessage('\"text\"');"
           "window.webkit.messageHandlers.guarded.postMessage({f: function () {}, n: 1}); 0");
  ASSERT_TRUE(MainLoop::runUntil([&] { return guarded->received.size() == 2; }, 10));
  EXPECT_EQ(guarded->received[0].second, "\"text\"");
  EXPECT_EQ(guarded->received[1].second, Value::parse(R"({"n": 1})"));
  // The page may post the channel's events itself: broken text and stray parts are its own
  // message's loss, logged, never the shell's.
  guarded->received.clear();
  testing_support::LogCapture log;
  evaluate("var part = function (d) { window.dispatchEvent(new CustomEvent('veltro-script-part:guarded', {detail: d})); };"
           "var send = function (d) { window.dispatchEvent(new CustomEvent('veltro-script-message:guarded', {detail: d})); };"
           "send('{broken'); part('\\ud800'); send('[1]'); send(['\"x\"', 7]); 0");
  ASSERT_TRUE(MainLoop::runUntil([&] { return guarded->received.size() == 3; }, 10));
  EXPECT_TRUE(guarded->received[0].second.is_null());
  EXPECT_TRUE(log.contains("a value from the page was dropped"));
  EXPECT_EQ(guarded->received[1].second, Value::array({1}));
  // A body that is not text cannot be measured before it crosses: it arrives as null.
  EXPECT_TRUE(guarded->received[2].second.is_null());
}

// Bytes of the size `n` whose values run from `first` in steps of 131, as the pages below make them.
platform::Bytes steppedBytes(size_t n, unsigned first) {
  platform::Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>((first + i * 131) & 0xff);
  return out;
}

TEST_F(GtkWebViewTest, BytesOnTheApplicationsChannelArriveAsBytesInPlace) {
  ASSERT_TRUE(load("/bytes.html", "<p>bytes</p>"));
  evaluate(
      "var bytes = function (n, first) { var v = new Uint8Array(n);"
      "  for (var i = 0; i < n; i++) v[i] = (first + i * 131) & 255; return v; };"
      "var all = new Uint8Array(256); for (var i = 0; i < 256; i++) all[i] = i;"
      "var channel = window.webkit.messageHandlers.guarded, w = channel.bytes;"
      "var post = function (m) { channel.postMessage(m); };"
      // A small message, which JSON alone would write with an empty object for each buffer.
      "post([w(new ArrayBuffer(0)), w(bytes(1, 1).buffer), w(bytes(2, 2).buffer), w(bytes(3, 3).buffer), w(all.buffer)]);"
      // Views send only the bytes they cover, nested among long strings.
      "post({v: w(all.subarray(250)), d: w(new DataView(all.buffer, 1, 2)), n: [[w(bytes(65536, 9))]], s: 's'.repeat(20000)});"
      // Large, then small: what one message leaves behind is not part of the next.
      "post([w(bytes(8 * 1024 * 1024 + 1, 7).buffer), w(bytes(1024 * 1024, 5))]); post(w(bytes(3, 3).buffer));"
      // The bytes are taken when the message is posted.
      "var changing = bytes(4, 4); post(w(changing)); changing[0] = 99;"
      // Bytes not wrapped are what JSON makes of them, as on every other channel.
      "post([new ArrayBuffer(2), bytes(2, 0)]);"
      // Only bytes can be wrapped; a buffer that was handed over elsewhere has none left to send.
      "var gone = bytes(8, 8); structuredClone(gone.buffer, {transfer: [gone.buffer]});"
      "var failure = function (f) { try { f(); return 'none'; } catch (e) { return e.name; } };"
      "window.refused = [failure(function () { w([1, 2]); }), failure(function () { post([w(gone)]); })]; 0");
  ASSERT_TRUE(MainLoop::runUntil([&] { return guarded->received.size() == 6; }, 20)) << guarded->received.size();
  auto binary = [](platform::Bytes bytes) { return Value::binary(std::move(bytes)); };
  platform::Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(guarded->received[0].second, Value::array({binary({}), binary(steppedBytes(1, 1)),
                                                       binary(steppedBytes(2, 2)), binary(steppedBytes(3, 3)),
                                                       binary(all)}));
  EXPECT_EQ(guarded->received[1].second,
            (Value{{"v", binary(platform::Bytes(all.begin() + 250, all.end()))},
                   {"d", binary({1, 2})},
                   {"n", Value::array({Value::array({binary(steppedBytes(65536, 9))})})},
                   {"s", std::string(20000, 's')}}));
  const Value& large = guarded->received[2].second;
  ASSERT_TRUE(large.is_array() && large.size() == 2 && large[0].is_binary() && large[1].is_binary());
  EXPECT_TRUE(static_cast<const platform::Bytes&>(large[0].get_binary()) == steppedBytes(8 * 1024 * 1024 + 1, 7));
  EXPECT_TRUE(static_cast<const platform::Bytes&>(large[1].get_binary()) == steppedBytes(1024 * 1024, 5));
  EXPECT_EQ(guarded->received[3].second, binary(steppedBytes(3, 3)));
  EXPECT_EQ(guarded->received[4].second, binary(steppedBytes(4, 4)));
  EXPECT_EQ(guarded->received[5].second, Value::parse(R"([{}, {"0": 0, "1": 131}])"));
  EXPECT_EQ(evaluate("window.refused"), Value::array({"TypeError", "TypeError"}));
}

TEST_F(GtkWebViewTest, APageWithoutATitleIsStillThereUntilItsProcessEnds) {
  ASSERT_TRUE(load("/untitled.html", "<p>no title element</p>"));
  MainLoop::runUntil([] { return false; }, 0.3);  // a title would have come by now
  EXPECT_EQ(view->title(), std::string());

  webkit_web_view_terminate_web_process(view->webKitView());
  ASSERT_TRUE(MainLoop::runUntil([&] { return navigation->terminated == 1; }, 10));
  EXPECT_EQ(view->title(), std::nullopt);
  ASSERT_TRUE(load("/again.html", "<title>Back</title>"));
  EXPECT_TRUE(MainLoop::runUntil([&] { return view->title() == "Back"; }, 5));
}

TEST_F(GtkWebViewTest, NavigationPolicyAndFailuresReachTheDelegate) {
  navigation->allow = [](const NavigationAction& action) { return action.request.url().path() != "/refused.html"; };
  ASSERT_TRUE(load("/index.html", "<a id='go' href='test://host/refused.html'>go</a>"));
  ASSERT_EQ(navigation->asked.size(), 1u);
  EXPECT_EQ(navigation->asked[0].navigationType, NavigationType::Other);
  EXPECT_TRUE(navigation->asked[0].targetsMainFrame);

  evaluate("document.getElementById('go').click()");
  ASSERT_TRUE(MainLoop::runUntil([&] { return navigation->asked.size() == 2; }, 10));
  EXPECT_EQ(navigation->asked[1].navigationType, NavigationType::LinkActivated);
  MainLoop::runFor(0.3);
  EXPECT_EQ(view->url()->absoluteString(), "test://host/index.html");

  // A scheme task that fails ends the load with the handler's error.
  view->loadRequest(URLRequest(*URL::parse("test://host/broken")));
  ASSERT_TRUE(MainLoop::runUntil([&] { return !navigation->failures.empty(); }, 10));
  EXPECT_NE(navigation->failures[0].localizedDescription().find("broken on purpose"), std::string::npos)
      << navigation->failures[0].domain << " " << navigation->failures[0].code;
  EXPECT_EQ(navigation->failures[0].userInfo["NSErrorFailingURLStringKey"], "test://host/broken");
}

TEST_F(GtkWebViewTest, ScriptDialogsGoThroughTheUIDelegate) {
  auto dialogs = std::make_shared<Dialogs>();
  view->setUIDelegate(dialogs);
  ASSERT_TRUE(load("/index.html", "<p>dialogs</p>"));
  EXPECT_EQ(evaluate("alert('hi'); confirm('sure?') ? 'yes' : 'no'"), "yes");
  EXPECT_EQ(evaluate("JSON.stringify([prompt('name?', 'def'), prompt('again?')])"), R"(["typed",null])");
  EXPECT_EQ(dialogs->shown, (std::vector<std::string>{"alert:hi", "confirm:sure?", "prompt:name?/def", "prompt:again?/"}));

  // Without a UI delegate the page gets the platform's defaults and no dialog.
  view->setUIDelegate(std::weak_ptr<UIDelegate>());
  EXPECT_EQ(evaluate("String(confirm('x')) + String(prompt('y'))"), "falsenull");
}

TEST_F(GtkWebViewTest, AUserScriptAddedLaterRunsFromTheNextLoad) {
  ASSERT_TRUE(load("/first.html", "<p>first</p>"));
  EXPECT_EQ(evaluate("String(window.late)"), "undefined");

  view->addUserScript({"window.late = 'added';", true, true});
  ASSERT_EQ(view->configuration().userContentController->userScripts().size(), 2u);
  ASSERT_TRUE(load("/second.html", "<p>second</p>"));
  EXPECT_EQ(evaluate("String(window.late) + '/' + window.injected"), "added/early");
}

TEST_F(GtkWebViewTest, ALoadOfAMissingFileFailsInTheURLDomainInWebKitsWords) {
  view->loadFileURL(URL::fileURL("/nonexistent/veltro/page.html"), URL::fileURL("/nonexistent/veltro"));
  ASSERT_TRUE(MainLoop::runUntil([&] { return !navigation->failures.empty(); }, 10));
  EXPECT_EQ(navigation->failures[0].domain, platform::kURLErrorDomain);
  EXPECT_NE(navigation->failures[0].localizedDescription().find("page.html"), std::string::npos)
      << navigation->failures[0].localizedDescription();
  EXPECT_EQ(navigation->failures[0].userInfo["NSErrorFailingURLStringKey"], "file:///nonexistent/veltro/page.html");
}

TEST_F(GtkWebViewTest, OpenSchemeTasksAreStoppedWhenTheViewGoes) {
  view->loadRequest(URLRequest(*URL::parse("test://host/hang")));
  ASSERT_TRUE(MainLoop::runUntil([&] { return server->held.size() == 1; }, 10));
  EXPECT_EQ(view->pendingSchemeTaskCount(), 1u);
  view.reset();
  EXPECT_EQ(server->stopped, 1);
  // Answers after the stop go nowhere and break nothing.
  server->held[0]->didReceiveData("late");
  server->held[0]->didFinish();
}

TEST_F(GtkWebViewTest, AWholeAnswerFromAnotherThreadReachesThePageAndTheTaskMayEndThere) {
  ASSERT_TRUE(load("/index.html",
                   "<script>Promise.all(['a', 'b'].map(name => fetch('/threaded/' + name).then("
                   "r => r.text().then(t => [r.status, r.headers.get('X-Probe'), t])))).then("
                   "all => window.webkit.messageHandlers.probe.postMessage(all));</script>"));
  ASSERT_TRUE(MainLoop::runUntil([&] { return !messages->received.empty(); }, 10));
  EXPECT_EQ(messages->received[0].second,
            Value::parse(R"([[200, "whole", "answered /threaded/a"], [200, "whole", "answered /threaded/b"]])"));
  // The threads let go of their tasks after the main thread did; the page goes on working.
  for (auto& thread : server->threads) thread.join();
  server->threads.clear();
  MainLoop::runFor(0.1);
  EXPECT_EQ(view->pendingSchemeTaskCount(), 0u);
  EXPECT_EQ(evaluate("'still' + ' here'"), "still here");
}

TEST_F(GtkWebViewTest, SnapshotWritesAPNG) {
  ASSERT_TRUE(load("/index.html", "<body style='background:#123456'><h1>shot</h1></body>"));
  testing_support::TempDir temp;
  std::string path = temp.file("shot.png");
  bool done = false;
  std::optional<Error> error;
  view->snapshotPNG(path, [&](const std::optional<Error>& e) {
    error = e;
    done = true;
  });
  ASSERT_TRUE(MainLoop::runUntil([&] { return done; }, 10));
  ASSERT_FALSE(error) << error->localizedDescription();
  GdkPixbuf* image = gdk_pixbuf_new_from_file(path.c_str(), nullptr);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(gdk_pixbuf_get_width(image), 320);
  g_object_unref(image);

  bool failed = false;
  view->snapshotPNG(temp.file("missing/folder/shot.png"), [&](const std::optional<Error>& e) { failed = e.has_value(); done = false; });
  ASSERT_TRUE(MainLoop::runUntil([&] { return !done; }, 10));
  EXPECT_TRUE(failed);
}

}  // namespace

// The relay refuses in the page what may not cross: a message over the size cap, and any
// message of a page whose origin is not allowed. Only a reason crosses, for the log.
TEST_F(GtkWebViewTest, TheRelayChecksOriginAndSizeBeforeAMessageCrossesAndCommitsAreCounted) {
  auto capped = std::make_shared<Messages>();
  ScriptMessageOriginPolicy policy;
  policy.check = [](const URL& page) { return page.host() == "host"; };
  policy.origins = std::vector<std::string>{"test://host"};
  policy.maxMessageBytes = 1000;
  view->addMainFrameScriptMessageHandler(capped, "capped", policy);
  auto before = view->committedPage().generation;
  testing_support::LogCapture log;
  ASSERT_TRUE(load("/capped.html", "<p>capped</p>"));
  ASSERT_TRUE(view->committedPage().url);
  EXPECT_EQ(view->committedPage().url->absoluteString(), "test://host/capped.html");
  EXPECT_EQ(view->committedPage().generation, before + 1);

  // Bytes count as the Base64 text they cross as: 800 bytes are 1068 characters.
  evaluate("var c = window.webkit.messageHandlers.capped;"
           "c.postMessage('x'.repeat(2000)); c.postMessage(['small', 'y'.repeat(20000)]);"
           "c.postMessage([c.bytes(new Uint8Array(800).buffer)]); c.postMessage('ok'); c.postMessage(c.bytes(new Uint8Array(600))); 0");
  ASSERT_TRUE(MainLoop::runUntil([&] { return capped->received.size() == 2; }, 10));
  EXPECT_EQ(capped->received[0].second, "ok");
  EXPECT_EQ(capped->received[1].second, Value::binary(platform::Bytes(600, 0)));
  EXPECT_EQ(log.count("Dropped a message to 'capped' from test://host/capped.html: it is larger than 1000 bytes."), 3u);

  server->pages["/other.html"] = "<p>other</p>";
  int finished = navigation->finished;
  view->loadRequest(URLRequest(*URL::parse("test://other/other.html")));
  ASSERT_TRUE(MainLoop::runUntil([&] { return navigation->finished > finished; }, 15));
  EXPECT_EQ(view->committedPage().generation, before + 2);
  evaluate("window.webkit.messageHandlers.capped.postMessage('y'.repeat(100000)); 0");
  ASSERT_TRUE(MainLoop::runUntil(
      [&] { return log.contains("Dropped a message to 'capped' from test://other/other.html: only the application's"); },
      10));
  EXPECT_EQ(capped->received.size(), 2u);
}

// A page's first script may post before the relay of its world has started: WebKit runs the
// document-start scripts of each world in an order of its own. Nothing posted that early is
// lost, and the messages keep their order.
TEST_F(GtkWebViewTest, MessagesPostedAtDocumentStartWaitForTheRelayInOrder) {
  auto early = std::make_shared<Messages>();
  ScriptMessageOriginPolicy policy;
  policy.check = [](const URL& page) { return page.host() == "host"; };
  policy.origins = std::vector<std::string>{"test://host"};
  view->addMainFrameScriptMessageHandler(early, "early", policy);
  view->addUserScript({"window.webkit.messageHandlers.early.postMessage('first');"
                       "window.webkit.messageHandlers.early.postMessage({n: 2});",
                       true, true});
  for (int load = 1; load <= 3; ++load) {
    ASSERT_TRUE(this->load("/early" + std::to_string(load) + ".html", "<p>early</p>"));
    ASSERT_TRUE(MainLoop::runUntil([&] { return early->received.size() >= 2u * load; }, 10)) << "load " << load;
  }
  ASSERT_EQ(early->received.size(), 6u);
  for (size_t i = 0; i < early->received.size(); i += 2) {
    EXPECT_EQ(early->received[i].second, "first");
    EXPECT_EQ(early->received[i + 1].second, (Value{{"n", 2}}));
  }
}

// The page's messages reach the relay through events of its own world. However the page
// changes the methods the channel once took, and whatever it listens to, each message crosses
// with its own body and parts, in order, and the page never hears the relay's events.
TEST_F(GtkWebViewTest, EachMessageCrossesWithItsOwnBodyAndThePageNeverHearsTheRelay) {
  ASSERT_TRUE(load("/own.html", "<p>own</p>"));
  evaluate(
      "window.heard = 0;"
      "['veltro-script-message:guarded', 'veltro-script-part:guarded'].forEach(function (type) {"
      "  window.addEventListener(type, function () { window.heard++; }, true);"
      "  window.addEventListener(type, function () { window.heard++; });"
      "  document.addEventListener(type, function () { window.heard++; }, true);"
      "});"
      "CustomEvent.prototype.initCustomEvent = function () { throw new Error('replaced'); };"
      "Reflect.apply = function () { throw new Error('replaced'); };"
      "Function.prototype.call = function () { window.heard += 1000; throw new Error('replaced'); };"
      "var L = function (c, n) { return c.repeat(n); };"
      "var c = window.webkit.messageHandlers.guarded;"
      "var holes = [1, , 'h']; holes.extra = 'not sent';"
      "var many = []; for (var i = 0; i < 70; i++) many.push(i); many.push(L('m', 17000));"
      "c.postMessage(['a', L('1', 17000)]);"
      "c.postMessage('b');"
      "c.postMessage([L('2', 16384), 'c', {d: [[L('3', 20000)]]}]);"
      "c.postMessage({holes: holes, like: {length: 2, 0: L('4', 16500)}});"
      "c.postMessage(many);"
      "c.postMessage([]); 0");
  ASSERT_TRUE(MainLoop::runUntil([&] { return guarded->received.size() == 6; }, 10)) << guarded->received.size();
  EXPECT_EQ(guarded->received[0].second, Value::array({"a", std::string(17000, '1')}));
  EXPECT_EQ(guarded->received[1].second, "b");
  EXPECT_EQ(guarded->received[2].second,
            Value::array({std::string(16384, '2'), "c",
                          Value{{"d", Value::array({Value::array({std::string(20000, '3')})})}}}));
  EXPECT_EQ(guarded->received[3].second,
            (Value{{"holes", Value::array({1, nullptr, "h"})}, {"like", {{"length", 2}, {"0", std::string(16500, '4')}}}}));
  Value many = Value::array();
  for (int i = 0; i < 70; ++i) many.push_back(i);
  many.push_back(std::string(17000, 'm'));
  EXPECT_EQ(guarded->received[4].second, many);
  EXPECT_EQ(guarded->received[5].second, Value::array());
  EXPECT_EQ(evaluate("window.heard"), 0);
}

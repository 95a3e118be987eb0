#include "platform/webkit/WebView.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>

#include "platform/foundation/MainLoop.h"
#include "platform/ui/Alert.h"
#include "platform/webkit/HeadlessWebView.h"
#include "platform/webkit/SynchronousEvaluateJavaScript.h"
#include "support/TestSupport.h"

namespace {

using namespace platform::webkit;
using platform::URL;
using platform::URLRequest;

class CountingHandler : public URLSchemeHandler {
 public:
  int started = 0, stopped = 0;
  void startURLSchemeTask(WebView&, const std::shared_ptr<URLSchemeTask>& task) override {
    ++started;
    task->didFinish();
  }
  void stopURLSchemeTask(WebView&, const std::shared_ptr<URLSchemeTask>&) override { ++stopped; }
};

TEST(WebView, SchemesAreFoundWhateverTheirCaseAndScriptsAlwaysHaveAController) {
  for (const char* own : {"https", "HTTPS", "File"}) EXPECT_TRUE(WebView::handlesURLScheme(own));
  for (const char* other : {"app", "httpx", ""}) EXPECT_FALSE(WebView::handlesURLScheme(other));

  WebViewConfiguration configuration;
  auto handler = std::make_shared<CountingHandler>();
  // A package may write its scheme in capitals; the engine asks for it in lower case.
  configuration.setURLSchemeHandler(handler, "MyApp");
  EXPECT_EQ(configuration.handlerForScheme("myapp"), handler);
  EXPECT_EQ(configuration.handlerForScheme("MYAPP"), handler);
  EXPECT_EQ(configuration.handlerForScheme("other"), nullptr);
  auto second = std::make_shared<CountingHandler>();
  configuration.setURLSchemeHandler(second, "myapp");
  EXPECT_EQ(configuration.urlSchemeHandlers.size(), 1u);
  EXPECT_EQ(configuration.handlerForScheme("MyApp"), second);

  // A view always has a user content controller, and takes late scripts.
  configuration.userContentController = nullptr;
  auto view = makeWebView({}, configuration);
  ASSERT_NE(view->configuration().userContentController, nullptr);

  view->addUserScript({"window.late = true;", false, true});
  const auto& scripts = view->configuration().userContentController->userScripts();
  ASSERT_EQ(scripts.size(), 1u);
  EXPECT_EQ(scripts[0].source, "window.late = true;");
  EXPECT_FALSE(scripts[0].atDocumentStart);
}

// A main-frame handler is reached only when both the page that posted (as it said where it
// was) and the page the engine has committed by the time the message arrives are allowed: a
// message the application's page posted just before another page was committed is dropped.
TEST(MainFrameMessages, BothThePostingPageAndTheCommittedPageMustBeAllowed) {
  HeadlessWebView view;
  struct Counter : ScriptMessageHandler {
    int received = 0;
    void didReceiveScriptMessage(const std::string&, const platform::Value&) override { ++received; }
  };
  auto counter = std::make_shared<Counter>();
  view.addMainFrameScriptMessageHandler(
      counter, "bridge", ScriptMessageOriginPolicy{[](const platform::URL& url) { return url.scheme() == "app"; }, std::nullopt, false});
  auto app = platform::URL::parse("app://localhost/index.html");
  auto partner = platform::URL::parse("https://partner.example/");
  view.commitPage(app);
  EXPECT_TRUE(view.postScriptMessage("bridge", 1, app));
  view.commitPage(partner);
  EXPECT_FALSE(view.postScriptMessage("bridge", 2, app));
  view.commitPage(app);
  EXPECT_FALSE(view.postScriptMessage("bridge", 3, partner));
  EXPECT_FALSE(view.postScriptMessage("bridge", 4, app, false));
  EXPECT_EQ(counter->received, 1);
}

// A view whose evaluations answer only when the test says so.
class SlowWebView : public HeadlessWebView {
 public:
  void evaluateJavaScript(const std::string&, JavaScriptCompletion completion) override {
    held.push_back(std::move(completion));
  }
  std::vector<JavaScriptCompletion> held;
};

// The synchronous evaluation answers the result as text, nothing for no result or an error,
// and gives up at its time limit; a result that comes later is dropped.
TEST(SynchronousEvaluation, AnswersTheResultAsTextWithinItsTimeLimit) {
  HeadlessWebView view;
  view.setScriptResponder([](const std::string& script) -> platform::Value {
    if (script == "text") return "a page";
    if (script == "whole") return 3.0;
    if (script == "fraction") return 1.5;
    if (script == "yes") return true;
    if (script == "object") return platform::Value{{"a", 1}};
    return nullptr;
  });
  EXPECT_EQ(stringByEvaluatingJavaScriptFromString(view, "text"), "a page");
  EXPECT_EQ(stringByEvaluatingJavaScriptFromString(view, "whole"), "3");
  EXPECT_EQ(stringByEvaluatingJavaScriptFromString(view, "fraction"), "1.5");
  EXPECT_EQ(stringByEvaluatingJavaScriptFromString(view, "yes"), "1");
  EXPECT_EQ(stringByEvaluatingJavaScriptFromString(view, "object"), R"({"a":1})");
  EXPECT_EQ(stringByEvaluatingJavaScriptFromString(view, "undefined"), std::nullopt);

  SlowWebView slow;
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(stringByEvaluatingJavaScriptFromString(slow, "never", 0.2), std::nullopt);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(200));
  ASSERT_EQ(slow.held.size(), 1u);
  slow.held[0]("late", std::nullopt);  // nobody waits for it any more
  // The answer comes while the evaluation waits.
  platform::MainLoop::post([&] { slow.held.back()(nullptr, platform::Error::make("WKErrorDomain", 4, "It failed")); });
  EXPECT_EQ(stringByEvaluatingJavaScriptFromString(slow, "failing", 5), std::nullopt);
  platform::MainLoop::post([&] { slow.held.back()("in time", std::nullopt); });
  EXPECT_EQ(stringByEvaluatingJavaScriptFromString(slow, "answered", 5), "in time");

  // An evaluation asked for while others wait is refused once too many do: waits that ask
  // for more waits (a burst of calls, each waiting) never pile up on the stack.
  {
    testing_support::LogCapture log;
    int deepest = 0, depth = 0, refused = 0, calls = 0;
    std::function<void()> nest = [&] {
      ++depth;
      deepest = std::max(deepest, depth);
      if (++calls < 40) platform::MainLoop::post(nest);
      if (!stringByEvaluatingJavaScriptFromString(view, "text", 5)) ++refused;
      --depth;
    };
    nest();
    ASSERT_TRUE(platform::MainLoop::runUntil([&] { return calls >= 40 && depth == 0; }, 10));
    platform::MainLoop::runFor(0.05);
    EXPECT_EQ(deepest, kMaxSynchronousEvaluationDepth + 1);
    EXPECT_GE(refused, 1);
    EXPECT_TRUE(log.contains("stringByEvaluatingJavaScriptFromString is refused"));
  }

  // Off the main thread nothing is evaluated.
  std::optional<std::string> away = "unset";
  std::thread([&] { away = stringByEvaluatingJavaScriptFromString(view, "text"); }).join();
  EXPECT_EQ(away, std::nullopt);
}

TEST(AlertPresenter, WithoutAPresenterTheDefaultActionAnswersWithTheFieldsTexts) {
  using namespace platform::ui;
  AlertPresenter::setPresenter(nullptr);
  std::vector<std::string> ran;
  auto record = [&ran](const std::string& name) {
    return [&ran, name](const std::vector<std::string>& texts) {
      ran.push_back(name + ":" + (texts.empty() ? std::string() : texts[0]));
    };
  };
  auto alert = std::make_shared<Alert>();
  alert->actions = {{"OK", AlertActionStyle::Default, record("ok")},
                    {"Cancel", AlertActionStyle::Cancel, record("cancel")}};
  alert->textFields = {{"typed", "placeholder"}};
  EXPECT_EQ(AlertPresenter::defaultActionIndex(*alert), 1u);
  AlertPresenter::present(alert);
  EXPECT_EQ(ran, (std::vector<std::string>{"cancel:typed"}));

  // Without a cancel action the first action answers.
  alert->actions.pop_back();
  AlertPresenter::answerWithDefault(*alert);
  EXPECT_EQ(ran, (std::vector<std::string>{"cancel:typed", "ok:typed"}));

  // An alert without actions has nothing to run.
  alert->actions.clear();
  AlertPresenter::answerWithDefault(*alert);
  EXPECT_EQ(ran.size(), 2u);
}

}  // namespace

#include "platform/webkit/WebView.h"

#include <gtest/gtest.h>

#include "platform/ui/Alert.h"
#include "platform/webkit/HeadlessWebView.h"

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

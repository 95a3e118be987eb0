#include <gtest/gtest.h>

#include "plugins/PluginTestHost.h"
#include "plugins/auth/VLAuth.h"
#include "platform/auth/AuthController.h"

using platform::URL;
using platform::Value;
using plugintest::command;

namespace {

// Stands in for the window: records what it was asked to open and lets the test play the
// user and the page.
struct FlowWindows {
  struct Shown : AuthFlowWindow {
    explicit Shown(int* open) : open(open) { ++*open; }
    ~Shown() override { --*open; }
    int* open;
  };
  FlowWindows() {
    AuthController::setFlowPresenter([this](const URL& endpoint, const std::shared_ptr<platform::ui::Window>& parent,
                                            AuthFlowEvents flowEvents) {
      opened.push_back(endpoint.absoluteString());
      parents.push_back(parent);
      events = std::move(flowEvents);
      return std::make_unique<Shown>(&open);
    });
  }
  ~FlowWindows() { AuthController::setFlowPresenter(nullptr); }

  std::vector<std::string> opened;
  std::vector<std::shared_ptr<platform::ui::Window>> parents;
  AuthFlowEvents events;
  int open = 0;
};

class AuthPlugin : public ::testing::Test {
 protected:
  // Starts a flow; answers what was sent to `id` so far.
  std::vector<plugintest::Sent> start(const Value& args, const std::string& id) {
    auth->performAction("startFlow", command(args, id));
    return host.delegate->to(id);
  }
  FlowWindows windows;
  plugintest::Host host;
  std::shared_ptr<VLAuth> auth = host.add<VLAuth>();
};

TEST_F(AuthPlugin, RefusesAnythingButTwoStrings) {
  int n = 0;
  for (Value args : {Value::array(), Value::array({"https://a.test/"}),
                     Value::array({"https://a.test/", "https://b.test/cb", "extra"}),
                     Value::array({"https://a.test/", 42}), Value::array({nullptr, "https://b.test/cb"})}) {
    auto sent = start(args, "Bad" + std::to_string(n++));
    ASSERT_EQ(sent.size(), 1u) << args.dump();
    EXPECT_TRUE(sent[0].status == HBRResultStatus::Error && sent[0].message == "ERROR_MISSING_PLUGIN_PARAMETERS");
  }
  EXPECT_TRUE(windows.opened.empty());
}

TEST_F(AuthPlugin, MapsTheFlowsStatusAndKeepsOneFlowAtATime) {
  start(Value::array({"https://idp.test/authorize?x=1", "myapp://auth/done"}), "F1");
  ASSERT_EQ(windows.opened, std::vector<std::string>{"https://idp.test/authorize?x=1"});
  EXPECT_EQ(windows.parents[0], host.window);
  EXPECT_TRUE(host.delegate->sent.empty()) << "nothing is sent while the flow runs";

  // A second call gets its own error at once; the running flow keeps its caller.
  auto second = start(Value::array({"https://idp.test/", "myapp://auth/done"}), "F2");
  ASSERT_EQ(second.size(), 1u);
  EXPECT_TRUE(second[0].status == HBRResultStatus::Error && second[0].message == "ERROR_FLOW_IN_PROGRESS");
  EXPECT_EQ(windows.opened.size(), 1u);

  // Only the callback's scheme, host and path end the flow, never a URL that merely holds it.
  for (const char* other : {"https://idp.test/login?next=myapp://auth/done", "myapp://auth/done/more"})
    EXPECT_FALSE(windows.events.navigation(*URL::parse(other))) << other;
  EXPECT_TRUE(windows.events.navigation(*URL::parse("MYAPP://Auth/done?code=7&state=s")));
  auto first = host.delegate->to("F1");
  ASSERT_EQ(first.size(), 1u);
  EXPECT_TRUE(first[0].status == HBRResultStatus::OK && !first[0].keep &&
              first[0].message == "MYAPP://Auth/done?code=7&state=s");
  platform::MainLoop::drain();
  EXPECT_EQ(windows.open, 0) << "the window closes once the flow ends";

  // Closed by the user: status 1, which reaches the page as an error.
  start(Value::array({"https://idp.test/", "myapp://auth/done"}), "F3");
  windows.events.closedByUser();
  windows.events.failed("late");  // a flow reports once
  auto closed = host.delegate->to("F3");
  ASSERT_EQ(closed.size(), 1u);
  EXPECT_TRUE(closed[0].status == HBRResultStatus::Error &&
              closed[0].message == "The authentication window was closed before the flow finished.");
}

TEST_F(AuthPlugin, RefusesUnsafeURLsWithoutOpeningAWindow) {
  std::string huge = "https://idp.test/" + std::string(20000, 'a');
  int n = 0;
  for (auto [endpoint, callback] : std::vector<std::pair<std::string, std::string>>{
           {"http://idp.test/", "myapp://done"}, {"javascript:alert(1)", "myapp://done"},
           {"file:///etc/passwd", "myapp://done"}, {"https://idp.test/\r\nX: y", "myapp://done"},
           {huge, "myapp://done"}, {"https://idp.test/", "relative/path"}, {"https://idp.test/", ""}}) {
    auto sent = start(Value::array({endpoint, callback}), "U" + std::to_string(n++));
    ASSERT_EQ(sent.size(), 1u) << endpoint;
    EXPECT_EQ(sent[0].status, HBRResultStatus::Error) << endpoint;
  }
  EXPECT_TRUE(windows.opened.empty());
  EXPECT_EQ(host.delegate->to("U0")[0].message,
            "The authentication URL must be an https URL (plain http only on the loopback address).");

  // Plain http is for a server on this machine only.
  for (const char* loopback : {"http://127.0.0.1:8080/a", "http://localhost/a", "http://[::1]:9/a"})
    EXPECT_FALSE(AuthController::endpointProblem(loopback)) << loopback;
  for (const char* elsewhere : {"http://127.0.0.1.evil.test/a", "http://128.0.0.1/a"})
    EXPECT_TRUE(AuthController::endpointProblem(elsewhere)) << elsewhere;
  EXPECT_TRUE(AuthController::matchesCallback(*URL::parse("https://app.test/cb"), *URL::parse("https://app.test:443/cb")));
  EXPECT_FALSE(AuthController::matchesCallback(*URL::parse("https://app.test:8443/cb"), *URL::parse("https://app.test/cb")));
  EXPECT_FALSE(AuthController::matchesCallback(*URL::parse("http://app.test/cb"), *URL::parse("https://app.test/cb")));
}

}  // namespace

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "e2e/E2EShell.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Value.h"
#include "support/TestSupport.h"

namespace {

using namespace e2e;

// The report the page wrote, once it holds `links` links (it is rewritten at each one).
Value reportWithLinks(const std::string& path, size_t links, double seconds) {
  Value found;
  testing_support::waitUntil(
      [&] {
        found = Value::parse(readText(path), nullptr, false);
        return found.is_object() && found["links"].is_array() && found["links"].size() >= links;
      },
      seconds);
  return found;
}

// A link the shell is started with waits for the page; one that a second shell on the same
// data root hands over reaches the running page at once. Both arrive on the deep-link
// channel, rewritten to the application's address on its server.
TEST_F(E2E, DeepLinksGivenAtStartAndHandedOverByASecondShellReachThePageOnTheChannel) {
  PrivateSessionBus bus;
  ASSERT_TRUE(bus.ok()) << "dbus-daemon could not start";
  std::string report = temp_.file("report.json");
  auto arguments = [&](const std::string& url) {
    return std::vector<std::string>{"--data-root", temp_.file("data"), "--open-url", url, VELTRO_E2E_PACKAGE};
  };

  std::string log = temp_.file("first.log");
  pid_t first = startShell(VELTRO_SHELL_E2E, arguments("myapp://shop/orders/7?x=1"),
                           {bus.environment(), "VELTRO_E2E_REPORT=" + report}, log);
  Value found = reportWithLinks(report, 1, 30);
  if (!found.is_object() || found["links"].size() != 1) stopTimedOutProgram(first, VELTRO_SHELL_E2E, 30);
  ASSERT_TRUE(found.is_object()) << readText(log);
  ASSERT_EQ(found["links"].size(), 1u) << found.dump(2);

  ProgramRun second = shell(VELTRO_SHELL_E2E, arguments("myapp://SHOP/cart/a%20b?item=1#top"), {bus.environment()});
  EXPECT_EQ(second.exitStatus, 0) << second.output;
  EXPECT_NE(second.output.find("it was handed the URL myapp://SHOP/cart"), std::string::npos) << second.output;
  // The first shell ends once its page has reported the second link.
  int status = -1;
  if (!testing_support::waitUntil([&] { return waitpid(first, &status, WNOHANG) == first; }, 30))
    stopTimedOutProgram(first, VELTRO_SHELL_E2E, 30);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readText(log);
  EXPECT_NE(readText(log).find(", handed over by another veltro-shell."), std::string::npos) << readText(log);
  found = reportWithLinks(report, 2, 1);

  EXPECT_EQ(found["links"], (Value{{{"URL", "https://server.test/Shop/orders/7?x=1"}, {"Type", "default"}},
                                   {{"URL", "https://server.test/Shop/cart/a%20b?item=1#top"}, {"Type", "default"}}}))
      << found.dump(2);
  EXPECT_PICKED(found, R"({"ready": true, "plainHandlerCalled": false})");
  EXPECT_FALSE(found.contains("error"));
}

}  // namespace

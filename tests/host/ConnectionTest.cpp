#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SimulatedNetwork.h"
#include "host/plugins/HBRConnection.h"
#include "platform/foundation/MainLoop.h"
#include "platform/ui/Application.h"
#include "support/RecordingCommandDelegate.h"

using namespace platform;
using hosttest::network;
using hosttest::simulateNetwork;

namespace {

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    simulateNetwork(network(NetworkInterfaceKind::WiFi));
    connection->setCommandDelegate(delegate);
    connection->initWithWebViewEngine(nullptr);
    connection->pluginInitialize();
  }
  void TearDown() override {
    connection->dispose();
    connection.reset();
    simulateNetwork(std::nullopt);
  }

  void ask(const char* callbackId) {
    connection->performAction("getConnectionInfo",
        HBRInvokedUrlCommand(Value::array(), std::string(callbackId), std::nullopt, std::nullopt));
  }
  // The types sent to `callbackId` since the last call, each kept for further changes.
  std::vector<std::string> sent(const std::string& callbackId) {
    std::vector<std::string> types;
    auto results = delegate->results(callbackId);
    for (size_t i = seen[callbackId]; i < results.size(); ++i) {
      EXPECT_TRUE(results[i]->status() == HBRResultStatus::OK && results[i]->keepCallback());
      types.push_back(results[i]->message().get<std::string>());
    }
    seen[callbackId] = results.size();
    return types;
  }

  std::shared_ptr<testing_support::RecordingCommandDelegate> delegate =
      std::make_shared<testing_support::RecordingCommandDelegate>();
  std::map<std::string, size_t> seen;
  std::shared_ptr<HBRConnection> connection = std::make_shared<HBRConnection>();
};

}  // namespace

TEST(ConnectionTypeTest, StatusAndRadioGiveTheW3CType) {
  auto type = [](HBRReachabilityStatus status, bool required, std::optional<std::string> radio) {
    return HBRConnection::w3cConnectionTypeFor(status, required, radio);
  };
  EXPECT_EQ(type(NotReachable, false, std::nullopt), "none");
  EXPECT_EQ(type(ReachableViaWiFi, false, std::nullopt), "wifi");
  EXPECT_EQ(type(ReachableViaWiFi, true, std::nullopt), "none");
  EXPECT_EQ(type(ReachableViaWWAN, true, kCTRadioAccessTechnologyLTE), "none");
  EXPECT_EQ(type(ReachableViaWWAN, false, kCTRadioAccessTechnologyEdge), "2g");
  EXPECT_EQ(type(ReachableViaWWAN, false, kCTRadioAccessTechnologyeHRPD), "3g");
  EXPECT_EQ(type(ReachableViaWWAN, false, kCTRadioAccessTechnologyLTE), "4g");
  EXPECT_EQ(type(ReachableViaWWAN, false, "CTRadioAccessTechnologyNR"), "cellular");
}

TEST_F(ConnectionTest, EachChangeIsSentOnceToTheLastCallback) {
  using Types = std::vector<std::string>;
  ask("Connection1");
  ask("Connection2");
  EXPECT_EQ(sent("Connection1"), Types{"wifi"});
  EXPECT_EQ(sent("Connection2"), Types{"wifi"});

  simulateNetwork(network(NetworkInterfaceKind::Cellular, NetworkConnectivity::Full, kCTRadioAccessTechnologyLTE));
  // The same type reported again sends nothing, nor does the radio's own notification, which
  // carries no reachability object.
  NotificationCenter::defaultCenter().post(kNetworkReachabilityChangedNotification, connection->internetReach().get());
  NotificationCenter::defaultCenter().post(kCTRadioAccessTechnologyDidChangeNotification);
  EXPECT_EQ(sent("Connection2"), Types{"4g"});
  // A captive portal counts as no connection.
  simulateNetwork(network(NetworkInterfaceKind::WiFi, NetworkConnectivity::Portal));
  EXPECT_TRUE(sent("Connection2") == Types{"none"} && sent("Connection1").empty());
}

TEST_F(ConnectionTest, ChangesBeforeTheFirstRequestAndDuringTheBackground) {
  // Before any request: the type changes, with no callback to tell.
  simulateNetwork(network(NetworkInterfaceKind::Cellular));
  EXPECT_EQ(connection->connectionType(), "cellular");
  EXPECT_EQ(sent(""), std::vector<std::string>{"cellular"});
  // In the background: reported once on the return.
  ask("Connection1");
  sent("Connection1");
  ui::Application::shared().didEnterBackground();
  simulateNetwork(NetworkState{});
  EXPECT_TRUE(sent("Connection1").empty());
  ui::Application::shared().willEnterForeground();
  MainLoop::drain();
  EXPECT_EQ(sent("Connection1"), std::vector<std::string>{"none"});
}

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SimulatedNetwork.h"
#include "host/HBRCommandDelegate.h"
#include "host/plugins/HBRConnection.h"
#include "host/HBRPluginResult.h"
#include "platform/foundation/MainLoop.h"
#include "platform/ui/Application.h"

using namespace platform;
using hosttest::network;
using hosttest::simulateNetwork;

namespace {

// Records the results the plugin sends as "callback id: message".
class RecordingDelegate : public HBRCommandDelegate {
 public:
  std::optional<std::string> pathForResource(const std::string&) override { return std::nullopt; }
  std::shared_ptr<Object> getCommandInstance(const std::string&) override { return nullptr; }
  void sendPluginResult(const std::shared_ptr<HBRPluginResult>& result,
                        const std::optional<std::string>& callbackId) override {
    EXPECT_EQ(result->status(), HBRResultStatus::OK);
    EXPECT_TRUE(result->keepCallback());
    sent.push_back(callbackId.value_or("(none)") + ": " + result->message().get<std::string>());
  }
  void evalJs(const std::string&) override {}
  void evalJs(const std::string&, bool) override {}
  void runInBackground(std::function<void()> block) override { block(); }
  Value& settings() override { return settings_; }
  Value settings_ = Value::object();
  URLTransformer urlTransformer() const override { return nullptr; }
  void setUrlTransformer(URLTransformer) override {}

  std::vector<std::string> sent;
};

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
    connection->performAction(
        "getConnectionInfo",
        HBRInvokedUrlCommand(Value::array(), std::string(callbackId), std::nullopt, std::nullopt));
  }
  std::vector<std::string> sent() { return std::exchange(delegate->sent, {}); }

  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
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
  ask("Connection1");
  ask("Connection2");
  EXPECT_EQ(sent(), (std::vector<std::string>{"Connection1: wifi", "Connection2: wifi"}));

  simulateNetwork(network(NetworkInterfaceKind::Cellular, NetworkConnectivity::Full,
                          kCTRadioAccessTechnologyLTE));
  EXPECT_EQ(sent(), std::vector<std::string>{"Connection2: 4g"});
  // The same type reported again sends nothing.
  NotificationCenter::defaultCenter().post(kNetworkReachabilityChangedNotification,
                                           connection->internetReach().get());
  EXPECT_TRUE(sent().empty());
  // The radio's own notification carries no reachability object and sends nothing.
  NotificationCenter::defaultCenter().post(kCTRadioAccessTechnologyDidChangeNotification);
  EXPECT_TRUE(sent().empty());
  // A captive portal counts as no connection.
  simulateNetwork(network(NetworkInterfaceKind::WiFi, NetworkConnectivity::Portal));
  EXPECT_EQ(sent(), std::vector<std::string>{"Connection2: none"});
}

TEST_F(ConnectionTest, ChangeBeforeTheFirstRequestUpdatesTheTypeWithoutACallback) {
  simulateNetwork(network(NetworkInterfaceKind::Cellular));
  EXPECT_EQ(connection->connectionType(), "cellular");
  EXPECT_EQ(sent(), std::vector<std::string>{"(none): cellular"});
}

TEST_F(ConnectionTest, ChangeDuringTheBackgroundIsReportedOnceOnReturn) {
  ask("Connection1");
  sent();
  ui::Application::shared().didEnterBackground();
  simulateNetwork(NetworkState{});
  EXPECT_TRUE(sent().empty());
  ui::Application::shared().willEnterForeground();
  MainLoop::drain();
  EXPECT_EQ(sent(), std::vector<std::string>{"Connection1: none"});
}

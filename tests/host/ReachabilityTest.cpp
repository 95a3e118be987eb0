#include <gtest/gtest.h>
#include <netinet/in.h>

#include "SimulatedNetwork.h"
#include "host/HBRReachability.h"
#include "platform/foundation/NotificationCenter.h"
#include "support/TestSupport.h"

using namespace platform;
using hosttest::network;
using hosttest::simulateNetwork;

namespace {

class ReachabilityTest : public ::testing::Test {
 protected:
  void SetUp() override { simulateNetwork(network(NetworkInterfaceKind::WiFi)); }
  void TearDown() override {
    NotificationCenter::defaultCenter().removeObserver(this);
    simulateNetwork(std::nullopt);
  }
};

}  // namespace

TEST(ReachabilityStatusTest, FlagsAndNetworkStatesGiveTheirStatus) {
  const std::uint32_t reachable = kReachabilityFlagReachable, required = kReachabilityFlagConnectionRequired;
  for (auto [flags, expected] : std::vector<std::pair<std::uint32_t, HBRReachabilityStatus>>{
           {0, NotReachable}, {kReachabilityFlagIsWWAN, NotReachable}, {reachable, ReachableViaWiFi},
           {reachable | kReachabilityFlagIsWWAN, ReachableViaWWAN}, {reachable | required, NotReachable},
           {reachable | required | kReachabilityFlagConnectionOnDemand, ReachableViaWiFi},
           {reachable | required | kReachabilityFlagConnectionOnTraffic, ReachableViaWiFi},
           {reachable | required | kReachabilityFlagConnectionOnDemand | kReachabilityFlagInterventionRequired,
            NotReachable}})
    EXPECT_EQ(HBRReachability::networkStatusForFlags(flags), expected) << flags;

  auto status = [](NetworkState s) { return HBRReachability::networkStatusForFlags(reachabilityFlagsForState(s)); };
  EXPECT_EQ(status({false, NetworkConnectivity::Full, NetworkInterfaceKind::WiFi, {}}), NotReachable);
  EXPECT_EQ(status(network(NetworkInterfaceKind::Wired, NetworkConnectivity::Local)), NotReachable);
  EXPECT_EQ(status(network(NetworkInterfaceKind::Wired, NetworkConnectivity::Limited)), ReachableViaWiFi);
  EXPECT_EQ(status(network(NetworkInterfaceKind::Cellular)), ReachableViaWWAN);
  // A captive portal needs the user before anything gets through.
  EXPECT_EQ(status(network(NetworkInterfaceKind::WiFi, NetworkConnectivity::Portal)), NotReachable);
}

TEST_F(ReachabilityTest, CallbackRefusesAContextThatIsNotAReachability) {
  testing_support::LogCapture log;
  HBRReachability::reachabilityCallback(0, nullptr);
  EXPECT_TRUE(log.contains("info was NULL in ReachabilityCallback"));
  int stranger = 0;
  HBRReachability::reachabilityCallback(0, &stranger);
  EXPECT_TRUE(log.contains("info was wrong class in ReachabilityCallback"));
}

TEST_F(ReachabilityTest, ChangesArePostedAsTheReachabilityOnlyWhileItsNotifierRuns) {
  sockaddr_in loopback{};
  loopback.sin_family = AF_INET;
  loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto local = HBRReachability::reachabilityWithAddress(reinterpret_cast<sockaddr*>(&loopback), sizeof(loopback));
  ASSERT_NE(local, nullptr);
  auto internet = HBRReachability::reachabilityForInternetConnection();
  std::vector<std::shared_ptr<HBRReachability>> senders;
  NotificationCenter::defaultCenter().addObserver(
      this, kNetworkReachabilityChangedNotification, nullptr,
      [&](const Notification& n) { senders.push_back(HBRReachability::fromNotificationSender(n.sender)); });
  using Senders = std::vector<std::shared_ptr<HBRReachability>>;
  ASSERT_TRUE(internet->startNotifier());
  simulateNetwork(network(NetworkInterfaceKind::Cellular));
  EXPECT_TRUE(senders == Senders{internet} && internet->currentReachabilityStatus() == ReachableViaWWAN);  // not local
  internet->stopNotifier();
  ASSERT_TRUE(local->startNotifier());
  simulateNetwork(network(NetworkInterfaceKind::WiFi));
  EXPECT_EQ(senders, (Senders{internet, local}));
  local->stopNotifier();
  simulateNetwork(network(NetworkInterfaceKind::Cellular));
  EXPECT_EQ(senders.size(), 2u);

  // Only the two address families a socket address of the platform can hold are taken.
  sockaddr localSocket{};
  localSocket.sa_family = AF_UNIX;
  EXPECT_EQ(HBRReachability::reachabilityWithAddress(&localSocket, sizeof(localSocket)), nullptr);
  EXPECT_EQ(HBRReachability::reachabilityWithAddress(reinterpret_cast<sockaddr*>(&loopback), 4), nullptr);
}

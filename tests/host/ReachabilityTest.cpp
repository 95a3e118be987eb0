#include <gtest/gtest.h>
#include <netinet/in.h>

#include "host/HBRReachability.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/NotificationCenter.h"
#include "support/TestSupport.h"

using namespace platform;

namespace {

NetworkState network(NetworkInterfaceKind kind,
                     NetworkConnectivity connectivity = NetworkConnectivity::Full) {
  return {true, connectivity, kind, std::nullopt};
}

class ReachabilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    NetworkMonitor::shared().setSimulatedState(network(NetworkInterfaceKind::WiFi));
    MainLoop::drain();
  }
  void TearDown() override {
    NotificationCenter::defaultCenter().removeObserver(this);
    NetworkMonitor::shared().setSimulatedState(std::nullopt);
    MainLoop::drain();
  }
};

}  // namespace

TEST(ReachabilityStatusTest, FlagsAndNetworkStatesGiveTheirStatus) {
  const std::uint32_t reachable = kReachabilityFlagReachable,
                      required = kReachabilityFlagConnectionRequired;
  struct Case {
    std::uint32_t flags;
    HBRReachabilityStatus status;
  } cases[] = {
      {0, NotReachable},
      {kReachabilityFlagIsWWAN, NotReachable},
      {reachable, ReachableViaWiFi},
      {reachable | kReachabilityFlagIsWWAN, ReachableViaWWAN},
      {reachable | required, NotReachable},
      {reachable | required | kReachabilityFlagConnectionOnDemand, ReachableViaWiFi},
      {reachable | required | kReachabilityFlagConnectionOnTraffic, ReachableViaWiFi},
      {reachable | required | kReachabilityFlagConnectionOnDemand |
           kReachabilityFlagInterventionRequired,
       NotReachable},
  };
  for (const Case& c : cases)
    EXPECT_EQ(HBRReachability::networkStatusForFlags(c.flags), c.status) << c.flags;

  auto status = [](NetworkState s) {
    return HBRReachability::networkStatusForFlags(reachabilityFlagsForState(s));
  };
  EXPECT_EQ(status({false, NetworkConnectivity::Full, NetworkInterfaceKind::WiFi, {}}),
            NotReachable);
  EXPECT_EQ(status(network(NetworkInterfaceKind::Wired, NetworkConnectivity::Local)), NotReachable);
  EXPECT_EQ(status(network(NetworkInterfaceKind::Wired, NetworkConnectivity::Limited)),
            ReachableViaWiFi);
  EXPECT_EQ(status(network(NetworkInterfaceKind::Cellular)), ReachableViaWWAN);
  // A captive portal needs the user before anything gets through.
  EXPECT_EQ(status(network(NetworkInterfaceKind::WiFi, NetworkConnectivity::Portal)), NotReachable);
}

TEST(NetworkInterfaceTest, DefaultRouteAndInterfaceKindFromTheKernelTables) {
  const char* v4 =
      "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
      "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
      "eth0\t00000000\t010200C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
      "wlan0\t00000000\t010A000A\t0003\t0\t0\t100\t00000000\t0\t0\t0\n";
  EXPECT_EQ(defaultRouteInterface(v4, ""), "wlan0");
  std::string zero(32, '0');
  std::string v6 =
      zero + " 00 " + zero + " 00 " + zero + " ffffffff 00000001 00000000 00200200 lo\n" + zero +
      " 00 " + zero +
      " 00 fe800000000000000000000000000001 00000400 00000002 00000000 00000003 wwan0\n";
  EXPECT_EQ(defaultRouteInterface("", v6), "wwan0");

  testing_support::TempDir sys;
  sys.write("wlan0/uevent", "DEVTYPE=wlan\nINTERFACE=wlan0\n");
  sys.write("wwan0/uevent", "DEVTYPE=wwan\n");
  sys.write("rmnet0/type", "519\n");
  sys.write("eth0/type", "1\n");
  EXPECT_EQ(classifyNetworkInterface(sys.path(), "wlan0"), NetworkInterfaceKind::WiFi);
  EXPECT_EQ(classifyNetworkInterface(sys.path(), "wwan0"), NetworkInterfaceKind::Cellular);
  EXPECT_EQ(classifyNetworkInterface(sys.path(), "rmnet0"), NetworkInterfaceKind::Cellular);
  EXPECT_EQ(classifyNetworkInterface(sys.path(), "eth0"), NetworkInterfaceKind::Wired);
  EXPECT_EQ(classifyNetworkInterface(sys.path(), "../wlan0"), NetworkInterfaceKind::Unknown);
}

TEST_F(ReachabilityTest, ChangesArePostedOnlyWhileTheNotifierRuns) {
  auto reach = HBRReachability::reachabilityForInternetConnection();
  int posts = 0;
  NotificationCenter::defaultCenter().addObserver(
      this, kNetworkReachabilityChangedNotification, nullptr, [&](const Notification& n) {
        EXPECT_EQ(HBRReachability::fromNotificationSender(n.sender), reach);
        ++posts;
      });
  ASSERT_TRUE(reach->startNotifier());
  NetworkMonitor::shared().setSimulatedState(network(NetworkInterfaceKind::Cellular));
  MainLoop::drain();
  EXPECT_EQ(posts, 1);
  EXPECT_EQ(reach->currentReachabilityStatus(), ReachableViaWWAN);

  reach->stopNotifier();
  NetworkMonitor::shared().setSimulatedState(network(NetworkInterfaceKind::WiFi));
  MainLoop::drain();
  EXPECT_EQ(posts, 1);
}

TEST_F(ReachabilityTest, CallbackRefusesAContextThatIsNotAReachability) {
  testing_support::LogCapture log;
  HBRReachability::reachabilityCallback(0, nullptr);
  EXPECT_TRUE(log.contains("info was NULL in ReachabilityCallback"));
  int stranger = 0;
  HBRReachability::reachabilityCallback(0, &stranger);
  EXPECT_TRUE(log.contains("info was wrong class in ReachabilityCallback"));
}

TEST(NetworkMonitorTest, SystemReadingsAreConsistent) {
  // Whatever network the machine has, reading it must work and the flags follow the state.
  NetworkState state = NetworkMonitor::shared().currentState();
  EXPECT_EQ(reachabilityFlagsForState(state), NetworkMonitor::shared().currentFlags());
  sockaddr_in loopback{};
  loopback.sin_family = AF_INET;
  loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto local = HBRReachability::reachabilityWithAddress(reinterpret_cast<sockaddr*>(&loopback),
                                                        sizeof(loopback));
  ASSERT_NE(local, nullptr);
  EXPECT_TRUE(local->startNotifier());
}

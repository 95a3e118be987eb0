#include <gtest/gtest.h>

#include <string>

#include "platform/net/NetworkMonitor.h"
#include "support/TestSupport.h"

using namespace platform;

TEST(NetworkMonitorTest, DefaultRouteInterfaceKindAndTheSystemsReadings) {
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

  // Whatever network the machine has, reading it must work and the flags follow the state.
  NetworkState state = NetworkMonitor::shared().currentState();
  EXPECT_EQ(reachabilityFlagsForState(state), NetworkMonitor::shared().currentFlags());
}

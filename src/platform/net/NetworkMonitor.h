#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Bits of the reachability flag word, with the values of the system the host was written
// for, so that the host's flag arithmetic reads the same as there.
enum ReachabilityFlag : std::uint32_t {
  kReachabilityFlagTransientConnection = 1u << 0,
  kReachabilityFlagReachable = 1u << 1,
  kReachabilityFlagConnectionRequired = 1u << 2,
  kReachabilityFlagConnectionOnTraffic = 1u << 3,
  kReachabilityFlagInterventionRequired = 1u << 4,
  kReachabilityFlagConnectionOnDemand = 1u << 5,
  kReachabilityFlagIsLocalAddress = 1u << 16,
  kReachabilityFlagIsDirect = 1u << 17,
  kReachabilityFlagIsWWAN = 1u << 18,
};

// Radio access technology names of the telephony service, and the notification posted on
// the default centre when the radio technology changes.
inline constexpr const char* kCTRadioAccessTechnologyGPRS = "CTRadioAccessTechnologyGPRS";
inline constexpr const char* kCTRadioAccessTechnologyEdge = "CTRadioAccessTechnologyEdge";
inline constexpr const char* kCTRadioAccessTechnologyWCDMA = "CTRadioAccessTechnologyWCDMA";
inline constexpr const char* kCTRadioAccessTechnologyHSDPA = "CTRadioAccessTechnologyHSDPA";
inline constexpr const char* kCTRadioAccessTechnologyHSUPA = "CTRadioAccessTechnologyHSUPA";
inline constexpr const char* kCTRadioAccessTechnologyCDMA1x = "CTRadioAccessTechnologyCDMA1x";
inline constexpr const char* kCTRadioAccessTechnologyCDMAEVDORev0 =
    "CTRadioAccessTechnologyCDMAEVDORev0";
inline constexpr const char* kCTRadioAccessTechnologyCDMAEVDORevA =
    "CTRadioAccessTechnologyCDMAEVDORevA";
inline constexpr const char* kCTRadioAccessTechnologyCDMAEVDORevB =
    "CTRadioAccessTechnologyCDMAEVDORevB";
inline constexpr const char* kCTRadioAccessTechnologyeHRPD = "CTRadioAccessTechnologyeHRPD";
inline constexpr const char* kCTRadioAccessTechnologyLTE = "CTRadioAccessTechnologyLTE";
inline constexpr const char* kCTRadioAccessTechnologyDidChangeNotification =
    "CTRadioAccessTechnologyDidChangeNotification";

// GIO's connectivity levels: no default route, a route but no internet, a captive portal,
// full internet access.
enum class NetworkConnectivity { Local, Limited, Portal, Full };

// The kind of interface that carries the default route. Linux tells Wi-Fi and mobile
// broadband apart through sysfs; anything it cannot tell counts as "not cellular".
enum class NetworkInterfaceKind { Unknown, Wired, WiFi, Cellular };

struct NetworkState {
  bool networkAvailable = false;
  NetworkConnectivity connectivity = NetworkConnectivity::Local;
  NetworkInterfaceKind interfaceKind = NetworkInterfaceKind::Unknown;
  // The radio technology of a mobile connection; Linux offers none without a modem
  // manager, so it stays empty on real systems and only tests set it.
  std::optional<std::string> radioAccessTechnology;

  bool operator==(const NetworkState&) const = default;
};

// The reachability flags of a network state.
std::uint32_t reachabilityFlagsForState(const NetworkState& state);

// The interface of the default route from the texts of /proc/net/route and
// /proc/net/ipv6_route (the IPv4 route with the lowest metric wins). Exposed for tests.
std::optional<std::string> defaultRouteInterface(std::string_view ipv4RouteTable,
                                                 std::string_view ipv6RouteTable);
// The kind of the interface `name` as the folder `sysfsNetRoot` (normally /sys/class/net)
// describes it. Exposed for tests.
NetworkInterfaceKind classifyNetworkInterface(const std::string& sysfsNetRoot,
                                              const std::string& name);

// The network as the host sees it: GIO's GNetworkMonitor for availability and connectivity,
// sysfs for the kind of interface. Observers are called on the main thread after every
// change the system reports (several calls for one change are possible). Tests replace the
// system's readings with a simulated state.
class NetworkMonitor {
 public:
  using Token = std::uint64_t;
  using Observer = std::function<void()>;

  static NetworkMonitor& shared();

  NetworkMonitor(const NetworkMonitor&) = delete;
  NetworkMonitor& operator=(const NetworkMonitor&) = delete;
  ~NetworkMonitor();

  // Safe from any thread; reads the system each time (a few small file reads).
  NetworkState currentState() const;
  std::uint32_t currentFlags() const { return reachabilityFlagsForState(currentState()); }
  // The flags for reaching one literal address: the general flags when a route to it
  // exists, 0 otherwise. Never resolves names, so it never blocks.
  std::uint32_t flagsForAddress(const sockaddr* address, socklen_t length) const;

  Token addObserver(Observer observer);
  void removeObserver(Token token);

  // Replaces the system's readings (nullopt returns to them). A change of the state is
  // delivered to the observers on the main thread, as a system change would be; a change of
  // the radio technology also posts the telephony notification.
  void setSimulatedState(std::optional<NetworkState> state);

 private:
  NetworkMonitor() = default;
  void connectSystemMonitor();
  void notifyObservers();
  static void onSystemChange(void* self);

  mutable std::mutex mutex_;
  std::vector<std::pair<Token, std::shared_ptr<Observer>>> observers_;
  Token next_ = 1;
  std::optional<NetworkState> simulated_;
  void* monitor_ = nullptr;  // the GNetworkMonitor, owned by GIO
  unsigned long changedHandler_ = 0;
  unsigned long connectivityHandler_ = 0;
};

}  // namespace platform

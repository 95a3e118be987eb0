#include "platform/net/NetworkMonitor.h"

#include <gio/gio.h>

#include <algorithm>
#include <climits>
#include <sstream>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Strings.h"

namespace platform {
namespace {

// Route flags of the kernel's tables.
constexpr unsigned long kRouteUp = 0x0001;
constexpr unsigned long kRouteReject = 0x0200;
// ARPHRD_RAWIP: the link type of mobile-broadband modems in raw-IP mode.
constexpr const char* kLinkTypeRawIP = "519";
constexpr const char* kLinkTypeEthernet = "1";

// The first line of a sysfs attribute, which the kernel ends with a newline.
std::string_view firstLine(std::string_view text) { return trim(text.substr(0, text.find('\n'))); }

std::optional<unsigned long> parseHex(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  unsigned long value = std::strtoul(text.c_str(), &end, 16);
  if (end == text.c_str() || *end != '\0') return std::nullopt;
  return value;
}

// An interface name as the kernel writes it never holds a slash; anything else must not be
// used to build a sysfs path.
bool isPlainInterfaceName(const std::string& name) {
  return !name.empty() && name.size() < 64 && name != "." && name != ".." &&
         name.find('/') == std::string::npos;
}

}  // namespace

std::uint32_t reachabilityFlagsForState(const NetworkState& state) {
  if (!state.networkAvailable || state.connectivity == NetworkConnectivity::Local) return 0;
  std::uint32_t flags = kReachabilityFlagReachable;
  // Behind a captive portal a connection exists only after the user signs in, which is what
  // the "connection required" and "intervention required" bits say together.
  if (state.connectivity == NetworkConnectivity::Portal)
    flags |= kReachabilityFlagConnectionRequired | kReachabilityFlagInterventionRequired;
  if (state.interfaceKind == NetworkInterfaceKind::Cellular) flags |= kReachabilityFlagIsWWAN;
  return flags;
}

std::optional<std::string> defaultRouteInterface(std::string_view ipv4RouteTable,
                                                 std::string_view ipv6RouteTable) {
  std::optional<std::string> best;
  unsigned long bestMetric = ULONG_MAX;
  std::istringstream v4{std::string(ipv4RouteTable)};
  std::string line;
  std::getline(v4, line);  // the header line
  while (std::getline(v4, line)) {
    std::istringstream fields(line);
    std::string iface, destination, gateway, flagsText, refCount, use, metricText, mask;
    if (!(fields >> iface >> destination >> gateway >> flagsText >> refCount >> use >> metricText >>
          mask))
      continue;
    auto flags = parseHex(flagsText);
    if (destination != "00000000" || mask != "00000000" || !flags || !(*flags & kRouteUp) ||
        (*flags & kRouteReject))
      continue;
    unsigned long metric = std::strtoul(metricText.c_str(), nullptr, 10);
    if (!best || metric < bestMetric) {
      best = iface;
      bestMetric = metric;
    }
  }
  if (best) return best;

  std::istringstream v6{std::string(ipv6RouteTable)};
  while (std::getline(v6, line)) {
    std::istringstream fields(line);
    std::string destination, prefix, source, sourcePrefix, nextHop, metricText, refCount, use,
        flagsText, iface;
    if (!(fields >> destination >> prefix >> source >> sourcePrefix >> nextHop >> metricText >>
          refCount >> use >> flagsText >> iface))
      continue;
    auto flags = parseHex(flagsText);
    if (destination != std::string(32, '0') || prefix != "00" || iface == "lo" || !flags ||
        !(*flags & kRouteUp) || (*flags & kRouteReject))
      continue;
    unsigned long metric = parseHex(metricText).value_or(ULONG_MAX);
    if (!best || metric < bestMetric) {
      best = iface;
      bestMetric = metric;
    }
  }
  return best;
}

NetworkInterfaceKind classifyNetworkInterface(const std::string& sysfsNetRoot,
                                              const std::string& name) {
  if (!isPlainInterfaceName(name)) return NetworkInterfaceKind::Unknown;
  std::string folder = sysfsNetRoot + "/" + name;
  if (auto uevent = fs::readFile(folder + "/uevent")) {
    for (const std::string& entry : split(*uevent, '\n')) {
      if (trim(entry) == "DEVTYPE=wlan") return NetworkInterfaceKind::WiFi;
      if (trim(entry) == "DEVTYPE=wwan") return NetworkInterfaceKind::Cellular;
    }
  }
  if (fs::exists(folder + "/wireless") || fs::exists(folder + "/phy80211"))
    return NetworkInterfaceKind::WiFi;
  auto type = fs::readFile(folder + "/type");
  if (type && firstLine(*type) == kLinkTypeRawIP) return NetworkInterfaceKind::Cellular;
  if (type && firstLine(*type) == kLinkTypeEthernet) return NetworkInterfaceKind::Wired;
  return NetworkInterfaceKind::Unknown;
}

NetworkMonitor& NetworkMonitor::shared() {
  // Never destroyed: observers may still be removed by objects that die during exit.
  static NetworkMonitor* monitor = new NetworkMonitor();
  return *monitor;
}

NetworkMonitor::~NetworkMonitor() {
  if (!monitor_) return;
  if (changedHandler_) g_signal_handler_disconnect(monitor_, changedHandler_);
  if (connectivityHandler_) g_signal_handler_disconnect(monitor_, connectivityHandler_);
}

NetworkState NetworkMonitor::currentState() const {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (simulated_) return *simulated_;
  }
  GNetworkMonitor* monitor = g_network_monitor_get_default();
  NetworkState state;
  state.networkAvailable = g_network_monitor_get_network_available(monitor);
  switch (g_network_monitor_get_connectivity(monitor)) {
    case G_NETWORK_CONNECTIVITY_LOCAL:
      state.connectivity = NetworkConnectivity::Local;
      break;
    case G_NETWORK_CONNECTIVITY_LIMITED:
      state.connectivity = NetworkConnectivity::Limited;
      break;
    case G_NETWORK_CONNECTIVITY_PORTAL:
      state.connectivity = NetworkConnectivity::Portal;
      break;
    case G_NETWORK_CONNECTIVITY_FULL:
      state.connectivity = NetworkConnectivity::Full;
      break;
  }
  // /proc files report a size of 0; readFile reads to the end whatever the size says.
  auto iface = defaultRouteInterface(fs::readFile("/proc/net/route").value_or(""),
                                     fs::readFile("/proc/net/ipv6_route").value_or(""));
  if (iface) state.interfaceKind = classifyNetworkInterface("/sys/class/net", *iface);
  return state;
}

std::uint32_t NetworkMonitor::flagsForAddress(const sockaddr* address, socklen_t length) const {
  std::uint32_t flags = currentFlags();
  bool simulated;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    simulated = simulated_.has_value();
  }
  if (simulated || !address) return flags;
  GSocketAddress* target = g_socket_address_new_from_native(const_cast<sockaddr*>(address), length);
  if (!target) return 0;
  // A literal address needs no name resolution, so this only consults the routing table.
  gboolean reachable = g_network_monitor_can_reach(g_network_monitor_get_default(),
                                                   G_SOCKET_CONNECTABLE(target), nullptr, nullptr);
  g_object_unref(target);
  if (!reachable) return 0;
  return flags | kReachabilityFlagReachable;
}

NetworkMonitor::Token NetworkMonitor::addObserver(Observer observer) {
  Token token;
  bool needsSystem;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    token = next_++;
    observers_.emplace_back(token, std::make_shared<Observer>(std::move(observer)));
    needsSystem = monitor_ == nullptr && !simulated_;
  }
  if (needsSystem) {
    // GIO delivers its signals in the context the monitor lives in; connecting from the main
    // thread keeps that the main context.
    if (MainLoop::isMainThread()) {
      connectSystemMonitor();
    } else {
      MainLoop::post([this] { connectSystemMonitor(); });
    }
  }
  return token;
}

void NetworkMonitor::removeObserver(Token token) {
  std::lock_guard<std::mutex> lock(mutex_);
  observers_.erase(std::remove_if(observers_.begin(), observers_.end(),
                                  [token](const auto& entry) { return entry.first == token; }),
                   observers_.end());
}

void NetworkMonitor::connectSystemMonitor() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (monitor_ || simulated_ || observers_.empty()) return;
  }
  GNetworkMonitor* monitor = g_network_monitor_get_default();
  auto changed = +[](GNetworkMonitor*, gboolean, gpointer self) { onSystemChange(self); };
  auto connectivity = +[](GObject*, GParamSpec*, gpointer self) { onSystemChange(self); };
  unsigned long changedHandler =
      g_signal_connect(monitor, "network-changed", G_CALLBACK(changed), this);
  unsigned long connectivityHandler =
      g_signal_connect(monitor, "notify::connectivity", G_CALLBACK(connectivity), this);
  std::lock_guard<std::mutex> lock(mutex_);
  monitor_ = monitor;
  changedHandler_ = changedHandler;
  connectivityHandler_ = connectivityHandler;
}

void NetworkMonitor::onSystemChange(void* self) {
  auto* monitor = static_cast<NetworkMonitor*>(self);
  {
    std::lock_guard<std::mutex> lock(monitor->mutex_);
    // A simulated state hides the system's changes from the observers.
    if (monitor->simulated_) return;
  }
  if (MainLoop::isMainThread()) {
    monitor->notifyObservers();
  } else {
    MainLoop::post([monitor] { monitor->notifyObservers(); });
  }
}

void NetworkMonitor::notifyObservers() {
  std::vector<std::shared_ptr<Observer>> observers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : observers_) observers.push_back(entry.second);
  }
  // Each observer is isolated: one that throws must not keep the others from hearing the
  // change, nor unwind into GLib.
  for (const auto& observer : observers) {
    try {
      (*observer)();
    } catch (...) {
    }
  }
}

void NetworkMonitor::setSimulatedState(std::optional<NetworkState> state) {
  std::optional<NetworkState> before;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    before = simulated_;
    simulated_ = state;
  }
  // Leaving the simulation reads nothing from the system here: observers that remain read
  // it themselves when they hear of the change.
  if (before && state && *before == *state) return;
  bool radioChanged =
      before && state && before->radioAccessTechnology != state->radioAccessTechnology;
  MainLoop::post([this, radioChanged] {
    // Observers that came while simulating start hearing the system from now on.
    connectSystemMonitor();
    if (radioChanged)
      NotificationCenter::defaultCenter().post(kCTRadioAccessTechnologyDidChangeNotification);
    notifyObservers();
  });
}

}  // namespace platform

#pragma once

#include <optional>
#include <string>
#include <utility>

#include "platform/foundation/MainLoop.h"
#include "platform/net/NetworkMonitor.h"

namespace hosttest {

// An available network over an interface of `kind`.
inline platform::NetworkState network(
    platform::NetworkInterfaceKind kind,
    platform::NetworkConnectivity connectivity = platform::NetworkConnectivity::Full,
    std::optional<std::string> radio = std::nullopt) {
  return {true, connectivity, kind, std::move(radio)};
}

// Replaces the system's network readings (nullopt returns to them) and lets the observers
// hear of it, as they would of a real change.
inline void simulateNetwork(std::optional<platform::NetworkState> state) {
  platform::NetworkMonitor::shared().setSimulatedState(std::move(state));
  platform::MainLoop::drain();
}

}  // namespace hosttest

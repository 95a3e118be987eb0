#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/net/NetworkMonitor.h"

// Reachability status: not reachable, reachable over the cellular interface, reachable over
// any interface that is not cellular.
enum HBRReachabilityStatus : long { NotReachable = 0, ReachableViaWWAN = 1, ReachableViaWiFi = 2 };

// Posted on the default centre with the changed HBRReachability as sender.
inline constexpr const char* kNetworkReachabilityChangedNotification =
    "kNetworkReachabilityChangedNotification";

// Whether a target can be reached and over which kind of interface, with a notification on
// every change. The platform's network monitor stands in for the system reachability
// service; objects are only ever made by the factories, so each has a target.
class HBRReachability : public platform::Object {
 public:
  // nullptr for an empty name. The name is never resolved here (that would block); the
  // flags are those of the default route, as they are for any name before a connection.
  static std::shared_ptr<HBRReachability> reachabilityWithHostName(const std::string& hostName);
  // nullptr for anything but an IPv4 or IPv6 address.
  static std::shared_ptr<HBRReachability> reachabilityWithAddress(const sockaddr* address,
                                                                  socklen_t length);
  // The zero IPv4 address: the internet in general.
  static std::shared_ptr<HBRReachability> reachabilityForInternetConnection();

  ~HBRReachability() override;
  std::string className() const override { return "HBRReachability"; }

  // Installs the change callback; changes arrive on the main thread. True when installed.
  bool startNotifier();
  void stopNotifier();

  HBRReachabilityStatus currentReachabilityStatus() const;
  bool connectionRequired() const;
  static HBRReachabilityStatus networkStatusForFlags(std::uint32_t flags);

  // The live reachability object that posted a notification (its sender), or nullptr when
  // the sender is something else.
  static std::shared_ptr<HBRReachability> fromNotificationSender(const void* sender);
  // The change callback given to the network monitor. `info` must be a live
  // HBRReachability; anything else is logged and dropped.
  static void reachabilityCallback(std::uint32_t flags, void* info);

  // The flags of the target now.
  std::uint32_t flags() const;

 private:
  enum class TargetKind { Internet, Address, HostName };
  HBRReachability() = default;
  static std::shared_ptr<HBRReachability> make(TargetKind kind);

  TargetKind kind_ = TargetKind::Internet;
  std::string hostName_;
  sockaddr_storage address_{};
  socklen_t addressLength_ = 0;
  std::optional<platform::NetworkMonitor::Token> notifierToken_;
};

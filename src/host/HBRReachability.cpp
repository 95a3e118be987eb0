#include "host/HBRReachability.h"

#include <netinet/in.h>

#include <cstring>
#include <map>
#include <mutex>

#include "platform/foundation/Log.h"
#include "platform/foundation/NotificationCenter.h"

namespace {

// The reachability objects alive now, by address, so that a sender or a callback context can
// be told apart from anything else (the platform's class check).
std::mutex& registryMutex() {
  static std::mutex mutex;
  return mutex;
}
std::map<const void*, std::weak_ptr<HBRReachability>>& registry() {
  static auto* objects = new std::map<const void*, std::weak_ptr<HBRReachability>>();
  return *objects;
}

}  // namespace

std::shared_ptr<HBRReachability> HBRReachability::make(TargetKind kind) {
  std::shared_ptr<HBRReachability> object(new HBRReachability());
  object->kind_ = kind;
  std::lock_guard<std::mutex> lock(registryMutex());
  registry()[object.get()] = object;
  return object;
}

std::shared_ptr<HBRReachability> HBRReachability::reachabilityWithHostName(
    const std::string& hostName) {
  if (hostName.empty()) return nullptr;
  auto object = make(TargetKind::HostName);
  object->hostName_ = hostName;
  return object;
}

std::shared_ptr<HBRReachability> HBRReachability::reachabilityWithAddress(const sockaddr* address,
                                                                          socklen_t length) {
  if (!address) return nullptr;
  bool supported = (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) ||
                   (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6));
  if (!supported || length > sizeof(sockaddr_storage)) return nullptr;
  auto object = make(TargetKind::Address);
  std::memcpy(&object->address_, address, length);
  object->addressLength_ = length;
  return object;
}

std::shared_ptr<HBRReachability> HBRReachability::reachabilityForInternetConnection() {
  auto object = make(TargetKind::Internet);
  sockaddr_in zero{};
  zero.sin_family = AF_INET;
  std::memcpy(&object->address_, &zero, sizeof(zero));
  object->addressLength_ = sizeof(zero);
  return object;
}

HBRReachability::~HBRReachability() {
  stopNotifier();
  std::lock_guard<std::mutex> lock(registryMutex());
  registry().erase(this);
}

bool HBRReachability::startNotifier() {
  if (notifierToken_) return true;
  std::weak_ptr<HBRReachability> weakSelf =
      std::static_pointer_cast<HBRReachability>(shared_from_this());
  notifierToken_ = platform::NetworkMonitor::shared().addObserver([weakSelf] {
    // The object may go while a change is on its way; then there is no one to tell.
    if (auto self = weakSelf.lock()) reachabilityCallback(self->flags(), self.get());
  });
  return true;
}

void HBRReachability::stopNotifier() {
  if (!notifierToken_) return;
  platform::NetworkMonitor::shared().removeObserver(*notifierToken_);
  notifierToken_.reset();
}

std::uint32_t HBRReachability::flags() const {
  auto& monitor = platform::NetworkMonitor::shared();
  if (kind_ == TargetKind::Address)
    return monitor.flagsForAddress(reinterpret_cast<const sockaddr*>(&address_), addressLength_);
  return monitor.currentFlags();
}

HBRReachabilityStatus HBRReachability::networkStatusForFlags(std::uint32_t flags) {
  if (!(flags & platform::kReachabilityFlagReachable)) return NotReachable;
  if (flags & platform::kReachabilityFlagIsWWAN) return ReachableViaWWAN;
  if (!(flags & platform::kReachabilityFlagInterventionRequired) &&
      (flags & (platform::kReachabilityFlagConnectionOnDemand |
                platform::kReachabilityFlagConnectionOnTraffic)))
    return ReachableViaWiFi;
  return (flags & platform::kReachabilityFlagConnectionRequired) ? NotReachable : ReachableViaWiFi;
}

HBRReachabilityStatus HBRReachability::currentReachabilityStatus() const {
  return networkStatusForFlags(flags());
}

bool HBRReachability::connectionRequired() const {
  return (flags() & platform::kReachabilityFlagConnectionRequired) != 0;
}

std::shared_ptr<HBRReachability> HBRReachability::fromNotificationSender(const void* sender) {
  if (!sender) return nullptr;
  std::lock_guard<std::mutex> lock(registryMutex());
  auto it = registry().find(sender);
  return it == registry().end() ? nullptr : it->second.lock();
}

void HBRReachability::reachabilityCallback(std::uint32_t, void* info) {
  if (!info) {
    platform::log("info was NULL in ReachabilityCallback");
    return;
  }
  auto object = fromNotificationSender(info);
  if (!object) {
    platform::log("info was wrong class in ReachabilityCallback");
    return;
  }
  platform::NotificationCenter::defaultCenter().post(kNetworkReachabilityChangedNotification,
                                                     object.get());
}

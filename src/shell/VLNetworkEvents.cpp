#include "shell/VLNetworkEvents.h"

#include "host/HBRReachability.h"

using platform::Value;

VLNetworkEvent::VLNetworkEvent(const Value& data) {
  if (data.is_object()) data_ = data;
}

Value VLNetworkEvent::networkStateForStatus(long status) {
  switch (status) {
    case NotReachable:
      return {{VLNetworkStatusKey, VLNetworkOffline}, {VLNetworkTypeKey, "NotReachable"}};
    case ReachableViaWWAN:
      return {{VLNetworkStatusKey, VLNetworkOnline}, {VLNetworkTypeKey, "WWAN"}};
    case ReachableViaWiFi:
      return {{VLNetworkStatusKey, VLNetworkOnline}, {VLNetworkTypeKey, "WiFi"}};
    default:
      return Value::object();
  }
}

VLNetworkEventEmitter::~VLNetworkEventEmitter() { stop(); }

void VLNetworkEventEmitter::start() {
  std::lock_guard lock(mutex_);
  if (registered_) return;
  registered_ = true;
  // The observer belongs to this emitter, which stops observing before it goes.
  platform::NotificationCenter::defaultCenter().addObserver(
      this, kNetworkReachabilityChangedNotification, nullptr,
      [this](const platform::Notification& notification) { reachabilityChanged(notification); });
}

void VLNetworkEventEmitter::stop() {
  {
    std::lock_guard lock(mutex_);
    if (!registered_) return;
    registered_ = false;
  }
  platform::NotificationCenter::defaultCenter().removeObserver(
      this, kNetworkReachabilityChangedNotification);
}

bool VLNetworkEventEmitter::observerReachabilityRegistred() const {
  std::lock_guard lock(mutex_);
  return registered_;
}

std::shared_ptr<NetworkEventDelegate> VLNetworkEventEmitter::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void VLNetworkEventEmitter::setDelegate(const std::weak_ptr<NetworkEventDelegate>& delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = delegate;
}

void VLNetworkEventEmitter::reachabilityChanged(const platform::Notification& notification) {
  auto reachability = HBRReachability::fromNotificationSender(notification.sender);
  if (!reachability) return;
  VLNetworkEvent event(VLNetworkEvent::networkStateForStatus(
      static_cast<long>(reachability->currentReachabilityStatus())));
  if (auto target = delegate()) target->networkStateDidChange(event);
}

void VLBroadcaster::initializeBroadcaster() {
  emitter_ = std::make_shared<VLNetworkEventEmitter>();
  emitter_->setDelegate(std::static_pointer_cast<NetworkEventDelegate>(shared_from_this()));
  emitter_->start();
}

void VLBroadcaster::destroyBroadcaster() {
  if (emitter_) emitter_->stop();
}

void VLBroadcaster::networkStateDidChange(const VLNetworkEvent& event) {
  platform::NotificationCenter::defaultCenter().post(VLNetworkChangedNotification, this,
                                                     event.getData());
}

VLBroadcasterPlugin::~VLBroadcasterPlugin() {
  if (broadcaster_) broadcaster_->destroyBroadcaster();
}

void VLBroadcasterPlugin::pluginInitialize() {
  broadcaster_ = std::make_shared<VLBroadcaster>();
  broadcaster_->initializeBroadcaster();
}

void VLBroadcasterPlugin::dispose() {
  if (broadcaster_) broadcaster_->destroyBroadcaster();
  HBRPlugin::dispose();
}

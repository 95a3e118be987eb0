#pragma once

#include <memory>
#include <mutex>

#include "host/HBRPlugin.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Value.h"

// Posted on the default centre on every reachability change, also when nothing changed, with
// the network state as its object: {"netWorkStatus": "netWorkOnline" or "netWorkOffline",
// "netWorkType": "WiFi", "WWAN" or "NotReachable"}; an empty dictionary for a status the
// table does not know.
inline constexpr const char* VLNetworkChangedNotification = "VLNetworkChangedNotification";
inline constexpr const char* VLNetworkStatusKey = "netWorkStatus";
inline constexpr const char* VLNetworkTypeKey = "netWorkType";
inline constexpr const char* VLNetworkOnline = "netWorkOnline";
inline constexpr const char* VLNetworkOffline = "netWorkOffline";

class VLEventProtocol {
 public:
  virtual ~VLEventProtocol() = default;
  virtual platform::Value getData() const = 0;
};

class VLNetworkEvent final : public VLEventProtocol {
 public:
  // Copies the entries of `data` (a dictionary; anything else gives an empty one).
  explicit VLNetworkEvent(const platform::Value& data);
  platform::Value getData() const override { return data_; }

  // The network state for a reachability status.
  static platform::Value networkStateForStatus(long status);

 private:
  platform::Value data_ = platform::Value::object();
};

class NetworkEventDelegate {
 public:
  virtual ~NetworkEventDelegate() = default;
  virtual void networkStateDidChange(const VLNetworkEvent& event) = 0;
};

class VLEventEmitterProtocol {
 public:
  virtual ~VLEventEmitterProtocol() = default;
  virtual void start() = 0;
  virtual void stop() = 0;
};

// Turns the reachability notifications of the network information plugin into network
// events for its delegate. Runs no probe of its own.
class VLNetworkEventEmitter final : public VLEventEmitterProtocol {
 public:
  ~VLNetworkEventEmitter() override;
  void start() override;
  void stop() override;
  bool observerReachabilityRegistred() const;

  std::shared_ptr<NetworkEventDelegate> delegate() const;
  void setDelegate(const std::weak_ptr<NetworkEventDelegate>& delegate);

  // Ignores a notification whose sender is not a live reachability object.
  void reachabilityChanged(const platform::Notification& notification);

 private:
  mutable std::mutex mutex_;
  std::weak_ptr<NetworkEventDelegate> delegate_;
  bool registered_ = false;
};

class VLBroadcasterProtocol {
 public:
  virtual ~VLBroadcasterProtocol() = default;
  virtual void initializeBroadcaster() = 0;
  virtual void destroyBroadcaster() = 0;
};

// Posts each network event as "VLNetworkChangedNotification", synchronously, on the thread
// of the reachability notification.
class VLBroadcaster final : public VLBroadcasterProtocol,
                            public NetworkEventDelegate,
                            public std::enable_shared_from_this<VLBroadcaster> {
 public:
  void initializeBroadcaster() override;
  void destroyBroadcaster() override;
  void networkStateDidChange(const VLNetworkEvent& event) override;
  const std::shared_ptr<VLNetworkEventEmitter>& networkEventEmitter() const { return emitter_; }

 private:
  std::shared_ptr<VLNetworkEventEmitter> emitter_;
};

// Broadcasts network changes from its start until it is disposed of or destroyed.
class VLBroadcasterPlugin final : public HBRPlugin {
 public:
  ~VLBroadcasterPlugin() override;
  std::string className() const override { return "VLBroadcasterPlugin"; }
  void pluginInitialize() override;
  void dispose() override;
  std::shared_ptr<VLBroadcasterProtocol> broadcaster() const { return broadcaster_; }

 private:
  std::shared_ptr<VLBroadcaster> broadcaster_;
};

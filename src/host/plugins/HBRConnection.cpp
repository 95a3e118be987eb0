#include "host/plugins/HBRConnection.h"

#include "host/HBRCommandDelegate.h"
#include "host/HBRPluginResult.h"
#include "platform/ui/Application.h"

HBRConnection::HBRConnection() {
  registerAction("getConnectionInfo", &HBRConnection::getConnectionInfo);
}

HBRConnection::~HBRConnection() {
  if (internetReach_) internetReach_->stopNotifier();
}

void HBRConnection::pluginInitialize() {
  auto reach = HBRReachability::reachabilityForInternetConnection();
  std::string type = w3cConnectionTypeFor(*reach);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    internetReach_ = reach;
    connectionType_ = type;
  }
  reach->startNotifier();

  auto& center = platform::NotificationCenter::defaultCenter();
  // The observers belong to `this`; the base class removes them when the plugin goes.
  auto update = [this](const platform::Notification& n) { updateConnectionType(n); };
  center.addObserver(this, kNetworkReachabilityChangedNotification, nullptr, update);
  center.addObserver(this, platform::kCTRadioAccessTechnologyDidChangeNotification, nullptr,
                     update);
  center.addObserver(this, platform::ui::kApplicationDidEnterBackgroundNotification, nullptr,
                     [this](const platform::Notification&) { onPause(); });
  center.addObserver(this, platform::ui::kApplicationWillEnterForegroundNotification, nullptr,
                     [this](const platform::Notification&) { onResume(); });
}

void HBRConnection::dispose() {
  if (auto reach = internetReach()) reach->stopNotifier();
  auto& center = platform::NotificationCenter::defaultCenter();
  center.removeObserver(this, kNetworkReachabilityChangedNotification);
  center.removeObserver(this, platform::kCTRadioAccessTechnologyDidChangeNotification);
  center.removeObserver(this, platform::ui::kApplicationDidEnterBackgroundNotification);
  center.removeObserver(this, platform::ui::kApplicationWillEnterForegroundNotification);
  HBRPlugin::dispose();
}

void HBRConnection::getConnectionInfo(const HBRInvokedUrlCommand& command) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    callbackId_ = command.callbackId();
  }
  sendCurrentType();
}

void HBRConnection::sendCurrentType() {
  std::optional<std::string> callbackId;
  std::string type;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    callbackId = callbackId_;
    type = connectionType_;
  }
  auto delegate = commandDelegate();
  if (!delegate) return;
  auto result = HBRPluginResult::resultWithStatusAsString(HBRResultStatus::OK, type);
  result->setKeepCallbackAsBool(true);
  // Before the first request there is no callback id; the delegate refuses the result
  // with its log line, while connectionType() already reports the new type.
  delegate->sendPluginResult(result, callbackId);
}

std::string HBRConnection::connectionType() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connectionType_;
}

std::shared_ptr<HBRReachability> HBRConnection::internetReach() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return internetReach_;
}

std::string HBRConnection::w3cConnectionTypeFor(const HBRReachability& reachability) const {
  // One reading of the flags, so that status and "connection required" agree.
  std::uint32_t flags = reachability.flags();
  return w3cConnectionTypeFor(
      HBRReachability::networkStatusForFlags(flags),
      (flags & platform::kReachabilityFlagConnectionRequired) != 0,
      platform::NetworkMonitor::shared().currentState().radioAccessTechnology);
}

std::string HBRConnection::w3cConnectionTypeFor(
    HBRReachabilityStatus status, bool connectionRequired,
    const std::optional<std::string>& radioAccessTechnology) {
  switch (status) {
    case NotReachable:
      return "none";
    case ReachableViaWiFi:
      return connectionRequired ? "none" : "wifi";
    case ReachableViaWWAN: {
      if (connectionRequired) return "none";
      if (!radioAccessTechnology) return "cellular";
      const std::string& radio = *radioAccessTechnology;
      if (radio == platform::kCTRadioAccessTechnologyGPRS ||
          radio == platform::kCTRadioAccessTechnologyEdge)
        return "2g";
      for (const char* threeG :
           {platform::kCTRadioAccessTechnologyWCDMA, platform::kCTRadioAccessTechnologyHSDPA,
            platform::kCTRadioAccessTechnologyHSUPA, platform::kCTRadioAccessTechnologyCDMA1x,
            platform::kCTRadioAccessTechnologyCDMAEVDORev0,
            platform::kCTRadioAccessTechnologyCDMAEVDORevA,
            platform::kCTRadioAccessTechnologyCDMAEVDORevB,
            platform::kCTRadioAccessTechnologyeHRPD})
        if (radio == threeG) return "3g";
      if (radio == platform::kCTRadioAccessTechnologyLTE) return "4g";
      return "cellular";
    }
  }
  return "unknown";
}

bool HBRConnection::isCellularConnection(const std::string& type) {
  return type == "2g" || type == "3g" || type == "4g" || type == "cellular";
}

void HBRConnection::updateReachability(const std::shared_ptr<HBRReachability>& reachability) {
  if (reachability) {
    std::string type = w3cConnectionTypeFor(*reachability);
    std::lock_guard<std::mutex> lock(mutex_);
    if (type == connectionType_) return;
    connectionType_ = type;
  }
  sendCurrentType();
}

void HBRConnection::updateConnectionType(const platform::Notification& notification) {
  // Only reachability changes carry a reachability object; the radio notification does not,
  // so its news waits for the next reachability change or the return to the foreground.
  if (auto reachability = HBRReachability::fromNotificationSender(notification.sender))
    updateReachability(reachability);
}

void HBRConnection::onPause() {
  if (auto reach = internetReach()) reach->stopNotifier();
}

void HBRConnection::onResume() {
  auto reach = internetReach();
  if (!reach) return;
  reach->startNotifier();
  updateReachability(reach);
}

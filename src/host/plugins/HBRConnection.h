#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/HBRPlugin.h"
#include "host/HBRReachability.h"

// Tells the web application the type of the current network connection as a W3C
// connection-type string ("none", "wifi", "2g", "3g", "4g", "cellular", "unknown"): once on
// request, and again on every change through the callback of the last request.
class HBRConnection : public HBRPlugin {
 public:
  HBRConnection();
  ~HBRConnection() override;
  std::string className() const override { return "HBRConnection"; }

  void pluginInitialize() override;
  void dispose() override;

  // JavaScript action: keeps the callback and sends the current type.
  void getConnectionInfo(const HBRInvokedUrlCommand& command);

  // The current type; safe from any thread.
  std::string connectionType() const;
  std::string w3cConnectionTypeFor(const HBRReachability& reachability) const;
  // The rules behind w3cConnectionTypeFor, on plain values.
  static std::string w3cConnectionTypeFor(HBRReachabilityStatus status, bool connectionRequired,
                                          const std::optional<std::string>& radioAccessTechnology);
  static bool isCellularConnection(const std::string& type);

  // Recomputes the type from `reachability` and sends it when it changed; with no object,
  // sends the current type as it is.
  void updateReachability(const std::shared_ptr<HBRReachability>& reachability);
  void updateConnectionType(const platform::Notification& notification);
  void onPause();
  void onResume();

  std::shared_ptr<HBRReachability> internetReach() const;

 private:
  void sendCurrentType();

  mutable std::mutex mutex_;
  std::optional<std::string> callbackId_;
  std::shared_ptr<HBRReachability> internetReach_;
  std::string connectionType_ = "none";
};

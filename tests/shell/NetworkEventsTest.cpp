#include <gtest/gtest.h>

#include "host/HBRReachability.h"
#include "platform/foundation/NotificationCenter.h"
#include "shell/VLNetworkEvents.h"

using platform::Value;

namespace {

// Collects the network states the broadcaster posts.
struct Posted {
  Posted() {
    platform::NotificationCenter::defaultCenter().addObserver(
        this, VLNetworkChangedNotification, nullptr,
        [this](const platform::Notification& notification) { states.push_back(notification.object); });
  }
  ~Posted() { platform::NotificationCenter::defaultCenter().removeObserver(this); }
  std::vector<Value> states;
};

void reachabilityChanged(const void* sender) {
  platform::NotificationCenter::defaultCenter().post(kNetworkReachabilityChangedNotification,
                                                     sender);
}

}  // namespace

TEST(VLNetworkEvents, StatusesBecomeTheNetworkStateAndUnknownOnesAnEmptyDictionary) {
  auto state = [](const char* status, const char* type) {
    return Value{{"netWorkStatus", status}, {"netWorkType", type}};
  };
  const Value expected[] = {Value::object(), state("netWorkOffline", "NotReachable"),
                            state("netWorkOnline", "WWAN"), state("netWorkOnline", "WiFi"),
                            Value::object()};
  for (long status = -1; status <= 3; ++status)
    EXPECT_EQ(VLNetworkEvent::networkStateForStatus(status), expected[status + 1]) << status;
  EXPECT_EQ(VLNetworkEvent(Value("not a dictionary")).getData(), Value::object());
}

TEST(VLNetworkEvents, EveryReachabilityChangePostsUntilThePluginGoes) {
  Posted posted;
  auto reachability = HBRReachability::reachabilityForInternetConnection();
  const Value expected = VLNetworkEvent::networkStateForStatus(
      static_cast<long>(reachability->currentReachabilityStatus()));
  {
    auto plugin = std::make_shared<VLBroadcasterPlugin>();
    plugin->pluginInitialize();
    plugin->pluginInitialize();  // a second start registers no second observer

    reachabilityChanged(reachability.get());
    reachabilityChanged(reachability.get());  // nothing changed: posted all the same
    int stranger = 0;
    reachabilityChanged(&stranger);  // not a reachability object: ignored
    reachabilityChanged(nullptr);
    EXPECT_EQ(posted.states, (std::vector<Value>{expected, expected}));

    plugin->dispose();
    reachabilityChanged(reachability.get());
    EXPECT_EQ(posted.states.size(), 2u);
  }
  // Destroyed without being disposed of: it stops as well.
  {
    auto plugin = std::make_shared<VLBroadcasterPlugin>();
    plugin->pluginInitialize();
    reachabilityChanged(reachability.get());
    EXPECT_EQ(posted.states.size(), 3u);
  }
  reachabilityChanged(reachability.get());
  EXPECT_EQ(posted.states.size(), 3u);
}

#include <gtest/gtest.h>

#include "plugins/PluginTestHost.h"
#include "plugins/device/HBRDevice.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Device.h"
#include "shell/VLDeviceInfo.h"
#include "support/TestSupport.h"

using platform::Value;
using platform::ui::Device;

namespace {

struct FakeMachine : testing_support::TempDir {
  FakeMachine() { Device::setSystemFilesRootForTesting(path()); }
  ~FakeMachine() { Device::setSystemFilesRootForTesting(""); }
};

Value deviceInfo(plugintest::Host& host, const std::shared_ptr<HBRDevice>& plugin) {
  size_t before = host.delegate->sent.size();
  plugin->performAction("getDeviceInfo", plugintest::command(Value::array(), "D"));
  platform::MainLoop::runUntil([&] { return host.delegate->sent.size() > before; }, 5);
  if (host.delegate->sent.size() <= before) return nullptr;
  EXPECT_TRUE(host.delegate->sent.back().status == HBRResultStatus::OK && !host.delegate->sent.back().keep);
  return host.delegate->sent.back().message;
}

TEST(DevicePlugin, AnswersTheEightKeys) {
  testing_support::ScopedDataRoot root;
  FakeMachine machine;
  machine.write("sys/class/dmi/id/product_name", "ThinkPad X1\n");
  machine.write("etc/machine-id", "0123456789abcdef0123456789abcdef\n");
  plugintest::Host host;
  Value info = deviceInfo(host, host.add<HBRDevice>());
  EXPECT_EQ(info, (Value{{"manufacturer", "Apple"}, {"model", "ThinkPad X1"}, {"platform", "iOS"},
                         {"version", Device::systemVersion()}, {"uuid", *Device::identifierForVendor()},
                         {"harbor", "6.2.0"}, {"isVirtual", false}, {"isiOSAppOnMac", false}}));
}

TEST(DevicePlugin, TheIdentifierIsTheLoggersWrittenOnceAndSurvivesRestarts) {
  testing_support::ScopedDataRoot root;
  FakeMachine machine;  // no machine id: a random identifier, made by whoever asks first
  platform::UserDefaults::resetForTesting();
  std::string first;
  {
    plugintest::Host host;
    auto logger = VLDeviceInfo::initWithCommandDelegate(host.delegate, nullptr);
    first = logger->getDeviceUUID().value_or("");
    EXPECT_EQ(first.size(), 36u);
    EXPECT_TRUE(deviceInfo(host, host.add<HBRDevice>())["uuid"] == first &&
                logger->getDeviceInfo()["DeviceUUID"] == first);
    EXPECT_EQ(platform::UserDefaults::standard().string("HBRUUID"), first);
  }
  // A restart reads the stored identifier back, even once the machine has a vendor identifier.
  platform::UserDefaults::resetForTesting();
  machine.write("etc/machine-id", "0123456789abcdef0123456789abcdef\n");
  plugintest::Host host;
  EXPECT_TRUE(deviceInfo(host, host.add<HBRDevice>())["uuid"] == first &&
              HBRDevice::uniqueAppInstanceIdentifier() == first);
}

}  // namespace

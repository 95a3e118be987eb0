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
  EXPECT_EQ(host.delegate->sent.back().status, HBRResultStatus::OK);
  EXPECT_FALSE(host.delegate->sent.back().keep);
  return host.delegate->sent.back().message;
}

TEST(DevicePlugin, AnswersTheEightKeys) {
  testing_support::ScopedDataRoot root;
  FakeMachine machine;
  machine.write("sys/class/dmi/id/product_name", "ThinkPad X1\n");
  machine.write("etc/machine-id", "0123456789abcdef0123456789abcdef\n");
  plugintest::Host host;
  Value info = deviceInfo(host, host.add<HBRDevice>());
  ASSERT_TRUE(info.is_object());
  EXPECT_EQ(info.size(), 8u);
  EXPECT_EQ(info["manufacturer"], "Apple");
  EXPECT_EQ(info["model"], "ThinkPad X1");
  EXPECT_EQ(info["platform"], "iOS");
  EXPECT_EQ(info["version"], Device::systemVersion());
  EXPECT_EQ(info["uuid"], *Device::identifierForVendor());
  EXPECT_EQ(info["harbor"], "6.2.0");
  EXPECT_EQ(info["isVirtual"], false);
  EXPECT_EQ(info["isiOSAppOnMac"], false);
}

TEST(DevicePlugin, TheIdentifierIsWrittenOnceAndSurvivesRestarts) {
  testing_support::ScopedDataRoot root;
  FakeMachine machine;  // no machine id: a random identifier
  platform::UserDefaults::resetForTesting();
  std::string first;
  {
    plugintest::Host host;
    Value info = deviceInfo(host, host.add<HBRDevice>());
    first = info.value("uuid", "");
    EXPECT_EQ(first.size(), 36u);
    EXPECT_EQ(platform::UserDefaults::standard().string("HBRUUID"), first);
  }
  // A restart reads the stored identifier back, even once the machine has a vendor identifier.
  platform::UserDefaults::resetForTesting();
  machine.write("etc/machine-id", "0123456789abcdef0123456789abcdef\n");
  plugintest::Host host;
  EXPECT_EQ(deviceInfo(host, host.add<HBRDevice>())["uuid"], first);
  EXPECT_EQ(HBRDevice::uniqueAppInstanceIdentifier(), first);
}

TEST(DevicePlugin, TheIdentifierIsTheLoggersDeviceIdentifier) {
  testing_support::ScopedDataRoot root;
  FakeMachine machine;  // no machine id: a random identifier, made by whoever asks first
  platform::UserDefaults::resetForTesting();
  plugintest::Host host;
  auto logger = VLDeviceInfo::initWithCommandDelegate(host.delegate, nullptr);
  auto fromLogger = logger->getDeviceUUID();
  ASSERT_TRUE(fromLogger);
  EXPECT_EQ(deviceInfo(host, host.add<HBRDevice>())["uuid"], *fromLogger);
  EXPECT_EQ(logger->getDeviceInfo()["DeviceUUID"], *fromLogger);
}

}  // namespace

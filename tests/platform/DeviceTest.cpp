#include "platform/ui/Device.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "platform/foundation/UserDefaults.h"
#include "support/TestSupport.h"

using platform::ui::Device;

namespace {
struct FakeMachine : testing_support::TempDir {
  FakeMachine() { Device::setSystemFilesRootForTesting(path()); }
  ~FakeMachine() { Device::setSystemFilesRootForTesting(""); }
};
}  // namespace

TEST(Device, DescribesTheMachineApartFromTheFixedSystemVersion) {
  FakeMachine machine;
  machine.write("sys/class/dmi/id/product_name", "ThinkPad X1\n");
  machine.write("etc/os-release", "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n");
  EXPECT_EQ(Device::model(), "ThinkPad X1");
  EXPECT_EQ(Device::systemName(), "Debian GNU/Linux");
  EXPECT_EQ(Device::operatingSystemVersion(), "12");
  EXPECT_STREQ(Device::systemVersion(), "13.0");

  FakeMachine bare;  // no DMI and no os-release: the kernel's names
  EXPECT_FALSE(Device::model().empty());
  EXPECT_EQ(Device::systemName(), "Linux");
  EXPECT_FALSE(Device::operatingSystemVersion().empty());
  EXPECT_FALSE(Device::identifierForVendor());
}

TEST(Device, TheInstallationIdentifierIsMadeOnceFromTheVendorIdentifier) {
  FakeMachine machine;
  machine.write("etc/machine-id", "0123456789abcdef0123456789abcdef\n");
  auto vendor = Device::identifierForVendor();
  ASSERT_TRUE(vendor);
  EXPECT_EQ(vendor->size(), 36u);
  EXPECT_EQ((*vendor)[14], '4');
  EXPECT_EQ(Device::identifierForVendor(), vendor);  // stable

  platform::UserDefaults::resetForTesting();
  platform::UserDefaults::standard().remove("HBRUUID");
  std::set<std::string> seen;
  std::mutex mutex;
  std::vector<std::thread> callers;
  for (int i = 0; i < 8; ++i)
    callers.emplace_back([&] {
      auto id = Device::installationIdentifier();
      std::lock_guard lock(mutex);
      seen.insert(id);
    });
  for (auto& t : callers) t.join();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(*seen.begin(), *vendor);

  // Kept when the vendor identifier changes later, and written to disk at once.
  machine.write("etc/machine-id", "ffffffffffffffffffffffffffffffff\n");
  EXPECT_NE(Device::identifierForVendor(), vendor);
  EXPECT_EQ(Device::installationIdentifier(), *vendor);
  platform::UserDefaults::resetForTesting();
  EXPECT_EQ(platform::UserDefaults::standard().string("HBRUUID"), vendor);
}

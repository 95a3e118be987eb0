#include <gtest/gtest.h>

#include "ShellProtocols.h"
#include "platform/foundation/Strings.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/net/URLSession.h"
#include "platform/ui/Device.h"
#include "shell/VLHTTPFactory.h"
#include "shell/VLProtocolManagerPlugin.h"
#include "support/HttpsTestServer.h"
#include "support/SessionTasks.h"
#include "support/TestSupport.h"

using namespace platform;
using namespace shell_test;

TEST(VLHTTPFactory, HeadersAlwaysCarryAUserAgentAndTheDeviceUUID) {
  const std::string fallback = VLHTTPFactory::fallbackUserAgent();
  EXPECT_TRUE(startsWith(fallback, "Veltro/")) << fallback;
  EXPECT_EQ(VLHTTPFactory::defaultHttpHeaders(),
            (HTTPHeaders{{"User-Agent", fallback}, {"veltro-device-uuid", "n/a"}}));

  // The plugin sets whatever the web view has: here no web view, so no application name.
  testing_support::TempDir machine;
  machine.write("etc/machine-id", "0123456789abcdef0123456789abcdef\n");
  ui::Device::setSystemFilesRootForTesting(machine.path());
  const std::string vendorId = ui::Device::identifierForVendor().value_or("");
  ASSERT_EQ(vendorId.size(), 36u);
  VLProtocolManagerPlugin plugin;
  plugin.pluginInitialize();
  EXPECT_EQ(VLHTTPFactory::defaultHttpHeaders(),
            (HTTPHeaders{{"User-Agent", fallback}, {"veltro-device-uuid", vendorId}}));

  VLHTTPFactory::setUserAgent("Mozilla/5.0 (X11; Linux) Veltro");
  EXPECT_EQ(VLHTTPFactory::defaultHttpHeaders()[0].second, "Mozilla/5.0 (X11; Linux) Veltro");
  VLHTTPFactory::setUserAgent("");
  EXPECT_EQ(VLHTTPFactory::defaultHttpHeaders()[0].second, fallback);
  VLHTTPFactory::setUserAgent("Agent\r\nX-Injected: 1");
  EXPECT_EQ(VLHTTPFactory::defaultHttpHeaders()[0].second, fallback);

  // The configuration carries both, and a real request sends them.
  testing_support::HttpsTestServer server;
  server.on("GET", "/who",
            [](const httplib::Request&, httplib::Response& response) { response.status = 204; });
  VLHTTPFactory::setUserAgent("Agent/2");
  auto configuration = VLHTTPFactory::ephemeralConfiguration();
  auto session = URLSession::sessionWithConfiguration(configuration);
  EXPECT_FALSE(testing_support::fetch(*session, server.url("/who")).error);
  auto seen = server.lastRequest("/who");
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->header("User-Agent"), "Agent/2");
  EXPECT_EQ(seen->header("veltro-device-uuid"), vendorId);

  VLHTTPFactory::setUserAgent(std::nullopt);
  VLHTTPFactory::setDeviceUUID("n/a");
  ui::Device::setSystemFilesRootForTesting("");
}

TEST(VLHTTPFactory, AConfigurationKeepsTheProtocolListOfTheMomentItWasMade) {
  VLProtocolManagerPlugin::load();
  VLProtocolManagerPlugin::resetForTesting();
  URLProtocol::registerClass(protocolA());
  auto earlier = VLHTTPFactory::defaultConfiguration();
  URLProtocol::registerClass(loader());
  auto later = VLHTTPFactory::defaultConfiguration();
  EXPECT_EQ(earlier.protocolClasses(), (std::vector<URLProtocolClassRef>{protocolA()}));
  EXPECT_EQ(later.protocolClasses(), (std::vector<URLProtocolClassRef>{loader(), protocolA()}));
  // Default configurations share the persisted cookie store; ephemeral ones have their own.
  EXPECT_EQ(later.httpCookieStorage(), HTTPCookieStorage::sharedHTTPCookieStorage());
  EXPECT_NE(VLHTTPFactory::ephemeralConfiguration().httpCookieStorage(),
            HTTPCookieStorage::sharedHTTPCookieStorage());
  URLProtocol::unregisterClass(protocolA());
  URLProtocol::unregisterClass(loader());
}

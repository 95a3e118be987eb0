#include "BridgeFixture.h"

class QualifiedOnly : public HBRPlugin {
 public:
  std::string className() const override { return "QualifiedOnly"; }
  void pluginInitialize() override { ++initialized; }
  int initialized = 0;
};

class RegistryTest : public BridgeFixture {
 protected:
  std::string configXML() const override {
    return R"(<widget><feature name="Device"><param name="ios-package" value="EchoPlugin"/></feature>
      <feature name="Mod"><param name="ios-package" value="QualifiedOnly"/></feature>
      <feature name="Ghost"><param name="ios-package" value="NoSuchClass"/></feature></widget>)";
  }
};

TEST_F(RegistryTest, FindsFeaturesInAnyCaseAndKeepsOneInstance) {
  auto first = vc->getCommandInstance("Device");
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(vc->getCommandInstance("DEVICE") == first && vc->getCommandInstance("device") == first);
  auto plugin = std::dynamic_pointer_cast<HBRPlugin>(first);
  EXPECT_TRUE(plugin->viewController() == vc && plugin->commandDelegate() == vc->commandDelegate() &&
              plugin->webView() == engine->engineWebView());
  EXPECT_EQ(vc->pluginObjects().count("EchoPlugin"), 1u);

  auto named = std::make_shared<EchoPlugin>();
  vc->registerPluginWithPluginName(named, "Shouty");
  EXPECT_EQ(vc->getCommandInstance("shouty"), named);
}

TEST_F(RegistryTest, FallsBackToTheExecutableQualifiedClassName) {
  HBRPluginClassRegistry::shared().registerClass("Veltro.QualifiedOnly",
                                                 [] { return std::make_shared<QualifiedOnly>(); });
  auto instance = std::dynamic_pointer_cast<QualifiedOnly>(vc->getCommandInstance("mod"));
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(instance->initialized, 1);
  EXPECT_EQ(vc->pluginObjects().count("QualifiedOnly"), 1u);  // registered under the plain name
  HBRPluginClassRegistry::shared().unregisterClass("Veltro.QualifiedOnly");
}

TEST_F(RegistryTest, UnknownFeaturesAndClasses) {
  testing_support::LogCapture log;
  EXPECT_TRUE(vc->getCommandInstance("Unmapped") == nullptr && log.lines().empty());
  EXPECT_EQ(vc->getCommandInstance("Ghost"), nullptr);
  EXPECT_TRUE(log.contains("HBRPlugin class NoSuchClass (pluginName: Ghost) does not exist."));
}

TEST_F(RegistryTest, ResetsReachOnlyTheEnginesWebView) {
  struct Counting : HBRPlugin {
    std::string className() const override { return "Counting"; }
    void onReset() override { ++resets; }
    int resets = 0;
  };
  auto plugin = std::make_shared<Counting>();
  plugin->initWithWebViewEngine(engine);
  auto other = std::make_shared<platform::webkit::HeadlessWebView>();
  auto& center = platform::NotificationCenter::defaultCenter();
  center.post(HBRPluginResetNotification, other.get());
  center.post(HBRPluginResetNotification, engine->engineWebView().get());
  EXPECT_EQ(plugin->resets, 1);
  plugin.reset();  // released without dispose: must stop observing
  center.post(HBRPluginResetNotification, engine->engineWebView().get());
}

#include <gtest/gtest.h>

#include "LoggingFixtures.h"
#include "host/plugins/HBRConnection.h"
#include "platform/foundation/StableHash.h"
#include "platform/logging/RRVBufferedOutput.h"
#include "platform/ui/Device.h"
#include "shell/VLApplicationInfoPlugin.h"
#include "shell/VLLogger.h"
#include "shell/VLLoggerPlugin.h"
#include "shell/VLRoruvLogger.h"
#include "support/RecordingCommandDelegate.h"
#include "support/TestSupport.h"

using platform::Value;
using testing_support::RecordingCommandDelegate;
using shell_test::RecordOutput;

namespace {

// The remote outputs are stand-ins that keep what they receive.
void registerRemoteStandIns() {
  for (const char* name : {VLRoruvLogger::kServerOutputClass, VLRoruvLogger::kOtlpOutputClass})
    roruv::RRVOutputClassRegistry::shared().registerClass(
        name, [] { return std::make_shared<RecordOutput>(); });
}

std::shared_ptr<VLApplicationInfo> applicationInfo() {
  return std::make_shared<VLApplicationInfo>(Value{{"nativeshellversion", "9.1"}});
}

std::shared_ptr<VLRoruvLogger> engine(std::optional<std::string> hostname,
                                      std::optional<std::string> tenantKey) {
  registerRemoteStandIns();
  return std::make_shared<VLRoruvLogger>(hostname, "app", "appKey", "envKey", tenantKey, "agent",
                                         applicationInfo(),
                                         VLDeviceInfo::initWithCommandDelegate(nullptr, nullptr));
}

std::shared_ptr<RecordOutput> remote(const VLRoruvLogger& engine) {
  return std::dynamic_pointer_cast<RecordOutput>(engine.roruvLogger()->outputs().at(1));
}

HBRInvokedUrlCommand command(const std::string& action, Value arguments,
                             const std::string& callbackId) {
  return HBRInvokedUrlCommand(std::move(arguments), callbackId, "Logger", action);
}

}  // namespace

TEST(VLRoruvLogger, TheKeysChooseTheOutputWhichGetsInfoAndAboveAndNoHostMeansNoLogs) {
  testing_support::LogCapture log;
  auto server = engine("example.org", std::nullopt);  // one key missing: the server output
  ASSERT_TRUE(server->roruvLogger());
  EXPECT_EQ(server->serverTag(),
            "vllogger.server." + platform::stableHashString("example.org/app"));
  const auto& outputs = server->roruvLogger()->outputs();
  ASSERT_EQ(outputs.size(), 2u);
  EXPECT_EQ(outputs[1]->storageKey(), "VLRoruvServerOutput " + *server->serverTag());

  server->processLog("quiet", "VLCache", std::nullopt, VLLogLevelDebug, nullptr, std::nullopt);
  server->processLog("loud", "VLCache", std::nullopt, VLLogLevelInfo, nullptr, std::nullopt);
  server->processLog(std::nullopt, "traced", "VLCache", VLLogLevelTrace, nullptr, std::nullopt, "t",
                     "s");
  ASSERT_TRUE(server->roruvLogger()->waitUntilIdle(5));
  for (const char* line : {"quiet", "loud", "traced"}) EXPECT_TRUE(log.contains(line)) << line;
  auto records = remote(*server)->received();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["message"], "loud");  // the legacy format

  // Three keys choose the OTLP output; no host means no logs at all.
  auto otlp = engine("example.org", "tenant");
  ASSERT_TRUE(otlp->roruvLogger());
  EXPECT_EQ(otlp->roruvLogger()->outputs().at(1)->storageKey(),
            "VLRoruvOtlpOutput " + *otlp->serverTag());
  otlp->processLog("warned", "m", std::nullopt, VLLogLevelWarning, nullptr, std::nullopt);
  ASSERT_TRUE(otlp->roruvLogger()->waitUntilIdle(5));
  ASSERT_EQ(remote(*otlp)->received().size(), 1u);
  EXPECT_EQ(remote(*otlp)->received()[0]["body"]["stringValue"], "warned");

  log.clear();
  for (auto hostless : {engine(std::nullopt, "tenant"), engine("", "tenant")}) {
    EXPECT_FALSE(hostless->roruvLogger());
    EXPECT_FALSE(hostless->serverTag());
    hostless->processLog("dropped", "m", std::nullopt, VLLogLevelError, nullptr, std::nullopt);
  }
  EXPECT_FALSE(VLRoruvLogger::defaultConfiguration(
      "h", "app", std::nullopt, std::nullopt, std::nullopt, std::nullopt, nullptr,
      VLDeviceInfo::initWithCommandDelegate(nullptr, nullptr)));
  EXPECT_FALSE(log.contains("dropped"));
}

TEST(VLLoggerPlugin, ActionsCheckWhatThePageSendsAndAnswerEveryCall) {
  registerRemoteStandIns();
  EXPECT_EQ(VLLoggerPlugin::getDeviceInfoInstance(), VLDeviceInfo::sharedInstance());
  VLLoggerPlugin::resetForTesting();

  auto delegate = std::make_shared<RecordingCommandDelegate>();
  delegate->settings_ = {{"defaulthostname", "example.org"}, {"defaultapplicationurl", "app"}};
  VLApplicationInfo::initializeWithSettings(delegate->settings_);
  auto plugin = std::make_shared<VLLoggerPlugin>();
  plugin->setCommandDelegate(delegate);
  plugin->pluginInitialize();
  ASSERT_TRUE(plugin->logger());
  EXPECT_NE(VLLoggerPlugin::getDeviceInfoInstance(), VLDeviceInfo::sharedInstance());
  auto engine =
      std::dynamic_pointer_cast<VLRoruvLogger>(VLLogger::sharedInstance()->loggerEngine());
  ASSERT_TRUE(engine && engine->roruvLogger());

  testing_support::LogCapture log;
  struct Case {
    const char* action;
    Value arguments;
    std::optional<std::string> error;  // none: OK
  };
  const Case cases[] = {
      {"logInfo", Value::array({"only a message"}), "A message and a module are required."},
      {"logWarning", Value::array(), "A message and a module are required."},
      {"logDebug", Value::array({5, "mod"}), "The message must be a string."},
      {"logError", Value::array({"m", "mod", "not an object"}),
       "The extra data must be an object."},
      {"logError", Value::array({"m", "mod", nullptr, 12}), "The stack must be a string."},
      {"v2LogInfo", Value::array(), "The log record must be an object."},
      {"v2LogInfo", Value::array({"text"}), "The log record must be an object."},
      {"v2LogError", Value::array({{{"instant", 5}}}),
       "The log record's \"instant\" must be a string."},
      {"v2LogWarning", Value::array({{{"attributes", "a"}}}),
       "The log record's \"attributes\" must be an object."},
      {"logInfo", Value::array({"legacy info", "mod"}), std::nullopt},
      {"logError", Value::array({"legacy error", "mod", nullptr, nullptr}), std::nullopt},
      {"logError", Value::array({"with stack", "mod", {{"k", 1}}, "frame"}), std::nullopt},
      {"logError", Value::array({nullptr, "mod"}), std::nullopt},
      {"v2LogTrace", Value::array({{{"message", "v2 trace"}}}), std::nullopt},
      {"v2LogError",
       Value::array({{{"message", "v2 error"}, {"stack", "v2 frame"}, {"instant", "bad"}}}),
       std::nullopt},
  };
  for (const auto& c : cases) {
    const std::string id = "Logger" + std::to_string(&c - cases);
    ASSERT_TRUE(plugin->performAction(c.action, command(c.action, c.arguments, id)));
    auto sent = delegate->results(id);
    ASSERT_EQ(sent.size(), 1u) << c.action << " " << c.arguments;
    EXPECT_EQ(sent[0]->status(), c.error ? HBRResultStatus::Error : HBRResultStatus::OK)
        << c.action << " " << c.arguments;
    EXPECT_EQ(sent[0]->message(), c.error ? Value(*c.error) : Value()) << c.action;
  }
  plugin->performAction("deviceReady", command("deviceReady", Value::array(), "ready"));
  EXPECT_TRUE(delegate->results("ready").empty());

  ASSERT_TRUE(engine->roruvLogger()->waitUntilIdle(5));
  for (const char* line :
       {"legacy info", "legacy error", "with stack : frame", "v2 trace", "v2 error : v2 frame"})
    EXPECT_TRUE(log.contains(line)) << line;
  EXPECT_FALSE(log.contains("only a message"));
  auto records = remote(*engine)->received();
  ASSERT_EQ(records.size(), 5u);  // info and the four errors; the trace stays on the console
  EXPECT_EQ(records[1]["stack"], "");
  EXPECT_EQ(records[1]["extra"]["NativeShell"], nullptr);  // no "nativeshellversion" setting
  EXPECT_EQ(records[2]["extra"]["k"], 1);
  EXPECT_EQ(records[3]["message"], "");  // a log without message writes ""
}

TEST(VLApplicationInfo, AnswersAbsentValuesAsOKAndDeviceInformationFollowsAReplacement) {
  EXPECT_FALSE(VLApplicationInfo::sharedInstance());
  auto delegate = std::make_shared<RecordingCommandDelegate>();
  delegate->settings_ = {{"defaultplatformversion", "3.4"}};
  auto plugin = std::make_shared<VLApplicationInfoPlugin>();
  plugin->setCommandDelegate(delegate);
  testing_support::LogCapture log;
  plugin->pluginInitialize();
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"Plugin Itilialize: started",
                                                   "Plugin Itilialize: finished"}));
  auto first = VLApplicationInfo::sharedInstance();
  ASSERT_TRUE(first);

  using Answer = std::pair<const char*, Value>;
  for (auto [action, answer] :
       {Answer{"getPlatformVersion", "3.4"}, Answer{"getNativeShellVersion", nullptr}}) {
    plugin->performAction(action,
                          HBRInvokedUrlCommand(Value::array(), action, "ApplicationInfo", action));
    auto sent = delegate->results(action);
    ASSERT_EQ(sent.size(), 1u) << action;
    EXPECT_EQ(sent[0]->status(), HBRResultStatus::OK) << action;
    EXPECT_EQ(sent[0]->message(), answer) << action;
  }

  auto device = VLDeviceInfo::initWithCommandDelegate(nullptr, first);
  EXPECT_FALSE(device->getNativeShellVersion());
  VLApplicationInfo::initializeWithSettings(Value{{"nativeshellversion", "5.0"}});
  EXPECT_TRUE(first->wasReplaced());
  // The device information moves on to the application information that replaced its own.
  EXPECT_EQ(device->getNativeShellVersion(), "5.0");
  EXPECT_EQ(device->getDeviceInfo()["NativeShell"], "5.0");

  auto inspector = std::make_shared<VLInspectorPlugin>();
  inspector->pluginInitialize();
  EXPECT_FALSE(inspector->performAction(
      "anything", HBRInvokedUrlCommand(Value::array(), "c", "Inspector", "anything")));
}

TEST(VLDeviceInfo, ReportsNetworkStateAndLeavesOutWhatItDoesNotKnow) {
  // Hands out the network plugin once it is set.
  struct WithConnection : RecordingCommandDelegate {
    std::shared_ptr<platform::Object> getCommandInstance(const std::string& name) override {
      return name == "NetworkStatus" ? connection : nullptr;
    }
    std::shared_ptr<platform::Object> connection;
  };
  auto delegate = std::make_shared<WithConnection>();
  auto noNetwork = VLDeviceInfo::initWithCommandDelegate(delegate, nullptr);
  EXPECT_EQ(noNetwork->getNetworkStatus(), "Online");
  EXPECT_TRUE(noNetwork->isConnected());
  EXPECT_FALSE(noNetwork->getIsVirtual());
  Value info = noNetwork->getDeviceAndAppInfo();
  for (const char* absent : {"NetworkType", "NativeShell", "AppVersionCode", "AppVersionName"})
    EXPECT_FALSE(info.contains(absent)) << absent;
  EXPECT_EQ(info["Harbor"], "6.2.0");
  EXPECT_EQ(info["NetworkStatus"], "Online");
  EXPECT_EQ(info["DeviceUUID"], platform::ui::Device::installationIdentifier());
  EXPECT_EQ(info["OperatingSystem"], platform::ui::Device::systemName() + " " +
                                         platform::ui::Device::operatingSystemVersion());

  delegate->connection = std::make_shared<HBRConnection>();  // not started: "none"
  auto offline = VLDeviceInfo::initWithCommandDelegate(delegate, nullptr);
  EXPECT_EQ(offline->getNetworkType(), "none");
  EXPECT_EQ(offline->getNetworkStatus(), "Offline");
  EXPECT_FALSE(offline->isConnected());

  auto shared = VLDeviceInfo::sharedInstanceWithCommandDelegate(delegate, nullptr);
  EXPECT_EQ(VLDeviceInfo::sharedInstanceWithCommandDelegate(nullptr, applicationInfo()), shared);
  EXPECT_FALSE(shared->applicationInfo());
  EXPECT_NE(VLDeviceInfo::sharedInstance(), shared);
  EXPECT_FALSE(VLDeviceInfo::sharedInstance()->getDeviceModel());
}

#include "BridgeFixture.h"
#include "host/HBRJSON.h"
#include "host/plugins/HBRLogger.h"
#include "platform/foundation/JSONText.h"

using platform::Value;

namespace {

// Deep enough to exhaust the stack of anything that recurses once per level.
constexpr size_t kHostileDepth = 200000;

// `depth` arrays, one inside the other, built without recursion.
Value nested(size_t depth) {
  Value root = Value::array();
  Value* inner = &root;
  for (size_t i = 1; i < depth; ++i) {
    inner->push_back(Value::array());
    inner = &inner->back();
  }
  return root;
}

std::string nestedText(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

std::string recordText(const std::string& tag) { return R"([null,"Echo","record",[")" + tag + R"("]])"; }

// Throws from its constructor, or from `pluginInitialize`.
class ThrowingConstructorPlugin : public HBRPlugin {
 public:
  ThrowingConstructorPlugin() { throw std::runtime_error("cannot be made"); }
  std::string className() const override { return "ThrowingConstructorPlugin"; }
};
class ThrowingInitializePlugin : public HBRPlugin {
 public:
  std::string className() const override { return "ThrowingInitializePlugin"; }
  void pluginInitialize() override { throw std::runtime_error("cannot start"); }
};

}  // namespace

class HostileInputTest : public BridgeFixture {
 protected:
  std::string configXML() const override {
    return R"(<?xml version="1.0"?><widget><content src="index.html"/>
      <feature name="Echo"><param name="ios-package" value="EchoPlugin"/></feature>
      <feature name="Unmakeable"><param name="ios-package" value="ThrowingConstructorPlugin"/></feature>
      <feature name="Unstartable"><param name="ios-package" value="ThrowingInitializePlugin"/></feature>
      </widget>)";
  }
  std::shared_ptr<HBRCommandQueue> queue() { return vc->commandQueue(); }
  // The callback script evaluated for `callbackId`, or "".
  // The answer to `callbackId` as a lone answer's text: answers of one turn after the first
  // go out together, each as one array of the joined text.
  std::string callbackFor(const std::string& callbackId) {
    for (const auto& script : scripts()) {
      if (script.find("NativeCallback([\"" + callbackId + "\"") != std::string::npos) return script;
      size_t at = script.find("[\"" + callbackId + "\",");
      if (script.rfind("__harborNativeCallbacks([", 0) == 0 && at != std::string::npos)
        return "__harborNativeCallback(" + script.substr(at);
    }
    return "";
  }
};

TEST_F(HostileInputTest, OverDeepCommandsAreAnsweredWithAnErrorAndTheBatchGoesOn) {
  testing_support::LogCapture log;
  // In a batch: the deep command is answered, the next one still runs.
  queue()->enqueueCommandBatch(R"([["cbDeep","Echo","echo",[)" + nestedText(kHostileDepth) + "]]," +
                               recordText("after") + "]");
  queue()->executePending();  // a batch this large is decoded off the main thread
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return !echo()->order.empty(); }, 10));
  EXPECT_EQ(echo()->order, (std::vector<std::string>{"\"after\""}));
  EXPECT_NE(callbackFor("cbDeep").find("NativeCallback([\"cbDeep\",9,\"Invalid command: its arguments nest deeper"),
            std::string::npos)
      << callbackFor("cbDeep");

  // As a single message from the page, and as a malformed one.
  Value message = Value::array({"cbMessage", "Echo", "echo"});
  message.push_back(nested(kHostileDepth));
  engine->headless()->postScriptMessage("harbor", message);
  engine->headless()->postScriptMessage("harbor", nested(kHostileDepth));
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return !callbackFor("cbMessage").empty(); }, 5));
  EXPECT_NE(callbackFor("cbMessage").find(",9,"), std::string::npos);
  EXPECT_EQ(log.count("ERROR: Refusing a command nested deeper than 256 levels"), 3u);
  EXPECT_TRUE(log.contains("(callback id cbDeep)"));

  // The bound itself: 256 levels in all pass, one more does not.
  std::string justDeepEnough = nestedText(platform::kMaxNestingDepth - 2);
  queue()->enqueueCommandBatch(R"([["cbFits","Echo","echo",[)" + justDeepEnough + "]]]");
  queue()->enqueueCommandBatch(R"([["cbTooDeep","Echo","echo",[[)" + justDeepEnough + "]]]]");
  queue()->executePending();
  platform::MainLoop::runUntil([&] { return !callbackFor("cbTooDeep").empty(); }, 5);
  EXPECT_TRUE(callbackFor("cbFits").find(",1,") != std::string::npos &&
              callbackFor("cbTooDeep").find(",9,") != std::string::npos);
}

TEST_F(HostileInputTest, LoneSurrogatesBecomeReplacementCharactersInsteadOfLosingTheCommand) {
  // JSON.stringify writes a lone surrogate of a JavaScript string as an escape.
  queue()->enqueueCommandBatch(R"([["cb1","Echo","echo",["a\ud800b\udc00c\ud83d\ude00"]]])");
  queue()->executePending();
  ASSERT_FALSE(callbackFor("cb1").empty());
  EXPECT_NE(callbackFor("cb1").find("NativeCallback([\"cb1\",1,\"a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c\xF0\x9F\x98\x80\""),
            std::string::npos)
      << callbackFor("cb1");
}

TEST_F(HostileInputTest, APluginThatFailsWhileBeingMadeIsAnsweredAndNotRegistered) {
  HBRRegisterPluginClass<ThrowingConstructorPlugin>("ThrowingConstructorPlugin");
  HBRRegisterPluginClass<ThrowingInitializePlugin>("ThrowingInitializePlugin");
  testing_support::LogCapture log;
  queue()->enqueueCommandBatch(R"([["cb1","Unmakeable","go",[]],["cb2","Unstartable","go",[]],)" +
                               recordText("after") + "]");
  queue()->executePending();
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return !echo()->order.empty() && !callbackFor("cb2").empty(); }, 5));
  EXPECT_EQ(echo()->order, (std::vector<std::string>{"\"after\""}));
  EXPECT_NE(callbackFor("cb1").find("NativeCallback([\"cb1\",9,\"Exception in plugin creation: cannot be made\""),
            std::string::npos);
  EXPECT_NE(callbackFor("cb2").find("NativeCallback([\"cb2\",9,\"Exception in plugin creation: cannot start\""),
            std::string::npos);
  EXPECT_EQ(vc->pluginObjects().count("ThrowingInitializePlugin"), 0u);
  EXPECT_TRUE(log.contains("the plugin could not be created: cannot start"));
}

TEST(HostileValues, JSONChecksAndTheConsoleNeverRecurseOnDepth) {
  testing_support::LogCapture log;
  Value deep = nested(kHostileDepth);
  auto why = hbr_JSONUnrepresentable(deep);
  ASSERT_TRUE(why);
  EXPECT_NE(why->find("nested deeper than 256 levels"), std::string::npos);
  EXPECT_FALSE(hbr_JSONStringOfArray(deep));
  EXPECT_FALSE(hbr_JSONObject(nestedText(kHostileDepth)));
  EXPECT_TRUE(log.contains("JSON text nested deeper than 256 levels"));
  // What JSON cannot hold is still found below the bound.
  EXPECT_TRUE(hbr_JSONUnrepresentable(Value::array({Value::array({Value::object({{"x", NAN}})})})));
  EXPECT_EQ(hbr_JSONStringOfArray(nested(platform::kMaxNestingDepth)), nestedText(platform::kMaxNestingDepth));

  HBRLogger logger;
  Value arguments = Value::array({"WARN"});
  arguments.push_back(std::move(deep));  // an initializer list would copy it, recursively
  logger.performAction("logLevel", HBRInvokedUrlCommand(std::move(arguments), "cb", "Console", "logLevel"));
  EXPECT_TRUE(log.contains("WARN: (a value nested too deep to write)"));
}

#include <thread>

#include "BridgeFixture.h"
#include "host/HBRSettings.h"
#include "platform/foundation/JSONText.h"

using platform::Value;

class CommandDelegateTest : public BridgeFixture {
 protected:
  std::shared_ptr<HBRCommandDelegateImpl> delegate() {
    return std::static_pointer_cast<HBRCommandDelegateImpl>(vc->commandDelegate());
  }
  static std::shared_ptr<HBRPluginResult> ok(Value message) {
    return HBRPluginResult::resultWithStatus(HBRResultStatus::OK, std::move(message));
  }
};

TEST_F(CommandDelegateTest, CallbackIdRules) {
  testing_support::LogCapture log;
  auto d = delegate();
  for (const auto& [id, valid] : std::vector<std::pair<std::optional<std::string>, bool>>{
           {std::string(100, 'a'), true}, {std::string(101, 'a'), false}, {"Echo.cb-1_2", true},
           {"has space", false}, {"quote'", false}, {std::nullopt, false}})
    EXPECT_EQ(d->isValidCallbackId(id), valid) << id.value_or("none");

  d->sendPluginResult(ok("x"), "INVALID");
  EXPECT_TRUE(log.lines().empty());  // dropped silently
  d->sendPluginResult(ok("x"), "bad id');alert(1);//");
  EXPECT_TRUE(log.contains("Invalid callback id received by sendPluginResult"));
  platform::MainLoop::drain();
  EXPECT_TRUE(scripts().empty());
}

TEST_F(CommandDelegateTest, PluginsShareTheHostsSettingsDictionary) {
  setHarborSetting(echo()->commandDelegate()->settings(), "yes", "FromPlugin");
  EXPECT_EQ(vc->settings()["fromplugin"], "yes");
  setHarborSetting(vc->mutableSettings(), 1, "FromHost");
  EXPECT_EQ(echo()->commandDelegate()->settings()["fromhost"], 1);
}

TEST_F(CommandDelegateTest, CallbackTextCarriesStatusMessageAndKeepFlag) {
  auto kept = ok(Value{{"a", 1}});
  kept->setKeepCallbackAsBool(true);
  EXPECT_EQ(HBRCommandDelegateImpl::callbackMessage("id", kept.get()),
            "__harborNativeCallback([\"id\",1,{\"a\":1},1,0])");
  EXPECT_EQ(HBRCommandDelegateImpl::callbackMessage("id", nullptr),
            "__harborNativeCallback([\"id\",0,null,0,0])");
  // A message JSON cannot carry is reported as a JSON error, not as a silent success.
  auto bad = HBRPluginResult::resultWithStatusAsDouble(HBRResultStatus::OK, std::numeric_limits<double>::infinity());
  std::string text = HBRCommandDelegateImpl::callbackMessage("id", bad.get());
  EXPECT_EQ(text.rfind("__harborNativeCallback([\"id\",8,", 0), 0u) << text;
  EXPECT_EQ(text.find("null"), std::string::npos);
  auto bytes = ok(platform::bytesValue({1, 2}));
  EXPECT_NE(HBRCommandDelegateImpl::callbackMessage("id", bytes.get()).find(",8,"), std::string::npos);
}

// The engine evaluates an answer without compiling it only when the whole text is one name
// called with one strict JSON value: any other escape, raw control character or invalid UTF-8
// would send it back to the compiler or change the string the page gets.
TEST_F(CommandDelegateTest, CallbackTextIsTheGlobalCalledWithOneStrictJSONArray) {
  const std::string head = std::string(HBRCommandDelegateImpl::kNativeCallbackFunction) + "(";
  auto check = [&](const HBRPluginResult* result, const Value& expected) {
    std::string text = HBRCommandDelegateImpl::callbackMessage("a.b_c-9", result);
    ASSERT_EQ(text.rfind(head, 0), 0u) << text.substr(0, 80);
    ASSERT_EQ(text.back(), ')');
    std::string json = text.substr(head.size(), text.size() - head.size() - 1);
    auto parsed = platform::parseJSONText(json);  // strict: JSON escapes and valid UTF-8 only
    ASSERT_TRUE(parsed) << json.substr(0, 80);
    EXPECT_EQ(*parsed, expected) << json.substr(0, 80);
  };
  auto answer = [&](const Value& message, bool keep = false) {
    auto result = ok(message);
    result->setKeepCallbackAsBool(keep);
    check(result.get(), Value::array({"a.b_c-9", 1, message, keep ? 1 : 0, 0}));
  };
  for (std::string text : {std::string("nul\0in the middle", 17), std::string("line\xE2\x80\xA8para\xE2\x80\xA9"),
                           std::string("\"'\\\b\f\n\r\t\x01\x1f\x7f</script>"), std::string(),
                           std::string(200000, 'x') + "\xF0\x9F\x98\x80"})
    answer(text);
  answer(Value{{"nested", Value::array({1.5, -0.0, nullptr, true, "\xE2\x80\xA8"})}}, true);
  answer(Value::array());
  // Bytes UTF-8 cannot carry (a lone surrogate, a cut sequence) arrive as U+FFFD.
  auto broken = ok(std::string("a\xED\xA0\x80" "b\xF0\x9F"));
  check(broken.get(), Value::array({"a.b_c-9", 1, "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD" "b\xEF\xBF\xBD", 0, 0}));
  check(nullptr, Value::array({"a.b_c-9", 0, nullptr, 0, 0}));

  // A run of answers is the second global called with one strict JSON array of their arrays.
  auto kept = ok(std::string("\xE2\x80\xA8\"])"));
  kept->setKeepCallbackAsBool(true);
  std::string first = HBRCommandDelegateImpl::callbackMessage("a", kept.get());
  std::string second = HBRCommandDelegateImpl::callbackMessage("b", nullptr);
  std::string joined = HBRCommandDelegateImpl::joinedCallbackMessage({&first, &second});
  const std::string runHead = std::string(HBRCommandDelegateImpl::kNativeCallbacksFunction) + "(";
  ASSERT_EQ(joined.rfind(runHead, 0), 0u) << joined;
  ASSERT_EQ(joined.back(), ')');
  auto run = platform::parseJSONText(joined.substr(runHead.size(), joined.size() - runHead.size() - 1));
  ASSERT_TRUE(run) << joined;
  EXPECT_EQ(*run, Value::array({Value::array({"a", 1, "\xE2\x80\xA8\"])", 1, 0}), Value::array({"b", 0, nullptr, 0, 0})}));
  // Any other text cannot join a run.
  std::string other = "doSomething()";
  EXPECT_EQ(HBRCommandDelegateImpl::joinedCallbackMessage({&first, &other}), "");
}

TEST_F(CommandDelegateTest, ResultsDuringACommandAreEvaluatedAtOnceOthersInOrderLater) {
  // Inside a command of a queue run on the main thread: evaluated before the action returns.
  vc->commandQueue()->enqueueCommandBatch(
      Value::array({Value::array({"now", "Echo", "echo", Value::array({1})})}).dump());
  vc->commandQueue()->executePending();
  EXPECT_EQ(scripts().size(), 1u);

  // Outside a command, from the main thread and from another thread: posted, in call order.
  // Answers waiting for the same turn go out as one script; other texts go alone.
  delegate()->sendPluginResult(ok(2), "later1");
  std::thread([&] { delegate()->sendPluginResult(ok(3), "later2"); }).join();
  delegate()->evalJs("doSomething()");
  EXPECT_EQ(scripts().size(), 1u);
  ASSERT_TRUE(waitForScripts(3));
  size_t first = scripts()[1].find("[\"later1\"");
  ASSERT_NE(first, std::string::npos);
  EXPECT_GT(scripts()[1].find("[\"later2\""), first);
  EXPECT_EQ(scripts()[2],
            "try{harbor.require('harbor/exec').nativeEvalAndFetch(function(){doSomething()})}"
            "catch(e){console.log('exception nativeEvalAndFetch : '+e);};");

  // Not scheduled: evaluated right away on the main thread.
  delegate()->evalJs("now()", false);
  EXPECT_EQ(scripts().size(), 4u);
}

TEST_F(CommandDelegateTest, TheFirstAnswerOfATurnGoesAtOnceTheRestOfTheTurnTogetherInOrder) {
  // Commands that came together (a page that made many calls at once): the first answer is
  // evaluated before its action returns, the others of the same turn as one script after it.
  auto batch = [](std::initializer_list<const char*> ids) {
    Value commands = Value::array();
    for (const char* id : ids) commands.push_back(Value::array({id, "Echo", "echo", Value::array({id})}));
    return commands.dump();
  };
  vc->commandQueue()->enqueueCommandBatch(batch({"a", "b", "c"}));
  vc->commandQueue()->executePending();
  ASSERT_EQ(scripts().size(), 1u);
  EXPECT_EQ(scripts()[0].rfind("__harborNativeCallback([\"a\"", 0), 0u) << scripts()[0];
  ASSERT_TRUE(waitForScripts(2));
  size_t b = scripts()[1].find("[\"b\""), c = scripts()[1].find("[\"c\"");
  EXPECT_EQ(scripts()[1].rfind(HBRCommandDelegateImpl::kNativeCallbacksFunction, 0), 0u) << scripts()[1];
  EXPECT_TRUE(b != std::string::npos && c != std::string::npos && b < c) << scripts()[1];

  // A command that came on its own (a page's message) in a later turn is answered at once
  // too, and so is the first of a batch in the turn after. An answer that waits for the next
  // turn gets nothing once its page went away.
  EXPECT_TRUE(vc->commandQueue()->executeJSON(Value::array({"alone", "Echo", "echo", Value::array({1})})));
  ASSERT_EQ(scripts().size(), 3u);
  EXPECT_NE(scripts()[2].find("[\"alone\""), std::string::npos);
  platform::MainLoop::drain();
  // Not ahead of an answer sent before it that waits for its turn.
  delegate()->sendPluginResult(ok("waiting"), "waiting");
  EXPECT_TRUE(vc->commandQueue()->executeJSON(Value::array({"behind", "Echo", "echo", Value::array({1})})));
  ASSERT_TRUE(waitForScripts(4));
  EXPECT_EQ(scripts().size(), 4u);
  size_t waiting = scripts()[3].find("[\"waiting\""), behind = scripts()[3].find("[\"behind\"");
  EXPECT_TRUE(waiting != std::string::npos && behind != std::string::npos && waiting < behind) << scripts()[3];
  platform::MainLoop::drain();
  vc->commandQueue()->enqueueCommandBatch(batch({"d", "e"}));
  vc->commandQueue()->executePending();
  ASSERT_EQ(scripts().size(), 5u);
  EXPECT_NE(scripts()[4].find("[\"d\""), std::string::npos);
  engine->headless()->commitPage(engine->headless()->committedPage().url);
  platform::MainLoop::runFor(0.05);
  EXPECT_EQ(scripts().size(), 5u) << scripts().back();
}

TEST_F(CommandDelegateTest, AnswersSentTogetherRunTheirBatchesInOrder) {
  // Each answer's own evaluation hands back what it queued: one as a string, several as an
  // array of strings, a failing one nothing; the commands run in the answers' order.
  engine->headless()->setScriptResponder([&](const std::string& script) -> Value {
    auto batch = [](const char* tag) {
      return Value::array({Value::array({nullptr, "Echo", "record", Value::array({tag})})}).dump();
    };
    if (script.find("[\"a\"") != std::string::npos) return Value::array({batch("from a"), batch("from c")});
    if (script.find("[\"d\"") != std::string::npos) return batch("from d");
    return nullptr;
  });
  for (const char* id : {"a", "b", "c"}) delegate()->sendPluginResult(ok(1), std::string(id));
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return echo()->order.size() == 2; }, 5));
  EXPECT_EQ(scripts().size(), 1u) << "three answers of one turn, one script";
  EXPECT_EQ(echo()->order, (std::vector<std::string>{"\"from a\"", "\"from c\""}));

  // The joined text is the second global called with one strict JSON array of the answers'
  // arrays, in order: the engine parses it, and keeps no compiled code for it.
  const std::string joinedHead = std::string(HBRCommandDelegateImpl::kNativeCallbacksFunction) + "(";
  ASSERT_EQ(scripts()[0].rfind(joinedHead, 0), 0u) << scripts()[0];
  ASSERT_EQ(scripts()[0].back(), ')');
  auto joined = platform::parseJSONText(scripts()[0].substr(joinedHead.size(), scripts()[0].size() - joinedHead.size() - 1));
  ASSERT_TRUE(joined) << scripts()[0];
  // Each answer names the document it is meant for (the test engine's page is "headless").
  EXPECT_EQ(*joined, Value::parse(R"([["a",1,1,0,0,"headless"],["b",1,1,0,0,"headless"],["c",1,1,0,0,"headless"]])"));

  delegate()->sendPluginResult(ok(1), std::string("d"));
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return echo()->order.size() == 3; }, 5));
  EXPECT_EQ(scripts()[1].rfind("__harborNativeCallback([\"d\",1,1,0,0,\"headless\"])", 0), 0u)
      << "a lone answer goes as it is";
}

TEST_F(CommandDelegateTest, LargeAnswersKeepTheirPlaceAndAreNoSlowCommand) {
  std::string large(3 * HBRCommandDelegateImpl::kMaxJoinedBytes, 'x');
  // Built off the main thread, still between the answers sent before and after it.
  delegate()->sendPluginResult(ok("small"), "before");
  delegate()->sendPluginResult(ok(large), "large");
  delegate()->sendPluginResult(ok("small"), "after");
  std::string all;
  ASSERT_TRUE(platform::MainLoop::runUntil(
      [&] {
        all.clear();
        for (const auto& s : scripts()) all += s;
        return all.find("[\"after\"") != std::string::npos;
      },
      10));
  size_t before = all.find("[\"before\""), middle = all.find("[\"large\""), after = all.find("[\"after\"");
  EXPECT_TRUE(before < middle && middle < after) << before << " " << middle << " " << after;
  EXPECT_NE(all.find(large), std::string::npos);

  // Time spent turning an answer into text is not the plugin's: no slow-command report for
  // it, while the plugin's own busy time still is reported.
  testing_support::LogCapture log;
  auto run = [&](bool converting) {
    vc->commandQueue()->enqueueCommandBatch(
        Value::array({Value::array({nullptr, "Echo", "record", Value::array({"busy", 30, converting})})}).dump());
    vc->commandQueue()->executePending();
  };
  run(true);
  EXPECT_FALSE(log.contains("THREAD WARNING"));
  run(false);
  EXPECT_TRUE(log.contains("THREAD WARNING: ['Echo'] took '"));
}

TEST_F(CommandDelegateTest, ResourcePathsResolveInsideTheWebFolderAndTheStartPageKeepsItsQueryAndFragment) {
  std::string www = dir.file("package/www");
  for (const auto& [name, path] : std::vector<std::pair<const char*, std::optional<std::string>>>{
           {"index.html", www + "/index.html"}, {"/index.html", www + "/index.html"},
           {"sub/page.html", www + "/sub/page.html"}, {"missing.html", std::nullopt}})
    EXPECT_EQ(delegate()->pathForResource(name), path) << name;
  vc->setStartPage("index.html?mode=a#top");
  ASSERT_TRUE(vc->appUrl());
  EXPECT_EQ(vc->appUrl()->absoluteString(),
            platform::URL::fileURL(www + "/index.html").absoluteString() + "?mode=a#top");
  vc->setStartPage("https://example.com/start");
  EXPECT_EQ(vc->appUrl()->absoluteString(), "https://example.com/start");
}

#include <gtest/gtest.h>

#include <cstdlib>

#include "host/HBRConfigParser.h"
#include "host/HBRSettings.h"
#include "host/HBRTimer.h"
#include "host/HBRViewController.h"
#include "platform/foundation/XMLParser.h"
#include "support/ScopedLocale.h"
#include "support/TestSupport.h"

using platform::Value;

namespace {
HBRConfigParser parse(const std::string& xml) {
  HBRConfigParser delegate;
  platform::XMLParser parser(xml);
  parser.setDelegate(&delegate);
  parser.parse();
  return delegate;
}
}  // namespace

TEST(ConfigParser, ReadsPreferencesFeaturesAndStartupRules) {
  auto config = parse(R"(<widget>
    <param name="ios-package" value="Orphan"/>
    <preference name="ErrorURL" value="err.html"/>
    <preference name="errorurl" value="later.html"/>
    <preference name="Dropped" value="x"/><preference name="DROPPED"/>
    <preference value="no name"/>
    <feature name="Device"><param name="ios-package" value="HBRDevice"/>
      <param name="ONLOAD" value="true"/></feature>
    <feature name="Caps"><param name="ios-package" value="HBRCaps"/><param name="onload" value="TRUE"/></feature>
    <feature name="Attr"><param name="ios-package" value="HBRAttr" onload="True"/></feature>
    <feature name="Twice"><param name="ios-package" value="HBRTwice"/>
      <param name="onload" value="true"/><param name="x" onload="true"/></feature>
    <feature><param name="ios-package" value="Nameless"/></feature>
    <content src="first.html"/><content src="main.html"/>
  </widget>)");
  // A later preference of the same name in any case replaces the earlier; no value removes it.
  EXPECT_EQ(config.settings, (Value{{"errorurl", "later.html"}}));
  EXPECT_EQ(config.pluginsDict,
            (Value{{"device", "HBRDevice"}, {"caps", "HBRCaps"}, {"attr", "HBRAttr"}, {"twice", "HBRTwice"}}));
  // "true" as a param value is case-sensitive; the onload attribute is not.
  EXPECT_EQ(config.startupPluginNames, (std::vector<std::string>{"device", "attr", "twice", "twice"}));
  EXPECT_EQ(config.startPage, "main.html");
  EXPECT_EQ(harborSettingForKey(config.settings, "ErrorUrl"), Value("later.html"));
}

TEST(ConfigParser, KeepsWhatWasReadBeforeAnXMLError) {
  auto config = parse(R"(<widget><preference name="A" value="1"/>
    <feature name="F"><param name="ios-package" value="C"/></feature><broken <preference name="B" value="2"/>)");
  EXPECT_EQ(config.settings, (Value{{"a", "1"}}));
  EXPECT_EQ(config.pluginsDict, (Value{{"f", "C"}}));
}

TEST(Settings, BooleanAndFloatConversions) {
  Value settings = {{"yes", "yes"},    {"one", "1"},   {"falsy", "FaLsE"}, {"num", 1},  {"two", 2},
                    {"letters", "abc"}, {"lead", "12.5px"}, {"real", 0.25},    {"flag", true}};
  testing_support::LogCapture log;
  // Keys in any case; other words and numbers than true/false and 1/0 give the fallback.
  using Bool = std::tuple<const char*, bool, bool>;  // key, fallback, expected
  for (auto [key, fallback, expected] :
       {Bool{"YES", true, true}, Bool{"yes", false, false}, Bool{"One", false, true},
        Bool{"falsy", true, false}, Bool{"num", false, true}, Bool{"two", false, false},
        Bool{"flag", false, true}})
    EXPECT_EQ(harborBoolSettingForKey(settings, key, fallback), expected) << key;
  EXPECT_TRUE(log.lines().empty());
  EXPECT_TRUE(harborBoolSettingForKey(settings, "Missing", true));
  EXPECT_TRUE(log.contains("The preference key \"Missing\" is not defined and will default to \"TRUE\""));

  // Present but not a number reads as 0; absent as the fallback.
  using Float = std::pair<const char*, double>;
  for (auto [key, expected] :
       {Float{"letters", 0.0}, Float{"lead", 12.5}, Float{"real", 0.25}, Float{"absent", 7.0}})
    EXPECT_EQ(harborFloatSettingForKey(settings, key, 7), expected) << key;

  setHarborSetting(settings, "v", "MixedCase");
  EXPECT_EQ(settings["mixedcase"], "v");
}

TEST(Settings, FloatsReadTheSameInEveryLocaleAndNeverEndlessly) {
  Value settings = {{"lead", "12.5px"}, {"exp", " 2.5e2"},  {"inf", "inf"},    {"nan", "-nan"},
                    {"huge", "1e39"},   {"hugenum", 1e300}, {"hex", "0x10"}};
  {
    testing_support::CommaDecimalLocale german;
    if (german.ok()) {
      EXPECT_EQ(harborFloatSettingForKey(settings, "lead", 7), 12.5);
      EXPECT_EQ(harborFloatSettingForKey(settings, "exp", 7), 250.0);
    }
  }

  testing_support::LogCapture log;
  // Words are no numbers, so they read as 0; numbers beyond a float are refused.
  for (auto [key, expected] : std::vector<std::pair<const char*, double>>{
           {"inf", 0}, {"nan", 0}, {"hex", 0}, {"huge", 7}, {"hugenum", 7}})
    EXPECT_EQ(harborFloatSettingForKey(settings, key, 7), expected) << key;
  EXPECT_TRUE(log.contains("The preference \"huge\" is not a finite number; using 7."));

  // The launch view's fade ends whatever the setting says.
  auto vc = HBRViewController::create();
  for (const char* duration : {"inf", "1e39", "nan"}) {
    setHarborSetting(vc->mutableSettings(), duration, "FadeSplashScreenDuration");
    EXPECT_EQ(vc->launchFadeDuration(), 0.25) << duration;
  }
}

TEST(Timer, LogsOnceWithTheCallersCaseAndKeepsTheFirstStart) {
  testing_support::LogCapture log;
  HBRTimer::start("PluginStartup");
  double first = HBRTimer::sharedInstance().items().at("pluginstartup").started;
  HBRTimer::start("pluginstartup");
  EXPECT_TRUE(log.contains("Timer called 'pluginstartup' already exists."));
  EXPECT_EQ(HBRTimer::sharedInstance().items().at("pluginstartup").started, first);
  HBRTimer::stop("PLUGINSTARTUP");
  EXPECT_EQ(log.count("[HBRTimer][PluginStartup] "), 1u);
  HBRTimer::stop("never");
  EXPECT_TRUE(log.contains("Timer called 'never' does not exist."));
}

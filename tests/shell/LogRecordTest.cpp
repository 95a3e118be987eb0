#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "platform/foundation/JSONText.h"
#include "platform/ui/Device.h"
#include "shell/VLLog.h"
#include "shell/VLLogRecord.h"
#include "shell/VLLoggerEngine.h"
#include "shell/VLOtelUtils.h"
#include "shell/VLRoruvConsoleOutput.h"
#include "shell/VLRoruvFilter.h"
#include "support/TestSupport.h"

using platform::Value;

namespace {

// Every record test runs away from UTC, so a conversion through local time shows.
void awayFromUTC() {
  setenv("TZ", "Asia/Kolkata", 1);
  tzset();
}

std::int64_t millisecondsNow() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

VLLog makeLog(std::int64_t level, std::optional<std::string> stack = std::nullopt,
              Value attributes = nullptr, std::optional<std::string> source = std::nullopt) {
  return VLLog("the message", std::move(source), level, std::move(attributes), std::move(stack),
               std::nullopt, std::nullopt, "2024-05-01T10:20:30.123Z");
}

std::shared_ptr<VLRoruvFilter> filter(bool otlp) {
  auto made = std::make_shared<VLRoruvFilter>();
  made->configure(
      {{VLRoruvFilter::kDeviceInfoKey, VLDeviceInfo::initWithCommandDelegate(nullptr, nullptr)},
       {VLRoruvFilter::kPlatformVersionKey, otlp}});
  return made;
}

// The attribute list entry of `key`, null when absent.
Value attribute(const Value& record, const std::string& key) {
  for (const auto& entry : record["attributes"])
    if (entry["key"] == key) return entry["value"];
  return nullptr;
}

}  // namespace

TEST(VLLogDates, ConvertInUTCWhateverTheProcessTimeZone) {
  awayFromUTC();
  auto date = dateFromISO8061String("2024-05-01T10:20:30.123Z");
  ASSERT_TRUE(date);
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(date->time_since_epoch()).count(),
            1714558830123);
  EXPECT_EQ(ISO8061StringFromDate(*date), "2024-05-01T10:20:30.123Z");
  EXPECT_EQ(ISO8061StringFromDate(*dateFromISO8061String("1969-12-31T23:59:59.999Z")),
            "1969-12-31T23:59:59.999Z");
  EXPECT_TRUE(dateFromISO8061String("2024-02-29T00:00:00.000Z"));
  for (const char* bad :
       {"2023-02-29T00:00:00.000Z", "2024-05-01T10:20:30Z", "2024-05-01 10:20:30.123Z",
        "2024-13-01T10:20:30.123Z", "2024-05-01T24:00:00.000Z", "2024-05-01T10:20:30.123",
        "+024-05-01T10:20:30.123Z", ""})
    EXPECT_FALSE(dateFromISO8061String(bad)) << bad;
}

TEST(VLLog, NanosecondTimesComeFromTheInstantOrFromWhenTheLogWasMade) {
  awayFromUTC();
  VLLog dated = makeLog(VLLogLevelInfo);
  EXPECT_EQ(dated.timeUnixNano(), 1714558830123LL * 1000000);
  EXPECT_EQ(dated.observedTimeUnixNano(), dated.timeUnixNano());
  EXPECT_TRUE(dated.attributes().is_object());

  std::int64_t before = millisecondsNow();
  VLLog undated("m", std::nullopt, VLLogLevelInfo, nullptr, std::nullopt, std::nullopt,
                std::nullopt, std::nullopt);
  VLLog unparsable("m", std::nullopt, VLLogLevelInfo, nullptr, std::nullopt, std::nullopt,
                   std::nullopt, "yesterday at noon");
  std::int64_t after = millisecondsNow();
  EXPECT_EQ(undated.timeUnixNano(),
            std::chrono::duration_cast<std::chrono::nanoseconds>(
                dateFromISO8061String(undated.instant())->time_since_epoch())
                .count());
  // A text that names no moment does not date the log to 1970.
  EXPECT_EQ(unparsable.instant(), "yesterday at noon");
  EXPECT_GE(unparsable.timeUnixNano(), before * 1000000);
  EXPECT_LE(unparsable.timeUnixNano(), after * 1000000);
}

TEST(VLRoruvFilter, LegacyRecordsFillGapsAndLetTheDeviceWinOnErrors) {
  awayFromUTC();
  auto legacy = filter(false);
  Value debug = legacy->getUserInfoForRennicFormat(makeLog(VLLogLevelDebug));
  EXPECT_EQ(debug, Value::parse(R"({"instant": "2024-05-01T10:20:30.123Z", "logType": "general",
      "message": "the message", "moduleName": "", "stack": "", "extra": {}})"));

  Value error = legacy->getUserInfoForRennicFormat(makeLog(
      VLLogLevelError, "frame", Value{{"DeviceModel", "caller's"}, {"screen", "home"}}, "VLCache"));
  EXPECT_EQ(error["logType"], "error");
  EXPECT_EQ(error["moduleName"], "VLCache");
  EXPECT_EQ(error["stack"], "frame");
  EXPECT_EQ(error["extra"]["DeviceModel"], platform::ui::Device::model());
  EXPECT_EQ(error["extra"]["screen"], "home");
  EXPECT_EQ(error["extra"]["Harbor"], "6.2.0");
  // Warnings carry the caller's extra alone.
  Value warning =
      legacy->getUserInfoForRennicFormat(makeLog(VLLogLevelWarning, std::nullopt, Value{{"k", 1}}));
  EXPECT_EQ(warning["extra"], (Value{{"k", 1}}));
  EXPECT_EQ(VLLog::legacyLogTypeFromLogLevel(VLLogLevelFatal), std::string("error"));
}

TEST(VLRoruvFilter, OtlpRecordsCarrySeverityVisibilityAndExceptionsOnlyForErrors) {
  awayFromUTC();
  auto otlp = filter(true);
  // No trace or span of its own, and no exception below an error.
  Value warning = otlp->getUserInfoForOtlpFormat(makeLog(VLLogLevelWarning, "frame"));
  Value expected = Value::parse(R"({"timeUnixNano": 1714558830123000000,
      "observedTimeUnixNano": 1714558830123000000, "severityNumber": 13, "severityText": "Warning",
      "body": {"stringValue": "the message"}, "flags": 1, "droppedAttributesCount": 0})");
  expected["attributes"] = warning["attributes"];
  EXPECT_EQ(warning, expected);
  EXPECT_TRUE(attribute(warning, "exception.stacktrace").is_null());
  EXPECT_EQ(attribute(warning, "veltro.otel.access.visibility"), (Value{{"intValue", 3}}));

  Value fatal = otlp->getUserInfoForOtlpFormat(makeLog(VLLogLevelFatal, "frame"));
  EXPECT_EQ(fatal["severityText"], "Critical");
  EXPECT_EQ(attribute(fatal, "exception.message"), (Value{{"stringValue", "the message"}}));
  EXPECT_EQ(attribute(fatal, "exception.stacktrace"), (Value{{"stringValue", "frame"}}));
  // An empty stack is a stack; no stack is none.
  EXPECT_EQ(attribute(otlp->getUserInfoForOtlpFormat(makeLog(VLLogLevelError, "")),
                      "exception.stacktrace"),
            (Value{{"stringValue", ""}}));
  EXPECT_TRUE(
      attribute(otlp->getUserInfoForOtlpFormat(makeLog(VLLogLevelError)), "exception.message")
          .is_null());

  VLLog traced("m", "src", VLLogLevelInfo, Value{{"veltro.otel.access.visibility", 1}},
               std::nullopt, "5B8EFFF798038103D269B633813FC60C", "eee19b7ec3c1b174",
               std::nullopt);
  Value info = otlp->getUserInfoForOtlpFormat(traced);
  EXPECT_EQ(info["traceId"], "5b8efff798038103d269b633813fc60c");
  EXPECT_EQ(info["spanId"], "eee19b7ec3c1b174");
  EXPECT_EQ(attribute(info, "veltro.otel.access.visibility"), (Value{{"intValue", 1}}));

  const std::int64_t severities[] = {1, 2, 5, 9, 13, 17, 21};
  for (std::int64_t level = 0; level <= 6; ++level)
    EXPECT_EQ(VLOtelUtils::severityFromLogLevel(level), severities[level]);
  EXPECT_EQ(VLOtelUtils::severityFromLogLevel(99), 1);
  EXPECT_EQ(std::string(VLOtelUtils::severityTextFromLogLevel(1)), "Trace");
  EXPECT_EQ(std::string(VLOtelUtils::severityTextFromLogLevel(-1)), "Trace");
}

TEST(VLOtelUtils, AttributesKeepBooleansNumbersAndWideIntegersApart) {
  Value list = VLOtelUtils::otlpAttributesFromDictionary(Value{
      {"whole", 7.0}, {"half", 7.5}, {"yes", true}, {"one", 1}, {"wide", 1099511627776LL},
      {"negative", -5000000000.0}, {"huge", 1e300}, {"text", "t"}, {"list", Value::array({1})},
      {"nested", Value::object()}, {"none", nullptr}});
  // In key order; the array, dictionary and null are left out.
  auto entry = [](const char* key, const char* kind, Value value) {
    return Value{{"key", key}, {"value", {{kind, value}}}};
  };
  EXPECT_EQ(list, Value::array({entry("half", "doubleValue", 7.5),
                                entry("huge", "doubleValue", 1e300),
                                entry("negative", "intValue", -5000000000LL),
                                entry("one", "intValue", 1), entry("text", "stringValue", "t"),
                                entry("whole", "intValue", 7),
                                entry("wide", "intValue", 1099511627776LL),
                                entry("yes", "boolValue", true)}));

  EXPECT_EQ(mergeDictionary(Value{{"a", 1}, {"b", 1}}, Value{{"b", 2}}),
            (Value{{"a", 1}, {"b", 2}}));
  EXPECT_EQ(mergeDictionary(nullptr, Value{{"b", 2}}), (Value{{"b", 2}}));
  EXPECT_EQ(mergeDictionary(Value{{"a", 1}}, nullptr), (Value{{"a", 1}}));
}

TEST(VLRoruvFilter, InvalidUTF8InAnyFieldIsReplacedSoTheRecordCanBeWritten) {
  const std::string bad = "x\xC3\x28y\xFF";
  const std::string replaced = "x\xEF\xBF\xBD(y\xEF\xBF\xBD";
  VLLog log(bad, bad, VLLogLevelError, Value{{bad, bad}, {"list", Value::array({bad})}}, bad, bad,
            bad, bad);
  for (bool otlp : {false, true}) {
    Value record = otlp ? filter(true)->getUserInfoForOtlpFormat(log)
                        : filter(false)->getUserInfoForRennicFormat(log);
    std::string text;
    ASSERT_NO_THROW(text = record.dump()) << "otlp " << otlp;  // the strict writer accepts it
    EXPECT_EQ(text.find('\xFF'), std::string::npos);
  }
  Value legacy = filter(false)->getUserInfoForRennicFormat(log);
  for (const char* key : {"message", "moduleName", "stack", "instant"})
    EXPECT_EQ(legacy[key], replaced) << key;
  EXPECT_EQ(legacy["extra"][replaced], replaced);
  Value otlp = filter(true)->getUserInfoForOtlpFormat(log);
  EXPECT_EQ(otlp["body"]["stringValue"], replaced);
  EXPECT_EQ(attribute(otlp, replaced), (Value{{"stringValue", replaced}}));
}

TEST(VLLogRecord, TakesAPageRecordOnlyWhenEveryKeyHasItsType) {
  std::string error;
  auto record = VLLogRecord::initWithDictionary(
      Value::parse(R"({"instant": "2024-05-01T10:20:30.123Z", "message": "m", "source": "s",
          "stack": "st", "attributes": {"a": 1}, "traceId": "t", "spanId": null})"),
      error);
  ASSERT_TRUE(record) << error;
  EXPECT_EQ(record->message(), "m");
  EXPECT_EQ(record->attributes(), (Value{{"a", 1}}));
  EXPECT_FALSE(record->spanId());
  EXPECT_TRUE(VLLogRecord::initWithDictionary(nullptr, error));  // no dictionary: an empty record

  EXPECT_FALSE(VLLogRecord::initWithDictionary(Value{{"instant", 1714558830123}}, error));
  EXPECT_EQ(error, "The log record's \"instant\" must be a string.");
  EXPECT_FALSE(VLLogRecord::initWithDictionary(Value{{"attributes", Value::array()}}, error));
  EXPECT_EQ(error, "The log record's \"attributes\" must be an object.");
  EXPECT_FALSE(VLLogRecord::initWithDictionary(Value("text"), error));
}

TEST(VLRoruvConsoleOutput, PrintsMessageAndStackOfEitherFormatAndSurvivesOddShapes) {
  testing_support::LogCapture log;
  VLRoruvConsoleOutput console;
  auto emit = [&](Value record) {
    log.clear();
    console.emitLog(
        std::make_shared<roruv::RRVLog>("t", std::chrono::system_clock::now(), std::move(record)));
    return log.lines();
  };
  using Lines = std::vector<std::string>;
  EXPECT_EQ(emit(Value{{"body", {{"stringValue", "A"}}},
                       {"attributes", Value::array({{{"key", "exception.stacktrace"},
                                                     {"value", {{"stringValue", "S"}}}}})}}),
            (Lines{"A : S"}));
  EXPECT_EQ(emit(Value{{"message", "M"}, {"stack", ""}}), (Lines{"M"}));
  EXPECT_EQ(emit(Value{{"message", "M"}, {"stack", "S"}}), (Lines{"M : S"}));
  EXPECT_EQ(emit(Value::object()), (Lines{"(null)"}));
  // A body that is not a dictionary: reported, then the legacy key.
  EXPECT_EQ(emit(Value{{"body", "B"}, {"message", "M"}}),
            (Lines{"Could not process log to console: unexpected format", "M"}));
  // Not a dictionary at all: reported for both lookups, and each fallback fails as well.
  EXPECT_EQ(emit(Value::array()).back(), "(null)");
}

TEST(VLLog, TimesOutsideWhatSignedNanosecondsHoldDateTheLogWhenItWasMade) {
  // The last millisecond a signed 64-bit nanosecond count holds, and the first it does not.
  EXPECT_EQ(VLUnixNanoFromMilliseconds(9223372036854), 9223372036854000000LL);
  EXPECT_FALSE(VLUnixNanoFromMilliseconds(9223372036855));
  EXPECT_FALSE(VLUnixNanoFromMilliseconds(INT64_MAX));
  EXPECT_EQ(VLUnixNanoFromMilliseconds(0), 0);
  EXPECT_FALSE(VLUnixNanoFromMilliseconds(-1));
  EXPECT_FALSE(VLUnixNanoFromMilliseconds(INT64_MIN));

  auto made = [](const char* instant) {
    return VLLog("m", std::nullopt, VLLogLevelInfo, nullptr, std::nullopt, std::nullopt,
                 std::nullopt, instant)
        .timeUnixNano();
  };
  EXPECT_EQ(made("2262-04-11T23:47:16.854Z"), 9223372036854000000LL);
  EXPECT_EQ(made("1970-01-01T00:00:00.000Z"), 0);
  const std::int64_t before = millisecondsNow() * 1000000;
  for (const char* outside : {"2262-04-11T23:47:16.855Z", "9999-12-31T23:59:59.999Z",
                              "1969-12-31T23:59:59.999Z", "0000-01-01T00:00:00.000Z"}) {
    const std::int64_t time = made(outside);
    EXPECT_GE(time, before) << outside;
    EXPECT_LE(time, millisecondsNow() * 1000000) << outside;
  }
  // Dates themselves hold ±292 years; beyond that there is no date at all, not a wrong one.
  EXPECT_TRUE(dateFromISO8061String("2262-04-11T23:47:16.854Z"));
  EXPECT_FALSE(dateFromISO8061String("2262-04-11T23:47:16.855Z"));
  EXPECT_FALSE(dateFromISO8061String("9999-12-31T23:59:59.999Z"));
  EXPECT_FALSE(dateFromISO8061String("0000-01-01T00:00:00.000Z"));
  EXPECT_EQ(ISO8061StringFromDate(*dateFromISO8061String("1677-09-21T00:12:43.146Z")),
            "1677-09-21T00:12:43.146Z");
}

TEST(VLLog, WhatACallerHandsInIsBoundedAndShapedAsTheRecordsExpect) {
  const std::string huge(4 << 20, 'x');
  Value attributes = {{"", "no key"},         {std::string(300, 'k'), "long key"},
                      {"list", Value::array()}, {"nested", Value::object()},
                      {"none", nullptr},        {"a-text", huge}};
  for (int i = 0; i < 70; ++i) attributes["n" + std::to_string(100 + i)] = i;
  VLLog log(huge, huge, VLLogLevelError, attributes, huge, std::string(32, '0'), "xyz", huge);
  for (const std::string* field : {&log.message(), &*log.stack(), &*log.source()}) {
    EXPECT_LE(field->size(), VLLog::kMostStackBytes);
    EXPECT_NE(field->find(" [truncated: 4194304 bytes in all]"), std::string::npos);
  }
  EXPECT_EQ(log.message().size(), VLLog::kMostMessageBytes);
  EXPECT_FALSE(log.traceId());
  EXPECT_FALSE(log.spanId());
  // 5 unusable, then of 71 usable only the first 64 are kept (in key order).
  EXPECT_EQ(log.attributes().size(), VLLog::kMostAttributes);
  EXPECT_EQ(log.droppedAttributesCount(), 5 + 71 - 64);
  EXPECT_LE(log.attributes()["a-text"].get<std::string>().size(), VLLog::kMostAttributeValueBytes);
  // An unparsable instant the size of a page is not kept whole either.
  EXPECT_LE(log.instant().size(), VLLog::kMostSourceBytes);

  // A cut never splits a character: "é" is two bytes.
  std::string accents;
  for (int i = 0; i < 100; ++i) accents += "\xC3\xA9";
  const std::string cut = VLTruncatedText(accents, 101);
  EXPECT_LE(cut.size(), 101u);
  EXPECT_TRUE(platform::isValidUTF8(cut));
  EXPECT_EQ(VLTruncatedText("short", 10), "short");

  // Records: names the record's reader knows keep their kind, the rest are counted.
  Value record = filter(true)->getUserInfoForOtlpFormat(
      VLLog("boom", std::nullopt, VLLogLevelError,
            Value{{"exception.message", 42}, {"exception.stacktrace", true},
                  {"veltro.otel.access.visibility", 2.0}, {"", "x"}},
            "frame", std::nullopt, std::nullopt, std::nullopt));
  EXPECT_EQ(attribute(record, "exception.message"), (Value{{"stringValue", "boom"}}));
  EXPECT_EQ(attribute(record, "exception.stacktrace"), (Value{{"stringValue", "frame"}}));
  EXPECT_EQ(attribute(record, "veltro.otel.access.visibility"), (Value{{"intValue", 2}}));
  EXPECT_EQ(record["droppedAttributesCount"], 3);

  // The console prints one bounded line for a page-sized record.
  testing_support::LogCapture console;
  VLRoruvConsoleOutput().emitLog(std::make_shared<roruv::RRVLog>(
      "t", std::chrono::system_clock::now(), Value{{"message", huge}, {"stack", huge}}));
  ASSERT_EQ(console.lines().size(), 1u);
  EXPECT_EQ(console.lines()[0].size(), VLRoruvConsoleOutput::kMostLineBytes);
  EXPECT_NE(console.lines()[0].find("[truncated: 8388611 bytes in all]"), std::string::npos);
}

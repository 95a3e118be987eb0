#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <thread>
#include <utility>

#include "RemoteOutputFixtures.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/net/URLError.h"
#include "shell/VLLog.h"
#include "shell/VLLogRequests.h"
#include "shell/VLOTLPTagIdManager.h"
#include "shell/VLRoruvOtlpOutput.h"
#include "support/TestSupport.h"

using platform::Value;
using shell_test::settle;

namespace {

// The platform server's client settings and OTLP endpoints. Each host name gets its own
// tag id, so a test can tell whose id was sent.
struct OtlpServer {
  std::mutex mutex;
  std::vector<std::pair<std::string, std::string>> posts;  // (tag-id, api-key)
  std::atomic<int> settingsStatus{200};
  std::atomic<int> logStatus{200};
  std::atomic<bool> releaseSettings{true};
  std::string settingsBody;  // empty: {"clientSettings": {"LoggingTagID": "id-<n>@<host>"}}
  std::atomic<int> fetches{0};
  testing_support::HttpsTestServer server;

  OtlpServer() {
    shell_test::openSharedCookieStore();
    server.on("GET", "/app/moduleservices/clientsettingsinfo",
              [this](const httplib::Request& request, httplib::Response& response) {
                testing_support::waitUntil([&] { return releaseSettings.load(); }, 10);
                int n = ++fetches;
                response.status = settingsStatus;
                std::lock_guard lock(mutex);
                response.set_content(
                    settingsBody.empty()
                        ? Value{{"clientSettings",
                                 {{"LoggingTagID", "id-" + std::to_string(n) + "@" +
                                                       request.get_header_value("Host")}}}}
                              .dump()
                        : settingsBody,
                    "application/json");
              });
    server.on("POST", "/app/v2/logs",
              [this](const httplib::Request& request, httplib::Response& response) {
                std::lock_guard lock(mutex);
                posts.emplace_back(request.get_header_value("tag-id"),
                                   request.get_header_value("api-key"));
                response.status = logStatus;
              });
  }
  std::string host() const { return "127.0.0.1:" + std::to_string(server.port()); }
  void answerSettingsWith(std::string body) {
    std::lock_guard lock(mutex);
    settingsBody = std::move(body);
  }
  std::vector<std::pair<std::string, std::string>> sent() {
    std::lock_guard lock(mutex);
    return posts;
  }
};

struct Answer {
  std::optional<std::string> tagId;
  bool fresh = false;
  std::optional<platform::Error> error;
};

// Asks for the tag id; `onSuccess` runs first in the success handler.
std::future<Answer> getTagId(VLOTLPTagIdManager& manager, std::function<void()> onSuccess = {}) {
  auto promise = std::make_shared<std::promise<Answer>>();
  manager.getTagIdWithSuccessHandler(
      [promise, onSuccess](const std::string& id, bool fresh) {
        if (onSuccess) onSuccess();
        promise->set_value({id, fresh, {}});
      },
      [promise](const platform::Error& error) { promise->set_value({{}, false, error}); });
  return promise->get_future();
}

Answer wait(std::future<Answer> answer) {
  EXPECT_EQ(answer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  return answer.get();
}

std::shared_ptr<VLRoruvOtlpOutput> otlpOutput(const std::string& host,
                                             std::shared_ptr<VLTagIdManager> manager) {
  auto info = std::make_shared<VLApplicationInfo>(Value{{"nativeshellversion", "7.3"}});
  auto output = std::make_shared<VLRoruvOtlpOutput>();
  output->setLogStore(roruv::RRVLogStore::storeAtPath(""));
  output->configure({{"kHostname", host},
                     {"kApplicationUrl", std::string("app")},
                     {"kTagIdManager", manager},
                     {"kDeviceInfo", VLDeviceInfo::initWithCommandDelegate(nullptr, info)}});
  return output;
}

bool write(VLRoruvOtlpOutput& output) {
  std::promise<bool> done;
  output.writeLogs(Value{{"resourceLogs", Value::array()}}, VLRoruvOtlpOutput::kAttemptLimit,
                   [&](bool success) { done.set_value(success); });
  auto result = done.get_future();
  EXPECT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  return result.get();
}

}  // namespace

TEST(VLOTLPTagIdManager, WaitersShareOneFetchAndACachedIdCostsNoTraffic) {
  OtlpServer server;
  server.releaseSettings = false;
  auto manager = VLOTLPTagIdManager::managerWithHostname(server.host(), "app");
  std::vector<std::future<Answer>> answers;
  std::vector<int> order;
  std::mutex orderMutex;
  for (int i = 0; i < 3; ++i) {
    answers.push_back(getTagId(*manager, [i, &order, &orderMutex] {
      std::lock_guard lock(orderMutex);
      order.push_back(i);
    }));
  }
  ASSERT_TRUE(testing_support::waitUntil([&] { return server.server.requestCount() == 1; }, 10));
  server.releaseSettings = true;
  for (auto& answer : answers) {
    Answer got = wait(std::move(answer));
    EXPECT_EQ(got.tagId, "id-1@" + server.host());
    EXPECT_TRUE(got.fresh);
  }
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(server.fetches, 1);
  EXPECT_EQ(server.server.lastRequest("/app/moduleservices/clientsettingsinfo")->header("Accept"),
            "application/json");

  // Kept across launches: a new manager answers from the defaults without a request.
  platform::UserDefaults::resetForTesting();
  auto again = VLOTLPTagIdManager::managerWithHostname(server.host(), "app");
  Answer got = wait(getTagId(*again));
  EXPECT_EQ(got.tagId, "id-1@" + server.host());
  EXPECT_FALSE(got.fresh);
  EXPECT_EQ(server.server.requestCount(), 1u);

  // After invalidation the next request fetches again.
  std::promise<void> forgotten;
  again->invalidateTagIdWithCompletionHandler([&] { forgotten.set_value(); });
  forgotten.get_future().wait();
  EXPECT_EQ(wait(getTagId(*again)).tagId, "id-2@" + server.host());
}

TEST(VLOTLPTagIdManager, AFailureFailsEveryWaiterAndBadAnswersGetTheirCodes) {
  OtlpServer server;
  server.settingsStatus = 500;
  server.releaseSettings = false;
  auto manager = VLOTLPTagIdManager::managerWithHostname(server.host(), "app");
  auto first = getTagId(*manager);
  auto second = getTagId(*manager);
  server.releaseSettings = true;
  for (auto* answer : {&first, &second}) {
    Answer got = wait(std::move(*answer));
    ASSERT_TRUE(got.error);
    EXPECT_EQ(got.error->domain, VLOTLPTagIdManager::kErrorDomain);
    EXPECT_EQ(got.error->code, -1);
    EXPECT_EQ(got.error->localizedDescription(), "Request failed with error code 500");
  }
  EXPECT_EQ(server.fetches, 1);

  server.settingsStatus = 200;
  for (const char* body : {R"({"clientSettings": {"LoggingTagID": ""}})",
                           R"({"clientSettings": {"LoggingTagID": 42}})",
                           R"({"clientSettings": "LoggingTagID"})", R"([1, 2])"}) {
    server.answerSettingsWith(body);
    Answer got = wait(getTagId(*manager));
    ASSERT_TRUE(got.error) << body;
    EXPECT_EQ(got.error->code, -999) << body;
    EXPECT_EQ(got.error->localizedDescription(), "An unexpected error has occurred");
  }
  server.answerSettingsWith("{not json");
  Answer got = wait(getTagId(*manager));
  ASSERT_TRUE(got.error);
  EXPECT_EQ(got.error->domain, platform::kCocoaErrorDomain);
}

TEST(VLOTLPTagIdManager, EachLogServerKeepsItsOwnId) {
  OtlpServer server;
  const std::string other = "localhost:" + std::to_string(server.server.port());
  auto mine = VLOTLPTagIdManager::managerWithHostname(server.host(), "app");
  auto theirs = VLOTLPTagIdManager::managerWithHostname(other, "app");
  EXPECT_EQ(wait(getTagId(*mine)).tagId, "id-1@" + server.host());
  Answer got = wait(getTagId(*theirs));
  EXPECT_EQ(got.tagId, "id-2@" + other);
  EXPECT_TRUE(got.fresh);
  // A plain id left by an earlier version belongs to no known server and is not sent.
  platform::UserDefaults::standard().set(VLOTLPTagIdManager::kDefaultsKey, "legacy");
  EXPECT_EQ(wait(getTagId(*mine)).tagId, "id-3@" + server.host());
}

TEST(VLRoruvOtlpOutput, ARefusedCachedIdIsFetchedAgainOnceAndAFreshOneIsNot) {
  OtlpServer server;
  auto manager = VLOTLPTagIdManager::managerWithHostname(server.host(), "app");
  auto output = otlpOutput(server.host(), manager);

  EXPECT_TRUE(write(*output));  // fetches id-1
  server.logStatus = 403;
  EXPECT_FALSE(write(*output));  // cached id-1 refused, id-2 fetched and refused too
  const std::string one = "id-1@" + server.host(), two = "id-2@" + server.host();
  EXPECT_EQ(server.sent(),
            (std::vector<std::pair<std::string, std::string>>{{one, one}, {one, one}, {two, two}}));

  // The fresh id-3 is refused: no second POST.
  EXPECT_FALSE(write(*output));
  EXPECT_EQ(server.sent().size(), 4u);
  EXPECT_EQ(server.fetches, 3);

  // 401 is refused like 403; 500 keeps the cached id.
  server.logStatus = 200;
  EXPECT_TRUE(write(*output));  // fetches id-4
  server.logStatus = 500;
  EXPECT_FALSE(write(*output));
  EXPECT_EQ(server.fetches, 4);
  EXPECT_EQ(server.sent().back().first, "id-4@" + server.host());
  server.logStatus = 401;
  EXPECT_FALSE(write(*output));
  EXPECT_EQ(server.fetches, 5);
  EXPECT_EQ(server.sent().size(), 8u);
}

TEST(VLRoruvOtlpOutput, SendsWhatAnOtlpCollectorAccepts) {
  OtlpServer server;
  testing_support::LogCapture log;
  auto info = std::make_shared<VLApplicationInfo>(Value{{"nativeshellversion", "7.3"}});
  auto device = VLDeviceInfo::initWithCommandDelegate(nullptr, info);
  auto configuration = *VLRoruvLogger::defaultConfiguration(server.host(), "app", "A", "E", "T",
                                                            "Agent/1", info, device);
  configuration.logStore = roruv::RRVLogStore::storeAtPath("");
  auto logger = roruv::RRVLogger::initWithConfiguration(std::move(configuration));
  VLRoruvLogger engine(server.host(), "app", "A", "E", "T", "Agent/1", info, device, logger);
  auto output = shell_test::outputOf<VLRoruvOtlpOutput>(*logger);
  ASSERT_TRUE(output);
  auto scheduler = std::make_shared<shell_test::ManualScheduler>();
  output->setScheduler(scheduler);

  engine.processLog("2024-05-01T10:20:30.123Z", "hello", "Test", 3,
                    Value{{"count", 7}, {"ok", true}}, std::nullopt,
                    "5b8efff798038103d269b633813fc60c", std::nullopt);
  logger->waitUntilIdle(10);
  ASSERT_TRUE(scheduler->fire());
  ASSERT_TRUE(settle([&] { return server.sent().size() == 1; }));
  auto request = *server.server.lastRequest("/app/v2/logs");
  EXPECT_EQ(request.header("Content-Type"), "application/json");
  EXPECT_EQ(request.header("tag-id"), request.header("api-key"));

  Value body = Value::parse(request.body);
  ASSERT_EQ(body.at("resourceLogs").size(), 1u);
  const Value& resourceLogs = body["resourceLogs"][0];
  EXPECT_EQ(resourceLogs.at("resource").at("droppedAttributesCount"), 0);
  std::map<std::string, Value> attributes;
  for (const auto& attribute : resourceLogs["resource"]["attributes"])
    attributes[attribute.at("key")] = attribute.at("value");
  EXPECT_EQ(attributes.size(), 12u);
  // No package versions here: the rule for a missing value, not a missing attribute.
  const Value expected = Value::parse(R"json({"service.name": {"stringValue": "NativeShell"},
      "veltro.otel.access.type": {"intValue": "3"}, "http.user_agent": {"stringValue": "Agent/1"},
      "veltro.client.native.version": {"stringValue": "7.3"}, "veltro.tenant.key": {"stringValue": "T"},
      "service.version": {"stringValue": "unknown (unknown)"}})json");
  for (const auto& [key, value] : expected.items()) EXPECT_EQ(attributes[key], value) << key;

  ASSERT_EQ(resourceLogs.at("scopeLogs").size(), 1u);
  const Value& scopeLogs = resourceLogs["scopeLogs"][0];
  EXPECT_EQ(scopeLogs.at("scope"), (Value{{"name", "harbor-veltro-logger"}, {"version", "12.9.0"}}));
  ASSERT_EQ(scopeLogs.at("logRecords").size(), 1u);
  // 64-bit integers go as strings, as the collector's JSON mapping asks.
  EXPECT_EQ(scopeLogs["logRecords"][0], Value::parse(R"({"timeUnixNano": "1714558830123000000",
      "observedTimeUnixNano": "1714558830123000000", "severityNumber": 9,
      "severityText": "Information", "body": {"stringValue": "hello"}, "traceId": "5b8efff798038103d269b633813fc60c",
      "flags": 1, "droppedAttributesCount": 0, "attributes": [
        {"key": "count", "value": {"intValue": "7"}}, {"key": "ok", "value": {"boolValue": true}},
        {"key": "veltro.otel.access.visibility", "value": {"intValue": "3"}}]})"));
  EXPECT_TRUE(testing_support::waitUntil([&] { return log.contains("Logs sent with success"); }, 10));
}

TEST(VLRoruvOtlpOutput, StoredRecordsOfEarlierVersionsAreBroughtUpToDate) {
  Value stored = Value::array({Value{{"name", "old"}, {"timeUnixNano", 1714558830123000000LL},
                                     {"severityNumber", 9}},
                               Value("not a record"), 42,
                               Value{{"timeUnixNano", "junk"}, {"observedTimeUnixNano", -5}}});
  // Times that are no times are left out rather than refused by the collector.
  EXPECT_EQ(VLRoruvOtlpOutput::migrateLogsToLatestVersion(stored), Value::parse(R"([
      {"timeUnixNano": "1714558830123000000", "observedTimeUnixNano": "1714558830123000000",
       "severityNumber": 9}, {}])"));
  // In a request such a record is dated when the pipeline took it.
  const roruv::RRVDate taken{std::chrono::milliseconds(1714558830456)};
  roruv::RRVChunk chunk({std::make_shared<roruv::RRVLog>("t", taken, stored[3])});
  EXPECT_EQ(VLRoruvOtlpOutput().otlpPayloadFromChunk(chunk)["resourceLogs"][0]["scopeLogs"][0]
                                                         ["logRecords"][0],
            Value::parse(R"({"timeUnixNano": "1714558830456000000",
                             "observedTimeUnixNano": "1714558830456000000"})"));
}

namespace {

// The engine with the OTLP output on an in-memory store, its timers in the test's hands.
struct OtlpPipeline {
  explicit OtlpPipeline(const std::string& host) {
    auto info = std::make_shared<VLApplicationInfo>(Value{{"nativeshellversion", "7.3"}});
    auto device = VLDeviceInfo::initWithCommandDelegate(nullptr, info);
    auto configuration = *VLRoruvLogger::defaultConfiguration(host, "app", "A", "E", "T",
                                                              "Agent/1", info, device);
    configuration.logStore = roruv::RRVLogStore::storeAtPath("");
    logger = roruv::RRVLogger::initWithConfiguration(std::move(configuration));
    engine = std::make_shared<VLRoruvLogger>(host, "app", "A", "E", "T", "Agent/1", info, device,
                                             logger);
    output = shell_test::outputOf<VLRoruvOtlpOutput>(*logger);
    output->setScheduler(scheduler);
  }
  void log(const std::string& message, std::int64_t level = 3, Value attributes = Value::object(),
           std::optional<std::string> stack = std::nullopt,
           std::optional<std::string> traceId = std::nullopt,
           std::optional<std::string> spanId = std::nullopt) {
    engine->processLog(std::nullopt, message, "Test", level, attributes, stack, traceId, spanId);
    logger->waitUntilIdle(10);
  }
  size_t stored() { return logger->logStore()->countForOutput(output->storageKey()); }
  // Fires timers until no record is left.
  bool drain() {
    return settle([&] {
      if (stored() == 0 && output->bufferedCount() == 0) return true;
      scheduler->fire();
      return false;
    }, 30);
  }

  std::shared_ptr<shell_test::ManualScheduler> scheduler =
      std::make_shared<shell_test::ManualScheduler>();
  std::shared_ptr<roruv::RRVLogger> logger;
  std::shared_ptr<VLRoruvLogger> engine;
  std::shared_ptr<VLRoruvOtlpOutput> output;
};

std::vector<std::string> bodiesOf(const Value& request) {
  std::vector<std::string> texts;
  for (const auto& record : request["resourceLogs"][0]["scopeLogs"][0]["logRecords"])
    texts.push_back(record["body"]["stringValue"]);
  return texts;
}

// The OTLP protocol's messages of a logs export request in their proto3 JSON form, as the
// OpenTelemetry protocol definition (logs, common and resource protos) declares them, with
// OTLP's own rules on top: lowerCamelCase names only, enums as numbers, trace and span ids as
// hexadecimal rather than base64 (and, as the ids' own rules ask, not all zeros), and
// attribute keys not empty. 64-bit integers must be strings here: that is what the JSON
// mapping writes, and what keeps them exact.
enum class Kind { String, Bool, Int64, UInt64, UInt32, Double, Enum, Hex16, Hex8, Bytes, Message };
struct Field {
  Kind kind;
  const char* message = nullptr;
  bool repeated = false;
};
using Message = std::map<std::string, Field>;

const std::map<std::string, Message>& otlpLogsSchema() {
  static const std::map<std::string, Message> schema = {
      {"ExportLogsServiceRequest", {{"resourceLogs", {Kind::Message, "ResourceLogs", true}}}},
      {"ResourceLogs",
       {{"resource", {Kind::Message, "Resource"}},
        {"scopeLogs", {Kind::Message, "ScopeLogs", true}},
        {"schemaUrl", {Kind::String}}}},
      {"Resource",
       {{"attributes", {Kind::Message, "KeyValue", true}},
        {"droppedAttributesCount", {Kind::UInt32}},
        {"entityRefs", {Kind::Message, "EntityRef", true}}}},
      {"EntityRef",
       {{"schemaUrl", {Kind::String}},
        {"type", {Kind::String}},
        {"idKeys", {Kind::String, nullptr, true}},
        {"descriptionKeys", {Kind::String, nullptr, true}}}},
      {"ScopeLogs",
       {{"scope", {Kind::Message, "InstrumentationScope"}},
        {"logRecords", {Kind::Message, "LogRecord", true}},
        {"schemaUrl", {Kind::String}}}},
      {"InstrumentationScope",
       {{"name", {Kind::String}},
        {"version", {Kind::String}},
        {"attributes", {Kind::Message, "KeyValue", true}},
        {"droppedAttributesCount", {Kind::UInt32}}}},
      {"LogRecord",
       {{"timeUnixNano", {Kind::UInt64}},
        {"observedTimeUnixNano", {Kind::UInt64}},
        {"severityNumber", {Kind::Enum}},
        {"severityText", {Kind::String}},
        {"body", {Kind::Message, "AnyValue"}},
        {"attributes", {Kind::Message, "KeyValue", true}},
        {"droppedAttributesCount", {Kind::UInt32}},
        {"flags", {Kind::UInt32}},
        {"traceId", {Kind::Hex16}},
        {"spanId", {Kind::Hex8}},
        {"eventName", {Kind::String}}}},
      {"KeyValue", {{"key", {Kind::String}}, {"value", {Kind::Message, "AnyValue"}}}},
      {"AnyValue",
       {{"stringValue", {Kind::String}},
        {"boolValue", {Kind::Bool}},
        {"intValue", {Kind::Int64}},
        {"doubleValue", {Kind::Double}},
        {"arrayValue", {Kind::Message, "ArrayValue"}},
        {"kvlistValue", {Kind::Message, "KeyValueList"}},
        {"bytesValue", {Kind::Bytes}}}},
      {"ArrayValue", {{"values", {Kind::Message, "AnyValue", true}}}},
      {"KeyValueList", {{"values", {Kind::Message, "KeyValue", true}}}},
  };
  return schema;
}

bool isDecimal(const std::string& text, bool mayBeNegative) {
  size_t start = mayBeNegative && !text.empty() && text[0] == '-' ? 1 : 0;
  return text.size() > start && text.size() - start <= 20 &&
         text.find_first_not_of("0123456789", start) == std::string::npos;
}

bool isHexId(const Value& value, size_t digits) {
  if (!value.is_string()) return false;
  const auto& text = value.get_ref<const std::string&>();
  return text.size() == digits && text.find_first_not_of("0123456789abcdef") == std::string::npos &&
         text.find_first_not_of('0') != std::string::npos;
}

bool fits(const Field& field, const Value& value, const std::string& path,
          std::vector<std::string>& faults);

// Every fault of `value` as the message `name`, each with its path.
void checkMessage(const std::string& name, const Value& value, const std::string& path,
                  std::vector<std::string>& faults) {
  if (!value.is_object()) {
    faults.push_back(path + ": not an object for " + name);
    return;
  }
  const Message& message = otlpLogsSchema().at(name);
  if (name == "AnyValue" && value.size() > 1) faults.push_back(path + ": more than one value");
  for (const auto& [key, item] : value.items()) {
    auto field = message.find(key);
    if (field == message.end()) {
      faults.push_back(path + "." + key + ": no such field in " + name);
      continue;
    }
    const std::string at = path + "." + key;
    if (field->second.repeated) {
      if (!item.is_array()) {
        faults.push_back(at + ": not a list");
        continue;
      }
      for (size_t i = 0; i < item.size(); ++i)
        if (!fits(field->second, item[i], at + "[" + std::to_string(i) + "]", faults))
          faults.push_back(at + "[" + std::to_string(i) + "]: wrong kind of value");
    } else if (!fits(field->second, item, at, faults)) {
      faults.push_back(at + ": wrong kind of value " + item.dump());
    }
  }
  if (name == "KeyValue" && (!value.contains("key") || value["key"] == ""))
    faults.push_back(path + ": an attribute without a key");
}

bool fits(const Field& field, const Value& value, const std::string& path,
          std::vector<std::string>& faults) {
  switch (field.kind) {
    case Kind::String:
      return value.is_string();
    case Kind::Bool:
      return value.is_boolean();
    case Kind::Int64:
    case Kind::UInt64:
      return value.is_string() &&
             isDecimal(value.get_ref<const std::string&>(), field.kind == Kind::Int64);
    case Kind::UInt32:
      return value.is_number_integer() && value.get<std::int64_t>() >= 0 &&
             value.get<std::int64_t>() <= 0xFFFFFFFFLL;
    case Kind::Enum:
      return value.is_number_integer() && value.get<std::int64_t>() >= 0 &&
             value.get<std::int64_t>() <= 24;
    case Kind::Double:
      return (value.is_number() && !value.is_boolean()) ||
             (value.is_string() && (value == "NaN" || value == "Infinity" || value == "-Infinity"));
    case Kind::Hex16:
      return isHexId(value, 32);
    case Kind::Hex8:
      return isHexId(value, 16);
    case Kind::Bytes:
      return value.is_string();
    case Kind::Message:
      checkMessage(field.message, value, path, faults);
      return true;
  }
  return false;
}

std::vector<std::string> otlpFaults(const Value& request) {
  std::vector<std::string> faults;
  checkMessage("ExportLogsServiceRequest", request, "$", faults);
  return faults;
}

}  // namespace

TEST(VLRoruvOtlpOutput, TheExportBodyHasTheShapeOfTheOtlpProtocolWhateverThePageSends) {
  // The check itself catches what a collector refuses.
  for (const char* bad :
       {R"({"resourceLogs": [{"scopeLogs": [{"logRecords": [{"timeUnixNano": 5}]}]}]})",
        R"({"resourceLogs": [{"scopeLogs": [{"logRecords": [{"traceId": "trace"}]}]}]})",
        R"({"resourceLogs": [{"scopeLogs": [{"logRecords": [{"spanId": "0000000000000000"}]}]}]})",
        R"({"resourceLogs": [{"resource": {"attributes": [{"key": "", "value": {}}]}}]})",
        R"({"resourceLogs": [{"resource": {"attributes": [{"key": "k", "value": {"intValue": 1.5}}]}}]})",
        R"({"resourceLogs": [{"scopeLogs": [{"logRecords": [{"name": "old"}]}]}]})"})
    EXPECT_FALSE(otlpFaults(Value::parse(bad)).empty()) << bad;

  OtlpServer server;
  OtlpPipeline pipeline(server.host());
  pipeline.log("plain");
  pipeline.log("attributes of every kind", 4,
               Value{{"", "no key"}, {"text", "t"}, {"yes", true}, {"whole", 7}, {"half", 7.5},
                     {"wide", 1099511627776LL}, {"huge", 1e300}, {"list", Value::array({1})},
                     {"nested", Value{{"a", 1}}}, {"none", nullptr},
                     {"exception.message", 5}, {"veltro.otel.access.visibility", "high"}});
  pipeline.engine->processLog(std::nullopt, "not a number", "Test", 3,
                              Value{{"nan", std::nan("")}, {"inf", -HUGE_VAL}}, std::nullopt,
                              std::nullopt, std::nullopt);
  pipeline.log("bad ids", 5, Value::object(), "a stack", "trace", "00000000000000000000000000000000");
  pipeline.log("good ids", 6, Value::object(), "", "5B8EFFF798038103D269B633813FC60C",
               "eee19b7ec3c1b174");
  pipeline.engine->processLog("9999-12-31T23:59:59.999Z", "far future", "Test", 3,
                              Value::object(), std::nullopt, std::nullopt, std::nullopt);
  pipeline.engine->processLog("1900-01-01T00:00:00.000Z", "long ago", "Test", 3, Value::object(),
                              std::nullopt, std::nullopt, std::nullopt);
  pipeline.log(std::string(100000, 'm'), 3, Value{{"long", std::string(100000, 'v')}},
               std::string(100000, 's'));
  ASSERT_TRUE(pipeline.drain());

  ASSERT_EQ(server.server.requestCount("/app/v2/logs"), 1u);
  Value body = Value::parse(server.server.lastRequest("/app/v2/logs")->body);
  for (const auto& fault : otlpFaults(body)) ADD_FAILURE() << fault;
  const Value& records = body["resourceLogs"][0]["scopeLogs"][0]["logRecords"];
  ASSERT_EQ(records.size(), 8u);
  // Every record has its times, whatever instant the page gave.
  for (const auto& record : records) {
    EXPECT_TRUE(record.contains("timeUnixNano")) << record["body"];
    EXPECT_EQ(record.value("timeUnixNano", ""), record.value("observedTimeUnixNano", "-"));
  }
  // What the page shaped wrongly is left out and counted; the defaults stand.
  const Value& kinds = records[1];
  EXPECT_EQ(kinds["droppedAttributesCount"], 6);  // "", list, nested, none, and the two below
  std::map<std::string, Value> attributes;
  for (const auto& attribute : kinds["attributes"])
    attributes[attribute["key"]] = attribute["value"];
  EXPECT_EQ(attributes["veltro.otel.access.visibility"], (Value{{"intValue", "3"}}));
  EXPECT_FALSE(attributes.count("exception.message"));  // a warning has none of its own
  EXPECT_FALSE(records[3].contains("traceId"));
  EXPECT_FALSE(records[3].contains("spanId"));
  EXPECT_EQ(records[4]["traceId"], "5b8efff798038103d269b633813fc60c");
  EXPECT_EQ(records[4]["spanId"], "eee19b7ec3c1b174");
  // A page-sized record goes cut, with the mark in sight.
  const std::string message = records[7]["body"]["stringValue"];
  EXPECT_LE(message.size(), VLLog::kMostMessageBytes);
  EXPECT_NE(message.find("[truncated: 100000 bytes in all]"), std::string::npos);
}

TEST(VLRoruvOtlpOutput, ARefusedChunkGoesAgainInHalvesOrIsDroppedAndLoggingGoesOn) {
  testing_support::LogCapture log;
  // Declared before the server, which stops before they go.
  std::mutex mutex;
  std::vector<std::vector<std::string>> posted;
  auto takePosted = [&] {
    std::lock_guard lock(mutex);
    return std::exchange(posted, {});
  };
  OtlpServer server;
  // Refuses every body of more than two records as too large, and any with "poison" in it.
  server.server.on("POST", "/app/v2/logs", [&](const httplib::Request& request,
                                               httplib::Response& response) {
    auto texts = bodiesOf(Value::parse(request.body));
    std::lock_guard lock(mutex);
    posted.push_back(texts);
    const bool poisoned = std::find(texts.begin(), texts.end(), "poison") != texts.end();
    response.status = poisoned ? 422 : texts.size() > 2 ? 413 : 200;
  });
  OtlpPipeline pipeline(server.host());
  for (const char* text : {"a", "b", "c", "d", "e"}) pipeline.log(text);
  ASSERT_TRUE(pipeline.drain());
  using Texts = std::vector<std::vector<std::string>>;
  EXPECT_EQ(takePosted(), (Texts{{"a", "b", "c", "d", "e"}, {"a", "b"}, {"c", "d"}, {"e"}}));
  EXPECT_EQ(log.count("they are sent again 2 at a time"), 1u);
  EXPECT_EQ(pipeline.output->retryCount(), 0);

  pipeline.log("poison");
  pipeline.log("after");
  ASSERT_TRUE(pipeline.drain());
  EXPECT_EQ(takePosted(), (Texts{{"poison", "after"}, {"poison"}, {"after"}}));
  EXPECT_EQ(log.count("refused 1 logs for good; they are dropped"), 1u);
  EXPECT_EQ(pipeline.output->retryCount(), 0);
}

TEST(VLRoruvOtlpOutput, RedirectsHugeAnswersAndSlowServersFailAndTheTagIdStaysHome) {
  OtlpServer server;
  testing_support::HttpsTestServer other;
  for (const char* method : {"GET", "POST"})
    for (const char* path : {"/app/v2/logs", "/app/moduleservices/clientsettingsinfo"})
      other.on(method, path, testing_support::answer(
                                 R"({"clientSettings": {"LoggingTagID": "elsewhere"}})",
                                 "application/json"));
  auto manager = VLOTLPTagIdManager::managerWithHostname(server.host(), "app");
  auto output = otlpOutput(server.host(), manager);
  auto forget = [&] {
    std::promise<void> forgotten;
    manager->invalidateTagIdWithCompletionHandler([&] { forgotten.set_value(); });
    forgotten.get_future().wait();
  };

  // A redirected settings request fails: no id is taken from another server.
  server.server.on("GET", "/app/moduleservices/clientsettingsinfo",
                   [&](const httplib::Request&, httplib::Response& response) {
                     response.set_redirect(other.url("/app/moduleservices/clientsettingsinfo"), 302);
                   });
  Answer redirected = wait(getTagId(*manager));
  ASSERT_TRUE(redirected.error);
  EXPECT_EQ(redirected.error->code, -1);

  // An answer too large to keep fails the fetch.
  server.server.on("GET", "/app/moduleservices/clientsettingsinfo",
                   [](const httplib::Request&, httplib::Response& response) {
                     response.set_content(std::string(4 << 20, ' ') + "{}", "application/json");
                   });
  Answer huge = wait(getTagId(*manager));
  ASSERT_TRUE(huge.error);
  EXPECT_EQ(huge.error->code, platform::urlerror::kDataLengthExceedsMaximum);

  // A redirected POST, 307 or 302, is a failed write: the logs and the id stay home.
  server.server.on("GET", "/app/moduleservices/clientsettingsinfo",
                   testing_support::answer(R"({"clientSettings": {"LoggingTagID": "mine"}})",
                                           "application/json"));
  for (int status : {307, 302}) {
    server.server.on("POST", "/app/v2/logs", [&, status](const httplib::Request&,
                                                         httplib::Response& response) {
      response.set_redirect(other.url("/app/v2/logs"), status);
    });
    EXPECT_FALSE(write(*output)) << status;
  }
  EXPECT_EQ(other.requestCount(), 0u);

  // A 200 whose answer is too large to keep still delivered the logs.
  server.server.on("POST", "/app/v2/logs", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(std::string(4 << 20, 'x'), "application/json");
  });
  EXPECT_TRUE(write(*output));

  // A server that trickles its answer is cut off by the bound on the whole request.
  VLLogRequests::setTimeoutsForTesting(5, 1);
  auto trickle = [](const httplib::Request&, httplib::Response& response) {
    auto sent = std::make_shared<int>(0);
    response.set_chunked_content_provider("application/json", [sent](size_t, httplib::DataSink& sink) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (++*sent > 50 || !sink.write(" ", 1)) sink.done();
      return true;
    });
  };
  server.server.on("GET", "/app/moduleservices/clientsettingsinfo", trickle);
  server.server.on("POST", "/app/v2/logs", trickle);
  auto slowManager = VLOTLPTagIdManager::managerWithHostname(server.host(), "app");
  auto slowOutput = otlpOutput(server.host(), slowManager);
  forget();
  auto started = std::chrono::steady_clock::now();
  Answer slow = wait(getTagId(*slowManager));
  ASSERT_TRUE(slow.error);
  EXPECT_EQ(slow.error->code, platform::urlerror::kTimedOut);
  slowManager->storeTagIdInUserDefaults("mine");
  EXPECT_FALSE(write(*slowOutput));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(6));
  VLLogRequests::setTimeoutsForTesting(0, 0);
}

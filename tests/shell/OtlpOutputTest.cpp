#include <gtest/gtest.h>

#include <future>

#include "RemoteOutputFixtures.h"
#include "platform/foundation/UserDefaults.h"
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
}

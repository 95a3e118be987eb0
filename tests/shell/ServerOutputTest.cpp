#include <gtest/gtest.h>

#include "RemoteOutputFixtures.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/net/HTTPCookie.h"
#include "platform/net/HTTPCookieStorage.h"
#include "shell/VLLogger.h"
#include "shell/VLNetworkEvents.h"
#include "shell/VLRoruvServerOutput.h"
#include "support/TestSupport.h"

using platform::Value;
using shell_test::ManualScheduler;
using shell_test::settle;

namespace {

// The engine with the platform server's output, its timers in the test's hands.
struct ServerPipeline {
  explicit ServerPipeline(const std::string& host,
                          std::shared_ptr<roruv::RRVLogStore> store = roruv::RRVLogStore::storeAtPath("")) {
    shell_test::openSharedCookieStore();
    auto info = std::make_shared<VLApplicationInfo>(Value{{"nativeshellversion", "1.0"}});
    auto device = VLDeviceInfo::initWithCommandDelegate(nullptr, info);
    auto configuration = *VLRoruvLogger::defaultConfiguration(
        host, "app", std::nullopt, std::nullopt, std::nullopt, "agent", info, device);
    configuration.logStore = std::move(store);
    logger = roruv::RRVLogger::initWithConfiguration(std::move(configuration));
    engine = std::make_shared<VLRoruvLogger>(host, "app", std::nullopt, std::nullopt,
                                             std::nullopt, "agent", info, device, logger);
    output = shell_test::outputOf<VLRoruvServerOutput>(*logger);
    output->setScheduler(scheduler);
  }
  void log(int from, int to) {
    for (int i = from; i < to; ++i)
      engine->processLog("record " + std::to_string(i), "Test", std::nullopt, 3, Value::object(),
                         std::nullopt);
    logger->waitUntilIdle(10);
  }
  size_t stored() { return logger->logStore()->countForOutput(output->storageKey()); }
  // Fires the armed timer and waits until the write's result has armed the next one.
  bool failOnce(std::int64_t expectedFailures) {
    if (!scheduler->fire()) return false;
    return settle([&] {
      return output->retryCount() == expectedFailures && !scheduler->armed().empty();
    });
  }
  // Fires timers until every record has left the store.
  bool deliverAll() {
    return settle([&] {
      if (stored() == 0 && output->bufferedCount() == 0) return true;
      scheduler->fire();
      return false;
    }, 30);
  }

  std::shared_ptr<ManualScheduler> scheduler = std::make_shared<ManualScheduler>();
  std::shared_ptr<roruv::RRVLogger> logger;
  std::shared_ptr<VLRoruvLogger> engine;
  std::shared_ptr<VLRoruvServerOutput> output;
};

std::vector<std::string> messages(const std::vector<std::string>& bodies) {
  std::vector<std::string> all;
  for (const auto& body : bodies)
    for (const auto& record : Value::parse(body)) all.push_back(record.at("message"));
  return all;
}

std::vector<std::string> numbered(int from, int to) {
  std::vector<std::string> all;
  for (int i = from; i < to; ++i) all.push_back("record " + std::to_string(i));
  return all;
}

}  // namespace

TEST(VLRoruvServerOutput, PostsChunksInOrderWithItsHeadersAndOnlyThatURLsCookies) {
  testing_support::LogCapture log;
  shell_test::LogServer server("/app/moduleservices/log");
  auto cookies = platform::HTTPCookieStorage::sharedHTTPCookieStorage();
  cookies->setCookie({"mine", "1", "127.0.0.1", "/", std::nullopt, false, false});
  cookies->setCookie({"elsewhere", "1", "example.org", "/", std::nullopt, false, false});

  ServerPipeline pipeline(server.host());
  VLLogger::initializeWithEngine(pipeline.engine);
  pipeline.log(0, 15);
  EXPECT_EQ(pipeline.scheduler->armed(), std::vector<double>{6.0});  // 1.5^0 + 5 s
  ASSERT_TRUE(pipeline.deliverAll());

  EXPECT_EQ(server.posts(), 2u);
  EXPECT_EQ(messages(server.bodies()), numbered(0, 15));
  EXPECT_EQ(Value::parse(server.bodies()[0]).size(), 10u);
  auto request = *server.server.lastRequest("/app/moduleservices/log");
  const std::string millis = request.query["clientTimeInMillis"];
  ASSERT_FALSE(millis.empty());
  EXPECT_EQ(millis.find_first_not_of("0123456789"), std::string::npos);
  auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                 std::chrono::system_clock::now().time_since_epoch())
                 .count();
  EXPECT_LT(std::llabs(now - std::stoll(millis)), 60'000);
  EXPECT_EQ(request.header("Content-Type"), "application/json");
  EXPECT_EQ(request.header("Accept"), "application/json");
  EXPECT_TRUE(request.hasHeader("veltro-device-uuid"));
  EXPECT_EQ(request.header("Cookie"), "mine=1");
  auto record = Value::parse(request.body)[0];
  for (const char* key : {"instant", "logType", "message", "moduleName", "stack", "extra"})
    EXPECT_TRUE(record.contains(key)) << key;

  // The output's own messages stay on the process log: none comes back as a record.
  EXPECT_TRUE(log.contains("Logs sent with success"));
  pipeline.logger->waitUntilIdle(10);
  EXPECT_FALSE(pipeline.scheduler->fire());
  for (const auto& text : messages(server.bodies()))
    EXPECT_EQ(text.find("Logs sent"), std::string::npos);

  // The success's deferred step on the main loop may still be waiting: running it after the
  // failure below must not take the failure's back-off away.
  // Anything but 200 is a failure, 204 included: the records stay, first in line.
  server.logStatus = 204;
  pipeline.log(15, 17);
  ASSERT_TRUE(pipeline.failOnce(1));
  EXPECT_EQ(pipeline.stored(), 2u);
  shell_test::settle([] { return false; }, 0.3);
  EXPECT_EQ(pipeline.output->retryCount(), 1);
  EXPECT_EQ(pipeline.scheduler->armed(), std::vector<double>{6.5});
}

TEST(VLRoruvServerOutput, BacksOffPingsAfterFiveFailuresAndResumesOnThePingsSuccess) {
  testing_support::LogCapture log;
  shell_test::LogServer server("/app/moduleservices/log");
  std::atomic<int> pingStatus{503};
  server.server.on("GET", "/app/moduleservices/ping",
                   [&](const httplib::Request&, httplib::Response& response) {
                     response.status = pingStatus;
                   });
  server.logStatus = 500;
  ServerPipeline pipeline(server.host());
  pipeline.log(0, 3);

  const std::vector<double> backOff = {6.5, 7.25, 8.375, 10.0625};
  for (int failure = 1; failure <= 4; ++failure) {
    ASSERT_TRUE(pipeline.failOnce(failure));
    EXPECT_EQ(pipeline.scheduler->armed(), std::vector<double>{backOff[failure - 1]});
  }
  EXPECT_TRUE(log.contains("Retrying send logs in 10.062500 seconds"));
  // The time stops growing at the twentieth failure.
  EXPECT_NEAR(pipeline.output->calculateRetryTime(20), 3330.2567, 1e-3);
  EXPECT_EQ(pipeline.output->calculateRetryTime(500), pipeline.output->calculateRetryTime(20));
  EXPECT_EQ(pipeline.output->calculateRetryTime(-3), 6.0);
  ASSERT_TRUE(pipeline.failOnce(5));
  EXPECT_TRUE(log.contains("Failed sending logs more than 5 times. A ping request will be sent"));
  EXPECT_TRUE(pipeline.output->isPinging());
  EXPECT_EQ(pipeline.scheduler->armed(), std::vector<double>{6.0});  // the ping's own count

  // In ping mode a write sends nothing and keeps its chunk; new logs arm no flush timer.
  pipeline.output->tick();
  pipeline.log(3, 4);
  EXPECT_FALSE(settle([&] { return server.posts() > 5; }, 0.3));
  EXPECT_EQ(pipeline.output->bufferedCount(), 4u);
  EXPECT_EQ(pipeline.scheduler->armed().size(), 1u);

  ASSERT_TRUE(pipeline.scheduler->fire());  // a failed ping backs off and keeps one loop
  ASSERT_TRUE(settle([&] { return pipeline.output->pingRequestRetryCount() == 1 &&
                                  !pipeline.scheduler->armed().empty(); }));
  EXPECT_EQ(pipeline.scheduler->armed(), std::vector<double>{6.5});

  pingStatus = 200;
  server.logStatus = 200;
  ASSERT_TRUE(pipeline.scheduler->fire());
  ASSERT_TRUE(settle([&] { return pipeline.output->retryCount() == 0 &&
                                  pipeline.scheduler->armed() == std::vector<double>{6.0}; }));
  EXPECT_TRUE(log.contains("Ping sent with success"));
  EXPECT_EQ(pipeline.output->pingRequestRetryCount(), 0);
  ASSERT_TRUE(pipeline.deliverAll());
  std::vector<std::string> expected;  // five failed tries of the first chunk, then all
  for (int attempt = 0; attempt < 6; ++attempt)
    for (const auto& message : numbered(0, 3)) expected.push_back(message);
  expected.push_back("record 3");
  EXPECT_EQ(messages(server.bodies()), expected);
  EXPECT_EQ(server.server.requestCount("/app/moduleservices/ping"), 2u);
}

TEST(VLRoruvServerOutput, TheCapKeepsTheOldestRecordsWithAFailedChunkFirst) {
  shell_test::LogServer server("/app/moduleservices/log");
  server.logStatus = 500;
  ServerPipeline pipeline(server.host());
  pipeline.log(0, 995);
  ASSERT_TRUE(pipeline.failOnce(1));  // "record 0" to "record 9" come back to the front
  pipeline.log(995, 1500);
  EXPECT_EQ(pipeline.output->bufferedCount(), 1000u);
  EXPECT_EQ(pipeline.stored(), 1000u);

  server.logStatus = 200;
  ASSERT_TRUE(pipeline.deliverAll());
  auto sent = messages(server.bodies());
  sent.erase(sent.begin(), sent.begin() + 10);  // the failed attempt
  EXPECT_EQ(sent, numbered(0, 1000));
}

TEST(VLRoruvServerOutput, OfflineKeepsTheRecordsAndBackOnlineSendsAtOnce) {
  shell_test::LogServer server("/app/moduleservices/log");
  ServerPipeline pipeline(server.host());
  std::atomic<bool> online{false};
  pipeline.output->setConnectivityCheck([&] { return online.load(); });
  pipeline.log(0, 12);

  auto& center = platform::NotificationCenter::defaultCenter();
  center.post(VLNetworkChangedNotification, nullptr,
              Value{{VLNetworkStatusKey, VLNetworkOffline}, {VLNetworkTypeKey, "NotReachable"}});
  for (int failure = 1; failure <= 5; ++failure) ASSERT_TRUE(pipeline.failOnce(failure));
  EXPECT_EQ(server.posts(), 0u);  // offline: no request at all
  EXPECT_TRUE(pipeline.output->isPinging());
  EXPECT_EQ(pipeline.output->bufferedCount(), 12u);
  EXPECT_EQ(pipeline.stored(), 12u);

  // Back online: no back-off left, no ping loop, and the first chunk goes without a timer.
  online = true;
  center.post(VLNetworkChangedNotification, nullptr,
              Value{{VLNetworkStatusKey, VLNetworkOnline}, {VLNetworkTypeKey, "WiFi"}});
  EXPECT_EQ(pipeline.output->retryCount(), 0);
  EXPECT_FALSE(pipeline.output->isPinging());
  ASSERT_TRUE(settle([&] { return server.posts() == 1; }));
  ASSERT_TRUE(pipeline.deliverAll());
  EXPECT_EQ(messages(server.bodies()), numbered(0, 12));

  // A status it does not know, or no dictionary, changes nothing.
  center.post(VLNetworkChangedNotification, nullptr, Value{{VLNetworkStatusKey, 7}});
  center.post(VLNetworkChangedNotification, nullptr, Value("netWorkOnline"));
  EXPECT_EQ(server.posts(), 2u);
}

TEST(VLRoruvServerOutput, AServerDownForAWhileGetsEveryRecordOnceInOrderAlsoAcrossARestart) {
  testing_support::TempDir folder;
  const std::string path = folder.file("LogStore.sqlite");
  shell_test::LogServer server("/app/moduleservices/log");
  server.logStatus = 503;
  std::weak_ptr<VLRoruvServerOutput> firstOutput;
  {
    ServerPipeline first(server.host(), roruv::RRVLogStore::storeAtPath(path));
    firstOutput = first.output;
    first.log(0, 25);
    ASSERT_TRUE(first.failOnce(1));
    ASSERT_TRUE(first.failOnce(2));
    server.logStatus = 200;
    first.log(25, 30);
    ASSERT_TRUE(first.scheduler->fire());  // one chunk goes before the process ends
    ASSERT_TRUE(settle([&] { return first.stored() == 20; }));
  }
  // The output that went has stopped listening (once the session's thread, which may still
  // be finishing the last write, has let it go).
  ASSERT_TRUE(settle([&] { return firstOutput.expired(); }));
  platform::NotificationCenter::defaultCenter().post(
      VLNetworkChangedNotification, nullptr, Value{{VLNetworkStatusKey, VLNetworkOnline}});
  EXPECT_EQ(roruv::RRVLogStore::storeAtPath(path)->countForOutput(
                std::string(VLRoruvLogger::kServerOutputClass) + " " +
                VLRoruvLogger::calculateServerTag(server.host(), "app")),
            20u);

  ServerPipeline second(server.host(), roruv::RRVLogStore::storeAtPath(path));
  second.log(30, 35);
  ASSERT_TRUE(second.deliverAll());
  auto sent = messages(server.bodies());
  sent.erase(sent.begin(), sent.begin() + 20);  // the two failed attempts
  EXPECT_EQ(sent, numbered(0, 35));
}

TEST(VLRoruvServerOutput, ARefusedChunkOrOneThatKeepsFailingNeverStopsLogging) {
  testing_support::LogCapture log;
  shell_test::LogServer server("/app/moduleservices/log");
  server.server.on("GET", "/app/moduleservices/ping", testing_support::answer(""));
  ServerPipeline pipeline(server.host());

  // A refusal for good drops the chunk with one line and costs no back-off.
  server.logStatus = 404;
  pipeline.log(0, 3);
  ASSERT_TRUE(pipeline.scheduler->fire());
  ASSERT_TRUE(settle([&] { return pipeline.stored() == 0; }));
  EXPECT_EQ(log.count("refused 3 logs for good; they are dropped"), 1u);
  EXPECT_EQ(pipeline.output->retryCount(), 0);
  server.logStatus = 200;
  pipeline.log(3, 4);
  ASSERT_TRUE(pipeline.deliverAll());
  EXPECT_EQ(messages({server.bodies().back()}), numbered(3, 4));

  // A server that keeps failing one chunk, answering its pings all along, has it dropped
  // after ten sends; the next records go through.
  server.logStatus = 500;
  pipeline.log(4, 6);
  ASSERT_TRUE(settle([&] {
    pipeline.scheduler->fire();
    return log.contains("Giving up on 2 logs after 10 failed sends in a row.");
  }, 30));
  ASSERT_TRUE(settle([&] { return pipeline.stored() == 0; }));
  EXPECT_EQ(server.posts(), 12u);
  server.logStatus = 200;
  pipeline.log(6, 7);
  ASSERT_TRUE(pipeline.deliverAll());
  EXPECT_EQ(messages({server.bodies().back()}), numbered(6, 7));
}

TEST(VLRoruvServerOutput, ARedirectIsAFailedSendAndIsNotFollowed) {
  testing_support::HttpsTestServer server, other;
  other.on("GET", "/taken", testing_support::answer("{}", "application/json"));
  other.on("POST", "/taken", testing_support::answer("{}", "application/json"));
  std::atomic<int> status{302};
  server.on("POST", "/app/moduleservices/log",
            [&](const httplib::Request&, httplib::Response& response) {
              response.set_redirect(other.url("/taken"), status.load());
            });
  ServerPipeline pipeline("127.0.0.1:" + std::to_string(server.port()));
  pipeline.log(0, 2);
  ASSERT_TRUE(pipeline.failOnce(1));
  status = 307;
  ASSERT_TRUE(pipeline.failOnce(2));
  EXPECT_EQ(pipeline.stored(), 2u);
  EXPECT_EQ(other.requestCount(), 0u);
}

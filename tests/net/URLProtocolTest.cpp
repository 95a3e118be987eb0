#include <gtest/gtest.h>

#include <mutex>

#include <atomic>
#include <future>
#include <stdexcept>

#include "platform/net/URLError.h"
#include "platform/net/URLProtocol.h"
#include "platform/net/URLSession.h"
#include "support/HttpsTestServer.h"
#include "support/SessionTasks.h"
#include "support/TestSupport.h"

using namespace platform;
using testing_support::download;
using testing_support::fetch;
using testing_support::answer;
using testing_support::HttpsTestServer;
using testing_support::urlOf;

namespace {

std::atomic<int> gDecliningAsked{0};

class DecliningProtocol : public URLProtocol {
 public:
  static constexpr const char* kClassName = "DecliningProtocol";
  using URLProtocol::URLProtocol;
  static bool canInitWithRequest(const URLRequest&) {
    ++gDecliningAsked;
    return false;
  }
  void startLoading() override { ADD_FAILURE() << "a declining protocol was started"; }
  void stopLoading() override {}
};

// Answers everything except "/network" and requests it marked itself, from memory.
class AnsweringProtocol : public URLProtocol {
 public:
  static constexpr const char* kClassName = "AnsweringProtocol";
  using URLProtocol::URLProtocol;
  static bool canInitWithRequest(const URLRequest& request) {
    return request.url().path() != "/network" &&
           propertyForKey("AnsweringProtocolHandled", request).is_null();
  }
  void startLoading() override {
    client()->didReceiveResponse(
        *this, URLResponse::http(request().url(), 200, {{"Content-Type", "text/plain"}}),
        URLCacheStoragePolicy::NotAllowed);
    client()->didLoadData(*this, "from ");
    client()->didLoadData(*this, "the protocol");
    client()->didFinishLoading(*this);
    // Anything after the finish is ignored.
    client()->didLoadData(*this, " and more");
  }
  void stopLoading() override {}
};

class ForeignClass : public ClassObject {
 public:
  std::string name() const override { return "NSObject"; }
};

}  // namespace

TEST(URLProtocol, ConfigurationClassesAreAskedInOrderBeforeTheNetwork) {
  HttpsTestServer server;
  server.on("GET", "/network", answer("from the network"));
  server.on("GET", "/marked", answer("marked"));
  auto configuration = URLSessionConfiguration::ephemeralSessionConfiguration();
  configuration.setProtocolClasses(
      {protocolClass<DecliningProtocol>(), protocolClass<AnsweringProtocol>()});
  auto session = URLSession::sessionWithConfiguration(configuration);

  gDecliningAsked = 0;
  EXPECT_EQ(fetch(*session, server.url("/anything")).data, "from the protocol");
  EXPECT_EQ(gDecliningAsked, 1);
  EXPECT_EQ(server.requestCount(), 0u);

  EXPECT_EQ(fetch(*session, server.url("/network")).data, "from the network");

  // The request's property bag survives the copies the session makes, so a protocol can
  // recognise a request it marked.
  URLRequest marked(urlOf(server.url("/marked")));
  URLProtocol::setProperty(true, "AnsweringProtocolHandled", marked);
  EXPECT_EQ(*fetch(*session, marked).data, "marked");
  EXPECT_EQ(server.requestCount(), 2u);

  // Downloads are answered by protocols as well.
  EXPECT_EQ(download(*session, server.url("/file")).content, "from the protocol");
}

TEST(URLProtocol, GlobalRegistrationIsConsultedMostRecentFirstThroughReplaceableImplementations) {
  auto answering = protocolClass<AnsweringProtocol>();
  auto declining = protocolClass<DecliningProtocol>();
  EXPECT_TRUE(URLProtocol::registerClass(answering));
  EXPECT_TRUE(URLProtocol::registerClass(declining));
  EXPECT_EQ(URLProtocol::registeredClasses(),
            (std::vector<URLProtocolClassRef>{declining, answering}));
  EXPECT_TRUE(URLProtocol::registerClass(answering));
  EXPECT_EQ(URLProtocol::registeredClasses(),
            (std::vector<URLProtocolClassRef>{answering, declining}));
  EXPECT_FALSE(URLProtocol::registerClass(std::make_shared<ForeignClass>()));
  EXPECT_EQ(URLProtocol::registeredClasses().size(), 2u);

  // The shared session consults the registered classes.
  EXPECT_EQ(fetch(*URLSession::sharedSession(), "https://unreachable.invalid/page").data,
            "from the protocol");

  // A replacement sees every registration and reaches the platform through what it displaced.
  std::vector<std::string> calls;
  auto original = URLProtocol::exchangeRegisterClassImplementation(nullptr);
  URLProtocol::exchangeRegisterClassImplementation([&calls, original](const ClassRef& classObject) {
    calls.push_back(classObject->name());
    return original(classObject);
  });
  EXPECT_TRUE(URLProtocol::registerClass(declining));
  URLProtocol::exchangeRegisterClassImplementation(original);
  EXPECT_EQ(calls, (std::vector<std::string>{"DecliningProtocol"}));
  EXPECT_EQ(URLProtocol::registeredClasses().front(), declining);

  URLProtocol::unregisterClass(answering);
  URLProtocol::unregisterClass(declining);
  EXPECT_TRUE(URLProtocol::registeredClasses().empty());
}

namespace {

std::atomic<int> gStops{0};
std::mutex gHeldMutex;
std::shared_ptr<URLProtocol> gHeld;

std::shared_ptr<URLProtocol> held() {
  std::lock_guard lock(gHeldMutex);
  return gHeld;
}

// Answers "/fail" with an error after a little data, throws on "/throw", and holds anything
// else open until it is stopped (keeping itself in gHeld, so the test can talk after the stop).
class ControlledProtocol : public URLProtocol {
 public:
  static constexpr const char* kClassName = "ControlledProtocol";
  using URLProtocol::URLProtocol;
  static bool canInitWithRequest(const URLRequest&) { return true; }
  void startLoading() override {
    const std::string path = request().url().path();
    if (path == "/throw") throw std::runtime_error("cannot start");
    client()->didReceiveResponse(*this, URLResponse::http(request().url(), 200, {}),
                                 URLCacheStoragePolicy::NotAllowed);
    client()->didLoadData(*this, "partial");
    if (path == "/fail") {
      Error error = Error::make("VeltroTestDomain", 42, "made to fail");
      client()->didFailWithError(*this, error);
      client()->didFinishLoading(*this);  // ignored: the failure came first
      return;
    }
    std::lock_guard lock(gHeldMutex);
    gHeld = shared_from_this();
  }
  void stopLoading() override { ++gStops; }
};

}  // namespace

TEST(URLProtocol, AFailingThrowingOrStoppedProtocolEndsItsTaskOnceWithTheRightError) {
  auto configuration = URLSessionConfiguration::ephemeralSessionConfiguration();
  configuration.setProtocolClasses({protocolClass<ControlledProtocol>()});
  auto session = URLSession::sessionWithConfiguration(configuration);
  gStops = 0;

  auto failed = fetch(*session, "https://protocol.invalid/fail");
  ASSERT_TRUE(failed.error);
  EXPECT_EQ(failed.error->domain, "VeltroTestDomain");
  EXPECT_EQ(failed.error->code, 42);
  EXPECT_FALSE(failed.data);
  EXPECT_EQ(gStops, 1);
  auto failedDownload = download(*session, "https://protocol.invalid/fail");
  EXPECT_EQ(failedDownload.error->code, 42);
  EXPECT_FALSE(failedDownload.location);
  EXPECT_EQ(gStops, 2);

  auto threw = fetch(*session, "https://protocol.invalid/throw");
  ASSERT_TRUE(threw.error);
  EXPECT_EQ(threw.error->domain, kURLErrorDomain);
  EXPECT_EQ(threw.error->code, urlerror::kUnknown);
  EXPECT_EQ(gStops, 3);

  // A held load is stopped by a cancel, once; what the protocol says afterwards goes nowhere.
  std::promise<testing_support::DataResult> cancelled;
  auto task = session->dataTaskWithURL(
      urlOf("https://protocol.invalid/held"),
      [&](const auto& data, const auto& response, const auto& error) {
        cancelled.set_value({data, response, error});
      });
  task->resume();
  ASSERT_TRUE(testing_support::waitUntil([] { return held() != nullptr; }, 5));
  task->cancel();
  task->cancel();
  auto result = cancelled.get_future().get();
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->code, urlerror::kCancelled);
  EXPECT_EQ(gStops, 4);
  std::shared_ptr<URLProtocol> kept;
  {
    std::lock_guard lock(gHeldMutex);
    kept.swap(gHeld);
  }
  kept->client()->didLoadData(*kept, "late");
  kept->client()->didFinishLoading(*kept);
  EXPECT_EQ(task->error()->code, urlerror::kCancelled);
  EXPECT_EQ(gStops, 4);
}

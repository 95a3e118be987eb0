#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "ShellProtocols.h"
#include "platform/net/URLSession.h"
#include "shell/VLProtocolManagerPlugin.h"
#include "support/SessionTasks.h"
#include "support/TestSupport.h"

using namespace platform;
using namespace shell_test;
using List = std::vector<URLProtocolClassRef>;

namespace {

// Starts every test from an empty list and an empty platform registration.
class VLProtocolManagerPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VLProtocolManagerPlugin::load();
    clear();
  }
  void TearDown() override { clear(); }
  static void clear() {
    for (const auto& entry : URLProtocol::registeredClasses()) URLProtocol::unregisterClass(entry);
    VLProtocolManagerPlugin::resetForTesting();
  }
};

List distinctInOrder(const List& list) {
  List out;
  for (const auto& entry : list)
    if (std::find(out.begin(), out.end(), entry) == out.end()) out.push_back(entry);
  return out;
}

std::string answerOfSharedSession() {
  auto result =
      testing_support::fetch(*URLSession::sharedSession(), "https://veltro.invalid/resource");
  return result.error ? "error " + std::to_string(result.error->code) : result.data.value_or("");
}

}  // namespace

TEST_F(VLProtocolManagerPluginTest, KeepsTheLoaderFirstInTheListAndAtThePlatform) {
  EXPECT_TRUE(VLProtocolManagerPlugin::protocolClasses().empty());
  EXPECT_TRUE(URLProtocol::registerClass(protocolA()));
  EXPECT_TRUE(URLProtocol::registerClass(protocolB()));
  EXPECT_TRUE(URLProtocol::registerClass(loader()));
  EXPECT_EQ(VLProtocolManagerPlugin::protocolClasses(), (List{loader(), protocolA(), protocolB()}));
  EXPECT_EQ(URLProtocol::registeredClasses(), (List{loader(), protocolA(), protocolB()}));
  EXPECT_EQ(answerOfSharedSession(), VLProtocolManagerPlugin::kLoaderProtocolClassName);

  // A second loader goes right behind the first; a class registered twice is listed twice.
  EXPECT_TRUE(URLProtocol::registerClass(loader()));
  EXPECT_TRUE(URLProtocol::registerClass(protocolA()));
  EXPECT_EQ(VLProtocolManagerPlugin::protocolClasses(),
            (List{loader(), loader(), protocolA(), protocolB(), protocolA()}));
  EXPECT_EQ(URLProtocol::registeredClasses(), (List{loader(), protocolA(), protocolB()}));

  // A class that is not a URL protocol changes nothing.
  EXPECT_FALSE(URLProtocol::registerClass(std::make_shared<NotAProtocol>()));
  URLProtocol::unregisterClass(std::make_shared<NotAProtocol>());
  EXPECT_EQ(VLProtocolManagerPlugin::protocolClasses().size(), 5u);

  // Unregistering removes every occurrence, from the list and the platform.
  URLProtocol::unregisterClass(protocolA());
  EXPECT_EQ(VLProtocolManagerPlugin::protocolClasses(), (List{loader(), loader(), protocolB()}));
  EXPECT_EQ(URLProtocol::registeredClasses(), (List{loader(), protocolB()}));
}

TEST_F(VLProtocolManagerPluginTest, AClassThePlatformRefusesDoesNotLeaveTheOthersUnregistered) {
  List platformOrder;
  auto refused = protocolC();
  VLProtocolManagerPlugin::PlatformRegistration platform{
      [&](const ClassRef& classObject) {
        auto protocol = std::dynamic_pointer_cast<const URLProtocolClass>(classObject);
        if (protocol == refused) return false;
        platformOrder.insert(platformOrder.begin(), protocol);
        return true;
      },
      [&](const ClassRef& classObject) {
        std::erase(platformOrder, std::dynamic_pointer_cast<const URLProtocolClass>(classObject));
      }};
  EXPECT_TRUE(VLProtocolManagerPlugin::registerClass(protocolA(), platform));
  EXPECT_FALSE(VLProtocolManagerPlugin::registerClass(refused, platform));
  EXPECT_FALSE(VLProtocolManagerPlugin::registerClass(protocolB(), platform));
  EXPECT_EQ(VLProtocolManagerPlugin::protocolClasses(), (List{protocolA(), refused, protocolB()}));
  // Registered from the last to the first: B, then C (refused), then A all the same.
  EXPECT_EQ(platformOrder, (List{protocolA(), protocolB()}));
}

TEST_F(VLProtocolManagerPluginTest, ConcurrentRegistrationsNeverHideTheLoaderNorInterleave) {
  ASSERT_TRUE(URLProtocol::registerClass(loader()));
  std::atomic<bool> running{true};
  std::atomic<int> badOrders{0};
  std::atomic<int> observed{0};

  std::thread watcher([&] {
    while (running) {
      List order = URLProtocol::registeredClasses();
      ++observed;
      if (order.empty() || order.front() != loader() ||
          distinctInOrder(order).size() != order.size())
        ++badOrders;
    }
  });
  std::vector<std::string> answers;
  std::atomic<int> answered{0};
  std::thread requester([&] {
    while (running) {
      answers.push_back(answerOfSharedSession());
      ++answered;
    }
  });

  const List churn{protocolA(), protocolB(), protocolC(), protocolD()};
  std::vector<std::thread> registrars;
  for (const auto& protocol : churn) {
    registrars.emplace_back([protocol] {
      for (int i = 0; i < 60; ++i) {
        URLProtocol::registerClass(protocol);
        if (i % 10 == 0) URLProtocol::registerClass(loader());
        if (i % 2 == 1) URLProtocol::unregisterClass(protocol);
      }
    });
  }
  for (auto& thread : registrars) thread.join();
  URLProtocol::registerClass(protocolE());
  // On a busy machine the registrars may finish before the others ran at all.
  while (observed == 0 || answered == 0) std::this_thread::yield();
  running = false;
  watcher.join();
  requester.join();

  EXPECT_GT(observed, 0);
  EXPECT_EQ(badOrders, 0);
  ASSERT_FALSE(answers.empty());
  for (const auto& answer : answers)
    EXPECT_EQ(answer, VLProtocolManagerPlugin::kLoaderProtocolClassName);
  // Whatever the interleaving, the platform ends in the order of the list.
  List list = VLProtocolManagerPlugin::protocolClasses();
  EXPECT_EQ(list.front(), loader());
  EXPECT_EQ(list.back(), protocolE());
  EXPECT_EQ(URLProtocol::registeredClasses(), distinctInOrder(list));
}

// A caller that batches its own registrations holds the platform's registration while it
// goes through the wrapper; a plain registration on another thread goes through the wrapper
// first. Both must take the locks in one order.
TEST_F(VLProtocolManagerPluginTest, BatchedAndPlainRegistrationsOnTwoThreadsDoNotDeadlock) {
  std::atomic<int> finished{0};
  auto plain = std::thread([&] {
    for (int i = 0; i < 300; ++i) {
      URLProtocol::registerClass(protocolA());
      URLProtocol::unregisterClass(protocolA());
    }
    ++finished;
  });
  auto batched = std::thread([&] {
    for (int i = 0; i < 300; ++i) {
      URLProtocol::performRegistrationBatch([] {
        URLProtocol::registerClass(protocolB());
        URLProtocol::unregisterClass(protocolB());
      });
    }
    ++finished;
  });
  bool done = testing_support::waitUntil([&] { return finished == 2; }, 10);
  if (!done) {
    // Deadlocked threads can be neither joined nor stopped.
    plain.detach();
    batched.detach();
    FAIL() << "registrations deadlocked";
  }
  plain.join();
  batched.join();
  EXPECT_TRUE(VLProtocolManagerPlugin::protocolClasses().empty());
  EXPECT_TRUE(URLProtocol::registeredClasses().empty());
}

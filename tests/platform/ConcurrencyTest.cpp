#include <cstdint>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/NoWait.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/OperationQueue.h"
#include "support/TestSupport.h"

using namespace platform;

TEST(NotificationCenter, FiltersBySenderAndRemovesByOwner) {
  NotificationCenter center;
  int a = 0, b = 0, any = 0;
  int owner1 = 0, owner2 = 0, sender = 0;
  center.addObserver(&owner1, "n", &sender, [&](const Notification&) { ++a; });
  center.addObserver(&owner1, "m", nullptr, [&](const Notification&) { ++a; });
  center.addObserver(&owner2, "n", nullptr, [&](const Notification&) {
    ++b;
    // Removing another observer during delivery keeps it from being called.
    center.removeObserver(&owner1);
  });
  center.addObserver(&owner2, "", nullptr, [&](const Notification&) { ++any; });
  center.post("n", nullptr);  // owner1's sender filter refuses it
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 1);
  center.post("n", &sender);
  center.post("m");
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 2);
  EXPECT_EQ(any, 3);
}

TEST(MainLoop, PostsRunInOrderTimersCanBeStoppedAndCallsReturnValues) {
  std::vector<int> order;
  std::thread([&] {
    for (int i = 0; i < 100; ++i) MainLoop::post([&order, i] { order.push_back(i); });
  }).join();
  bool late = false;
  auto timer = Timer::schedule(0.01, false, [&] { late = true; });
  int repeats = 0;
  auto repeating = Timer::schedule(0.005, true, [&] { ++repeats; });
  auto cancelled = Timer::schedule(0.005, false, [&] { FAIL() << "invalidated timer fired"; });
  cancelled->invalidate();
  ASSERT_TRUE(MainLoop::runUntil([&] { return late && repeats >= 3 && order.size() == 100; }, 5));
  repeating->invalidate();
  for (int i = 0; i < 100; ++i) ASSERT_EQ(order[i], i);
  EXPECT_FALSE(timer->isValid());
  EXPECT_FALSE(MainLoop::runUntil([] { return false; }, 0.02));

  // A call returns a value from the main thread. The waiting form refuses on the main
  // thread, where it could never be answered.
  EXPECT_FALSE(MainLoop::callAndWait<int>([] { return 1; }, 1));

  std::atomic<bool> ranOnMain{false}, done{false};
  std::optional<int> answer, thrown, tooLate;
  std::thread worker([&] {
    answer = MainLoop::callAndWait<int>([&] { ranOnMain = MainLoop::isMainThread(); return 42; }, 5);
    thrown = MainLoop::callAndWait<int>([]() -> int { throw std::runtime_error("no"); }, 5);
    tooLate = MainLoop::callAndWait<int>([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      return 7;
    }, 0.05);
    done = true;
  });
  ASSERT_TRUE(MainLoop::runUntil([&] { return done.load(); }, 5));
  worker.join();
  EXPECT_EQ(answer, 42);
  EXPECT_TRUE(ranOnMain);
  EXPECT_FALSE(thrown);
  EXPECT_FALSE(tooLate);

  std::optional<std::string> delivered;
  std::thread([&] {
    MainLoop::call<std::string>([] { return std::string("hi"); }, [&](std::string v) { delivered = v; });
  }).join();
  ASSERT_TRUE(MainLoop::runUntil([&] { return delivered.has_value(); }, 5));
  EXPECT_EQ(delivered, "hi");
}

TEST(MainLoop, PostedWorkThatWaitsOnTheLoopStillSeesWhatWasPostedAfterItInOrder) {
  // Work that iterates the loop (a nested wait) must not hold up what was posted after it,
  // however the posts are grouped; a post that throws takes nothing else with it.
  std::vector<std::string> order;
  bool waited = false;
  MainLoop::post([&] {
    order.push_back("first");
    MainLoop::post([&] { order.push_back("posted by first"); });
    waited = MainLoop::runUntil([&] { return order.size() >= 4; }, 5);
    order.push_back("first done");
  });
  MainLoop::post([] { throw std::runtime_error("dropped"); });
  MainLoop::post([&] { order.push_back("second"); });
  std::thread([&] { MainLoop::post([&] { order.push_back("from a thread"); }); }).join();
  ASSERT_TRUE(MainLoop::runUntil([&] { return order.size() == 5; }, 5));
  EXPECT_TRUE(waited);
  EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "from a thread", "posted by first", "first done"}));
  // Nothing is left behind: a later post runs on its own.
  bool later = false;
  MainLoop::post([&] { later = true; });
  EXPECT_TRUE(MainLoop::runUntil([&] { return later; }, 5));
}

TEST(MainLoop, WorkReadyTogetherRunsInOneTurnAndEveryIterationNestedOrNotIsANewOne) {
  std::vector<std::uint64_t> turns(5);
  MainLoop::post([&] {
    turns[0] = MainLoop::turn();
    MainLoop::post([&] { turns[2] = MainLoop::turn(); });
  });
  MainLoop::post([&] {
    turns[1] = MainLoop::turn();
    MainLoop::drain();  // a nested wait
    turns[3] = MainLoop::turn();
    MainLoop::post([&] { turns[4] = MainLoop::turn(); });
  });
  MainLoop::turn();
  ASSERT_TRUE(MainLoop::runUntil([&] { return turns[4] != 0; }, 5));
  EXPECT_EQ(turns[0], turns[1]) << "posted together, run in one turn";
  EXPECT_NE(turns[2], turns[0]) << "posted by work, run in a later turn";
  EXPECT_NE(turns[3], turns[1]) << "a nested iteration is a turn of its own";
  EXPECT_NE(turns[4], turns[3]);
}

TEST(DispatchQueue, SerialQueueKeepsOrderSurvivesExceptionsAndEndsWhenItsWorkReleasesIt) {
  auto queue = DispatchQueue::makeSerial("com.veltro.test");
  std::vector<int> order;
  for (int i = 0; i < 50; ++i) {
    queue->async([&order, i] {
      if (i == 10) throw std::runtime_error("ignored");
      order.push_back(i);
    });
  }
  bool inside = false;
  queue->sync([&] { queue->sync([&] { inside = queue->isCurrent(); }); });  // no self-deadlock
  EXPECT_TRUE(inside);
  EXPECT_EQ(order.size(), 49u);
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));

  // A queue released by its own work item ends cleanly.
  for (int i = 0; i < 20; ++i) {
    auto released = DispatchQueue::makeSerial("com.veltro.test.self");
    std::weak_ptr<DispatchQueue> weak = released;
    std::atomic<bool> ran{false};
    released->async([released, &ran] { ran = true; });  // holds the last reference once we drop ours
    released.reset();
    ASSERT_TRUE(testing_support::waitUntil([&] { return weak.expired(); }, 5));
    EXPECT_TRUE(ran);
  }
}

TEST(OperationQueue, HonoursConcurrencyDependenciesAndCancellation) {
  auto queue = OperationQueue::make("ops", 2);
  std::atomic<int> running{0}, peak{0}, done{0};
  std::vector<std::shared_ptr<Operation>> ops;
  for (int i = 0; i < 8; ++i) {
    ops.push_back(Operation::withBlock([&] {
      int now = ++running;
      int seen = peak.load();
      while (now > seen && !peak.compare_exchange_weak(seen, now)) {
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      --running;
      ++done;
    }));
  }
  std::atomic<bool> last{false};
  auto after = Operation::withBlock([&] { last = done.load() == 8; });
  for (auto& op : ops) after->addDependency(op);
  queue->addOperation(after);
  for (auto& op : ops) queue->addOperation(op);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_LE(peak.load(), 2);
  EXPECT_TRUE(last);

  queue->setSuspended(true);
  bool ran = false;
  auto cancelled = Operation::withBlock([&] { ran = true; });
  queue->addOperation(cancelled);
  queue->cancelAllOperations();
  queue->setSuspended(false);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_FALSE(ran);
  EXPECT_TRUE(cancelled->isFinished());
}

namespace {

// An asynchronous operation that records the thread it started on and is finished by the test.
class HandedOn : public Operation {
 public:
  bool isAsynchronous() const override { return true; }
  std::thread::id startedOn;

 protected:
  void main() override { startedOn = std::this_thread::get_id(); }
};

}  // namespace

// A queue that starts operations in place runs each on the thread that makes room for it:
// the one adding it, or the one finishing the operation before it. Operations that finish as
// they start make room in one loop, not in nested calls, however many there are.
TEST(OperationQueue, StartsOperationsInPlaceOnTheThreadThatMakesRoom) {
  auto queue = OperationQueue::make("in place", 1);
  queue->setStartsOperationsInPlace(true);
  const auto here = std::this_thread::get_id();

  auto first = std::make_shared<HandedOn>();
  auto second = std::make_shared<HandedOn>();
  queue->addOperation(first);
  queue->addOperation(second);
  EXPECT_EQ(first->startedOn, here);
  EXPECT_FALSE(second->isExecuting());
  std::thread::id finisher;
  std::thread([&] {
    finisher = std::this_thread::get_id();
    first->finish();
  }).join();
  EXPECT_EQ(second->startedOn, finisher);
  second->finish();

  // Far more operations than a thread's stack has room for nested calls, all let go at once.
  constexpr int kOperations = 200000;
  std::atomic<int> done{0}, elsewhere{0};
  queue->setSuspended(true);
  for (int i = 0; i < kOperations; ++i)
    queue->addOperationWithBlock([&] {
      if (std::this_thread::get_id() != here) ++elsewhere;
      ++done;
    });
  queue->setSuspended(false);
  EXPECT_EQ(done.load(), kOperations);
  EXPECT_EQ(elsewhere.load(), 0);
  EXPECT_EQ(queue->operationCount(), 0u);
}

namespace {
void discardLine(const std::string&, void*) {}
}  // namespace

TEST(ProcessLog, AWriterStuckOnStandardErrorHoldsUpNoOtherLogger) {
  // Standard error becomes a pipe that is full and that nobody reads.
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  fcntl(ends[1], F_SETFL, O_NONBLOCK);
  const std::string block(4096, 'f');
  while (write(ends[1], block.data(), block.size()) > 0) {
  }
  fcntl(ends[1], F_SETFL, 0);
  const int savedError = dup(STDERR_FILENO);
  dup2(ends[1], STDERR_FILENO);

  std::atomic<bool> written{false};
  std::thread stuck([&] {
    platform::log("a line that waits for a reader");
    written = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // Another thread's use of the log does not wait for that write.
  auto other = std::async(std::launch::async, [] { platform::setLogSink(&discardLine, nullptr); });
  const bool prompt = other.wait_for(std::chrono::seconds(2)) == std::future_status::ready;

  // A reader at last: the stuck write ends.
  fcntl(ends[0], F_SETFL, O_NONBLOCK);
  char buffer[4096];
  testing_support::waitUntil([&] {
    while (read(ends[0], buffer, sizeof buffer) > 0) {
    }
    return written.load();
  }, 10);
  stuck.join();
  other.wait();
  platform::setLogSink(nullptr, nullptr);
  dup2(savedError, STDERR_FILENO);
  close(savedError);
  close(ends[0]);
  close(ends[1]);
  EXPECT_TRUE(prompt);
}

// A thread that must not wait takes a lock only when it is free: one held by another thread
// gives its scope up at once; outside a scope the lock is waited for as usual.
TEST(NoWait, ALockHeldElsewhereGivesTheScopeUpInsteadOfWaiting) {
  std::mutex mutex;
  std::promise<void> taken, release;
  std::thread holder([&] {
    std::lock_guard lock(mutex);
    taken.set_value();
    release.get_future().wait();
  });
  taken.get_future().wait();
  {
    platform::nowait::Scope scope;
    EXPECT_TRUE(platform::nowait::active());
    auto lock = platform::nowait::lock(mutex);
    EXPECT_FALSE(lock.owns_lock());
    EXPECT_TRUE(scope.gaveUp());
  }
  EXPECT_FALSE(platform::nowait::active() || platform::nowait::gaveUp());
  release.set_value();
  {
    auto lock = platform::nowait::lock(mutex);  // waits for the holder
    EXPECT_TRUE(lock.owns_lock());
  }
  holder.join();
  std::recursive_mutex own;
  std::lock_guard outer(own);
  platform::nowait::Scope scope;
  EXPECT_TRUE(platform::nowait::lock(mutex).owns_lock() && platform::nowait::lock(own).owns_lock());
  EXPECT_FALSE(scope.gaveUp());
}

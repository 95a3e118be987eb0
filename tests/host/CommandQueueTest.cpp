#include <unistd.h>

#include <cstdio>

#include "BridgeFixture.h"

using platform::Value;

namespace {
std::string batch(std::initializer_list<Value> commands) { return Value(commands).dump(); }
// The memory of this process that is in RAM, in bytes.
long residentBytes() {
  long pages = 0, resident = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (!statm) return -1;
  if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = -1;
  std::fclose(statm);
  return resident < 0 ? -1 : resident * sysconf(_SC_PAGESIZE);
}
Value record(const std::string& tag, double busyMs = 0) {
  return Value::array({nullptr, "Echo", "record", Value::array({tag, busyMs})});
}
}  // namespace

class CommandQueueTest : public BridgeFixture {
 protected:
  std::shared_ptr<HBRCommandQueue> queue() { return vc->commandQueue(); }
  bool waitForOrder(size_t n) {
    return platform::MainLoop::runUntil([&] { return echo()->order.size() >= n; }, 5);
  }
};

TEST_F(CommandQueueTest, LaterBatchesWaitForALargeBatchBeingDecoded) {
  std::string padding(5000, 'x');
  Value big = Value::array({nullptr, "Echo", "record", Value::array({"first", 0, padding})});
  std::string first = batch({big});
  ASSERT_GE(first.size(), HBRCommandQueue::kBackgroundDecodeThreshold);
  queue()->enqueueCommandBatch(first);
  queue()->enqueueCommandBatch(batch({record("second")}));
  queue()->enqueueCommandBatch(batch({record("third")}));
  queue()->executePending();  // the first batch may still be decoding: nothing may overtake it
  ASSERT_TRUE(waitForOrder(3));
  EXPECT_EQ(echo()->order, (std::vector<std::string>{"\"first\"", "\"second\"", "\"third\""}));
}

TEST_F(CommandQueueTest, ARunYieldsBetweenCommandsAndNeverNests) {
  echo()->reenter = true;  // every action tries to start a nested run
  queue()->enqueueCommandBatch(batch({record("a", 5), record("b", 5), record("c", 5), record("d", 5)}));
  queue()->enqueueCommandBatch(batch({record("e")}));
  queue()->executePending();
  // After more than 8 ms the run hands the main thread back with work still queued.
  EXPECT_TRUE(echo()->order.size() < 5u && !queue()->currentlyExecuting());
  ASSERT_TRUE(waitForOrder(5));
  EXPECT_EQ(echo()->order, (std::vector<std::string>{"\"a\"", "\"b\"", "\"c\"", "\"d\"", "\"e\""}));
}

// A plugin that lets the main loop turn inside its action (a synchronous evaluation does)
// gets the page's next commands after it has returned, never inside: however many messages
// arrive meanwhile, nothing nests.
TEST_F(CommandQueueTest, MessagesThatArriveWhileAnActionTurnsTheLoopWaitForIt) {
  echo()->whileSpinning = [&] {
    for (const char* tag : {"m1", "m2"}) queue()->executeJSON(record(tag), "a-document");
  };
  EXPECT_TRUE(queue()->executeJSON(record("spinning")));
  ASSERT_TRUE(waitForOrder(4));
  EXPECT_EQ(echo()->order, (std::vector<std::string>{"\"spinning\"", "end of \"spinning\"", "\"m1\"", "\"m2\""}));
  // The same inside a batch's run.
  echo()->order.clear();
  echo()->whileSpinning = [&] { queue()->executeJSON(record("m3")); };
  queue()->enqueueCommandBatch(batch({record("first"), record("second")}));
  queue()->executePending();
  ASSERT_TRUE(waitForOrder(4));
  EXPECT_EQ(echo()->order,
            (std::vector<std::string>{"\"first\"", "end of \"first\"", "\"second\"", "\"m3\""}));
}

TEST_F(CommandQueueTest, UndecodableOrNonArrayBatchesAreDroppedWithoutStallingTheQueue) {
  testing_support::LogCapture log;
  queue()->enqueueCommandBatch("[[not json");
  queue()->enqueueCommandBatch("{\"a\":1}");
  std::string largeAndBroken(5000, ' ');
  largeAndBroken.front() = '[';
  largeAndBroken.append("[1,");
  queue()->enqueueCommandBatch(largeAndBroken);
  queue()->enqueueCommandBatch("[]");
  queue()->enqueueCommandBatch(batch({Value::array({"short"}), record("survivor")}));
  queue()->executePending();
  ASSERT_TRUE(waitForOrder(1));
  EXPECT_EQ(echo()->order, (std::vector<std::string>{"\"survivor\""}));
  EXPECT_GE(log.count("ERROR: Dropping a command batch"), 3u);
  EXPECT_TRUE(log.contains("Malformed command"));
  // Bytes in a malformed command are logged by their size, not written out.
  queue()->executeJSON(Value::array({"cb", Value::object({{"data", Value::binary(platform::Bytes(1 << 20, 7))}})}));
  EXPECT_TRUE(log.contains(R"(Malformed command, expected [callbackId, service, action, arguments]: ["cb",{"data":"<1048576 bytes>"}])"));
}

TEST_F(CommandQueueTest, FaultsAreLoggedAndTheNextCommandStillRuns) {
  testing_support::LogCapture log;
  queue()->enqueueCommandBatch(batch({
      Value::array({"cb1", "Echo", "boom", Value::array()}),
      Value::array({"cb2", "Echo", "noSuchAction", Value::array()}),
      Value::array({"cb3", "Nobody", "echo", Value::array()}),
      Value::array({"cb4", "Stranger", "echo", Value::array()}),
      Value::array({"cb5", nullptr, "echo", Value::array()}),
      Value::array({nullptr, "Echo", "echo", Value::array({1})}),
      record("last"),
  }));
  queue()->executePending();
  // A slow machine (or a sanitizer) may make the run hand the main thread back half-way.
  ASSERT_TRUE(waitForOrder(1));
  EXPECT_EQ(echo()->order, (std::vector<std::string>{"\"last\""}));
  // A throwing action answers its callback with an error instead of unwinding.
  EXPECT_TRUE(log.contains("raised an exception: kaboom"));
  ASSERT_FALSE(scripts().empty());
  EXPECT_NE(scripts()[0].find("NativeCallback([\"cb1\",9,\"Exception in plugin action: kaboom\",0,0,\"headless\"])"),
            std::string::npos);
  // The last line is for the null callback id.
  for (const char* line : {"ERROR: Method 'noSuchAction:' not defined in Plugin 'Echo'",
                           "ERROR: Plugin 'Nobody' not found, or is not a HBRPlugin.",
                           "ERROR: Plugin 'Stranger' not found, or is not a HBRPlugin.",
                           "ERROR: Classname and/or methodName not found for command.",
                           "Invalid callback id received by sendPluginResult"})
    EXPECT_TRUE(log.contains(line)) << line;
}

TEST_F(CommandQueueTest, MemoryOfLargeBatchesDecodedAwayGoesBackOnceTheyHaveRun) {
  // Batches of many small commands, as a page that starts thousands of calls at once sends:
  // decoded on a worker thread, each makes about ten megabytes of small blocks there, which
  // the allocator would keep after the commands ran.
  auto many = [](int count) {
    std::string text = "[";
    for (int i = 0; i < count; ++i)
      text += std::string(i ? "," : "") + R"(["INVALID","Echo","echo",[)" + std::to_string(i) + "]]";
    return text + "]";
  };
  auto runAll = [&](const std::string& text) {
    queue()->enqueueCommandBatch(text);
    queue()->executePending();
    ASSERT_TRUE(platform::MainLoop::runUntil([&] { return !queue()->hasPendingBatches(); }, 30));
    platform::MainLoop::runFor(0.05);
  };
  std::string small = many(2000);
  ASSERT_GE(small.size(), HBRCommandQueue::kBackgroundDecodeThreshold);
  ASSERT_LT(small.size(), HBRCommandQueue::kReleaseAfterDecodedBytes);
  runAll(small);  // the worker threads and their arenas exist from here on
  long before = residentBytes();
  ASSERT_GT(before, 0);
  std::string large = many(40000);
  for (int round = 0; round < 2; ++round) runAll(large);
  // The decoding thread frees what the commands left and then, once it has been quiet for a
  // moment, gives the memory back: a bounded wait, not a fixed one.
  long kept = residentBytes() - before;
  platform::MainLoop::runUntil([&] { return (kept = residentBytes() - before) < (4L << 20); }, 2);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  (void)kept;  // the sanitizers' allocators keep memory by their own rules
#else
  EXPECT_LT(kept, 4L << 20) << "kept " << kept / 1024 << " KiB after the batches ran";
#endif
}

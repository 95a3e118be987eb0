#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/foundation/MainLoop.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELTRO_OWN_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VELTRO_OWN_ALLOCATOR 1
#endif
#endif

using platform::MainLoop;

namespace {

// Touched, so that the compiler keeps the block and its pages are really there. (Unused where
// the sanitizers bring an allocator of their own and the tests are skipped.)
[[maybe_unused]] void* filledBlock(size_t size) {
  void* block = std::malloc(size);
  if (block) std::memset(block, 1, size);
  return block;
}

}  // namespace

// A block below the limit that is freed at the top of the heap stays with the process until
// it is asked to give it back; a block above the limit has pages of its own that go back as
// soon as it is freed. (Each test runs in a fresh process, whose heap has no free block of
// this size yet: the block is made at the top.)
TEST(Allocator, KeepsFreedBlocksBelowTheLimitUntilAskedAndGivesLargerOnesBackAtOnce) {
#ifdef VELTRO_OWN_ALLOCATOR
  GTEST_SKIP() << "the sanitizers bring an allocator of their own";
#else
  MainLoop::setUpAllocator();
  const size_t medium = MainLoop::kOwnPagesFromBytes * 3 / 5;
  struct mallinfo2 before = mallinfo2();
  void* block = filledBlock(medium);
  ASSERT_NE(block, nullptr);
  struct mallinfo2 held = mallinfo2();
  EXPECT_EQ(held.hblkhd, before.hblkhd) << "a block below the limit comes from the heap";
  ASSERT_GE(held.arena, before.arena + medium) << "the block was made at the top of the heap";
  std::free(block);
  struct mallinfo2 freed = mallinfo2();
  EXPECT_GE(freed.arena, held.arena) << "the freed top was handed back at once";
  malloc_trim(0);
  EXPECT_LE(mallinfo2().arena + medium, held.arena) << "asked, the allocator gives the top back";

  const size_t large = MainLoop::kOwnPagesFromBytes * 2;
  before = mallinfo2();
  block = filledBlock(large);
  ASSERT_NE(block, nullptr);
  EXPECT_GE(mallinfo2().hblkhd, before.hblkhd + large) << "a large block has pages of its own";
  std::free(block);
  EXPECT_EQ(mallinfo2().hblkhd, before.hblkhd) << "and they go back when it is freed";
#endif
}

namespace {
// The memory of this process that is in RAM, in bytes.
[[maybe_unused]] long residentBytes() {
  long pages = 0, resident = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (!statm) return -1;
  if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = -1;
  std::fclose(statm);
  return resident < 0 ? -1 : resident * sysconf(_SC_PAGESIZE);
}
}  // namespace

// A burst of commands makes and frees tens of thousands of small blocks. Parked unmerged, they
// stall whichever thread next asks for a large block while the allocator merges them all.
TEST(Allocator, SmallBlocksAreMergedAsTheyAreFreed) {
#ifdef VELTRO_OWN_ALLOCATOR
  GTEST_SKIP() << "the sanitizers bring an allocator of their own";
#else
  MainLoop::setUpAllocator();
  std::vector<void*> blocks;
  for (int i = 0; i < 10000; ++i) blocks.push_back(filledBlock(16 + 16 * (i % 6)));
  for (void* block : blocks) std::free(block);
  EXPECT_EQ(mallinfo2().fsmblks, 0u) << "no freed small block is left unmerged";
#endif
}

// A worker that made a burst of small blocks and freed them has them merged into the free top
// of its own arena once they are merged at all, which trimming the heap alone leaves in place:
// so with the allocator as it comes (small blocks parked unmerged until a trim merges them).
TEST(Allocator, AWorkerGivesBackWhatItFreedTopOfItsOwnArenaIncluded) {
#ifdef VELTRO_OWN_ALLOCATOR
  GTEST_SKIP() << "the sanitizers bring an allocator of their own";
#else
  long kept = 0;
  std::thread worker([&] {
    // Its arena exists from the first block on; only what the burst adds is counted.
    std::free(filledBlock(64));
    long before = residentBytes();
    std::vector<void*> blocks;
    for (int i = 0; i < 200000; ++i) blocks.push_back(filledBlock(64));
    for (void* block : blocks) std::free(block);
    blocks = {};
    MainLoop::releaseFreedMemory();
    kept = residentBytes() - before;
  });
  worker.join();
  EXPECT_LT(kept, 4L << 20) << "kept " << kept / 1024 << " KiB of a burst of about 16 MiB";
#endif
}

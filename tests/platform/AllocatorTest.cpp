#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdlib>
#include <cstring>

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

// Touched, so that the compiler keeps the block and its pages are really there.
void* filledBlock(size_t size) {
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

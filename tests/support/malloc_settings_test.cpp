// The allocator's thresholds, fixed, against the way the C library moves them: a large block a
// thread frees after an earlier large block was freed must not stay resident in that thread's
// heap.
#include "support/malloc_settings.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "metrics/process_stats.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool own_allocator = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool own_allocator = true;
#else
constexpr bool own_allocator = false;
#endif
#else
constexpr bool own_allocator = false;
#endif

long resident() {
  return static_cast<long>(resident_bytes());
}

// A block of `bytes`, every page written, as the load's arrays are.
char* written_block(size_t bytes) {
  auto* block = static_cast<char*>(std::malloc(bytes));
  std::memset(block, 1, bytes);
  asm volatile("" : : "r"(block) : "memory");  // the compiler may not drop the block
  return block;
}

}  // namespace

TEST(MallocSettings, ALargeBlockFreedOnAThreadGoesBackToTheKernel) {
  if (own_allocator) {
    GTEST_SKIP() << "a sanitizer's allocator keeps freed blocks on purpose";
  }
  malloc_settings::fix_thresholds();
  constexpr size_t megabyte = size_t{1} << 20;
  long kept = 0;
  std::thread([&kept] {
    // The first large block is mapped; freeing it is what would raise the thresholds.
    std::free(written_block(24 * megabyte));
    const long before = resident();
    // Left to itself the allocator now carves this one from the thread's heap, and its free
    // top stays resident after the free and after malloc_trim.
    std::free(written_block(16 * megabyte));
    malloc_trim(0);
    kept = resident() - before;
  }).join();
  EXPECT_LT(kept, static_cast<long>(2 * megabyte));
}

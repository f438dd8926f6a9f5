// The C library allocator's two thresholds, fixed for the process's life: a block of a megabyte
// or more is mapped on its own and goes back to the kernel when freed, and a heap whose free top
// grows beyond a megabyte gives it back at once. Left to itself the allocator raises both after
// a large block is freed; later blocks of up to 32 MB then come from the heap of whichever
// thread asks, and a thread's heap keeps its free top resident (malloc_trim does not reach it).
// What stayed resident after the start-up load then depended on which thread had allocated what
// first. With the thresholds fixed it depends only on what is kept.
// Call once at the start of main, before any thread is started.
#ifndef NORVEL_MALLOC_SETTINGS_H_
#define NORVEL_MALLOC_SETTINGS_H_

#include <cstddef>

namespace malloc_settings {

constexpr std::size_t threshold_bytes = std::size_t{1} << 20;

// Fixes both thresholds at threshold_bytes (a sanitizer's own allocator ignores them).
void fix_thresholds();

}  // namespace malloc_settings

#endif  // NORVEL_MALLOC_SETTINGS_H_

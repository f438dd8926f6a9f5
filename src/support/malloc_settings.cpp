#include "support/malloc_settings.h"

#include <malloc.h>

namespace malloc_settings {

void fix_thresholds() {
  // Setting either threshold also ends the allocator's own adjusting of both.
  mallopt(M_MMAP_THRESHOLD, static_cast<int>(threshold_bytes));
  mallopt(M_TRIM_THRESHOLD, static_cast<int>(threshold_bytes));
}

}  // namespace malloc_settings

#include "support/descriptor_limit.h"

#include <sys/resource.h>

#include <algorithm>
#include <fstream>

namespace {

// The kernel's ceiling for any descriptor limit; an unlimited hard limit cannot be the soft one.
rlim_t kernel_ceiling() {
  std::ifstream in("/proc/sys/fs/nr_open");
  unsigned long long value = 0;
  return in >> value ? static_cast<rlim_t>(value) : static_cast<rlim_t>(1024 * 1024);
}

}  // namespace

descriptor_limit raise_descriptor_limit() {
  descriptor_limit figures;
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return figures;
  }
  figures.before = figures.after = limit.rlim_cur;
  const rlim_t wanted = limit.rlim_max == RLIM_INFINITY ? kernel_ceiling() : limit.rlim_max;
  if (wanted <= limit.rlim_cur) {
    return figures;
  }
  limit.rlim_cur = wanted;
  if (::setrlimit(RLIMIT_NOFILE, &limit) == 0) {
    figures.after = wanted;
  }
  return figures;
}

std::size_t connection_ceiling(std::size_t configured, std::uint64_t limit) {
  const std::uint64_t room =
      limit > reserved_descriptors * 2 ? limit - reserved_descriptors : limit / 2;
  return static_cast<std::size_t>(
      std::max<std::uint64_t>(1, std::min<std::uint64_t>(configured, room)));
}

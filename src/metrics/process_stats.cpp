#include "metrics/process_stats.h"

#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

namespace {

std::uint64_t resident_bytes_in(const std::string& statm_path) {
  std::ifstream statm(statm_path);
  unsigned long long total_pages = 0;
  unsigned long long resident_pages = 0;
  statm >> total_pages >> resident_pages;
  return resident_pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

}  // namespace

std::uint64_t resident_bytes() {
  return resident_bytes_in("/proc/self/statm");
}

std::uint64_t resident_bytes_of(long pid) {
  return resident_bytes_in("/proc/" + std::to_string(pid) + "/statm");
}

std::uint64_t open_descriptors() {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir("/proc/self/fd"), &::closedir);
  if (!dir) {
    return 0;
  }
  std::uint64_t count = 0;
  while (const dirent* entry = ::readdir(dir.get())) {
    count += entry->d_name[0] != '.';
  }
  return count > 0 ? count - 1 : 0;  // not the one opendir holds
}

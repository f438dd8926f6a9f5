#include "metrics/process_stats.h"

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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

// The number a limit file holds; 0 for "max", a missing file or anything else unreadable.
std::uint64_t limit_in(const std::string& path) {
  std::ifstream file(path);
  unsigned long long value = 0;
  return (file >> value) ? value : 0;
}

// The lowest non-zero limit in `file_name` of the group at `group` and of every group above it,
// under the hierarchy mounted at `mount`; 0 when none is set. A group path of another namespace
// (not found under the mount) leaves its levels unread, the mount's root still counts.
std::uint64_t lowest_group_limit(const std::string& mount, std::string group,
                                 const std::string& file_name) {
  std::uint64_t lowest = 0;
  while (true) {
    const std::uint64_t limit = limit_in(mount + group + "/" + file_name);
    if (limit != 0 && (lowest == 0 || limit < lowest)) {
      lowest = limit;
    }
    if (group.empty() || group == "/") {
      return lowest;
    }
    group.erase(group.rfind('/'));
  }
}

std::uint64_t machine_memory_bytes(const std::string& meminfo_path) {
  std::ifstream meminfo(meminfo_path);
  std::string key;
  unsigned long long kib = 0;
  while (meminfo >> key >> kib) {
    if (key == "MemTotal:") {
      return kib * 1024;
    }
    meminfo.ignore(64, '\n');
  }
  return 0;
}

}  // namespace

std::uint64_t memory_limit_from(const std::string& cgroup_list, const std::string& cgroup_root,
                                const std::string& meminfo) {
  std::uint64_t lowest = machine_memory_bytes(meminfo);
  std::ifstream groups(cgroup_list);
  std::string line;
  while (std::getline(groups, line)) {
    // "0::/path" (v2, unified) or "4:memory:/path" (v1, the memory controller).
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) {
      continue;
    }
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string group = line.substr(second + 1);
    std::uint64_t limit = 0;
    if (controllers.empty()) {
      limit = lowest_group_limit(cgroup_root, group, "memory.max");
    } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
      limit = lowest_group_limit(cgroup_root + "/" + controllers, group, "memory.limit_in_bytes");
    }
    if (limit != 0 && (lowest == 0 || limit < lowest)) {
      lowest = limit;
    }
  }
  return lowest;
}

std::uint64_t memory_limit_bytes() {
  // The limit is configuration, and its files cost more to read than the rest of a scrape's page
  // together: read them again at most every ten seconds.
  static std::atomic<std::int64_t> read_again_at{0};
  static std::atomic<std::uint64_t> last_read{0};
  const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
  if (now < read_again_at.load(std::memory_order_acquire)) {
    return last_read.load(std::memory_order_relaxed);
  }
  const std::uint64_t limit =
      memory_limit_from("/proc/self/cgroup", "/sys/fs/cgroup", "/proc/meminfo");
  last_read.store(limit, std::memory_order_relaxed);
  read_again_at.store(now + std::chrono::nanoseconds(std::chrono::seconds(10)).count(),
                      std::memory_order_release);
  return limit;
}

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

// What the kernel says of this process: its resident memory, its open descriptors and the memory
// it may use, read from /proc and /sys. Used by the metrics page and the benchmarks. Any thread
// may call them.
#ifndef NORVEL_PROCESS_STATS_H_
#define NORVEL_PROCESS_STATS_H_

#include <cstdint>
#include <string>

// Resident set size in bytes; 0 when /proc cannot be read.
std::uint64_t resident_bytes();
// The same of process `pid` (the tests watch the daemon they started).
std::uint64_t resident_bytes_of(long pid);
// Descriptors open now; 0 when /proc cannot be read.
std::uint64_t open_descriptors();
// The memory this process may use: the lowest limit of its control group and of the groups above
// it (cgroup v2 memory.max, v1 memory.limit_in_bytes: systemd's MemoryMax=, a container's memory
// limit), or the machine's memory when that is lower or no limit is set. 0 when none can be read.
// Read again at most every ten seconds.
std::uint64_t memory_limit_bytes();
// The same from the given files, read now: `cgroup_list` as /proc/self/cgroup, the hierarchies
// mounted under `cgroup_root` as under /sys/fs/cgroup (v1 controllers in directories named as
// the list names them), `meminfo` as /proc/meminfo.
std::uint64_t memory_limit_from(const std::string& cgroup_list, const std::string& cgroup_root,
                                const std::string& meminfo);

#endif  // NORVEL_PROCESS_STATS_H_

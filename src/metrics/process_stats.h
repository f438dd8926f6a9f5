// What the kernel says of this process: its resident memory and its open descriptors, read from
// /proc. Used by the metrics page and the benchmarks. Any thread may call them.
#ifndef NORVEL_PROCESS_STATS_H_
#define NORVEL_PROCESS_STATS_H_

#include <cstdint>

// Resident set size in bytes; 0 when /proc cannot be read.
std::uint64_t resident_bytes();
// The same of process `pid` (the tests watch the daemon they started).
std::uint64_t resident_bytes_of(long pid);
// Descriptors open now; 0 when /proc cannot be read.
std::uint64_t open_descriptors();

#endif  // NORVEL_PROCESS_STATS_H_

// The process's limit on open file descriptors. Every connection costs one, so the soft limit a
// shell or service manager hands down (often 1024) would refuse clients long before the machine
// runs out; the daemon raises it to the hard limit at start.
// Threads: call from the main thread at start-up, before other threads exist.
#ifndef NORVEL_DESCRIPTOR_LIMIT_H_
#define NORVEL_DESCRIPTOR_LIMIT_H_

#include <cstddef>
#include <cstdint>

struct descriptor_limit {
  std::uint64_t before = 0;  // the soft limit inherited
  std::uint64_t after = 0;   // the soft limit now in force
};

// Raises the soft limit on open descriptors to the hard limit (to the kernel's ceiling,
// /proc/sys/fs/nr_open, when the hard limit is unlimited). Answers both figures; when the raise
// fails, `after` is the soft limit still in force. Never throws.
descriptor_limit raise_descriptor_limit();

// Descriptors kept for everything but client connections: the listening socket, the database
// connections of the load and the inviter index, the event log, the standard streams, the event
// loop's own, and a margin for a metrics endpoint and its clients.
constexpr std::size_t reserved_descriptors = 128;

// The connections the daemon accepts at once: `configured`, or fewer when `limit` (the soft
// descriptor limit) leaves no room for them beside the reserved descriptors; at least 1.
std::size_t connection_ceiling(std::size_t configured, std::uint64_t limit);

#endif  // NORVEL_DESCRIPTOR_LIMIT_H_

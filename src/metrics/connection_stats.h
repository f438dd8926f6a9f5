// The request server's connection counters, shared by the server and its sessions and read by
// the metrics page, operators and tests.
// Threads: written on the event-loop thread only; atomic so that other threads may read them.
#ifndef NORVEL_CONNECTION_STATS_H_
#define NORVEL_CONNECTION_STATS_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

struct connection_stats {
  std::atomic<std::size_t> open_sessions{0};
  std::atomic<std::size_t> accepted{0};
  std::atomic<std::size_t> read_pauses{0};  // times a session stopped reading for a slow peer
  std::atomic<std::size_t> peak_unwritten_bytes{0};  // largest backlog of unwritten replies seen
  std::atomic<std::size_t> bad_headers{0};
  std::atomic<std::size_t> closed{0};   // sessions ended
  std::atomic<std::size_t> refused{0};  // connections turned away: out of descriptors, or too many
  std::atomic<std::size_t> paused_sessions{0};  // sessions not reading for a slow peer, now
  std::atomic<std::uint64_t> bytes_received{0};
  std::atomic<std::uint64_t> bytes_sent{0};
};

#endif  // NORVEL_CONNECTION_STATS_H_

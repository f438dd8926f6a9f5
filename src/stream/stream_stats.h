// The stream's counters and gauges for the metrics endpoint and the start-up's progress lines.
// One per node, owned by main and handed to the replica, which hands it to its parts.
// Threads: written by the consumer thread, the workers (lag at apply), the front door (event loop
// and the stream client's threads); read by anyone. Relaxed atomics: each figure is whole, not all
// of them at one instant.
#ifndef NORVEL_STREAM_STATS_H_
#define NORVEL_STREAM_STATS_H_

#include <atomic>
#include <cstdint>

#include "metrics/metrics.h"

struct stream_stats {
  std::atomic<std::uint64_t> last_sequence{0};     // the stream's last sequence, as last seen
  std::atomic<std::uint64_t> applied{0};           // messages applied
  std::atomic<std::uint64_t> skipped{0};           // messages that were not a valid change
  std::atomic<std::uint64_t> redelivered{0};       // delivered again after a reader restart
  std::atomic<std::uint64_t> publishes{0};         // front-door publishes acknowledged
  std::atomic<std::uint64_t> publish_failures{0};  // answered {"code":0}
  std::atomic<std::uint64_t> duplicates{0};        // publishes the stream already held (a retry)
  std::atomic<std::uint64_t> replay_target{0};  // the sequence the start-up replays up to; 0: done
  std::atomic<std::uint64_t> reconnects{0};     // readers made again after a failure
  std::atomic<std::int64_t> last_lag_ns{0};     // store time to applied, of the last message
  metrics::latency_histogram lag;               // the same, every message after start-up
  // A shard's node (set before the loop runs): its shard, and the reads it forwarded.
  bool sharded = false;
  std::uint32_t shard = 0;
  std::uint32_t shards = 1;
  std::atomic<std::uint64_t> forwarded{0};         // reads answered by another shard's node
  std::atomic<std::uint64_t> forward_failures{0};  // reads no node of the shard answered: code 0
};

#endif  // NORVEL_STREAM_STATS_H_

// The stream's part of the metrics page (Prometheus text format, norvel_stream_ prefix): the
// applied and last sequences, the lag in messages and in seconds (stored to applied), publishes
// and their failures, messages applied, skipped and delivered twice, and the start-up replay.
// Threads: the metrics thread; reads atomics only.
#ifndef NORVEL_STREAM_METRICS_H_
#define NORVEL_STREAM_METRICS_H_

#include <cstdint>
#include <string>

#include "stream/stream_stats.h"

// Appends the families to `page`. `applied`: the node's applied sequence; `connected`: whether
// the connection to the stream is up.
void render_stream_metrics(const stream_stats& stats, std::uint64_t applied, bool connected,
                           std::string& page);

#endif  // NORVEL_STREAM_METRICS_H_

// The metrics endpoint's page: everything the daemon counts, in the Prometheus text exposition
// format (version 0.0.4), with the norvel_ prefix, _total counters and base units (seconds,
// bytes), and the process_ metrics every Prometheus client exposes.
// Threads: called on the metrics thread; reads atomics, and the store through its shared locks.
#ifndef NORVEL_METRICS_EXPOSITION_H_
#define NORVEL_METRICS_EXPOSITION_H_

#include <string>

#include "logic_center.h"
#include "srv.h"

// What the page is made from besides the global counters; either may be null (left out).
// Neither is owned; both must outlive every render.
struct metrics_sources {
  const connection_stats* connections = nullptr;  // the request server's
  const logic_center* store = nullptr;
};

std::string render_metrics(const metrics_sources& sources);

// The content type of the page.
constexpr const char* metrics_content_type = "text/plain; version=0.0.4; charset=utf-8";

#endif  // NORVEL_METRICS_EXPOSITION_H_

// The metrics endpoint's page: everything the daemon counts, in the Prometheus text exposition
// format (version 0.0.4), with the norvel_ prefix, _total counters and base units (seconds,
// bytes), and the process_ metrics every Prometheus client exposes.
// Threads: called on the metrics thread; reads atomics, and whatever the store figures function
// reads (the daemon's reads the store's running counts, without a lock).
#ifndef NORVEL_METRICS_EXPOSITION_H_
#define NORVEL_METRICS_EXPOSITION_H_

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "metrics/connection_stats.h"
#include "metrics/store_figures.h"

// What the page is made from besides the global counters; any may be empty (left out).
// `connections` is not owned and must outlive every render; `store` and `ready` are called once
// a render.
struct metrics_sources {
  const connection_stats* connections = nullptr;  // the request server's
  std::function<store_figures()> store;
  std::function<bool()> ready;  // whether the node answers requests (loaded, caught up)
};

std::string render_metrics(const metrics_sources& sources);

// The content type of the page.
constexpr const char* metrics_content_type = "text/plain; version=0.0.4; charset=utf-8";

#endif  // NORVEL_METRICS_EXPOSITION_H_

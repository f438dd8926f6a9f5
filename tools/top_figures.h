// The arithmetic of `norvel-cli top`: a node's metrics page reduced to what the view shows, and
// what two scrapes of it say together (requests per second by operation, p50 and p99 of request
// duration and of stream lag), computed the way Prometheus's rate() and histogram_quantile() do,
// so the view and the dashboard agree.
// Threads: whoever calls; no shared state.
#ifndef NORVEL_TOP_FIGURES_H_
#define NORVEL_TOP_FIGURES_H_

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace top {

// A histogram's cumulative buckets: (upper bound, observations at or below it), ascending, the
// last bound +Inf (its count is every observation).
using buckets = std::vector<std::pair<double, double>>;

// One scrape of a node's page.
struct node_scrape {
  double at = 0;                              // when it was read, seconds on a steady clock
  std::map<std::string, double> requests;     // "act op" -> requests so far, every result
  double failed = 0;                          // requests so far whose result was not 200
  buckets durations;                          // norvel_request_duration_seconds
  buckets stream_lag;                         // norvel_stream_lag_seconds; empty without a stream
  double applied_changes = 0;                 // norvel_applied_messages_total, every worker
  double queued = 0;                          // norvel_queued_messages, every worker
  std::map<std::string, double> store_bytes;  // norvel_store_bytes by structure
  std::map<std::string, double> gauges;       // the unlabelled samples, by name
  bool has_stream = false;                    // the node is on a stream
  bool has_shards = false;                    // the node keeps one shard of a sharded site

  // An unlabelled sample's value, or `otherwise` when the page has none.
  double gauge(const std::string& name, double otherwise = -1) const;
};

// Reads a page of the text exposition format. Throws std::runtime_error when it is not a norvel
// node's page (an empty or foreign page, garbage).
node_scrape read_scrape(const std::string& page, double at);

// What happened between two scrapes of one node.
struct node_rates {
  double seconds = 0;                                    // between the scrapes
  std::vector<std::pair<std::string, double>> requests;  // "act op" per second, busiest first,
                                                         // the idle ones left out
  double requests_total = 0;                             // per second
  double failed = 0;                                     // per second, result not 200
  double applied = 0;                                    // changes applied per second
  double forwarded = 0;         // reads sent on to another shard, per second
  double forward_failures = 0;  // of those, answered code 0, per second
  double p50 = 0;               // request duration, seconds; NaN when no request was timed
  double p99 = 0;
  double lag_p50 = 0;  // stream lag, seconds; NaN without a stream or a change applied
  double lag_p99 = 0;
};

// The rates between `before` and `now` (now.at > before.at).
node_rates rates_between(const node_scrape& before, const node_scrape& now);

// How much a counter grew from `before` to `now`; a counter that went down was reset (the node
// restarted) and grew by `now` since.
double counter_increase(double before, double now);

// The q-quantile (0 <= q <= 1) of the observations in `counts`, as Prometheus's
// histogram_quantile answers it: found in the bucket it falls into by linear interpolation
// between the bucket's bounds (0 the lower bound of the first), and the highest finite bound when
// it falls into the +Inf bucket. NaN when there are no observations.
double histogram_quantile(double q, const buckets& counts);

// The per-bucket growth of a histogram between two scrapes (a reset: `now` whole).
buckets histogram_increase(const buckets& before, const buckets& now);

}  // namespace top

#endif  // NORVEL_TOP_FIGURES_H_

// The daemon's own counters for the metrics endpoint: requests by kind and result with a latency
// histogram, messages applied per worker and inviter reloads. One process-wide instance,
// metrics::global(). The event log counts its own entries by level (log_entries_written).
//
// Hot paths only add to relaxed atomics that no other writer shares a cache line with, and the
// request counters and the latency clock run only when the endpoint is on (metrics::enabled()),
// so a daemon without --metrics pays one predictable branch per request.
// Threads: writers are the event loop (requests) and the workers (their own slot each); the metrics
// thread reads everything with relaxed loads. A scrape sees each counter whole, not all counters at
// one instant, which is what Prometheus expects.
#ifndef NORVEL_METRICS_H_
#define NORVEL_METRICS_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace metrics {

// Every request is one of the known operations or "other" (an unknown action or operation), so
// the label values stay a small fixed set whatever clients send.
enum request_kind : std::uint8_t {
  follow_add,
  follow_del,
  follow_fetch,
  inviter_add,
  inviter_list,
  inviter_invitees,
  special_add,
  special_del,
  special_fetch_pub,
  special_fetch_pri,
  special_fetch_self,
  other_request,
  request_kind_count
};

// 200: dispatched; 0: failed; closed: not a request at all, the connection was closed.
enum request_result : std::uint8_t {
  result_ok,
  result_failed,
  result_closed,
  request_result_count
};

request_kind classify(std::string_view act, std::string_view op);
const char* act_label(request_kind kind);         // "follow", ..., "other"
const char* op_label(request_kind kind);          // "add", ..., "other"
const char* result_label(request_result result);  // "200", "0", "closed"

// A counter on a cache line of its own, so two writing threads never share one.
struct alignas(64) padded_counter {
  std::atomic<std::uint64_t> value{0};
  void add(std::uint64_t n = 1) { value.fetch_add(n, std::memory_order_relaxed); }
  std::uint64_t get() const { return value.load(std::memory_order_relaxed); }
};

// Request handling time, cumulative buckets in the Prometheus way (upper bounds in seconds).
class latency_histogram {
 public:
  static constexpr std::array<double, 14> bounds = {0.00001, 0.000025, 0.00005, 0.0001, 0.00025,
                                                    0.0005,  0.001,    0.0025,  0.005,  0.01,
                                                    0.025,   0.05,     0.1,     1.0};
  void observe(std::chrono::nanoseconds elapsed);
  // Observations at or below bounds[i] (cumulative); i == bounds.size() is the total count.
  std::uint64_t cumulative(std::size_t i) const;
  double sum_seconds() const;

 private:
  std::array<std::atomic<std::uint64_t>, bounds.size() + 1> counts{};  // not cumulative
  std::atomic<std::uint64_t> sum_ns{0};
};

// The last snapshot written by this node (stream mode only); shown once `taken_on` is set.
struct snapshot_figures {
  std::atomic<bool> taken_on{false};         // a snapshot taker runs
  std::atomic<double> last_written_unix{0};  // when the newest snapshot was written (or found)
  std::atomic<double> duration_seconds{0};   // the last snapshot's pause to its rename
  std::atomic<double> pause_seconds{0};      // the last dispatch pause (drain and fork)
  std::atomic<std::uint64_t> bytes{0};       // the last snapshot's size
  std::atomic<std::uint64_t> written{0};     // snapshots written
  std::atomic<std::uint64_t> failed{0};      // snapshots that could not be written
};

struct registry {
  static constexpr std::size_t max_workers = 16;
  static constexpr std::size_t level_count = 7;  // event-log levels 1 to 6; 0 for any other

  // Event-loop thread only (writes); a plain array of atomics is enough with one writer.
  std::array<std::array<std::atomic<std::uint64_t>, request_result_count>, request_kind_count>
      requests{};
  latency_histogram request_latency;
  std::array<padded_counter, max_workers> applied;  // messages applied, by worker
  std::atomic<std::uint64_t> inviter_reloads{0};    // event-loop thread writes
  snapshot_figures snapshots;                       // event-loop / main thread writes
};

registry& global();

// Whether the metrics endpoint is on; set once at start-up, before any other thread runs.
bool enabled();
void enable();

// Counting helpers for the hot paths.
inline void count_request(request_kind kind, request_result result) {
  global().requests[kind][result].fetch_add(1, std::memory_order_relaxed);
}

}  // namespace metrics

#endif  // NORVEL_METRICS_H_

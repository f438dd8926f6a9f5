#include "metrics.h"

#include <algorithm>

namespace metrics {

namespace {

struct kind_name {
  const char* act;
  const char* op;
};

constexpr std::array<kind_name, request_kind_count> kind_names = {{
    {"follow", "add"},
    {"follow", "del"},
    {"follow", "fetch"},
    {"inviter", "add"},
    {"inviter", "list"},
    {"inviter", "invitees"},
    {"special", "add"},
    {"special", "del"},
    {"special", "fetch_pub"},
    {"special", "fetch_pri"},
    {"special", "fetch_self"},
    {"other", "other"},
}};

bool metrics_on = false;

}  // namespace

request_kind classify(std::string_view act, std::string_view op) {
  for (std::size_t i = 0; i < other_request; ++i) {
    if (act == kind_names[i].act && op == kind_names[i].op) {
      return static_cast<request_kind>(i);
    }
  }
  return other_request;
}

const char* act_label(request_kind kind) {
  return kind_names[kind].act;
}

const char* op_label(request_kind kind) {
  return kind_names[kind].op;
}

const char* result_label(request_result result) {
  switch (result) {
    case result_ok:
      return "200";
    case result_failed:
      return "0";
    default:
      return "closed";
  }
}

void latency_histogram::observe(std::chrono::nanoseconds elapsed) {
  const double seconds = std::chrono::duration<double>(elapsed).count();
  const std::size_t bucket = static_cast<std::size_t>(
      std::lower_bound(bounds.begin(), bounds.end(), seconds) - bounds.begin());
  counts[bucket].fetch_add(1, std::memory_order_relaxed);
  sum_ns.fetch_add(static_cast<std::uint64_t>(std::max<std::int64_t>(elapsed.count(), 0)),
                   std::memory_order_relaxed);
}

std::uint64_t latency_histogram::cumulative(std::size_t i) const {
  std::uint64_t total = 0;
  for (std::size_t b = 0; b <= i && b < counts.size(); ++b) {
    total += counts[b].load(std::memory_order_relaxed);
  }
  return total;
}

double latency_histogram::sum_seconds() const {
  return static_cast<double>(sum_ns.load(std::memory_order_relaxed)) / 1e9;
}

registry& global() {
  static registry instance;
  return instance;
}

bool enabled() {
  return metrics_on;
}

void enable() {
  metrics_on = true;
}

}  // namespace metrics

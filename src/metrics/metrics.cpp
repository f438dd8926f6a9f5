#include "metrics/metrics.h"

#include <algorithm>
#include <cstring>

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

template <std::size_t n>
bool is(std::string_view text, const char (&word)[n]) {
  return text.size() == n - 1 && std::memcmp(text.data(), word, n - 1) == 0;
}

}  // namespace

request_kind classify(std::string_view act, std::string_view op) {
  // Runs for every request: literal lengths are known here, so each test is a length check and
  // an inlined compare, with no call.
  if (is(act, "special")) {
    if (is(op, "fetch_pri")) {
      return special_fetch_pri;
    }
    if (is(op, "fetch_pub")) {
      return special_fetch_pub;
    }
    if (is(op, "fetch_self")) {
      return special_fetch_self;
    }
    if (is(op, "add")) {
      return special_add;
    }
    return is(op, "del") ? special_del : other_request;
  }
  if (is(act, "follow")) {
    if (is(op, "fetch")) {
      return follow_fetch;
    }
    if (is(op, "add")) {
      return follow_add;
    }
    return is(op, "del") ? follow_del : other_request;
  }
  if (is(act, "inviter")) {
    if (is(op, "list")) {
      return inviter_list;
    }
    if (is(op, "invitees")) {
      return inviter_invitees;
    }
    return is(op, "add") ? inviter_add : other_request;
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

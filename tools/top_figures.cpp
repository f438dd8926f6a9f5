#include "top_figures.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include "metrics_client.h"

namespace top {

namespace {

const double nan = std::numeric_limits<double>::quiet_NaN();

// The value of label `key` in "a=\"x\",b=\"y\"", or "" when it is not there.
std::string label_value(const std::string& labels, const std::string& key) {
  const std::string wanted = key + "=\"";
  std::size_t at = 0;
  while ((at = labels.find(wanted, at)) != std::string::npos) {
    if (at == 0 || labels[at - 1] == ',') {
      std::string value;
      for (std::size_t i = at + wanted.size(); i < labels.size() && labels[i] != '"'; ++i) {
        if (labels[i] == '\\' && i + 1 < labels.size()) {
          ++i;
        }
        value += labels[i];
      }
      return value;
    }
    at += wanted.size();
  }
  return std::string();
}

double bound_of(const std::string& le) {
  if (le == "+Inf") {
    return std::numeric_limits<double>::infinity();
  }
  char* end = nullptr;
  const double bound = std::strtod(le.c_str(), &end);
  return end != le.c_str() ? bound : nan;
}

buckets histogram_of(const metric_family& family) {
  buckets found;
  for (const auto& sample : family.samples) {
    if (sample.name == family.name + "_bucket") {
      const double bound = bound_of(label_value(sample.labels, "le"));
      if (!std::isnan(bound)) {
        found.emplace_back(bound, sample.value);
      }
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

double total_of(const buckets& counts) {
  return counts.empty() ? 0 : counts.back().second;
}

}  // namespace

double node_scrape::gauge(const std::string& name, double otherwise) const {
  const auto found = gauges.find(name);
  return found != gauges.end() ? found->second : otherwise;
}

node_scrape read_scrape(const std::string& page, double at) {
  node_scrape scrape;
  scrape.at = at;
  bool norvel = false;
  for (const metric_family& family : parse_exposition(page)) {
    norvel = norvel || family.name.rfind("norvel_", 0) == 0;
    if (family.name == "norvel_request_duration_seconds") {
      scrape.durations = histogram_of(family);
      continue;
    }
    if (family.name == "norvel_stream_lag_seconds") {
      scrape.stream_lag = histogram_of(family);
      continue;
    }
    for (const auto& sample : family.samples) {
      if (sample.name == "norvel_requests_total") {
        scrape
            .requests[label_value(sample.labels, "act") + " " + label_value(sample.labels, "op")] +=
            sample.value;
        if (label_value(sample.labels, "result") != "200") {
          scrape.failed += sample.value;
        }
      } else if (sample.name == "norvel_applied_messages_total") {
        scrape.applied_changes += sample.value;
      } else if (sample.name == "norvel_queued_messages") {
        scrape.queued += sample.value;
      } else if (sample.name == "norvel_store_bytes") {
        scrape.store_bytes[label_value(sample.labels, "structure")] = sample.value;
      } else if (sample.labels.empty()) {
        scrape.gauges[sample.name] = sample.value;
      }
    }
  }
  if (!norvel) {
    throw std::runtime_error("not a norvel metrics page");
  }
  scrape.has_stream = scrape.gauges.count("norvel_stream_applied_sequence") != 0;
  scrape.has_shards = scrape.gauges.count("norvel_shard_index") != 0;
  return scrape;
}

double counter_increase(double before, double now) {
  return now >= before ? now - before : now;
}

buckets histogram_increase(const buckets& before, const buckets& now) {
  if (before.size() != now.size()) {
    return now;
  }
  buckets grown = now;
  for (std::size_t i = 0; i < now.size(); ++i) {
    if (now[i].first != before[i].first || now[i].second < before[i].second) {
      return now;  // other bounds, or a reset: everything since the start
    }
    grown[i].second = now[i].second - before[i].second;
  }
  return grown;
}

double histogram_quantile(double q, const buckets& counts) {
  if (counts.size() < 2 || !std::isinf(counts.back().first) || total_of(counts) <= 0) {
    return nan;
  }
  q = std::min(1.0, std::max(0.0, q));
  double rank = q * total_of(counts);
  std::size_t b = 0;
  while (b < counts.size() && counts[b].second < rank) {
    ++b;
  }
  if (b >= counts.size() - 1) {
    return counts[counts.size() - 2].first;
  }
  if (b == 0 && counts[0].first <= 0) {
    return counts[0].first;
  }
  double start = 0;
  double in_bucket = counts[b].second;
  if (b > 0) {
    start = counts[b - 1].first;
    in_bucket -= counts[b - 1].second;
    rank -= counts[b - 1].second;
  }
  return start + (counts[b].first - start) * (rank / in_bucket);
}

node_rates rates_between(const node_scrape& before, const node_scrape& now) {
  node_rates rates;
  rates.seconds = now.at - before.at;
  if (rates.seconds <= 0) {
    throw std::invalid_argument("rates_between: the scrapes are not in order");
  }
  for (const auto& [kind, count] : now.requests) {
    const auto earlier = before.requests.find(kind);
    const double per_second =
        counter_increase(earlier != before.requests.end() ? earlier->second : 0, count) /
        rates.seconds;
    rates.requests_total += per_second;
    if (per_second > 0) {
      rates.requests.emplace_back(kind, per_second);
    }
  }
  std::stable_sort(rates.requests.begin(), rates.requests.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  rates.failed = counter_increase(before.failed, now.failed) / rates.seconds;
  rates.applied = counter_increase(before.applied_changes, now.applied_changes) / rates.seconds;
  auto per_second = [&](const char* counter) {
    return counter_increase(before.gauge(counter, 0), now.gauge(counter, 0)) / rates.seconds;
  };
  rates.forwarded = per_second("norvel_shard_forwarded_total");
  rates.forward_failures = per_second("norvel_shard_forward_failures_total");
  const buckets durations = histogram_increase(before.durations, now.durations);
  rates.p50 = histogram_quantile(0.5, durations);
  rates.p99 = histogram_quantile(0.99, durations);
  const buckets lag = histogram_increase(before.stream_lag, now.stream_lag);
  rates.lag_p50 = histogram_quantile(0.5, lag);
  rates.lag_p99 = histogram_quantile(0.99, lag);
  return rates;
}

}  // namespace top

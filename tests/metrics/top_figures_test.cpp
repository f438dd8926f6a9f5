// The arithmetic of norvel-cli top on pages the daemon's own page writer renders: rates and
// quantiles from two scrapes against the exact figures of what was observed between them, a
// node restarted between two scrapes, the +Inf bucket as Prometheus answers it, and pages that
// are not a node's.
#include "top_figures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "metrics/metrics.h"
#include "metrics/page_writer.h"
#include "top_view.h"

namespace {

using metrics::latency_histogram;

// A page as the daemon writes one: request counters, the duration histogram, the queues.
std::string page_of(const latency_histogram& durations, unsigned long long fetches,
                    unsigned long long failed, unsigned long long applied) {
  std::string text;
  metrics::page_writer page(text);
  page.family("norvel_requests_total", "counter", "Requests.");
  page.integer("norvel_requests_total", "act=\"follow\",op=\"fetch\",result=\"200\"", fetches);
  page.integer("norvel_requests_total", "act=\"follow\",op=\"fetch\",result=\"0\"", failed);
  page.integer("norvel_requests_total", "act=\"special\",op=\"add\",result=\"200\"", 0);
  page.family("norvel_request_duration_seconds", "histogram", "Durations.");
  page.histogram("norvel_request_duration_seconds", durations);
  page.family("norvel_applied_messages_total", "counter", "Applied.");
  page.integer("norvel_applied_messages_total", "worker=\"0\"", applied / 2);
  page.integer("norvel_applied_messages_total", "worker=\"1\"", applied - applied / 2);
  page.family("norvel_store_bytes", "gauge", "Bytes.");
  page.integer("norvel_store_bytes", "structure=\"feeds\"", 4096);
  return text;
}

// The bounds of the bucket `seconds` falls into: (lower, upper].
std::pair<double, double> bucket_of(double seconds) {
  double lower = 0;
  for (const double bound : latency_histogram::bounds) {
    if (seconds <= bound) {
      return {lower, bound};
    }
    lower = bound;
  }
  return {lower, lower};  // above every bound: Prometheus answers the highest finite one
}

// Randomized: the p50 and p99 of the observations between two scrapes lie in the bucket that
// holds the exact quantile of those observations, and the rates are the counts over the time.
TEST(TopFigures, RatesAndQuantilesOfTwoScrapesMatchWhatWasObservedBetweenThem) {
  std::mt19937_64 random(20261208);
  for (int round = 0; round < 200; ++round) {
    latency_histogram durations;
    std::uniform_real_distribution<double> exponent(
        -6.0, std::uniform_int_distribution<int>(-4, 1)(random));
    auto draw = [&] { return std::pow(10.0, exponent(random)); };
    const int earlier = std::uniform_int_distribution<int>(0, 500)(random);
    for (int i = 0; i < earlier; ++i) {
      durations.observe(std::chrono::nanoseconds(static_cast<long long>(draw() * 1e9)));
    }
    const std::string first = page_of(durations, earlier, 3, 10);
    const int between = std::uniform_int_distribution<int>(1, 2000)(random);
    std::vector<double> seen;
    for (int i = 0; i < between; ++i) {
      const long long ns = static_cast<long long>(draw() * 1e9);
      durations.observe(std::chrono::nanoseconds(ns));
      seen.push_back(static_cast<double>(ns) / 1e9);
    }
    const std::string second = page_of(durations, earlier + between, 3 + between / 10, 10 + 40);

    const double seconds = std::uniform_real_distribution<double>(0.5, 3.0)(random);
    const top::node_rates rates = top::rates_between(top::read_scrape(first, 100.0),
                                                     top::read_scrape(second, 100.0 + seconds));
    EXPECT_NEAR(rates.requests_total, (between + between / 10) / seconds, 1e-9);
    EXPECT_NEAR(rates.failed, (between / 10) / seconds, 1e-9);
    EXPECT_NEAR(rates.applied, 40 / seconds, 1e-9);
    ASSERT_EQ(rates.requests.size(), 1u);  // the idle special add is left out
    EXPECT_EQ(rates.requests[0].first, "follow fetch");

    std::sort(seen.begin(), seen.end());
    for (const auto& [q, got] : {std::pair{0.5, rates.p50}, std::pair{0.99, rates.p99}}) {
      // The observation of rank ceil(q * n) is the one the bucket search lands on.
      const std::size_t rank = static_cast<std::size_t>(std::ceil(q * seen.size()));
      const auto [lower, upper] = bucket_of(seen[std::max<std::size_t>(rank, 1) - 1]);
      EXPECT_GE(got, lower) << "q " << q << " round " << round;
      EXPECT_LE(got, upper) << "q " << q << " round " << round;
    }
    EXPECT_TRUE(std::isnan(rates.lag_p99));  // no stream on this page
  }
}

TEST(TopFigures, ARestartBetweenScrapesCountsFromZeroAndQuantilesFollowPrometheus) {
  latency_histogram before_restart;
  for (int i = 0; i < 1000; ++i) {
    before_restart.observe(std::chrono::microseconds(5));
  }
  latency_histogram after_restart;
  for (int i = 0; i < 30; ++i) {
    after_restart.observe(std::chrono::milliseconds(2));  // bucket (0.001, 0.0025]
  }
  const top::node_rates rates =
      top::rates_between(top::read_scrape(page_of(before_restart, 1000, 0, 500), 10),
                         top::read_scrape(page_of(after_restart, 30, 0, 6), 12));
  EXPECT_DOUBLE_EQ(rates.requests_total, 15);
  EXPECT_DOUBLE_EQ(rates.applied, 3);
  // Rank 15 of 30, all in (0.001, 0.0025]: halfway through the bucket.
  EXPECT_DOUBLE_EQ(rates.p50, 0.00175);

  // Prometheus's own cases: the +Inf bucket answers the highest finite bound; nothing observed
  // answers NaN; a quantile in the first bucket interpolates from 0.
  EXPECT_DOUBLE_EQ(top::histogram_quantile(0.99, {{0.1, 0}, {1, 10}, {INFINITY, 100}}), 1);
  EXPECT_TRUE(std::isnan(top::histogram_quantile(0.5, {{0.1, 0}, {INFINITY, 0}})));
  EXPECT_DOUBLE_EQ(top::histogram_quantile(0.25, {{0.1, 100}, {INFINITY, 100}}), 0.025);
  EXPECT_DOUBLE_EQ(top::counter_increase(7, 3), 3);
}

TEST(TopFigures, APageThatIsNotANodesIsRefusedAndTheViewKeepsToItsWidth) {
  for (const std::string& garbage :
       {std::string(), std::string("<html><body>502 Bad Gateway</body></html>"),
        std::string("\x01\x02\xff garbage {{{\n"), std::string("go_goroutines 12\nup 1\n")}) {
    EXPECT_THROW(top::read_scrape(garbage, 0), std::runtime_error) << garbage;
  }
  latency_histogram durations;
  durations.observe(std::chrono::microseconds(40));
  top::node_state good{"127.0.0.1:9105", "", top::read_scrape(page_of(durations, 1, 0, 0), 1),
                       std::nullopt};
  good.rates = top::rates_between(*good.latest, top::read_scrape(page_of(durations, 5, 0, 0), 2));
  const top::node_state gone{"10.0.0.9:9105", "no answer in time while connecting", std::nullopt,
                             std::nullopt};
  for (std::size_t width : {20u, 45u, 80u, 200u}) {
    std::istringstream screen(top::render_screen({good, gone}, "12:00:00", width));
    std::string line;
    bool unreachable = false;
    while (std::getline(screen, line)) {
      EXPECT_LE(line.size(), width) << line;
      unreachable = unreachable || line.rfind("10.0.0.9:9105  UNREACHABLE", 0) == 0;
    }
    EXPECT_TRUE(unreachable || width < 26) << width;
  }
  EXPECT_EQ(top::render_line(gone, "T"),
            "T 10.0.0.9:9105 unreachable: no answer in time while connecting\n");
  EXPECT_NE(top::render_line(good, "T").find(" rps=4.0 "), std::string::npos)
      << top::render_line(good, "T");
}

}  // namespace

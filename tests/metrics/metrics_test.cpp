// The metrics counters and their page: the latency histogram against a plain count, the request
// labels, and the page read back by the same parser norvel-cli --stats uses.
#include "metrics/metrics.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "metrics/metrics_exposition.h"
#include "metrics/process_stats.h"
#include "metrics_client.h"
#include "support/log.h"
#include "temp_dir.h"

namespace {

TEST(LatencyHistogram, CumulativeCountsMatchAPlainCountOfRandomDurations) {
  metrics::latency_histogram histogram;
  std::mt19937_64 random(42);
  // Durations from 1 ns to about 4 s, spread over every bucket, bounds themselves included.
  std::vector<long long> durations;
  for (int i = 0; i < 5000; ++i) {
    durations.push_back(static_cast<long long>(std::exp2(random() % 32)) + random() % 1000);
  }
  for (double bound : metrics::latency_histogram::bounds) {
    durations.push_back(static_cast<long long>(bound * 1e9));
  }
  long long total_ns = 0;
  for (long long ns : durations) {
    histogram.observe(std::chrono::nanoseconds(ns));
    total_ns += ns;
  }
  const auto& bounds = metrics::latency_histogram::bounds;
  for (std::size_t i = 0; i < bounds.size(); ++i) {
    const auto expected = std::count_if(durations.begin(), durations.end(), [&](long long ns) {
      return static_cast<double>(ns) / 1e9 <= bounds[i];
    });
    EXPECT_EQ(histogram.cumulative(i), static_cast<std::uint64_t>(expected)) << bounds[i];
  }
  EXPECT_EQ(histogram.cumulative(bounds.size()), durations.size());
  EXPECT_NEAR(histogram.sum_seconds(), static_cast<double>(total_ns) / 1e9, 1e-6);
}

TEST(RequestLabels, KnownOperationsKeepTheirNamesAndEverythingElseIsOther) {
  for (int k = 0; k < metrics::other_request; ++k) {
    const auto kind = static_cast<metrics::request_kind>(k);
    EXPECT_EQ(metrics::classify(metrics::act_label(kind), metrics::op_label(kind)), kind);
  }
  EXPECT_EQ(metrics::classify("follow", "remove"), metrics::other_request);
  EXPECT_EQ(metrics::classify("nothing", "add"), metrics::other_request);
  EXPECT_EQ(metrics::classify("", ""), metrics::other_request);
  EXPECT_EQ(metrics::classify("Follow", "add"), metrics::other_request);
  EXPECT_EQ(metrics::classify(std::string("follow\0x", 8), "add"), metrics::other_request);
}

// Every sample of the page, by name and labels.
std::map<std::string, double> samples_of(const std::string& page) {
  std::map<std::string, double> found;
  for (const metric_family& family : parse_exposition(page)) {
    for (const auto& s : family.samples) {
      found[s.name + "{" + s.labels + "}"] = s.value;
    }
  }
  return found;
}

TEST(MetricsPage, ReadsBackWithTheCountsAndOneHelpAndTypePerFamily) {
  metrics::count_request(metrics::special_fetch_pri, metrics::result_ok);
  metrics::count_request(metrics::special_fetch_pri, metrics::result_ok);
  metrics::count_request(metrics::other_request, metrics::result_closed);
  connection_stats connections;
  connections.accepted = 7;
  connections.bytes_received = 12345;
  const std::string page = render_metrics(metrics_sources{&connections, nullptr, nullptr});

  const auto samples = samples_of(page);
  EXPECT_EQ(samples.at("norvel_requests_total{act=\"special\",op=\"fetch_pri\",result=\"200\"}"),
            2);
  EXPECT_EQ(samples.at("norvel_requests_total{act=\"other\",op=\"other\",result=\"closed\"}"), 1);
  EXPECT_EQ(samples.at("norvel_connections_accepted_total{}"), 7);
  EXPECT_EQ(samples.at("norvel_received_bytes_total{}"), 12345);
  EXPECT_GT(samples.at("process_resident_memory_bytes{}"), 0);

  // Each family once, typed, every sample line under its own family, names as conventions ask.
  std::map<std::string, int> seen;
  for (const metric_family& family : parse_exposition(page)) {
    EXPECT_EQ(++seen[family.name], 1) << family.name;
    EXPECT_NE(family.help, "") << family.name;
    EXPECT_NE(family.type, "untyped") << family.name;
    EXPECT_TRUE(family.name.rfind("norvel_", 0) == 0 || family.name.rfind("process_", 0) == 0);
    if (family.type == "counter") {
      EXPECT_EQ(family.name.substr(family.name.size() - 6), "_total") << family.name;
    }
  }
  EXPECT_EQ(page.back(), '\n');

  const std::string readable = format_stats(page);
  EXPECT_NE(readable.find("act=special op=fetch_pri result=200  2"), std::string::npos) << readable;
  EXPECT_NE(readable.find("12345"), std::string::npos);
}

TEST(LogEntryCounts, CountOnlyTheEntriesTheLevelLetsThrough) {
  const temp_dir scratch("norvel-metrics-log-");
  ASSERT_TRUE(init_log(scratch.path().c_str(), "norvel"));
  gLogger->set_max_level(log_info);
  const std::uint64_t debug_before = log_entries_written(log_debug);
  const std::uint64_t info_before = log_entries_written(log_info);
  log_event(log_debug, "not written");
  log_event(log_info, "written %d", 1);
  log_event(log_error, "written too");
  fini_log();  // logs "finiLog" at Debug whatever the level: how the log ends is always written
  EXPECT_EQ(log_entries_written(log_debug), debug_before + 1);
  EXPECT_EQ(log_entries_written(log_info), info_before + 1);
  EXPECT_GE(log_entries_written(log_error), 1u);
}

// The memory limit as systemd and containers set it, on both control group hierarchies: the
// lowest of the node's group, the groups above it and the machine's memory; "max", a v1
// "unlimited" and a group path of another namespace leave the machine's memory.
TEST(MemoryLimit, IsTheLowestOfTheGroupsAboveTheNodeAndTheMachine) {
  const temp_dir root("norvel-cgroups-");
  auto write = [&root](const std::string& name, const std::string& text) {
    const std::filesystem::path path = root.file(name);
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
    return path.string();
  };
  const std::string meminfo =
      write("meminfo", "MemTotal:        4194304 kB\nMemFree:  100 kB\nHugePages_Total:  0\n");
  const std::uint64_t gib = 1024ull * 1024 * 1024;
  const std::string sys = root.path() + "/sys";
  // v2: the service's own limit, then a lower one on its slice.
  const std::string v2 = write("v2", "0::/system.slice/norvel.service\n");
  write("sys/system.slice/norvel.service/memory.max", "1073741824\n");
  write("sys/system.slice/memory.max", "max\n");
  EXPECT_EQ(memory_limit_from(v2, sys, meminfo), 1 * gib);
  write("sys/system.slice/memory.max", "536870912\n");
  EXPECT_EQ(memory_limit_from(v2, sys, meminfo), gib / 2);
  // v1: the memory controller's hierarchy; "unlimited" below, 2 GiB on the container's parent.
  const std::string v1 = write("v1", "5:cpu,cpuacct:/docker/abc\n4:memory:/docker/abc\n0::/\n");
  write("sys/memory/docker/abc/memory.limit_in_bytes", "9223372036854771712\n");
  write("sys/memory/docker/memory.limit_in_bytes", "2147483648\n");
  write("sys/cpu,cpuacct/docker/abc/memory.limit_in_bytes", "1\n");  // not a memory limit
  EXPECT_EQ(memory_limit_from(v1, sys, meminfo), 2 * gib);
  // No limit anywhere, a group of another namespace, a limit above the machine's memory.
  EXPECT_EQ(memory_limit_from(write("none", "0::/user.slice/elsewhere\n"), sys, meminfo), 4 * gib);
  write("sys/memory.max", "17179869184\n");
  EXPECT_EQ(memory_limit_from(write("high", "0::/\n"), sys, meminfo), 4 * gib);
  // Nothing readable at all.
  EXPECT_EQ(memory_limit_from(root.file("missing"), sys, root.file("missing")), 0u);
}

}  // namespace

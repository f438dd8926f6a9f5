// The lag of a replicated site from a change's publish to its taking effect on every node, at a
// steady rate: two replicas in this process (each a store with its five workers, an ordered
// dispatch and a stream reader, as a node runs them) read the stream that a paced publisher
// feeds with special adds through asynchronous publishes. Per message and node the lag is the
// time from the stream storing it to the worker finishing it (one host, one clock). Prints
// p50, p99 and the maximum per node, and the publish acknowledgements' own latency.
//
//   replica_lag --servers nats://127.0.0.1:4222,... [--rate 5000] [--seconds 20] [--nodes 2]
//               [--members 100000] [--replicas 3]
// bench/replica_bench.sh starts three stream servers and runs it.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "store/logic_center.h"
#include "stream/jetstream.h"
#include "stream/ordered_dispatch.h"
#include "stream/stream_consumer.h"

namespace {

std::int64_t wall_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

struct node {
  logic_center store;
  std::unique_ptr<jetstream> stream;
  std::unique_ptr<ordered_dispatch> dispatch;
  stream_stats figures;
  std::unique_ptr<stream_consumer> reader;
  std::mutex lock;
  std::vector<double> lag_ms;
};

double percentile(std::vector<double> values, double p) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  const std::size_t at = std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()));
  return values[at];
}

}  // namespace

int main(int argc, char** argv) {
  stream_settings settings;
  settings.node = "bench";
  settings.name = "NORVEL_BENCH";
  settings.subject = "norvel.bench";
  unsigned rate = 5000, seconds = 20, nodes = 2, members = 100000;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    const std::string value = argv[i + 1];
    if (arg == "--servers") {
      std::size_t start = 0;
      while (start < value.size()) {
        const std::size_t comma = value.find(',', start);
        settings.servers.push_back(value.substr(start, comma - start));
        start = comma == std::string::npos ? value.size() : comma + 1;
      }
    } else if (arg == "--rate") {
      rate = static_cast<unsigned>(std::stoul(value));
    } else if (arg == "--seconds") {
      seconds = static_cast<unsigned>(std::stoul(value));
    } else if (arg == "--nodes") {
      nodes = static_cast<unsigned>(std::stoul(value));
    } else if (arg == "--members") {
      members = static_cast<unsigned>(std::stoul(value));
    } else if (arg == "--replicas") {
      settings.replicas = static_cast<unsigned>(std::stoul(value));
    }
  }
  if (settings.servers.empty()) {
    std::fprintf(stderr, "usage: replica_lag --servers nats://h:p,... [--rate N] [--seconds N]\n");
    return 2;
  }
  std::mutex ack_lock;
  std::vector<double> ack_ms;
  std::atomic<std::uint64_t> acked{0}, failed{0}, last_seq{0};
  std::vector<std::int64_t> sent_at;  // by counter
  jetstream publisher(settings, [&](const std::string& id, const publish_outcome& outcome) {
    const std::size_t n = std::stoul(id.substr(id.rfind('-') + 1));
    std::lock_guard<std::mutex> hold(ack_lock);
    if (outcome.ok) {
      ++acked;
      ack_ms.push_back(static_cast<double>(wall_ns() - sent_at[n]) / 1e6);
      last_seq = std::max<std::uint64_t>(last_seq, outcome.seq);
    } else {
      ++failed;
    }
  });
  const std::uint64_t start_seq = publisher.ensure_stream().last_seq;

  std::vector<std::unique_ptr<node>> replicas;
  for (unsigned i = 0; i < nodes; ++i) {
    auto each = std::make_unique<node>();
    node* self = each.get();
    self->store.start_workers();
    self->stream = std::make_unique<jetstream>(settings);
    self->dispatch = std::make_unique<ordered_dispatch>(
        [self](change_request&& change, ordered_dispatch::done_fn done) {
          const std::int64_t stored = change.stored_ns;
          self->store.queue_tracked(
              logic_center::mutation_kind::add_special, change.user, std::move(change.ids),
              std::move(change.items), [self, stored, done = std::move(done)] {
                const double lag = static_cast<double>(wall_ns() - stored) / 1e6;
                {
                  std::lock_guard<std::mutex> hold(self->lock);
                  self->lag_ms.push_back(lag);
                }
                done();
              });
        },
        [](change_request&&, ordered_dispatch::done_fn done) { done(); }, 4096, false);
    self->dispatch->start_after(start_seq);
    self->reader = std::make_unique<stream_consumer>(*self->stream, *self->dispatch, self->figures);
    self->reader->start();
    replicas.push_back(std::move(each));
  }

  const std::uint64_t total = static_cast<std::uint64_t>(rate) * seconds;
  sent_at.assign(total + 1, 0);
  std::mt19937_64 random(1);
  const auto began = std::chrono::steady_clock::now();
  for (std::uint64_t n = 1; n <= total; ++n) {
    const auto due = began + std::chrono::nanoseconds(n * 1000000000ULL / rate);
    std::this_thread::sleep_until(due);
    const std::string body = R"({"act":"special","op":"add","params":{"user_id":)" +
                             std::to_string(random() % members + 1) + R"(,"specials":[{"spid":)" +
                             std::to_string(1000000 + n) + R"(,"type":0}]}})";
    {
      std::lock_guard<std::mutex> hold(ack_lock);
      sent_at[n] = wall_ns();
    }
    std::string error;
    if (!publisher.publish_async("norvel.bench.p", body, "bench-" + std::to_string(n),
                                 std::chrono::milliseconds(5000), error)) {
      ++failed;
    }
  }
  const double publish_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  while (acked + failed < total) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  for (auto& each : replicas) {
    each->dispatch->wait_applied(last_seq, std::chrono::seconds(120));
  }
  std::printf("published %llu at %.0f/s (%llu failed); acknowledgement p50 %.2f ms p99 %.2f ms\n",
              static_cast<unsigned long long>(total), static_cast<double>(total) / publish_seconds,
              static_cast<unsigned long long>(failed.load()), percentile(ack_ms, 0.50),
              percentile(ack_ms, 0.99));
  for (std::size_t i = 0; i < replicas.size(); ++i) {
    node& each = *replicas[i];
    std::lock_guard<std::mutex> hold(each.lock);
    std::printf("node %zu: applied %zu, lag p50 %.2f ms p99 %.2f ms max %.2f ms\n", i,
                each.lag_ms.size(), percentile(each.lag_ms, 0.50), percentile(each.lag_ms, 0.99),
                percentile(each.lag_ms, 1.0));
    std::printf("RESULT node=%zu rate=%u p50_ms=%.2f p99_ms=%.2f\n", i, rate,
                percentile(each.lag_ms, 0.50), percentile(each.lag_ms, 0.99));
  }
  for (auto& each : replicas) {
    each->reader->stop();
    each->dispatch->stop();
  }
  return 0;
}

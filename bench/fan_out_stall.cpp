// What a big account's fan-out does to everybody else, in one process on the store's real
// workers. First the feeds of a member C's followers are made, one per follower (the member
// tables grow to hold them); then C adds specials back to back while an unrelated writer U, on
// C's worker (U = C mod 5), adds one of its own every few milliseconds and waits until its own
// feed shows it, and a reader thread pages feeds, C's own list and a small follow list.
// Prints the writer's visibility p50/p99/max and the readers' p50/p99/max, for the growth and
// for the fan-out.
//
//   fan_out_stall [--followers 1000000] [--adds 6] [--mode single|stream] [--caps]
//
// `single` queues the changes as a node's requests do; `stream` hands them, in one sequence,
// through the ordered dispatch as a replica's reader does (with --caps the dispatch keeps the
// order the caps need).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "store/logic_center.h"
#include "stream/ordered_dispatch.h"

namespace {

using clock_type = std::chrono::steady_clock;

double since_ms(clock_type::time_point from) {
  return std::chrono::duration<double, std::milli>(clock_type::now() - from).count();
}

struct figures {
  std::vector<double> values;
  void print(const char* what) {
    if (values.empty()) {
      std::printf("%-28s no samples\n", what);
      return;
    }
    std::sort(values.begin(), values.end());
    auto at = [&](double p) {
      return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
    };
    std::printf("%-28s n=%-8zu p50 %8.3f ms  p99 %8.3f ms  max %8.3f ms\n", what, values.size(),
                at(0.5), at(0.99), values.back());
  }
};

// Pages random feeds, C's own list and a small follow list until told to stop; each read timed.
class reader {
 public:
  reader(const logic_center& store, unsigned long first, unsigned long count, unsigned long big)
      : thread([this, &store, first, count, big] {
          std::mt19937_64 random(1);
          while (!stop) {
            const unsigned long member = first + random() % count;
            auto started = clock_type::now();
            store.fetch_pri_specials(member, ~0UL, 20, logic_center::fetch_below);
            times.push_back(since_ms(started));
            started = clock_type::now();
            store.fetch_self_specials(big, ~0UL, 20, logic_center::fetch_below);
            times.push_back(since_ms(started));
            started = clock_type::now();
            store.fetch_follow(member % 1000);
            times.push_back(since_ms(started));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
          }
        }) {}
  figures finish() {
    stop = true;
    thread.join();
    return figures{std::move(times)};
  }

 private:
  std::atomic<bool> stop{false};
  std::vector<double> times;
  std::thread thread;
};

change_request special_change(unsigned long user, unsigned long id) {
  change_request change;
  change.what = change_request::kind::add_special;
  change.user = user;
  change.items.emplace_back(id, user, 1);
  return change;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long followers = 1000000;
  int adds = 6;
  bool stream = false;
  bool capped = false;
  for (int at = 1; at < argc; ++at) {
    const std::string arg = argv[at];
    if (arg == "--followers" && at + 1 < argc) {
      followers = std::strtoul(argv[++at], nullptr, 10);
    } else if (arg == "--adds" && at + 1 < argc) {
      adds = std::atoi(argv[++at]);
    } else if (arg == "--mode" && at + 1 < argc) {
      stream = std::string(argv[++at]) == "stream";
    } else if (arg == "--caps") {
      capped = true;
    } else {
      std::fprintf(
          stderr,
          "usage: fan_out_stall [--followers N] [--adds N] [--mode single|stream] [--caps]\n");
      return 2;
    }
  }
  constexpr unsigned long big = 5;      // C, on worker 0
  constexpr unsigned long writer = 10;  // U, on worker 0 too
  const unsigned long first = 1000000;
  logic_center store;
  if (capped) {
    store.set_caps(logic_center::list_caps{100, 1000});
  }
  {
    std::vector<unsigned long> ids(followers);
    for (unsigned long i = 0; i < followers; ++i) {
      ids[i] = first + i;
    }
    store.do_add_follows(big, ids);
    std::vector<unsigned long> small{1, 2, 3};
    store.do_add_follows(writer, small);
  }
  {
    // The growth: the first special of C makes a feed for every follower.
    reader growth_reader(store, first, followers, big);
    const auto started = clock_type::now();
    std::vector<special> items{special(1, big, 1)};
    store.do_add_special(big, items);
    const double took = since_ms(started);
    figures read = growth_reader.finish();
    std::printf("growth to %zu feeds: %.0f ms\n", store.sizes().feeds, took);
    read.print("  readers");
  }
  store.start_workers();
  const auto to_workers = [&store](change_request&& change, ordered_dispatch::done_fn done) {
    store.queue_tracked(logic_center::mutation_kind::add_special, change.user,
                        std::move(change.ids), std::move(change.items), std::move(done));
  };
  ordered_dispatch dispatch(to_workers, to_workers, 256, capped);
  std::uint64_t seq = 0;
  std::mutex submit_lock;  // the dispatch takes one submitting thread
  const auto submit = [&](change_request&& change) {
    if (stream) {
      std::lock_guard<std::mutex> hold(submit_lock);
      dispatch.submit(++seq, std::move(change));
    } else if (change.user == big) {
      store.add_special(change.user, change.items);
    } else {
      store.add_special(change.user, change.items);
    }
  };

  reader fan_reader(store, first, followers, big);
  figures visible;
  std::atomic<bool> fanning{true};
  std::thread writing([&] {
    unsigned long id = 2000000000000UL;
    while (fanning) {
      ++id;
      const auto started = clock_type::now();
      submit(special_change(writer, id));
      while (store.fetch_pri_specials(writer, ~0UL, 1, logic_center::fetch_below) !=
             std::vector<unsigned long>{id}) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
      visible.values.push_back(since_ms(started));
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  });
  const auto started = clock_type::now();
  const unsigned long last = 1000 + static_cast<unsigned long>(adds);
  for (unsigned long id = 1001; id <= last; ++id) {
    submit(special_change(big, id));
  }
  while (store.fetch_pri_specials(first + followers - 1, ~0UL, 1, logic_center::fetch_below) !=
         std::vector<unsigned long>{last}) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const double took = since_ms(started);
  fanning = false;
  writing.join();
  figures read = fan_reader.finish();
  std::printf("%s%s: %d adds by C to %lu feeds: %.0f ms\n", stream ? "stream" : "single",
              capped ? " with caps" : "", adds, followers, took);
  visible.print("  unrelated writer visible");
  read.print("  readers");
  return 0;
}

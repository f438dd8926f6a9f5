// The store's hot paths: paged fetches against list length, and an add_special fanned out to the
// private feeds of many followers.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "metrics/process_stats.h"
#include "store/logic_center.h"

namespace {

constexpr unsigned long all = ~0UL;
constexpr unsigned long owner = 1;
constexpr unsigned long page_size = 20;

// `entries` public specials of one owner, ids 2, 4, ..., so that odd cursors fall between ids.
// They sit in the owner's own list, the public list and the owner's feed.
std::unique_ptr<logic_center> filled_store(unsigned long entries) {
  auto store = std::make_unique<logic_center>();
  std::vector<special> items;
  items.reserve(entries);
  for (unsigned long id = entries; id >= 1; --id) {
    items.emplace_back(id * 2, owner, 0);
  }
  store->do_add_special(owner, items);
  return store;
}

// Each iteration fetches one page at a cursor that walks over the whole list.
template <typename Fetch>
void run_fetch(benchmark::State& state, Fetch fetch) {
  const auto entries = static_cast<unsigned long>(state.range(0));
  const auto before = static_cast<long>(resident_bytes());
  auto store = filled_store(entries);
  // Three copies of every entry: own list, public list, feed.
  state.counters["bytes_per_entry"] =
      static_cast<double>(static_cast<long>(resident_bytes()) - before) /
      static_cast<double>(3 * entries);
  unsigned long cursor = 1;
  for (auto _ : state) {
    auto page = fetch(*store, cursor);
    benchmark::DoNotOptimize(page.data());
    cursor = (cursor + 7919 * 2) % (2 * entries) + 1;  // odd: between stored ids
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_FetchPubBelow(benchmark::State& state) {
  run_fetch(state, [](const logic_center& store, unsigned long cursor) {
    return store.fetch_pub_specials(cursor, page_size, logic_center::fetch_below);
  });
}

void BM_FetchPriAbove(benchmark::State& state) {
  run_fetch(state, [](const logic_center& store, unsigned long cursor) {
    return store.fetch_pri_specials(owner, cursor, page_size, logic_center::fetch_above);
  });
}

void BM_FetchSelfBelow(benchmark::State& state) {
  run_fetch(state, [](const logic_center& store, unsigned long cursor) {
    return store.fetch_self_specials(owner, cursor, page_size, logic_center::fetch_below);
  });
}

// The common client walk: the newest page first (cursor -1), every time.
void BM_FetchPubNewest(benchmark::State& state) {
  run_fetch(state, [](const logic_center& store, unsigned long) {
    return store.fetch_pub_specials(all, page_size, logic_center::fetch_below);
  });
}

BENCHMARK(BM_FetchPubBelow)->RangeMultiplier(10)->Range(1000, 1000000);
BENCHMARK(BM_FetchPubNewest)->RangeMultiplier(10)->Range(1000, 1000000);
BENCHMARK(BM_FetchPriAbove)->RangeMultiplier(10)->Range(1000, 1000000);
BENCHMARK(BM_FetchSelfBelow)->RangeMultiplier(10)->Range(1000, 1000000);

// An owner followed into `followers` feeds that already hold `feed_size` entries each (put there
// by a second member followed by all of them). Each iteration applies one add_special message of
// one public item; the matching delete runs untimed so the feeds keep their size. With `newest`
// the item's id is above every stored one (the usual case: a new post); otherwise it falls
// between stored ids.
void fan_out_add_special(benchmark::State& state, bool newest) {
  const auto followers = static_cast<unsigned long>(state.range(0));
  const auto feed_size = static_cast<unsigned long>(state.range(1));
  logic_center store;
  const unsigned long seeder = 2;
  std::vector<special> seed;
  for (unsigned long k = 0; k < feed_size; ++k) {
    seed.emplace_back(2 * k + 2, seeder, 1);
  }
  store.do_add_special(seeder, seed);
  std::vector<unsigned long> followed;
  for (unsigned long f = 0; f < followers; ++f) {
    followed.push_back(1000 + f);
  }
  auto seed_follows = followed;
  store.do_add_follows(seeder, seed_follows);
  store.do_add_follows(owner, followed);

  unsigned long next_id = newest ? 2 * feed_size + 1 : 1;  // odd ids fall between seeded ones
  for (auto _ : state) {
    std::vector<special> added{special(next_id, owner, 0)};
    store.do_add_special(owner, added);
    state.PauseTiming();
    store.do_del_special(owner, added);
    next_id = newest ? next_id + 2 : (next_id + 2) % (2 * feed_size);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations());  // messages applied
  state.counters["feeds_per_second"] = benchmark::Counter(
      static_cast<double>(state.iterations() * (followers + 1)), benchmark::Counter::kIsRate);
}

void BM_FanOutAddSpecial(benchmark::State& state) {
  fan_out_add_special(state, false);
}
void BM_FanOutNewest(benchmark::State& state) {
  fan_out_add_special(state, true);
}

BENCHMARK(BM_FanOutNewest)
    ->Args({1000, 1000})
    ->Args({10000, 1000})
    ->Args({10000, 100})
    ->Args({1000, 10000})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_FanOutAddSpecial)
    ->Args({1000, 1000})
    ->Args({10000, 1000})
    ->Args({10000, 100})
    ->Args({1000, 10000})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

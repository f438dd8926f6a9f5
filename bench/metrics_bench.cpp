// What a metrics scrape costs the daemon at a given store size: the whole page rendered, and the
// store's figures alone, from the running counts (what a scrape reads) and from a walk of every
// list (what it used to do).
#include <benchmark/benchmark.h>

#include <cstddef>
#include <map>
#include <memory>
#include <vector>

#include "app/request_adaptors.h"
#include "metrics/metrics_exposition.h"
#include "store/logic_center.h"

namespace {

// `members` members, each with one own special (in its own feed too) and one follow.
const logic_center& store_of(long members) {
  static std::map<long, std::unique_ptr<logic_center>> made;
  std::unique_ptr<logic_center>& store = made[members];
  if (!store) {
    store = std::make_unique<logic_center>();
    for (unsigned long member = 1; member <= static_cast<unsigned long>(members); ++member) {
      std::vector<special> own{special(member * 10, member, 1)};
      store->do_add_special(member, own);
      std::vector<unsigned long> follows{member + 1};
      store->do_add_follows(member, follows);
    }
  }
  return *store;
}

void BM_ScrapePage(benchmark::State& state) {
  const logic_center& store = store_of(state.range(0));
  metrics_sources sources;
  sources.store = [&store] { return store_figures_of(store); };  // as the daemon wires it
  for (auto _ : state) {
    std::string page = render_metrics(sources);
    benchmark::DoNotOptimize(page.data());
  }
}

void BM_StoreSizesCounted(benchmark::State& state) {
  const logic_center& store = store_of(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(store.sizes());
  }
}

void BM_StoreSizesWalked(benchmark::State& state) {
  const logic_center& store = store_of(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(store.walk_sizes());
  }
}

BENCHMARK(BM_ScrapePage)->Arg(20000)->Arg(1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StoreSizesCounted)->Arg(20000)->Arg(1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StoreSizesWalked)->Arg(20000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

}  // namespace

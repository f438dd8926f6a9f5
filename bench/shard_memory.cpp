// What one node of a sharded site holds, against a full node, at a given shape of site: every
// member follows by a list whose length is drawn from a power law (the members it names receive
// its specials), then every member adds its specials. The same site is built in every run; only
// the layout differs. Prints the store's own byte figures by structure, the resident memory of
// the process and the time the changes took to apply (the rate a node replays the stream at).
//
//   shard_memory [--members 200000] [--followers 50] [--specials 20] [--shards 1] [--index 0]
//                [--grow DIR]
//
// With --grow, the store is then written as a snapshot into DIR and loaded into a node of each
// half of it in a layout of twice the shards (the growth's start-up), timed.
// --followers is the mean length of a follow list (a power law with exponent 2.5 and the smallest
// length a third of the mean, cut at 10,000); --shards 1 is a full node.
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "metrics/process_stats.h"
#include "snapshot/store_snapshot.h"
#include "store/logic_center.h"

namespace {

unsigned long option(int argc, char** argv, const char* name, unsigned long fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) {
      return std::strtoul(argv[i + 1], nullptr, 10);
    }
  }
  return fallback;
}

double mib(std::uint64_t bytes) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned long members = option(argc, argv, "--members", 200000);
  const unsigned long mean = option(argc, argv, "--followers", 50);
  const unsigned long specials = option(argc, argv, "--specials", 20);
  const auto count = static_cast<std::uint32_t>(option(argc, argv, "--shards", 1));
  const auto index = static_cast<std::uint32_t>(option(argc, argv, "--index", 0));

  logic_center store;
  store.set_layout(shard_layout{shard_layout::default_partitions, count, index});
  const std::uint64_t resident_before = resident_bytes();
  std::mt19937_64 random(20261208);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::uniform_int_distribution<unsigned long> anyone(1, members);
  const double smallest = std::max(1.0, static_cast<double>(mean) / 3.0);
  unsigned long follows = 0;
  const auto started = std::chrono::steady_clock::now();
  std::vector<unsigned long> list;
  for (unsigned long member = 1; member <= members; ++member) {
    const double drawn = smallest * std::pow(1.0 - unit(random), -1.0 / 1.5);
    const auto length = static_cast<unsigned long>(std::min(drawn, 10000.0));
    list.clear();
    for (unsigned long n = 0; n < length; ++n) {
      list.push_back(anyone(random));
    }
    follows += length;
    store.do_add_follows(member, list);
  }
  unsigned long next_id = 1;
  std::vector<special> items;
  for (unsigned long member = 1; member <= members; ++member) {
    items.clear();
    for (unsigned long n = 0; n < specials; ++n) {
      items.emplace_back(next_id++, member, static_cast<unsigned char>(n % 4 == 0 ? 0 : 1));
    }
    store.do_add_special(member, items);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  malloc_trim(0);
  const logic_center::store_bytes bytes = store.bytes();
  const logic_center::store_sizes sizes = store.sizes();
  std::printf(
      "layout %u/%u members %lu mean-follows %.1f specials %lu | follow entries %llu own %llu "
      "feed entries %llu public %llu | MiB: follows %.1f own %.1f feeds %.1f public %.1f "
      "member tables %.1f | resident %.1f MiB (%.1f before) | applied in %.1f s\n",
      index, count, members, static_cast<double>(follows) / static_cast<double>(members), specials,
      static_cast<unsigned long long>(sizes.follow_entries),
      static_cast<unsigned long long>(sizes.own_entries),
      static_cast<unsigned long long>(sizes.feed_entries),
      static_cast<unsigned long long>(sizes.public_entries), mib(bytes.follow_lists),
      mib(bytes.own_lists), mib(bytes.feeds), mib(bytes.public_list), mib(bytes.member_tables),
      mib(resident_bytes()), mib(resident_before), seconds);
  const char* grow_dir = nullptr;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--grow") == 0) {
      grow_dir = argv[i + 1];
    }
  }
  if (grow_dir == nullptr) {
    return 0;
  }
  auto at = std::chrono::steady_clock::now();
  const snapshot::write_outcome written = snapshot::save_store(store, grow_dir, "GROW", 1);
  if (!written.ok) {
    std::fprintf(stderr, "snapshot: %s\n", written.error.c_str());
    return 1;
  }
  std::printf("snapshot written: %.1f MiB in %.2f s\n", mib(written.bytes),
              std::chrono::duration<double>(std::chrono::steady_clock::now() - at).count());
  for (const std::uint32_t half : {index, index + count}) {
    logic_center grown;
    grown.set_layout(shard_layout{shard_layout::default_partitions, 2 * count, half});
    at = std::chrono::steady_clock::now();
    const snapshot::load_result loaded = snapshot::load_newest(grow_dir, "GROW", grown);
    std::printf("layout %u/%u started from it: %s in %.2f s, feed entries %zu\n", half, 2 * count,
                loaded.loaded ? "loaded" : "REFUSED",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - at).count(),
                grown.sizes().feed_entries);
  }
  return 0;
}

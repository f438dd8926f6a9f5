// A shard keeps exactly its part: the same random changes applied to a full store and to every
// shard of a layout (through the appliers, and through the bulk load) leave each shard holding
// what the full store holds of its members' feeds and follow lists, every own list and the
// public list whole, and nothing of the other shards' feeds. The partition function is pinned to
// a table computed apart from it (the clients compute it too).
#include "store/shard_layout.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "shard_parts.h"
#include "store/load_plan.h"
#include "store/logic_center.h"
#include "store_image.h"

namespace {

using image = logic_center_inspector::image;
using namespace shard_parts;

TEST(ShardLayout, PartitionsAreAFixedFunctionOfTheMemberId) {
  // fmix32 of the id, modulo the partitions: worked out by hand in another language.
  const std::map<unsigned long, std::pair<std::uint32_t, std::uint32_t>> table = {
      {0, {0, 0}},
      {1, {183, 10423}},
      {2, {774, 49926}},
      {3, {39, 46119}},
      {7, {708, 44740}},
      {100, {234, 23786}},
      {12345, {476, 51676}},
      {999999, {593, 54865}},
      {2147483647, {680, 3752}},
      {4294967295, {825, 28473}}};
  for (const auto& [member, expected] : table) {
    EXPECT_EQ(shard_layout::partition_of(member, 1024), expected.first) << member;
    EXPECT_EQ(shard_layout::partition_of(member, 65536), expected.second) << member;
  }
  // Growth: shard i of S holds all of shards i and i + S of 2S, and nothing else does.
  const shard_layout half{1024, 2, 1};
  EXPECT_TRUE((shard_layout{1024, 4, 1}).contained_in(half));
  EXPECT_TRUE((shard_layout{1024, 4, 3}).contained_in(half));
  EXPECT_FALSE((shard_layout{1024, 4, 2}).contained_in(half));
  EXPECT_FALSE((shard_layout{1024, 3, 1}).contained_in(half));
  EXPECT_FALSE((shard_layout{512, 4, 1}).contained_in(half));
  EXPECT_FALSE(shard_layout{}.contained_in(half));  // a full node needs a full store
  EXPECT_TRUE(half.contained_in(shard_layout{}));
}

TEST(ShardLayout, EveryShardAppliesExactlyItsPartOfRandomChanges) {
  for (unsigned seed = 1; seed <= 30; ++seed) {
    const std::vector<change> changes = random_changes(seed, 300);
    const bool capped = seed % 3 == 0;
    const logic_center::list_caps caps{capped ? 5u : 0u, capped ? 7u : 0u};
    logic_center full;
    full.set_caps(caps);
    apply(full, changes);
    const image whole = logic_center_inspector::of(full);
    for (std::uint32_t count : {2u, 3u, 4u}) {
      for (std::uint32_t index = 0; index < count; ++index) {
        const shard_layout kept{1024, count, index};
        logic_center shard;
        shard.set_caps(caps);
        shard.set_layout(kept);
        apply(shard, changes);
        SCOPED_TRACE("seed " + std::to_string(seed));
        expect_part_of(whole, logic_center_inspector::of(shard), kept);
      }
    }
  }
}

TEST(ShardLayout, TheBulkLoadKeepsWhatTheAppliersKeep) {
  for (unsigned seed = 1; seed <= 10; ++seed) {
    std::mt19937 random(seed);
    load_plan::special_rows rows;
    std::vector<load_plan::link> links;
    for (unsigned long owner = 1; owner <= 40; ++owner) {
      for (unsigned n = random() % 4; n > 0; --n) {
        rows.add(owner, 1 + random() % 200, random() % 2 == 0);
      }
      if (owner > 1 && random() % 3 != 0) {
        links.emplace_back(owner, 1 + random() % (owner - 1));
      }
    }
    const auto load = [&](logic_center& store) {
      load_plan::special_rows copy = rows;
      std::vector<load_plan::link> links_copy = links;
      store.load_rows(std::move(copy), load_plan::link_ends(std::move(links_copy)));
    };
    logic_center full;
    load(full);
    const image whole = logic_center_inspector::of(full);
    for (std::uint32_t index = 0; index < 4; ++index) {
      const shard_layout kept{1024, 4, index};
      logic_center shard;
      shard.set_layout(kept);
      load(shard);
      SCOPED_TRACE("seed " + std::to_string(seed));
      expect_part_of(whole, logic_center_inspector::of(shard), kept);
    }
  }
}

}  // namespace

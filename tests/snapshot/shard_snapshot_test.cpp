// A shard's snapshot records its layout and starts only a node whose part it holds: its own
// shard again, or either half of it in a layout of twice the shards (the growth), each then
// holding exactly its part; a full node's snapshot starts any shard. Every other layout is
// refused and the store left empty.
#include <gtest/gtest.h>

#include "shard_parts.h"
#include "snapshot/store_snapshot.h"
#include "store_image.h"
#include "temp_dir.h"

namespace {

using namespace shard_parts;

TEST(ShardSnapshot, AShardGrowsIntoBothHalvesAndRefusesEveryOtherLayout) {
  const temp_dir dir("shard-snapshot");
  const std::vector<change> changes = random_changes(7, 400);
  logic_center full;
  apply(full, changes);
  const auto whole = logic_center_inspector::of(full);
  for (std::uint32_t index = 0; index < 2; ++index) {
    SCOPED_TRACE("shard " + std::to_string(index) + " of 2");
    const shard_layout held{1024, 2, index};
    logic_center shard;
    shard.set_layout(held);
    apply(shard, changes);
    const std::string stream = "S" + std::to_string(index);
    ASSERT_TRUE(snapshot::save_store(shard, dir.path(), stream, 10).ok);
    for (const shard_layout& grown :
         {held, shard_layout{1024, 4, index}, shard_layout{1024, 4, index + 2}}) {
      logic_center loaded;
      loaded.set_layout(grown);
      ASSERT_TRUE(snapshot::load_newest(dir.path(), stream, loaded).loaded) << grown.describe();
      expect_part_of(whole, logic_center_inspector::of(loaded), grown);
    }
    for (const shard_layout& other : {shard_layout{}, shard_layout{1024, 2, 1 - index},
                                      shard_layout{1024, 3, index}, shard_layout{512, 4, index}}) {
      logic_center refused;
      refused.set_layout(other);
      EXPECT_FALSE(snapshot::load_newest(dir.path(), stream, refused).loaded) << other.describe();
      EXPECT_EQ(refused.member_count(), 0u);
      EXPECT_EQ(refused.feed_count(), 0u);
    }
  }
  // A full node's snapshot holds every part.
  ASSERT_TRUE(snapshot::save_store(full, dir.path(), "FULL", 3).ok);
  for (std::uint32_t index = 0; index < 3; ++index) {
    logic_center loaded;
    loaded.set_layout(shard_layout{1024, 3, index});
    ASSERT_TRUE(snapshot::load_newest(dir.path(), "FULL", loaded).loaded);
    expect_part_of(whole, logic_center_inspector::of(loaded), shard_layout{1024, 3, index});
  }
}

}  // namespace

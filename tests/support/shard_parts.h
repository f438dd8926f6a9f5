// Random changes applied alike to stores of different layouts, and what a shard must then hold
// of what a full store holds: its members' feeds and whole follow lists, the friends of other
// members that are its own, every own list and the public list; no other member's feed.
#ifndef NORVEL_TESTS_SHARD_PARTS_H_
#define NORVEL_TESTS_SHARD_PARTS_H_

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "store/logic_center.h"
#include "store/shard_layout.h"
#include "store_image.h"

namespace shard_parts {

using ids = std::vector<unsigned long>;

// One random change, applied alike to every store.
struct change {
  int kind;  // 0 follow add, 1 follow del, 2 special add, 3 special del
  unsigned long user;
  ids friends;
  std::vector<special> items;
};

inline std::vector<change> random_changes(unsigned seed, std::size_t count) {
  std::mt19937 random(seed);
  auto member = [&] { return 1 + random() % 40; };
  std::vector<change> out;
  for (std::size_t n = 0; n < count; ++n) {
    change next{static_cast<int>(random() % 4), member(), {}, {}};
    const std::size_t width = 1 + random() % 6;
    for (std::size_t i = 0; i < width; ++i) {
      if (next.kind < 2) {
        next.friends.push_back(member());
      } else {
        // Few special ids, so that members share them.
        next.items.emplace_back(1 + random() % 80, next.user,
                                static_cast<unsigned char>(random() % 2));
      }
    }
    out.push_back(next);
  }
  return out;
}

inline void apply(logic_center& store, const std::vector<change>& changes) {
  for (change each : changes) {
    switch (each.kind) {
      case 0:
        store.do_add_follows(each.user, each.friends);
        break;
      case 1:
        store.do_del_follows(each.user, each.friends);
        break;
      case 2:
        store.do_add_special(each.user, each.items);
        break;
      default:
        store.do_del_special(each.user, each.items);
    }
  }
}

inline const ids& listed(const std::map<unsigned long, ids>& lists, unsigned long member) {
  static const ids none;
  const auto found = lists.find(member);
  return found == lists.end() ? none : found->second;
}

// What shard `kept` must hold, given the full store's image.
inline void expect_part_of(const logic_center_inspector::image& full,
                           const logic_center_inspector::image& shard, const shard_layout& kept) {
  ASSERT_FALSE(full.feeds.empty());
  EXPECT_EQ(shard.pub, full.pub);
  for (unsigned long member = 0; member <= 41; ++member) {
    SCOPED_TRACE(kept.describe() + ", member " + std::to_string(member));
    EXPECT_EQ(listed(shard.own, member), listed(full.own, member));
    const ids& follows = listed(full.follows, member);
    EXPECT_EQ(listed(shard.follows, member),
              kept.is_local(member) ? follows : kept.local_only(follows));
    if (kept.is_local(member)) {
      EXPECT_EQ(shard.feeds.count(member), full.feeds.count(member));
      EXPECT_EQ(listed(shard.feeds, member), listed(full.feeds, member));
    } else {
      EXPECT_EQ(shard.feeds.count(member), 0u);
    }
  }
}

}  // namespace shard_parts

#endif  // NORVEL_TESTS_SHARD_PARTS_H_

// The store's records: a special's orderings by id alone, and a member record's merges (the
// stored entry kept on equal ids, deletion by id whatever the owner).
#include <gtest/gtest.h>

#include <vector>

#include "store/special.h"
#include "store/userinfo.h"

namespace {

using ids = std::vector<unsigned long>;
constexpr unsigned long all = ~0UL;

std::vector<special> items_of(const ids& special_ids, unsigned long owner, unsigned char type) {
  std::vector<special> items;
  for (unsigned long id : special_ids) {
    items.emplace_back(id, owner, type);
  }
  return items;
}

TEST(Records, OrderingsLookAtTheIdAloneAsUnsigned64Bit) {
  const special a(5, 1, 0), b(5, 2, 9), probe(5), top(all, 1, 0);
  EXPECT_FALSE(greater_special(a, b));
  EXPECT_FALSE(less_special(a, b));
  EXPECT_TRUE(equal_special(a, b));
  EXPECT_TRUE(equal_special(probe, b));
  EXPECT_EQ(probe.member_id, 18446744073709551615UL);
  EXPECT_TRUE(greater_special(top, special(all - 1)));
  EXPECT_EQ(sizeof(special), 24u);
}

TEST(Records, MergesKeepTheStoredEntryAndDeleteByIdWhateverTheOwner) {
  userinfo user(1);
  auto first = items_of({9, 5}, 1, 1);
  user.add_special(first);
  auto again = items_of({7, 5}, 2, 0);
  user.add_special(again);
  ASSERT_EQ(user.specials().size(), 3u);
  EXPECT_EQ(user.specials()[2].member_id, 1u);
  EXPECT_EQ(user.specials()[2].reader_type, 1);
  auto gone = items_of({9, 4}, 3, 0);
  user.del_special(gone);
  ASSERT_EQ(user.specials().size(), 2u);
  EXPECT_EQ(user.specials()[0].special_id, 7u);
  EXPECT_LE(user.specials().capacity(), 2u);

  ids follows{2, 4};
  user.add_follows(follows);
  ids more{1, 4, 9};
  user.add_follows(more);
  EXPECT_EQ(user.follows(), (ids{1, 2, 4, 9}));
  ids drop{3, 4};
  user.del_follows(drop);
  EXPECT_EQ(user.follows(), (ids{1, 2, 9}));
}

}  // namespace

// The store against a plain model of its rules (std::set lists), on random mutations and
// random paged queries: ids around the 32-bit boundary and at both ends of the 64-bit range,
// members including 0 and 2^64-1, with and without caps.
#include <algorithm>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "random_ids.h"
#include "store/id_list.h"
#include "store/logic_center.h"
#include "store_image.h"
#include "store_model.h"

namespace {

using ids = std::vector<unsigned long>;
constexpr unsigned long top = ~0UL;

class StoreAgainstModel : public ::testing::TestWithParam<logic_center::list_caps> {
 protected:
  unsigned long pick(unsigned long low, unsigned long high) {
    return std::uniform_int_distribution<unsigned long>(low, high)(random);
  }
  unsigned long any_member() {
    const unsigned long members[] = {0, 1, 2, 3, 4, 5, 6, 7, 4294967296UL, top};
    return members[pick(0, 9)];
  }
  unsigned long any_special() { return any_special_id(random, 60); }
  ids some_members() {
    ids out(pick(0, 4));
    for (unsigned long& id : out) {
      id = any_member();
    }
    return out;
  }
  std::vector<special> some_items(unsigned long owner) {
    std::map<unsigned long, unsigned char> chosen;
    for (unsigned long n = pick(0, 5); n > 0; --n) {
      chosen.emplace(any_special(), static_cast<unsigned char>(pick(0, 2)));
    }
    std::vector<special> items;
    for (const auto& [id, type] : chosen) {
      items.emplace_back(id, owner, type);
      if (pick(0, 4) == 0) {
        items.emplace_back(id, owner, type);  // a repeat in the request
      }
    }
    std::shuffle(items.begin(), items.end(), random);
    return items;
  }

  void expect_same_pages(const logic_center& store, const store_model& model) {
    for (int query = 0; query < 6; ++query) {
      const unsigned long user = any_member();
      const unsigned long cursor = pick(0, 3) == 0 ? top : any_special();
      const unsigned long count = pick(0, 3) == 0 ? top : pick(0, 8);
      const bool below = pick(0, 1) == 0;
      const auto type = below ? logic_center::fetch_below : logic_center::fetch_above;
      const auto member = model.users.find(user);
      const auto feed = model.feeds.find(user);
      EXPECT_EQ(store.fetch_self_specials(user, cursor, count, type),
                member == model.users.end() ? ids() : model.page(member->second.own, cursor, count, below));
      EXPECT_EQ(store.fetch_pri_specials(user, cursor, count, type),
                feed == model.feeds.end() ? ids() : model.page(feed->second, cursor, count, below));
      EXPECT_EQ(store.fetch_pub_specials(cursor, count, type),
                model.page(model.pub, cursor, count, below));
    }
  }

  // The running counts the metrics read equal a walk of every list after each change: a
  // change the counts miss (a record or feed made, entries merged, removed or capped) shows.
  static void expect_counts_as_walked(const logic_center& store) {
    const logic_center::store_sizes counted = store.sizes();
    const logic_center::store_sizes walked = store.walk_sizes();
    EXPECT_EQ(counted.members, walked.members);
    EXPECT_EQ(counted.feeds, walked.feeds);
    EXPECT_EQ(counted.follow_entries, walked.follow_entries);
    EXPECT_EQ(counted.own_entries, walked.own_entries);
    EXPECT_EQ(counted.feed_entries, walked.feed_entries);
    EXPECT_EQ(counted.public_entries, walked.public_entries);
  }

  std::mt19937_64 random{20261207};
};

TEST_P(StoreAgainstModel, RandomMutationsAnswerAsTheModel) {
  logic_center store;
  store.set_caps(GetParam());
  store_model model(GetParam());
  for (int step = 0; step < 4000; ++step) {
    const unsigned long user = any_member();
    const bool adding = pick(0, 3) != 0;
    if (pick(0, 2) == 0) {
      ids followed = some_members();
      model.follow(user, followed, adding);
      adding ? store.do_add_follows(user, followed) : store.do_del_follows(user, followed);
    } else {
      std::vector<special> items = some_items(user);
      model.specials(user, items, adding);
      adding ? store.do_add_special(user, items) : store.do_del_special(user, items);
    }
    expect_same_pages(store, model);
    expect_counts_as_walked(store);
    if (HasFailure()) {
      FAIL() << "after step " << step;
    }
  }
  expect_store_equals_model(logic_center_inspector::of(store), model);
}

INSTANTIATE_TEST_SUITE_P(Caps, StoreAgainstModel,
                         ::testing::Values(logic_center::list_caps{0, 0},
                                           logic_center::list_caps{3, 5}));

}  // namespace

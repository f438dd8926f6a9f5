// The store against a plain model of its rules (std::set lists), on random mutations and
// random paged queries: ids around the 32-bit boundary and at both ends of the 64-bit range,
// members including 0 and 2^64-1, with and without caps. Then big accounts through the real
// workers: a change reaching many feeds goes in turns, other members' changes pass it, and the
// store still ends as the model applying every change in order.
#include "store_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "eventually.h"
#include "random_ids.h"
#include "store/id_list.h"
#include "store/logic_center.h"
#include "store_image.h"

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
                member == model.users.end() ? ids()
                                            : model.page(member->second.own, cursor, count, below));
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

// The order in which queued changes were done, as their workers report them.
class done_order {
 public:
  std::function<void()> note(std::string name) {
    return [this, name = std::move(name)] {
      std::lock_guard<std::mutex> hold(lock);
      names.push_back(name);
    };
  }
  std::vector<std::string> seen() {
    std::lock_guard<std::mutex> hold(lock);
    return names;
  }

 private:
  std::mutex lock;
  std::vector<std::string> names;
};

// Member 5 names 100,000 members in its follow list; member 10 shares its worker. Member 10's
// special, queued behind member 5's first one, is done before it; member 5's second change
// (the removal of the first) still waits for the first, so no feed keeps the special.
TEST(BigAccount, AChangeQueuedBehindABigFanOutOnItsWorkerIsDoneFirst) {
  constexpr unsigned long big = 5, other = 10, followers = 100000, first = 1000000;
  static_assert(big % logic_center::worker_count == other % logic_center::worker_count);
  logic_center store;
  ids follows(followers);
  for (unsigned long i = 0; i < followers; ++i) {
    follows[i] = first + i;
  }
  store.do_add_follows(big, follows);
  done_order order;
  using kind = logic_center::mutation_kind;
  store.queue_tracked(kind::add_special, big, {}, {special(7, big, 1)}, order.note("big add"));
  store.queue_tracked(kind::add_special, other, {}, {special(8, other, 1)}, order.note("other"));
  store.queue_tracked(kind::del_special, big, {}, {special(7, big, 1)}, order.note("big del"));
  store.start_workers();
  ASSERT_TRUE(eventually([&] { return order.seen().size() == 3; }));
  EXPECT_EQ(order.seen(), (std::vector<std::string>{"other", "big add", "big del"}));
  EXPECT_EQ(store.sizes().feeds, followers + 2);
  EXPECT_EQ(store.sizes().feed_entries, 1u) << "only member 10's own feed holds a special";
  EXPECT_EQ(store.fetch_pri_specials(other, top, 10, logic_center::fetch_below), ids{8});
  EXPECT_TRUE(store.sizes() == store.walk_sizes());
}

// Random changes of many members, two of them big accounts on one worker whose changes take many
// turns, queued to the real workers; the store ends as the model applying them in queue order.
// Each member's specials have ids of its own, so that members' changes commute (a node never
// ordered one member's changes against another's); with caps only additions are made, since
// with a cap an addition and a removal in one feed depend on their order.
class BigAccountsThroughWorkers : public ::testing::TestWithParam<logic_center::list_caps> {};

TEST_P(BigAccountsThroughWorkers, EndAsTheModelApplyingEveryChangeInOrder) {
  const logic_center::list_caps caps = GetParam();
  const bool removals = caps.feed_cap == 0 && caps.public_cap == 0;
  std::mt19937_64 random(26);
  auto pick = [&](unsigned long low, unsigned long high) {
    return std::uniform_int_distribution<unsigned long>(low, high)(random);
  };
  logic_center store;
  store.set_caps(caps);
  store.set_fan_out_turn(16);
  store_model model(caps);
  std::atomic<int> done{0};
  int queued = 0;
  auto queue = [&](logic_center::mutation_kind kind, unsigned long user, ids followed,
                   std::vector<special> items) {
    using kinds = logic_center::mutation_kind;
    if (kind == kinds::add_follow || kind == kinds::del_follow) {
      model.follow(user, followed, kind == kinds::add_follow);
    } else {
      model.specials(user, items, kind == kinds::add_special);
    }
    store.queue_tracked(kind, user, std::move(followed), std::move(items), [&done] { ++done; });
    ++queued;
  };
  constexpr unsigned long bigs[] = {5, 10};
  for (unsigned long big : bigs) {
    ids followed;
    for (unsigned long id = 100; id < 2100; ++id) {
      if (pick(0, 3) != 0) {
        followed.push_back(id);
      }
    }
    queue(logic_center::mutation_kind::add_follow, big, followed, {});
  }
  store.start_workers();  // while the rest is queued
  for (int step = 0; step < 3000; ++step) {
    const unsigned long user = pick(0, 4) == 0 ? bigs[pick(0, 1)] : pick(1, 12);
    const bool adding = !removals || pick(0, 3) != 0;
    if (pick(0, 4) == 0) {
      ids followed;
      for (unsigned long n = pick(1, 20); n > 0; --n) {
        followed.push_back(pick(0, 1) == 0 ? pick(1, 12) : pick(100, 2199));
      }
      queue(adding ? logic_center::mutation_kind::add_follow
                   : logic_center::mutation_kind::del_follow,
            user, followed, {});
    } else {
      std::vector<special> items;
      for (unsigned long n = pick(1, 3); n > 0; --n) {
        const unsigned long id = user * 1000000 + pick(0, 40);
        items.emplace_back(id, user, static_cast<unsigned char>(id % 3 == 0 ? 0 : 1));
      }
      queue(adding ? logic_center::mutation_kind::add_special
                   : logic_center::mutation_kind::del_special,
            user, {}, items);
    }
  }
  ASSERT_TRUE(eventually([&] { return done.load() == queued; }, std::chrono::seconds(120)));
  expect_store_equals_model(logic_center_inspector::of(store), model);
  EXPECT_TRUE(store.sizes() == store.walk_sizes());
}

INSTANTIATE_TEST_SUITE_P(Caps, BigAccountsThroughWorkers,
                         ::testing::Values(logic_center::list_caps{0, 0},
                                           logic_center::list_caps{3, 5}));

}  // namespace

#include "store/logic_center.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "store_image.h"
#include "support/log.h"
#include "temp_dir.h"

namespace {

using ids = std::vector<unsigned long>;
constexpr unsigned long all = ~0UL;
constexpr auto below = logic_center::fetch_below;
constexpr auto above = logic_center::fetch_above;

std::vector<special> items_of(const ids& special_ids, unsigned long owner, unsigned char type) {
  std::vector<special> items;
  for (unsigned long id : special_ids) {
    items.emplace_back(id, owner, type);
  }
  return items;
}

// Appliers called directly, as the initial load does; no worker threads.
class Store : public ::testing::Test {
 protected:
  void add(unsigned long owner, const ids& special_ids, unsigned char type = 0) {
    auto items = items_of(special_ids, owner, type);
    store.do_add_special(owner, items);
  }
  void del(unsigned long owner, const ids& special_ids, unsigned char type = 0) {
    auto items = items_of(special_ids, owner, type);
    store.do_del_special(owner, items);
  }
  void follow(unsigned long user, ids followed) { store.do_add_follows(user, followed); }
  void unfollow(unsigned long user, ids followed) { store.do_del_follows(user, followed); }
  ids self(unsigned long user) const { return store.fetch_self_specials(user, all, all, below); }
  ids feed(unsigned long user) const { return store.fetch_pri_specials(user, all, all, below); }
  ids pub() const { return store.fetch_pub_specials(all, all, below); }

  logic_center store;
};

// The same page rules on every list: 90, 70, 50, 30 stored.
TEST_F(Store, PagesFollowTheCursorCountAndDirectionRulesOnAllThreeLists) {
  add(7, {30, 90, 50, 70});
  struct row {
    unsigned long cursor;
    logic_center::fetch_type type;
    unsigned long count;
    ids expected;
  };
  const std::vector<row> table{
      {60, below, 2, {50, 30}},
      {50, below, 10, {30}},
      {30, below, 5, {}},
      {all, below, 2, {90, 70}},
      {40, above, 2, {50, 70}},
      {90, above, 3, {}},
      {0, above, 10, {30, 50, 70, 90}},
      {60, below, 0, {}},
      {60, above, 0, {}},
      {50, above, all, {70, 90}},
      {0, below, 3, {}},
      {all, above, 1, {}},
      {91, below, 1, {90}},
      {29, above, 1, {30}},
  };
  for (const row& r : table) {
    SCOPED_TRACE("cursor " + std::to_string(r.cursor) + " type " + std::to_string(r.type) +
                 " count " + std::to_string(r.count));
    EXPECT_EQ(store.fetch_self_specials(7, r.cursor, r.count, r.type), r.expected);
    EXPECT_EQ(store.fetch_pri_specials(7, r.cursor, r.count, r.type), r.expected);
    EXPECT_EQ(store.fetch_pub_specials(r.cursor, r.count, r.type), r.expected);
  }
  // Any direction other than 1 pages upwards.
  EXPECT_EQ(store.fetch_pub_specials(40, 1, static_cast<logic_center::fetch_type>(2)), ids{50});
}

TEST_F(Store, UnknownMembersGetEmptyAnswersAndNothingIsCreated) {
  unfollow(3, {});  // a record without a feed
  EXPECT_TRUE(self(4).empty());
  EXPECT_TRUE(feed(3).empty());
  EXPECT_TRUE(store.fetch_follow(4).empty());
  EXPECT_FALSE(store.has_member(4));
  EXPECT_FALSE(store.has_feed(3));
}

TEST_F(Store, FollowListsAreNormalisedAndKeepNoRepeats) {
  follow(1, {7, 3, 7, 0, 1});
  follow(1, {3});
  EXPECT_EQ(store.fetch_follow(1), (ids{0, 1, 3, 7}));
  unfollow(1, {7, 9, 7});
  EXPECT_EQ(store.fetch_follow(1), (ids{0, 1, 3}));
  follow(2, {5});  // no specials: no feed is made for the followed id
  EXPECT_FALSE(store.has_feed(5));
}

TEST_F(Store, FollowingMergesAndUnfollowingRemovesOnlyThatOwnersSpecials) {
  add(1, {10, 30}, 1);
  add(2, {20});
  follow(1, {9, 1});
  follow(2, {9});
  EXPECT_EQ(feed(9), (ids{30, 20, 10}));
  EXPECT_EQ(feed(1), (ids{30, 10}));  // self-follow merges the same entries again
  unfollow(1, {9, 1});
  EXPECT_EQ(feed(9), ids{20});
  EXPECT_TRUE(feed(1).empty());
  EXPECT_TRUE(store.has_feed(1));  // an emptied feed stays
  unfollow(2, {8});                // an id without a feed gets none
  EXPECT_FALSE(store.has_feed(8));
  unfollow(2, {9});  // deleting an id not followed still takes the owner's specials out
  follow(2, {9});
  unfollow(2, {});
  EXPECT_EQ(feed(9), ids{20});
}

TEST_F(Store, AddedSpecialsReachOwnListPublicListAndEveryFeed) {
  follow(1, {5, 6});
  add(1, {3, 9, 3, 6}, 0);
  add(1, {8}, 1);
  EXPECT_EQ(self(1), (ids{9, 8, 6, 3}));
  EXPECT_EQ(pub(), (ids{9, 6, 3}));
  for (unsigned long member : {1UL, 5UL, 6UL}) {
    EXPECT_EQ(feed(member), (ids{9, 8, 6, 3})) << member;
  }
  del(1, {9, 8}, 0);
  EXPECT_EQ(pub(), (ids{6, 3}));
  EXPECT_EQ(feed(5), (ids{6, 3}));
  EXPECT_EQ(self(1), (ids{6, 3}));
}

TEST_F(Store, StoredEntryWinsAndTheRequestsReaderTypeDecidesThePublicList) {
  add(1, {5}, 1);
  add(2, {5}, 0);  // the public list lacks id 5, so it takes this one
  EXPECT_EQ(pub(), ids{5});
  del(1, {5}, 1);  // a non-zero type leaves the public entry alone
  EXPECT_EQ(pub(), ids{5});
  EXPECT_TRUE(self(1).empty());
  del(3, {5}, 0);  // whoever the owner, type 0 removes the public entry
  EXPECT_TRUE(pub().empty());
  EXPECT_TRUE(store.has_member(3));
  EXPECT_EQ(self(2), ids{5});
}

TEST_F(Store, EmptySpecialListsCreateNothingButDeletesCreateRecords) {
  add(4, {});
  del(4, {});
  EXPECT_FALSE(store.has_member(4));
  follow(4, {});
  EXPECT_TRUE(store.has_member(4));
  del(6, {1});
  EXPECT_TRUE(store.has_member(6));
  EXPECT_FALSE(store.has_feed(6));
}

// Waits until every worker has applied all it was given before: one marker special per queue,
// queued last, is applied last by that queue's worker.
void drain(logic_center& store) {
  static unsigned long next_marker = 1UL << 60;
  for (size_t queue = 0; queue < logic_center::worker_count; ++queue) {
    const unsigned long marker_owner = logic_center::worker_count * (1UL << 48) + queue;
    ASSERT_EQ(logic_center::queue_index(marker_owner), queue);
    const unsigned long marker = next_marker++;
    store.add_special(marker_owner, {special(marker, marker_owner, 1)});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (store.fetch_self_specials(marker_owner, all, 1, below) != ids{marker}) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "worker " << queue << " stuck";
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

TEST(Workers, AddThenDeleteOfOneMemberEndsWithNothingLeft) {
  logic_center store;
  store.start_workers();
  store.add_follow(3, {4});
  for (unsigned long id = 1; id <= 3000; ++id) {
    store.add_special(3, {special(id, 3, 0)});
    store.del_special(3, {special(id, 3, 0)});
  }
  drain(store);
  EXPECT_TRUE(store.fetch_self_specials(3, all, all, below).empty());
  EXPECT_TRUE(store.fetch_pri_specials(3, all, all, below).empty());
  EXPECT_TRUE(store.fetch_pri_specials(4, all, all, below).empty());
  EXPECT_TRUE(store.fetch_pub_specials(all, all, below).empty());
}

void expect_strictly_descending(const ids& list) {
  for (size_t i = 1; i < list.size(); ++i) {
    ASSERT_GT(list[i - 1], list[i]);
  }
}

// Many members mutate through the workers while this thread reads; afterwards every list equals
// the one a single thread gets by applying each member's messages in order.
TEST(Workers, ConcurrentMutationsMatchInOrderApplicationAndKeepInvariants) {
  constexpr unsigned long members = 10;
  constexpr unsigned long rounds = 40;
  // Id parity decides the reader type, so the public list must hold even ids only.
  auto items = [](unsigned long member, unsigned long round) {
    std::vector<special> list;
    for (unsigned long k = 0; k < 3; ++k) {
      const unsigned long id = (member * 1000 + round * 3 + k) * 2 + (k == 1 ? 1 : 0);
      list.emplace_back(id, member, static_cast<unsigned char>(id % 2));
    }
    return list;
  };
  logic_center live, model;
  live.start_workers();
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (unsigned long round = 0; round < rounds; ++round) {
      for (unsigned long m = 1; m <= members; ++m) {
        ids follows{(m + round) % members + 1, m};
        auto added = items(m, round);
        auto removed = items(m, round / 2);
        live.add_follow(m, follows);
        live.add_special(m, added);
        live.del_special(m, removed);
        if (round % 4 == 3) {
          live.del_follow(m, follows);
        }
        model.do_add_follows(m, follows);
        model.do_add_special(m, added);
        model.do_del_special(m, removed);
        if (round % 4 == 3) {
          model.do_del_follows(m, follows);
        }
      }
    }
    writing = false;
  });
  do {  // the event-loop side: every page it sees is well formed
    for (unsigned long m = 1; m <= members; ++m) {
      expect_strictly_descending(live.fetch_pri_specials(m, all, 50, below));
      expect_strictly_descending(live.fetch_self_specials(m, all, 50, below));
      auto follows = live.fetch_follow(m);
      ASSERT_TRUE(std::is_sorted(follows.begin(), follows.end()));
    }
    expect_strictly_descending(live.fetch_pub_specials(all, 100, below));
    (void)live.sizes();  // a scrape beside the workers, lock-free
    std::this_thread::yield();
  } while (writing);
  writer.join();
  drain(live);
  // The running counts, kept by five workers at once, equal a walk of every list once they rest.
  EXPECT_TRUE(live.sizes() == live.walk_sizes());
  EXPECT_GT(live.sizes().feed_entries, 0u);
  const ids public_list = live.fetch_pub_specials(all, all, below);
  expect_strictly_descending(public_list);
  for (unsigned long id : public_list) {
    ASSERT_EQ(id % 2, 0u) << "reader type 1 in the public list: " << id;
  }
  EXPECT_EQ(public_list, model.fetch_pub_specials(all, all, below));
  for (unsigned long m = 1; m <= members; ++m) {
    EXPECT_EQ(live.fetch_follow(m), model.fetch_follow(m)) << m;
    EXPECT_EQ(live.fetch_self_specials(m, all, all, below),
              model.fetch_self_specials(m, all, all, below))
        << m;
    EXPECT_EQ(live.fetch_pri_specials(m, all, all, below),
              model.fetch_pri_specials(m, all, all, below))
        << m;
  }
}

// The worker lines of the event log, read back from a log in a private directory.
class WorkerLog : public ::testing::Test {
 protected:
  void SetUp() override { path = event_log.current_path(); }
  // Debug entries whose message is exactly `text`.
  int count(const std::string& text) const {
    std::ifstream in(path);
    int found = 0;
    for (std::string line; std::getline(in, line);) {
      if (line.size() >= text.size() + 2 &&
          line.compare(line.size() - text.size() - 1, text.size() + 1, text + "\r") == 0 &&
          line.find("\tDebug:\t" + text + "\r") != std::string::npos) {
        ++found;
      }
    }
    return found;
  }

  temp_log event_log{"norvel", "norvel_lc_"};
  std::string path;
};

TEST_F(WorkerLog, IdleWorkersStartAndQuitFiveTimes) {
  {
    logic_center store;
    store.start_workers();
    store.add_special(1, {special(2, 1, 0)});
    drain(store);
  }
  EXPECT_EQ(count("logic_center::worker start"), 5);
  EXPECT_EQ(count("logic_center::worker quit"), 5);
  EXPECT_EQ(count("worker"), 1 + 5);  // one message and the five markers
  EXPECT_EQ(count("add_special"), 1 + 5);
  EXPECT_EQ(count("do_add_special"), 1 + 5);
}

TEST_F(WorkerLog, ShutdownWithQueuedMessagesDropsThemAndJoins) {
  {
    logic_center store;
    store.start_workers();
    {
      // The workers wait on the lock while the queues fill, so most messages are still queued
      // when the store goes.
      annotated::unique_lock hold(logic_center_inspector::users_lock(store));
      for (unsigned long id = 0; id < 20000; ++id) {
        store.add_special(id % 10, {special(id, id % 10, 0)});
      }
    }
  }
  EXPECT_EQ(count("logic_center::worker quit"), 5);
  EXPECT_LT(count("worker"), 20000);
}

}  // namespace

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "db/initial_load.h"
#include "db/load_stop.h"
#include "locked_tables.h"
#include "store/logic_center.h"
#include "store_image.h"
#include "support/app_config.h"
#include "support/object_manager.h"
#include "test_db.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ids = std::vector<unsigned long>;
constexpr unsigned long all = ~0UL;
constexpr auto below = logic_center::fetch_below;

class InitialLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    object_manager::init();
    db.configure_app();
    store = std::make_unique<logic_center>();
  }
  void TearDown() override {
    store.reset();
    object_manager::fini();
  }

  // init_data() with its standard output captured.
  std::string load(logic_center& target) {
    ::testing::internal::CaptureStdout();
    init_data(target, singleton<app_cfg>::instance()->db);
    return ::testing::internal::GetCapturedStdout();
  }
  std::string load() { return load(*store); }

  void add_special_row(int special_id, int member_id, int reader_type, int from_user = 1,
                       int state = 0) {
    db.exec(
        "INSERT INTO brix_mb_special (special_id, member_id, reader_type, from_user, state) "
        "VALUES (" +
        std::to_string(special_id) + "," + std::to_string(member_id) + "," +
        std::to_string(reader_type) + "," + std::to_string(from_user) + "," +
        std::to_string(state) + ")");
  }

  // An id column as the load reads it: NULL is 0, a negative number wraps to 64 bits.
  static unsigned long id_of(const std::string& text) {
    return text == "NULL" ? 0 : std::strtoull(text.c_str(), nullptr, 10);
  }
  // A member-table id that counts: not NULL, not negative, not 0.
  static bool positive(const std::string& text) {
    return text != "NULL" && text[0] != '-' && id_of(text) != 0;
  }

  // The same rows applied the slow way: one applier call per row, in the loader's row order.
  void load_row_by_row(logic_center& target) {
    for (const auto& row :
         db.query("SELECT special_id,member_id,reader_type FROM brix_mb_special "
                  "WHERE from_user=1 and state = 0 ORDER BY member_id ASC, special_id ASC")) {
      const int reader_type = std::atoi(row[2].c_str());  // "NULL" reads as 0
      if (reader_type == 2) {
        continue;
      }
      const unsigned long owner = id_of(row[1]);
      std::vector<special> one{
          special(id_of(row[0]), owner, static_cast<unsigned char>(reader_type))};
      target.do_add_special(owner, one);
    }
    for (const auto& row :
         db.query("SELECT member_id,inviter_id FROM brix_member ORDER BY member_id ASC")) {
      if (!positive(row[0]) || !positive(row[1])) {
        continue;
      }
      ids inviter{id_of(row[1])};
      ids member{id_of(row[0])};
      target.do_add_follows(id_of(row[0]), inviter);
      target.do_add_follows(id_of(row[1]), member);
    }
  }

  // Random rows over 64-bit columns that allow NULL and repeats: owners and members from a pool
  // of small, past-31-bit, past-32-bit, negative and NULL ids; members without rows, members
  // inviting themselves, repeated member rows, and the same special twice for one owner.
  void fill_random_tables(unsigned seed) {
    db.exec("DELETE FROM brix_mb_special; DELETE FROM brix_member");
    std::mt19937 random(seed);
    auto pick = [&random](long low, long high) {
      return std::uniform_int_distribution<long>(low, high)(random);
    };
    auto member = [&pick]() -> std::string {
      switch (pick(0, 19)) {
        case 0:
          return "NULL";
        case 1:
          return std::to_string(-pick(1, 3));
        case 2:
          return std::to_string(3000000000L + pick(0, 5));
        case 3:
          return std::to_string(5000000000L + pick(0, 5));
        case 4:
          return "0";
        default:
          return std::to_string(pick(1, 400));
      }
    };
    std::string specials;
    for (int i = 0; i < 3000; ++i) {
      std::string special_id = std::to_string(pick(1, 2500));
      if (pick(0, 29) == 0)
        special_id = "NULL";
      if (pick(0, 29) == 0)
        special_id = std::to_string(-pick(1, 50));
      if (pick(0, 29) == 0)
        special_id = std::to_string(4294967296L + pick(0, 100));
      const char* reader_types[] = {"0", "0", "0", "1", "1", "2", "5", "258", "NULL"};
      specials += std::string(specials.empty() ? "(" : ",(") + special_id + "," + member() + "," +
                  reader_types[pick(0, 8)] + "," + (pick(0, 9) == 0 ? "0" : "1") + "," +
                  (pick(0, 9) == 0 ? "1" : "0") + ")";
    }
    db.exec(
        "INSERT INTO brix_mb_special (special_id, member_id, reader_type, from_user, state) "
        "VALUES " +
        specials);
    std::string members;
    for (int i = 0; i < 1200; ++i) {
      const std::string id = member();
      const long kind = pick(0, 9);
      const std::string inviter = kind == 0   ? id
                                  : kind == 1 ? std::to_string(pick(401, 600))
                                              : member();
      members += std::string(members.empty() ? "(" : ",(") + id + "," + inviter + ")";
    }
    db.exec("INSERT INTO brix_member (member_id, inviter_id) VALUES " + members);
  }

  test_db db{"load"};
  std::unique_ptr<logic_center> store;
};

TEST_F(InitialLoad, EmptyTablesPrintTheFourLinesAndLoadNothing) {
  EXPECT_EQ(load(), "init_data start\ninit_specials\ninit_follow\ninit_data end\n");
  const auto image = logic_center_inspector::of(*store);
  EXPECT_TRUE(image.follows.empty());
  EXPECT_TRUE(image.feeds.empty());
  EXPECT_TRUE(image.pub.empty());
}

TEST_F(InitialLoad, OnlyMembersOwnLiveSpecialsAreLoadedAndOnlyPublicOnesArePublic) {
  add_special_row(10, 5, 0);
  add_special_row(11, 5, 1);
  add_special_row(12, 5, 2);        // reader type 2: never loaded
  add_special_row(13, 5, 0, 0, 0);  // not from a member
  add_special_row(14, 5, 0, 1, 1);  // not live
  add_special_row(20, 6, 2);        // an owner with nothing loadable gets no record
  db.exec("INSERT INTO brix_mb_special (special_id, member_id, reader_type) VALUES (30, 8, NULL)");
  load();
  EXPECT_THAT(store->fetch_self_specials(5, all, 10, below), ElementsAre(11, 10));
  EXPECT_THAT(store->fetch_pri_specials(5, all, 10, below), ElementsAre(11, 10));
  EXPECT_THAT(store->fetch_pub_specials(all, 10, below), ElementsAre(30, 10))
      << "a NULL reader type reads as 0, public";
  EXPECT_FALSE(store->has_member(6));
  EXPECT_FALSE(store->has_feed(6));
}

TEST_F(InitialLoad, InvitedMembersFollowEachOtherAndShareTheirSpecials) {
  db.exec(
      "INSERT INTO brix_member (member_id, inviter_id) VALUES "
      "(3, 0), (5, 3), (6, NULL), (7, -3), (-2, 3)");
  add_special_row(100, 3, 1);
  add_special_row(200, 5, 0);
  load();
  EXPECT_THAT(store->fetch_follow(5), ElementsAre(3));
  EXPECT_THAT(store->fetch_follow(3), ElementsAre(5));
  EXPECT_THAT(store->fetch_pri_specials(5, all, 10, below), ElementsAre(200, 100));
  EXPECT_THAT(store->fetch_pri_specials(3, all, 10, below), ElementsAre(200, 100));
  EXPECT_FALSE(store->has_member(6)) << "no inviter: no follow link, no record";
  EXPECT_FALSE(store->has_member(7)) << "a negative inviter is none";
  EXPECT_THAT(store->fetch_follow(static_cast<unsigned long>(-2L)), IsEmpty());
}

TEST_F(InitialLoad, EveryRowArrivesAcrossPageBoundariesWithinOneMember) {
  // 2,500 specials of member 7 between two smaller members: pages end inside member 7's rows.
  std::string rows;
  auto add = [&rows](int special_id, int member_id) {
    rows += (rows.empty() ? "(" : ",(") + std::to_string(special_id) + "," +
            std::to_string(member_id) + ",0)";
  };
  for (int i = 0; i < 600; ++i)
    add(100000 + i, 3);
  for (int i = 0; i < 2500; ++i)
    add(1 + 7 * i, 7);  // ids not in member order
  for (int i = 0; i < 700; ++i)
    add(200000 + i, 9);
  db.exec("INSERT INTO brix_mb_special (special_id, member_id, reader_type) VALUES " + rows);
  load();
  EXPECT_EQ(store->fetch_self_specials(7, all, 100000, below).size(), 2500u);
  EXPECT_EQ(store->fetch_self_specials(3, all, 100000, below).size(), 600u);
  EXPECT_EQ(store->fetch_self_specials(9, all, 100000, below).size(), 700u);
  EXPECT_EQ(store->fetch_pub_specials(all, 100000, below).size(), 3800u);
}

TEST_F(InitialLoad, IdsBeyond31And32BitsAndNullKeysLoadAsTheirValues) {
  db.exec(
      "ALTER TABLE brix_mb_special DROP PRIMARY KEY, "
      "MODIFY special_id BIGINT UNSIGNED NULL, MODIFY member_id BIGINT UNSIGNED NULL");
  db.exec(
      "ALTER TABLE brix_member DROP PRIMARY KEY, "
      "MODIFY member_id BIGINT UNSIGNED NULL, MODIFY inviter_id BIGINT UNSIGNED NULL");
  const unsigned long past31 = 3000000000UL, past32 = 5000000000UL;
  db.exec(
      "INSERT INTO brix_mb_special (special_id, member_id, reader_type) VALUES "
      "(18446744073709551615, 3000000000, 0), (0, 3000000000, 0), (2147483648, 5000000000, 1),"
      "(NULL, 7, 0), (11, NULL, 0), (12, 7, 0)");
  db.exec(
      "INSERT INTO brix_member (member_id, inviter_id) VALUES "
      "(NULL, 7), (NULL, NULL), (5000000000, 3000000000), (3000000001, NULL)");
  EXPECT_EQ(load(), "init_data start\ninit_specials\ninit_follow\ninit_data end\n");
  const auto image = logic_center_inspector::of(*store);
  EXPECT_THAT(image.own.at(past31), ElementsAre(0, all));
  EXPECT_THAT(image.own.at(past32), ElementsAre(2147483648UL));
  EXPECT_THAT(store->fetch_follow(past32), ElementsAre(past31));
  EXPECT_THAT(store->fetch_follow(past31), ElementsAre(past32));
  EXPECT_THAT(store->fetch_pri_specials(past32, all, 10, below), ElementsAre(2147483648UL, 0));
  EXPECT_THAT(store->fetch_pub_specials(0, 10, logic_center::fetch_above),
              ElementsAre(11, 12, all));
  EXPECT_THAT(store->fetch_self_specials(7, all, 10, below), ElementsAre(12, 0))
      << "a NULL special id reads as 0";
  EXPECT_EQ(image.own.count(0), 1u) << "a NULL owner reads as member 0";
}

TEST_F(InitialLoad, AMemberWithTensOfThousandsOfFollowersReachesEveryFeed) {
  // Member 1 invited members 2 to 40001: each follows it and it follows each.
  db.exec("INSERT INTO brix_member (member_id, inviter_id) SELECT seq, 1 FROM seq_2_to_40001");
  db.exec("INSERT INTO brix_member (member_id, inviter_id) VALUES (1, 0)");
  add_special_row(2000000000, 1, 0);
  add_special_row(7, 40001, 1);
  load();
  EXPECT_EQ(store->fetch_follow(1).size(), 40000u);
  EXPECT_THAT(store->fetch_pri_specials(1, all, 10, below), ElementsAre(2000000000, 7));
  EXPECT_THAT(store->fetch_pri_specials(40001, all, 10, below), ElementsAre(2000000000, 7));

  // A new special past 32 bits, then its removal, reach every follower's feed.
  std::vector<special> added{special(5000000000UL, 1, 0)};
  store->do_add_special(1, added);
  size_t reached = 0;
  for (unsigned long member = 2; member <= 40001; ++member) {
    reached += store->fetch_pri_specials(member, all, 1, below) == ids{5000000000UL} ? 1 : 0;
  }
  EXPECT_EQ(reached, 40000u);
  std::vector<special> removed{special(5000000000UL, 1, 0)};
  store->do_del_special(1, removed);
  EXPECT_THAT(store->fetch_pri_specials(20000, all, 10, below), ElementsAre(2000000000));
}

TEST_F(InitialLoad, StartBuildsTheInviterIndexBesideTheStoreFromOneRead) {
  db.exec(
      "INSERT INTO brix_member (member_id, inviter_id) VALUES "
      "(1, 0), (3, 1), (5, 3), (6, NULL), (7, 3)");
  add_special_row(100, 1, 0);
  add_special_row(300, 3, 1);
  ::testing::internal::CaptureStdout();
  start_store(*store, load_settings_from(*singleton<app_cfg>::instance()));
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "max user id=7 max_bucket=53\nstart rehash\ninit_data start\ninit_specials\n"
            "init_follow\ninit_data end\n");
  EXPECT_THAT(store->fetch_inviter(5), ElementsAre(3, 1));
  EXPECT_THAT(store->fetch_invitees(3), ElementsAre(5, 7));
  EXPECT_THAT(store->fetch_invitees(0), ElementsAre(1, 6));
  EXPECT_THAT(store->fetch_follow(3), ElementsAre(1, 5, 7));
  EXPECT_THAT(store->fetch_pri_specials(7, all, 10, below), ElementsAre(300));
  EXPECT_THAT(store->fetch_pri_specials(3, all, 10, below), ElementsAre(300, 100));
}

// A stop while the load waits for tables another session holds locked interrupts its reads:
// the start leaves by load_abandoned at once, with nothing loaded; a stop that comes before the
// start does the same without a read waiting. The tables stay locked throughout, so no read can
// have finished.
TEST_F(InitialLoad, StopAbandonsAStalledStartWithNothingLoaded) {
  db.exec("INSERT INTO brix_member (member_id, inviter_id) VALUES (1, 0), (3, 1)");
  add_special_row(100, 1, 0);
  const load_settings settings = load_settings_from(*singleton<app_cfg>::instance());
  for (const bool stop_first : {true, false}) {
    SCOPED_TRACE(stop_first ? "stopped before the start" : "stopped while the reads wait");
    auto fresh = std::make_unique<logic_center>();
    locked_tables locked(db);
    load_stop stop;
    if (stop_first) {
      stop.stop();
    }
    ::testing::internal::CaptureStdout();
    std::future<void> started =
        std::async(std::launch::async, [&] { start_store(*fresh, settings, &stop); });
    if (!stop_first) {
      ASSERT_TRUE(locked.waiting());
      EXPECT_EQ(started.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
      stop.stop();
    }
    EXPECT_THROW(started.get(), load_abandoned);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("init_data end"), std::string::npos) << out;
    EXPECT_FALSE(fresh->has_member(1));
    EXPECT_FALSE(fresh->has_member(3));
    EXPECT_TRUE(fresh->fetch_pri_specials(3, all, 10, below).empty());
  }
}

TEST_F(InitialLoad, UnreachableDatabaseLoadsNothingAndSaysWhy) {
  add_special_row(10, 5, 0);
  db.exec("INSERT INTO brix_member (member_id, inviter_id) VALUES (5, 3)");
  singleton<app_cfg>::instance()->db.passwd = "not-the-password";
  EXPECT_EQ(load(),
            "init_data start\ninit_specials\ninit_data   mysql connection init error.\n"
            "init_data end\n");
  EXPECT_FALSE(store->has_member(5));
  EXPECT_FALSE(store->has_member(3));
}

TEST_F(InitialLoad, LoadEqualsApplyingEveryRowInOrder) {
  // Three random data sets; each loaded into an empty store (the joined bulk path), into one
  // that already holds data (the appliers' path), and into an empty one with caps set.
  db.exec(
      "ALTER TABLE brix_mb_special DROP PRIMARY KEY, MODIFY special_id BIGINT NULL, "
      "MODIFY member_id BIGINT NULL");
  db.exec(
      "ALTER TABLE brix_member DROP PRIMARY KEY, MODIFY member_id BIGINT NULL, "
      "MODIFY inviter_id BIGINT NULL");
  for (unsigned seed : {20240611u, 7u, 99991u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    fill_random_tables(seed);
    ASSERT_GT(std::atoi(db.query("SELECT COUNT(*) FROM brix_mb_special "
                                 "WHERE from_user=1 and state = 0")[0][0]
                            .c_str()),
              2000);
    auto earlier_content = [](logic_center& target) {
      ids follows{4, 9, 4, 250};
      target.do_add_follows(4, follows);
      std::vector<special> earlier{special(7, 999, 3), special(8, 999, 0), special(9, 999, 0)};
      target.do_add_special(999, earlier);
      ids more{17};
      target.do_add_follows(999, more);
    };
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(round == 0 ? "empty store" : round == 1 ? "store with data" : "caps");
      logic_center loaded;
      logic_center reference;
      if (round == 1) {
        earlier_content(loaded);
        earlier_content(reference);
      }
      if (round == 2) {
        loaded.set_caps(logic_center::list_caps{2, 100});
        reference.set_caps(logic_center::list_caps{2, 100});
      }
      EXPECT_EQ(load(loaded), "init_data start\ninit_specials\ninit_follow\ninit_data end\n");
      load_row_by_row(reference);
      const auto got = logic_center_inspector::of(loaded);
      const auto expected = logic_center_inspector::of(reference);
      EXPECT_EQ(got.pub, expected.pub);
      EXPECT_EQ(got.follows, expected.follows);
      EXPECT_EQ(got.own, expected.own);
      EXPECT_EQ(got.feeds, expected.feeds);
      // The bulk fill counts what it puts in as the appliers do.
      EXPECT_TRUE(loaded.sizes() == loaded.walk_sizes()) << "round " << round;
      EXPECT_TRUE(loaded.sizes() == reference.sizes()) << "round " << round;
    }
  }
}

}  // namespace
